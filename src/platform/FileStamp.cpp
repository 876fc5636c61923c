#include "platform/FileStamp.h"

#include "platform/FileSystemError.h"

#include <QFile>

#include <cerrno>
#include <sys/stat.h>

namespace kitewell {

namespace {

FileStamp stampOf(const struct stat& status) {
    return {qint64(status.st_size), qint64(status.st_mtim.tv_sec), qint64(status.st_mtim.tv_nsec)};
}

} // namespace

std::optional<FileStamp> regularFileStamp(const QString& path) {
    struct stat status {};
    if (::stat(QFile::encodeName(path).constData(), &status) != 0) {
        if (errno == ENOENT)
            return std::nullopt;
        throw FileSystemError::fromErrno(errno);
    }
    return S_ISREG(status.st_mode) ? std::optional(stampOf(status)) : std::nullopt;
}

FileStamp fileStamp(int fd) {
    struct stat status {};
    if (::fstat(fd, &status) != 0)
        throw FileSystemError::fromErrno(errno);
    return stampOf(status);
}

} // namespace kitewell
