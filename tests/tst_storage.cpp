// The settings and state records, their JSON form, and how SyncStorage keeps the files.

#include "model/Json.h"
#include "platform/Errors.h"
#include "storage/SyncStorage.h"
#include "support/StateReference.h"

#include <QDir>
#include <QFile>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <unistd.h>

using namespace kitewell;
using testsupport::referenceEncoding;

namespace {

SyncSettings fullSettings() {
    SyncSettings settings;
    settings.baseURL = "https://a.example/x";
    settings.originalDirectoryBookmark = QByteArray("\x00\xff\x10", 3);
    settings.effectDirectoryBookmark = QByteArray("\xfb\xff", 2);
    settings.eventId = "e/1";
    settings.eventTitle = "婚礼 \"A\"";
    settings.autoSyncEnabled = false;
    settings.autoUploadEffects = true;
    settings.autoPublishEffects = true;
    return settings;
}

SyncRecord record(const QString& photoId, std::optional<QString> uploaded = {},
                  std::optional<QString> published = {}) {
    return {photoId, "e1", "Album--e1/" + photoId + "__a.jpg", std::move(uploaded), std::move(published)};
}

QByteArray readAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(bytes), bytes.size());
}

QStringList entries(const QString& folder) {
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                                  QDir::Name);
}

} // namespace

class StorageTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init();
    void settingsEncoding_data();
    void settingsEncoding();
    void settingsDecoding_data();
    void settingsDecoding();
    void stateEncoding();
    void stateDecoding_data();
    void stateDecoding();
    void fastEncoderMatchesQJsonDocument_data();
    void fastEncoderMatchesQJsonDocument();
    void locations();
    void saveCreatesFolderAndLeavesNoTemporaryFile();
    void saveReplacesTheFileInOneStep();
    void missingFilesLoadAsNothing();
    void failedRenameRemovesTemporaryFile();
    void folderCreationFailure();
    void undecodableFileIsKept_data();
    void undecodableFileIsKept();
    void folderUnderTheStateNameIsLeftAlone();
    void unwritableFolderKeepsTheOldFile();
    void unreadableStateFileIsKept();

private:
    std::optional<QTemporaryDir> m_home;
};

void StorageTest::init() {
    // Every test gets its own data folder; the real one is never touched.
    m_home.emplace();
    QVERIFY(m_home->isValid());
    qputenv("XDG_DATA_HOME", QFile::encodeName(m_home->filePath("data")));
    if (SyncStorage::supportDirectory() != m_home->filePath("data") + "/鸢井同步助手")
        QSKIP("this build keeps its data in a configured folder");
}

void StorageTest::settingsEncoding_data() {
    QTest::addColumn<SyncSettings>("settings");
    QTest::addColumn<QByteArray>("expected");
    SyncSettings defaults;
    defaults.baseURL = "https://kitewell.example";
    QTest::newRow("default") << defaults
                             << QByteArray(
                                    R"({"autoPublishEffects":false,"autoSyncEnabled":true,)"
                                    R"("autoUploadEffects":false,"baseURL":"https:\/\/kitewell.example"})");
    QTest::newRow("full") << fullSettings()
                          << QByteArray(R"({"autoPublishEffects":true,"autoSyncEnabled":false,)"
                                        R"("autoUploadEffects":true,"baseURL":"https:\/\/a.example\/x",)"
                                        R"("effectDirectoryBookmark":"+\/8=","eventId":"e\/1",)"
                                        R"("eventTitle":"婚礼 \"A\"","originalDirectoryBookmark":"AP8Q"})");
    SyncSettings empty = defaults;
    empty.originalDirectoryBookmark = QByteArray();
    empty.eventId = "";
    QTest::newRow("present but empty")
        << empty
        << QByteArray(
               R"({"autoPublishEffects":false,"autoSyncEnabled":true,"autoUploadEffects":false,)"
               R"("baseURL":"https:\/\/kitewell.example","eventId":"","originalDirectoryBookmark":""})");
}

void StorageTest::settingsEncoding() {
    QFETCH(SyncSettings, settings);
    QFETCH(QByteArray, expected);
    QCOMPARE(settings.encode(), expected);
    QCOMPARE(SyncSettings::decode(expected), settings);
}

