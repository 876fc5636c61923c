// The settings and state files: their byte form, how they are read and kept, how every durable
// write puts its file in place, and what a pass's shortcuts around them must not change.
// Linked with --wrap for fdatasync, fsync and rename, so the order of those calls can be seen.

#include "model/Json.h"
#include "storage/SyncStorage.h"
#include "support/Decoding.h"
#include "support/Files.h"
#include "support/Scenario.h"

#include <QFile>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QTest>

#include <mutex>

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
    SyncSettings settings{u"https://a.example/x"_s, "\x00\xff\x10"_ba, "\xfb\xff"_ba, u"e/1"_s,
                          u"婚礼 \"A\""_s};
    settings.autoSyncEnabled = false;
    settings.autoUploadEffects = settings.autoPublishEffects = true;
    return settings;
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
    void init() { f.emplace(); }
    void cleanup() { f.reset(); }

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
        if (canonical)
            QCOMPARE(state->encode(),
                     json.isEmpty() ? json::encodeCompact(QJsonDocument::fromJson(bytes).object()) : json);
        QCOMPARE(attempt([&] { return SyncStateFile::decode(bytes); }), state);
    }

    void durableWrites_data() {
        QTest::addColumn<std::function<QString()>>("write"); // writes a file durably; where it should be
        QTest::addColumn<QString>("staging");                // the staging file's name after the target's
        const QString saveStaging =
            uR"(\.tmp-[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12})"_s;
        const auto saving = [this](void (*save)(), const QString& name) {
            return std::function(
                [this, save, name] { return save(), f->sandbox.data + u"/鸢井同步助手/"_s + name; });
        };
        QTest::newRow("settings save")
            << saving([] { SyncStorage::saveSettings(fullSettings()); }, u"settings.json"_s) << saveStaging;
        QTest::newRow("state save") << saving([] { SyncStorage::saveState(stateOf(u"e1:p1"_s)); },
                                              u"sync-state.json"_s)
                                    << saveStaging;
        QTest::newRow("download") << std::function([this] {
            KitewellAPI api(f->baseUrl, std::nullopt);
            const QString destination = f->sandbox.originals + u"/p1__IMG_1.JPG"_s;
            const auto downloaded =
                outcomeOf(api.downloadOriginal(f->service->originalUrl(kEventId, u"p1"_s), destination));
            return downloaded.ok() ? destination : downloaded.errorText();
        }) << uR"(\.download)"_s;
    }
    void durableWrites() {
        // Data flushed under the staging name, renamed over the target, the folder flushed:
        // there is never a moment without a whole file under the target's name.
        QFETCH(std::function<QString()>, write);
        QFETCH(QString, staging);
        calls.clear();
        const QString target = write();
        const QString folder = QFileInfo(target).path(), escaped = QRegularExpression::escape(target);
        const QRegularExpression expected(u"^fdatasync %1\nrename %1 > %2\nfsync %3$"_s.arg(
            escaped + staging, escaped, QRegularExpression::escape(folder)));
        const QString seen = calls.filter(folder).join(u'\n');
        QVERIFY2(expected.match(seen).hasMatch(), qPrintable(seen));
        QCOMPARE(entries(folder), QStringList{QFileInfo(target).fileName()}); // nothing else left
    }

    void undecodableFilesAreKept() {
        // A file that does not decode is moved aside before a save replaces it: the settings'
        // as the controller saves them, the state's as a pass loads and saves it.
        QVERIFY(writeFile(SyncStorage::settingsPath(), "\xff\xfe") &&
                writeFile(SyncStorage::statePath(), "{not json"));
        // Read at start, when nothing may be written, it is left as it is.
        QVERIFY(!SyncStorage::loadSettings() && readFile(SyncStorage::settingsPath()) == "\xff\xfe");
        SyncStorage::saveSettings(SyncSettings());
        QVERIFY(f->syncOnce(false).ok());
        const QStringList all = entries(SyncStorage::supportDirectory());
        QCOMPARE(all.size(), 4); // and no temporary file left
        for (const QString& name : {u"settings.json"_s, u"sync-state.json"_s}) {
            const QStringList aside =
                all.filter(QRegularExpression(u'^' + name + uR"(\.corrupt-\d{8}-\d{6}-\d{3}$)"_s));
            QCOMPARE(aside.size(), 1);
            QCOMPARE(readFile(SyncStorage::supportDirectory() + u'/' + aside.first()),
                     name == u"settings.json" ? QByteArray("\xff\xfe") : QByteArray("{not json"));
        }
    }

    void presentOriginalsAreRecognised() {
        // The pass lists the album folder instead of looking up each photo's place: names that
        // differ from a photo's in case or by a trailing byte do not count. The one place of a
        // photo the service lists twice is its first listing's.
        for (const QString& name : {u"first.jpg"_s, u"second.jpg"_s})
            f->addPhoto(u"twin"_s, name);
        const QString album = f->sandbox.originals + u'/' + kAlbumFolder + u'/';
        QVERIFY(writeFile(album + u"p1__img_1.jpg"_s, "x") && writeFile(album + u"p3__photo.jpg "_s, "x"));
        QVERIFY(writeFile(album + u"twin__second.jpg"_s, "twin"));
        QCOMPARE(f->syncOnce(false).value->downloadedOriginals, 4);
        QCOMPARE(readFile(f->original(u"p1"_s)), f->service->photos(kEventId).at(0).jpeg);
        QVERIFY(QFile::exists(album + u"twin__first.jpg"_s));
        QCOMPARE(f->state().records.value(kEventId + u":twin"_s).originalRelativePath,
                 kAlbumFolder + u"/twin__first.jpg"_s);
    }

