#pragma once

#include "storage/SyncSettings.h"
#include "storage/SyncStateFile.h"

#include <QString>

#include <optional>

namespace kitewell {

// Where the program's two files live and how they are read and written. Stateless and
// synchronous; safe to call from any thread (the engine calls it from worker threads).
//
// Saving never leaves a moment without a complete file under the target name: the bytes
// go to "<name>.tmp-<UUID>", are flushed to disk, and are renamed over the target in one
// step. A file that cannot be read or decoded is never overwritten: it is moved aside to
// "<name>.corrupt-<yyyyMMdd-HHmmss-zzz>" first.
//
// When that happens: loadState moves an undecodable state file aside as soon as it meets
// it, since it has just read and decoded it anyway; the engine always loads the state before
// it saves, so re-checking the (large) state file before each of its many saves would only
// cost time. The settings are read at start, when nothing may be written, so saveSettings
// checks the old (tiny) file itself.
class SyncStorage {
public:
    SyncStorage() = delete;

    // The folder that holds this program's data: the per-user data folder (or the folder
    // the build was configured with) + "/鸢井同步助手". Never touches the file system.
    static QString supportDirectory();
    static QString settingsPath();
    static QString statePath();

    // Create the folder if needed and replace the file. Throw FileSystemError.
    static void saveSettings(const SyncSettings& settings);
    static void saveState(const SyncStateFile& state);

    // The stored settings; nullopt when the file is missing, unreadable or undecodable.
    static std::optional<SyncSettings> loadSettings();
    // The stored state; empty when the file is missing, unreadable or undecodable. Never throws.
    static SyncStateFile loadState();
    // The stored state when the file is there and decodes; nothing otherwise. Unlike
    // loadState it never moves a file aside, so it may run ahead of the point where a pass
    // loads the state (the engine reads it while the service is still answering).
    static std::optional<SyncStateFile> readState();
};

} // namespace kitewell
