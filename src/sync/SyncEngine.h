#pragma once

#include "storage/SyncSettings.h"
#include "storage/SyncStateFile.h"
#include "sync/SyncProgress.h"
#include "sync/SyncResult.h"

#include <QCoroTask>
#include <QFuture>

#include <functional>
#include <memory>
#include <optional>

namespace kitewell {

class KitewellAPI;
class FolderAccess;

// One sync pass for the album chosen in the settings: opens the two folders, downloads
// the originals not yet on disk, and, when asked, returns and publishes retouched files,
// keeping the state file as it goes. Made for one pass; the client must outlive it.
class SyncEngine {
public:
    explicit SyncEngine(KitewellAPI& api, std::shared_ptr<FolderAccess> folders = {});
    ~SyncEngine();

    QCoro::Task<SyncResult> synchronize(SyncSettings settings, bool includeEffects);

    // Told, on the thread that runs the pass, as each step begins (with the number of files it
    // expects to handle) and each time it has dealt with one of them.
    using ProgressHandler = std::function<void(const SyncProgress&)>;
    void setProgressHandler(ProgressHandler handler) { m_progress = std::move(handler); }

private:
    // The pass's steps, in their order.
    struct Pass;
    struct EarlyRead;
    static EarlyRead readEarly(const QString& originalsRoot, const QString& eventId);
    QCoro::Task<void> fetchWorkspace(Pass& pass);
    QCoro::Task<void> prepareFolders(Pass& pass);
    QCoro::Task<void> loadState(Pass& pass, QFuture<EarlyRead> earlyRead);
    QCoro::Task<void> downloadOriginals(Pass& pass);
    QCoro::Task<void> returnEffects(Pass& pass, bool autoPublish);
    QCoro::Task<void> returnFile(Pass& pass, QString path, QString photoId, bool autoPublish);
    static void releaseOnWorker(Pass pass);
    void throwIfCancelled() const;
    void report(const SyncProgress& progress) const;

    KitewellAPI& m_api;
    std::shared_ptr<FolderAccess> m_folders;
    ProgressHandler m_progress;
};

} // namespace kitewell
