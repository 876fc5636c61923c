#include "storage/SyncStateFile.h"

#include "model/Json.h"
#include "model/JsonScanner.h"

#include <QJsonObject>

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kitewell {

using namespace Qt::StringLiterals;

namespace {

const auto recordsKey = "records"_L1;
const auto photoIdKey = "photoId"_L1;
const auto eventIdKey = "eventId"_L1;
const auto pathKey = "originalRelativePath"_L1;
const auto uploadedKey = "lastUploadedEffectFingerprint"_L1;
const auto publishedKey = "lastPublishedEffectFingerprint"_L1;

// Writes JSON text in exactly the form QJsonDocument writes it (UTF-8; quote, backslash
// and control characters escaped, \uXXXX in lower case for lone surrogates) plus "/" as
// "\/". Writes through a raw cursor into room made for the worst case of each piece (6
// bytes per UTF-16 unit); the bytes go to the sink whenever a chunk is full, so the buffer
// stays small however large the state is.
class JsonWriter {
public:
    JsonWriter(qsizetype chunkSize, const SyncStateFile::ByteSink& sink) : m_sink(sink) {
        m_bytes.resize(chunkSize);
        m_out = m_bytes.data();
        m_limit = m_out + m_bytes.size();
    }

    template <qsizetype N> void raw(const char (&text)[N]) { raw(text, N - 1); }
    void raw(const char* text, qsizetype length) {
        room(length);
        std::memcpy(m_out, text, size_t(length));
        m_out += length;
    }

    void string(QStringView text) {
        room(6 * text.size() + 2);
        char* out = m_out;
        *out++ = '"';
        const char16_t* src = text.utf16();
        const char16_t* const end = src + text.size();
        while (src != end) {
#if defined(__SSE2__)
            // Eight units at a time while all of them go out as they are.
            if (end - src >= 8) {
                const __m128i units = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src));
                // Signed compares: units from 0x8000 on count as below 0x20.
                const __m128i special =
                    _mm_or_si128(_mm_or_si128(_mm_cmplt_epi16(units, _mm_set1_epi16(0x20)),
                                              _mm_cmpgt_epi16(units, _mm_set1_epi16(0x7f))),
                                 _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi16(units, _mm_set1_epi16('"')),
                                                           _mm_cmpeq_epi16(units, _mm_set1_epi16('\\'))),
                                              _mm_cmpeq_epi16(units, _mm_set1_epi16('/'))));
                if (_mm_movemask_epi8(special) == 0) {
                    _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm_packus_epi16(units, units));
                    out += 8;
                    src += 8;
                    continue;
                }
            }
#endif
            const char16_t u = *src++;
            if (u < 0x80) {
                if (kPlain[u]) {
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
        m_out = out;
    }

    // Hands what is left to the sink.
    void flush() {
        if (m_out != m_bytes.constData())
            m_sink(m_bytes.constData(), m_out - m_bytes.constData());
        m_out = m_bytes.data();
    }

private:
    // ASCII that goes out as it is: printable, but not '"', '\' or '/'.
    static constexpr auto kPlain = [] {
        std::array<bool, 0x80> plain{};
        for (char16_t c = 0x20; c < 0x80; ++c)
            plain[c] = c != '"' && c != '\\' && c != '/';
        return plain;
    }();

    // Makes sure `length` more bytes fit at the cursor.
    void room(qsizetype length) {
        if (m_limit - m_out >= length)
            return;
        flush();
        if (m_limit - m_out >= length)
            return;
        const qsizetype used = m_out - m_bytes.constData();
        m_bytes.resize(std::max(2 * m_bytes.size(), used + length));
        m_out = m_bytes.data() + used;
        m_limit = m_bytes.data() + m_bytes.size();
    }

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

    const SyncStateFile::ByteSink& m_sink;
    QByteArray m_bytes;
    char* m_out = nullptr;
    char* m_limit = nullptr;
};

