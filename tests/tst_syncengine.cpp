// Whole sync passes against the local album service and real folders: what lands on
// disk, what the state file holds, and what the service received.

#include "AlbumService.h"
#include "client/KitewellAPI.h"
#include "platform/FolderAccess.h"
#include "platform/FolderBookmark.h"
#include "storage/SyncStorage.h"
#include "support/Files.h"
#include "support/Outcome.h"
#include "sync/Naming.h"
#include "sync/SyncEngine.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace kitewell;
using namespace testsupport;
using namespace Qt::StringLiterals;
using albumservice::AlbumService;
using albumservice::Endpoint;
using albumservice::Fault;

namespace {

const QString kEmail = u"retoucher@kitewell.local"_s;
const QString kEvent = u"evt-2024-wedding"_s;
const QString kAlbum = u"Wedding 2024-05--evt-2024"_s; // safe title, "--", first 8 of the id

// Records the folder-access calls of a pass, in order.
class RecordingFolderAccess : public FolderAccess {
public:
    QStringList calls;
    QString originalsRoot;
    bool grant = true;
    bool startAccess(const QString& path) override {
        calls.append(u"start "_s + label(path));
        return grant;
    }
    void stopAccess(const QString& path) override { calls.append(u"stop "_s + label(path)); }

private:
    QString label(const QString& path) const { return path == originalsRoot ? u"原图"_s : u"精修"_s; }
};

// Retouched files younger than two seconds are left for the next pass: date them back.
void writeAged(const QString& path, const QByteArray& bytes, int ageSeconds = 60) {
    if (!testsupport::writeFile(path, bytes) || !setModifiedSecondsAgo(path, ageSeconds))
        qFatal("cannot write %s", qPrintable(path));
}

// Every file under root, relative, sorted.
} // namespace

class SyncEngineTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void firstPassDownloadsEveryOriginal();
    void deletedFileComesBackAndPresentFileIsAdopted();
    void renamedPhotoAndAlbumKeepTheirPaths();
    void failedDownloadSavesNoRecord();
    void emptyAlbumStillCreatesFoldersAndState();

    void effectOutcomes_data();
    void effectOutcomes();
    void effectFolderRules();
    void twoFilesOfOnePhoto();
    void publishSwitchedOnLater();
    void failedPublishIsNotUploadedAgain();
    void freshRetouchedFileWaits();
    void uploadWithoutPermission();

    void passRefusals_data();
    void passRefusals();
    void otherAlbumsSurvive();
    void corruptStateIsKeptAside();
    void unrenamableSaveLeavesNoTemporaryFile();
    void unsafeIdentifiersWriteNothing_data();
    void unsafeIdentifiersWriteNothing();

private:
    Outcome<SyncResult> pass(bool includeEffects, std::optional<SyncSettings> settings = std::nullopt);
    SyncStateFile state() const { return SyncStorage::loadState(); }
    QString original(const QString& file) const { return originals->filePath(kAlbum + u'/' + file); }
    QString retouched(const QString& file) const { return effects->filePath(kAlbum + u'/' + file); }
    int count(Endpoint endpoint) const { return int(service.requests(endpoint).size()); }

    AlbumService service;
    QString token;
    std::unique_ptr<QTemporaryDir> data, originals, effects;
    SyncSettings settings;
    std::shared_ptr<RecordingFolderAccess> folders;
};

void SyncEngineTest::initTestCase() {
    QVERIFY(service.listen());
    service.addAccount({u"a1"_s, kEmail, u"修图师"_s, u"pw"_s});
    token = service.issueToken(kEmail);
}

