#include "platform/FolderBookmark.h"

#include "platform/FileSystemError.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QtEndian>

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace kitewell {

namespace {

constexpr char magic[] = {'K', 'W', 'F', 'B'};
constexpr char version = 1;
constexpr qsizetype headerSize = 4 + 1 + 8 + 8;

struct stat folderStatus(const QByteArray& nativePath) {
    struct stat status {};
    if (::stat(nativePath.constData(), &status) != 0)
        throw FileSystemError::fromErrno(errno);
    if (!S_ISDIR(status.st_mode))
        throw FileSystemError::fromErrno(ENOTDIR);
    return status;
}

void appendBigEndian(QByteArray& bytes, quint64 value) {
    char buffer[8];
    qToBigEndian(value, buffer);
    bytes.append(buffer, 8);
}

[[noreturn]] void unrecognised() {
    throw Error(QStringLiteral("文件夹书签无法识别。"));
}

} // namespace

QByteArray FolderBookmark::create(const QString& folderPath) {
    if (folderPath.isEmpty())
        throw FileSystemError::fromErrno(ENOENT);
    const QByteArray path = QFile::encodeName(QDir::cleanPath(QFileInfo(folderPath).absoluteFilePath()));
    if (path.contains('\0'))
        throw FileSystemError::fromErrno(EINVAL);
    const struct stat status = folderStatus(path);
    QByteArray bytes;
    bytes.reserve(headerSize + path.size());
    bytes.append(magic, sizeof magic);
    bytes.append(version);
    appendBigEndian(bytes, quint64(status.st_dev));
    appendBigEndian(bytes, quint64(status.st_ino));
    bytes.append(path);
    return bytes;
}

FolderBookmark::Resolved FolderBookmark::resolve(const QByteArray& bytes) {
    if (bytes.size() <= headerSize || !bytes.startsWith(QByteArrayView(magic, sizeof magic)) ||
        bytes.at(4) != version)
        unrecognised();
    const QByteArray path = bytes.mid(headerSize);
    if (!path.startsWith('/') || path.contains('\0'))
        unrecognised();
    const quint64 device = qFromBigEndian<quint64>(bytes.constData() + 5);
    const quint64 inode = qFromBigEndian<quint64>(bytes.constData() + 13);

    const struct stat status = folderStatus(path);
    return {QFile::decodeName(path), quint64(status.st_dev) != device || quint64(status.st_ino) != inode};
}

bool FolderBookmark::startAccess(const QString& folderPath) {
    const QByteArray path = QFile::encodeName(folderPath);
    struct stat status {};
    return ::stat(path.constData(), &status) == 0 && S_ISDIR(status.st_mode) &&
           ::access(path.constData(), R_OK | W_OK | X_OK) == 0;
}

void FolderBookmark::stopAccess(const QString&) {}

} // namespace kitewell
