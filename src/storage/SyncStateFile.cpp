#include "storage/SyncStateFile.h"

#include "model/JsonReader.h"

#include <QStringEncoder>

#include <algorithm>
#include <cstring>
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
    explicit JsonWriter(const SyncStateFile::ByteSink& sink) : m_sink(sink) { m_chunk.reserve(kChunk + 64); }

    void raw(QByteArrayView text) { m_chunk.append(text); }

    void string(QStringView text) {
        m_chunk.append('"');
        qsizetype plainFrom = 0;
        for (qsizetype i = 0; i < text.size(); ++i) {
            if (isPlain(text, i))
                continue;
            appendUtf8(text.sliced(plainFrom, i - plainFrom));
            appendEscaped(text[i].unicode());
            plainFrom = i + 1;
        }
        appendUtf8(text.sliced(plainFrom));
        m_chunk.append('"');
        if (m_chunk.size() >= kChunk)
            flush();
    }

    // Hands what is left to the sink.
    void flush() {
        if (!m_chunk.isEmpty())
            m_sink(m_chunk.constData(), m_chunk.size());
        m_chunk.clear();
    }

private:
    // Large enough for few writes, small enough to stay in the cache.
    static constexpr qsizetype kChunk = 256 * 1024;

    // Goes out as UTF-8 as it is: not a control character, '"', '\' or '/', and not a
    // surrogate without its partner.
    static bool isPlain(QStringView text, qsizetype i) {
        const char16_t unit = text[i].unicode();
        if (unit < 0x80)
            return unit >= 0x20 && unit != u'"' && unit != u'\\' && unit != u'/';
        if (QChar::isHighSurrogate(unit))
            return i + 1 < text.size() && QChar::isLowSurrogate(text[i + 1].unicode());
        if (QChar::isLowSurrogate(unit))
            return i > 0 && QChar::isHighSurrogate(text[i - 1].unicode());
        return true;
    }

    void appendUtf8(QStringView run) {
        const qsizetype used = m_chunk.size();
        m_chunk.resize(used + m_encoder.requiredSpace(run.size()));
        char* const end = m_encoder.appendToBuffer(m_chunk.data() + used, run);
        m_chunk.truncate(end - m_chunk.constData());
    }

    void appendEscaped(char16_t unit) {
        m_chunk.append('\\');
        switch (unit) {
        case u'"':
        case u'\\':
        case u'/':
            m_chunk.append(char(unit));
            break;
        case u'\b':
            m_chunk.append('b');
            break;
        case u'\f':
            m_chunk.append('f');
            break;
        case u'\n':
            m_chunk.append('n');
            break;
        case u'\r':
            m_chunk.append('r');
            break;
        case u'\t':
            m_chunk.append('t');
            break;
        default:
            m_chunk.append('u').append(QByteArray::number(unit, 16).rightJustified(4, '0'));
            break;
        }
    }

    const SyncStateFile::ByteSink& m_sink;
    QStringEncoder m_encoder{QStringEncoder::Utf8};
    QByteArray m_chunk;
};

using Entry = std::pair<QStringView, const SyncRecord*>;

// QHash iterates in a per-process random order; the keys are sorted by their UTF-16 code
// units, as QJsonObject sorts them, so the same records always give the same bytes.
std::vector<Entry> sortedEntries(const QHash<QString, SyncRecord>& records) {
    std::vector<Entry> entries;
    entries.reserve(size_t(records.size()));
    for (auto it = records.cbegin(); it != records.cend(); ++it)
        entries.emplace_back(it.key(), &it.value());
    std::sort(entries.begin(), entries.end(),
              [](const Entry& a, const Entry& b) { return a.first < b.first; });
    return entries;
}

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
    encodeTo([&bytes](const char* data, qsizetype size) { bytes.append(data, size); });
    return bytes;
}

void SyncStateFile::encodeTo(const ByteSink& sink) const {
    JsonWriter writer(sink);
    writer.raw("{\"records\":{");
    bool first = true;
    for (const auto& [key, record] : sortedEntries(records)) {
        if (!std::exchange(first, false))
            writer.raw(",");
        writeRecord(writer, key, *record);
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