void StorageTest::settingsDecoding_data() {
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<bool>("decodes");
    const QByteArray flags = R"("autoSyncEnabled":true,"autoUploadEffects":false,"autoPublishEffects":true)";
    const QByteArray base = R"("baseURL":"https:\/\/x")";
    auto with = [&](const QByteArray& members) { return "{" + base + "," + flags + members + "}"; };
    QTest::newRow("minimal") << with("") << true;
    QTest::newRow("extra keys") << with(R"(,"theme":"dark","n":[1,{}])") << true;
    QTest::newRow("null optionals") << with(R"(,"eventId":null,"originalDirectoryBookmark":null)") << true;
    QTest::newRow("padded Base64") << with(R"(,"effectDirectoryBookmark":"QQ==")") << true;
    QTest::newRow("any key order")
        << QByteArray(
               R"({"autoPublishEffects":true,"baseURL":"h","autoUploadEffects":false,"autoSyncEnabled":true})")
        << true;
    QTest::newRow("missing autoPublishEffects")
        << QByteArray("{" + base + R"(,"autoSyncEnabled":true,"autoUploadEffects":false})") << false;
    QTest::newRow("missing baseURL") << QByteArray("{" + flags + "}") << false;
    QTest::newRow("null baseURL") << QByteArray(R"({"baseURL":null,)" + flags + "}") << false;
    QTest::newRow("number baseURL") << QByteArray(R"({"baseURL":5,)" + flags + "}") << false;
    QTest::newRow("string boolean")
        << QByteArray("{" + base +
                      R"(,"autoSyncEnabled":"true","autoUploadEffects":false,"autoPublishEffects":true})")
        << false;
    QTest::newRow("number boolean")
        << QByteArray("{" + base +
                      R"(,"autoSyncEnabled":1,"autoUploadEffects":false,"autoPublishEffects":true})")
        << false;
    QTest::newRow("number eventId") << with(R"(,"eventId":5)") << false;
    QTest::newRow("number bookmark") << with(R"(,"originalDirectoryBookmark":12)") << false;
    QTest::newRow("unpadded Base64") << with(R"(,"originalDirectoryBookmark":"QQ")") << false;
    QTest::newRow("space in Base64") << with(R"(,"originalDirectoryBookmark":"Q Q==")") << false;
    QTest::newRow("URL-safe Base64") << with(R"(,"originalDirectoryBookmark":"-_8=")") << false;
    QTest::newRow("padding inside Base64") << with(R"(,"effectDirectoryBookmark":"QQ==QQ==")") << false;
    QTest::newRow("non-ASCII in Base64") << with(R"(,"effectDirectoryBookmark":"QQé=")") << false;
    QTest::newRow("array") << QByteArray("[]") << false;
    QTest::newRow("not JSON") << QByteArray("settings") << false;
    QTest::newRow("empty") << QByteArray() << false;
}

void StorageTest::settingsDecoding() {
    QFETCH(QByteArray, json);
    QFETCH(bool, decodes);
    try {
        const SyncSettings settings = SyncSettings::decode(json);
        QVERIFY2(decodes, "decoded");
        QCOMPARE(settings.autoPublishEffects, true);
        QCOMPARE(settings.autoSyncEnabled, true);
        QCOMPARE(settings.autoUploadEffects, false);
        QVERIFY(!settings.eventId);
        QVERIFY(!settings.eventTitle);
        QVERIFY(!settings.originalDirectoryBookmark);
        if (settings.effectDirectoryBookmark)
            QCOMPARE(*settings.effectDirectoryBookmark, QByteArray("A"));
    } catch (const json::DecodingError&) {
        QVERIFY2(!decodes, "did not decode");
    }
}

void StorageTest::stateEncoding() {
    SyncStateFile state;
    state.records.insert("e1:p2", record("p2", "10-5", "10-4"));
    state.records.insert("e1:p1", record("p1"));
    const QByteArray expected =
        R"({"records":{"e1:p1":{"eventId":"e1","originalRelativePath":"Album--e1\/p1__a.jpg",)"
        R"("photoId":"p1"},"e1:p2":{"eventId":"e1","lastPublishedEffectFingerprint":"10-4",)"
        R"("lastUploadedEffectFingerprint":"10-5",)"
        R"("originalRelativePath":"Album--e1\/p2__a.jpg","photoId":"p2"}}})";
    QCOMPARE(state.encode(), expected);
    QCOMPARE(SyncStateFile::decode(expected), state);
    QCOMPARE(SyncStateFile().encode(), QByteArray(R"({"records":{}})"));
}

