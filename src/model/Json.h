#pragma once

// The program's JSON: decoding errors, and the one form for writing: compact, forward
// slashes escaped as "\/", absent optionals left out (the callers leave them out). Decoders
// read through model/JsonReader.h.

#include <QByteArray>
#include <QJsonObject>

#include <stdexcept>

namespace kitewell::json {

// A document that does not decode as the record asked for. Never shown to users:
// callers map it to their own error or fallback.
class DecodingError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// True when the bytes are any well-formed JSON document (object, array or scalar).
bool isJsonDocument(const QByteArray& bytes);

// Compact bytes with every "/" written as "\/". A "/" can only occur inside a JSON
// string, so escaping it in the compact text is exact.
QByteArray encodeCompact(const QJsonObject& object);

} // namespace kitewell::json
