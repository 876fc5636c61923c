// The settings and state files: their byte form, how they are read and kept, how every durable
// write puts its file in place, and what a pass's shortcuts around them must not change.
// Linked with --wrap for fdatasync, fsync and rename, so the order of those calls can be seen.

#include "model/Json.h"
#include "storage/SyncStorage.h"
#include "support/Decoding.h"
#include "support/Files.h"
#include "support/Fixture.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTest>

#include <mutex>
#include <unistd.h>

using namespace kitewell;
using namespace testsupport;

namespace {

// The process's flushes and renames, in order ("fdatasync <path>" and the like).
std::mutex callsLock;
QStringList calls;

// The call's result, with its errno kept.
int logged(int result, int error, const QString& call) {
    const std::lock_guard lock(callsLock);
    calls.append(call);
    errno = error;
    return result;
}

QString pathOf(int fd) {
    return QFile::symLinkTarget(u"/proc/self/fd/"_s + QString::number(fd));
}

} // namespace

extern "C" {
int __real_fdatasync(int fd);
int __real_fsync(int fd);
int __real_rename(const char* from, const char* to);
int __wrap_fdatasync(int fd) {
    const int result = __real_fdatasync(fd), error = errno;
    return logged(result, error, u"fdatasync "_s + pathOf(fd));
}
int __wrap_fsync(int fd) {
    const int result = __real_fsync(fd), error = errno;
    return logged(result, error, u"fsync "_s + pathOf(fd));
}
int __wrap_rename(const char* from, const char* to) {
    const int result = __real_rename(from, to), error = errno;
    return logged(result, error, u"rename "_s + QFile::decodeName(from) + u" > "_s + QFile::decodeName(to));
}
}

namespace {

SyncSettings fullSettings() {
    SyncSettings settings{u"https://a.example/x"_s, QByteArray("\x00\xff\x10", 3), QByteArray("\xfb\xff", 2)};
    settings.eventId = u"e/1"_s;
    settings.eventTitle = u"婚礼 \"A\""_s;
    settings.autoSyncEnabled = false;
    settings.autoUploadEffects = settings.autoPublishEffects = true;
    return settings;
}

// The state as QJsonObject holds it and QJsonDocument writes it, plus "\/".
QByteArray qtForm(const SyncStateFile& state) {
    QJsonObject records;
    for (auto it = state.records.cbegin(); it != state.records.cend(); ++it) {
        QJsonObject record{{u"photoId"_s, it->photoId},
                           {u"eventId"_s, it->eventId},
                           {u"originalRelativePath"_s, it->originalRelativePath}};
        for (const auto& [name, value] :
             {std::pair{u"lastUploadedEffectFingerprint"_s, it->lastUploadedEffectFingerprint},
              {u"lastPublishedEffectFingerprint"_s, it->lastPublishedEffectFingerprint}})
            if (value)
                record.insert(name, *value);
        records.insert(it.key(), record);
    }
    return json::encodeCompact(QJsonObject{{u"records"_s, records}});
}

SyncRecord recordOf(std::optional<QString> uploaded = {}, std::optional<QString> published = {}) {
    return {u"p1"_s, u"e1"_s, u"Album--e1/p1__a.jpg"_s, std::move(uploaded), std::move(published)};
}

SyncStateFile stateOf(const QString& key, const SyncRecord& record = recordOf()) {
    SyncStateFile state;
    state.records.insert(key, record);
    return state;
}

} // namespace

class StorageTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init() { sandbox = std::make_unique<Sandbox>(); }
    void cleanup() {
        sandbox.reset();
        service.reset();
    }

    void settingsFile_data();
    void settingsFile() {
        // Canonical rows are the bytes a save writes; every row decodes to its settings or fails.
        QFETCH(QByteArray, json);
        QFETCH(std::optional<SyncSettings>, settings);
        QFETCH(bool, canonical);
        QCOMPARE(attempt([&] { return SyncSettings::decode(json); }), settings);
        if (canonical) {
            QCOMPARE(settings->encode(), json);
            SyncStorage::saveSettings(*settings);
            QCOMPARE(SyncStorage::loadSettings(), settings);
        }
    }

    void stateFile_data();
    void stateFile() {
        // Canonical rows are the bytes a save writes (or, with none given, QJsonDocument's own
        // form of the state); every row decodes to its state or fails.
        QFETCH(QByteArray, json);
        QFETCH(std::optional<SyncStateFile>, state);
        QFETCH(bool, canonical);
        const QByteArray bytes = json.isEmpty() ? state->encode() : json;
        if (json.isEmpty())
            QCOMPARE(bytes, qtForm(*state));
        QCOMPARE(attempt([&] { return SyncStateFile::decode(bytes); }), state);
        if (canonical) {
            SyncStorage::saveState(*state);
            QCOMPARE(readFile(SyncStorage::statePath()), bytes);
        }
    }

    void undecodableSettingsAreKept() {
        // A file that does not decode is moved aside before a save replaces it (the state's
        // keeping through a pass is below); one that decodes is simply replaced.
        for (const QByteArray& content : {QByteArray("\xff\xfe"), fullSettings().encode()}) {
            QVERIFY(writeFile(SyncStorage::settingsPath(), content));
            SyncStorage::saveSettings(SyncSettings());
            QCOMPARE(readFile(SyncStorage::settingsPath()), SyncSettings().encode());
        }
        const QStringList all = entries(SyncStorage::supportDirectory());
        const QStringList aside =
            all.filter(QRegularExpression(uR"(^settings\.json\.corrupt-\d{8}-\d{6}-\d{3}$)"_s));
        QCOMPARE(all.size(), 2); // and no temporary file left
        QCOMPARE(aside.size(), 1);
        QCOMPARE(readFile(SyncStorage::supportDirectory() + u'/' + aside.first()), QByteArray("\xff\xfe"));
    }

    void durableWrites_data() {
        QTest::addColumn<std::function<QString()>>("write"); // writes a file durably; where it should be
        QTest::addColumn<QString>("staging");                // the staging file's name after the target's
        const QString saveStaging =
            uR"(\.tmp-[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12})"_s;
        QTest::newRow("settings save") << std::function([this] {
            SyncStorage::saveSettings(fullSettings());
            return sandbox->data + u"/鸢井同步助手/settings.json"_s;
        }) << saveStaging;
        QTest::newRow("state save") << std::function([this] {
            SyncStorage::saveState(stateOf(u"e1:p1"_s));
            return sandbox->data + u"/鸢井同步助手/sync-state.json"_s;
        }) << saveStaging;
        QTest::newRow("download") << std::function([this] {
            startAlbum(1);
            KitewellAPI api(service->baseUrl().toString(), std::nullopt);
            const QString destination = sandbox->originals + u"/p000__IMG_0.JPG"_s;
            const auto downloaded =
                outcomeOf(api.downloadOriginal(service->originalUrl(u"e1"_s, u"p000"_s), destination));
            return downloaded.ok() ? destination : downloaded.errorText();
        }) << uR"(\.download)"_s;
    }
    void durableWrites() {
        // Data flushed under the staging name, renamed over the target, the folder flushed:
        // there is never a moment without a whole file under the target's name.
        QFETCH(std::function<QString()>, write);
        QFETCH(QString, staging);
        // Reading missing files gives nothing and makes nothing.
        QVERIFY(!SyncStorage::loadSettings() && SyncStorage::loadState().records.isEmpty());
        QVERIFY(!QFileInfo::exists(SyncStorage::supportDirectory()));
        calls.clear();
        const QString target = write();
        const QString folder = QFileInfo(target).path(), t = QRegularExpression::escape(target),
                      s = t + staging;
        const QString seen = calls.filter(folder).join(u'\n');
        QVERIFY2(QRegularExpression(u"^fdatasync "_s + s + u"\nrename "_s + s + u" > "_s + t + u"\nfsync "_s +
                                    QRegularExpression::escape(folder) + u'$')
                     .match(seen)
                     .hasMatch(),
                 qPrintable(seen));
        QCOMPARE(entries(folder), QStringList{QFileInfo(target).fileName()}); // nothing else left
    }

    void failedPassLeavesUndecodableStateInPlace() {
        // The engine reads the state while the service answers; a pass that fails at the
        // service leaves an undecodable file where it was, and the next pass keeps it aside.
        startAlbum(0);
        QVERIFY(writeFile(SyncStorage::statePath(), "{not json"));
        service->setFault(Endpoint::Workspace, statusFault(500));
        QVERIFY(!pass().ok());
        QCOMPARE(entries(SyncStorage::supportDirectory()), QStringList{u"sync-state.json"_s});
        QCOMPARE(readFile(SyncStorage::statePath()), QByteArray("{not json"));
        service->clearFaults();
        QVERIFY2(pass().ok(), "the pass after it failed");
        QCOMPARE(entries(SyncStorage::supportDirectory()).filter(u"sync-state.json.corrupt-"_s).size(), 1);
    }

    void presentOriginalsAreRecognised() {
        // The pass lists the album folder instead of looking up each photo's place: anything
        // there counts, whatever it is, hidden names too; names that differ in case or by a
        // trailing byte do not. The one place of a photo the service lists twice is its first's.
        startAlbum(6);
        for (const QString& name : {u"first.jpg"_s, u"second.jpg"_s, u"IMG.JPG"_s})
            service->addPhoto(u"e1"_s, photo(name == u"IMG.JPG" ? u".hidden"_s : u"twin"_s, name), 600);
        const QString album = sandbox->originals + u"/Album--e1/"_s;
        QVERIFY(writeFile(album + u"p000__IMG_0.JPG"_s, "the user's own file"));
        QVERIFY(QFile::link(u"/nonexistent/target"_s, album + u"p001__IMG_1.JPG"_s));
        QVERIFY(QDir().mkpath(album + u"p002__IMG_2.JPG"_s));
        QVERIFY(QFile::link(sandbox->originals, album + u"p003__IMG_3.JPG"_s));
        QVERIFY(writeFile(album + u".hidden__IMG.JPG"_s, "hidden") &&
                writeFile(album + u"twin__second.jpg"_s, "twin"));
        QVERIFY(writeFile(album + u"p004__img_4.jpg"_s, "other") &&
                writeFile(album + u"p005__IMG_5.JPG "_s, "x"));

        QCOMPARE(pass().value->downloadedOriginals, 3); // p004, p005 and the twin, once
        QCOMPARE(readFile(album + u"p000__IMG_0.JPG"_s) + readFile(album + u".hidden__IMG.JPG"_s) +
                     readFile(album + u"twin__second.jpg"_s),
                 QByteArray("the user's own filehiddentwin"));
        QVERIFY(QFileInfo(album + u"p001__IMG_1.JPG"_s).isSymLink() &&
                QFileInfo(album + u"p002__IMG_2.JPG"_s).isDir());
        QCOMPARE(readFile(album + u"p004__IMG_4.JPG"_s), service->photos(u"e1"_s).at(4).jpeg);
        QVERIFY(QFile::exists(album + u"twin__first.jpg"_s));
        const SyncStateFile saved = SyncStorage::loadState();
        QCOMPARE(saved.records.size(), 8);
        QCOMPARE(saved.records.value(u"e1:twin"_s).originalRelativePath, u"Album--e1/twin__first.jpg"_s);
    }

