// Local file names, matching of retouched files to photos, listing and fingerprints.

#include "platform/Errors.h"
#include "sync/Naming.h"

#include <QDirIterator>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace kitewell;
using namespace kitewell::naming;

namespace {

QString repeated(const QString& unit, int count) {
    return unit.repeated(count);
}

const QString family =
    QString::fromUtf16(u"\U0001F468\u200D\U0001F469\u200D\U0001F467");                 // one cluster, 8 units
const QString accented = QString::fromUtf16(u"e\u0301\u0302");                         // one cluster, 3 units
const QString flags = QString::fromUtf16(u"\U0001F1E8\U0001F1F3\U0001F1FA\U0001F1F8"); // two clusters
const QString grin = QString::fromUtf16(u"\U0001F600");

Photo photo(const QString& id, std::optional<QString> name) {
    Photo p;
    p.id = id;
    p.name = std::move(name);
    return p;
}

void writeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(bytes), bytes.size());
}

void setModified(const QString& path, qint64 seconds, long nanoseconds) {
    const timespec times[2] = {{0, UTIME_OMIT}, {time_t(seconds), nanoseconds}};
    QCOMPARE(::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0), 0);
}

} // namespace

class NamingTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void safeNames_data();
    void safeNames();
    void downloadFileNames_data();
    void downloadFileNames();
    void albumFolderNames_data();
    void albumFolderNames();
    void matching_data();
    void matching();
    void effectFileListing();
    void effectFilesOfUnlistableFolder_data();
    void effectFilesOfUnlistableFolder();
    void fingerprints_data();
    void fingerprints();
    void fingerprintFollowsChanges();
    void fingerprintOfMissingFile();
    void beingWritten_data();
    void beingWritten();
    void safeIds_data();
    void safeIds();
    void safeRelativePaths_data();
    void safeRelativePaths();
};

void NamingTest::safeNames_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("expected");
    const QString a159 = repeated("a", 159);
    QTest::newRow("slash and colon") << "a/b:c"
                                     << "a-b-c";
    QTest::newRow("runs not merged") << "what?*"
                                     << "what--";
    QTest::newRow("all eight") << R"(\?%*|"<>)"
                               << "--------";
    QTest::newRow("inner spaces kept") << "a / b"
                                       << "a - b";
    QTest::newRow("trimmed") << "  x  "
                             << "x";
    QTest::newRow("empty") << ""
                           << "photo.jpg";
    QTest::newRow("only spaces") << "   "
                                 << "photo.jpg";
    QTest::newRow("only line breaks") << "\r\n"
                                      << "photo.jpg";
    QTest::newRow("two dots") << ".."
                              << "..";
    QTest::newRow("other scripts") << "新娘 入场.JPG"
                                   << "新娘 入场.JPG";
    QTest::newRow("ideographic and no-break space") << QString::fromUtf16(u"\u3000x\u00A0") << "x";
    QTest::newRow("every trimmed character")
        << QString::fromUtf16(u"\t\n\v\f\r\u0085\u2028\u2029 \u1680\u2000\u2005\u200A\u202F\u205F\u3000x"
                              u"\u00A0\u3000\t")
        << "x";
    QTest::newRow("zero-width space is not white space")
        << QString::fromUtf16(u"\u200Bx\uFEFF") << QString::fromUtf16(u"\u200Bx\uFEFF");
    QTest::newRow("200 characters") << repeated("a", 200) << repeated("a", 160);
    QTest::newRow("exactly 160") << repeated("b", 160) << repeated("b", 160);
    QTest::newRow("trimmed before the cut") << "  " + repeated("a", 170) << repeated("a", 160);
    QTest::newRow("cut may end in a space") << a159 + " bbbb" << a159 + " ";
    QTest::newRow("ZWJ sequence kept whole") << a159 + family + "b" << a159 + family;
    QTest::newRow("combining marks kept whole") << a159 + accented + "z" << a159 + accented;
    QTest::newRow("flags in pairs") << a159 + flags << a159 + flags.left(4);
    QTest::newRow("counted in clusters, not units") << repeated(grin, 170) << repeated(grin, 160);
    QTest::newRow("160 clusters longer than 160 units") << repeated(family, 160) << repeated(family, 160);
}

