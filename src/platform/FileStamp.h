#pragma once

#include <QString>
#include <QtGlobal>

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

// The stamp of the file at a path (symbolic links followed). Throws FileSystemError.
FileStamp fileStamp(const QString& path);
// The stamp of an open file. Throws FileSystemError.
FileStamp fileStamp(int fd);

} // namespace kitewell