void StorageTest::stateDecoding_data() {
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<int>("records"); // -1: the whole file fails
    const QByteArray good = R"("eventId":"e1","photoId":"p1","originalRelativePath":"A\/p1__a.jpg")";
    QTest::newRow("empty records") << QByteArray(R"({"records":{}})") << 0;
    QTest::newRow("one record") << QByteArray(R"({"records":{"e1:p1":{)" + good + "}}}") << 1;
    QTest::newRow("null fingerprints and extra keys")
        << QByteArray(
               R"({"v":2,"records":{"e1:p1":{)" + good +
               R"(,"lastUploadedEffectFingerprint":null,"lastPublishedEffectFingerprint":null,"x":1}}})")
        << 1;
    QTest::newRow("no records key") << QByteArray("{}") << -1;
    QTest::newRow("records is an array") << QByteArray(R"({"records":[]})") << -1;
    QTest::newRow("record missing originalRelativePath")
        << QByteArray(R"({"records":{"e1:p1":{)" + good + R"(},"e1:p2":{"eventId":"e1","photoId":"p2"}}})")
        << -1;
    QTest::newRow("record is a string") << QByteArray(R"({"records":{"e1:p1":"x"}})") << -1;
    QTest::newRow("fingerprint is a number")
        << QByteArray(R"({"records":{"e1:p1":{)" + good + R"(,"lastUploadedEffectFingerprint":5}}})") << -1;
    QTest::newRow("truncated") << QByteArray(R"({"records":{"e1:p1":{)" + good) << -1;
}

void StorageTest::stateDecoding() {
    QFETCH(QByteArray, json);
    QFETCH(int, records);
    try {
        const SyncStateFile state = SyncStateFile::decode(json);
        QVERIFY2(records >= 0, "decoded");
        QCOMPARE(state.records.size(), records);
        if (records > 0) {
            const SyncRecord& decoded = state.records["e1:p1"];
            QCOMPARE(decoded, (SyncRecord{"p1", "e1", "A/p1__a.jpg", std::nullopt, std::nullopt}));
        }
    } catch (const json::DecodingError&) {
        QVERIFY2(records < 0, "did not decode");
    }
}

void StorageTest::fastEncoderMatchesQJsonDocument_data() {
    QTest::addColumn<QString>("text");
    QString controls;
    for (char16_t c = 0; c < 0x20; ++c)
        controls += QChar(c);
    QTest::newRow("empty") << QString();
    QTest::newRow("quotes and backslashes") << R"(a"b\c\\"")";
    QTest::newRow("slashes") << "/a//b/";
    QTest::newRow("control characters") << controls + QChar(0x7f);
    QTest::newRow("two- and three-byte") << QString::fromUtf16(u"é中\u2028\uFFFF\u0800\u07FF");
    QTest::newRow("non-BMP") << QString::fromUtf16(u"\U0001F600x\U0010FFFF");
    QTest::newRow("lone high surrogate") << QString(QChar(0xD83D)) + "x";
    QTest::newRow("lone low surrogate") << QString(QChar(0xDE00)) + "x";
    QTest::newRow("high surrogate at end") << QString("x") + QChar(0xD83D);
    QTest::newRow("reversed pair") << QString(QChar(0xDE00)) + QChar(0xD83D);
    QRandomGenerator random(20240501);
    for (int row = 0; row < 20; ++row) {
        QString text;
        for (int i = 0; i < 40; ++i) {
            // Mostly the ranges where the escaping rules change, some of anything.
            const quint32 pick = random.bounded(5);
            const char16_t unit = pick == 0   ? char16_t(random.bounded(0x80))
                                  : pick == 1 ? char16_t(0xD800 + random.bounded(0x800))
                                  : pick == 2 ? u'/'
                                              : char16_t(random.bounded(0x10000));
            text += QChar(unit);
        }
        QTest::addRow("random %d", row) << text;
    }
}

void StorageTest::fastEncoderMatchesQJsonDocument() {
    QFETCH(QString, text);
    SyncStateFile state;
    state.records.insert(text, {text, text, text, text, text});
    state.records.insert("k" + text, {"p", text, "a/b", std::nullopt, text});
    state.records.insert(text + "k", {text, "e", "a/b", text, std::nullopt});
    state.records.insert(QString::fromUtf16(u"\uE000"), record("p1"));
    state.records.insert(QString::fromUtf16(u"\U0001F600"), record("p2"));
    state.records.insert(QString::fromUtf16(u"\uFF01"), record("p3"));
    QCOMPARE(state.encode(), referenceEncoding(state));
}

