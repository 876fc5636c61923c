#include "platform/FileHandle.h"

#include "platform/FileSystemError.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace kitewell {

FileHandle::FileHandle(FileHandle&& other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}

FileHandle& FileHandle::operator=(FileHandle&& other) noexcept {
    if (this != &other) {
        reset();
        m_fd = std::exchange(other.m_fd, -1);
    }
    return *this;
}

FileHandle FileHandle::open(const QString& path, int flags, int mode) {
    const int fd = ::open(QFile::encodeName(path).constData(), flags | O_CLOEXEC, mode);
    if (fd < 0)
        throw FileSystemError::fromErrno(errno);
    return FileHandle(fd);
}

FileHandle FileHandle::openForReading(const QString& path) {
    // Without O_NONBLOCK a named pipe would hold the caller until a writer comes; reads of a
    // regular file are not changed by it.
    FileHandle file = open(path, O_RDONLY | O_NONBLOCK);
    struct stat status {};
    if (::fstat(file.fd(), &status) != 0)
        throw FileSystemError::fromErrno(errno);
    if (!S_ISREG(status.st_mode))
        throw FileSystemError::fromErrno(S_ISDIR(status.st_mode) ? EISDIR : EINVAL);
    return file;
}

void FileHandle::writeAll(const char* data, qsizetype size) {
    while (size > 0) {
        const ssize_t written = ::write(m_fd, data, size_t(size));
        if (written < 0) {
            if (errno == EINTR)
                continue;
            throw FileSystemError::fromErrno(errno);
        }
        data += written;
        size -= written;
    }
}

qsizetype FileHandle::readAt(qint64 offset, char* data, qsizetype size) const {
    for (;;) {
        const ssize_t got = ::pread(m_fd, data, size_t(size), off_t(offset));
        if (got >= 0)
            return got;
        if (errno != EINTR)
            throw FileSystemError::fromErrno(errno);
    }
}

void FileHandle::flushData() {
    if (::fdatasync(m_fd) != 0)
        throw FileSystemError::fromErrno(errno);
}

void FileHandle::close() {
    const int result = ::close(std::exchange(m_fd, -1));
    if (result != 0)
        throw FileSystemError::fromErrno(errno);
}

void FileHandle::reset() noexcept {
    if (m_fd >= 0)
        ::close(std::exchange(m_fd, -1));
}

} // namespace kitewell
