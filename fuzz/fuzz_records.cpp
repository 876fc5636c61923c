// The service records' decoders on arbitrary bytes: each either decodes or fails with
// json::DecodingError (any other exception or crash is a finding), and each keeps the verdict
// and the values of QJsonDocument read by the record rules, written out plainly here: the
// reader must keep QJsonDocument's verdicts wherever simdjson would differ. The bytes as text
// are also a URL reference exactly when QUrl's strict parser says so.

#include "FuzzCheck.h"
#include "model/Json.h"
#include "model/Records.h"
#include "model/UrlReference.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

using namespace kitewell;

namespace {

template <typename Record> std::optional<Record> tryDecode(const QByteArray& bytes) {
    try {
        return Record::decode(bytes);
    } catch (const json::DecodingError&) {
        return std::nullopt;
    }
}

// The record rules over QJsonDocument; Fail stands for a decoding error.
namespace reference {

struct Fail {};

QJsonObject object(const QJsonValue& value) {
    if (!value.isObject())
        throw Fail{};
    return value.toObject();
}

QJsonValue required(const QJsonObject& object, const char* key) {
    const QJsonValue value = object.value(QLatin1String(key));
    if (value.isUndefined() || value.isNull())
        throw Fail{};
    return value;
}

QString string(const QJsonObject& object, const char* key) {
    const QJsonValue value = required(object, key);
    if (!value.isString())
        throw Fail{};
    return value.toString();
}

std::optional<QString> optionalString(const QJsonObject& object, const char* key) {
    const QJsonValue value = object.value(QLatin1String(key));
    if (value.isUndefined() || value.isNull())
        return std::nullopt;
    if (!value.isString())
        throw Fail{};
    return value.toString();
}

bool boolean(const QJsonValue& value) {
    if (!value.isBool())
        throw Fail{};
    return value.toBool();
}

QJsonObject document(const QByteArray& bytes) {
    QJsonParseError error{};
    const QJsonDocument parsed = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError)
        throw Fail{};
    return object(parsed.isObject() ? QJsonValue(parsed.object()) : QJsonValue(parsed.array()));
}

AlbumEvent event(const QJsonObject& object) {
    return {string(object, "id"), string(object, "title"), optionalString(object, "collaborationRole")};
}

std::optional<EventWorkspace> workspace(const QByteArray& bytes) try {
    const QJsonObject root = document(bytes);
    EventWorkspace workspace{event(object(required(root, "event"))), {}, {}};
    const QJsonValue photos = required(root, "photos");
    if (!photos.isArray())
        throw Fail{};
    for (const QJsonValue& element : photos.toArray()) {
        const QJsonObject photo = object(element);
        Photo decoded{string(photo, "id"), optionalString(photo, "name"), std::nullopt,
                      optionalString(photo, "createdAt"), std::nullopt};
        // The reference asks QUrl's strict parser about every URL.
        if (const auto url = optionalString(photo, "originalUrl")) {
            if (url->isEmpty() || !QUrl(*url, QUrl::StrictMode).isValid())
                throw Fail{};
            decoded.originalUrl = url;
        }
        const QJsonValue published = photo.value(QLatin1String("isPublished"));
        if (!published.isUndefined() && !published.isNull())
            decoded.isPublished = boolean(published);
        workspace.photos.append(decoded);
    }
    const QJsonObject permissions = object(required(root, "permissions"));
    workspace.permissions = {boolean(required(permissions, "canManageAllPhotos")),
                             boolean(required(permissions, "canUpload"))};
    return workspace;
} catch (Fail) {
    return std::nullopt;
}

std::optional<ErrorResponse> error(const QByteArray& bytes) try {
    const QJsonObject root = document(bytes);
    return ErrorResponse{optionalString(root, "error"), optionalString(root, "message")};
} catch (Fail) {
    return std::nullopt;
}

} // namespace reference

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QByteArray bytes = fuzzing::bytesOf(data, size);
    const QString text = QString::fromUtf8(bytes);
    FUZZ_CHECK(isUrlReference(text) == (!text.isEmpty() && QUrl(text, QUrl::StrictMode).isValid()));

    const auto workspace = tryDecode<EventWorkspace>(bytes);
    const auto expected = reference::workspace(bytes);
    FUZZ_CHECK(workspace.has_value() == expected.has_value());
    if (workspace) {
        FUZZ_CHECK(workspace->event == expected->event && workspace->photos == expected->photos);
        FUZZ_CHECK(workspace->permissions.canUpload == expected->permissions.canUpload &&
                   workspace->permissions.canManageAllPhotos == expected->permissions.canManageAllPhotos);
    }

    const auto error = tryDecode<ErrorResponse>(bytes);
    const auto expectedError = reference::error(bytes);
    FUZZ_CHECK(error.has_value() == expectedError.has_value());
    if (error)
        FUZZ_CHECK(error->error == expectedError->error && error->message == expectedError->message);

    const auto bootstrap = tryDecode<WorkspaceBootstrap>(bytes);
    const auto signIn = tryDecode<SignInResponse>(bytes);
    // Whatever decodes as an object is a JSON document (except after a byte order mark, which
    // only the record decoders skip, as QJsonDocument does).
    if ((workspace || bootstrap || signIn || error) && !bytes.startsWith("\xef\xbb\xbf"))
        FUZZ_CHECK(tryDecode<EmptyResponse>(bytes).has_value());
    return 0;
}
