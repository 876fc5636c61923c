#pragma once

// A quick reader for the large documents the program reads on every pass. It reads the
// usual shapes (objects, arrays, strings with the short escapes, literals, plain numbers)
// and gives up on anything it cannot be sure to read exactly as QJsonDocument does: a \u
// escape in a text it keeps, a raw control character, invalid UTF-8, a byte order mark,
// an exponent or a long number, deep nesting. Every call that gives up returns false or
// nullopt; the caller then decodes the whole document with QJsonDocument, which decides.

#include <QByteArray>
#include <QString>

#include <optional>
#include <string>
#include <string_view>

namespace kitewell::json {

class JsonScanner {
public:
    explicit JsonScanner(const QByteArray& bytes) : m_at(bytes.constData()), m_end(m_at + bytes.size()) {}
    // The scanner points into the bytes: they must outlive it.
    explicit JsonScanner(QByteArray&&) = delete;

    // Calls member(name) for each member of the object at the cursor, with the cursor on
    // the member's value; member reads the value and returns whether it could. The name
    // (UTF-8) is only valid until member reads further.
    template <typename Member> bool object(Member&& member) {
        space();
        if (!take('{'))
            return false;
        space();
        if (take('}'))
            return true;
        do {
            space();
            std::string_view name;
            if (!decodedString(name, m_name) || !colon() || !member(name))
                return false;
            space();
        } while (take(','));
        return take('}');
    }

    // Calls element() for each element of the array at the cursor.
    template <typename Element> bool array(Element&& element) {
        space();
        if (!take('['))
            return false;
        space();
        if (take(']'))
            return true;
        do {
            space();
            if (!element())
                return false;
            space();
        } while (take(','));
        return take(']');
    }

    std::optional<QString> string();
    std::optional<bool> boolean();
    bool null();
    // Moves past any value it can vouch for.
    bool skipValue() { return skipValue(0); }
    // Only white space is left.
    bool finished() {
        space();
        return m_at == m_end;
    }
    // The bytes left from the cursor on, a hint for reserving room.
    qsizetype remaining() const { return m_end - m_at; }

private:
    void space() {
        while (m_at != m_end && (*m_at == ' ' || *m_at == '\t' || *m_at == '\n' || *m_at == '\r'))
            ++m_at;
    }
    bool take(char c) {
        if (m_at == m_end || *m_at != c)
            return false;
        ++m_at;
        return true;
    }
    bool colon() {
        space();
        if (!take(':'))
            return false;
        space();
        return true;
    }
    bool literal(std::string_view word);
    // The text of the string at the cursor, as UTF-8: its own bytes, or decoded into buffer.
    bool decodedString(std::string_view& text, std::string& buffer);
    bool number();
    bool skipValue(int depth);
    bool scan(const char*& end);
    bool utf8Sequence();

    const char* m_at;
    const char* const m_end;
    std::string m_buffer;
    std::string m_name;
};

} // namespace kitewell::json
