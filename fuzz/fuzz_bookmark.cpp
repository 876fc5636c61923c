// FolderBookmark::resolve on arbitrary bytes: it resolves or throws kitewell::Error (the
// unrecognised-bookmark error or the file system's), and what resolves is an absolute
// path without NUL. A bookmark made of a real folder resolves to it, not stale.

#include "FuzzCheck.h"
#include "errors/Error.h"
#include "platform/FolderBookmark.h"

#include <QDir>
#include <QFileInfo>

using namespace kitewell;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QByteArray bytes = fuzzing::bytesOf(data, size);
    try {
        const FolderBookmark::Resolved resolved = FolderBookmark::resolve(bytes);
        FUZZ_CHECK(resolved.path.startsWith(u'/'));
        FUZZ_CHECK(!resolved.path.contains(QChar(0)));
        FUZZ_CHECK(QFileInfo(resolved.path).isDir());
    } catch (const Error&) {
    }

    // The same bytes as a folder name below the temporary folder (which exists).
    static const QString root = QDir::tempPath();
    const QString name = QString::fromUtf8(bytes.left(64)).remove(u'/').remove(QChar(0));
    if (!name.isEmpty() && name != u"." && name != u"..") {
        try {
            const QByteArray made = FolderBookmark::create(root + u'/' + name);
            const FolderBookmark::Resolved resolved = FolderBookmark::resolve(made);
            FUZZ_CHECK(!resolved.stale);
        } catch (const Error&) {
            // Nothing of that name: create refuses.
        }
    }
    static const QByteArray rootBookmark = FolderBookmark::create(root);
    const FolderBookmark::Resolved resolved = FolderBookmark::resolve(rootBookmark);
    FUZZ_CHECK(!resolved.stale && resolved.path == QDir::cleanPath(root));
    return 0;
}
