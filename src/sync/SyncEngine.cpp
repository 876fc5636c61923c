#include "sync/SyncEngine.h"

#include "client/KitewellAPI.h"
#include "client/SyncClientError.h"
#include "errors/Error.h"
#include "platform/FileSystemError.h"
#include "platform/Files.h"
#include "platform/FolderAccess.h"
#include "platform/OffThread.h"
#include "storage/SyncStorage.h"
#include "sync/Naming.h"

#include <QCoroFuture>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QFuture>
#include <QSet>
#include <QStringEncoder>
#include <QtConcurrent>

#include <cerrno>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace kitewell {

using namespace Qt::StringLiterals;

namespace {

// Ends access to a folder when the pass leaves it, however it leaves.
class FolderScope {
public:
    FolderScope(FolderAccess& folders, QString path) : m_folders(folders), m_path(std::move(path)) {
        m_started = m_folders.startAccess(m_path);
    }
    ~FolderScope() {
        if (m_started)
            m_folders.stopAccess(m_path);
    }
    FolderScope(const FolderScope&) = delete;
    FolderScope& operator=(const FolderScope&) = delete;
    const QString& path() const { return m_path; }

private:
    FolderAccess& m_folders;
    QString m_path;
    bool m_started = false;
};

// The folder a bookmark leads to; a stale one means the chosen folder is gone.
QString resolveFolder(FolderAccess& folders, const std::optional<QByteArray>& bookmark,
                      SyncClientError (*missing)(), const QString& label) {
    if (!bookmark)
        throw missing();
    const FolderBookmark::Resolved resolved = folders.resolve(*bookmark);
    if (resolved.stale)
        throw SyncClientError::permissionDenied(label);
    return resolved.path;
}

// The workspace's photos with an original, in service order; an id that could lead out of
// the album folder fails the pass. When every photo has one (as usual), the list is shared,
// not copied.
QList<Photo> downloadCandidates(const QList<Photo>& photos) {
    for (const Photo& photo : photos) {
        if (photo.originalUrl && !naming::isSafeIdComponent(photo.id))
            throw SyncClientError::invalidResponse();
    }
    QList<Photo> candidates = photos;
    candidates.removeIf([](const Photo& photo) { return !photo.originalUrl; });
    return candidates;
}

// A folder's names. The download step looks up thousands: they stay in the one block they
// were listed in, and the standard containers, with std::hash, take half the time QHash and
// QSet take for it.
class NameSet {
public:
    explicit NameSet(QByteArray block) : m_block(std::move(block)) {
        m_names.reserve(size_t(m_block.count('\0')));
        for (qsizetype start = 0; start < m_block.size();) {
            const qsizetype end = m_block.indexOf('\0', start);
            m_names.emplace(m_block.constData() + start, size_t(end - start));
            start = end + 1;
        }
    }
    // Moved, never copied: the names point into the block.
    NameSet(NameSet&&) = default;
    NameSet& operator=(NameSet&&) = default;

    bool contains(std::string_view name) const { return m_names.contains(name); }

private:
    QByteArray m_block; // a moved QByteArray keeps its bytes where they are
    std::unordered_set<std::string_view> m_names;
};

// The names in a folder; nothing when only looking up each path in it can tell.
using FolderNames = std::optional<NameSet>;

FolderNames namesIn(const QString& folder) {
    try {
        return NameSet(listFolderNames(folder));
    } catch (const FileSystemError& error) {
        // Nothing can be below a folder that is not there.
        if (error.code() != ENOENT && error.code() != ENOTDIR)
            return std::nullopt;
    }
    return NameSet({});
}

// Whether items exist at paths below a root folder. Each folder the paths lie in is listed
// once, a few system calls instead of one per path (an album has thousands of photos); a
// folder that cannot be listed has each path looked up on its own. Either way the answer is
// what was there at that moment.
class Presence {
public:
    explicit Presence(QString root) : m_root(std::move(root)) {}
    // Moved, never copied: the listings are large.
    Presence(Presence&&) = default;
    Presence& operator=(Presence&&) = default;

