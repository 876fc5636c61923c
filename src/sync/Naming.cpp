#include "sync/Naming.h"

#include "platform/Files.h"
#include "platform/StagedFile.h"

#include <QFile>
#include <QTextBoundaryFinder>

namespace kitewell::naming {

namespace {

constexpr qsizetype maximumNameLength = 160;
// A download streams into its destination's name with this added, until it is whole.
constexpr qsizetype stagingSuffixBytes = sizeof kDownloadSuffix - 1;
constexpr qint64 writingWindowMs = 2000;

bool isForbidden(QChar c) {
    switch (c.unicode()) {
    case u'/':
    case u':':
    case u'\\':
    case u'?':
    case u'%':
    case u'*':
    case u'|':
    case u'"':
    case u'<':
    case u'>':
        return true;
    default:
        return false;
    }
}

// The desktop's white-space-and-newline set: Unicode space separators (Zs), tab, the line
// breaks U+000A-U+000D, NEL, and the line and paragraph separators.
bool isWhiteSpaceOrNewline(QChar c) {
    const char16_t u = c.unicode();
    return (u >= 0x09 && u <= 0x0d) || u == 0x85 || u == 0x2028 || u == 0x2029 ||
           c.category() == QChar::Separator_Space;
}

// The first `count` grapheme clusters of the text (all of it when it has fewer).
QString leadingGraphemes(const QString& text, qsizetype count) {
    // A cluster holds at least one UTF-16 unit, so a short text needs no boundary search.
    if (text.size() <= count)
        return text;
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    qsizetype end = 0;
    for (qsizetype i = 0; i < count; ++i) {
        end = finder.toNextBoundary();
        if (end < 0)
            return text;
    }
    return text.left(end);
}

// Bytes in the file-name encoding (UTF-8 here, as QFile::encodeName).
qsizetype encodedSize(QStringView text) {
    return text.toUtf8().size();
}

// Whether the text takes at most `bytes` encoded bytes. A UTF-16 unit never takes more than
// three, which settles the usual short name without encoding it.
bool fits(QStringView text, qsizetype bytes) {
    return text.size() * 3 <= bytes || encodedSize(text) <= bytes;
}

// The leading grapheme clusters of the text that fit in `bytes` encoded bytes.
QString leadingBytes(const QString& text, qsizetype bytes) {
    if (fits(text, bytes))
        return text;
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    qsizetype end = 0;
    for (qsizetype next = finder.toNextBoundary(); next > 0; next = finder.toNextBoundary()) {
        bytes -= encodedSize(QStringView(text).mid(end, next - end));
        if (bytes < 0)
            break;
        end = next;
    }
    return text.left(end);
}

bool hasExtension(const QString& name, qsizetype dot) {
    return dot >= 0 && dot + 1 < name.size();
}

QString lastComponent(const QString& path) {
    return path.mid(path.lastIndexOf(u'/') + 1);
}

QString safeNameOf(const Photo& photo) {
    return safeName(photo.name.value_or(QStringLiteral("photo.jpg")));
}

// The photo's safe name as a file on its own can hold it.
QString plainFileName(const Photo& photo) {
    return fitName(safeNameOf(photo), maximumNameBytes);
}

bool hasEffectExtension(const QString& name) {
    const qsizetype dot = name.lastIndexOf(u'.');
    if (dot < 0)
        return false;
    const QStringView extension = QStringView(name).mid(dot + 1);
    return extension.compare(u"jpg", Qt::CaseInsensitive) == 0 ||
           extension.compare(u"jpeg", Qt::CaseInsensitive) == 0;
}

} // namespace

QString safeName(const QString& text) {
    QString result = text;
    for (QChar& c : result)
        if (isForbidden(c))
            c = u'-';
    qsizetype begin = 0;
    qsizetype end = result.size();
    while (begin < end && isWhiteSpaceOrNewline(result.at(begin)))
        ++begin;
    while (end > begin && isWhiteSpaceOrNewline(result.at(end - 1)))
        --end;
    if (begin == end)
        return QStringLiteral("photo.jpg");
    return leadingGraphemes(result.mid(begin, end - begin), maximumNameLength);
}

QString fitName(const QString& name, qsizetype bytes) {
    const qsizetype dot = name.lastIndexOf(u'.');
    if (!hasExtension(name, dot) || fits(name, bytes))
        return leadingBytes(name, bytes);
    const QString extension = name.mid(dot);
    const qsizetype extensionBytes = encodedSize(extension);
    // An extension too long to keep is cut with the rest.
    if (extensionBytes > bytes)
        return leadingBytes(name, bytes);
    return leadingBytes(name.left(dot), bytes - extensionBytes) + extension;
}

QString downloadFileName(const Photo& photo) {
    const QString head = photo.id + QStringLiteral("__");
    const QString safe = safeNameOf(photo);
    const QString added = hasExtension(safe, safe.lastIndexOf(u'.')) ? QString() : QStringLiteral(".jpg");
    // The whole name fits, while it downloads too (an id too long for any name leaves no room).
    const qsizetype room = maximumNameBytes - encodedSize(head) - encodedSize(added) - stagingSuffixBytes;
    return head + fitName(safe, room) + added;
}

QString albumFolderName(const AlbumEvent& event) {
    const QString title = event.title.isEmpty() ? QStringLiteral("直播相册") : event.title;
    const QString tail = QStringLiteral("--") + leadingGraphemes(event.id, 8);
    return leadingBytes(safeName(title), maximumNameBytes - encodedSize(tail)) + tail;
}

QStringList effectFiles(const QString& folder) {
    const QString prefix = folder.endsWith(u'/') ? folder : folder + u'/';
    QStringList files;
    for (const FolderEntry& entry : listFolder(folder)) {
        // Hidden entries; a name that is not valid in the file-name encoding could not be
        // opened again.
        const QString name = QFile::decodeName(entry.name);
        if (!isEffectFileName(name) || QFile::encodeName(name) != entry.name)
            continue;
        // Regular files, and links, which are followed only when a matched file's turn comes:
        // a pipe or a device would block or fail the pass, and an unmatched entry is never
        // examined. A listing that does not tell is asked, without following a link.
        const FolderEntry::Kind kind =
            entry.kind == FolderEntry::Kind::Unknown ? entryKind(prefix + name) : entry.kind;
        if (kind == FolderEntry::Kind::File || kind == FolderEntry::Kind::Link)
            files.append(prefix + name);
    }
    return files;
}

bool isEffectFileName(const QString& name) {
    return !name.startsWith(u'.') && hasEffectExtension(name);
}

QString fingerprint(const FileStamp& stamp) {
    // The system rounds down; a time before 1970 with a fraction truncates one second up.
    const qint64 seconds =
        stamp.modifiedSeconds + (stamp.modifiedSeconds < 0 && stamp.modifiedNanoseconds > 0);
    return QString::number(stamp.size) + u'-' + QString::number(seconds);
}

bool isBeingWritten(const FileStamp& stamp, const QDateTime& now) {
    // Compared in milliseconds, rounded down; far-off times cannot be within the window.
    const qint64 nowMs = now.toMSecsSinceEpoch();
    const qint64 nowSeconds = nowMs / 1000;
    if (stamp.modifiedSeconds < nowSeconds - 10 || stamp.modifiedSeconds > nowSeconds + 10)
        return false;
    const qint64 modifiedMs = stamp.modifiedSeconds * 1000 + stamp.modifiedNanoseconds / 1000000;
    return modifiedMs <= nowMs && nowMs - modifiedMs < writingWindowMs;
}

PhotoMatcher::PhotoMatcher(const QList<Photo>& photos) {
    m_firstById.reserve(photos.size());
    m_bySafeName.reserve(photos.size());
    for (qsizetype i = 0; i < photos.size(); ++i) {
        if (!m_firstById.contains(photos[i].id))
            m_firstById.insert(photos[i].id, i);
        const QString name = plainFileName(photos[i]);
        const auto it = m_bySafeName.find(name);
        if (it == m_bySafeName.end())
            m_bySafeName.insert(name, i);
        else
            it.value() = -1;
    }
}

std::optional<qsizetype> PhotoMatcher::match(const QString& file) const {
    const QString name = lastComponent(file);
    const qsizetype separator = name.indexOf(QStringLiteral("__"));
    if (separator >= 0) {
        const auto it = m_firstById.constFind(name.left(separator));
        return it == m_firstById.constEnd() ? std::nullopt : std::optional<qsizetype>(it.value());
    }
    const auto it = m_bySafeName.constFind(name);
    if (it == m_bySafeName.constEnd() || it.value() < 0)
        return std::nullopt;
    return it.value();
}

bool isSafeIdComponent(const QString& id) {
    return !id.contains(u'/') && !id.contains(QChar(0)) && id != u"." && id != u"..";
}

bool isSafeRelativePath(const QString& path) {
    if (path.isEmpty() || path.contains(QChar(0)))
        return false;
    // Component by component without building a list: a pass checks every photo's path.
    qsizetype start = 0;
    for (;;) {
        const qsizetype slash = path.indexOf(u'/', start);
        const QStringView component = QStringView(path).mid(start, (slash < 0 ? path.size() : slash) - start);
        if (component.isEmpty() || component == u"." || component == u"..")
            return false;
        if (slash < 0)
            return true;
        start = slash + 1;
    }
}

} // namespace kitewell::naming
