#pragma once

#include <QString>

#include <optional>

namespace kitewell {

// What the program remembers of one album photo.
struct SyncRecord {
    QString photoId;
    QString eventId;
    // Relative to the originals folder, always with "/": album folder name "/" file name.
    QString originalRelativePath;
    std::optional<QString> lastUploadedEffectFingerprint;
    std::optional<QString> lastPublishedEffectFingerprint;

    bool operator==(const SyncRecord&) const = default;
};

} // namespace kitewell
