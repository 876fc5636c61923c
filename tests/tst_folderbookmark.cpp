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
    const quint64 numbers[]{qToBigEndian(id.fileSystem), qToBigEndian(id.device), qToBigEndian(id.inode)};
    const QByteArray fields(reinterpret_cast<const char*>(numbers), sizeof numbers);
    return "KWFB" + QByteArray(1, version) + (version == 1 ? fields.mid(8) : fields) + path;
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
    // Bytes of another form do not resolve.
    void resolving_data() {
        using Id = FolderBookmark::Identity;
        QTest::addColumn<QByteArray>("bookmark");
        QTest::addColumn<Id>("now");
        QTest::addColumn<QString>("outcome"); // the folder's path, "stale" or the error's text
        const QString same = m_folder, stale = u"stale"_s, unrecognised = u"文件夹书签无法识别。"_s;
        const QByteArray path = QFile::encodeName(m_folder);
        QTest::newRow("another device number") << layout(path, {7, 1, 2}) << Id{7, 3, 2} << same;
        QTest::newRow("same inode, another file system") << layout(path, {7, 1, 2}) << Id{8, 1, 2} << stale;
        QTest::newRow("no identity, another device") << layout(path, {0, 1, 2}) << Id{0, 3, 2} << stale;
        QTest::newRow("version 1, same device") << layout(path, {0, 1, 2}, 1) << Id{9, 1, 2} << same;
        QTest::newRow("version 1, another device") << layout(path, {0, 1, 2}, 1) << Id{9, 3, 2} << stale;
        QTest::newRow("magic only") << QByteArray("KWFB\x01") << Id{} << unrecognised;
        QTest::newRow("no path") << layout("") << Id{} << unrecognised;
        QTest::newRow("another version") << layout(path, {}, 3) << Id{} << unrecognised;
        QTest::newRow("relative path") << layout("tmp") << Id{} << unrecognised;
        QTest::newRow("NUL in path") << layout(path + QByteArray("\0/x", 3)) << Id{} << unrecognised;
        QTest::newRow("other magic") << "KWFC" + layout(path).mid(4) << Id{} << unrecognised;
    }
    void resolving() {
        QFETCH(QByteArray, bookmark);
        QFETCH(FolderBookmark::Identity, now);
        QFETCH(QString, outcome);
        QString seen;
        const QString failed = failure([&] {
            const FolderBookmark::Resolved resolved = FolderBookmark::resolve(bookmark, now);
            seen = resolved.stale ? u"stale"_s : resolved.path;
        });
        QCOMPARE(seen + failed, outcome);
    }
};

QTEST_GUILESS_MAIN(FolderBookmarkTest)
#include "tst_folderbookmark.moc"