    // Lists the folder the path lies in, unless it is listed already.
    void list(const QString& relativePath) {
        const QStringView parent = parentOf(relativePath);
        // Paths come folder by folder: usually the folder is the one listed last.
        if (m_lastListed && *m_lastListed == parent)
            return;
        m_lastListed = parent.toString();
        if (!m_folders.contains(*m_lastListed))
            m_folders.emplace(*m_lastListed,
                              namesIn(parent.isEmpty() ? m_root : m_root + u'/' + *m_lastListed));
    }

    // Looks paths up in the listings; several readers may look up at once, provided the
    // folders they ask about are listed.
    class Reader {
    public:
        explicit Reader(const Presence& presence) : m_presence(presence) {}

        bool exists(const QString& relativePath) {
            const QStringView parent = parentOf(relativePath);
            // Paths come folder by folder: usually the folder is the one asked about last.
            if (!m_last || m_last->first != parent) {
                const auto listed = m_presence.m_folders.find(parent.toString());
                m_last = listed == m_presence.m_folders.end() ? nullptr : &*listed;
            }
            // A folder not listed, or one that could not be, has the path looked up on its own.
            if (!m_last || !m_last->second)
                return itemExists(m_presence.m_root + u'/' + relativePath);
            const NameSet& names = *m_last->second;
            // The name's bytes as QFile::encodeName gives them on Linux, made in a buffer kept
            // for the next name.
            const QStringView name = QStringView(relativePath).mid(parent.isEmpty() ? 0 : parent.size() + 1);
            m_name.resize(m_utf8.requiredSpace(name.size()));
            const char* const end = m_utf8.appendToBuffer(m_name.data(), name);
            return names.contains(std::string_view(m_name.data(), size_t(end - m_name.data())));
        }

    private:
        const Presence& m_presence;
        const std::pair<const QString, FolderNames>* m_last = nullptr;
        QStringEncoder m_utf8{QStringEncoder::Utf8, QStringConverter::Flag::Stateless};
        std::string m_name;
    };

private:
    static QStringView parentOf(const QString& relativePath) {
        return QStringView(relativePath).left(std::max<qsizetype>(relativePath.lastIndexOf(u'/'), 0));
    }

