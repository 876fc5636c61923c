#pragma once

#include "storage/ServiceOrigin.h"

#include <QByteArray>
#include <QString>
#include <QVariant>
#include <QtCore/qobjectdefs.h>

#include <optional>

namespace kitewell {

// Everything the user chooses that must survive a restart, stored as "settings.json".
struct SyncSettings {
    Q_GADGET
    // For reading in QML, which states changes through the controller. Optional fields read
    // as null when absent.
    Q_PROPERTY(QString baseURL MEMBER baseURL)
    Q_PROPERTY(QVariant originalDirectoryBookmark READ originalDirectoryBookmarkValue)
    Q_PROPERTY(QVariant effectDirectoryBookmark READ effectDirectoryBookmarkValue)
    Q_PROPERTY(QVariant eventId READ eventIdValue)
    Q_PROPERTY(QVariant eventTitle READ eventTitleValue)
    Q_PROPERTY(bool autoSyncEnabled MEMBER autoSyncEnabled)
    Q_PROPERTY(bool autoUploadEffects MEMBER autoUploadEffects)
    Q_PROPERTY(bool autoPublishEffects MEMBER autoPublishEffects)
public:
    QString baseURL = productionOrigin();
    std::optional<QByteArray> originalDirectoryBookmark;
    std::optional<QByteArray> effectDirectoryBookmark;
    std::optional<QString> eventId;
    std::optional<QString> eventTitle;
    bool autoSyncEnabled = true;
    bool autoUploadEffects = false;
    bool autoPublishEffects = false;

    // Compact JSON; absent optionals are left out, bookmarks are standard padded Base64.
    QByteArray encode() const;
    // Throws json::DecodingError on malformed JSON, a missing required key, a wrong type
    // or a bookmark that is not strict Base64. Unknown keys are ignored.
    static SyncSettings decode(const QByteArray& bytes);

    bool operator==(const SyncSettings&) const = default;

    QVariant originalDirectoryBookmarkValue() const;
    QVariant effectDirectoryBookmarkValue() const;
    QVariant eventIdValue() const;
    QVariant eventTitleValue() const;
};

} // namespace kitewell