private:
    std::optional<Scenario> f;
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
    // every UTF-8 length, surrogate pairs, lone and reversed surrogates (in values: QJsonDocument
    // sorts keys beyond the basic plane unlike QJsonObject); keys of many lengths sharing long
    // prefixes, over many chunks of output.
    SyncStateFile awkward;
    QString controls;
    for (char16_t c = 0; c < 0x20; ++c)
        controls += QChar(c);
    const QString surrogates =
        QString::fromUtf16(u"\U0001F600\U0010FFFF") + QChar(0xD83D) + u'x' + QChar(0xDE00);
    for (int i = 0; i < 3'000; ++i) {
        for (const QString& text :
             {u"a\"b\\c/d//"_s, controls + QChar(0x7f), QString::fromUtf16(u"é中\u2028\uFFFF\u07FF\u8000")}) {
            const QString key = i % 2 ? text + QString::number(i) : QString::number(i, 36) + text;
            awkward.records.insert(
                key, {text, key, surrogates, text + surrogates, i % 3 ? std::nullopt : std::optional(text)});
        }
    }
    row("awkward keys and values, large", {}, awkward, true);
    // Keys are in UTF-16 order, as QJsonObject keeps them: a character beyond the basic plane
    // before U+FFFF.
    SyncStateFile planes = stateOf(QString::fromUtf16(u"\U0001F600"));
    planes.records.insert(QString::fromUtf16(u"\uFFFF"), recordOf());
    const QByteArray one = R"({"eventId":"e1","originalRelativePath":"Album--e1\/p1__a.jpg","photoId":"p1"})";
    row("keys in UTF-16 order",
        "{\"records\":{\"\xf0\x9f\x98\x80\":" + one + ",\"\xef\xbf\xbf\":" + one + "}}", planes, true);
    const QByteArray record =
        R"({"photoId":"p1","eventId":"e1","originalRelativePath":"Album--e1\/p1__a.jpg"})";
    row("\"records\" missing", "{}", {});
    // A key that comes twice counts with its last record, as in QJsonObject.
    row("repeated key, the last decodes", R"({"records":{"k":5,"k":)" + record + "}}", stateOf(u"k"_s));
    row("repeated key, the last does not decode", R"({"records":{"k":)" + record + R"(,"k":5}})", {});
}

QTEST_GUILESS_MAIN(StorageTest)
#include "tst_storage.moc"
