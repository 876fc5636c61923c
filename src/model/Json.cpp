#include "model/Json.h"

#include <QJsonDocument>
#include <QJsonParseError>

namespace kitewell::json {

namespace {

[[noreturn]] void fail(const char* what, QLatin1StringView key) {
    throw DecodingError(std::string(what) + ": " + std::string(key.data(), key.size()));
}

QJsonValue present(const QJsonObject& object, QLatin1StringView key) {
    const auto it = object.constFind(key);
    if (it == object.constEnd())
        fail("key not found", key);
    if (it->isNull())
        fail("value not found", key);
    return *it;
}

std::optional<QJsonValue> presentOptional(const QJsonObject& object, QLatin1StringView key) {
    const auto it = object.constFind(key);
    if (it == object.constEnd() || it->isNull())
        return std::nullopt;
    return *it;
}

} // namespace

QJsonObject parseObject(const QByteArray& bytes) {
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError)
        throw DecodingError("not JSON: " + error.errorString().toStdString());
    if (!document.isObject())
        throw DecodingError("top level is not an object");
    return document.object();
}

bool isJsonDocument(const QByteArray& bytes) {
    // QJsonDocument only takes arrays and objects at the top level; wrap the text in an
    // array so a bare scalar ("true", "3", "\"x\"") is judged by the same parser.
    QJsonParseError error{};
    const QByteArray wrapped = '[' + bytes + ']';
    const QJsonDocument document = QJsonDocument::fromJson(wrapped, &error);
    return error.error == QJsonParseError::NoError && document.isArray() && document.array().size() == 1;
}

QString requiredString(const QJsonObject& object, QLatin1StringView key) {
    const QJsonValue value = present(object, key);
    if (!value.isString())
        fail("type mismatch (string)", key);
    return value.toString();
}

bool requiredBool(const QJsonObject& object, QLatin1StringView key) {
    const QJsonValue value = present(object, key);
    if (!value.isBool())
        fail("type mismatch (bool)", key);
    return value.toBool();
}

QJsonObject requiredObject(const QJsonObject& object, QLatin1StringView key) {
    const QJsonValue value = present(object, key);
    if (!value.isObject())
        fail("type mismatch (object)", key);
    return value.toObject();
}

QJsonArray requiredArray(const QJsonObject& object, QLatin1StringView key) {
    const QJsonValue value = present(object, key);
    if (!value.isArray())
        fail("type mismatch (array)", key);
    return value.toArray();
}

std::optional<QString> optionalString(const QJsonObject& object, QLatin1StringView key) {
    const auto value = presentOptional(object, key);
    if (!value)
        return std::nullopt;
    if (!value->isString())
        fail("type mismatch (string)", key);
    return value->toString();
}

std::optional<bool> optionalBool(const QJsonObject& object, QLatin1StringView key) {
    const auto value = presentOptional(object, key);
    if (!value)
        return std::nullopt;
    if (!value->isBool())
        fail("type mismatch (bool)", key);
    return value->toBool();
}

QJsonObject objectElement(const QJsonValue& value) {
    if (!value.isObject())
        throw DecodingError("array element is not an object");
    return value.toObject();
}

QByteArray encodeCompact(const QJsonObject& object) {
    QByteArray bytes = QJsonDocument(object).toJson(QJsonDocument::Compact);
    bytes.replace('/', "\\/");
    return bytes;
}

} // namespace kitewell::json