void SyncEngineTest::init() {
    data = std::make_unique<QTemporaryDir>();
    originals = std::make_unique<QTemporaryDir>();
    effects = std::make_unique<QTemporaryDir>();
    qputenv("XDG_DATA_HOME", data->path().toUtf8());
    QVERIFY(SyncStorage::statePath().startsWith(data->path()));

    service.removeEvent(kEvent);
    service.addEvent({kEvent, u"Wedding 2024/05"_s, u"retoucher"_s});
    service.addPhoto(kEvent, {u"p1"_s, u"IMG_1.JPG"_s}, 3000);
    service.addPhoto(kEvent, {u"p2"_s, u"新娘:入场"_s}, 3000);
    service.addPhoto(kEvent, {u"p3"_s, std::nullopt}, 3000);
    albumservice::Photo noOriginal{u"p4"_s, u"video.mov"_s};
    noOriginal.hasOriginal = false;
    service.addPhoto(kEvent, noOriginal);
    service.clearFaults();
    service.clearRequests();

    settings = SyncSettings{};
    settings.eventId = kEvent;
    settings.originalDirectoryBookmark = FolderBookmark::create(originals->path());
    settings.effectDirectoryBookmark = FolderBookmark::create(effects->path());
    folders = std::make_shared<RecordingFolderAccess>();
    folders->originalsRoot = originals->path();
}

void SyncEngineTest::cleanup() {
    qunsetenv("XDG_DATA_HOME");
}

Outcome<SyncResult> SyncEngineTest::pass(bool includeEffects, std::optional<SyncSettings> custom) {
    KitewellAPI api(service.baseUrl().toString(), token);
    SyncEngine engine(api, folders);
    return outcomeOf(engine.synchronize(custom.value_or(settings), includeEffects));
}

void SyncEngineTest::firstPassDownloadsEveryOriginal() {
    const auto first = pass(false);
    QVERIFY2(first.ok(), qPrintable(first.errorText()));
    QCOMPARE(*first.value, (SyncResult{3, 0, 0, 0}));
    QCOMPARE(tree(originals->path()),
             (QStringList{kAlbum + u"/p1__IMG_1.JPG"_s, kAlbum + u"/p2__新娘-入场.jpg"_s,
                          kAlbum + u"/p3__photo.jpg"_s}));
    QCOMPARE(readFile(original(u"p1__IMG_1.JPG"_s)), service.photos(kEvent).at(0).jpeg);
    QCOMPARE(tree(effects->path()), QStringList()); // without effects the retouch folder is not touched

    const SyncStateFile saved = state();
    QCOMPARE(saved.records.size(), 3);
    const SyncRecord p2 = saved.records.value(kEvent + u":p2"_s);
    QCOMPARE(p2.photoId, u"p2"_s);
    QCOMPARE(p2.eventId, kEvent);
    QCOMPARE(p2.originalRelativePath, kAlbum + u"/p2__新娘-入场.jpg"_s);
    QVERIFY(!p2.lastUploadedEffectFingerprint && !p2.lastPublishedEffectFingerprint);
    QVERIFY(!saved.records.contains(kEvent + u":p4"_s));

    const auto second = pass(false);
    QCOMPARE(*second.value, (SyncResult{0, 0, 0, 0}));
    QCOMPARE(count(Endpoint::Original), 3);
    QCOMPARE(count(Endpoint::Workspace), 2);
    QCOMPARE(folders->calls, (QStringList{u"start 原图"_s, u"stop 原图"_s, u"start 原图"_s, u"stop 原图"_s}));
}

void SyncEngineTest::deletedFileComesBackAndPresentFileIsAdopted() {
    // A file already at a new photo's place is adopted and never replaced.
    writeAged(original(u"p1__IMG_1.JPG"_s), "the user's own file");
    QCOMPARE(*pass(false).value, (SyncResult{2, 0, 0, 0}));
    QCOMPARE(readFile(original(u"p1__IMG_1.JPG"_s)), QByteArray("the user's own file"));
    QVERIFY(state().records.contains(kEvent + u":p1"_s));

    QVERIFY(QFile::remove(original(u"p2__新娘-入场.jpg"_s)));
    QCOMPARE(*pass(false).value, (SyncResult{1, 0, 0, 0}));
    QCOMPARE(readFile(original(u"p2__新娘-入场.jpg"_s)), service.photos(kEvent).at(1).jpeg);
    QCOMPARE(count(Endpoint::Original), 3);
}

