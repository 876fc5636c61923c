#include "model/Records.h"

#include "model/JsonReader.h"
#include "model/UrlReference.h"

namespace kitewell {

using namespace Qt::StringLiterals;
using namespace json;

namespace {

// Strict parsing: text that is not a URL reference (spaces, stray '%', empty) is refused. The
// text is kept: a QUrl is made only for an original that is fetched.
std::optional<QString> optionalUrl(const Member& member) {
    std::optional<QString> text = optionalString(member);
    if (text && !isUrlReference(*text))
        throw DecodingError("originalUrl is not a URL");
    return text;
}

Account accountFrom(const Value& value) {
    const auto [id, email, name] = membersOf<3>(value, {"id"_L1, "email"_L1, "name"_L1});
    return {requiredString(id), requiredString(email), requiredString(name)};
}

AlbumEvent albumEventFrom(const Value& value) {
    const auto [id, title, role] = membersOf<3>(value, {"id"_L1, "title"_L1, "collaborationRole"_L1});
    return {requiredString(id), requiredString(title), optionalString(role)};
}

Photo photoFrom(const Value& value) {
    const auto [id, name, url, createdAt, isPublished] =
        membersOf<5>(value, {"id"_L1, "name"_L1, "originalUrl"_L1, "createdAt"_L1, "isPublished"_L1});
    return {requiredString(id), optionalString(name), optionalUrl(url), optionalString(createdAt),
            optionalBool(isPublished)};
}

ProjectPermissions permissionsFrom(const Value& value) {
    const auto [canManageAllPhotos, canUpload] =
        membersOf<2>(value, {"canManageAllPhotos"_L1, "canUpload"_L1});
    return {requiredBool(canManageAllPhotos), requiredBool(canUpload)};
}

} // namespace

WorkspaceBootstrap WorkspaceBootstrap::decode(const QByteArray& bytes) {
    const Document document(bytes);
    const auto [account, events] = membersOf<2>(document.root(), {"account"_L1, "events"_L1});
    return {accountFrom(required(account)), requiredList(events, &albumEventFrom)};
}

EventWorkspace EventWorkspace::decode(const QByteArray& bytes) {
    const Document document(bytes);
    const auto [event, photos, permissions] =
        membersOf<3>(document.root(), {"event"_L1, "photos"_L1, "permissions"_L1});
    return {albumEventFrom(required(event)), requiredList(photos, &photoFrom),
            permissionsFrom(required(permissions))};
}

SignInResponse SignInResponse::decode(const QByteArray& bytes) {
    const Document document(bytes);
    const auto [token] = membersOf<1>(document.root(), {"token"_L1});
    return {optionalString(token)};
}

ErrorResponse ErrorResponse::decode(const QByteArray& bytes) {
    const Document document(bytes);
    const auto [error, message] = membersOf<2>(document.root(), {"error"_L1, "message"_L1});
    return {optionalString(error), optionalString(message)};
}

EmptyResponse EmptyResponse::decode(const QByteArray& bytes) {
    if (!isJsonDocument(bytes))
        throw DecodingError("not JSON");
    return {};
}

} // namespace kitewell
