#include "sync/SyncEngine.h"

#include "client/KitewellAPI.h"
#include "client/SyncClientError.h"
#include "errors/Error.h"
#include "platform/FileSystemError.h"
#include "platform/FolderAccess.h"
#include "platform/OffThread.h"
#include "storage/SyncStorage.h"
#include "sync/Naming.h"

#include <QCoroFuture>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFuture>
#include <QtConcurrent>

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <sys/stat.h>
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

// Resolves a folder bookmark; a stale one means the chosen folder is gone.
QString resolveFolder(FolderAccess& folders, const QByteArray& bookmark, const QString& label) {
    const FolderBookmark::Resolved resolved = folders.resolve(bookmark);
    if (resolved.stale)
        throw SyncClientError::permissionDenied(label);
    return resolved.path;
}

void makeFolder(const QString& path) {
    const QByteArray native = QFile::encodeName(path);
    // Like mkdir -p, but with the system's own error when it fails.
    qsizetype slash = native.startsWith('/') ? 1 : 0;
    for (;;) {
        slash = native.indexOf('/', slash);
        const QByteArray prefix = slash < 0 ? native : native.left(slash);
        if (!prefix.isEmpty() && ::mkdir(prefix.constData(), 0777) != 0 && errno != EEXIST)
            throw FileSystemError::fromErrno(errno);
        if (slash < 0)
            break;
        ++slash;
    }
    struct stat status {};
    if (::stat(native.constData(), &status) != 0)
        throw FileSystemError::fromErrno(errno);
    if (!S_ISDIR(status.st_mode))
        throw FileSystemError::fromErrno(ENOTDIR);
}

bool itemExists(const QString& path) {
    struct stat status {};
    return ::lstat(QFile::encodeName(path).constData(), &status) == 0;
}

// The download candidates of a workspace, in service order; an id that could lead out of
// the album folder fails the pass.
QList<Photo> downloadCandidates(const QList<Photo>& photos) {
    const bool allHaveOriginals = std::all_of(
        photos.cbegin(), photos.cend(), [](const Photo& photo) { return photo.originalUrl.has_value(); });
    if (allHaveOriginals) { // the usual case: the same list, shared rather than copied
        for (const Photo& photo : photos)
            if (!naming::isSafeIdComponent(photo.id))
                throw SyncClientError::invalidResponse();
        return photos;
    }
    QList<Photo> candidates;
    candidates.reserve(photos.size());
    for (const Photo& photo : photos) {
        if (photo.originalUrl) {
            if (!naming::isSafeIdComponent(photo.id))
                throw SyncClientError::invalidResponse();
            candidates.append(photo);
        }
    }
    return candidates;
}

// Whether items exist at paths below a root folder. A folder that many of the paths lie in
// is listed once, a few system calls instead of one per path (a stat costs microseconds,
// and an album has thousands of photos); any other path is looked up on its own. Either
// way the answer is what was there at that moment.
class Presence {
public:
    // `listFolders`: whether folders are worth listing (many paths will be asked about).
    Presence(const QString& root, bool listFolders)
        : m_root(root), m_nativeRoot(QFile::encodeName(root)), m_listFolders(listFolders) {}

    bool exists(const QString& relativePath) {
        const qsizetype slash = relativePath.lastIndexOf(u'/');
        const QStringView parent = slash < 0 ? QStringView() : QStringView(relativePath).left(slash);
        Folder& folder = folderOf(parent);
        if (!folder.read) {
            folder.read = true;
            folder.listed = m_listFolders && list(parent, folder);
        }
        if (!folder.listed)
            return itemExists(m_root + u'/' + relativePath);
        return folder.names.contains(nativeName(QStringView(relativePath).mid(slash + 1)));
    }

private:
    struct Folder {
        bool read = false;
        bool listed = false;
        std::string arena; // the names, each followed by a NUL
        std::unordered_set<std::string_view> names;
    };

    // The name's bytes as QFile::encodeName gives them; plain ASCII is copied as it is.
    std::string_view nativeName(QStringView name) {
        m_name.resize(size_t(name.size()));
        for (qsizetype i = 0; i < name.size(); ++i) {
            const char16_t unit = name.utf16()[i];
            if (unit >= 0x80) {
                m_encoded = name.toLocal8Bit();
                return std::string_view(m_encoded.constData(), size_t(m_encoded.size()));
            }
            m_name[size_t(i)] = char(unit);
        }
        return m_name;
    }

    // Nearly every path lies in the album's folder: the last folder is kept at hand.
    Folder& folderOf(QStringView parent) {
        if (!m_last || parent != m_lastParent) {
            const auto slot = m_folders.try_emplace(parent.toString()).first;
            m_lastParent = slot->first;
            m_last = &slot->second;
        }
        return *m_last;
    }

