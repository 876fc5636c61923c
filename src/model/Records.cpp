#include "model/Records.h"

#include "model/Json.h"
#include "model/JsonScanner.h"

#include <QJsonArray>

namespace kitewell {

using namespace Qt::StringLiterals;

namespace {

void putOptional(QJsonObject& object, QLatin1StringView key, const std::optional<QString>& value) {
    if (value)
        object.insert(key, *value);
}

// Strict parsing: text that is not a URL reference (spaces, stray '%', empty) is refused.
std::optional<QUrl> strictUrl(const QString& text) {
    QUrl url(text, QUrl::StrictMode);
    if (text.isEmpty() || !url.isValid())
        return std::nullopt;
    return url;
}

std::optional<QUrl> optionalUrl(const QJsonObject& object, QLatin1StringView key) {
    const std::optional<QString> text = json::optionalString(object, key);
    if (!text)
        return std::nullopt;
    std::optional<QUrl> url = strictUrl(*text);
    if (!url)
        throw json::DecodingError("originalUrl is not a URL");
    return url;
}

// Reads a workspace with the quick scanner. Every doubt (a repeated, null or mistyped
// member, a URL that does not parse) gives nullopt and leaves the document to
// QJsonDocument, which decides; an answer from here is the one it would give.
std::optional<EventWorkspace> readWorkspaceQuickly(const QByteArray& bytes) {
    json::JsonScanner scanner(bytes);
    // Each member name once per object, as a bit in `seen`.
    const auto once = [](unsigned& seen, unsigned bit) {
        const bool first = !(seen & bit);
        seen |= bit;
        return first;
    };
    const auto optionalString = [&scanner](std::optional<QString>& target) {
        if (scanner.null())
            return true;
        target = scanner.string();
        return target.has_value();
    };
    const auto optionalBool = [&scanner](std::optional<bool>& target) {
        if (scanner.null())
            return true;
        target = scanner.boolean();
        return target.has_value();
    };

    std::optional<QString> eventId, title, role;
    std::optional<bool> canManageAllPhotos, canUpload;
    QList<Photo> photos;
    const auto photo = [&]() {
        std::optional<QString> id, name, url, createdAt;
        std::optional<bool> isPublished;
        unsigned seen = 0;
        const bool read = scanner.object([&](std::string_view member) {
            if (member == "id")
                return once(seen, 1) && optionalString(id);
            if (member == "name")
                return once(seen, 2) && optionalString(name);
            if (member == "originalUrl")
                return once(seen, 4) && optionalString(url);
            if (member == "createdAt")
                return once(seen, 8) && optionalString(createdAt);
            if (member == "isPublished")
                return once(seen, 16) && optionalBool(isPublished);
            return scanner.skipValue();
        });
        if (!read || !id)
            return false;
        std::optional<QUrl> originalUrl;
        if (url && !(originalUrl = strictUrl(*url)))
            return false;
        photos.append(Photo{std::move(*id), std::move(name), std::move(originalUrl), std::move(createdAt),
                            isPublished});
        return true;
    };

    unsigned seen = 0;
    const bool read = scanner.object([&](std::string_view member) {
        if (member == "event") {
            unsigned fields = 0;
            return once(seen, 1) && scanner.object([&](std::string_view name) {
                if (name == "id")
                    return once(fields, 1) && optionalString(eventId);
                if (name == "title")
                    return once(fields, 2) && optionalString(title);
                if (name == "collaborationRole")
                    return once(fields, 4) && optionalString(role);
                return scanner.skipValue();
            });
        }
        if (member == "photos") {
            photos.reserve(scanner.remaining() / 128);
            return once(seen, 2) && scanner.array(photo);
        }
        if (member == "permissions") {
            unsigned fields = 0;
            return once(seen, 4) && scanner.object([&](std::string_view name) {
                if (name == "canManageAllPhotos")
                    return once(fields, 1) && optionalBool(canManageAllPhotos);
                if (name == "canUpload")
                    return once(fields, 2) && optionalBool(canUpload);
                return scanner.skipValue();
            });
        }
        return scanner.skipValue();
    });
    if (!read || !scanner.finished() || seen != 7 || !eventId || !title || !canManageAllPhotos || !canUpload)
        return std::nullopt;
    return EventWorkspace{{std::move(*eventId), std::move(*title), std::move(role)},
                          std::move(photos),
                          {*canManageAllPhotos, *canUpload}};
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
    // Albums of tens of thousands of photos are read on every pass.
    if (std::optional<EventWorkspace> workspace = readWorkspaceQuickly(bytes))
        return std::move(*workspace);
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
