// Local file names, matching of retouched files to photos, listing and fingerprints.

#include "platform/FileSystemError.h"
#include "support/Files.h"
#include "sync/Naming.h"

#include <QDirIterator>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <sys/stat.h>

using namespace kitewell;
using namespace kitewell::naming;
using namespace Qt::StringLiterals;

namespace {

const QString family =
    QString::fromUtf16(u"\U0001F468\u200D\U0001F469\u200D\U0001F467");                 // one cluster, 8 units
const QString accented = QString::fromUtf16(u"e\u0301\u0302");                         // one cluster, 3 units
const QString flags = QString::fromUtf16(u"\U0001F1E8\U0001F1F3\U0001F1FA\U0001F1F8"); // two clusters
const QString a159 = u"a"_s.repeated(159);

Photo photo(const QString& id, std::optional<QString> name) {
    Photo p;
    p.id = id;
    p.name = std::move(name);
    return p;
}

} // namespace

class NamingTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void safeNames_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("expected");
        QTest::newRow("slash and colon") << u"a/b:c"_s << u"a-b-c"_s;
        QTest::newRow("runs not merged, all eight") << u"x\\?%*|\"<>"_s << u"x--------"_s;
        QTest::newRow("inner spaces kept") << u"a / b"_s << u"a - b"_s;
        QTest::newRow("empty") << QString() << u"photo.jpg"_s;
        QTest::newRow("only line breaks") << u"\r\n"_s << u"photo.jpg"_s;
        QTest::newRow("two dots") << u".."_s << u".."_s;
        QTest::newRow("every trimmed character")
            << QString::fromUtf16(u"\t\n\v\f\r\u0085\u2028\u2029 \u1680\u2000\u2005\u200A\u202F\u205F\u3000x"
                                  u"\u00A0\u3000\t")
            << u"x"_s;
        QTest::newRow("zero-width space is not white space")
            << QString::fromUtf16(u"\u200Bx\uFEFF") << QString::fromUtf16(u"\u200Bx\uFEFF");
        QTest::newRow("exactly 160") << u"b"_s.repeated(160) << u"b"_s.repeated(160);
        QTest::newRow("trimmed before the cut") << u"  "_s + u"a"_s.repeated(170) << u"a"_s.repeated(160);
        QTest::newRow("cut may end in a space") << a159 + u" bbbb"_s << a159 + u" "_s;
        QTest::newRow("ZWJ sequence kept whole") << a159 + family + u"b"_s << a159 + family;
        QTest::newRow("combining marks kept whole") << a159 + accented + u"z"_s << a159 + accented;
        QTest::newRow("flags in pairs") << a159 + flags << a159 + flags.left(4);
        QTest::newRow("160 clusters longer than 160 units") << family.repeated(170) << family.repeated(160);
    }
    void safeNames() {
        QFETCH(QString, text);
        QFETCH(QString, expected);
        QCOMPARE(safeName(text), expected);
    }

    void downloadFileNames_data() {
        QTest::addColumn<QString>("id");
        QTest::addColumn<std::optional<QString>>("name");
        QTest::addColumn<QString>("expected");
        QTest::newRow("name with extension")
            << u"p9"_s << std::optional(u"IMG_1.JPG"_s) << u"p9__IMG_1.JPG"_s;
        QTest::newRow("colon replaced") << u"p9"_s << std::optional(u"新娘:入场"_s) << u"p9__新娘-入场.jpg"_s;
        QTest::newRow("no name") << u"p9"_s << std::optional<QString>() << u"p9__photo.jpg"_s;
        QTest::newRow("blank name") << u"p9"_s << std::optional(u"  "_s) << u"p9__photo.jpg"_s;
        QTest::newRow("other extension kept")
            << u"p9"_s << std::optional(u"a/b.tar.gz"_s) << u"p9__a-b.tar.gz"_s;
        QTest::newRow("trailing dot") << u"p9"_s << std::optional(u"name."_s) << u"p9__name..jpg"_s;
        QTest::newRow("id used unchanged") << u"a:b"_s << std::optional(u"x.jpg"_s) << u"a:b__x.jpg"_s;
        QTest::newRow("extension cut off") << u"p9"_s << std::optional(u"a"_s.repeated(200) + u".jpg"_s)
                                           << u"p9__"_s + u"a"_s.repeated(160) + u".jpg"_s;
    }
    void downloadFileNames() {
        QFETCH(QString, id);
        QFETCH(std::optional<QString>, name);
        QFETCH(QString, expected);
        QCOMPARE(downloadFileName(photo(id, name)), expected);
    }

    void albumFolderNames() {
        // Safe titles, the empty title and short ids are the engine suite's.
        QCOMPARE(albumFolderName(AlbumEvent{u"abcdefghij"_s, u"   "_s, std::nullopt}),
                 u"photo.jpg--abcdefgh"_s);
    }

    void matching_data() {
        QTest::addColumn<QString>("file");
        QTest::addColumn<int>("expected"); // index into the photos below, -1 for none
        QTest::newRow("id prefix") << u"p9__IMG_1-edit.jpg"_s << 0;
        QTest::newRow("ids are case-sensitive") << u"P9__IMG_1.jpg"_s << -1;
        QTest::newRow("first double underscore") << u"a__b__c.jpg"_s << 1;
        QTest::newRow("empty id") << u"__x.jpg"_s << -1;
        QTest::newRow("unknown id, no name fallback") << u"p99__IMG_1.jpg"_s << -1;
        QTest::newRow("path given") << u"/some/dir/p12__x.jpeg"_s << 4;
        QTest::newRow("plain name") << u"IMG_1.jpg"_s << 0;
        QTest::newRow("single underscore is a plain name") << u"p9_x.jpg"_s << -1;
        QTest::newRow("plain name of two photos") << u"DUP.jpg"_s << -1;
        QTest::newRow("plain name, other case") << u"IMG_2.jpg"_s << -1;
        QTest::newRow("photo without name") << u"photo.jpg"_s << 6;
        QTest::newRow("safe form of the name") << u"新娘-入场.jpg"_s << 7;
        QTest::newRow("raw form of the name") << u"新娘:入场.jpg"_s << -1;
    }
    void matching() {
        QFETCH(QString, file);
        QFETCH(int, expected);
        const QList<Photo> photos{photo(u"p9"_s, u"IMG_1.jpg"_s),  photo(u"a"_s, u"x.jpg"_s),
                                  photo(u"p10"_s, u"DUP.jpg"_s),   photo(u"p11"_s, u"DUP.jpg"_s),
                                  photo(u"p12"_s, u"IMG_2.JPG"_s), photo(u"p9"_s, u"other.jpg"_s),
                                  photo(u"p13"_s, std::nullopt),   photo(u"p14"_s, u"新娘:入场.jpg"_s)};
        QCOMPARE(PhotoMatcher(photos).match(file).value_or(-1), expected);
    }

    void effectFileListing() {
        QTemporaryDir dir;
        for (const char* name : {"a.JPG", "b.jpeg", "c.Jpg", "x.JPEG", "d.png", "e.jpg.bak", ".hidden.jpg",
                                 "noext", "sub/f.jpg"})
            QVERIFY(testsupport::writeFile(dir.filePath(QString::fromUtf8(name)), "x"));
        QVERIFY(QDir(dir.path()).mkpath(u"folder.jpg"_s));
        QVERIFY(QFile::link(dir.filePath(u"a.JPG"_s), dir.filePath(u"link.jpg"_s)));
        QVERIFY(QFile::link(dir.filePath(u"sub"_s), dir.filePath(u"folderlink.jpg"_s)));
        // Entries that cannot be examined are listed: only a matched one is ever looked at.
        QVERIFY(QFile::link(dir.filePath(u"gone"_s), dir.filePath(u"dangling.jpg"_s)));
        QVERIFY(QFile::link(dir.filePath(u"loop.jpg"_s), dir.filePath(u"loop.jpg"_s)));

        const QStringList kept{u"a.JPG"_s,    u"b.jpeg"_s,       u"c.Jpg"_s,   u"x.JPEG"_s,
                               u"link.jpg"_s, u"dangling.jpg"_s, u"loop.jpg"_s};
        QStringList expected; // in the folder's own order
        QDirIterator it(dir.path(), QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
        while (it.hasNext()) {
            it.next();
            if (kept.contains(it.fileName()))
                expected.append(dir.path() + u'/' + it.fileName());
        }
        QCOMPARE(expected.size(), kept.size());
        QCOMPARE(effectFiles(dir.path()), expected);
        QCOMPARE(effectFiles(dir.path() + u'/'), expected);
        QCOMPARE(effectFiles(dir.filePath(u"sub"_s)), QStringList{dir.filePath(u"sub/f.jpg"_s)});
    }

    void fileErrors() {
        QTemporaryDir dir;
        QVERIFY(testsupport::writeFile(dir.filePath(u"file.jpg"_s), "x"));
        for (const auto& [entry, code] :
             {std::pair{u"missing"_s, ENOENT}, std::pair{u"file.jpg"_s, ENOTDIR}}) {
            try {
                effectFiles(dir.filePath(entry));
                QFAIL("listed");
            } catch (const FileSystemError& error) {
                QCOMPARE(error.code(), code);
                QCOMPARE(error.description(), FileSystemError::fromErrno(code).description());
            }
        }
    }

    void fingerprints_data() {
        QTest::addColumn<int>("size");
        QTest::addColumn<qint64>("seconds");
        QTest::addColumn<int>("nanoseconds");
        QTest::addColumn<QString>("expected");
        QTest::newRow("fraction dropped") << 2048 << qint64(90) << 700000000 << u"2048-90"_s;
        QTest::newRow("empty file at the epoch") << 0 << qint64(0) << 0 << u"0-0"_s;
        QTest::newRow("just before a second") << 1 << qint64(1700000000) << 999999999 << u"1-1700000000"_s;
        // -1.5 s is stored as -2 s + 0.5 s; truncation toward zero gives -1.
        QTest::newRow("before 1970 with fraction") << 5 << qint64(-2) << 500000000 << u"5--1"_s;
        QTest::newRow("before 1970, whole second") << 5 << qint64(-2) << 0 << u"5--2"_s;
    }
    void fingerprints() {
        QFETCH(int, size);
        QFETCH(qint64, seconds);
        QFETCH(int, nanoseconds);
        QFETCH(QString, expected);
        QTemporaryDir dir;
        const QString file = dir.filePath(u"p9__a.jpg"_s);
        QVERIFY(testsupport::writeFile(file, QByteArray(size, 'x')));
        const timespec times[2] = {{0, UTIME_OMIT}, {time_t(seconds), nanoseconds}};
        QCOMPARE(::utimensat(AT_FDCWD, QFile::encodeName(file).constData(), times, 0), 0);
        QCOMPARE(fileFingerprint(file), expected);
    }

    void beingWritten_data() {
        QTest::addColumn<qint64>("ageMs"); // how long before now the file was modified
        QTest::addColumn<bool>("expected");
        QTest::newRow("just now") << qint64(0) << true;
        QTest::newRow("almost two seconds ago") << qint64(1999) << true;
        QTest::newRow("two seconds ago") << qint64(2000) << false;
        QTest::newRow("ahead of the clock") << qint64(-1000) << false;
    }
    void beingWritten() {
        QFETCH(qint64, ageMs);
        QFETCH(bool, expected);
        const QDateTime now = QDateTime::fromMSecsSinceEpoch(1700000000500);
        const qint64 modifiedMs = now.toMSecsSinceEpoch() - ageMs;
        QCOMPARE(isBeingWritten(FileStamp{1, modifiedMs / 1000, (modifiedMs % 1000) * 1000000}, now),
                 expected);
    }

    void safePaths_data() {
        QTest::addColumn<bool>("relativePath"); // or an id component
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("safe");
        QTest::newRow("id: plain") << false << u"p9"_s << true;
        QTest::newRow("id: empty") << false << QString() << true;
        QTest::newRow("id: three dots") << false << u"..."_s << true;
        QTest::newRow("id: dot") << false << u"."_s << false;
        QTest::newRow("id: dot dot") << false << u".."_s << false;
        QTest::newRow("id: slash") << false << u"a/b"_s << false;
        QTest::newRow("id: NUL") << false << u"a\0b"_s << false;
        QTest::newRow("path: album and file") << true << u"Wedding--a1b2c3d4/p9__IMG_1.JPG"_s << true;
        QTest::newRow("path: dots inside names") << true << u"..a/b..jpg"_s << true;
        QTest::newRow("path: empty") << true << QString() << false;
        QTest::newRow("path: absolute") << true << u"/etc/passwd"_s << false;
        QTest::newRow("path: inner dot dot") << true << u"a/../../b"_s << false;
        QTest::newRow("path: dot") << true << u"a/./b"_s << false;
        QTest::newRow("path: double slash") << true << u"a//b"_s << false;
        QTest::newRow("path: trailing slash") << true << u"a/"_s << false;
        QTest::newRow("path: NUL") << true << u"a\0/b"_s << false;
    }
    void safePaths() {
        QFETCH(bool, relativePath);
        QFETCH(QString, text);
        QFETCH(bool, safe);
        QCOMPARE(relativePath ? isSafeRelativePath(text) : isSafeIdComponent(text), safe);
    }
};

QTEST_GUILESS_MAIN(NamingTest)
#include "tst_naming.moc"
