#include "client/MultipartBody.h"

#include "platform/FileSystemError.h"

#include <QFileInfo>

#include <cerrno>
#include <cstring>

namespace kitewell {

MultipartBody::MultipartBody(const QString& boundary, const QString& filePath)
    : m_file(FileHandle::openForReading(filePath)), m_fileSize(m_file.stamp().size) {
    const QByteArray b = boundary.toUtf8();
    m_prefix = prefix(b, fileNameParameter(filePath));
    m_suffix = suffix(b);
}

QByteArray MultipartBody::fileNameParameter(const QString& filePath) {
    QString name = QFileInfo(filePath).fileName();
    name.replace(QLatin1Char('"'), QLatin1Char('-'));
    return name.toUtf8();
}

QByteArray MultipartBody::prefix(const QByteArray& boundary, const QByteArray& fileName) {
    QByteArray bytes;
    bytes += "--" + boundary + "\r\n";
    bytes += "Content-Disposition: form-data; name=\"retouched\"\r\n";
    bytes += "\r\n";
    bytes += "true\r\n";
    bytes += "--" + boundary + "\r\n";
    bytes += "Content-Disposition: form-data; name=\"retouchPreset\"\r\n";
    bytes += "\r\n";
    bytes += "DESKTOP_SYNC\r\n";
    bytes += "--" + boundary + "\r\n";
    bytes += "Content-Disposition: form-data; name=\"photo\"; filename=\"" + fileName + "\"\r\n";
    bytes += "Content-Type: image/jpeg\r\n";
    bytes += "\r\n";
    return bytes;
}

QByteArray MultipartBody::suffix(const QByteArray& boundary) {
    return "\r\n--" + boundary + "--\r\n";
}

qint64 MultipartBody::readAt(qint64 offset, char* data, qint64 maxSize) const {
    qint64 written = 0;
    auto copyFrom = [&](const QByteArray& part, qint64 partStart) {
        const qint64 from = offset - partStart;
        if (from < 0 || from >= part.size() || written >= maxSize)
            return;
        const qint64 n = std::min<qint64>(part.size() - from, maxSize - written);
        std::memcpy(data + written, part.constData() + from, size_t(n));
        written += n;
        offset += n;
    };

    copyFrom(m_prefix, 0);
    const qint64 fileStart = m_prefix.size();
    while (written < maxSize && offset >= fileStart && offset < fileStart + m_fileSize) {
        const qint64 want = std::min(maxSize - written, fileStart + m_fileSize - offset);
        const qsizetype got = m_file.readAt(offset - fileStart, data + written, want);
        if (got == 0) // the file shrank while it was being sent
            throw FileSystemError::fromErrno(EIO);
        written += got;
        offset += got;
    }
    copyFrom(m_suffix, fileStart + m_fileSize);
    return written;
}

} // namespace kitewell
