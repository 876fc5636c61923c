#pragma once

#include <QByteArray>
#include <QString>

namespace kitewell {

// A remembered folder: opaque bytes that lead back to a folder the user chose and tell
// whether the folder there is still the one that was chosen.
//
// Layout (version 2), all integers big-endian:
//   bytes 0-3   magic "KWFB"
//   byte  4     version, 2
//   bytes 5-12  the file system's identity when the folder was chosen (0: it reported none)
//   bytes 13-20 st_dev of the folder then
//   bytes 21-28 st_ino of the folder then
//   bytes 29-   its absolute path in the file-name encoding, not terminated (at least "/")
// Version 1 has no identity: st_dev at bytes 5-12, st_ino at 13-20, the path from byte 21.
// Anything else, a relative path or a NUL in the path included, does not resolve.
class FolderBookmark {
public:
    FolderBookmark() = delete;

    struct Resolved {
        QString path;
        // A folder is at the path, but not the one that was chosen (deleted and created
        // again, another disk mounted there).
        bool stale = false;
    };

    // What tells one folder from another. The file system's identity (statfs's f_fsid, which
    // ext4 and btrfs derive from the volume's UUID) stays when a disk is attached again under
    // another device number; where a file system reports none (0), the device number decides.
    struct Identity {
        quint64 fileSystem = 0;
        quint64 device = 0;
        quint64 inode = 0;
    };

    // Throws FileSystemError when the path is not an existing folder.
    static QByteArray create(const QString& folderPath);
    // Throws Error("文件夹书签无法识别。") for bytes of another form, FileSystemError when
    // nothing is at the path any more or it is not a folder.
    static Resolved resolve(const QByteArray& bytes);
    // resolve's judgement with the identity of the folder now at the path given, not looked up.
    static Resolved resolve(const QByteArray& bytes, const Identity& now);
    // Whether the folder may be read, written and searched now.
    static bool startAccess(const QString& folderPath);
    // Ends what startAccess began; nothing needs ending on this platform.
    static void stopAccess(const QString& folderPath);
};

} // namespace kitewell
