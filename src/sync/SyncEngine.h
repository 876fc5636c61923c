#pragma once

#include "storage/SyncSettings.h"
#include "sync/SyncResult.h"

#include <QCoroTask>

#include <memory>

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

private:
    struct Pass;
    QCoro::Task<void> downloadOriginals(Pass& pass);
    QCoro::Task<void> returnEffects(Pass& pass, bool autoPublish);
    void throwIfCancelled() const;

    KitewellAPI& m_api;
    std::shared_ptr<FolderAccess> m_folders;
};

} // namespace kitewell
