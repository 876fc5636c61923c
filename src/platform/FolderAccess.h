#pragma once

#include "platform/FolderBookmark.h"

namespace kitewell {

// The folder operations a sync pass needs, as an object so a caller can watch or replace
// them (tests record the start and stop calls). The default forwards to FolderBookmark.
class FolderAccess {
public:
    virtual ~FolderAccess() = default;

    virtual FolderBookmark::Resolved resolve(const QByteArray& bookmark) {
        return FolderBookmark::resolve(bookmark);
    }
    virtual bool startAccess(const QString& folderPath) { return FolderBookmark::startAccess(folderPath); }
    virtual void stopAccess(const QString& folderPath) { FolderBookmark::stopAccess(folderPath); }
};

} // namespace kitewell