void NamingTest::safeNames() {
    QFETCH(QString, text);
    QFETCH(QString, expected);
    QCOMPARE(safeName(text), expected);
}

void NamingTest::downloadFileNames_data() {
    QTest::addColumn<QString>("id");
    QTest::addColumn<std::optional<QString>>("name");
    QTest::addColumn<QString>("expected");
    const std::optional<QString> none;
    QTest::newRow("name with extension") << "p9" << std::optional<QString>("IMG_1.JPG") << "p9__IMG_1.JPG";
    QTest::newRow("colon replaced") << "p9" << std::optional<QString>("新娘:入场") << "p9__新娘-入场.jpg";
    QTest::newRow("no name") << "p9" << none << "p9__photo.jpg";
    QTest::newRow("empty name") << "p9" << std::optional<QString>("") << "p9__photo.jpg";
    QTest::newRow("blank name") << "p9" << std::optional<QString>("  ") << "p9__photo.jpg";
    QTest::newRow("no extension") << "p9" << std::optional<QString>("DSC0001") << "p9__DSC0001.jpg";
    QTest::newRow("other extension kept") << "p9" << std::optional<QString>("x.png") << "p9__x.png";
    QTest::newRow("slash in name") << "p9" << std::optional<QString>("a/b.tar.gz") << "p9__a-b.tar.gz";
    QTest::newRow("trailing dot") << "p9" << std::optional<QString>("name.") << "p9__name..jpg";
    QTest::newRow("id used unchanged") << "a:b" << std::optional<QString>("x.jpg") << "a:b__x.jpg";
    QTest::newRow("extension cut off") << "p9" << std::optional<QString>(repeated("a", 200) + ".jpg")
                                       << "p9__" + repeated("a", 160) + ".jpg";
}

void NamingTest::downloadFileNames() {
    QFETCH(QString, id);
    QFETCH(std::optional<QString>, name);
    QFETCH(QString, expected);
    QCOMPARE(downloadFileName(photo(id, name)), expected);
}

void NamingTest::albumFolderNames_data() {
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("id");
    QTest::addColumn<QString>("expected");
    QTest::newRow("title and id") << "Wedding 2024/05"
                                  << "a1b2c3d4e5"
                                  << "Wedding 2024-05--a1b2c3d4";
    QTest::newRow("empty title") << ""
                                 << "abc"
                                 << "直播相册--abc";
    QTest::newRow("blank title") << "   "
                                 << "abcdefghij"
                                 << "photo.jpg--abcdefgh";
}

void NamingTest::albumFolderNames() {
    QFETCH(QString, title);
    QFETCH(QString, id);
    QFETCH(QString, expected);
    QCOMPARE(albumFolderName(AlbumEvent{id, title, std::nullopt}), expected);
}

void NamingTest::matching_data() {
    QTest::addColumn<QString>("file");
    QTest::addColumn<int>("expected"); // index into the photos below, -1 for none
    QTest::newRow("id prefix") << "p9__IMG_1-edit.jpg" << 0;
    QTest::newRow("ids are case-sensitive") << "P9__IMG_1.jpg" << -1;
    QTest::newRow("first double underscore") << "a__b__c.jpg" << 1;
    QTest::newRow("empty id") << "__x.jpg" << -1;
    QTest::newRow("unknown id, no name fallback") << "p99__IMG_1.jpg" << -1;
    QTest::newRow("nothing after prefix") << "p9__" << 0;
    QTest::newRow("path given") << "/some/dir/p12__x.jpeg" << 4;
    QTest::newRow("plain name") << "IMG_1.jpg" << 0;
    QTest::newRow("single underscore is a plain name") << "p9_x.jpg" << -1;
    QTest::newRow("plain name of two photos") << "DUP.jpg" << -1;
    QTest::newRow("plain name, other case") << "IMG_2.jpg" << -1;
    QTest::newRow("plain name, same case") << "IMG_2.JPG" << 4;
    QTest::newRow("photo without name") << "photo.jpg" << 6;
    QTest::newRow("safe form of the name") << "新娘-入场.jpg" << 7;
    QTest::newRow("raw form of the name") << "新娘:入场.jpg" << -1;
}

