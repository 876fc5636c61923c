#include "sync/SyncEngine.h"

#include "client/KitewellAPI.h"
#include "client/SyncClientError.h"
#include "platform/Errors.h"
#include "platform/FolderAccess.h"
#include "platform/OffThread.h"
#include "storage/SyncStorage.h"
#include "sync/Naming.h"

#include <QDateTime>
#include <QDir>
#include <QFile>

#include <cerrno>
#include <sys/stat.h>
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

// Existence of many paths in one trip to a worker thread.
std::vector<char> itemsExist(const QStringList& paths) {
    std::vector<char> exists(size_t(paths.size()));
    for (qsizetype i = 0; i < paths.size(); ++i)
        exists[size_t(i)] = itemExists(paths[i]);
    return exists;
}

struct RetouchedFile {
    QString path;
    naming::FileStamp stamp;
};

// The retouched files with their size and time, read in the same trip as the listing.
// A file that disappears between the listing and its stamp is simply not there.
std::vector<RetouchedFile> listRetouchedFiles(const QString& folder) {
    std::vector<RetouchedFile> files;
    for (const QString& path : naming::effectFiles(folder)) {
        try {
            files.push_back({path, naming::fileStamp(path)});
        } catch (const FileSystemError& error) {
            if (error.code() != ENOENT)
                throw;
        }
    }
    return files;
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

    pass.workspace = co_await m_api.eventWorkspace(pass.eventId);

    // Nothing the service names may lead out of the chosen folders.
    const AlbumEvent& event = pass.workspace.event;
    pass.albumFolderName = naming::albumFolderName(event);
    if (!naming::isSafeIdComponent(pass.albumFolderName))
        throw SyncClientError::invalidResponse();
    for (const Photo& photo : pass.workspace.photos) {
        if (photo.originalUrl) {
            if (!naming::isSafeIdComponent(photo.id))
                throw SyncClientError::invalidResponse();
            pass.downloadCandidates.append(photo);
        }
    }

    const QString originalsAlbum = pass.originalsRoot + u'/' + pass.albumFolderName;
    const std::optional<QString> retouchAlbum =
        pass.retouchRoot ? std::optional(*pass.retouchRoot + u'/' + pass.albumFolderName) : std::nullopt;
    // Each job is made in its own statement: g++ 12 mishandles a capturing lambda inside co_await.
    auto makeAlbumFolders = offThread([originalsAlbum, retouchAlbum] {
        makeFolder(originalsAlbum);
        if (retouchAlbum)
            makeFolder(*retouchAlbum);
    });
    co_await std::move(makeAlbumFolders);

    auto loading = offThread(&SyncStorage::loadState);
    pass.records = (co_await std::move(loading)).records;
    throwIfCancelled();

    co_await downloadOriginals(pass);
    co_await saveState(pass.records);

    if (includeEffects)
        co_await returnEffects(pass, settings.autoPublishEffects);

    // Folder access ends as the scopes close: the retouch folder first, then the originals.
    co_return pass.result;
}

QCoro::Task<void> SyncEngine::downloadOriginals(Pass& pass) {
    // Every candidate's record and destination first, so the disk is asked about all of
    // them in one trip; only the missing ones are looked at again, one by one.
    QList<SyncRecord> records;
    QStringList destinations;
    records.reserve(pass.downloadCandidates.size());
    destinations.reserve(pass.downloadCandidates.size());
    for (const Photo& photo : std::as_const(pass.downloadCandidates)) {
        const QString key = SyncStateFile::recordKey(pass.eventId, photo.id);
        const auto stored = pass.records.constFind(key);
        SyncRecord record = stored != pass.records.constEnd()
                                ? *stored
                                : SyncRecord{photo.id, pass.eventId,
                                             pass.albumFolderName + u'/' + naming::downloadFileName(photo),
                                             std::nullopt, std::nullopt};
        if (!naming::isSafeRelativePath(record.originalRelativePath))
            throw SyncClientError::invalidResponse();
        destinations.append(pass.originalsRoot + u'/' + record.originalRelativePath);
        records.append(std::move(record));
    }
    auto checking = offThread([destinations] { return itemsExist(destinations); });
    const std::vector<char> present = co_await std::move(checking);
    throwIfCancelled();

    for (qsizetype i = 0; i < pass.downloadCandidates.size(); ++i) {
        const Photo& photo = pass.downloadCandidates[i];
        const QString key = SyncStateFile::recordKey(pass.eventId, photo.id);
        const QString& destination = destinations[i];
        if (!present[size_t(i)]) {
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
        pass.records.insert(key, records[i]);
    }
}

QCoro::Task<void> SyncEngine::returnEffects(Pass& pass, bool autoPublish) {
    if (!pass.workspace.permissions.canUpload)
        throw SyncClientError::server(
            u"当前账号没有回传精修图的权限。请使用项目负责人、修图师或摄影师账号登录。"_s);

    const QString folder = *pass.retouchRoot + u'/' + pass.albumFolderName;
    auto listing = offThread([folder] { return listRetouchedFiles(folder); });
    const std::vector<RetouchedFile> files = co_await std::move(listing);
    const QDateTime now = QDateTime::currentDateTimeUtc();
    const naming::PhotoMatcher matcher(pass.downloadCandidates);

    for (const RetouchedFile& file : files) {
        throwIfCancelled();
        // Still being written by an editor: left for the next pass.
        if (naming::isBeingWritten(file.stamp, now))
            continue;
        const std::optional<qsizetype> index = matcher.match(file.path);
        if (!index) {
            ++pass.result.unmatchedEffects;
            continue;
        }
        const Photo& photo = pass.downloadCandidates[*index];
        const QString fingerprint = naming::fingerprint(file.stamp);
        const QString key = SyncStateFile::recordKey(pass.eventId, photo.id);
        SyncRecord record = pass.records.value(key);

        if (record.lastUploadedEffectFingerprint != fingerprint) {
            co_await m_api.uploadEffect(pass.eventId, photo.id, file.path);
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
