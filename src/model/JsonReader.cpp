#include "model/JsonReader.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace kitewell::json {

namespace {

using Element = simdjson::dom::element;

QString text(std::string_view utf8) {
    return QString::fromUtf8(utf8.data(), qsizetype(utf8.size()));
}

std::optional<QJsonDocument> parsedByQt(const QByteArray& bytes) {
    QJsonParseError error{};
    QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    return error.error == QJsonParseError::NoError ? std::optional(std::move(document)) : std::nullopt;
}

// Whether a number in the document reads as a zero that is not an integer ("0.0", or a
// number too small for a double: simdjson reads 1e-400 as 0, where QJsonDocument refuses it).
bool holdsZeroDouble(Element element) {
    switch (element.type()) {
    case simdjson::dom::element_type::ARRAY:
        for (const Element item : simdjson::dom::array(element))
            if (holdsZeroDouble(item))
                return true;
        return false;
    case simdjson::dom::element_type::OBJECT:
        for (const simdjson::dom::key_value_pair field : simdjson::dom::object(element))
            if (holdsZeroDouble(field.value))
                return true;
        return false;
    case simdjson::dom::element_type::DOUBLE:
        return double(element) == 0.0;
    default:
        return false;
    }
}

} // namespace

Document::Document(const QByteArray& bytes) : m_parser(std::make_unique<simdjson::dom::parser>()) {
    // simdjson reads up to SIMDJSON_PADDING bytes past the end: bytes with that much room
    // left after them (a grown answer body) are read where they are, not copied first.
    QByteArray shared = bytes; // data_ptr() has no const form; this copy shares the bytes
    const bool roomAfter = shared.data_ptr().freeSpaceAtEnd() >= qsizetype(simdjson::SIMDJSON_PADDING);
    Element root;
    if (!m_parser->parse(bytes.constData(), size_t(bytes.size()), !roomAfter).get(root)) {
        // A zero may have been a number QJsonDocument refuses: its verdict counts.
        if (holdsZeroDouble(root) && !parsedByQt(bytes))
            throw DecodingError("a number out of range");
        m_root.emplace(root);
        return;
    }
    m_parser.reset();
    const std::optional<QJsonDocument> document = parsedByQt(bytes);
    if (!document)
        throw DecodingError("not JSON");
    m_root.emplace(document->isObject() ? QJsonValue(document->object()) : QJsonValue(document->array()));
}

bool Value::isNull() const {
    if (const auto* element = std::get_if<Element>(&m_value))
        return element->is_null();
    return std::get<QJsonValue>(m_value).isNull();
}

std::optional<QString> Value::string() const {
    if (const auto* element = std::get_if<Element>(&m_value)) {
        std::string_view utf8;
        return element->get_string().get(utf8) ? std::nullopt : std::optional(text(utf8));
    }
    const QJsonValue& value = std::get<QJsonValue>(m_value);
    return value.isString() ? std::optional(value.toString()) : std::nullopt;
}

std::optional<bool> Value::boolean() const {
    if (const auto* element = std::get_if<Element>(&m_value)) {
        bool result = false;
        return element->get_bool().get(result) ? std::nullopt : std::optional(result);
    }
    const QJsonValue& value = std::get<QJsonValue>(m_value);
    return value.isBool() ? std::optional(value.toBool()) : std::nullopt;
}

qsizetype Value::size() const {
    if (const auto* element = std::get_if<Element>(&m_value)) {
        simdjson::dom::array array;
        simdjson::dom::object object;
        if (!element->get_array().get(array))
            return qsizetype(array.size());
        return element->get_object().get(object) ? 0 : qsizetype(object.size());
    }
    const QJsonValue& value = std::get<QJsonValue>(m_value);
    return value.isArray() ? value.toArray().size() : value.isObject() ? value.toObject().size() : 0;
}

bool Value::forEachElement(const std::function<void(const Value&)>& element) const {
    if (const auto* own = std::get_if<Element>(&m_value)) {
        simdjson::dom::array array;
        if (own->get_array().get(array))
            return false;
        for (const Element item : array)
            element(Value(item));
        return true;
    }
    const QJsonValue& value = std::get<QJsonValue>(m_value);
    if (!value.isArray())
        return false;
    for (const QJsonValue& item : value.toArray())
        element(Value(item));
    return true;
}

bool Value::forEachMember(const std::function<void(const QString& name, const Value&)>& member) const {
    if (const auto* own = std::get_if<Element>(&m_value)) {
        simdjson::dom::object object;
        if (own->get_object().get(object))
            return false;
        for (const simdjson::dom::key_value_pair field : object)
            member(text(field.key), Value(field.value));
        return true;
    }
    const QJsonValue& value = std::get<QJsonValue>(m_value);
    if (!value.isObject())
        return false;
    const QJsonObject object = value.toObject();
    for (auto it = object.constBegin(); it != object.constEnd(); ++it)
        member(it.key(), Value(it.value()));
    return true;
}

bool Value::members(const QLatin1StringView* names, std::optional<Value>* found, size_t count) const {
    if (const auto* own = std::get_if<Element>(&m_value)) {
        simdjson::dom::object object;
        if (own->get_object().get(object))
            return false;
        // One walk over the members; a later member of a name replaces an earlier one.
        for (const simdjson::dom::key_value_pair field : object)
            for (size_t i = 0; i < count; ++i)
                if (field.key == std::string_view(names[i].data(), size_t(names[i].size())))
                    found[i].emplace(field.value);
        return true;
    }
    const QJsonValue& value = std::get<QJsonValue>(m_value);
    if (!value.isObject())
        return false;
    const QJsonObject object = value.toObject();
    for (size_t i = 0; i < count; ++i) {
        const auto it = object.constFind(names[i]);
        if (it != object.constEnd())
            found[i].emplace(it.value());
    }
    return true;
}

const Value& required(const Member& member) {
    if (!member)
        throw DecodingError("key not found");
    if (member->isNull())
        throw DecodingError("value not found");
    return *member;
}

QString requiredString(const Member& member) {
    std::optional<QString> value = required(member).string();
    if (!value)
        throw DecodingError("type mismatch (string)");
    return std::move(*value);
}

bool requiredBool(const Member& member) {
    const std::optional<bool> value = required(member).boolean();
    if (!value)
        throw DecodingError("type mismatch (bool)");
    return *value;
}

std::optional<QString> optionalString(const Member& member) {
    if (!member || member->isNull())
        return std::nullopt;
    std::optional<QString> value = member->string();
    if (!value)
        throw DecodingError("type mismatch (string)");
    return value;
}

std::optional<bool> optionalBool(const Member& member) {
    if (!member || member->isNull())
        return std::nullopt;
    const std::optional<bool> value = member->boolean();
    if (!value)
        throw DecodingError("type mismatch (bool)");
    return value;
}

} // namespace kitewell::json
