#include "storage/SyncStorage.h"

#include "model/Json.h"
#include "platform/FileSystemError.h"
#include "platform/Files.h"
#include "platform/StagedFile.h"

#include <QDateTime>
#include <QDir>
#include <QStandardPaths>
#include <QUuid>

#include <cerrno>

namespace kitewell {

namespace {

// The file's bytes; nothing when no file is there. Throws FileSystemError when one is there
// but cannot be read.
std::optional<QByteArray> readIfThere(const QString& path) {
    try {
        return readWholeFile(path);
    } catch (const FileSystemError& error) {
        if (error.code() == ENOENT)
            return std::nullopt;
        throw;
    }
}

// Renames the file to "<path>.corrupt-<timestamp>", never replacing anything there.
void moveAside(const QString& path) {
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss-zzz"));
    const QString base = path + QStringLiteral(".corrupt-") + stamp;
    for (int attempt = 0; attempt < 1000; ++attempt)
        if (renameWithoutReplacing(path, attempt == 0 ? base : base + u'-' + QString::number(attempt)))
            return;
    throw FileSystemError::fromErrno(EEXIST);
}

// Decodes the file at path, changing nothing on disk.
template <typename Value> std::optional<Value> readDecoded(const QString& path) {
    try {
        const std::optional<QByteArray> bytes = readIfThere(path);
        return bytes ? std::optional(Value::decode(*bytes)) : std::nullopt;
    } catch (const FileSystemError&) {
    } catch (const json::DecodingError&) {
    }
    return std::nullopt;
}

// Decodes the file at path. A file that is there but cannot be read or decoded is moved
// aside (best effort when `throwOnFailure` is false), so no later save overwrites it.
template <typename Value>
std::optional<Value> readAndKeepUndecodable(const QString& path, bool throwOnFailure) {
    if (std::optional<Value> value = readDecoded<Value>(path))
        return value;
    // Nothing there, or something other than a file under the name (a folder), which is not
    // ours to move: a save then fails on it and says so.
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

// A save's staging file: "<name>.tmp-<UUID>", next to the target.
StagedFile stagedSave(const QString& path) {
    return StagedFile(path, path + QStringLiteral(".tmp-") +
                                QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper());
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
    StagedFile file = stagedSave(path);
    file.write(bytes);
    file.commit();
}

void SyncStorage::saveState(const SyncStateFile& state) {
    makeFolder(supportDirectory());
    StagedFile file = stagedSave(statePath());
    // Encoded straight into the file, piece by piece: the whole text is never in memory.
    state.encodeTo([&file](const char* data, qsizetype size) { file.write(data, size); });
    file.commit();
}

std::optional<SyncSettings> SyncStorage::loadSettings() {
    // Read at start, when nothing may be written; the next save keeps an unreadable file aside.
    return readDecoded<SyncSettings>(settingsPath());
}

SyncStateFile SyncStorage::loadState() {
    return readAndKeepUndecodable<SyncStateFile>(statePath(), false).value_or(SyncStateFile{});
}

std::optional<SyncStateFile> SyncStorage::readState() {
    return readDecoded<SyncStateFile>(statePath());
}

} // namespace kitewell
