#include "storage/SyncStorage.h"

#include "model/Json.h"
#include "platform/FileSystemError.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QUuid>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace kitewell {

namespace {

QByteArray native(const QString& path) {
    return QFile::encodeName(path);
}

// Closes a descriptor once, whatever way the scope is left.
class Descriptor {
public:
    explicit Descriptor(int fd) : m_fd(fd) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    int get() const { return m_fd; }
    // Closes now and reports close's own failure (on some file systems the last write
    // error only shows here).
    int close() {
        const int result = ::close(m_fd);
        m_fd = -1;
        return result;
    }

private:
    int m_fd;
};

void makeFolder(const QString& path) {
    std::error_code error;
    std::filesystem::create_directories(std::filesystem::path(native(path).toStdString()), error);
    if (error)
        throw FileSystemError::fromErrno(error.value());
}

enum class ReadOutcome { Missing, Failed, Read };

struct ReadResult {
    ReadOutcome outcome;
    QByteArray bytes;
};

ReadResult readWhole(const QString& path) {
    Descriptor file(::open(native(path).constData(), O_RDONLY | O_CLOEXEC));
    if (file.get() < 0)
        return {errno == ENOENT ? ReadOutcome::Missing : ReadOutcome::Failed, {}};
    struct stat status {};
    if (::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode))
        return {ReadOutcome::Failed, {}};
    QByteArray bytes;
    bytes.reserve(qsizetype(status.st_size) + 1);
    char buffer[65536];
    for (;;) {
        const ssize_t count = ::read(file.get(), buffer, sizeof buffer);
        if (count == 0)
            return {ReadOutcome::Read, bytes};
        if (count < 0) {
            if (errno == EINTR)
                continue;
            return {ReadOutcome::Failed, {}};
        }
        bytes.append(buffer, count);
    }
}

bool isRegularFile(const QString& path) {
    struct stat status {};
    return ::stat(native(path).constData(), &status) == 0 && S_ISREG(status.st_mode);
}

bool exists(const QByteArray& nativePath) {
    struct stat status {};
    return ::lstat(nativePath.constData(), &status) == 0;
}

// Renames the file to "<path>.corrupt-<timestamp>", never replacing anything there.
void moveAside(const QString& path) {
    const QByteArray source = native(path);
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss-zzz"));
    const QString base = path + QStringLiteral(".corrupt-") + stamp;
    for (int attempt = 0; attempt < 1000; ++attempt) {
        const QByteArray target = native(attempt == 0 ? base : base + u'-' + QString::number(attempt));
        if (::renameat2(AT_FDCWD, source.constData(), AT_FDCWD, target.constData(), RENAME_NOREPLACE) == 0)
            return;
        if (errno == EEXIST)
            continue;
        if (errno != EINVAL && errno != ENOSYS)
            throw FileSystemError::fromErrno(errno);
        // A file system without RENAME_NOREPLACE: check, then rename. Only this program
        // writes next to its files, so nothing appears between the two.
        if (exists(target))
            continue;
        if (::rename(source.constData(), target.constData()) == 0)
            return;
        throw FileSystemError::fromErrno(errno);
    }
    throw FileSystemError::fromErrno(EEXIST);
}

// Decodes the file at path. A file that is there but cannot be read or decoded is moved
// aside (best effort when `throwOnFailure` is false), so no later save overwrites it.
template <typename Value>
std::optional<Value> readAndKeepUndecodable(const QString& path, bool throwOnFailure) {
    const ReadResult read = readWhole(path);
    if (read.outcome == ReadOutcome::Missing)
        return std::nullopt;
    if (read.outcome == ReadOutcome::Read) {
        try {
            return Value::decode(read.bytes);
        } catch (const json::DecodingError&) {
        }
    }
    // Something other than a file under the name (a folder) is not ours to move; a save
    // then fails on it and says so.
    if (!isRegularFile(path))
        return std::nullopt;
    try {
        moveAside(path);
    } catch (const FileSystemError&) {
        if (throwOnFailure)
            throw;
    }
    return std::nullopt;
}

