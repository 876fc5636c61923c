// Folder bookmarks: remembering a chosen folder and noticing when it is gone or replaced.

#include "platform/FileSystemError.h"
#include "platform/FolderBookmark.h"
#include "support/Files.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

#include <functional>
#include <sys/stat.h>
#include <sys/vfs.h>

using namespace kitewell;
using namespace Qt::StringLiterals;

Q_DECLARE_METATYPE(FolderBookmark::Identity)

namespace {

// Bookmark bytes in the stored layout, which later versions of the program must still read
// (version 1 held no file-system identity).
QByteArray layout(const QByteArray& path, FolderBookmark::Identity id = {1, 1, 1}, char version = 2) {
    QByteArray bytes = "KWFB" + QByteArray(1, version);
    for (const quint64 number :
         version == 1 ? QList{id.device, id.inode} : QList{id.fileSystem, id.device, id.inode}) {
        char bigEndian[8];
        qToBigEndian(number, bigEndian);
        bytes.append(bigEndian, 8);
    }
    return bytes + path;
}

// What the step failed with: a file-system error's errno, another error's text; empty if nothing.
QString failure(const std::function<void()>& step) {
    try {
        step();
        return {};
    } catch (const FileSystemError& error) {
        return u"errno %1"_s.arg(error.code());
    } catch (const Error& error) {
        return error.description();
    }
}

} // namespace

class FolderBookmarkTest : public QObject {
    Q_OBJECT
    QTemporaryDir m_dir;
    QString m_folder = m_dir.filePath(u"原图"_s);

private Q_SLOTS:
    void init() {
        QFile::remove(m_folder); // a row may have left a file in its place
        QVERIFY(QDir(m_folder).removeRecursively() && QDir().mkpath(m_folder + u"/sub"_s));
    }

    // The folder it was made for, until another folder is made in its place: the old one still
    // exists elsewhere then, so the new one cannot have its inode number.
    void resolvesToTheChosenFolderOnly() {
        const QByteArray bookmark = FolderBookmark::create(m_folder + u"/./sub/../"_s);
        struct stat status {};
        struct statfs fileSystem {};
        const QByteArray path = QFile::encodeName(m_folder);
        QVERIFY(::stat(path.constData(), &status) == 0 && ::statfs(path.constData(), &fileSystem) == 0);
        const auto [high, low] = fileSystem.f_fsid.__val;
        QCOMPARE(bookmark,
                 layout(path, {quint64(quint32(high)) << 32 | quint32(low), status.st_dev, status.st_ino}));
        QCOMPARE(FolderBookmark::resolve(bookmark).path, m_folder);
        QVERIFY(!FolderBookmark::resolve(bookmark).stale);
        QVERIFY(FolderBookmark::startAccess(m_folder));
        QVERIFY(QDir().rename(m_folder, m_dir.filePath(u"elsewhere"_s)) && QDir().mkdir(m_folder));
        QCOMPARE(FolderBookmark::resolve(bookmark).path, m_folder);
        QVERIFY(FolderBookmark::resolve(bookmark).stale);
    }

    // A path that is no folder (any more) can be neither bookmarked nor resolved nor entered.
    void notAFolder() {
        const QString below = m_folder + u"/sub"_s;
        const QByteArray folder = FolderBookmark::create(m_folder), inside = FolderBookmark::create(below);
        QVERIFY(QDir(m_folder).removeRecursively());
        const auto refused = [](const QByteArray& bookmark, const QString& path) {
            const QString resolving = failure([&] { FolderBookmark::resolve(bookmark); });
            const QString creating = failure([&] { FolderBookmark::create(path); });
            return resolving == creating && !FolderBookmark::startAccess(path) ? resolving : u"differently"_s;
        };
        QCOMPARE(refused(folder, m_folder), u"errno %1"_s.arg(ENOENT));
        // A file we may read, write and run: only its kind keeps it from being entered.
        QVERIFY(testsupport::writeFile(m_folder, "a file now"));
        QVERIFY(QFile::setPermissions(m_folder, QFile::permissions(m_dir.path())));
        QCOMPARE(refused(folder, m_folder), u"errno %1"_s.arg(ENOTDIR));
        QCOMPARE(refused(inside, below), u"errno %1"_s.arg(ENOTDIR));
    }

    // The folder now at the path is the bookmarked one by its file system's own identity, which a
    // disk attached again keeps, and its inode; by the device number where there is no identity.
    void sameFolder_data() {
        using Identity = FolderBookmark::Identity;
        QTest::addColumn<QByteArray>("bookmark");
        QTest::addColumn<Identity>("now");
        QTest::addColumn<bool>("stale");
        const QByteArray path = QFile::encodeName(m_folder);
        QTest::newRow("another device number") << layout(path, {7, 1, 2}) << Identity{7, 3, 2} << false;
        QTest::newRow("same inode, another file system")
            << layout(path, {7, 1, 2}) << Identity{8, 1, 2} << true;
        QTest::newRow("no identity, another device") << layout(path, {0, 1, 2}) << Identity{0, 3, 2} << true;
        QTest::newRow("version 1, same device") << layout(path, {0, 1, 2}, 1) << Identity{9, 1, 2} << false;
        QTest::newRow("version 1, another device") << layout(path, {0, 1, 2}, 1) << Identity{9, 3, 2} << true;
    }
    void sameFolder() {
        QFETCH(QByteArray, bookmark);
        QFETCH(FolderBookmark::Identity, now);
        QFETCH(bool, stale);
        const FolderBookmark::Resolved resolved = FolderBookmark::resolve(bookmark, now);
        QVERIFY(resolved.path == m_folder && resolved.stale == stale);
    }

    void unrecognisedBytes_data() {
        QTest::addColumn<QByteArray>("bytes");
        const QByteArray path = QFile::encodeName(QDir::tempPath());
        QTest::newRow("magic only") << QByteArray("KWFB\x01");
        QTest::newRow("no path") << layout("");
        QTest::newRow("another version") << layout(path, {}, 3);
        QTest::newRow("relative path") << layout("tmp");
        QTest::newRow("NUL in path") << layout(path + QByteArray("\0/x", 3));
        QTest::newRow("other magic") << "KWFC" + layout(path).mid(4);
    }
    void unrecognisedBytes() {
        QFETCH(QByteArray, bytes);
        QCOMPARE(failure([&] { FolderBookmark::resolve(bytes); }), u"文件夹书签无法识别。"_s);
    }
};

QTEST_GUILESS_MAIN(FolderBookmarkTest)
#include "tst_folderbookmark.moc"
