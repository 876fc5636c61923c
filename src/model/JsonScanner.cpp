#include "model/JsonScanner.h"

#include <bit>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kitewell::json {

namespace {

// Deeper values are left to QJsonDocument, which has its own limit.
constexpr int kMaxDepth = 64;
// Longer numbers (and any exponent) are left to QJsonDocument: no rounding question arises.
constexpr std::ptrdiff_t kMaxNumberLength = 24;

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

bool isHexDigit(char c) {
    return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

} // namespace

std::optional<QString> JsonScanner::string() {
    std::string_view text;
    if (!decodedString(text, m_buffer))
        return std::nullopt;
    return QString::fromUtf8(text.data(), qsizetype(text.size()));
}

bool JsonScanner::decodedString(std::string_view& text, std::string& buffer) {
    const char* start = m_at + 1;
    const char* end = nullptr;
    if (!scan(end))
        return false;
    const char* escape = static_cast<const char*>(std::memchr(start, '\\', size_t(end - start)));
    if (!escape) {
        text = std::string_view(start, size_t(end - start));
        return true;
    }
    // Runs between escapes are copied whole: stored paths escape every "/".
    buffer.clear();
    const char* run = start;
    while (escape) {
        buffer.append(run, size_t(escape - run));
        char decoded = 0;
        switch (escape[1]) {
        case '"':
        case '\\':
        case '/':
            decoded = escape[1];
            break;
        case 'b':
            decoded = '\b';
            break;
        case 'f':
            decoded = '\f';
            break;
        case 'n':
            decoded = '\n';
            break;
        case 'r':
            decoded = '\r';
            break;
        case 't':
            decoded = '\t';
            break;
        default: // \u is left to QJsonDocument (surrogate pairs, lone surrogates)
            return false;
        }
        buffer.push_back(decoded);
        run = escape + 2;
        escape = static_cast<const char*>(std::memchr(run, '\\', size_t(end - run)));
    }
    buffer.append(run, size_t(end - run));
    text = buffer;
    return true;
}

std::optional<bool> JsonScanner::boolean() {
    if (literal("true"))
        return true;
    if (literal("false"))
        return false;
    return std::nullopt;
}

bool JsonScanner::null() {
    return literal("null");
}

bool JsonScanner::literal(std::string_view word) {
    if (m_end - m_at < std::ptrdiff_t(word.size()) || std::memcmp(m_at, word.data(), word.size()) != 0)
        return false;
    m_at += word.size();
    return true;
}

// -?(0|[1-9][0-9]*)(\.[0-9]+)? and not too long.
bool JsonScanner::number() {
    const char* const start = m_at;
    take('-');
    if (take('0')) {
    } else if (m_at != m_end && isDigit(*m_at)) {
        while (m_at != m_end && isDigit(*m_at))
            ++m_at;
    } else {
        return false;
    }
    if (take('.')) {
        if (m_at == m_end || !isDigit(*m_at))
            return false;
        while (m_at != m_end && isDigit(*m_at))
            ++m_at;
    }
    return m_at - start <= kMaxNumberLength;
}

bool JsonScanner::skipValue(int depth) {
    if (depth > kMaxDepth || m_at == m_end)
        return false;
    switch (*m_at) {
    case '"': {
        const char* end = nullptr;
        return scan(end);
    }
    case '{':
        return object([this, depth](std::string_view) { return skipValue(depth + 1); });
    case '[':
        return array([this, depth] { return skipValue(depth + 1); });
    case 't':
        return literal("true");
    case 'f':
        return literal("false");
    case 'n':
        return null();
    default:
        return number();
    }
}

// Moves past a string that starts at the cursor; `end` points at its closing quote. The
// bytes must be printable ASCII, valid UTF-8 or a valid escape.
bool JsonScanner::scan(const char*& end) {
    if (!take('"'))
        return false;
    while (m_at != m_end) {
#if defined(__SSE2__)
        // Sixteen bytes at a time while none of them needs a closer look.
        if (m_end - m_at >= 16) {
            const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(m_at));
            // Signed compare: bytes from 0x80 on count as below 0x20.
            const __m128i special = _mm_or_si128(_mm_cmplt_epi8(bytes, _mm_set1_epi8(0x20)),
                                                 _mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('"')),
                                                              _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\\'))));
            const unsigned mask = unsigned(_mm_movemask_epi8(special));
            if (mask == 0) {
                m_at += 16;
                continue;
            }
            m_at += std::countr_zero(mask);
        }
#endif
        const auto byte = static_cast<unsigned char>(*m_at);
        if (byte == '"') {
            end = m_at++;
            return true;
        }
        if (byte == '\\') {
            if (m_end - m_at < 2)
                return false;
            const char kind = m_at[1];
            if (kind == 'u') {
                if (m_end - m_at < 6)
                    return false;
                for (int i = 2; i < 6; ++i)
                    if (!isHexDigit(m_at[i]))
                        return false;
                m_at += 6;
            } else if (std::memchr("\"\\/bfnrt", kind, 8)) {
                m_at += 2;
            } else {
                return false;
            }
        } else if (byte < 0x20) {
            return false;
        } else if (byte < 0x80) {
            ++m_at;
        } else if (!utf8Sequence()) {
            return false;
        }
    }
    return false;
}

// Moves past one well-formed UTF-8 sequence of two to four bytes.
bool JsonScanner::utf8Sequence() {
    const auto at = [&](std::ptrdiff_t i) { return static_cast<unsigned char>(m_at[i]); };
    const std::ptrdiff_t left = m_end - m_at;
    const unsigned char lead = at(0);
    std::ptrdiff_t length = 0;
    unsigned char low = 0x80, high = 0xBF; // the allowed range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0)
            low = 0xA0;
        if (lead == 0xED) // no surrogates
            high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0)
            low = 0x90;
        if (lead == 0xF4)
            high = 0x8F;
    } else {
        return false;
    }
    if (left < length || at(1) < low || at(1) > high)
        return false;
    for (std::ptrdiff_t i = 2; i < length; ++i)
        if ((at(i) & 0xC0) != 0x80)
            return false;
    m_at += length;
    return true;
}

} // namespace kitewell::json
