#include "platform/StagedFile.h"

#include "platform/FileSystemError.h"
#include "platform/Files.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace kitewell {

namespace {

// Written data is handed to the disk in pieces of this size as it comes, so the flush at the
// commit finds little left to do.
constexpr qint64 kWriteBackPiece = 1024 * 1024;

FileHandle createAfresh(const QString& path) {
    ::unlink(QFile::encodeName(path).constData());
    // Exclusive: a link planted under the staging name is never followed.
    return FileHandle::open(path, O_WRONLY | O_CREAT | O_EXCL);
}

} // namespace

StagedFile::StagedFile(const QString& target, const QString& staging)
    : m_target(target), m_staging(staging), m_file(createAfresh(staging)) {}

StagedFile::~StagedFile() {
    if (!m_committed)
        ::unlink(QFile::encodeName(m_staging).constData());
}

void StagedFile::write(const char* data, qsizetype size) {
    m_file.writeAll(data, size);
    m_written += size;
    if (m_written - m_writtenBack >= kWriteBackPiece) {
        // Only starts the writing, and only as a hint: the commit's flush is what counts.
        ::sync_file_range(m_file.fd(), m_writtenBack, m_written - m_writtenBack, SYNC_FILE_RANGE_WRITE);
        m_writtenBack = m_written;
    }
}

void StagedFile::commit() {
    // The data must be on disk before the name is, or a crash could leave a short file in place.
    m_file.flushData();
    m_file.close();
    if (::rename(QFile::encodeName(m_staging).constData(), QFile::encodeName(m_target).constData()) != 0)
        throw FileSystemError::fromErrno(errno);
    m_committed = true;
    syncFolder(QFileInfo(m_target).path());
}

} // namespace kitewell
