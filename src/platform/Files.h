#pragma once

// The file-system operations the program needs beyond opening files: all blocking, so keep
// them off the UI thread. Failures are FileSystemError with the operating system's text.

#include <QByteArray>
#include <QString>

#include <vector>

namespace kitewell {

// Creates the folder and any missing parents (mkdir -p). An existing folder is fine;
// anything else in the way fails with ENOTDIR.
void makeFolder(const QString& path);

// Whether anything is at the path: a file, a folder, a link (even a dangling one).
bool itemExists(const QString& path);
// Whether the path leads to a regular file (links followed).
bool isRegularFile(const QString& path);

// The whole content of a regular file. Fails with ENOENT when nothing is there, EISDIR for a
// folder.
QByteArray readWholeFile(const QString& path);

// Renames `from` to `to` unless something is at `to` already: false then, and nothing moved.
bool renameWithoutReplacing(const QString& from, const QString& to);

// Flushes a folder's entries (a rename in it) to the disk. Best effort: a failure loses
// nothing that is not already safe.
void syncFolder(const QString& path);

struct FolderEntry {
    // What the entry itself is, a link not followed: a regular file, a folder, a link, anything
    // else (a pipe, a socket, a device), or unknown (not every file system tells in its listing).
    enum class Kind { File, Folder, Link, Other, Unknown };
    QByteArray name; // in the file-name encoding
    Kind kind;
};
// The folder's entries but "." and "..", hidden ones included, in the order the system lists
// them.
std::vector<FolderEntry> listFolder(const QString& path);
// The same entries' names alone, in one block, each followed by a NUL byte (which no name
// holds): a folder of thousands of files without an allocation per name.
QByteArray listFolderNames(const QString& path);
// What is at the path, a link not followed (lstat); Unknown when nothing is there or it cannot
// be examined.
FolderEntry::Kind entryKind(const QString& path);

} // namespace kitewell
