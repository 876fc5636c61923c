#pragma once

#include <QString>
#include <QtGlobal>

#include <optional>

namespace kitewell {

// Size and modification time of a file, as the system gives them.
struct FileStamp {
    qint64 size = 0;
    // Seconds since 1970, rounded down, and the nanoseconds after them (0 to 999,999,999,
    // also before 1970).
    qint64 modifiedSeconds = 0;
    qint64 modifiedNanoseconds = 0;

    bool operator==(const FileStamp&) const = default;
};

// The stamp of the regular file a path leads to (links followed); nothing when no regular file
// is there: nothing at all, a dangling link, a folder, a pipe. Throws FileSystemError when the
// path cannot be examined.
std::optional<FileStamp> regularFileStamp(const QString& path);
// The stamp of an open file. Throws FileSystemError.
FileStamp fileStamp(int fd);

} // namespace kitewell
