// Folder bookmarks: remembering a chosen folder and noticing when it is gone or replaced.

#include "platform/FileSystemError.h"
#include "platform/FolderBookmark.h"
#include "support/Files.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

#include <fcntl.h>
#include <unistd.h>

using namespace kitewell;
using namespace Qt::StringLiterals;

namespace {

// Bookmark bytes in the version-1 layout, for any path.
QByteArray bookmarkBytes(const QByteArray& path, char version = 1) {
    char number[8];
    qToBigEndian(quint64(1), number);
    return "KWFB" + QByteArray(1, version) + QByteArray(number, 8) + QByteArray(number, 8) + path;
}

} // namespace

class FolderBookmarkTest : public QObject {
    Q_OBJECT
    std::optional<QTemporaryDir> m_dir;
    QString m_folder;

private Q_SLOTS:
    void init() {
        m_dir.emplace();
        m_folder = m_dir->filePath(u"原图"_s);
        QVERIFY(QDir().mkpath(m_folder + u"/sub"_s));
        QVERIFY(testsupport::writeFile(m_dir->filePath(u"file"_s), "x"));
    }

    void resolvesToTheChosenFolder() {
        const QByteArray bookmark = FolderBookmark::create(m_folder + u"/./sub/../"_s);
        const FolderBookmark::Resolved resolved = FolderBookmark::resolve(bookmark);
        QCOMPARE(resolved.path, m_folder);
        QVERIFY(!resolved.stale);
        // The stored form must stay readable by later versions of the program.
        QVERIFY(bookmark.startsWith("KWFB\x01"));
        QVERIFY(bookmark.endsWith(QFile::encodeName(m_folder)));
        QCOMPARE(bookmark.size(), 21 + QFile::encodeName(m_folder).size());
    }

    void replacedFolderIsStale_data() {
        QTest::addColumn<bool>("moveAway");
        QTest::newRow("moved away, new folder made") << true;
        QTest::newRow("deleted, new folder made") << false;
    }
    void replacedFolderIsStale() {
        QFETCH(bool, moveAway);
        const QByteArray bookmark = FolderBookmark::create(m_folder);
        // Holding the old folder open keeps its inode number from being handed out again.
        const int held = ::open(QFile::encodeName(m_folder).constData(), O_RDONLY | O_DIRECTORY);
        QVERIFY(held >= 0);
        if (moveAway)
            QVERIFY(QDir().rename(m_folder, m_dir->filePath(u"elsewhere"_s)));
        else
            QVERIFY(QDir(m_folder).removeRecursively());
        const bool made = QDir().mkdir(m_folder);
        ::close(held);
        QVERIFY(made);
        const FolderBookmark::Resolved resolved = FolderBookmark::resolve(bookmark);
        QCOMPARE(resolved.path, m_folder);
        QVERIFY(resolved.stale);
    }

    void goneFolderFails() {
        const QByteArray bookmark = FolderBookmark::create(m_folder);
        QVERIFY(QDir(m_folder).removeRecursively());
        for (const int code : {ENOENT, ENOTDIR}) {
            if (code == ENOTDIR)
                QVERIFY(testsupport::writeFile(m_folder, "x"));
            try {
                FolderBookmark::resolve(bookmark);
                QFAIL("resolved");
            } catch (const FileSystemError& error) {
                QCOMPARE(error.code(), code);
                QCOMPARE(error.description(), FileSystemError::fromErrno(code).description());
            }
        }
    }

    void createNeedsAFolder_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("code");
        QTest::newRow("missing") << u"missing"_s << ENOENT;
        QTest::newRow("a file") << u"file"_s << ENOTDIR;
        QTest::newRow("below a file") << u"file/sub"_s << ENOTDIR;
    }
    void createNeedsAFolder() {
        QFETCH(QString, name);
        QFETCH(int, code);
        try {
            FolderBookmark::create(m_dir->filePath(name));
            QFAIL("created");
        } catch (const FileSystemError& error) {
            QCOMPARE(error.code(), code);
        }
        // Nor does such a path get access.
        QVERIFY(!FolderBookmark::startAccess(m_dir->filePath(name)));
        QVERIFY(FolderBookmark::startAccess(m_folder));
        FolderBookmark::stopAccess(m_folder);
    }

    void unrecognisedBytes_data() {
        QTest::addColumn<QByteArray>("bytes");
        const QByteArray path = QFile::encodeName(QDir::tempPath());
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("text") << QByteArray("/tmp");
        QTest::newRow("magic only") << QByteArray("KWFB\x01");
        QTest::newRow("no path") << bookmarkBytes("");
        QTest::newRow("another version") << bookmarkBytes(path, 2);
        QTest::newRow("relative path") << bookmarkBytes("tmp");
        QTest::newRow("NUL in path") << bookmarkBytes(path + QByteArray("\0/x", 3));
        QTest::newRow("other magic") << QByteArray("KWFC") + bookmarkBytes(path).mid(4);
    }
    void unrecognisedBytes() {
        QFETCH(QByteArray, bytes);
        try {
            FolderBookmark::resolve(bytes);
            QFAIL("resolved");
        } catch (const FileSystemError&) {
            QFAIL("taken as a path");
        } catch (const Error& error) {
            QCOMPARE(error.description(), u"文件夹书签无法识别。"_s);
        }
    }
};

QTEST_GUILESS_MAIN(FolderBookmarkTest)
#include "tst_folderbookmark.moc"