void NamingTest::matching() {
    QFETCH(QString, file);
    QFETCH(int, expected);
    const QList<Photo> photos{photo("p9", "IMG_1.jpg"),   photo("a", "x.jpg"),
                              photo("p10", "DUP.jpg"),    photo("p11", "DUP.jpg"),
                              photo("p12", "IMG_2.JPG"),  photo("p9", "other.jpg"),
                              photo("p13", std::nullopt), photo("p14", "新娘:入场.jpg")};
    const std::optional<Photo> found = matchedPhoto(file, photos);
    const std::optional<qsizetype> index = PhotoMatcher(photos).match(file);
    if (expected < 0) {
        QVERIFY(!found);
        QVERIFY(!index);
    } else {
        QVERIFY(found);
        QCOMPARE(*found, photos[expected]);
        QVERIFY(index);
        QCOMPARE(*index, expected);
    }
}

void NamingTest::effectFileListing() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    for (const char* name :
         {"a.JPG", "b.jpeg", "c.Jpg", "x.JPEG", "d.png", "e.jpg.bak", ".hidden.jpg", "noext"})
        writeFile(dir.filePath(name), "x");
    QVERIFY(QDir(dir.path()).mkpath("sub"));
    QVERIFY(QDir(dir.path()).mkpath("folder.jpg"));
    writeFile(dir.filePath("sub/f.jpg"), "x");
    QVERIFY(QFile::link(dir.filePath("a.JPG"), dir.filePath("link.jpg")));
    QVERIFY(QFile::link(dir.filePath("sub"), dir.filePath("folderlink.jpg")));
    QVERIFY(QFile::link(dir.filePath("gone"), dir.filePath("dangling.jpg")));

    const QStringList kept{"a.JPG", "b.jpeg", "c.Jpg", "x.JPEG", "link.jpg"};
    QStringList expected; // in the folder's own order
    QDirIterator it(dir.path(), QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    while (it.hasNext()) {
        it.next();
        if (kept.contains(it.fileName()))
            expected.append(dir.path() + "/" + it.fileName());
    }
    QCOMPARE(expected.size(), kept.size());
    QCOMPARE(effectFiles(dir.path()), expected);
    QCOMPARE(effectFiles(dir.path() + "/"), expected);
    QCOMPARE(effectFiles(dir.filePath("sub")), QStringList{dir.filePath("sub/f.jpg")});
}

void NamingTest::effectFilesOfUnlistableFolder_data() {
    QTest::addColumn<QString>("entry");
    QTest::addColumn<int>("code");
    QTest::newRow("missing") << "missing" << ENOENT;
    QTest::newRow("a file") << "file.jpg" << ENOTDIR;
}

void NamingTest::effectFilesOfUnlistableFolder() {
    QFETCH(QString, entry);
    QFETCH(int, code);
    QTemporaryDir dir;
    writeFile(dir.filePath("file.jpg"), "x");
    try {
        effectFiles(dir.filePath(entry));
        QFAIL("listed");
    } catch (const FileSystemError& error) {
        QCOMPARE(error.code(), code);
        QCOMPARE(error.description(), FileSystemError::fromErrno(code).description());
    }
}

void NamingTest::fingerprints_data() {
    QTest::addColumn<int>("size");
    QTest::addColumn<qint64>("seconds");
    QTest::addColumn<int>("nanoseconds");
    QTest::addColumn<QString>("expected");
    QTest::newRow("fraction dropped") << 2048 << qint64(90) << 700000000 << "2048-90";
    QTest::newRow("empty file at the epoch") << 0 << qint64(0) << 0 << "0-0";
    QTest::newRow("just before a second") << 1 << qint64(1700000000) << 999999999 << "1-1700000000";
    // -1.5 s is stored as -2 s + 0.5 s; truncation toward zero gives -1.
    QTest::newRow("before 1970 with fraction") << 5 << qint64(-2) << 500000000 << "5--1";
    QTest::newRow("before 1970, whole second") << 5 << qint64(-2) << 0 << "5--2";
}