void SyncEngineTest::renamedPhotoAndAlbumKeepTheirPaths() {
    QVERIFY(pass(false).ok());
    service.updateEvent({kEvent, u"Renamed"_s, std::nullopt});
    auto photos = service.photos(kEvent);
    photos[0].name = u"NEW_NAME.JPG"_s;
    service.updatePhoto(kEvent, photos[0]);
    service.addPhoto(kEvent, {u"p5"_s, u"late.jpg"_s}, 2000);

    QVERIFY(QFile::remove(original(u"p1__IMG_1.JPG"_s)));
    QCOMPARE(*pass(false).value, (SyncResult{2, 0, 0, 0}));
    // The old photo comes back to its recorded place; the new one goes to the new folder.
    QVERIFY(QFile::exists(original(u"p1__IMG_1.JPG"_s)));
    QVERIFY(QFile::exists(originals->filePath(u"Renamed--evt-2024/p5__late.jpg"_s)));
    QCOMPARE(tree(originals->path()).size(), 4);
    QCOMPARE(state().records.value(kEvent + u":p1"_s).originalRelativePath, kAlbum + u"/p1__IMG_1.JPG"_s);
}

void SyncEngineTest::failedDownloadSavesNoRecord() {
    service.addPhoto(kEvent, {u"p5"_s, u"e.jpg"_s}, 2000);
    service.addPhoto(kEvent, {u"p6"_s, u"f.jpg"_s}, 2000);
    Fault third;
    third.status = 500;
    third.skip = 2;
    third.count = 1;
    service.setFault(Endpoint::Original, third);

    QCOMPARE(pass(false).errorText(), u"服务器返回 500。"_s);
    QCOMPARE(tree(originals->path()),
             (QStringList{kAlbum + u"/p1__IMG_1.JPG"_s, kAlbum + u"/p2__新娘-入场.jpg"_s}));
    QVERIFY(!QFile::exists(SyncStorage::statePath()));
    QCOMPARE(folders->calls, (QStringList{u"start 原图"_s, u"stop 原图"_s}));

    QCOMPARE(*pass(false).value, (SyncResult{3, 0, 0, 0}));
    QCOMPARE(count(Endpoint::Original), 3 + 3);
    QCOMPARE(state().records.size(), 5);
}

void SyncEngineTest::emptyAlbumStillCreatesFoldersAndState() {
    service.addEvent({u"e2"_s, QString(), std::nullopt});
    SyncSettings other = settings;
    other.eventId = u"e2"_s;
    QCOMPARE(*pass(true, other).value, (SyncResult{0, 0, 0, 0}));
    QCOMPARE(QDir(originals->filePath(u"直播相册--e2"_s)).exists(), true);
    QCOMPARE(QDir(effects->filePath(u"直播相册--e2"_s)).exists(), true);
    QCOMPARE(readFile(SyncStorage::statePath()), QByteArray(R"({"records":{}})"));
    service.removeEvent(u"e2"_s);
}

void SyncEngineTest::effectOutcomes_data() {
    QTest::addColumn<QString>("uploaded"); // stored fingerprint: "", "F" (the file's) or "X" (another)
    QTest::addColumn<QString>("published");
    QTest::addColumn<bool>("autoPublish");
    QTest::addColumn<int>("uploads");
    QTest::addColumn<int>("publishes");

    QTest::newRow("new, no publish") << ""
                                     << "F" << false << 1 << 0;
    QTest::newRow("changed, no publish") << "X"
                                         << "" << false << 1 << 0;
    QTest::newRow("new, publish") << ""
                                  << "" << true << 1 << 1;
    QTest::newRow("changed, published other") << "X"
                                              << "X" << true << 1 << 1;
    QTest::newRow("changed, already published") << "X"
                                                << "F" << true << 1 << 0;
    QTest::newRow("unchanged, no publish") << "F"
                                           << "" << false << 0 << 0;
    QTest::newRow("unchanged, publish pending") << "F"
                                                << "X" << true << 0 << 1;
    QTest::newRow("unchanged, published") << "F"
                                          << "F" << true << 0 << 0;
}