// Decodes the file at path, changing nothing on disk.
template <typename Value> std::optional<Value> readDecoded(const QString& path) {
    const ReadResult read = readWhole(path);
    if (read.outcome != ReadOutcome::Read)
        return std::nullopt;
    try {
        return Value::decode(read.bytes);
    } catch (const json::DecodingError&) {
        return std::nullopt;
    }
}

void writeAll(int fd, const char* data, qsizetype size) {
    const char* cursor = data;
    qsizetype left = size;
    while (left > 0) {
        const ssize_t count = ::write(fd, cursor, size_t(left));
        if (count < 0) {
            if (errno == EINTR)
                continue;
            throw FileSystemError::fromErrno(errno);
        }
        cursor += count;
        left -= count;
    }
}

void syncFolder(const QString& path) {
    // Makes the rename itself durable; a failure here loses nothing that is not already safe.
    Descriptor folder(::open(native(path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.get() >= 0)
        ::fsync(folder.get());
}

} // namespace

QString SyncStorage::supportDirectory() {
    QString root = QStringLiteral(KITEWELL_DATA_ROOT);
    if (root.isEmpty())
        root = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    if (root.isEmpty()) // the XDG default
        root = QDir::homePath() + QStringLiteral("/.local/share");
    return QDir::cleanPath(root + QStringLiteral("/鸢井同步助手"));
}

QString SyncStorage::settingsPath() {
    return supportDirectory() + QStringLiteral("/settings.json");
}

QString SyncStorage::statePath() {
    return supportDirectory() + QStringLiteral("/sync-state.json");
}

void SyncStorage::saveSettings(const SyncSettings& settings) {
    makeFolder(supportDirectory());
    const QByteArray bytes = settings.encode();
    const QString path = settingsPath();
    readAndKeepUndecodable<SyncSettings>(path, true);
    writeAtomically(bytes, path);
}

void SyncStorage::saveState(const SyncStateFile& state) {
    makeFolder(supportDirectory());
    // Encoded straight into the file, chunk by chunk: the whole text is never in memory.
    writeAtomically(statePath(), [&state](int fd) {
        state.encodeTo([fd](const char* data, qsizetype size) { writeAll(fd, data, size); });
    });
}

std::optional<SyncSettings> SyncStorage::loadSettings() {
    // Read at start, when nothing may be written; the next save keeps an unreadable file aside.
    return readDecoded<SyncSettings>(settingsPath());
}

SyncStateFile SyncStorage::loadState() {
    return readAndKeepUndecodable<SyncStateFile>(statePath(), false).value_or(SyncStateFile{});
}

std::optional<SyncStateFile> SyncStorage::readState() {
    const ReadResult read = readWhole(statePath());
    if (read.outcome != ReadOutcome::Read)
        return std::nullopt;
    try {
        return SyncStateFile::decode(read.bytes);
    } catch (const json::DecodingError&) {
        return std::nullopt;
    }
}

void SyncStorage::writeAtomically(const QByteArray& data, const QString& path) {
    writeAtomically(path, [&data](int fd) { writeAll(fd, data.constData(), data.size()); });
}

void SyncStorage::writeAtomically(const QString& path, const std::function<void(int fd)>& write) {
    const QString temporary =
        path + QStringLiteral(".tmp-") + QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
    const QByteArray temporaryNative = native(temporary);
    Descriptor file(::open(temporaryNative.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (file.get() < 0)
        throw FileSystemError::fromErrno(errno);
    try {
        write(file.get());
        // The data and the size that reaches it must be on disk before the rename is.
        if (::fdatasync(file.get()) != 0 || file.close() != 0)
            throw FileSystemError::fromErrno(errno);
        if (::rename(temporaryNative.constData(), native(path).constData()) != 0)
            throw FileSystemError::fromErrno(errno);
    } catch (...) {
        ::unlink(temporaryNative.constData());
        throw;
    }
    syncFolder(QFileInfo(path).path());
}

} // namespace kitewell