void NamingTest::fingerprints() {
    QFETCH(int, size);
    QFETCH(qint64, seconds);
    QFETCH(int, nanoseconds);
    QFETCH(QString, expected);
    QTemporaryDir dir;
    const QString file = dir.filePath("p9__a.jpg");
    writeFile(file, QByteArray(size, 'x'));
    setModified(file, seconds, nanoseconds);
    QCOMPARE(fileFingerprint(file), expected);
}

void NamingTest::fingerprintFollowsChanges() {
    QTemporaryDir dir;
    const QString file = dir.filePath("a.jpg");
    writeFile(file, "same");
    setModified(file, 1700000000, 0);
    const QString before = fileFingerprint(file);
    QCOMPARE(before, "4-1700000000");

    const QString copy = dir.filePath("b.jpg");
    QVERIFY(QFile::copy(file, copy));
    setModified(copy, 1700000000, 0);
    QCOMPARE(fileFingerprint(copy), before);

    writeFile(file, "same");
    setModified(file, 1700000005, 0);
    QCOMPARE(fileFingerprint(file), "4-1700000005");
}

void NamingTest::fingerprintOfMissingFile() {
    QTemporaryDir dir;
    try {
        fileFingerprint(dir.filePath("gone.jpg"));
        QFAIL("no error");
    } catch (const FileSystemError& error) {
        QCOMPARE(error.code(), ENOENT);
    }
}

void NamingTest::beingWritten_data() {
    QTest::addColumn<qint64>("ageMs"); // how long before now the file was modified
    QTest::addColumn<bool>("expected");
    QTest::newRow("just now") << qint64(0) << true;
    QTest::newRow("one second ago") << qint64(1000) << true;
    QTest::newRow("almost two seconds ago") << qint64(1999) << true;
    QTest::newRow("two seconds ago") << qint64(2000) << false;
    QTest::newRow("long ago") << qint64(100000) << false;
    QTest::newRow("ahead of the clock") << qint64(-1000) << false;
}

void NamingTest::beingWritten() {
    QFETCH(qint64, ageMs);
    QFETCH(bool, expected);
    const QDateTime now = QDateTime::fromMSecsSinceEpoch(1700000000500);
    const qint64 modifiedMs = now.toMSecsSinceEpoch() - ageMs;
    const FileStamp stamp{1, modifiedMs / 1000, (modifiedMs % 1000) * 1000000};
    QCOMPARE(isBeingWritten(stamp, now), expected);
}

void NamingTest::safeIds_data() {
    QTest::addColumn<QString>("id");
    QTest::addColumn<bool>("safe");
    QTest::newRow("plain") << "p9" << true;
    QTest::newRow("empty") << "" << true;
    QTest::newRow("three dots") << "..." << true;
    QTest::newRow("leading dot") << ".a" << true;
    QTest::newRow("dot") << "." << false;
    QTest::newRow("dot dot") << ".." << false;
    QTest::newRow("slash") << "a/b" << false;
    QTest::newRow("climbing") << "../../x" << false;
    QTest::newRow("NUL") << QString("a") + QChar(0) + "b" << false;
}

void NamingTest::safeIds() {
    QFETCH(QString, id);
    QFETCH(bool, safe);
    QCOMPARE(isSafeIdComponent(id), safe);
}

void NamingTest::safeRelativePaths_data() {
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("safe");
    QTest::newRow("album and file") << "Wedding--a1b2c3d4/p9__IMG_1.JPG" << true;
    QTest::newRow("single name") << "a" << true;
    QTest::newRow("dots inside names") << "..a/b..jpg" << true;
    QTest::newRow("empty") << "" << false;
    QTest::newRow("absolute") << "/etc/passwd" << false;
    QTest::newRow("leading dot dot") << "../x" << false;
    QTest::newRow("inner dot dot") << "a/../../b" << false;
    QTest::newRow("dot") << "a/./b" << false;
    QTest::newRow("double slash") << "a//b" << false;
    QTest::newRow("trailing slash") << "a/" << false;
    QTest::newRow("NUL") << QString("a") + QChar(0) + "/b" << false;
}

void NamingTest::safeRelativePaths() {
    QFETCH(QString, path);
    QFETCH(bool, safe);
    QCOMPARE(isSafeRelativePath(path), safe);
}

QTEST_GUILESS_MAIN(NamingTest)
#include "tst_naming.moc"
