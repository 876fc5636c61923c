#include "model/Json.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>

namespace kitewell::json {

bool isJsonDocument(const QByteArray& bytes) {
    // QJsonDocument only takes arrays and objects at the top level; wrap the text in an
    // array so a bare scalar ("true", "3", "\"x\"") is judged by the same parser.
    QJsonParseError error{};
    const QByteArray wrapped = '[' + bytes + ']';
    const QJsonDocument document = QJsonDocument::fromJson(wrapped, &error);
    return error.error == QJsonParseError::NoError && document.isArray() && document.array().size() == 1;
}

QByteArray encodeCompact(const QJsonObject& object) {
    QByteArray bytes = QJsonDocument(object).toJson(QJsonDocument::Compact);
    bytes.replace('/', "\\/");
    return bytes;
}

} // namespace kitewell::json
