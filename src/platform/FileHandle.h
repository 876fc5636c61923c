#pragma once

#include "platform/FileStamp.h"

#include <QString>

namespace kitewell {

// An open file or folder descriptor, closed once when the handle goes. Every failure is a
// FileSystemError with the operating system's text.
class FileHandle {
public:
    FileHandle() = default;
    explicit FileHandle(int fd) : m_fd(fd) {}
    ~FileHandle() { reset(); }
    FileHandle(FileHandle&& other) noexcept;
    FileHandle& operator=(FileHandle&& other) noexcept;
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;

    // open(2) on the path, with O_CLOEXEC added.
    static FileHandle open(const QString& path, int flags, int mode = 0666);
    // Opens a regular file for reading; anything else fails (a folder with EISDIR).
    static FileHandle openForReading(const QString& path);

    int fd() const { return m_fd; }

    void writeAll(const char* data, qsizetype size);
    // Up to `size` bytes from `offset` on; 0 at the end of the file.
    qsizetype readAt(qint64 offset, char* data, qsizetype size) const;
    FileStamp stamp() const { return fileStamp(m_fd); }
    // Flushes the data (and the size that reaches it) to the disk.
    void flushData();
    // Closes now and reports close's own failure (on some file systems the last write
    // error only shows there).
    void close();

private:
    void reset() noexcept;

    int m_fd = -1;
};

} // namespace kitewell