    QString m_root;
    std::unordered_map<QString, FolderNames> m_folders;
    std::optional<QString> m_lastListed;
};

// What the download step has to do, worked out on a worker thread in one trip.
struct DownloadPlan {
    // The pass's records with every candidate's record stored, in candidate order: what
    // they are once the step has gone through all candidates.
    QMap<QString, SyncRecord> records;
    struct Missing {
        qsizetype candidate;
        QString destination;
    };
    // The candidates with nothing at their destination, in candidate order.
    std::vector<Missing> missing;
};

using Records = QMap<QString, SyncRecord>;

// The album's records by photo id: their keys, "<album id>:<photo id>", are one run of the map,
// and the download step looks up thousands of them. The ids are views into the keys.
using AlbumRecords = std::unordered_map<std::u16string_view, Records::const_iterator>;

std::u16string_view idView(QStringView id) {
    return {id.utf16(), size_t(id.size())};
}

// What the download step looks things up in. Both are large: the step's job keeps them, so that
// they are freed on its worker after the step has told its result.
struct Lookups {
    Presence presence;
    AlbumRecords album;
};

// Runs work(from, to) over [0, count) in two halves at the same time, the first on this thread.
template <typename Work> void inHalves(qsizetype count, Work work) {
    const qsizetype half = count / 2;
    QFuture<void> second = QtConcurrent::run([&] { work(half, count); });
    work(0, half);
    second.waitForFinished();
}

// Every candidate's record stored, new ones in the album folder, and the candidates whose
// original is missing. A record stored earlier in this pass counts as stored: a photo the
// service lists twice keeps the place of its first listing. An album has thousands of photos,
// all looked up in every pass: the lookups run on two threads.
DownloadPlan planDownloads(const QList<Photo>& candidates, Records stored, Lookups& lookups,
                           const QString& eventId, const QString& albumFolderName,
                           const QString& originalsRoot) {
    Presence& presence = lookups.presence;
    AlbumRecords& album = lookups.album;
    DownloadPlan plan{std::move(stored), {}};
    // Unshared, the map keeps every record where it is while records are added.
    plan.records.detach();
    const QString keyPrefix = SyncStateFile::recordKey(eventId, QString());
    album.reserve(size_t(plan.records.size()));
    for (auto it = std::as_const(plan.records).lowerBound(keyPrefix);
         it != plan.records.cend() && it.key().startsWith(keyPrefix); ++it)
        album.emplace(idView(QStringView(it.key()).mid(keyPrefix.size())), it);

    // Each candidate's record where one is stored already, and whether its original is there; a
    // path that leads out of the folder fails the pass.
    enum Found : char { Unknown, Missing, Present, Unsafe };
    const qsizetype count = candidates.size();
    std::vector<Records::const_iterator> recordOf(static_cast<size_t>(count));
    std::vector<Found> found(static_cast<size_t>(count), Unknown);
    const auto look = [&](Presence::Reader& reader, qsizetype i) {
        const QString& path = recordOf[size_t(i)]->originalRelativePath;
        found[size_t(i)] = !naming::isSafeRelativePath(path) ? Unsafe
                           : reader.exists(path)             ? Present
                                                             : Missing;
    };
    inHalves(count, [&](qsizetype from, qsizetype to) {
        Presence::Reader reader(presence);
        for (qsizetype i = from; i < to; ++i) {
            if (const auto known = album.find(idView(candidates[i].id)); known != album.end()) {
                recordOf[size_t(i)] = known->second;
                look(reader, i);
            }
        }
    });
    // The others' records are stored now, in candidate order, and their folders listed.
    Presence::Reader reader(presence);
    for (qsizetype i = 0; i < count; ++i) {
        if (found[size_t(i)] == Unknown) {
            const Photo& photo = candidates[i];
            auto known = album.find(idView(photo.id));
            if (known == album.end()) {
                const auto added = plan.records.insert(
                    SyncStateFile::recordKey(eventId, photo.id),
                    {photo.id, eventId, albumFolderName + u'/' + naming::downloadFileName(photo),
                     std::nullopt, std::nullopt});
                known = album.emplace(idView(QStringView(added.key()).mid(keyPrefix.size())), added).first;
            }
            recordOf[size_t(i)] = known->second;
            if (naming::isSafeRelativePath(known->second->originalRelativePath))
                presence.list(known->second->originalRelativePath);
            look(reader, i);
        }
        if (found[size_t(i)] == Unsafe)
            throw SyncClientError::invalidResponse();
        if (found[size_t(i)] == Missing)
            plan.missing.push_back({i, originalsRoot + u'/' + recordOf[size_t(i)]->originalRelativePath});
    }
    return plan;
}

// Nothing is at the destination (an earlier download of this pass may have put something
// there), and its folder is made: it is to be downloaded.
bool readyForDownload(const QString& destination) {
    if (itemExists(destination))
        return false;
    makeFolder(QFileInfo(destination).path());
    return true;
}

struct RetouchedFile {
    QString path;
    std::optional<qsizetype> candidate; // index of the matched download candidate
};

// The retouched files and the candidate each one matches. Nothing is examined here: a file
// is stamped only when its turn comes, and an unmatched one never is.
std::vector<RetouchedFile> listRetouchedFiles(const QString& folder, const QList<Photo>& candidates) {
    const naming::PhotoMatcher matcher(candidates);
    std::vector<RetouchedFile> files;
    for (const QString& path : naming::effectFiles(folder))
        files.push_back({path, matcher.match(path)});
    return files;
}

// A matched file's stamp when its turn comes, or nothing when it is not to be returned in
// this pass: no regular file is there (any more), links followed, or an editor may still be
// writing it.
std::optional<FileStamp> stampAtTurn(const QString& path) {
    const std::optional<FileStamp> stamp = regularFileStamp(path);
    if (!stamp || naming::isBeingWritten(*stamp, QDateTime::currentDateTimeUtc()))
        return std::nullopt;
    return stamp;
}

// The listed files the step expects to upload or publish: matched ones whose fingerprint now
// differs from what is recorded for their photo. Only matched files are examined, and one that
// cannot be stamped now (gone, a dangling link, not a regular file) is simply not expected:
// its turn keeps its own rules.
QSet<QString> expectedReturns(const std::vector<RetouchedFile>& files, const QList<Photo>& candidates,
                              const Records& records, const QString& eventId, bool autoPublish) {
    QSet<QString> expected;
    for (const RetouchedFile& file : files) {
        if (!file.candidate)
            continue;
        std::optional<FileStamp> stamp;
        try {
            stamp = regularFileStamp(file.path);
        } catch (const FileSystemError&) {
        }
        if (!stamp)
            continue;
        const QString fingerprint = naming::fingerprint(*stamp);
        const SyncRecord record =
            records.value(SyncStateFile::recordKey(eventId, candidates.at(*file.candidate).id));
        if (record.lastUploadedEffectFingerprint != fingerprint ||
            (autoPublish && record.lastPublishedEffectFingerprint != fingerprint))
            expected.insert(file.path);
    }
    return expected;
}

QCoro::Task<void> saveState(QMap<QString, SyncRecord> records) {
    auto saving = offThread([state = SyncStateFile{std::move(records)}] { SyncStorage::saveState(state); });
    co_await std::move(saving);
}

} // namespace

