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

// The download step looks up thousands of names and ids: the standard containers, with
// std::hash, take half the time QHash and QSet take for it.
struct NameHash {
    size_t operator()(const QByteArray& name) const noexcept {
        return std::hash<std::string_view>{}(std::string_view(name.constData(), size_t(name.size())));
    }
};

// The names in a folder; nothing when only looking up each path in it can tell.
using FolderNames = std::optional<std::unordered_set<QByteArray, NameHash>>;

FolderNames namesIn(const QString& folder) {
    std::unordered_set<QByteArray, NameHash> names;
    try {
        const std::vector<FolderEntry> entries = listFolder(folder);
        names.reserve(entries.size());
        for (const FolderEntry& entry : entries)
            names.insert(entry.name);
    } catch (const FileSystemError& error) {
        // Nothing can be below a folder that is not there.
        if (error.code() != ENOENT && error.code() != ENOTDIR)
            return std::nullopt;
    }
    return names;
}

// Whether items exist at paths below a root folder. Each folder the paths lie in is listed
// once, a few system calls instead of one per path (an album has thousands of photos); a
// folder that cannot be listed has each path looked up on its own. Either way the answer is
// what was there at that moment.
class Presence {
public:
    explicit Presence(QString root) : m_root(std::move(root)) {}

    QString pathOf(const QString& relativePath) const {
        return relativePath.isEmpty() ? m_root : m_root + u'/' + relativePath;
    }
    // A folder's names, listed just now (elsewhere).
    void add(const QString& parent, FolderNames names) {
        m_folders.emplace(parent, std::move(names));
        m_folder = m_folders.constEnd();
    }

    bool exists(const QString& relativePath) {
        const qsizetype slash = relativePath.lastIndexOf(u'/');
        const QStringView parent = QStringView(relativePath).left(std::max<qsizetype>(slash, 0));
        // Paths come folder by folder: usually the folder is the one asked about last.
        if (m_folder == m_folders.constEnd() || m_folder.key() != parent) {
            const QString folder = parent.toString();
            m_folder = m_folders.constFind(folder);
            if (m_folder == m_folders.constEnd())
                m_folder = m_folders.emplace(folder, namesIn(pathOf(folder)));
        }
        if (!*m_folder)
            return itemExists(m_root + u'/' + relativePath);
        // The name's bytes as QFile::encodeName gives them on Linux, without copying the path.
        return (*m_folder)->contains(QStringView(relativePath).mid(slash + 1).toUtf8());
    }

private:
    using Folders = QHash<QString, FolderNames>;
    QString m_root;
    Folders m_folders;
    Folders::const_iterator m_folder = m_folders.constEnd();
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
// and the download step looks up thousands of them.
using AlbumRecords = std::unordered_map<std::u16string_view, Records::iterator>;

std::u16string_view idView(QStringView id) {
    return {id.utf16(), size_t(id.size())};
}

AlbumRecords albumRecords(Records& records, const QString& keyPrefix) {
    AlbumRecords album;
    album.reserve(size_t(records.size()));
    for (auto it = records.lowerBound(keyPrefix); it != records.end() && it.key().startsWith(keyPrefix); ++it)
        album.emplace(idView(QStringView(it.key()).mid(keyPrefix.size())), it);
    return album;
}

DownloadPlan planDownloads(const QList<Photo>& candidates, Records stored, const QString& eventId,
                           const QString& albumFolderName, const QString& originalsRoot) {
    Presence presence(originalsRoot);
    // The album folder, where the files usually are, is listed on another worker meanwhile.
    QFuture<FolderNames> albumFolder = QtConcurrent::run(&namesIn, presence.pathOf(albumFolderName));

    DownloadPlan plan{std::move(stored), {}};
    const QString keyPrefix = SyncStateFile::recordKey(eventId, QString());
    AlbumRecords album = albumRecords(plan.records, keyPrefix);
    std::vector<Records::iterator> records;
    records.reserve(size_t(candidates.size()));
    for (const Photo& photo : candidates) {
        // A record stored earlier in this pass counts as stored: a photo the service lists
        // twice keeps the place of its first listing.
        const auto known = album.find(idView(photo.id));
        if (known != album.end()) {
            records.push_back(known->second);
            continue;
        }
        const auto added =
            plan.records.insert(SyncStateFile::recordKey(eventId, photo.id),
                                {photo.id, eventId, albumFolderName + u'/' + naming::downloadFileName(photo),
                                 std::nullopt, std::nullopt});
        album.emplace(idView(QStringView(added.key()).mid(keyPrefix.size())), added);
        records.push_back(added);
    }

    presence.add(albumFolderName, albumFolder.takeResult());
    for (qsizetype i = 0; i < candidates.size(); ++i) {
        const QString& path = records[size_t(i)]->originalRelativePath;
        if (!naming::isSafeRelativePath(path))
            throw SyncClientError::invalidResponse();
        if (!presence.exists(path))
            plan.missing.push_back({i, originalsRoot + u'/' + path});
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
    QList<Photo> downloadCandidates;
    SyncResult result;
};

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

    // The state file is read while the service answers (step 8 takes it, if it decodes).
    QFuture<std::optional<SyncStateFile>> earlyState = QtConcurrent::run(&SyncStorage::readState);

    co_await fetchWorkspace(pass);                                 // 4, 5
    co_await prepareFolders(pass);                                 // 6, 7, 9
    co_await loadState(pass, std::move(earlyState));               // 8
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

QCoro::Task<void> SyncEngine::loadState(Pass& pass, QFuture<std::optional<SyncStateFile>> earlyState) {
    std::optional<SyncStateFile> stored = co_await earlyState;
    // A file that did not decode early is loaded again here, which keeps it aside only now
    // that the pass has got this far.
    if (!stored) {
        auto loading = offThread(&SyncStorage::loadState);
        stored = co_await std::move(loading);
    }
    pass.records = std::move(stored->records);
    throwIfCancelled();
}

QCoro::Task<void> SyncEngine::downloadOriginals(Pass& pass) {
    // Every candidate's record, destination and presence are worked out in one trip to a
    // worker, and the records stored there: the main thread only sees the missing ones.
    // Storing a missing photo's record before its download changes nothing that outlives
    // the pass: a failed download ends the pass before the records are saved.
    auto planning = offThread([candidates = pass.downloadCandidates, stored = std::move(pass.records),
                               eventId = pass.eventId, album = pass.albumFolderName,
                               root = pass.originalsRoot]() mutable {
        return planDownloads(candidates, std::move(stored), eventId, album, root);
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
