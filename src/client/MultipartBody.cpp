#include "client/MultipartBody.h"

#include "platform/Errors.h"

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
    QIODevice::open(QIODevice::ReadOnly);
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

qint64 MultipartBody::size() const {
    return m_prefix.size() + m_fileSize + m_suffix.size();
}

bool MultipartBody::seek(qint64 position) {
    if (position < 0 || position > size())
        return false;
    return QIODevice::seek(position);
}

bool MultipartBody::atEnd() const {
    return pos() >= size();
}

bool MultipartBody::reset() {
    return seek(0);
}

qint64 MultipartBody::readData(char* data, qint64 maxSize) {
    if (m_readError)
        return -1;
    qint64 position = pos();
    qint64 written = 0;
    auto copyFrom = [&](const QByteArray& part, qint64 partStart) {
        const qint64 offset = position - partStart;
        if (offset < 0 || offset >= part.size() || written >= maxSize)
            return;
        const qint64 n = std::min<qint64>(part.size() - offset, maxSize - written);
        std::memcpy(data + written, part.constData() + offset, size_t(n));
        written += n;
        position += n;
    };

    copyFrom(m_prefix, 0);
    const qint64 fileStart = m_prefix.size();
    while (written < maxSize && position >= fileStart && position < fileStart + m_fileSize) {
        const qint64 want = std::min(maxSize - written, fileStart + m_fileSize - position);
        const ssize_t got = ::pread(m_fd, data + written, size_t(want), position - fileStart);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            m_readError = errno;
            setErrorString(FileSystemError::fromErrno(errno).description());
            return -1;
        }
        if (got == 0) {
            // The file shrank while it was being sent: never pad or send a short body.
            m_readError = EIO;
            return -1;
        }
        written += got;
        position += got;
    }
    copyFrom(m_suffix, fileStart + m_fileSize);
    return written;
}

} // namespace kitewell