private:
    void startAlbum(int photos) {
        service = startService();
        service->addEvent({u"e1"_s, u"Album"_s, std::nullopt});
        for (int i = 0; i < photos; ++i)
            service->addPhoto(u"e1"_s, photo(u"p%1"_s.arg(i, 3, 10, QChar(u'0')), u"IMG_%1.JPG"_s.arg(i)),
                              600);
    }
    Outcome<SyncResult> pass() {
        return runPass(service->baseUrl().toString(), service->issueToken(kEmail), sandbox->settings(u"e1"_s),
                       false);
    }

    std::unique_ptr<AlbumService> service;
    std::unique_ptr<Sandbox> sandbox;
};

void StorageTest::settingsFile_data() {
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<std::optional<SyncSettings>>("settings"); // nothing: does not decode
    QTest::addColumn<bool>("canonical");
    const auto row = [](const char* name, const QByteArray& json, std::optional<SyncSettings> settings,
                        bool canonical = false) { QTest::newRow(name) << json << settings << canonical; };
    row("full",
        R"({"autoPublishEffects":true,"autoSyncEnabled":false,"autoUploadEffects":true,)"
        R"("baseURL":"https:\/\/a.example\/x","effectDirectoryBookmark":"+\/8=","eventId":"e\/1",)"
        R"("eventTitle":"婚礼 \"A\"","originalDirectoryBookmark":"AP8Q"})",
        fullSettings(), true);
    row("default: absent left out",
        R"({"autoPublishEffects":false,"autoSyncEnabled":true,"autoUploadEffects":false,"baseURL":"x"})",
        SyncSettings{u"x"_s}, true);
    const QByteArray flags = R"("autoSyncEnabled":true,"autoUploadEffects":false,"autoPublishEffects":false)";
    const auto with = [&](const QByteArray& members) { return R"({"baseURL":"x",)" + flags + members + "}"; };
    row("extra keys and null optionals", with(R"(,"theme":"dark","n":[1,{}],"eventId":null)"),
        SyncSettings{u"x"_s});
    row("missing autoPublishEffects", R"({"baseURL":"x","autoSyncEnabled":true,"autoUploadEffects":false})",
        {});
    row("unpadded Base64", with(R"(,"originalDirectoryBookmark":"QQ")"), {});
    row("URL-safe Base64", with(R"(,"originalDirectoryBookmark":"-_8=")"), {});
}

