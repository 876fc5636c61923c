// The settings and state records, their JSON form, and how SyncStorage keeps the files.

#include "model/Json.h"
#include "storage/SyncStorage.h"
#include "support/Files.h"
#include "support/Fixture.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTest>

#include <unistd.h>

using namespace kitewell;
using namespace testsupport;

namespace {

SyncSettings fullSettings() {
    SyncSettings settings;
    settings.baseURL = u"https://a.example/x"_s;
    settings.originalDirectoryBookmark = QByteArray("\x00\xff\x10", 3);
    settings.effectDirectoryBookmark = QByteArray("\xfb\xff", 2);
    settings.eventId = u"e/1"_s;
    settings.eventTitle = u"婚礼 \"A\""_s;
    settings.autoSyncEnabled = false;
    settings.autoUploadEffects = true;
    settings.autoPublishEffects = true;
    return settings;
}

SyncRecord record(const QString& photoId, std::optional<QString> uploaded = {},
                  std::optional<QString> published = {}) {
    return {photoId, u"e1"_s, u"Album--e1/"_s + photoId + u"__a.jpg"_s, std::move(uploaded),
            std::move(published)};
}

SyncStateFile stateOf(std::initializer_list<std::pair<QString, SyncRecord>> records) {
    SyncStateFile state;
    for (const auto& [key, value] : records)
        state.records.insert(key, value);
    return state;
}

} // namespace

class StorageTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init() { sandbox = std::make_unique<Sandbox>(); }
    void cleanup() { sandbox.reset(); }
    void settingsEncoding_data();
    void settingsEncoding();
    void settingsDecoding_data();
    void settingsDecoding();
    void stateEncoding();
    void saveAndLoad();
    void undecodableFileIsKept_data();
    void undecodableFileIsKept();
    void unreadableStateFileIsKept();

private:
    std::unique_ptr<Sandbox> sandbox;
};

void StorageTest::settingsEncoding_data() {
    QTest::addColumn<SyncSettings>("settings");
    QTest::addColumn<QByteArray>("expected");
    SyncSettings defaults;
    defaults.baseURL = u"https://kitewell.example"_s;
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
    empty.eventId = QString();
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
    QTest::newRow("missing autoPublishEffects")
        << QByteArray("{" + base + R"(,"autoSyncEnabled":true,"autoUploadEffects":false})") << false;
    QTest::newRow("missing baseURL") << QByteArray("{" + flags + "}") << false;
    QTest::newRow("null baseURL") << QByteArray(R"({"baseURL":null,)" + flags + "}") << false;
    QTest::newRow("string boolean")
        << QByteArray("{" + base +
                      R"(,"autoSyncEnabled":"true","autoUploadEffects":false,"autoPublishEffects":true})")
        << false;
    QTest::newRow("number eventId") << with(R"(,"eventId":5)") << false;
    QTest::newRow("unpadded Base64") << with(R"(,"originalDirectoryBookmark":"QQ")") << false;
    QTest::newRow("space in Base64") << with(R"(,"originalDirectoryBookmark":"Q Q==")") << false;
    QTest::newRow("URL-safe Base64") << with(R"(,"originalDirectoryBookmark":"-_8=")") << false;
    QTest::newRow("padding inside Base64") << with(R"(,"effectDirectoryBookmark":"QQ==QQ==")") << false;
    QTest::newRow("array") << QByteArray("[]") << false;
    QTest::newRow("empty") << QByteArray() << false;
}

void StorageTest::settingsDecoding() {
    QFETCH(QByteArray, json);
    QFETCH(bool, decodes);
    try {
        const SyncSettings settings = SyncSettings::decode(json);
        QVERIFY2(decodes, "decoded");
        QVERIFY(settings.autoPublishEffects && settings.autoSyncEnabled && !settings.autoUploadEffects);
        QVERIFY(!settings.eventId && !settings.eventTitle && !settings.originalDirectoryBookmark);
        QCOMPARE(settings.effectDirectoryBookmark.value_or("A"), QByteArray("A"));
    } catch (const json::DecodingError&) {
        QVERIFY2(!decodes, "did not decode");
    }
}

void StorageTest::stateEncoding() {
    // The byte form itself: sorted keys, "\/", absent fingerprints left out.
    const SyncStateFile state =
        stateOf({{u"e1:p2"_s, record(u"p2"_s, u"10-5"_s, u"10-4"_s)}, {u"e1:p1"_s, record(u"p1"_s)}});
    const QByteArray expected =
        R"({"records":{"e1:p1":{"eventId":"e1","originalRelativePath":"Album--e1\/p1__a.jpg",)"
        R"("photoId":"p1"},"e1:p2":{"eventId":"e1","lastPublishedEffectFingerprint":"10-4",)"
        R"("lastUploadedEffectFingerprint":"10-5",)"
        R"("originalRelativePath":"Album--e1\/p2__a.jpg","photoId":"p2"}}})";
    QCOMPARE(state.encode(), expected);
    QCOMPARE(SyncStateFile::decode(expected), state);
    QCOMPARE(SyncStateFile().encode(), QByteArray(R"({"records":{}})"));
}

