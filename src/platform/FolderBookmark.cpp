#include "platform/FolderBookmark.h"

#include "platform/FileHandle.h"
#include "platform/FileSystemError.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QtEndian>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

namespace kitewell {

namespace {

constexpr char magic[] = {'K', 'W', 'F', 'B'};
constexpr char version = 2;
constexpr qsizetype headerSize = 4 + 1 + 8 + 8 + 8;
constexpr qsizetype firstHeaderSize = 4 + 1 + 8 + 8; // version 1

// The identity of the folder at the path; the system's error when there is none.
FolderBookmark::Identity identityOf(const QByteArray& nativePath) {
    // One open folder for both questions, so both answers are about the same folder.
    const FileHandle folder(::open(nativePath.constData(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    struct stat status {};
    struct statfs fileSystem {};
    if (folder.fd() < 0 || ::fstat(folder.fd(), &status) != 0 || ::fstatfs(folder.fd(), &fileSystem) != 0)
        throw FileSystemError::fromErrno(errno);
    const auto [high, low] = fileSystem.f_fsid.__val;
    return {quint64(quint32(high)) << 32 | quint32(low), quint64(status.st_dev), quint64(status.st_ino)};
}

bool isSameFolder(const FolderBookmark::Identity& then, const FolderBookmark::Identity& now) {
    if (then.inode != now.inode)
        return false;
    // Without the file system's identity (version 1, or none reported) only the device can tell.
    return then.fileSystem != 0 ? then.fileSystem == now.fileSystem : then.device == now.device;
}

void appendBigEndian(QByteArray& bytes, quint64 value) {
    char buffer[8];
    qToBigEndian(value, buffer);
    bytes.append(buffer, 8);
}

[[noreturn]] void unrecognised() {
    throw Error(QStringLiteral("文件夹书签无法识别。"));
}

struct Parsed {
    QByteArray path;
    FolderBookmark::Identity identity;
};

Parsed parse(const QByteArray& bytes) {
    if (bytes.size() <= 4 || !bytes.startsWith(QByteArrayView(magic, sizeof magic)))
        unrecognised();
    const char* const numbers = bytes.constData() + 5;
    Parsed parsed;
    if (bytes.at(4) == version && bytes.size() > headerSize) {
        parsed.identity = {qFromBigEndian<quint64>(numbers), qFromBigEndian<quint64>(numbers + 8),
                           qFromBigEndian<quint64>(numbers + 16)};
        parsed.path = bytes.mid(headerSize);
    } else if (bytes.at(4) == 1 && bytes.size() > firstHeaderSize) {
        parsed.identity = {0, qFromBigEndian<quint64>(numbers), qFromBigEndian<quint64>(numbers + 8)};
        parsed.path = bytes.mid(firstHeaderSize);
    } else {
        unrecognised();
    }
    if (!parsed.path.startsWith('/') || parsed.path.contains('\0'))
        unrecognised();
    return parsed;
}

} // namespace

QByteArray FolderBookmark::create(const QString& folderPath) {
    if (folderPath.isEmpty())
        throw FileSystemError::fromErrno(ENOENT);
    const QByteArray path = QFile::encodeName(QDir::cleanPath(QFileInfo(folderPath).absoluteFilePath()));
    if (path.contains('\0'))
        throw FileSystemError::fromErrno(EINVAL);
    const Identity identity = identityOf(path);
    QByteArray bytes;
    bytes.reserve(headerSize + path.size());
    bytes.append(magic, sizeof magic);
    bytes.append(version);
    appendBigEndian(bytes, identity.fileSystem);
    appendBigEndian(bytes, identity.device);
    appendBigEndian(bytes, identity.inode);
    bytes.append(path);
    return bytes;
}

FolderBookmark::Resolved FolderBookmark::resolve(const QByteArray& bytes) {
    const Parsed parsed = parse(bytes);
    return {QFile::decodeName(parsed.path), !isSameFolder(parsed.identity, identityOf(parsed.path))};
}

FolderBookmark::Resolved FolderBookmark::resolve(const QByteArray& bytes, const Identity& now) {
    const Parsed parsed = parse(bytes);
    return {QFile::decodeName(parsed.path), !isSameFolder(parsed.identity, now)};
}

bool FolderBookmark::startAccess(const QString& folderPath) {
    const QByteArray path = QFile::encodeName(folderPath);
    struct stat status {};
    return ::stat(path.constData(), &status) == 0 && S_ISDIR(status.st_mode) &&
           ::access(path.constData(), R_OK | W_OK | X_OK) == 0;
}

void FolderBookmark::stopAccess(const QString&) {}

} // namespace kitewell