void SyncEngineTest::effectOutcomes() {
    QFETCH(QString, uploaded);
    QFETCH(QString, published);
    QFETCH(bool, autoPublish);
    QFETCH(int, uploads);
    QFETCH(int, publishes);

    QVERIFY(pass(false).ok());
    const QString file = retouched(u"p1__IMG_1-edit.jpg"_s);
    writeAged(file, "retouched bytes");
    const QString f = naming::fileFingerprint(file);
    auto stored = [&](const QString& code) -> std::optional<QString> {
        if (code.isEmpty())
            return std::nullopt;
        return code == u"F"_s ? f : u"1-1"_s;
    };
    SyncStateFile before = state();
    SyncRecord& record = before.records[kEvent + u":p1"_s];
    record.lastUploadedEffectFingerprint = stored(uploaded);
    record.lastPublishedEffectFingerprint = stored(published);
    SyncStorage::saveState(before);
    service.clearRequests();

    settings.autoPublishEffects = autoPublish;
    const auto outcome = pass(true);
    QVERIFY2(outcome.ok(), qPrintable(outcome.errorText()));
    QCOMPARE(*outcome.value, (SyncResult{0, uploads, publishes, 0}));
    QCOMPARE(count(Endpoint::UploadVersion), uploads);
    QCOMPARE(count(Endpoint::Publish), publishes);

    const SyncRecord after = state().records.value(kEvent + u":p1"_s);
    QCOMPARE(after.lastUploadedEffectFingerprint, uploads ? std::optional(f) : stored(uploaded));
    QCOMPARE(after.lastPublishedEffectFingerprint, publishes ? std::optional(f) : stored(published));
    if (uploads)
        QCOMPARE(service.versions().last().bytes, QByteArray("retouched bytes"));

    // The same pass again has nothing left to do.
    QCOMPARE(*pass(true).value, (SyncResult{0, 0, 0, 0}));
}

void SyncEngineTest::effectFolderRules() {
    QVERIFY(pass(false).ok());
    writeAged(retouched(u"p1__a.JPEG"_s), "upper-case extension");
    writeAged(retouched(u"P2__case.jpg"_s), "ids are case-sensitive");
    writeAged(retouched(u"nobody__x.jpg"_s), "no such photo");
    writeAged(retouched(u"p4__video.jpg"_s), "a photo without an original never matches");
    writeAged(retouched(u"p3__x.png"_s), "other extension");
    writeAged(retouched(u"p3__x.jpg.bak"_s), "other extension");
    writeAged(retouched(u".p3__hidden.jpg"_s), "hidden");
    writeAged(retouched(u"sub/p3__nested.jpg"_s), "in a subfolder");
    writeAged(retouched(u"IMG_1.JPG"_s), "plain name of p1");
    QDir().mkpath(retouched(u"p2__folder.jpg"_s));

    QCOMPARE(*pass(true).value, (SyncResult{0, 2, 0, 3}));
    QCOMPARE(*pass(true).value, (SyncResult{0, 2, 0, 3})); // two files of p1 keep replacing each other
    QCOMPARE(*pass(true).value, (SyncResult{0, 2, 0, 3}));
    QCOMPARE(count(Endpoint::UploadVersion), 6);
}

void SyncEngineTest::twoFilesOfOnePhoto() {
    QVERIFY(pass(false).ok());
    writeAged(retouched(u"p2__one.jpg"_s), "one");
    QCOMPARE(*pass(true).value, (SyncResult{0, 1, 0, 0}));
    QCOMPARE(*pass(true).value, (SyncResult{0, 0, 0, 0}));
    // Touching the file (a new modification time) sends it again.
    writeAged(retouched(u"p2__one.jpg"_s), "one", 30);
    QCOMPARE(*pass(true).value, (SyncResult{0, 1, 0, 0}));
}

