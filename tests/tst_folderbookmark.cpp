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

using namespace kitewell;
using namespace Qt::StringLiterals;

namespace {

// Bookmark bytes in the stored layout, which later versions of the program must still read.
QByteArray layout(const QByteArray& path, quint64 device = 1, quint64 inode = 1, char version = 1) {
    char numbers[16];
    qToBigEndian(device, numbers);
    qToBigEndian(inode, numbers + 8);
    return "KWFB" + QByteArray(1, version) + QByteArray(numbers, 16) + path;
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
        QCOMPARE(::stat(QFile::encodeName(m_folder).constData(), &status), 0);
        QCOMPARE(bookmark, layout(QFile::encodeName(m_folder), status.st_dev, status.st_ino));
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

    void unrecognisedBytes_data() {
        QTest::addColumn<QByteArray>("bytes");
        const QByteArray path = QFile::encodeName(QDir::tempPath());
        QTest::newRow("magic only") << QByteArray("KWFB\x01");
        QTest::newRow("no path") << layout("");
        QTest::newRow("another version") << layout(path, 1, 1, 2);
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
