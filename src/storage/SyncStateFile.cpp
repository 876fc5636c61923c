#include "storage/SyncStateFile.h"

#include "model/Json.h"

#include <QJsonObject>

#include <algorithm>
#include <vector>

namespace kitewell {

using namespace Qt::StringLiterals;

namespace {

const auto recordsKey = "records"_L1;
const auto photoIdKey = "photoId"_L1;
const auto eventIdKey = "eventId"_L1;
const auto pathKey = "originalRelativePath"_L1;
const auto uploadedKey = "lastUploadedEffectFingerprint"_L1;
const auto publishedKey = "lastPublishedEffectFingerprint"_L1;

// Appends JSON text in exactly the form QJsonDocument writes it (UTF-8; quote, backslash
// and control characters escaped, \uXXXX in lower case for lone surrogates) plus "/" as
// "\/". Writes through a raw pointer into room reserved for the worst case (6 bytes per
// UTF-16 unit), then trims: the state file is large and saved often.
class JsonWriter {
public:
    explicit JsonWriter(qsizetype expectedSize) { m_bytes.reserve(expectedSize); }

    void raw(const char* text, qsizetype length) { m_bytes.append(text, length); }
    template <qsizetype N> void raw(const char (&text)[N]) { raw(text, N - 1); }

    void string(QStringView text) {
        const qsizetype start = m_bytes.size();
        m_bytes.resize(start + 6 * text.size() + 2);
        char* out = m_bytes.data() + start;
        *out++ = '"';
        const char16_t* src = text.utf16();
        const char16_t* const end = src + text.size();
        while (src != end) {
            const char16_t u = *src++;
            if (u < 0x80) {
                if (u >= 0x20 && u != '"' && u != '\\' && u != '/') {
                    *out++ = char(u);
                    continue;
                }
                *out++ = '\\';
                switch (u) {
                case '"':
                    *out++ = '"';
                    break;
                case '\\':
                    *out++ = '\\';
                    break;
                case '/':
                    *out++ = '/';
                    break;
                case '\b':
                    *out++ = 'b';
                    break;
                case '\f':
                    *out++ = 'f';
                    break;
                case '\n':
                    *out++ = 'n';
                    break;
                case '\r':
                    *out++ = 'r';
                    break;
                case '\t':
                    *out++ = 't';
                    break;
                default:
                    out = unicodeEscape(out, u);
                    break;
                }
            } else if (u < 0x800) {
                *out++ = char(0xc0 | (u >> 6));
                *out++ = char(0x80 | (u & 0x3f));
            } else if (QChar::isHighSurrogate(u) && src != end && QChar::isLowSurrogate(*src)) {
                const char32_t c = QChar::surrogateToUcs4(u, *src++);
                *out++ = char(0xf0 | (c >> 18));
                *out++ = char(0x80 | ((c >> 12) & 0x3f));
                *out++ = char(0x80 | ((c >> 6) & 0x3f));
                *out++ = char(0x80 | (c & 0x3f));
            } else if (QChar::isSurrogate(u)) {
                // A lone surrogate has no UTF-8 form.
                *out++ = '\\';
                out = unicodeEscape(out, u);
            } else {
                *out++ = char(0xe0 | (u >> 12));
                *out++ = char(0x80 | ((u >> 6) & 0x3f));
                *out++ = char(0x80 | (u & 0x3f));
            }
        }
        *out++ = '"';
        m_bytes.resize(out - m_bytes.constData());
    }

    // "key": with the key written as a string.
    void member(QLatin1StringView key) {
        m_bytes.append('"');
        m_bytes.append(key.data(), key.size());
        m_bytes.append("\":", 2);
    }

    QByteArray take() { return std::move(m_bytes); }

private:
    // Writes "\u00XX"-style escapes; `out` points at the byte after a written backslash.
    static char* unicodeEscape(char* out, char16_t u) {
        static constexpr char hex[] = "0123456789abcdef";
        *out++ = 'u';
        *out++ = hex[(u >> 12) & 0xf];
        *out++ = hex[(u >> 8) & 0xf];
        *out++ = hex[(u >> 4) & 0xf];
        *out++ = hex[u & 0xf];
        return out;
    }

    QByteArray m_bytes;
};

SyncRecord recordFromJson(const QJsonObject& object) {
    return {json::requiredString(object, photoIdKey), json::requiredString(object, eventIdKey),
            json::requiredString(object, pathKey), json::optionalString(object, uploadedKey),
            json::optionalString(object, publishedKey)};
}

} // namespace

QByteArray SyncStateFile::encode() const {
    // QHash iterates in a per-process random order; sort the keys as QJsonObject does
    // (by UTF-16 code units), so the same records always give the same bytes.
    struct Entry {
        QStringView key;
        const SyncRecord* record;
    };
    std::vector<Entry> entries;
    entries.reserve(size_t(records.size()));
    for (auto it = records.cbegin(); it != records.cend(); ++it)
        entries.push_back({it.key(), &it.value()});
    std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
        // Inline: keys of one album share a long prefix, and this runs ~300,000 times for 20,000 records.
        const char16_t* x = a.key.utf16();
        const char16_t* y = b.key.utf16();
        const qsizetype common = std::min(a.key.size(), b.key.size());
        for (qsizetype i = 0; i < common; ++i)
            if (x[i] != y[i])
                return x[i] < y[i];
        return a.key.size() < b.key.size();
    });

    JsonWriter writer(24 + records.size() * 256);
    writer.raw("{\"records\":{");
    bool first = true;
    for (const Entry& entry : entries) {
        if (!first)
            writer.raw(",");
        first = false;
        const SyncRecord& record = *entry.record;
        // Members in QJsonObject's (sorted) order.
        writer.string(entry.key);
        writer.raw(":{");
        writer.member(eventIdKey);
        writer.string(record.eventId);
        if (record.lastPublishedEffectFingerprint) {
            writer.raw(",");
            writer.member(publishedKey);
            writer.string(*record.lastPublishedEffectFingerprint);
        }
        if (record.lastUploadedEffectFingerprint) {
            writer.raw(",");
            writer.member(uploadedKey);
            writer.string(*record.lastUploadedEffectFingerprint);
        }
        writer.raw(",");
        writer.member(pathKey);
        writer.string(record.originalRelativePath);
        writer.raw(",");
        writer.member(photoIdKey);
        writer.string(record.photoId);
        writer.raw("}");
    }
    writer.raw("}}");
    return writer.take();
}

SyncStateFile SyncStateFile::decode(const QByteArray& bytes) {
    const QJsonObject recordsObject = json::requiredObject(json::parseObject(bytes), recordsKey);
    SyncStateFile state;
    state.records.reserve(recordsObject.size());
    for (auto it = recordsObject.constBegin(); it != recordsObject.constEnd(); ++it)
        state.records.insert(it.key(), recordFromJson(json::objectElement(it.value())));
    return state;
}

} // namespace kitewell