    // Reads the folder's names; false when only looking up each path can tell.
    bool list(QStringView parent, Folder& folder) const {
        const QByteArray path = parent.isEmpty() ? m_nativeRoot : m_nativeRoot + '/' + parent.toLocal8Bit();
        const std::unique_ptr<DIR, int (*)(DIR*)> directory(::opendir(path.constData()), ::closedir);
        if (!directory) // nothing can be below a folder that is not there
            return errno == ENOENT || errno == ENOTDIR;
        std::vector<size_t> starts;
        for (;;) {
            errno = 0;
            const dirent* entry = ::readdir(directory.get());
            if (!entry) {
                if (errno != 0)
                    return false;
                break;
            }
            const std::string_view name(entry->d_name);
            if (name == "." || name == "..")
                continue;
            starts.push_back(folder.arena.size());
            folder.arena.append(name);
            folder.arena.push_back('\0');
        }
        folder.names.reserve(starts.size());
        for (const size_t start : starts)
            folder.names.insert(std::string_view(folder.arena.data() + start));
        return true;
    }

    QString m_root;
    QByteArray m_nativeRoot;
    bool m_listFolders;
    std::map<QString, Folder> m_folders; // nodes stay put, so m_last stays valid
    QString m_lastParent;
    Folder* m_last = nullptr;
    std::string m_name;
    QByteArray m_encoded;
};

// What the download step has to do, worked out on a worker thread in one trip.
struct DownloadPlan {
    // The pass's records with every candidate's record stored, in candidate order: what
    // they are once the step has gone through all candidates.
    QHash<QString, SyncRecord> records;
    struct Missing {
        qsizetype candidate;
        QString destination;
    };
    // The candidates with nothing at their destination, in candidate order.
    std::vector<Missing> missing;
};

