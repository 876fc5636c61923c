#pragma once

#include "platform/FileHandle.h"

#include <QByteArray>
#include <QString>

namespace kitewell {

// The upload's multipart body: the fixed prefix, the file's bytes read from disk as they are
// sent, and the suffix. Memory stays flat for any file size and the length is known up front.
class MultipartBody {
public:
    // Opens the file at once; throws FileSystemError when it cannot be opened or measured.
    MultipartBody(const QString& boundary, const QString& filePath);

    qint64 size() const { return m_prefix.size() + m_fileSize + m_suffix.size(); }
    // Copies up to maxSize bytes from the body's position `offset` into data; the count.
    // Throws FileSystemError when the file cannot be read, or has shrunk since it was opened
    // (a short body is never sent).
    qint64 readAt(qint64 offset, char* data, qint64 maxSize) const;
    // The file's stamp as its open descriptor shows it now. Throws FileSystemError.
    FileStamp fileStampNow() const { return m_file.stamp(); }

    // The text of the file name parameter: the last path component with '"' turned into '-'.
    static QByteArray fileNameParameter(const QString& filePath);
    static QByteArray prefix(const QByteArray& boundary, const QByteArray& fileName);
    static QByteArray suffix(const QByteArray& boundary);

private:
    QByteArray m_prefix;
    QByteArray m_suffix;
    FileHandle m_file;
    qint64 m_fileSize = 0;
};

} // namespace kitewell
