// The naming and matching rules on arbitrary text (raw UTF-16: lone surrogates, NULs,
// combining marks, line breaks): safeName always gives one harmless name component,
// downloadFileName and albumFolderName never leave their folder when the id checks pass and
// fit in a file name (with ".download") unless the id alone cannot, a cut keeps the
// extension and whole characters, the path checks agree with what the path means, and
// PhotoMatcher finds the photo the plain rule, written out here, finds.

#include "FuzzCheck.h"
#include "sync/Naming.h"

#include <QDir>
#include <QTextBoundaryFinder>

using namespace kitewell;
using namespace kitewell::naming;

namespace {

bool isForbidden(QChar c) {
    return QStringView(u"/:\\?%*|\"<>").contains(c);
}

qsizetype graphemes(const QString& text) {
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    qsizetype count = 0;
    while (finder.toNextBoundary() >= 0)
        ++count;
    return count;
}

// The first `count` grapheme clusters of the text.
QString firstGraphemes(const QString& text, qsizetype count) {
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    qsizetype end = 0;
    for (qsizetype next = 0; count > 0 && (next = finder.toNextBoundary()) > 0; --count)
        end = next;
    return text.left(end);
}

// Whether `part` is the start of `text`, ending between two grapheme clusters.
bool isLeadingPart(const QString& part, const QString& text) {
    if (part.isEmpty() || part == text)
        return true;
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    finder.setPosition(part.size());
    return text.startsWith(part) && finder.isAtBoundary();
}

qsizetype encodedSize(const QString& text) {
    return text.toUtf8().size();
}

// The matching rule as it reads: the first photo whose id is the text before the first "__";
// without "__", the only photo whose safe name, as a file of its own holds it, is the whole
// file name.
std::optional<qsizetype> plainMatch(const QString& file, const QList<Photo>& photos) {
    const QString name = file.mid(file.lastIndexOf(u'/') + 1);
    const qsizetype separator = name.indexOf(QStringLiteral("__"));
    std::optional<qsizetype> found;
    for (qsizetype i = 0; i < photos.size(); ++i) {
        if (separator >= 0 && photos[i].id == name.left(separator))
            return i;
        const QString safe = safeName(photos[i].name.value_or(QStringLiteral("photo.jpg")));
        if (separator < 0 && fitName(safe, maximumNameBytes) == name) {
            if (found)
                return std::nullopt;
            found = i;
        }
    }
    return found;
}

// The texts packed in the input, split at the code unit U+001E.
QStringList partsOf(const QString& text) {
    return text.split(QChar(0x1e));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QByteArray bytes = fuzzing::bytesOf(data, size);
    // Half the inputs are read as UTF-8 (what JSON gives), half as raw UTF-16.
    const bool raw = !bytes.isEmpty() && (bytes[0] & 1);
    const QString text = raw ? fuzzing::utf16Of(bytes.mid(1)) : QString::fromUtf8(bytes.mid(1));
    const QStringList parts = partsOf(text);

    for (const QString& part : parts) {
        const QString safe = safeName(part);
        FUZZ_CHECK(!safe.isEmpty());
        for (QChar c : safe)
            FUZZ_CHECK(!isForbidden(c));
        FUZZ_CHECK(graphemes(safe) <= 160);
        FUZZ_CHECK(!safe.front().isSpace());
        FUZZ_CHECK(safeName(QString()) == u"photo.jpg");

        // A relative path passes only when it cannot leave the folder it is relative to.
        if (isSafeRelativePath(part)) {
            FUZZ_CHECK(!part.startsWith(u'/') && !part.contains(QChar(0)));
            const QString inside = QDir::cleanPath(QStringLiteral("/root/folder/") + part);
            FUZZ_CHECK(inside.startsWith(u"/root/folder/"));
            FUZZ_CHECK(inside != u"/root/folder/");
        }
    }

    // Photos made of the parts: id, name, id, name, ...
    QList<Photo> photos;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        Photo photo;
        photo.id = parts[i];
        if (!parts[i + 1].isEmpty() || (i / 2) % 2)
            photo.name = parts[i + 1];
        photos.append(photo);
    }
    for (const Photo& photo : std::as_const(photos)) {
        const QString file = downloadFileName(photo);
        const QString head = photo.id + QStringLiteral("__");
        FUZZ_CHECK(file.startsWith(head));
        // Room for the name, ".jpg" and ".download": the whole fits, a cut at a cluster
        // boundary of the safe name, keeping its extension when that fits.
        if (encodedSize(head) + 4 + 9 <= maximumNameBytes) {
            FUZZ_CHECK(encodedSize(file) + 9 <= maximumNameBytes);
            const QString safe = safeName(photo.name.value_or(QStringLiteral("photo.jpg")));
            const qsizetype dot = safe.lastIndexOf(u'.');
            const QString extension = dot >= 0 && dot + 1 < safe.size() ? safe.mid(dot) : QString();
            const QString kept =
                file.mid(head.size(), file.size() - head.size() - (extension.isEmpty() ? 4 : 0));
            if (encodedSize(head + extension) + 9 <= maximumNameBytes && !extension.isEmpty()) {
                FUZZ_CHECK(kept.endsWith(extension));
                FUZZ_CHECK(isLeadingPart(kept.chopped(extension.size()), safe.left(dot)));
            } else {
                FUZZ_CHECK(isLeadingPart(kept, safe));
            }
        }
        const bool nameHasNul = photo.name && photo.name->contains(QChar(0));
        if (isSafeIdComponent(photo.id) && !nameHasNul) {
            FUZZ_CHECK(!file.contains(u'/') && isSafeIdComponent(file));
            FUZZ_CHECK(isSafeRelativePath(QStringLiteral("album--12345678/") + file));
        }
        // The downloaded file leads back to its photo when the id itself has no "__" and
        // does not end in "_" (the first "__" of the name is where the id ends), and holds no
        // "/" (only the last path component is looked at).
        if (!photo.id.contains(u"__") && !photo.id.endsWith(u'_') && !photo.id.contains(u'/')) {
            const std::optional<qsizetype> found = plainMatch(file, photos);
            FUZZ_CHECK(found && photos[*found].id == photo.id);
        }
        AlbumEvent event;
        event.id = photo.id;
        event.title = photo.name.value_or(QString());
        // Safe title, cut at a cluster boundary so the whole fits, "--", then the id's first
        // 8 characters (grapheme clusters).
        const QString folder = albumFolderName(event);
        const QString tail = QStringLiteral("--") + firstGraphemes(photo.id, 8);
        FUZZ_CHECK(folder.endsWith(tail));
        const QString title = folder.chopped(tail.size());
        FUZZ_CHECK(
            isLeadingPart(title, safeName(event.title.isEmpty() ? QStringLiteral("直播相册") : event.title)));
        FUZZ_CHECK(encodedSize(folder) <= maximumNameBytes || title.isEmpty());
    }

    // The matcher used by passes agrees with the plain rule for every part as a file name.
    const PhotoMatcher matcher(photos);
    for (const QString& part : parts)
        FUZZ_CHECK(matcher.match(part) == plainMatch(part, photos));
    return 0;
}
