#include "platform/Files.h"

#include "platform/FileHandle.h"
#include "platform/FileSystemError.h"

#include <QFile>

#include <cerrno>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace kitewell {

namespace {

QByteArray native(const QString& path) {
    return QFile::encodeName(path);
}

std::optional<struct stat> statusOf(const QString& path, bool followLinks) {
    struct stat status {};
    const QByteArray nativePath = native(path);
    const int result =
        followLinks ? ::stat(nativePath.constData(), &status) : ::lstat(nativePath.constData(), &status);
    return result == 0 ? std::optional(status) : std::nullopt;
}

FolderEntry::Kind kindOf(unsigned char type) {
    switch (type) {
    case DT_REG:
        return FolderEntry::Kind::File;
    case DT_DIR:
        return FolderEntry::Kind::Folder;
    case DT_LNK:
        return FolderEntry::Kind::Link;
    case DT_UNKNOWN:
        return FolderEntry::Kind::Unknown;
    default:
        return FolderEntry::Kind::Other;
    }
}

} // namespace

void makeFolder(const QString& path) {
    const QByteArray nativePath = native(path);
    // Each prefix in turn, so a failure is the system's own for the folder that failed.
    for (qsizetype slash = nativePath.indexOf('/', 1); slash >= 0; slash = nativePath.indexOf('/', slash + 1))
        if (::mkdir(nativePath.left(slash).constData(), 0777) != 0 && errno != EEXIST)
            throw FileSystemError::fromErrno(errno);
    if (::mkdir(nativePath.constData(), 0777) != 0 && errno != EEXIST)
        throw FileSystemError::fromErrno(errno);
    struct stat status {};
    if (::stat(nativePath.constData(), &status) != 0)
        throw FileSystemError::fromErrno(errno);
    if (!S_ISDIR(status.st_mode))
        throw FileSystemError::fromErrno(ENOTDIR);
}

bool itemExists(const QString& path) {
    return statusOf(path, false).has_value();
}

bool isRegularFile(const QString& path) {
    const std::optional<struct stat> status = statusOf(path, true);
    return status && S_ISREG(status->st_mode);
}

QByteArray readWholeFile(const QString& path) {
    const FileHandle file = FileHandle::openForReading(path);
    QByteArray bytes;
    // Room for a final read that finds the end, and for the JSON reader, which parses bytes in
    // place when 64 spare bytes follow them (the state file is read in every pass).
    bytes.reserve(qsizetype(file.stamp().size) + 64);
    char buffer[65536];
    for (qint64 offset = 0;;) {
        const qsizetype count = file.readAt(offset, buffer, sizeof buffer);
        if (count == 0)
            return bytes;
        bytes.append(buffer, count);
        offset += count;
    }
}

bool renameWithoutReplacing(const QString& from, const QString& to) {
    const QByteArray source = native(from);
    const QByteArray target = native(to);
    if (::renameat2(AT_FDCWD, source.constData(), AT_FDCWD, target.constData(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno == EEXIST)
        return false;
    if (errno != EINVAL && errno != ENOSYS)
        throw FileSystemError::fromErrno(errno);
    // A file system without RENAME_NOREPLACE: look, then rename. Only this program writes
    // next to its files, so nothing appears between the two.
    if (itemExists(to))
        return false;
    if (::rename(source.constData(), target.constData()) != 0)
        throw FileSystemError::fromErrno(errno);
    return true;
}

void syncFolder(const QString& path) {
    try {
        const FileHandle folder = FileHandle::open(path, O_RDONLY | O_DIRECTORY);
        ::fsync(folder.fd());
    } catch (const FileSystemError&) {
    }
}

namespace {

// Calls `entry` for each of the folder's entries but "." and "..".
template <typename Entry> void forEachEntry(const QString& path, Entry entry) {
    const std::unique_ptr<DIR, int (*)(DIR*)> folder(::opendir(native(path).constData()), ::closedir);
    if (!folder)
        throw FileSystemError::fromErrno(errno);
    for (;;) {
        errno = 0;
        const dirent* found = ::readdir(folder.get());
        if (!found) {
            if (errno != 0)
                throw FileSystemError::fromErrno(errno);
            return;
        }
        const QByteArrayView name(found->d_name);
        if (name != "." && name != "..")
            entry(name, found->d_type);
    }
}

} // namespace

std::vector<FolderEntry> listFolder(const QString& path) {
    std::vector<FolderEntry> entries;
    forEachEntry(path, [&](QByteArrayView name, unsigned char type) {
        entries.push_back({name.toByteArray(), kindOf(type)});
    });
    return entries;
}

QByteArray listFolderNames(const QString& path) {
    QByteArray names;
    forEachEntry(path, [&](QByteArrayView name, unsigned char) { names.append(name).append('\0'); });
    return names;
}

FolderEntry::Kind entryKind(const QString& path) {
    const std::optional<struct stat> status = statusOf(path, false);
    if (!status)
        return FolderEntry::Kind::Unknown;
    if (S_ISREG(status->st_mode))
        return FolderEntry::Kind::File;
    if (S_ISDIR(status->st_mode))
        return FolderEntry::Kind::Folder;
    return S_ISLNK(status->st_mode) ? FolderEntry::Kind::Link : FolderEntry::Kind::Other;
}

} // namespace kitewell
