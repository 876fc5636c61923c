#pragma once

#include <QByteArray>
#include <QString>

namespace kitewell {

// A remembered folder: opaque bytes that lead back to a folder the user chose and tell
// whether the folder there is still the one that was chosen.
//
// Layout (version 1), all integers big-endian:
//   bytes 0-3   magic "KWFB"
//   byte  4     version, 1
//   bytes 5-12  st_dev of the folder when it was chosen
//   bytes 13-20 st_ino of the folder when it was chosen
//   bytes 21-   its absolute path in the file-name encoding, not terminated (at least "/")
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

    // Throws FileSystemError when the path is not an existing folder.
    static QByteArray create(const QString& folderPath);
    // Throws Error("文件夹书签无法识别。") for bytes of another form, FileSystemError when
    // nothing is at the path any more or it is not a folder.
    static Resolved resolve(const QByteArray& bytes);
    // Whether the folder may be read, written and searched now.
    static bool startAccess(const QString& folderPath);
    // Ends what startAccess began; nothing needs ending on this platform.
    static void stopAccess(const QString& folderPath);
};

} // namespace kitewell