void SyncEngineTest::publishSwitchedOnLater() {
    QVERIFY(pass(false).ok());
    writeAged(retouched(u"p1__x.jpg"_s), "x");
    writeAged(retouched(u"p2__y.jpg"_s), "y");
    QCOMPARE(*pass(true).value, (SyncResult{0, 2, 0, 0}));
    settings.autoPublishEffects = true;
    QCOMPARE(*pass(true).value, (SyncResult{0, 0, 2, 0}));
    QCOMPARE(*pass(true).value, (SyncResult{0, 0, 0, 0}));
    QCOMPARE(count(Endpoint::UploadVersion), 2);
    QCOMPARE(count(Endpoint::Publish), 2);
}

void SyncEngineTest::failedPublishIsNotUploadedAgain() {
    QVERIFY(pass(false).ok());
    writeAged(retouched(u"p1__x.jpg"_s), "x");
    settings.autoPublishEffects = true;
    Fault fail;
    fail.status = 503;
    fail.body = R"({"message":"发布服务繁忙"})";
    service.setFault(Endpoint::Publish, fail);
    QCOMPARE(pass(true).errorText(), u"发布服务繁忙"_s);
    const SyncRecord saved = state().records.value(kEvent + u":p1"_s);
    QVERIFY(saved.lastUploadedEffectFingerprint.has_value());
    QVERIFY(!saved.lastPublishedEffectFingerprint.has_value());

    service.clearFaults();
    QCOMPARE(*pass(true).value, (SyncResult{0, 0, 1, 0}));
    QCOMPARE(count(Endpoint::UploadVersion), 1);
}

void SyncEngineTest::freshRetouchedFileWaits() {
    QVERIFY(pass(false).ok());
    writeAged(retouched(u"p1__x.jpg"_s), "still being written", 0);
    writeAged(retouched(u"nobody__y.jpg"_s), "fresh and unmatched", 0);
    writeAged(retouched(u"p2__future.jpg"_s), "dated ahead of the clock", -3600);
    QCOMPARE(*pass(true).value, (SyncResult{0, 1, 0, 0}));
    QCOMPARE(service.versions().last().photoId, u"p2"_s);
    writeAged(retouched(u"p1__x.jpg"_s), "finished", 10);
    writeAged(retouched(u"nobody__y.jpg"_s), "fresh and unmatched", 10);
    QCOMPARE(*pass(true).value, (SyncResult{0, 1, 0, 1}));
    QCOMPARE(service.versions().last().bytes, QByteArray("finished"));
}

void SyncEngineTest::uploadWithoutPermission() {
    albumservice::Event readOnly{kEvent, u"Wedding 2024/05"_s, u"viewer"_s};
    readOnly.canUpload = false;
    service.updateEvent(readOnly);
    writeAged(retouched(u"p1__x.jpg"_s), "x");
    const auto outcome = pass(true);
    QCOMPARE(outcome.errorText(),
             u"当前账号没有回传精修图的权限。请使用项目负责人、修图师或摄影师账号登录。"_s);
    // The originals were downloaded and saved first.
    QCOMPARE(tree(originals->path()).size(), 3);
    QCOMPARE(state().records.size(), 3);
    QCOMPARE(count(Endpoint::UploadVersion), 0);
    QCOMPARE(folders->calls, (QStringList{u"start 原图"_s, u"start 精修"_s, u"stop 精修"_s, u"stop 原图"_s}));
}

