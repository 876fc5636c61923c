#pragma once

// Reading JSON documents by the records' rules (for the decoders' own source files).
//
// simdjson reads every document, and QJsonDocument, the reader whose verdicts this program has
// always kept, decides where the two differ. QJsonDocument also takes a byte order mark, lone
// surrogate escapes, raw control characters and unknown escapes in strings, and numbers such
// as "1." or ones beyond 64 bits: a document simdjson refuses is read by QJsonDocument. It
// refuses a number too small for a double, which simdjson reads as 0: a document holding a
// zero that is not an integer is also given to QJsonDocument to judge. The record code sees
// the same values either way. Of repeated members the last one counts, as in QJsonObject.

#include "model/Json.h"

#include <QJsonValue>
#include <QLatin1StringView>
#include <QList>
#include <QMap>
#include <QSet>
#include <QString>

#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <simdjson.h>
#include <variant>

namespace kitewell::json {

// One value of a Document, valid while the document lives.
class Value {
public:
    explicit Value(simdjson::dom::element element) : m_value(element) {}
    explicit Value(QJsonValue value) : m_value(std::move(value)) {}

    bool isNull() const;
    std::optional<QString> string() const;
    std::optional<bool> boolean() const;
    // How many elements or members an array or object holds (0 for anything else).
    qsizetype size() const;
    // Calls `element` for each element of an array in order; false when this is no array.
    bool forEachElement(const std::function<void(const Value&)>& element) const;
    // Calls `member` for each member of an object in order; false when this is no object.
    bool forEachMember(const std::function<void(const QString& name, const Value&)>& member) const;
    // The object's members of the given names, each the last of its name, into `found`
    // (nothing where there is none); false when this is no object.
    bool members(const QLatin1StringView* names, std::optional<Value>* found, size_t count) const;

private:
    std::variant<simdjson::dom::element, QJsonValue> m_value;
};

// A parsed JSON document. Throws DecodingError for bytes that are not one.
class Document {
public:
    explicit Document(const QByteArray& bytes);
    Document(const Document&) = delete;
    Document& operator=(const Document&) = delete;

    const Value& root() const { return *m_root; }

private:
    std::unique_ptr<simdjson::dom::parser> m_parser; // the values point into it
    std::optional<Value> m_root;
};

// A member as found: nothing when missing.
using Member = std::optional<Value>;

// The members of these names of an object; DecodingError when the value is not an object.
template <size_t N>
std::array<Member, N> membersOf(const Value& object, const std::array<QLatin1StringView, N>& names) {
    std::array<Member, N> found;
    if (!object.members(names.data(), found.data(), N))
        throw DecodingError("not an object");
    return found;
}

// Required members: missing, null or of the wrong type throw DecodingError.
const Value& required(const Member& member);
QString requiredString(const Member& member);
bool requiredBool(const Member& member);
// Optional members: missing or null give nothing; a present value of the wrong type throws.
std::optional<QString> optionalString(const Member& member);
std::optional<bool> optionalBool(const Member& member);

// A required array, each element decoded by `decode`.
template <typename Record> QList<Record> requiredList(const Member& member, Record (*decode)(const Value&)) {
    QList<Record> records;
    records.reserve(required(member).size());
    if (!required(member).forEachElement([&](const Value& element) { records.append(decode(element)); }))
        throw DecodingError("not an array");
    return records;
}

// A required object whose members are records of one kind, each decoded by `decode`. A name
// that comes twice counts with its last value, as in QJsonObject: an earlier value that does
// not decode is forgiven when a later one replaces it.
template <typename Record>
QMap<QString, Record> requiredMap(const Member& member, Record (*decode)(const Value&)) {
    QMap<QString, Record> records;
    QSet<QString> undecodable; // names whose latest value does not decode
    const bool isObject = required(member).forEachMember([&](const QString& name, const Value& value) {
        try {
            // Members come in key order when this program wrote them: each goes at the end.
            records.insert(records.cend(), name, decode(value));
            if (!undecodable.isEmpty())
                undecodable.remove(name);
        } catch (const DecodingError&) {
            records.remove(name);
            undecodable.insert(name);
        }
    });
    if (!isObject)
        throw DecodingError("not an object");
    if (!undecodable.isEmpty())
        throw DecodingError("a member does not decode");
    return records;
}

} // namespace kitewell::json
