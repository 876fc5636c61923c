#pragma once

// Reading the multipart form of a retouched-version upload.

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <optional>

namespace albumservice {

// The three parts of a retouched-version upload, as they arrived.
struct UploadForm {
    QByteArray retouched;
    QByteArray retouchPreset;
    QByteArray fileName;    // the "filename" parameter of the "photo" part, raw bytes
    QByteArray contentType; // the "photo" part's Content-Type
    QByteArrayView bytes;   // the file, inside the body the form was read from
};

struct UploadFormResult {
    std::optional<UploadForm> form;
    QString problem; // what is wrong, when there is no form
};

// Reads a multipart/form-data body strictly: no preamble, CRLF line ends, exactly the parts
// "retouched", "retouchPreset" and "photo" (with a filename and a Content-Type) in that order,
// and nothing after the CRLF that ends the closing delimiter line.
UploadFormResult parseUploadForm(QByteArrayView contentType, const QByteArray& body);

} // namespace albumservice