// Orders keys by their UTF-16 code units, as QJsonObject does. Keys of one album share a
// long prefix (the album id and ":"), so four units are compared at a time.
bool keyLess(QStringView a, QStringView b) {
    const char16_t* x = a.utf16();
    const char16_t* y = b.utf16();
    const qsizetype common = std::min(a.size(), b.size());
    qsizetype i = 0;
    if constexpr (std::endian::native == std::endian::little) {
        for (; i + 4 <= common; i += 4) {
            quint64 wx;
            quint64 wy;
            std::memcpy(&wx, x + i, sizeof wx);
            std::memcpy(&wy, y + i, sizeof wy);
            if (wx != wy) {
                // The lowest differing bits belong to the first differing unit.
                const int unit = std::countr_zero(wx ^ wy) / 16;
                return x[i + unit] < y[i + unit];
            }
        }
    }
    for (; i < common; ++i)
        if (x[i] != y[i])
            return x[i] < y[i];
    return a.size() < b.size();
}

// One record in the order of writing.
struct Entry {
    quint64 head; // some units of the key, see sortEntries
    QStringView key;
    const SyncRecord* record;
};

// The four code units of the key from `offset` on, packed so that comparing heads compares
// those units in order; a unit past the end counts as 0.
quint64 headAt(QStringView key, qsizetype offset) {
    quint64 head = 0;
    for (qsizetype i = offset; i < offset + 4; ++i)
        head = (head << 16) | (i < key.size() ? key.utf16()[i] : 0u);
    return head;
}

// Sorts by key as keyLess does. The keys lie scattered over the heap and share long
// prefixes, so the range is sorted by the four units after the prefix its keys share,
// held in the entries themselves; keys that agree there are sorted by what follows.
void sortEntries(Entry* begin, Entry* end, qsizetype offset) {
    if (end - begin <= 16) {
        std::sort(begin, end, [](const Entry& a, const Entry& b) { return keyLess(a.key, b.key); });
        return;
    }
    const QStringView first = begin->key;
    qsizetype shared = first.size();
    for (const Entry* e = begin + 1; e != end && shared > offset; ++e) {
        const qsizetype limit = std::min(shared, e->key.size());
        qsizetype i = offset;
        while (i < limit && e->key.utf16()[i] == first.utf16()[i])
            ++i;
        shared = i;
    }
    shared = std::max(shared, offset); // a key shorter than the offset: its head is 0
    for (Entry* e = begin; e != end; ++e)
        e->head = headAt(e->key, shared);
    std::sort(begin, end, [](const Entry& a, const Entry& b) { return a.head < b.head; });
    for (Entry* run = begin; run != end;) {
        Entry* runEnd = run + 1;
        bool longer = run->key.size() > shared + 4;
        while (runEnd != end && runEnd->head == run->head) {
            longer = longer || runEnd->key.size() > shared + 4;
            ++runEnd;
        }
        if (runEnd - run > 1) {
            if (longer)
                sortEntries(run, runEnd, shared + 4);
            else // every key ends within the head: only the lengths are left to order
                std::sort(run, runEnd, [](const Entry& a, const Entry& b) { return keyLess(a.key, b.key); });
        }
        run = runEnd;
    }
}

// Chunks handed to a sink: large enough for few writes, small enough to stay in cache.
constexpr qsizetype kSinkChunk = 256 * 1024;

// QHash iterates in a per-process random order; the keys are sorted as QJsonObject sorts
// them, so the same records always give the same bytes.
std::vector<Entry> sortedEntries(const QHash<QString, SyncRecord>& records) {
    std::vector<Entry> entries;
    entries.reserve(size_t(records.size()));
    for (auto it = records.cbegin(); it != records.cend(); ++it)
        entries.push_back({0, it.key(), &it.value()});
    sortEntries(entries.data(), entries.data() + entries.size(), 0);
    return entries;
}