void StorageTest::saveAndLoad() {
    const QString folder = sandbox->data + u"/鸢井同步助手"_s;
    QCOMPARE(SyncStorage::settingsPath(), folder + u"/settings.json"_s);
    QCOMPARE(SyncStorage::statePath(), folder + u"/sync-state.json"_s);
    // Missing files load as nothing, and neither that nor a location creates anything.
    QVERIFY(!SyncStorage::loadSettings());
    QCOMPARE(SyncStorage::loadState(), SyncStateFile());
    QVERIFY(!QFileInfo::exists(folder));

    // The first save makes the folder, and leaves nothing but its file there.
    SyncStorage::saveSettings(fullSettings());
    QCOMPARE(entries(folder), QStringList{u"settings.json"_s});
    QCOMPARE(SyncStorage::loadSettings(), fullSettings());
}

void StorageTest::undecodableFileIsKept_data() {
    QTest::addColumn<bool>("stateFile");
    QTest::addColumn<bool>("loadFirst");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("keptAside");
    SyncSettings goodSettings;
    goodSettings.eventId = u"e9"_s;
    QTest::newRow("state: garbage") << true << true << QByteArray("{\"records\":{\"e9:") << true;
    QTest::newRow("state: record lacking a key")
        << true << true << QByteArray(R"({"records":{"e9:p1":{"eventId":"e9","photoId":"p1"}}})") << true;
    QTest::newRow("state: empty file") << true << true << QByteArray() << true;
    QTest::newRow("state: good") << true << true << stateOf({{u"e9:p1"_s, record(u"p1"_s)}}).encode()
                                 << false;
    QTest::newRow("settings: garbage, saved at once") << false << false << QByteArray("\xff\xfe") << true;
    QTest::newRow("settings: garbage, loaded first") << false << true << QByteArray("[1]") << true;
    QTest::newRow("settings: good, saved at once") << false << false << goodSettings.encode() << false;
}

void StorageTest::undecodableFileIsKept() {
    QFETCH(bool, stateFile);
    QFETCH(bool, loadFirst);
    QFETCH(QByteArray, content);
    QFETCH(bool, keptAside);
    const QString folder = SyncStorage::supportDirectory();
    const QString path = stateFile ? SyncStorage::statePath() : SyncStorage::settingsPath();
    QVERIFY(writeFile(path, content));

    const SyncStateFile newState = stateOf({{u"e1:p1"_s, record(u"p1"_s, u"3-3"_s)}});
    SyncSettings newSettings;
    newSettings.autoPublishEffects = true;
    if (loadFirst && stateFile)
        QCOMPARE(SyncStorage::loadState().records.isEmpty(), keptAside);
    if (loadFirst && !stateFile)
        QCOMPARE(SyncStorage::loadSettings().has_value(), !keptAside);
    if (stateFile)
        SyncStorage::saveState(newState);
    else
        SyncStorage::saveSettings(newSettings);

    QCOMPARE(readFile(path), stateFile ? newState.encode() : newSettings.encode());
    const QRegularExpression asideName(u"^"_s + QRegularExpression::escape(QFileInfo(path).fileName()) +
                                       uR"(\.corrupt-\d{8}-\d{6}-\d{3}$)"_s);
    const QStringList aside = entries(folder).filter(asideName);
    QCOMPARE(entries(folder).size(), 1 + aside.size()); // no temporary file left
    QCOMPARE(aside.size(), keptAside ? 1 : 0);
    if (keptAside)
        QCOMPARE(readFile(folder + u'/' + aside.first()), content);
}

void StorageTest::unreadableStateFileIsKept() {
    if (::geteuid() == 0)
        QSKIP("running as root: every file is readable");
    const SyncStateFile first = stateOf({{u"e1:p1"_s, record(u"p1"_s)}});
    SyncStorage::saveState(first);
    QVERIFY(QFile::setPermissions(SyncStorage::statePath(), QFile::Permissions()));
    QCOMPARE(SyncStorage::loadState(), SyncStateFile());
    SyncStorage::saveState(SyncStateFile());
    const QStringList aside = entries(SyncStorage::supportDirectory()).filter(u".corrupt-"_s);
    QCOMPARE(aside.size(), 1);
    const QString kept = SyncStorage::supportDirectory() + u'/' + aside.first();
    QVERIFY(QFile::setPermissions(kept, QFile::ReadOwner));
    QCOMPARE(readFile(kept), first.encode());
}

QTEST_GUILESS_MAIN(StorageTest)
#include "tst_storage.moc"
