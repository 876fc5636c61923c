// Folder bookmarks: remembering a chosen folder and noticing when it is gone or replaced.

#include "platform/Errors.h"
#include "platform/FolderBookmark.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace kitewell;

namespace {

void writeFile(const QString& path) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
}

// Bookmark bytes in the version-1 layout, for any path and identity.
QByteArray bookmarkBytes(const QByteArray& path, char version = 1) {
    QByteArray bytes("KWFB");
    bytes.append(version);
    char number[8];
    qToBigEndian(quint64(1), number);
    bytes.append(number, 8);
    bytes.append(number, 8);
    return bytes + path;
}

} // namespace

class FolderBookmarkTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init();
    void resolvesToTheChosenFolder_data();
    void resolvesToTheChosenFolder();
    void replacedFolderIsStale_data();
    void replacedFolderIsStale();
    void goneFolderFails_data();
    void goneFolderFails();
    void createNeedsAFolder_data();
    void createNeedsAFolder();
    void unrecognisedBytes_data();
    void unrecognisedBytes();
    void access_data();
    void access();

private:
    std::optional<QTemporaryDir> m_dir;
    QString m_folder;
};

void FolderBookmarkTest::init() {
    m_dir.emplace();
    QVERIFY(m_dir->isValid());
    m_folder = m_dir->filePath("原图");
    QVERIFY(QDir().mkpath(m_folder));
}

void FolderBookmarkTest::resolvesToTheChosenFolder_data() {
    QTest::addColumn<QString>("chosen");
    QTest::newRow("absolute") << QString();
    QTest::newRow("with trailing slash") << "/";
    QTest::newRow("with dot components") << "/./sub/..";
}

void FolderBookmarkTest::resolvesToTheChosenFolder() {
    QFETCH(QString, chosen);
    QVERIFY(QDir().mkpath(m_folder + "/sub"));
    const QByteArray bookmark = FolderBookmark::create(m_folder + chosen);
    const FolderBookmark::Resolved resolved = FolderBookmark::resolve(bookmark);
    QCOMPARE(resolved.path, m_folder);
    QVERIFY(!resolved.stale);
    // The stored form must stay readable by later versions of the program.
    QVERIFY(bookmark.startsWith(QByteArray("KWFB\x01")));
    QVERIFY(bookmark.endsWith(QFile::encodeName(m_folder)));
    QCOMPARE(bookmark.size(), 21 + QFile::encodeName(m_folder).size());
}

void FolderBookmarkTest::replacedFolderIsStale_data() {
    QTest::addColumn<bool>("moveAway");
    QTest::newRow("moved away, new folder made") << true;
    QTest::newRow("deleted, new folder made") << false;
}

void FolderBookmarkTest::replacedFolderIsStale() {
    QFETCH(bool, moveAway);
    const QByteArray bookmark = FolderBookmark::create(m_folder);
    const QByteArray native = QFile::encodeName(m_folder);
    if (moveAway) {
        QVERIFY(QDir().rename(m_folder, m_dir->filePath("elsewhere")));
        QVERIFY(QDir().mkdir(m_folder));
    } else {
        // Holding the deleted folder open keeps its inode number from being handed out again.
        const int held = ::open(native.constData(), O_RDONLY | O_DIRECTORY);
        QVERIFY(held >= 0);
        QCOMPARE(::rmdir(native.constData()), 0);
        const bool made = QDir().mkdir(m_folder);
        ::close(held);
        QVERIFY(made);
    }
    const FolderBookmark::Resolved resolved = FolderBookmark::resolve(bookmark);
    QCOMPARE(resolved.path, m_folder);
    QVERIFY(resolved.stale);
}

void FolderBookmarkTest::goneFolderFails_data() {
    QTest::addColumn<bool>("fileInstead");
    QTest::addColumn<int>("code");
    QTest::newRow("nothing there") << false << ENOENT;
    QTest::newRow("a file there") << true << ENOTDIR;
}

void FolderBookmarkTest::goneFolderFails() {
    QFETCH(bool, fileInstead);
    QFETCH(int, code);
    const QByteArray bookmark = FolderBookmark::create(m_folder);
    QVERIFY(QDir().rmdir(m_folder));
    if (fileInstead)
        writeFile(m_folder);
    try {
        FolderBookmark::resolve(bookmark);
        QFAIL("resolved");
    } catch (const FileSystemError& error) {
        QCOMPARE(error.code(), code);
        QCOMPARE(error.description(), FileSystemError::fromErrno(code).description());
    }
}

void FolderBookmarkTest::createNeedsAFolder_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("code");
    QTest::newRow("missing") << "missing" << ENOENT;
    QTest::newRow("a file") << "file" << ENOTDIR;
    QTest::newRow("below a file") << "file/sub" << ENOTDIR;
}

void FolderBookmarkTest::createNeedsAFolder() {
    QFETCH(QString, name);
    QFETCH(int, code);
    writeFile(m_dir->filePath("file"));
    try {
        FolderBookmark::create(m_dir->filePath(name));
        QFAIL("created");
    } catch (const FileSystemError& error) {
        QCOMPARE(error.code(), code);
    }
}

void FolderBookmarkTest::unrecognisedBytes_data() {
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

void FolderBookmarkTest::unrecognisedBytes() {
    QFETCH(QByteArray, bytes);
    try {
        FolderBookmark::resolve(bytes);
        QFAIL("resolved");
    } catch (const FileSystemError&) {
        QFAIL("taken as a path");
    } catch (const Error& error) {
        QCOMPARE(error.description(), "文件夹书签无法识别。");
    }
}

void FolderBookmarkTest::access_data() {
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("granted");
    QTest::newRow("folder") << "folder" << true;
    QTest::newRow("missing") << "missing" << false;
    QTest::newRow("file") << "file" << false;
    QTest::newRow("read-only folder") << "read-only" << false;
    QTest::newRow("unsearchable folder") << "unsearchable" << false;
}

void FolderBookmarkTest::access() {
    QFETCH(QString, kind);
    QFETCH(bool, granted);
    QString path = m_folder;
    if (kind == "missing") {
        path = m_dir->filePath("missing");
    } else if (kind == "file") {
        path = m_dir->filePath("file");
        writeFile(path);
    } else if (kind != "folder") {
        // Permission bits do not bind root, so these rows only mean something for a user.
        if (::geteuid() == 0)
            QSKIP("running as root: access() ignores permission bits");
        QVERIFY(QFile::setPermissions(m_folder, kind == "read-only" ? QFile::ReadOwner | QFile::ExeOwner
                                                                    : QFile::ReadOwner | QFile::WriteOwner));
    }
    QCOMPARE(FolderBookmark::startAccess(path), granted);
    FolderBookmark::stopAccess(path);
    QFile::setPermissions(m_folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

QTEST_GUILESS_MAIN(FolderBookmarkTest)
#include "tst_folderbookmark.moc"
