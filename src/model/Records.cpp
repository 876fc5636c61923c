#include "model/Records.h"

#include "model/Json.h"

#include <QJsonArray>

namespace kitewell {

using namespace Qt::StringLiterals;

namespace {

void putOptional(QJsonObject& object, QLatin1StringView key, const std::optional<QString>& value) {
    if (value)
        object.insert(key, *value);
}

std::optional<QUrl> optionalUrl(const QJsonObject& object, QLatin1StringView key) {
    const std::optional<QString> text = json::optionalString(object, key);
    if (!text)
        return std::nullopt;
    // Strict parsing: text that is not a URL reference (spaces, stray '%', empty) is refused.
    const QUrl url(*text, QUrl::StrictMode);
    if (text->isEmpty() || !url.isValid())
        throw json::DecodingError("originalUrl is not a URL");
    return url;
}

template <typename Record> QList<Record> listOf(const QJsonArray& array) {
    QList<Record> records;
    records.reserve(array.size());
    for (const QJsonValue& element : array)
        records.append(Record::fromJson(json::objectElement(element)));
    return records;
}

template <typename Record> QJsonArray arrayOf(const QList<Record>& records) {
    QJsonArray array;
    for (const Record& record : records)
        array.append(record.toJson());
    return array;
}

} // namespace

Account Account::fromJson(const QJsonObject& object) {
    return {json::requiredString(object, "id"_L1), json::requiredString(object, "email"_L1),
            json::requiredString(object, "name"_L1)};
}

QJsonObject Account::toJson() const {
    return {{"id"_L1, id}, {"email"_L1, email}, {"name"_L1, name}};
}

AlbumEvent AlbumEvent::fromJson(const QJsonObject& object) {
    return {json::requiredString(object, "id"_L1), json::requiredString(object, "title"_L1),
            json::optionalString(object, "collaborationRole"_L1)};
}

QJsonObject AlbumEvent::toJson() const {
    QJsonObject object{{"id"_L1, id}, {"title"_L1, title}};
    putOptional(object, "collaborationRole"_L1, collaborationRole);
    return object;
}

Photo Photo::fromJson(const QJsonObject& object) {
    Photo photo;
    photo.id = json::requiredString(object, "id"_L1);
    photo.name = json::optionalString(object, "name"_L1);
    photo.originalUrl = optionalUrl(object, "originalUrl"_L1);
    photo.createdAt = json::optionalString(object, "createdAt"_L1);
    photo.isPublished = json::optionalBool(object, "isPublished"_L1);
    return photo;
}

QJsonObject Photo::toJson() const {
    QJsonObject object{{"id"_L1, id}};
    putOptional(object, "name"_L1, name);
    if (originalUrl)
        object.insert("originalUrl"_L1, QString::fromUtf8(originalUrl->toEncoded()));
    putOptional(object, "createdAt"_L1, createdAt);
    if (isPublished)
        object.insert("isPublished"_L1, *isPublished);
    return object;
}

ProjectPermissions ProjectPermissions::fromJson(const QJsonObject& object) {
    return {json::requiredBool(object, "canManageAllPhotos"_L1), json::requiredBool(object, "canUpload"_L1)};
}

QJsonObject ProjectPermissions::toJson() const {
    return {{"canManageAllPhotos"_L1, canManageAllPhotos}, {"canUpload"_L1, canUpload}};
}

WorkspaceBootstrap WorkspaceBootstrap::fromJson(const QJsonObject& object) {
    return {Account::fromJson(json::requiredObject(object, "account"_L1)),
            listOf<AlbumEvent>(json::requiredArray(object, "events"_L1))};
}

WorkspaceBootstrap WorkspaceBootstrap::decode(const QByteArray& bytes) {
    return fromJson(json::parseObject(bytes));
}

QJsonObject WorkspaceBootstrap::toJson() const {
    return {{"account"_L1, account.toJson()}, {"events"_L1, arrayOf(events)}};
}

EventWorkspace EventWorkspace::fromJson(const QJsonObject& object) {
    return {AlbumEvent::fromJson(json::requiredObject(object, "event"_L1)),
            listOf<Photo>(json::requiredArray(object, "photos"_L1)),
            ProjectPermissions::fromJson(json::requiredObject(object, "permissions"_L1))};
}

EventWorkspace EventWorkspace::decode(const QByteArray& bytes) {
    return fromJson(json::parseObject(bytes));
}

QJsonObject EventWorkspace::toJson() const {
    return {{"event"_L1, event.toJson()},
            {"photos"_L1, arrayOf(photos)},
            {"permissions"_L1, permissions.toJson()}};
}

SignInResponse SignInResponse::fromJson(const QJsonObject& object) {
    return {json::optionalString(object, "token"_L1)};
}

SignInResponse SignInResponse::decode(const QByteArray& bytes) {
    return fromJson(json::parseObject(bytes));
}

QJsonObject SignInResponse::toJson() const {
    QJsonObject object;
    putOptional(object, "token"_L1, token);
    return object;
}

ErrorResponse ErrorResponse::fromJson(const QJsonObject& object) {
    return {json::optionalString(object, "error"_L1), json::optionalString(object, "message"_L1)};
}

ErrorResponse ErrorResponse::decode(const QByteArray& bytes) {
    return fromJson(json::parseObject(bytes));
}

QJsonObject ErrorResponse::toJson() const {
    QJsonObject object;
    putOptional(object, "error"_L1, error);
    putOptional(object, "message"_L1, message);
    return object;
}

EmptyResponse EmptyResponse::decode(const QByteArray& bytes) {
    if (!json::isJsonDocument(bytes))
        throw json::DecodingError("not JSON");
    return {};
}

namespace {

template <typename T> size_t hashOptional(const std::optional<T>& value, size_t seed) {
    seed = qHashMulti(seed, value.has_value() ? 1 : 0);
    return value ? qHashMulti(seed, *value) : seed;
}

} // namespace

size_t qHash(const AlbumEvent& event, size_t seed) noexcept {
    seed = qHashMulti(seed, event.id, event.title);
    return hashOptional(event.collaborationRole, seed);
}

size_t qHash(const Photo& photo, size_t seed) noexcept {
    seed = qHashMulti(seed, photo.id);
    seed = hashOptional(photo.name, seed);
    seed = hashOptional(photo.originalUrl, seed);
    seed = hashOptional(photo.createdAt, seed);
    return hashOptional(photo.isPublished, seed);
}

} // namespace kitewell