DownloadPlan planDownloads(const QList<Photo>& candidates, QHash<QString, SyncRecord> stored,
                           const QString& eventId, const QString& albumFolderName,
                           const QString& originalsRoot) {
    // From this many photos on, listing a folder is cheaper than looking up each path in it.
    constexpr qsizetype listFrom = 32;
    Presence presence(originalsRoot, candidates.size() >= listFrom);
    DownloadPlan plan;
    plan.records = std::move(stored);
    // One key text for all lookups: the album id and ":" stay, the photo id is replaced.
    QString key = eventId + u':';
    const qsizetype keyPrefix = key.size();
    for (qsizetype i = 0; i < candidates.size(); ++i) {
        const Photo& photo = candidates[i];
        key.truncate(keyPrefix);
        key += photo.id;
        // A record stored earlier in this pass counts as stored: a photo the service lists
        // twice keeps the place of its first listing.
        auto found = plan.records.constFind(key);
        if (found == plan.records.constEnd())
            found = plan.records.insert(key, {photo.id, eventId,
                                              albumFolderName + u'/' + naming::downloadFileName(photo),
                                              std::nullopt, std::nullopt});
        const QString& path = found->originalRelativePath;
        if (!naming::isSafeRelativePath(path))
            throw SyncClientError::invalidResponse();
        if (!presence.exists(path))
            plan.missing.push_back({i, originalsRoot + u'/' + path});
    }
    return plan;
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

// A matched file's stamp when its turn comes, or nothing when the file is not to be returned
// in this pass: it has gone since the listing, or an editor may still be writing it.
std::optional<FileStamp> stampAtTurn(const QString& path) {
    FileStamp stamp;
    try {
        stamp = fileStamp(path);
    } catch (const FileSystemError& error) {
        // A dangling link is still there, and fails like any file that cannot be read.
        struct stat status {};
        if (error.code() == ENOENT && ::lstat(QFile::encodeName(path).constData(), &status) != 0 &&
            errno == ENOENT)
            return std::nullopt;
        throw;
    }
    if (naming::isBeingWritten(stamp, QDateTime::currentDateTimeUtc()))
        return std::nullopt;
    return stamp;
}

QCoro::Task<void> saveState(QHash<QString, SyncRecord> records) {
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
    QHash<QString, SyncRecord> records;
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

QCoro::Task<SyncResult> SyncEngine::synchronize(SyncSettings settings, bool includeEffects) {
    Pass pass;
    pass.eventId = settings.eventId.value_or(QString());
    if (pass.eventId.isEmpty())
        throw SyncClientError::missingProject();

    if (!settings.originalDirectoryBookmark)
        throw SyncClientError::missingOriginalDirectory();
    FolderScope originals(*m_folders,
                          resolveFolder(*m_folders, *settings.originalDirectoryBookmark, u"原图"_s));
    pass.originalsRoot = originals.path();

    std::optional<FolderScope> retouch;
    if (includeEffects) {
        if (!settings.effectDirectoryBookmark)
            throw SyncClientError::missingEffectDirectory();
        retouch.emplace(*m_folders,
                        resolveFolder(*m_folders, *settings.effectDirectoryBookmark, u"精修回传"_s));
        pass.retouchRoot = retouch->path();
    }

    // The state file is read while the service answers. Only a file that decodes is taken
    // from this early read; any other is loaded again where the pass loads the state, which
    // keeps an undecodable one aside only once the pass has got that far.
    QFuture<std::optional<SyncStateFile>> earlyState = QtConcurrent::run(&SyncStorage::readState);

    pass.workspace = co_await m_api.eventWorkspace(pass.eventId);

    // Nothing the service names may lead out of the chosen folders.
    const AlbumEvent& event = pass.workspace.event;
    pass.albumFolderName = naming::albumFolderName(event);
    if (!naming::isSafeIdComponent(pass.albumFolderName))
        throw SyncClientError::invalidResponse();

    const QString originalsAlbum = pass.originalsRoot + u'/' + pass.albumFolderName;
    const std::optional<QString> retouchAlbum =
        pass.retouchRoot ? std::optional(*pass.retouchRoot + u'/' + pass.albumFolderName) : std::nullopt;
    // Each job is made in its own statement: g++ 12 mishandles a capturing lambda inside co_await.
    auto preparing = offThread([photos = pass.workspace.photos, originalsAlbum, retouchAlbum] {
        QList<Photo> candidates = downloadCandidates(photos);
        makeFolder(originalsAlbum);
        if (retouchAlbum)
            makeFolder(*retouchAlbum);
        return candidates;
    });
    pass.downloadCandidates = co_await std::move(preparing);

    std::optional<SyncStateFile> stored = co_await earlyState;
    if (!stored) {
        auto loading = offThread(&SyncStorage::loadState);
        stored = co_await std::move(loading);
    }
    pass.records = std::move(stored->records);
    // The future's own copy goes, so that the records are not shared when the pass changes them.
    earlyState = {};
    throwIfCancelled();

    co_await downloadOriginals(pass);
    co_await saveState(pass.records);

    if (includeEffects)
        co_await returnEffects(pass, settings.autoPublishEffects);

    // Freeing the photos and records of a large album takes the main thread milliseconds:
    // the last references go to a worker, which frees them there while the pass returns.
    // Nothing waits for it: it only frees memory.
    const QFuture<void> released = QtConcurrent::run([workspace = std::move(pass.workspace),
                                                      candidates = std::move(pass.downloadCandidates),
                                                      records = std::move(pass.records)]() mutable {
        workspace = {};
        candidates = {};
        records = {};
    });
    Q_UNUSED(released);

    // Folder access ends as the scopes close: the retouch folder first, then the originals.
    co_return pass.result;
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

    for (const DownloadPlan::Missing& missing : plan.missing) {
        // Read through a const view: the list may be shared with the workspace's own.
        const Photo& photo = std::as_const(pass.downloadCandidates)[missing.candidate];
        const QString& destination = missing.destination;
        // Looked at again now: an earlier download of this pass may have put it there.
        auto preparing = offThread([destination] {
            if (itemExists(destination))
                return true;
            makeFolder(QFileInfo(destination).path());
            return false;
        });
        const bool appeared = co_await std::move(preparing);
        if (!appeared) {
            co_await m_api.downloadOriginal(*photo.originalUrl, destination);
            ++pass.result.downloadedOriginals;
        }
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

    for (const RetouchedFile& file : files) {
        throwIfCancelled();
        if (!file.candidate) {
            ++pass.result.unmatchedEffects;
            continue;
        }
        auto stamping = offThread([path = file.path] { return stampAtTurn(path); });
        const std::optional<FileStamp> stamp = co_await std::move(stamping);
        if (!stamp)
            continue;
        const Photo& photo = std::as_const(pass.downloadCandidates)[*file.candidate];
        const QString fingerprint = naming::fingerprint(*stamp);
        const QString key = SyncStateFile::recordKey(pass.eventId, photo.id);
        SyncRecord record = pass.records.value(key);

        if (record.lastUploadedEffectFingerprint != fingerprint) {
            const FileStamp sent = co_await m_api.uploadEffect(pass.eventId, photo.id, file.path);
            // Rewritten while it was being sent: the service may hold a mix of old and new
            // bytes. Nothing is recorded or published; the next pass sends the file whole.
            if (sent != *stamp)
                continue;
            record.lastUploadedEffectFingerprint = fingerprint;
            pass.records.insert(key, record);
            co_await saveState(pass.records);
            ++pass.result.uploadedEffects;
        }
        if (autoPublish && record.lastPublishedEffectFingerprint != fingerprint) {
            co_await m_api.publishEffect(pass.eventId, photo.id);
            record.lastPublishedEffectFingerprint = fingerprint;
            pass.records.insert(key, record);
            co_await saveState(pass.records);
            ++pass.result.publishedEffects;
        }
    }
}

} // namespace kitewell