// What one pass works on.
struct SyncEngine::Pass {
    QString eventId;
    QString originalsRoot;
    std::optional<QString> retouchRoot;
    EventWorkspace workspace;
    QString albumFolderName;
    QMap<QString, SyncRecord> records;
    // What is in the folders the album's originals lie in, as far as they have been listed.
    std::optional<Presence> presence;
    QList<Photo> downloadCandidates;
    SyncResult result;
};

// What the pass reads while the service answers: the state file, if it decodes, and the
// folders the album's recorded originals lie in (usually one), listed for the download step.
struct SyncEngine::EarlyRead {
    std::optional<SyncStateFile> state;
    Presence presence;
};

SyncEngine::EarlyRead SyncEngine::readEarly(const QString& originalsRoot, const QString& eventId) {
    EarlyRead read{SyncStorage::readState(), Presence(originalsRoot)};
    if (!read.state)
        return read;
    const Records& records = read.state->records;
    const QString prefix = SyncStateFile::recordKey(eventId, QString());
    // Only folders inside the originals folder: the download step refuses any other path.
    for (auto it = records.lowerBound(prefix); it != records.end() && it.key().startsWith(prefix); ++it)
        if (naming::isSafeRelativePath(it->originalRelativePath))
            read.presence.list(it->originalRelativePath);
    return read;
}

SyncEngine::SyncEngine(KitewellAPI& api, std::shared_ptr<FolderAccess> folders)
    : m_api(api), m_folders(folders ? std::move(folders) : std::make_shared<FolderAccess>()) {}

SyncEngine::~SyncEngine() = default;

void SyncEngine::throwIfCancelled() const {
    if (m_api.isCancelled())
        throw CancellationError();
}

void SyncEngine::report(const SyncProgress& progress) const {
    if (m_progress)
        m_progress(progress);
}