// The members, separated by commas.
void writeEntries(const std::vector<Entry>& entries, JsonWriter& writer) {
    // The records lie scattered over the heap: each one, and then its texts, is fetched
    // into the cache a few entries ahead of its turn.
    constexpr size_t recordsAhead = 8;
    constexpr size_t textsAhead = 4;
    const size_t count = entries.size();
    for (size_t i = 0; i < count; ++i) {
        if (i + recordsAhead < count)
            __builtin_prefetch(entries[i + recordsAhead].record);
        if (i + textsAhead < count) {
            const Entry& next = entries[i + textsAhead];
            __builtin_prefetch(next.key.utf16());
            __builtin_prefetch(next.record->eventId.constData());
            __builtin_prefetch(next.record->originalRelativePath.constData());
            __builtin_prefetch(next.record->photoId.constData());
        }
        if (i != 0)
            writer.raw(",");
        const Entry& entry = entries[i];
        const SyncRecord& record = *entry.record;
        // Members in QJsonObject's (sorted) order.
        writer.string(entry.key);
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
}

// Reads the state file as this program writes it, and files like it. Anything the quick
// scanner cannot vouch for, or a repeated member, leaves the file to the general decoder.
// Several times faster on large files, which every pass reads.
std::optional<SyncStateFile> readQuickly(const QByteArray& bytes) {
    json::JsonScanner scanner(bytes);
    SyncStateFile state;
    bool haveRecords = false;
    const auto record = [&scanner]() -> std::optional<SyncRecord> {
        std::optional<QString> photoId, eventId, path, uploaded, published;
        unsigned seen = 0;
        const auto field = [&](std::optional<QString>& target, unsigned bit, bool nullable) {
            if (seen & bit)
                return false;
            seen |= bit;
            if (nullable && scanner.null())
                return true;
            target = scanner.string();
            return target.has_value();
        };
        const bool read = scanner.object([&](std::string_view name) {
            if (name == "photoId")
                return field(photoId, 1, false);
            if (name == "eventId")
                return field(eventId, 2, false);
            if (name == "originalRelativePath")
                return field(path, 4, false);
            if (name == "lastUploadedEffectFingerprint")
                return field(uploaded, 8, true);
            if (name == "lastPublishedEffectFingerprint")
                return field(published, 16, true);
            return scanner.skipValue();
        });
        if (!read || !photoId || !eventId || !path)
            return std::nullopt;
        return SyncRecord{std::move(*photoId), std::move(*eventId), std::move(*path), std::move(uploaded),
                          std::move(published)};
    };
    const bool read = scanner.object([&](std::string_view name) {
        if (name != "records")
            return scanner.skipValue();
        if (haveRecords)
            return false;
        haveRecords = true;
        state.records.reserve(scanner.remaining() / 160);
        return scanner.object([&](std::string_view name) {
            QString key = QString::fromUtf8(name.data(), qsizetype(name.size())); // before reading on
            std::optional<SyncRecord> value = record();
            if (!value)
                return false;
            const qsizetype before = state.records.size();
            state.records.insert(std::move(key), std::move(*value));
            return state.records.size() != before; // a repeated key is left to the general decoder
        });
    });
    if (!read || !haveRecords || !scanner.finished())
        return std::nullopt;
    return state;
}

SyncRecord recordFromJson(const QJsonObject& object) {
    return {json::requiredString(object, photoIdKey), json::requiredString(object, eventIdKey),
            json::requiredString(object, pathKey), json::optionalString(object, uploadedKey),
            json::optionalString(object, publishedKey)};
}

} // namespace

QByteArray SyncStateFile::encode() const {
    QByteArray bytes;
    bytes.reserve(24 + records.size() * 200);
    encodeTo([&bytes](const char* data, qsizetype size) { bytes.append(data, size); });
    return bytes;
}

void SyncStateFile::encodeTo(const ByteSink& sink) const {
    // One thread: the disk takes most of a save's time, and a sink that throws (a full disk)
    // leaves nothing behind still reading the records.
    const std::vector<Entry> entries = sortedEntries(records);
    JsonWriter writer(kSinkChunk, sink);
    writer.raw("{\"records\":{");
    writeEntries(entries, writer);
    writer.raw("}}");
    writer.flush();
}

SyncStateFile SyncStateFile::decode(const QByteArray& bytes) {
    if (std::optional<SyncStateFile> state = readQuickly(bytes))
        return std::move(*state);
    const QJsonObject recordsObject = json::requiredObject(json::parseObject(bytes), recordsKey);
    SyncStateFile state;
    state.records.reserve(recordsObject.size());
    for (auto it = recordsObject.constBegin(); it != recordsObject.constEnd(); ++it)
        state.records.insert(it.key(), recordFromJson(json::objectElement(it.value())));
    return state;
}

} // namespace kitewell