void SyncEngineTest::passRefusals_data() {
    QTest::addColumn<QString>("breakage");
    QTest::addColumn<bool>("includeEffects");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<QStringList>("calls");
    const QStringList none;
    const QStringList originalsOnly{u"start 原图"_s, u"stop 原图"_s};
    const QStringList both{u"start 原图"_s, u"start 精修"_s, u"stop 精修"_s, u"stop 原图"_s};

    QTest::newRow("no album") << "noAlbum" << true << u"请选择要同步的相册项目。"_s << none;
    QTest::newRow("empty album id") << "emptyAlbum" << true << u"请选择要同步的相册项目。"_s << none;
    QTest::newRow("no originals folder") << "noOriginals" << true << u"请选择原图同步文件夹。"_s << none;
    QTest::newRow("stale originals") << "staleOriginals" << true
                                     << u"没有访问“原图”文件夹的权限，请重新选择它。"_s << none;
    QTest::newRow("no retouch folder") << "noEffects" << true << u"请选择精修回传文件夹。"_s << originalsOnly;
    QTest::newRow("no retouch folder needed") << "noEffects" << false << QString() << originalsOnly;
    QTest::newRow("stale retouch") << "staleEffects" << true
                                   << u"没有访问“精修回传”文件夹的权限，请重新选择它。"_s << originalsOnly;
    QTest::newRow("service failure") << "service" << true << u"服务器返回 502。"_s << both;
    QTest::newRow("access not granted") << "notGranted" << true << QString() << none;
    QTest::newRow("success") << "" << true << QString() << both;
}

void SyncEngineTest::passRefusals() {
    QFETCH(QString, breakage);
    QFETCH(bool, includeEffects);
    QFETCH(QString, expected);
    QFETCH(QStringList, calls);

    // Same path, another folder. The old one is kept alive elsewhere so its identity
    // cannot be handed straight to the new one.
    QTemporaryDir graveyard;
    auto recreated = [&graveyard](QTemporaryDir& dir) {
        QVERIFY(QDir().rename(dir.path(), graveyard.filePath(u"old"_s)));
        QVERIFY(QDir().mkpath(dir.path()));
    };
    if (breakage == u"noAlbum"_s)
        settings.eventId.reset();
    if (breakage == u"emptyAlbum"_s)
        settings.eventId = QString();
    if (breakage == u"noOriginals"_s)
        settings.originalDirectoryBookmark.reset();
    if (breakage == u"staleOriginals"_s)
        recreated(*originals);
    if (breakage == u"noEffects"_s)
        settings.effectDirectoryBookmark.reset();
    if (breakage == u"staleEffects"_s)
        recreated(*effects);
    if (breakage == u"notGranted"_s)
        folders->grant = false;
    if (breakage == u"service"_s) {
        Fault down;
        down.status = 502;
        service.setFault(Endpoint::Workspace, down);
    }

    const auto outcome = pass(includeEffects);
    QCOMPARE(outcome.errorText(), expected);
    const QStringList started = folders->calls.filter(u"start"_s);
    QCOMPARE(folders->calls.filter(u"stop"_s),
             breakage == u"notGranted"_s ? QStringList() : calls.filter(u"stop"_s));
    if (breakage != u"notGranted"_s)
        QCOMPARE(folders->calls, calls);
    else
        QCOMPARE(started.size(), 2); // a refused start is not an error, and is never stopped
    if (!expected.isEmpty() && breakage != u"service"_s)
        QCOMPARE(count(Endpoint::Workspace), 0);
    if (!expected.isEmpty())
        QVERIFY(!QFile::exists(SyncStorage::statePath()));
}

void SyncEngineTest::otherAlbumsSurvive() {
    SyncStateFile before;
    const SyncRecord foreign{u"q1"_s, u"other"_s, u"Other--other/q1__a.jpg"_s, u"10-20"_s, std::nullopt};
    before.records.insert(u"other:q1"_s, foreign);
    SyncStorage::saveState(before);

    writeAged(retouched(u"p1__x.jpg"_s), "x");
    QVERIFY(pass(true).ok());
    QVERIFY(pass(true).ok());
    const SyncStateFile after = state();
    QCOMPARE(after.records.value(u"other:q1"_s), foreign);
    QCOMPARE(after.records.size(), 4);
}