QCoro::Task<SyncResult> SyncEngine::synchronize(SyncSettings settings, bool includeEffects) {
    // 1. The album.
    Pass pass;
    pass.eventId = settings.eventId.value_or(QString());
    if (pass.eventId.isEmpty())
        throw SyncClientError::missingProject();

    // 2, 3. The folders; access ends as the scopes close, the retouch folder's first.
    const FolderScope originals(*m_folders,
                                resolveFolder(*m_folders, settings.originalDirectoryBookmark,
                                              &SyncClientError::missingOriginalDirectory, u"原图"_s));
    pass.originalsRoot = originals.path();
    std::optional<FolderScope> retouch;
    if (includeEffects) {
        retouch.emplace(*m_folders, resolveFolder(*m_folders, settings.effectDirectoryBookmark,
                                                  &SyncClientError::missingEffectDirectory, u"精修回传"_s));
        pass.retouchRoot = retouch->path();
    }

    // The state file is read while the service answers (step 8 takes it, if it decodes), and
    // the folders of the album's originals are listed.
    QFuture<EarlyRead> earlyRead = QtConcurrent::run(&readEarly, pass.originalsRoot, pass.eventId);

    co_await fetchWorkspace(pass);                                 // 4, 5
    co_await prepareFolders(pass);                                 // 6, 7, 9
    co_await loadState(pass, std::move(earlyRead));                // 8
    co_await downloadOriginals(pass);                              // 10
    co_await saveState(pass.records);                              // 11
    if (includeEffects)                                            // 12
        co_await returnEffects(pass, settings.autoPublishEffects); // 13

    const SyncResult result = pass.result;
    releaseOnWorker(std::move(pass));
    co_return result; // 14
}

QCoro::Task<void> SyncEngine::fetchWorkspace(Pass& pass) {
    pass.workspace = co_await m_api.eventWorkspace(pass.eventId);
    // Nothing the service names may lead out of the chosen folders.
    pass.albumFolderName = naming::albumFolderName(pass.workspace.event);
    if (!naming::isSafeIdComponent(pass.albumFolderName))
        throw SyncClientError::invalidResponse();
}

QCoro::Task<void> SyncEngine::prepareFolders(Pass& pass) {
    const QString originalsAlbum = pass.originalsRoot + u'/' + pass.albumFolderName;
    const std::optional<QString> retouchAlbum =
        pass.retouchRoot ? std::optional(*pass.retouchRoot + u'/' + pass.albumFolderName) : std::nullopt;
    // Made in its own statement: g++ 12 mishandles a capturing lambda inside co_await.
    auto preparing = offThread([photos = pass.workspace.photos, originalsAlbum, retouchAlbum] {
        QList<Photo> candidates = downloadCandidates(photos);
        makeFolder(originalsAlbum);
        if (retouchAlbum)
            makeFolder(*retouchAlbum);
        return candidates;
    });
    pass.downloadCandidates = co_await std::move(preparing);
}

QCoro::Task<void> SyncEngine::loadState(Pass& pass, QFuture<EarlyRead> earlyRead) {
    // Awaited as a plain future, then moved out: the listings are large.
    co_await QFuture<void>(earlyRead);
    EarlyRead early = earlyRead.takeResult();
    // A file that did not decode early is loaded again here, which keeps it aside only now
    // that the pass has got this far.
    if (!early.state) {
        auto loading = offThread(&SyncStorage::loadState);
        early.state = co_await std::move(loading);
    }
    pass.records = std::move(early.state->records);
    pass.presence = std::move(early.presence);
    throwIfCancelled();
}

