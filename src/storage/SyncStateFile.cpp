#include "storage/SyncStateFile.h"

#include "model/JsonReader.h"

#include <algorithm>
#include <string_view>
#include <utility>
#include <vector>

namespace kitewell {

using namespace Qt::StringLiterals;

namespace {

// Writes JSON text in exactly the form QJsonDocument writes it (UTF-8; quote, backslash and
// control characters escaped, \uXXXX in lower case for lone surrogates), plus "/" as "\/".
// The bytes go to the sink a chunk at a time, so the buffer stays small however large the
// state is.
class JsonWriter {
public:
    explicit JsonWriter(const SyncStateFile::ByteSink& sink) : m_sink(sink) { reserve(kChunk); }

    void raw(std::string_view text) {
        room(qsizetype(text.size()));
        m_out = std::copy(text.begin(), text.end(), m_out);
    }

    void string(QStringView text) {
        // At most six bytes per UTF-16 unit (an escape), and the quotes.
        room(6 * text.size() + 2);
        char* out = m_out;
        *out++ = '"';
        const char16_t* const end = text.utf16() + text.size();
        for (const char16_t* unit = text.utf16(); unit != end; ++unit) {
            const char16_t u = *unit;
            if (u >= 0x20 && u < 0x80 && u != u'"' && u != u'\\' && u != u'/')
                *out++ = char(u);
            else if (u < 0x80)
                out = escaped(out, u);
            else if (u < 0x800)
                out = utf8(out, u, 2);
            else if (!QChar::isSurrogate(u))
                out = utf8(out, u, 3);
            else if (QChar::isHighSurrogate(u) && unit + 1 != end && QChar::isLowSurrogate(unit[1]))
                out = utf8(out, QChar::surrogateToUcs4(u, *++unit), 4);
            else // a lone surrogate has no UTF-8 form
                out = unicodeEscape(out, u);
        }
        *out++ = '"';
        m_out = out;
    }

    // Hands what is left to the sink.
    void flush() {
        if (m_out != m_chunk.constData())
            m_sink(m_chunk.constData(), m_out - m_chunk.constData());
        m_out = m_chunk.data();
    }

private:
    // Large enough for few writes, small enough to stay in the cache.
    static constexpr qsizetype kChunk = 256 * 1024;

    // Makes room for `size` more bytes at m_out.
    void room(qsizetype size) {
        if (m_end - m_out >= size)
            return;
        flush();
        if (size > m_chunk.size())
            reserve(size);
    }

    void reserve(qsizetype size) {
        m_chunk.resize(size);
        m_out = m_chunk.data();
        m_end = m_out + size;
    }

    // The code point in UTF-8, in `length` bytes.
    static char* utf8(char* out, char32_t c, int length) {
        static constexpr unsigned char lead[] = {0, 0, 0xc0, 0xe0, 0xf0};
        *out++ = char(lead[length] | (c >> (6 * (length - 1))));
        for (int shift = 6 * (length - 2); shift >= 0; shift -= 6)
            *out++ = char(0x80 | ((c >> shift) & 0x3f));
        return out;
    }

    // An ASCII character that needs an escape.
    static char* escaped(char* out, char16_t u) {
        static constexpr char shortEscapes[][2] = {{'"', '"'},  {'\\', '\\'}, {'/', '/'},  {'\b', 'b'},
                                                   {'\f', 'f'}, {'\n', 'n'},  {'\r', 'r'}, {'\t', 't'}};
        for (const auto& [character, letter] : shortEscapes) {
            if (u == char16_t(character)) {
                *out++ = '\\';
                *out++ = letter;
                return out;
            }
        }
        return unicodeEscape(out, u);
    }

    static char* unicodeEscape(char* out, char16_t u) {
        static constexpr char hex[] = "0123456789abcdef";
        for (const char c : {'\\', 'u', hex[u >> 12], hex[(u >> 8) & 0xf], hex[(u >> 4) & 0xf], hex[u & 0xf]})
            *out++ = c;
        return out;
    }

    const SyncStateFile::ByteSink& m_sink;
    QByteArray m_chunk;
    char* m_out = nullptr;
    char* m_end = nullptr;
};

// One record's member, its members in QJsonObject's (sorted) order.
void writeRecord(JsonWriter& writer, QStringView key, const SyncRecord& record) {
    writer.string(key);
    writer.raw(":{\"eventId\":");
    writer.string(record.eventId);
    if (record.lastPublishedEffectFingerprint) {
        writer.raw(",\"lastPublishedEffectFingerprint\":");
        writer.string(*record.lastPublishedEffectFingerprint);
    }
    if (record.lastUploadedEffectFingerprint) {
        writer.raw(",\"lastUploadedEffectFingerprint\":");
        writer.string(*record.lastUploadedEffectFingerprint);
    }
    writer.raw(",\"originalRelativePath\":");
    writer.string(record.originalRelativePath);
    writer.raw(",\"photoId\":");
    writer.string(record.photoId);
    writer.raw("}");
}

SyncRecord recordFrom(const json::Value& value) {
    const auto [photoId, eventId, path, uploaded, published] =
        json::membersOf<5>(value, {"photoId"_L1, "eventId"_L1, "originalRelativePath"_L1,
                                   "lastUploadedEffectFingerprint"_L1, "lastPublishedEffectFingerprint"_L1});
    return {json::requiredString(photoId), json::requiredString(eventId), json::requiredString(path),
            json::optionalString(uploaded), json::optionalString(published)};
}

} // namespace

QByteArray SyncStateFile::encode() const {
    QByteArray bytes;
    bytes.reserve(24 + records.size() * 200);
    encodeTo([&bytes](const char* data, qsizetype size) { bytes.append(data, size); });
    return bytes;
}

void SyncStateFile::encodeTo(const ByteSink& sink) const {
    JsonWriter writer(sink);
    writer.raw("{\"records\":{");
    bool first = true;
    for (auto it = records.cbegin(); it != records.cend(); ++it) {
        if (!std::exchange(first, false))
            writer.raw(",");
        writeRecord(writer, it.key(), *it);
    }
    writer.raw("}}");
    writer.flush();
}

SyncStateFile SyncStateFile::decode(const QByteArray& bytes) {
    const json::Document document(bytes);
    const auto [records] = json::membersOf<1>(document.root(), {"records"_L1});
    return {json::requiredMap(records, &recordFrom)};
}

} // namespace kitewell
