#include "model/UrlReference.h"

#include <QUrl>

#include <algorithm>
#include <array>
#include <string_view>
#include <utility>

namespace kitewell {

namespace {

bool isAsciiLetter(char16_t c) {
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z');
}

bool isDigit(char16_t c) {
    return c >= u'0' && c <= u'9';
}

bool isHexDigit(char16_t c) {
    return isDigit(c) || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
}

// The characters of a path, query or fragment besides percent escapes: unreserved ones,
// sub-delimiters, ":", "@", "/" and "?".
constexpr std::array<bool, 128> plainCharacters = [] {
    std::array<bool, 128> table{};
    for (char c = 'a'; c <= 'z'; ++c)
        table[size_t(c)] = table[size_t(c - 'a' + 'A')] = true;
    for (char c = '0'; c <= '9'; ++c)
        table[size_t(c)] = true;
    for (const char c : std::string_view("-._~!$&'()*+,;=:@/?"))
        table[size_t(c)] = true;
    return table;
}();

// Path, query and fragment: plain characters and percent escapes, with at most one "#".
bool isPlainTail(QStringView tail) {
    bool fragment = false;
    for (qsizetype i = 0; i < tail.size(); ++i) {
        const char16_t c = tail[i].unicode();
        if (c == u'%') {
            if (i + 2 >= tail.size() || !isHexDigit(tail[i + 1].unicode()) ||
                !isHexDigit(tail[i + 2].unicode()))
                return false;
            i += 2;
        } else if (c == u'#') {
            if (std::exchange(fragment, true))
                return false;
        } else if (c >= plainCharacters.size() || !plainCharacters[c]) {
            return false;
        }
    }
    return true;
}

// An IPv4 address in its usual form (no leading zeros), or a host name of letters, digits and
// inner hyphens in dot-separated labels whose last one is not all digits.
bool isPlainHost(QStringView host) {
    if (host.isEmpty() || host.size() > 253)
        return false;
    qsizetype labels = 0;
    bool allDigits = true; // every label so far
    for (qsizetype start = 0;; ++labels) {
        qsizetype end = start;
        bool digits = true;
        int value = 0;
        for (; end < host.size() && host[end] != u'.'; ++end) {
            const char16_t c = host[end].unicode();
            if (isDigit(c))
                value = std::min(value * 10 + (c - u'0'), 1000);
            else if (isAsciiLetter(c) || c == u'-')
                digits = false;
            else
                return false;
        }
        const QStringView label = host.mid(start, end - start);
        // An internationalised label ("xn--") has rules of its own: QUrl judges it.
        if (label.isEmpty() || label.size() > 63 || label.front() == u'-' || label.back() == u'-' ||
            label.startsWith(u"xn--", Qt::CaseInsensitive))
            return false;
        if (digits && ((label.size() > 1 && label.front() == u'0') || value > 255))
            return false;
        allDigits = allDigits && digits;
        if (end == host.size())
            return allDigits ? labels + 1 == 4 : !digits;
        start = end + 1;
    }
}

// "scheme://host[:port]" followed by an absolute path, query or fragment, or an absolute path
// alone, all of plain characters: forms QUrl always accepts.
bool isPlainUrl(QStringView text) {
    QStringView tail = text;
    if (text.startsWith(u"//"))
        return false;
    if (!text.startsWith(u'/')) {
        const qsizetype separator = text.indexOf(u"://");
        if (separator <= 0 || !isAsciiLetter(text.front().unicode()))
            return false;
        for (const QChar c : text.left(separator)) {
            if (!isAsciiLetter(c.unicode()) && !isDigit(c.unicode()) && c != u'+' && c != u'-' && c != u'.')
                return false;
        }
        const QStringView rest = text.mid(separator + 3);
        qsizetype end = 0;
        while (end < rest.size() && rest[end] != u'/' && rest[end] != u'?' && rest[end] != u'#')
            ++end;
        QStringView host = rest.left(end);
        if (const qsizetype colon = host.lastIndexOf(u':'); colon >= 0) {
            const QStringView port = host.mid(colon + 1);
            int value = 0;
            for (const QChar c : port) {
                if (!isDigit(c.unicode()))
                    return false;
                value = std::min(value * 10 + (c.unicode() - u'0'), 100'000);
            }
            if (port.isEmpty() || value > 65535)
                return false;
            host = host.left(colon);
        }
        if (!isPlainHost(host))
            return false;
        tail = rest.mid(end);
    }
    return isPlainTail(tail);
}

} // namespace

bool isUrlReference(const QString& text) {
    return !text.isEmpty() && (isPlainUrl(text) || QUrl(text, QUrl::StrictMode).isValid());
}

} // namespace kitewell