QCoro::Task<void> SyncEngine::downloadOriginals(Pass& pass) {
    // Every candidate's record, destination and presence are worked out in one trip to a
    // worker, and the records stored there: the main thread only sees the missing ones.
    // Storing a missing photo's record before its download changes nothing that outlives
    // the pass: a failed download ends the pass before the records are saved.
    auto planning = offThread([candidates = pass.downloadCandidates, stored = std::move(pass.records),
                               lookups = Lookups{std::move(*pass.presence), {}}, eventId = pass.eventId,
                               album = pass.albumFolderName, root = pass.originalsRoot]() mutable {
        return planDownloads(candidates, std::move(stored), lookups, eventId, album, root);
    });
    DownloadPlan plan = co_await std::move(planning);
    pass.records = std::move(plan.records);
    throwIfCancelled();

    SyncProgress downloading{SyncProgress::Step::Downloading, 0, int(plan.missing.size())};
    report(downloading);
    for (const DownloadPlan::Missing& missing : plan.missing) {
        auto preparing =
            offThread([destination = missing.destination] { return readyForDownload(destination); });
        if (co_await std::move(preparing)) {
            const QUrl source(*pass.downloadCandidates.at(missing.candidate).originalUrl, QUrl::StrictMode);
            co_await m_api.downloadOriginal(source, missing.destination);
            ++pass.result.downloadedOriginals;
        }
        ++downloading.done;
        report(downloading);
    }
}

QCoro::Task<void> SyncEngine::returnEffects(Pass& pass, bool autoPublish) {
    if (!pass.workspace.permissions.canUpload)
        throw SyncClientError::server(
            u"当前账号没有回传精修图的权限。请使用项目负责人、修图师或摄影师账号登录。"_s);

    const QString folder = *pass.retouchRoot + u'/' + pass.albumFolderName;
    auto listing = offThread(
        [folder, candidates = pass.downloadCandidates] { return listRetouchedFiles(folder, candidates); });
    const std::vector<RetouchedFile> files = co_await std::move(listing);

    // Worked out only for someone to tell: it stamps every matched file once more.
    QSet<QString> expected;
    if (m_progress) {
        auto judging = offThread(
            [files, candidates = pass.downloadCandidates, records = pass.records, eventId = pass.eventId,
             autoPublish] { return expectedReturns(files, candidates, records, eventId, autoPublish); });
        expected = co_await std::move(judging);
    }
    SyncProgress returning{SyncProgress::Step::Returning, 0, int(expected.size())};
    report(returning);

    for (const RetouchedFile& file : files) {
        throwIfCancelled();
        if (file.candidate)
            co_await returnFile(pass, file.path, pass.downloadCandidates.at(*file.candidate).id, autoPublish);
        else
            ++pass.result.unmatchedEffects;
        if (expected.contains(file.path)) {
            ++returning.done;
            report(returning);
        }
    }
}

QCoro::Task<void> SyncEngine::returnFile(Pass& pass, QString path, QString photoId, bool autoPublish) {
    auto stamping = offThread([path] { return stampAtTurn(path); });
    const std::optional<FileStamp> stamp = co_await std::move(stamping);
    if (!stamp)
        co_return;
    const QString fingerprint = naming::fingerprint(*stamp);
    const QString key = SyncStateFile::recordKey(pass.eventId, photoId);
    SyncRecord record = pass.records.value(key);

    if (record.lastUploadedEffectFingerprint != fingerprint) {
        const FileStamp sent = co_await m_api.uploadEffect(pass.eventId, photoId, path);
        // Rewritten while it was being sent: the service may hold a mix of old and new
        // bytes. Nothing is recorded or published; the next pass sends the file whole.
        if (sent != *stamp)
            co_return;
        record.lastUploadedEffectFingerprint = fingerprint;
        pass.records.insert(key, record);
        co_await saveState(pass.records);
        ++pass.result.uploadedEffects;
    }
    if (autoPublish && record.lastPublishedEffectFingerprint != fingerprint) {
        co_await m_api.publishEffect(pass.eventId, photoId);
        record.lastPublishedEffectFingerprint = fingerprint;
        pass.records.insert(key, record);
        co_await saveState(pass.records);
        ++pass.result.publishedEffects;
    }
}

void SyncEngine::releaseOnWorker(Pass pass) {
    // Freeing the photos and records of a large album takes milliseconds: a worker does it
    // while the pass returns. Nothing waits for it; a dropped QFuture leaves its job running.
    [[maybe_unused]] const QFuture<void> freeing =
        QtConcurrent::run([pass = std::move(pass)]() mutable { pass = {}; });
}

} // namespace kitewell