void SyncEngineTest::corruptStateIsKeptAside() {
    QDir().mkpath(SyncStorage::supportDirectory());
    const QByteArray corrupt = R"({"records":{"other:q1":{"photoId":"q1","eventId":"other"}}})";
    writeAged(SyncStorage::statePath(), corrupt);
    writeAged(retouched(u"p1__x.jpg"_s), "x");

    QCOMPARE(*pass(true).value, (SyncResult{3, 1, 0, 0}));
    QCOMPARE(state().records.size(), 3);
    const QStringList aside =
        QDir(SyncStorage::supportDirectory()).entryList({u"sync-state.json.corrupt-*"_s}, QDir::Files);
    QCOMPARE(aside.size(), 1);
    QCOMPARE(readFile(SyncStorage::supportDirectory() + u'/' + aside.first()), corrupt);
}

void SyncEngineTest::unrenamableSaveLeavesNoTemporaryFile() {
    // A folder in the state file's place: the final rename cannot replace it.
    QVERIFY(QDir().mkpath(SyncStorage::statePath() + u"/blocker"_s));
    const auto outcome = pass(false);
    QCOMPARE(outcome.failure->kind, Failure::Kind::FileSystem);
    QCOMPARE(QDir(SyncStorage::supportDirectory())
                 .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
             QStringList{u"sync-state.json"_s});
    QCOMPARE(folders->calls, (QStringList{u"start 原图"_s, u"stop 原图"_s}));
}

void SyncEngineTest::unsafeIdentifiersWriteNothing_data() {
    QTest::addColumn<QString>("eventId");
    QTest::addColumn<QString>("photoId");
    QTest::addColumn<QString>("storedPath");
    QTest::newRow("photo id with slash") << kEvent << u"../../escape"_s << QString();
    QTest::newRow("photo id dot-dot") << kEvent << u".."_s << QString();
    QTest::newRow("photo id with NUL") << kEvent << u"a\0b"_s << QString();
    QTest::newRow("album id with slash") << u"../../x"_s << u"ok"_s << QString();
    QTest::newRow("stored absolute path") << kEvent << u"ok"_s << u"/tmp/kitewell-escape.jpg"_s;
    QTest::newRow("stored dot-dot path") << kEvent << u"ok"_s << u"Wedding--x/../../../escape.jpg"_s;
}

void SyncEngineTest::unsafeIdentifiersWriteNothing() {
    QFETCH(QString, eventId);
    QFETCH(QString, photoId);
    QFETCH(QString, storedPath);
    service.addEvent({eventId, u"Hostile"_s, std::nullopt});
    service.addPhoto(eventId, {photoId, u"x.jpg"_s}, 1000);
    if (eventId.contains(u'/')) {
        // Such an album cannot be asked for by its id; the service names it in its answer.
        Fault hostile;
        hostile.status = 200;
        hostile.body =
            R"({"event":{"id":")" + eventId.toUtf8() +
            R"(","title":"Hostile"},"photos":[],"permissions":{"canManageAllPhotos":true,"canUpload":true}})";
        service.setFault(Endpoint::Workspace, hostile);
    }
    if (!storedPath.isEmpty()) {
        SyncStateFile hostile;
        hostile.records.insert(eventId + u':' + photoId,
                               {photoId, eventId, storedPath, std::nullopt, std::nullopt});
        SyncStorage::saveState(hostile);
    }
    settings.eventId = eventId.contains(u'/') ? kEvent : eventId;
    const QByteArray stateBefore = readFile(SyncStorage::statePath());

    QCOMPARE(pass(true).errorText(), u"服务器返回的数据无法识别。"_s);
    QCOMPARE(count(Endpoint::Original), 0);
    QCOMPARE(readFile(SyncStorage::statePath()), stateBefore);
    QVERIFY(!QFile::exists(u"/tmp/kitewell-escape.jpg"_s));
    QVERIFY(!QFile::exists(QDir(originals->path()).absoluteFilePath(u"../escape.jpg"_s)));
    if (storedPath.isEmpty())
        QCOMPARE(tree(originals->path()), QStringList());
    service.removeEvent(eventId);
}

QTEST_GUILESS_MAIN(SyncEngineTest)
#include "tst_syncengine.moc"