void StorageTest::stateFile_data() {
    QTest::addColumn<QByteArray>("json");                    // empty: QJsonDocument's form of the state
    QTest::addColumn<std::optional<SyncStateFile>>("state"); // nothing: does not decode
    QTest::addColumn<bool>("canonical");
    const auto row = [](const char* name, const QByteArray& json, std::optional<SyncStateFile> state,
                        bool canonical = false) { QTest::newRow(name) << json << state << canonical; };
    SyncStateFile two = stateOf(u"e1:p2"_s, recordOf(u"10-5"_s, u"10-4"_s));
    two.records.insert(u"e1:p1"_s, recordOf());
    row("sorted, \\/, absent fingerprints left out",
        R"({"records":{"e1:p1":{"eventId":"e1","originalRelativePath":"Album--e1\/p1__a.jpg","photoId":"p1"},)"
        R"("e1:p2":{"eventId":"e1","lastPublishedEffectFingerprint":"10-4","lastUploadedEffectFingerprint":"10-5",)"
        R"("originalRelativePath":"Album--e1\/p1__a.jpg","photoId":"p1"}}})",
        two, true);
    row("empty", R"({"records":{}})", SyncStateFile{}, true);
    // Where the escaping rules change: quotes, backslashes, slashes, every control character,
    // every UTF-8 length, surrogate pairs, lone and reversed surrogates; keys of many lengths
    // sharing long prefixes, as albums' do, over many chunks of output.
    SyncStateFile awkward;
    QString controls;
    for (char16_t c = 0; c < 0x20; ++c)
        controls += QChar(c);
    for (int i = 0; i < 3'000; ++i) {
        for (const QString& text :
             {u"a\"b\\c/d//"_s, controls + QChar(0x7f), QString::fromUtf16(u"é中\u2028\uFFFF\u07FF\u8000"),
              QString::fromUtf16(u"\U0001F600\U0010FFFF"), QString(QChar(0xD83D)) + u'x',
              u'x' + QString(QChar(0xD800)), QString(QChar(0xDE00)) + QChar(0xD83D)}) {
            const QString key = i % 2 ? text + QString::number(i) : QString::number(i, 36) + text;
            awkward.records.insert(key, {text, key, text, text, i % 3 ? std::nullopt : std::optional(text)});
        }
    }
    row("awkward keys and values, large", {}, awkward, true);
    const QByteArray record =
        R"({"photoId":"p1","eventId":"e1","originalRelativePath":"Album--e1\/p1__a.jpg"})";
    row("\"records\" missing", "{}", {});
    // A key that comes twice counts with its last record, as in QJsonObject.
    row("repeated key, the last decodes", R"({"records":{"k":5,"k":)" + record + "}}", stateOf(u"k"_s));
    row("repeated key, the last does not decode", R"({"records":{"k":)" + record + R"(,"k":5}})", {});
}

QTEST_GUILESS_MAIN(StorageTest)
#include "tst_storage.moc"
