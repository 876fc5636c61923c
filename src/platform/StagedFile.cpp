#include "platform/StagedFile.h"

#include "platform/FileSystemError.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>
#include <utility>

namespace kitewell {

StagedFile::StagedFile(const QString& target, const QString& staging)
    : m_target(QFile::encodeName(target)), m_staging(QFile::encodeName(staging)) {
    ::unlink(m_staging.constData());
    // Exclusive: a link planted under the staging name is never followed.
    m_fd = ::open(m_staging.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (m_fd < 0)
        throw FileSystemError::fromErrno(errno);
}

StagedFile::~StagedFile() {
    if (!m_committed)
        discard();
}

void StagedFile::write(const char* data, qsizetype size) {
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

void StagedFile::commit() {
    // The data must be on disk before the name is, or a crash could leave a short file in place.
    if (::fdatasync(m_fd) != 0)
        throw FileSystemError::fromErrno(errno);
    const int fd = std::exchange(m_fd, -1);
    if (::close(fd) != 0 || ::rename(m_staging.constData(), m_target.constData()) != 0)
        throw FileSystemError::fromErrno(errno);
    m_committed = true;
    // Makes the rename itself durable; a failure here loses nothing that is not already safe.
    const QByteArray folder = QFile::encodeName(QFileInfo(QFile::decodeName(m_target)).path());
    const int folderFd = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderFd >= 0) {
        ::fsync(folderFd);
        ::close(folderFd);
    }
}

void StagedFile::discard() noexcept {
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    ::unlink(m_staging.constData());
}

} // namespace kitewell