void StorageTest::locations() {
    const QString folder = m_home->filePath("data") + "/鸢井同步助手";
    QCOMPARE(SyncStorage::settingsPath(), folder + "/settings.json");
    QCOMPARE(SyncStorage::statePath(), folder + "/sync-state.json");
    QVERIFY(!QFileInfo::exists(folder)); // computing a location creates nothing
}

void StorageTest::saveCreatesFolderAndLeavesNoTemporaryFile() {
    SyncStorage::saveSettings(fullSettings());
    QCOMPARE(entries(SyncStorage::supportDirectory()), QStringList{"settings.json"});
    QCOMPARE(readAll(SyncStorage::settingsPath()), fullSettings().encode());
    QCOMPARE(SyncStorage::loadSettings(), fullSettings());

    SyncStateFile state;
    state.records.insert("e1:p1", record("p1", "1-2"));
    SyncStorage::saveState(state);
    QCOMPARE(entries(SyncStorage::supportDirectory()), (QStringList{"settings.json", "sync-state.json"}));
    QCOMPARE(SyncStorage::loadState(), state);
}

void StorageTest::saveReplacesTheFileInOneStep() {
    SyncStateFile first;
    first.records.insert("e1:p1", record("p1"));
    SyncStorage::saveState(first);
    // A second name for the old file: a rename over the target leaves it alone, while
    // rewriting the file in place would change it.
    const QString other = m_home->filePath("old-state.json");
    QCOMPARE(
        ::link(QFile::encodeName(SyncStorage::statePath()).constData(), QFile::encodeName(other).constData()),
        0);
    SyncStateFile second = first;
    second.records.insert("e2:p1", record("p1", "5-5"));
    SyncStorage::saveState(second);
    QCOMPARE(readAll(other), first.encode());
    QCOMPARE(SyncStorage::loadState(), second);
    QCOMPARE(entries(SyncStorage::supportDirectory()), QStringList{"sync-state.json"});
}

void StorageTest::missingFilesLoadAsNothing() {
    QVERIFY(!SyncStorage::loadSettings());
    QCOMPARE(SyncStorage::loadState(), SyncStateFile());
    QVERIFY(!QFileInfo::exists(SyncStorage::supportDirectory()));
}

void StorageTest::failedRenameRemovesTemporaryFile() {
    // A folder with content under the target name cannot be replaced by a file.
    QVERIFY(QDir().mkpath(SyncStorage::statePath() + "/inside"));
    try {
        SyncStorage::saveState(SyncStateFile());
        QFAIL("saved");
    } catch (const FileSystemError& error) {
        QCOMPARE(error.code(), EISDIR);
        QCOMPARE(error.description(), FileSystemError::fromErrno(EISDIR).description());
    }
    QCOMPARE(entries(SyncStorage::supportDirectory()), QStringList{"sync-state.json"});
}

void StorageTest::folderCreationFailure() {
    writeFile(m_home->filePath("file"), "x");
    qputenv("XDG_DATA_HOME", QFile::encodeName(m_home->filePath("file")));
    QVERIFY_THROWS_EXCEPTION(FileSystemError, SyncStorage::saveSettings(SyncSettings()));
    QVERIFY_THROWS_EXCEPTION(FileSystemError, SyncStorage::saveState(SyncStateFile()));
    QCOMPARE(readAll(m_home->filePath("file")), QByteArray("x"));
}

void StorageTest::undecodableFileIsKept_data() {
    QTest::addColumn<bool>("stateFile");
    QTest::addColumn<bool>("loadFirst");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("keptAside");
    SyncStateFile goodState;
    goodState.records.insert("e9:p1", record("p1"));
    QTest::newRow("state: garbage") << true << true << QByteArray("{\"records\":{\"e9:") << true;
    QTest::newRow("state: no records key") << true << true << QByteArray("{}") << true;
    QTest::newRow("state: record lacking a key")
        << true << true << QByteArray(R"({"records":{"e9:p1":{"eventId":"e9","photoId":"p1"}}})") << true;
    QTest::newRow("state: empty file") << true << true << QByteArray() << true;
    QTest::newRow("state: good") << true << true << goodState.encode() << false;
    SyncSettings goodSettings;
    goodSettings.eventId = "e9";
    QTest::newRow("settings: garbage, saved at once") << false << false << QByteArray("\xff\xfe") << true;
    QTest::newRow("settings: missing key, saved at once")
        << false << false << QByteArray(R"({"baseURL":"x","autoSyncEnabled":true,"autoUploadEffects":true})")
        << true;
    QTest::newRow("settings: garbage, loaded first") << false << true << QByteArray("[1]") << true;
    QTest::newRow("settings: good, saved at once") << false << false << goodSettings.encode() << false;
    QTest::newRow("settings: good, loaded first") << false << true << goodSettings.encode() << false;
}

