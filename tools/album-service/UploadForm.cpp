#include "UploadForm.h"

#include <QList>
#include <QPair>

namespace albumservice {

namespace {

// A header value such as `form-data; name="photo"; filename="a;b.jpg"`: the leading token and
// its parameters (names lower-cased). Quoted values are taken byte for byte up to the next
// quote, without backslash escapes, as form file names are sent.
struct HeaderValue {
    QByteArray token;
    QList<QPair<QByteArray, QByteArray>> parameters;

    std::optional<QByteArray> parameter(QByteArrayView name) const {
        for (const auto& [key, value] : parameters) {
            if (key == name)
                return value;
        }
        return std::nullopt;
    }
};

bool isSpace(char c) {
    return c == ' ' || c == '\t';
}

std::optional<HeaderValue> parseHeaderValue(QByteArrayView text) {
    HeaderValue result;
    qsizetype i = 0;
    const qsizetype n = text.size();
    auto skipSpace = [&] {
        while (i < n && isSpace(text[i]))
            ++i;
    };
    skipSpace();
    qsizetype start = i;
    while (i < n && text[i] != ';' && !isSpace(text[i]))
        ++i;
    result.token = text.sliced(start, i - start).toByteArray().toLower();
    if (result.token.isEmpty())
        return std::nullopt;
    for (;;) {
        skipSpace();
        if (i == n)
            return result;
        if (text[i] != ';')
            return std::nullopt;
        ++i;
        skipSpace();
        start = i;
        while (i < n && text[i] != '=' && text[i] != ';' && !isSpace(text[i]))
            ++i;
        const QByteArray name = text.sliced(start, i - start).toByteArray().toLower();
        if (name.isEmpty() || i == n || text[i] != '=')
            return std::nullopt;
        ++i;
        QByteArray value;
        if (i < n && text[i] == '"') {
            start = ++i;
            while (i < n && text[i] != '"')
                ++i;
            if (i == n)
                return std::nullopt;
            value = text.sliced(start, i - start).toByteArray();
            ++i;
        } else {
            start = i;
            while (i < n && text[i] != ';' && !isSpace(text[i]))
                ++i;
            value = text.sliced(start, i - start).toByteArray();
            if (value.isEmpty())
                return std::nullopt;
        }
        result.parameters.append({name, value});
    }
}

struct Part {
    QByteArray name;
    std::optional<QByteArray> fileName;
    std::optional<QByteArray> contentType;
    QByteArrayView content;
};

UploadFormResult failure(const char* problem) {
    return {std::nullopt, QString::fromLatin1(problem)};
}

// Reads one part's header lines; false when they are not well formed.
bool readPartHeaders(QByteArrayView block, Part& part) {
    bool haveDisposition = false;
    for (qsizetype at = 0; at < block.size();) {
        const qsizetype lineEnd = block.indexOf("\r\n", at);
        if (lineEnd < 0)
            return false;
        const QByteArrayView text = block.sliced(at, lineEnd - at);
        at = lineEnd + 2;
        if (text.contains('\r') || text.contains('\n'))
            return false;
        const qsizetype colon = text.indexOf(':');
        if (colon <= 0)
            return false;
        const QByteArray name = text.first(colon).toByteArray().toLower();
        if (name.contains(' ') || name.contains('\t'))
            return false;
        const QByteArrayView value = text.sliced(colon + 1).trimmed();
        if (name == "content-disposition") {
            const auto disposition = parseHeaderValue(value);
            if (haveDisposition || !disposition || disposition->token != "form-data")
                return false;
            const auto fieldName = disposition->parameter("name");
            if (!fieldName)
                return false;
            part.name = *fieldName;
            part.fileName = disposition->parameter("filename");
            haveDisposition = true;
        } else if (name == "content-type") {
            if (part.contentType)
                return false;
            part.contentType = value.toByteArray();
        }
    }
    return haveDisposition;
}

} // namespace

UploadFormResult parseUploadForm(QByteArrayView contentType, const QByteArray& body) {
    const auto type = parseHeaderValue(contentType);
    if (!type || type->token != "multipart/form-data")
        return failure("the Content-Type is not multipart/form-data");
    const QByteArray boundary = type->parameter("boundary").value_or(QByteArray());
    if (boundary.isEmpty() || boundary.size() > 70)
        return failure("the Content-Type has no usable boundary");

    const QByteArray delimiter = "--" + boundary;
    const QByteArray partEnd = "\r\n" + delimiter;
    if (!body.startsWith(delimiter + "\r\n"))
        return failure("the body does not begin with the boundary line");

    QList<Part> parts;
    qsizetype pos = delimiter.size() + 2;
    for (;;) {
        Part part;
        qsizetype contentStart = 0;
        if (QByteArrayView(body).sliced(pos).startsWith("\r\n")) {
            contentStart = pos + 2;
        } else {
            const qsizetype headersEnd = body.indexOf("\r\n\r\n", pos);
            if (headersEnd < 0)
                return failure("a part's headers do not end");
            if (!readPartHeaders(QByteArrayView(body).sliced(pos, headersEnd + 2 - pos), part))
                return failure("a part's headers are malformed");
            contentStart = headersEnd + 4;
        }
        const qsizetype contentEnd = body.indexOf(partEnd, contentStart);
        if (contentEnd < 0)
            return failure("a part is not closed by the boundary");
        part.content = QByteArrayView(body).sliced(contentStart, contentEnd - contentStart);
        parts.append(part);
        pos = contentEnd + partEnd.size();
        const QByteArrayView rest = QByteArrayView(body).sliced(pos);
        if (rest.startsWith("--")) {
            if (rest.sliced(2) != QByteArrayView("\r\n"))
                return failure("the closing boundary line is not followed by exactly CRLF");
            break;
        }
        if (!rest.startsWith("\r\n"))
            return failure("a boundary line does not end in CRLF");
        pos += 2;
    }

    if (parts.size() != 3 || parts[0].name != "retouched" || parts[1].name != "retouchPreset" ||
        parts[2].name != "photo")
        return failure("the parts are not retouched, retouchPreset and photo in that order");
    const Part& photo = parts[2];
    if (!photo.fileName)
        return failure("the photo part has no filename");
    if (!photo.contentType)
        return failure("the photo part has no Content-Type");
    UploadForm form;
    form.retouched = parts[0].content.toByteArray();
    form.retouchPreset = parts[1].content.toByteArray();
    form.fileName = *photo.fileName;
    form.contentType = *photo.contentType;
    form.bytes = photo.content;
    return {form, QString()};
}

} // namespace albumservice
