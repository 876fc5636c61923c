#pragma once

// How local files are named and how they lead back to album photos. These names end up
// in users' folders and in the state file, so every character of the rules is fixed.

#include "model/Records.h"
#include "platform/FileStamp.h"

#include <QDateTime>
#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

namespace kitewell::naming {

// The longest name of a file or folder that Linux file systems hold, in bytes.
constexpr qsizetype maximumNameBytes = 255;

// One safe file-name component: "/", ":" and \ ? % * | " < > each become "-", white space
// and line breaks are trimmed from both ends, an empty result becomes "photo.jpg", and
// the text is cut to its first 160 grapheme clusters.
QString safeName(const QString& text);

// The name cut at a grapheme-cluster boundary to fit in `bytes` bytes of the file-name
// encoding (UTF-8), keeping its extension (the last "." and what follows) when that fits;
// the whole name when it fits.
QString fitName(const QString& name, qsizetype bytes);

// The photo's id, "__", its safe name ("photo.jpg" when it has none), plus ".jpg" when
// that name has no extension; the safe name cut (fitName) so that the whole name, and the
// name with ".download" while the file downloads, fits in maximumNameBytes. The id is used
// unchanged: check it with isSafeIdComponent.
QString downloadFileName(const Photo& photo);

// The album's subfolder name: safe title ("直播相册" when empty), "--", the first 8
// characters of the album id; the title cut at a grapheme-cluster boundary so that the
// whole name fits in maximumNameBytes. Check the id with isSafeIdComponent first.
QString albumFolderName(const AlbumEvent& event);

// The regular files and links directly in the folder whose extension is jpg or jpeg in any
// case, hidden entries left out, in the order the folder lists them. What a link leads to is
// not examined: a dangling link, or one to a folder, is listed. Throws FileSystemError when
// the folder cannot be listed.
QStringList effectFiles(const QString& folder);
// Whether an entry of that name could be listed by effectFiles: not hidden, extension jpg or
// jpeg in any case.
bool isEffectFileName(const QString& name);

// "size-seconds", the seconds truncated toward zero: 2048 bytes at 90.7 s give "2048-90",
// at -1.5 s "2048--1".
QString fingerprint(const FileStamp& stamp);
// True when the file was modified within the two seconds up to `now` (an editor may still
// be writing it). A modification time after `now` does not count.
bool isBeingWritten(const FileStamp& stamp, const QDateTime& now);

// Finds the photos retouched files belong to, many files against one list. A name with "__"
// leads to the first photo whose id is the text before the first "__"; a name without one to
// the only photo whose safe name (of "photo.jpg" when it has none), fitted to a file name of
// its own (fitName to maximumNameBytes), is the whole file name.
class PhotoMatcher {
public:
    explicit PhotoMatcher(const QList<Photo>& photos);
    // Index into the list given to the constructor. `file` may be a path: only its last
    // component counts.
    std::optional<qsizetype> match(const QString& file) const;

private:
    QHash<QString, qsizetype> m_firstById;
    // -1 when several photos have that safe name.
    QHash<QString, qsizetype> m_bySafeName;
};

// An album or photo id that can go into a path without leaving its folder: no "/", no NUL,
// not "." or "..". The empty id passes: it always stands before "__" or after "--" in a
// name, so it cannot form a path component (an empty album id is refused before any
// folder is touched).
bool isSafeIdComponent(const QString& id);

// A stored originalRelativePath that stays inside the originals folder: not empty, not
// absolute, no NUL, no empty, "." or ".." component.
bool isSafeRelativePath(const QString& path);

} // namespace kitewell::naming