void StorageTest::undecodableFileIsKept() {
    QFETCH(bool, stateFile);
    QFETCH(bool, loadFirst);
    QFETCH(QByteArray, content);
    QFETCH(bool, keptAside);
    const QString folder = SyncStorage::supportDirectory();
    const QString path = stateFile ? SyncStorage::statePath() : SyncStorage::settingsPath();
    QVERIFY(QDir().mkpath(folder));
    writeFile(path, content);

    SyncStateFile newState;
    newState.records.insert("e1:p1", record("p1", "3-3"));
    SyncSettings newSettings;
    newSettings.autoPublishEffects = true;
    if (loadFirst) {
        if (stateFile)
            QCOMPARE(SyncStorage::loadState().records.isEmpty(), keptAside);
        else
            QCOMPARE(SyncStorage::loadSettings().has_value(), !keptAside);
    }
    if (stateFile)
        SyncStorage::saveState(newState);
    else
        SyncStorage::saveSettings(newSettings);

    QCOMPARE(readAll(path), stateFile ? newState.encode() : newSettings.encode());
    const QString name = QFileInfo(path).fileName();
    const QRegularExpression asideName("^" + QRegularExpression::escape(name) +
                                       R"(\.corrupt-\d{8}-\d{6}-\d{3}$)");
    const QStringList aside = entries(folder).filter(asideName);
    QCOMPARE(entries(folder).size(), 1 + aside.size()); // no temporary file left
    if (keptAside) {
        QCOMPARE(aside.size(), 1);
        QCOMPARE(readAll(folder + "/" + aside.first()), content);
    } else {
        QVERIFY(aside.isEmpty());
    }
}

void StorageTest::folderUnderTheStateNameIsLeftAlone() {
    QVERIFY(QDir().mkpath(SyncStorage::statePath()));
    QCOMPARE(SyncStorage::loadState(), SyncStateFile());
    QVERIFY(QFileInfo(SyncStorage::statePath()).isDir());
    QCOMPARE(entries(SyncStorage::supportDirectory()), QStringList{"sync-state.json"});
}

void StorageTest::unwritableFolderKeepsTheOldFile() {
    if (::geteuid() == 0)
        QSKIP("running as root: permission bits do not bind");
    SyncStateFile first;
    first.records.insert("e1:p1", record("p1"));
    SyncStorage::saveState(first);
    const QString folder = SyncStorage::supportDirectory();
    QVERIFY(QFile::setPermissions(folder, QFile::ReadOwner | QFile::ExeOwner));
    SyncStateFile second = first;
    second.records.insert("e1:p2", record("p2"));
    int code = 0;
    try {
        SyncStorage::saveState(second);
    } catch (const FileSystemError& error) {
        code = error.code();
    }
    QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QCOMPARE(code, EACCES);
    QCOMPARE(SyncStorage::loadState(), first);
    QCOMPARE(entries(folder), QStringList{"sync-state.json"});
}

void StorageTest::unreadableStateFileIsKept() {
    if (::geteuid() == 0)
        QSKIP("running as root: every file is readable");
    SyncStateFile first;
    first.records.insert("e1:p1", record("p1"));
    SyncStorage::saveState(first);
    QVERIFY(QFile::setPermissions(SyncStorage::statePath(), QFile::Permissions()));
    QCOMPARE(SyncStorage::loadState(), SyncStateFile());
    SyncStorage::saveState(SyncStateFile());
    const QStringList aside = entries(SyncStorage::supportDirectory()).filter(".corrupt-");
    QCOMPARE(aside.size(), 1);
    const QString kept = SyncStorage::supportDirectory() + "/" + aside.first();
    QVERIFY(QFile::setPermissions(kept, QFile::ReadOwner));
    QCOMPARE(readAll(kept), first.encode());
}

QTEST_GUILESS_MAIN(StorageTest)
#include "tst_storage.moc"
