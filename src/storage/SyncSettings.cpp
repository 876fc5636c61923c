#include "storage/SyncSettings.h"

#include "model/Json.h"
#include "model/JsonReader.h"

#include <QJsonObject>

namespace kitewell {

using namespace Qt::StringLiterals;

namespace {

const auto baseUrlKey = "baseURL"_L1;
const auto originalBookmarkKey = "originalDirectoryBookmark"_L1;
const auto effectBookmarkKey = "effectDirectoryBookmark"_L1;
const auto eventIdKey = "eventId"_L1;
const auto eventTitleKey = "eventTitle"_L1;
const auto autoSyncKey = "autoSyncEnabled"_L1;
const auto autoUploadKey = "autoUploadEffects"_L1;
const auto autoPublishKey = "autoPublishEffects"_L1;

std::optional<QByteArray> optionalBase64(const json::Member& member) {
    const std::optional<QString> text = json::optionalString(member);
    if (!text)
        return std::nullopt;
    // Qt accepts unpadded input even when asked to abort on errors; the stored form is
    // always padded, so anything else is not ours.
    if (text->size() % 4 != 0)
        throw json::DecodingError("bookmark is not padded Base64");
    auto result = QByteArray::fromBase64Encoding(
        text->toLatin1(), QByteArray::Base64Encoding | QByteArray::AbortOnBase64DecodingErrors);
    // toLatin1 would turn a non-Latin-1 character into '?', which Base64 refuses anyway.
    if (result.decodingStatus != QByteArray::Base64DecodingStatus::Ok)
        throw json::DecodingError("bookmark is not Base64");
    return std::move(result.decoded);
}

void putOptional(QJsonObject& object, QLatin1StringView key, const std::optional<QString>& value) {
    if (value)
        object.insert(key, *value);
}

void putOptional(QJsonObject& object, QLatin1StringView key, const std::optional<QByteArray>& value) {
    if (value)
        object.insert(key, QString::fromLatin1(value->toBase64()));
}

} // namespace

QByteArray SyncSettings::encode() const {
    QJsonObject object{{baseUrlKey, baseURL},
                       {autoSyncKey, autoSyncEnabled},
                       {autoUploadKey, autoUploadEffects},
                       {autoPublishKey, autoPublishEffects}};
    putOptional(object, originalBookmarkKey, originalDirectoryBookmark);
    putOptional(object, effectBookmarkKey, effectDirectoryBookmark);
    putOptional(object, eventIdKey, eventId);
    putOptional(object, eventTitleKey, eventTitle);
    return json::encodeCompact(object);
}

SyncSettings SyncSettings::decode(const QByteArray& bytes) {
    const json::Document document(bytes);
    const auto [base, originalBookmark, effectBookmark, eventId, eventTitle, autoSync, autoUpload,
                autoPublish] =
        json::membersOf<8>(document.root(), {baseUrlKey, originalBookmarkKey, effectBookmarkKey, eventIdKey,
                                             eventTitleKey, autoSyncKey, autoUploadKey, autoPublishKey});
    SyncSettings settings;
    settings.baseURL = json::requiredString(base);
    settings.originalDirectoryBookmark = optionalBase64(originalBookmark);
    settings.effectDirectoryBookmark = optionalBase64(effectBookmark);
    settings.eventId = json::optionalString(eventId);
    settings.eventTitle = json::optionalString(eventTitle);
    settings.autoSyncEnabled = json::requiredBool(autoSync);
    settings.autoUploadEffects = json::requiredBool(autoUpload);
    settings.autoPublishEffects = json::requiredBool(autoPublish);
    return settings;
}

namespace {

QVariant optionalValue(const std::optional<QByteArray>& value) {
    return value ? QVariant(*value) : QVariant();
}

QVariant optionalValue(const std::optional<QString>& value) {
    return value ? QVariant(*value) : QVariant();
}

} // namespace

QVariant SyncSettings::originalDirectoryBookmarkValue() const {
    return optionalValue(originalDirectoryBookmark);
}

QVariant SyncSettings::effectDirectoryBookmarkValue() const {
    return optionalValue(effectDirectoryBookmark);
}

QVariant SyncSettings::eventIdValue() const {
    return optionalValue(eventId);
}

QVariant SyncSettings::eventTitleValue() const {
    return optionalValue(eventTitle);
}

} // namespace kitewell
