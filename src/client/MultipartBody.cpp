#include "client/MultipartBody.h"

#include "platform/FileSystemError.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kitewell {

namespace {

int openForReading(const QString& filePath) {
    const QByteArray native = QFile::encodeName(filePath);
    const int fd = ::open(native.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        throw FileSystemError::fromErrno(errno);
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        const int error = S_ISDIR(status.st_mode) ? EISDIR : errno;
        ::close(fd);
        throw FileSystemError::fromErrno(error ? error : EINVAL);
    }
    return fd;
}

} // namespace

MultipartBody::MultipartBody(const QString& boundary, const QString& filePath) {
    m_fd = openForReading(filePath);
    struct stat status {};
    ::fstat(m_fd, &status);
    m_fileSize = status.st_size;
    const QByteArray b = boundary.toUtf8();
    m_prefix = prefix(b, fileNameParameter(filePath));
    m_suffix = suffix(b);
}

MultipartBody::~MultipartBody() {
    if (m_fd >= 0)
        ::close(m_fd);
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
        const ssize_t got = ::pread(m_fd, data + written, size_t(want), offset - fileStart);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            throw FileSystemError::fromErrno(errno);
        }
        if (got == 0) // the file shrank while it was being sent
            throw FileSystemError::fromErrno(EIO);
        written += got;
        offset += got;
    }
    copyFrom(m_suffix, fileStart + m_fileSize);
    return written;
}

} // namespace kitewell
