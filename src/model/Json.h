#pragma once

// Strict JSON reading and the program's one JSON form for writing: compact, forward
// slashes escaped as "\/", absent optionals left out (the callers leave them out).

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>

#include <optional>
#include <stdexcept>

namespace kitewell::json {

// A document that does not decode as the record asked for. Never shown to users:
// callers map it to their own error or fallback.
class DecodingError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Parses bytes as a JSON document whose top level is an object.
QJsonObject parseObject(const QByteArray& bytes);
// True when the bytes are any well-formed JSON document (object, array or scalar).
bool isJsonDocument(const QByteArray& bytes);

// Required members: missing, null or the wrong type throw DecodingError.
QString requiredString(const QJsonObject& object, QLatin1StringView key);
bool requiredBool(const QJsonObject& object, QLatin1StringView key);
QJsonObject requiredObject(const QJsonObject& object, QLatin1StringView key);
QJsonArray requiredArray(const QJsonObject& object, QLatin1StringView key);

// Optional members: missing or null give nullopt; a present value of the wrong type throws.
std::optional<QString> optionalString(const QJsonObject& object, QLatin1StringView key);
std::optional<bool> optionalBool(const QJsonObject& object, QLatin1StringView key);

// The element of an array that must be an object.
QJsonObject objectElement(const QJsonValue& value);

// Compact bytes with every "/" written as "\/". A "/" can only occur inside a JSON
// string, so escaping it in the compact text is exact.
QByteArray encodeCompact(const QJsonObject& object);

} // namespace kitewell::json
