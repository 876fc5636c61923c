// Whole sync passes against the local album service and real folders: what lands on
// disk, what the state file holds, and what the service received.

#include "storage/SyncStorage.h"
#include "support/Files.h"
#include "support/Fixture.h"
#include "sync/Naming.h"

#include <QDir>
#include <QFile>
#include <QTest>

#include <tuple>

using namespace kitewell;
using namespace testsupport;

namespace {

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

} // namespace

class SyncEngineTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();

    void firstPassDownloadsEveryOriginal();
    void renamedPhotoAndAlbumKeepTheirPaths();
    void emptyAlbumStillCreatesFoldersAndState();
    void effectOutcomes_data();
    void effectOutcomes();
    void effectFolderRules();
    void fileRewrittenDuringUploads_data();
    void fileRewrittenDuringUploads();
    void uploadWithoutPermission();
    void passRefusals_data();
    void passRefusals();
    void unsafeStoredPathsWriteNothing_data();
    void unsafeStoredPathsWriteNothing();

private:
    Outcome<SyncResult> pass(bool includeEffects) {
        return runPass(service->baseUrl().toString(), token, settings, includeEffects, folders);
    }
    SyncStateFile state() const { return SyncStorage::loadState(); }
    QString original(const QString& file) const { return sandbox->originals + u'/' + kAlbum + u'/' + file; }
    QString retouched(const QString& file) const { return sandbox->effects + u'/' + kAlbum + u'/' + file; }
    int count(Endpoint endpoint) const { return int(service->requests(endpoint).size()); }

    std::unique_ptr<AlbumService> service;
    std::unique_ptr<Sandbox> sandbox;
    QString token;
    SyncSettings settings;
    std::shared_ptr<RecordingFolderAccess> folders;
};

void SyncEngineTest::init() {
    service = startService();
    token = service->issueToken(kEmail);
    service->addEvent({kEvent, u"Wedding 2024/05"_s, u"retoucher"_s});
    service->addPhoto(kEvent, photo(u"p1"_s, u"IMG_1.JPG"_s), 3000);
    service->addPhoto(kEvent, photo(u"p2"_s, u"新娘:入场"_s), 3000);
    service->addPhoto(kEvent, photo(u"p3"_s, std::nullopt), 3000);
    albumservice::Photo noOriginal = photo(u"p4"_s, u"video.mov"_s);
    noOriginal.hasOriginal = false;
    service->addPhoto(kEvent, noOriginal);
    sandbox = std::make_unique<Sandbox>();
    settings = sandbox->settings(kEvent);
    folders = std::make_shared<RecordingFolderAccess>();
    folders->originalsRoot = sandbox->originals;
}

void SyncEngineTest::cleanup() {
    sandbox.reset();
    service.reset();
}

void SyncEngineTest::firstPassDownloadsEveryOriginal() {
    const auto first = pass(false);
    QVERIFY2(first.ok(), qPrintable(first.errorText()));
    QCOMPARE(*first.value, (SyncResult{3, 0, 0, 0}));
    QCOMPARE(tree(sandbox->originals),
             (QStringList{kAlbum + u"/p1__IMG_1.JPG"_s, kAlbum + u"/p2__新娘-入场.jpg"_s,
                          kAlbum + u"/p3__photo.jpg"_s}));
    QCOMPARE(readFile(original(u"p1__IMG_1.JPG"_s)), service->photos(kEvent).at(0).jpeg);
    QCOMPARE(tree(sandbox->effects), QStringList()); // without effects the retouch folder is not touched
    const SyncStateFile saved = state();
    QCOMPARE(saved.records.size(), 3);
    QCOMPARE(saved.records.value(kEvent + u":p2"_s),
             (SyncRecord{u"p2"_s, kEvent, kAlbum + u"/p2__新娘-入场.jpg"_s, std::nullopt, std::nullopt}));

    QCOMPARE(*pass(false).value, (SyncResult{0, 0, 0, 0}));
    QCOMPARE(count(Endpoint::Original), 3);
    QCOMPARE(folders->calls, (QStringList{u"start 原图"_s, u"stop 原图"_s, u"start 原图"_s, u"stop 原图"_s}));
}

void SyncEngineTest::renamedPhotoAndAlbumKeepTheirPaths() {
    QVERIFY(pass(false).ok());
    service->updateEvent({kEvent, u"Renamed"_s, std::nullopt});
    albumservice::Photo renamed = service->photos(kEvent).at(0);
    renamed.name = u"NEW_NAME.JPG"_s;
    service->updatePhoto(kEvent, renamed);
    service->addPhoto(kEvent, photo(u"p5"_s, u"late.jpg"_s), 2000);

    // Recorded photos come back to their places, their folder made again; a new one goes
    // to the new folder.
    QVERIFY(QDir(sandbox->originals + u'/' + kAlbum).removeRecursively());
    QCOMPARE(*pass(false).value, (SyncResult{4, 0, 0, 0}));
    QVERIFY(QFile::exists(original(u"p1__IMG_1.JPG"_s)));
    QVERIFY(QFile::exists(sandbox->originals + u"/Renamed--evt-2024/p5__late.jpg"_s));
    QCOMPARE(tree(sandbox->originals).size(), 4);
}

void SyncEngineTest::emptyAlbumStillCreatesFoldersAndState() {
    service->addEvent({u"e2"_s, QString(), std::nullopt});
    settings.eventId = u"e2"_s;
    QCOMPARE(*pass(true).value, (SyncResult{0, 0, 0, 0}));
    QVERIFY(QDir(sandbox->originals + u"/直播相册--e2"_s).exists());
    QVERIFY(QDir(sandbox->effects + u"/直播相册--e2"_s).exists());
    QCOMPARE(readFile(SyncStorage::statePath()), QByteArray(R"({"records":{}})"));
}

void SyncEngineTest::effectOutcomes_data() {
    QTest::addColumn<QString>("uploaded"); // stored fingerprint: "", "F" (the file's) or "X" (another)
    QTest::addColumn<QString>("published");
    QTest::addColumn<bool>("autoPublish");
    QTest::addColumn<int>("uploads");
    QTest::addColumn<int>("publishes");
    QTest::newRow("new, no publish") << u""_s << u"F"_s << false << 1 << 0;
    QTest::newRow("changed, no publish") << u"X"_s << u""_s << false << 1 << 0;
    QTest::newRow("new, publish") << u""_s << u""_s << true << 1 << 1;
    QTest::newRow("changed, published other") << u"X"_s << u"X"_s << true << 1 << 1;
    QTest::newRow("changed, already published") << u"X"_s << u"F"_s << true << 1 << 0;
    QTest::newRow("unchanged, no publish") << u"F"_s << u""_s << false << 0 << 0;
    QTest::newRow("unchanged, publish pending") << u"F"_s << u"X"_s << true << 0 << 1;
    QTest::newRow("unchanged, published") << u"F"_s << u"F"_s << true << 0 << 0;
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
        return code.isEmpty() ? std::nullopt : std::optional(code == u"F"_s ? f : u"1-1"_s);
    };
    SyncStateFile before = state();
    SyncRecord& record = before.records[kEvent + u":p1"_s];
    record.lastUploadedEffectFingerprint = stored(uploaded);
    record.lastPublishedEffectFingerprint = stored(published);
    SyncStorage::saveState(before);
    service->clearRequests();

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
        QCOMPARE(service->versions().last().bytes, QByteArray("retouched bytes"));
    // The same pass again has nothing left to do.
    QCOMPARE(*pass(true).value, (SyncResult{0, 0, 0, 0}));
}

void SyncEngineTest::effectFolderRules() {
    QVERIFY(pass(false).ok());
    writeAged(retouched(u"p1__a.JPEG"_s), "upper-case extension, dated ahead of the clock", -3600);
    writeAged(retouched(u"P2__case.jpg"_s), "ids are case-sensitive");
    writeAged(retouched(u"nobody__x.jpg"_s), "no such photo; fresh, but only counted", 0);
    writeAged(retouched(u"p4__video.jpg"_s), "a photo without an original never matches");
    writeAged(retouched(u"p3__x.png"_s), "other extension");
    writeAged(retouched(u".p3__hidden.jpg"_s), "hidden");
    writeAged(retouched(u"sub/p3__nested.jpg"_s), "in a subfolder");
    writeAged(retouched(u"IMG_1.JPG"_s), "plain name of p1");
    QDir().mkpath(retouched(u"p2__folder.jpg"_s));
    // Entries that cannot be examined are never looked at when they match no photo...
    auto link = [this](const QString& name, const QString& target) {
        QVERIFY(QFile::link(retouched(target), retouched(name)));
    };
    link(u"loop.jpg"_s, u"loop.jpg"_s);
    link(u"nobody__gone.jpg"_s, u"gone"_s);

    QCOMPARE(*pass(true).value, (SyncResult{0, 2, 0, 5}));
    QCOMPARE(*pass(true).value, (SyncResult{0, 2, 0, 5})); // two files of p1 keep replacing each other
    QCOMPARE(count(Endpoint::UploadVersion), 4);

    // ...while one that matches a photo fails the pass with the system's error.
    for (const auto& [name, target, error] :
         {std::tuple{u"p3__loop.jpg"_s, u"p3__loop.jpg"_s, u"Too many levels of symbolic links"_s},
          std::tuple{u"p3__gone.jpg"_s, u"gone"_s, u"No such file or directory"_s}}) {
        link(name, target);
        QCOMPARE(pass(true).errorText(), error);
        QVERIFY(QFile::remove(retouched(name)));
    }
}

void SyncEngineTest::fileRewrittenDuringUploads_data() {
    QTest::addColumn<bool>("ownUpload"); // rewritten while its own body is sent, or the other file's
    QTest::addColumn<int>("ageSeconds"); // how far back the rewrite is dated
    QTest::addColumn<bool>("returned");  // uploaded and recorded in that pass
    QTest::newRow("during another upload, still being written") << false << 0 << false;
    QTest::newRow("during another upload, finished") << false << 30 << true;
    QTest::newRow("during its own upload") << true << 30 << false;
}

void SyncEngineTest::fileRewrittenDuringUploads() {
    QFETCH(bool, ownUpload);
    QFETCH(int, ageSeconds);
    QFETCH(bool, returned);
    QVERIFY(pass(false).ok());
    // Large enough that the client is still reading the file while its body is held.
    const QByteArray before(4 << 20, 'a');
    const QByteArray after(4 << 20, 'b');
    writeAged(retouched(u"p1__a.jpg"_s), before);
    writeAged(retouched(u"p2__b.jpg"_s), before);
    // The first upload is held once its head is in; the file is rewritten meanwhile.
    Fault hold;
    hold.holdBody = true;
    hold.count = 1;
    service->setFault(Endpoint::UploadVersion, hold);
    QString rewritten;
    QObject listener;
    connect(service.get(), &AlbumService::bodyHeld, &listener,
            [&](const albumservice::RecordedRequest& upload) {
                const bool p1 = upload.target.contains("/photos/p1/");
                rewritten = retouched(p1 == ownUpload ? u"p1__a.jpg"_s : u"p2__b.jpg"_s);
                // In place and never shorter: a client reading the file meanwhile never meets its end.
                QFile file(rewritten);
                QVERIFY(file.open(QIODevice::ReadWrite) && file.write(after) == after.size());
                file.close();
                QVERIFY(setModifiedSecondsAgo(rewritten, ageSeconds));
                service->releaseHeldBodies();
            });
    settings.autoPublishEffects = true;
    const int uploads = returned ? 2 : 1;
    QCOMPARE(*pass(true).value, (SyncResult{0, uploads, uploads, 0}));
    const QString photoId = QFileInfo(rewritten).fileName().left(2);
    const SyncRecord record = state().records.value(kEvent + u':' + photoId);
    const std::optional<QString> recorded =
        returned ? std::optional(naming::fileFingerprint(rewritten)) : std::nullopt;
    QCOMPARE(record.lastUploadedEffectFingerprint, recorded);
    QCOMPARE(record.lastPublishedEffectFingerprint, recorded);
    QCOMPARE(service->publications().contains({kEvent, photoId}), returned);

    // Once the editor is done, the next pass returns the file whole.
    QVERIFY(setModifiedSecondsAgo(rewritten, 10));
    QCOMPARE(*pass(true).value, (SyncResult{0, 1, 1, 0}));
    QCOMPARE(service->versions().last().photoId, photoId);
    QVERIFY(service->versions().last().bytes == after);
}

void SyncEngineTest::uploadWithoutPermission() {
    albumservice::Event readOnly{kEvent, u"Wedding 2024/05"_s, u"viewer"_s};
    readOnly.canUpload = false;
    service->updateEvent(readOnly);
    writeAged(retouched(u"p1__x.jpg"_s), "x");
    QCOMPARE(pass(true).errorText(),
             u"当前账号没有回传精修图的权限。请使用项目负责人、修图师或摄影师账号登录。"_s);
    // The originals were downloaded and saved first.
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
    QTest::newRow("no album") << u"noAlbum"_s << true << u"请选择要同步的相册项目。"_s << none;
    QTest::newRow("empty album id") << u"emptyAlbum"_s << true << u"请选择要同步的相册项目。"_s << none;
    QTest::newRow("no originals folder") << u"noOriginals"_s << true << u"请选择原图同步文件夹。"_s << none;
    QTest::newRow("stale originals") << u"staleOriginals"_s << true
                                     << u"没有访问“原图”文件夹的权限，请重新选择它。"_s << none;
    QTest::newRow("no retouch folder")
        << u"noEffects"_s << true << u"请选择精修回传文件夹。"_s << originalsOnly;
    QTest::newRow("no retouch folder needed") << u"noEffects"_s << false << QString() << originalsOnly;
    QTest::newRow("stale retouch") << u"staleEffects"_s << true
                                   << u"没有访问“精修回传”文件夹的权限，请重新选择它。"_s << originalsOnly;
    QTest::newRow("service failure") << u"service"_s << true << u"服务器返回 502。"_s << both;
    QTest::newRow("access not granted") << u"notGranted"_s << true << QString() << none;
    QTest::newRow("success") << QString() << true << QString() << both;
}

void SyncEngineTest::passRefusals() {
    QFETCH(QString, breakage);
    QFETCH(bool, includeEffects);
    QFETCH(QString, expected);
    QFETCH(QStringList, calls);
    // Same path, another folder; the old one lives on elsewhere, so its identity cannot be
    // handed straight to the new one.
    auto recreated = [this](const QString& folder) {
        QVERIFY(QDir().rename(folder, sandbox->root.filePath(u"old"_s)));
        QVERIFY(QDir().mkpath(folder));
    };
    if (breakage == u"noAlbum"_s)
        settings.eventId.reset();
    if (breakage == u"emptyAlbum"_s)
        settings.eventId = QString();
    if (breakage == u"noOriginals"_s)
        settings.originalDirectoryBookmark.reset();
    if (breakage == u"staleOriginals"_s)
        recreated(sandbox->originals);
    if (breakage == u"noEffects"_s)
        settings.effectDirectoryBookmark.reset();
    if (breakage == u"staleEffects"_s)
        recreated(sandbox->effects);
    if (breakage == u"notGranted"_s)
        folders->grant = false;
    if (breakage == u"service"_s)
        service->setFault(Endpoint::Workspace, statusFault(502));

    QCOMPARE(pass(includeEffects).errorText(), expected);
    if (breakage == u"notGranted"_s) // a refused start is not an error, and is never stopped
        QCOMPARE(folders->calls, (QStringList{u"start 原图"_s, u"start 精修"_s}));
    else
        QCOMPARE(folders->calls, calls);
    if (!expected.isEmpty() && breakage != u"service"_s)
        QCOMPARE(count(Endpoint::Workspace), 0);
    if (!expected.isEmpty())
        QVERIFY(!QFile::exists(SyncStorage::statePath()));
}

void SyncEngineTest::unsafeStoredPathsWriteNothing_data() {
    // Hostile ids and names from the service are the security suite's; these come from the state file.
    QTest::addColumn<QString>("storedPath");
    QTest::newRow("absolute") << u"/tmp/kitewell-escape.jpg"_s;
    QTest::newRow("dot-dot") << u"Wedding--x/../../../escape.jpg"_s;
}

void SyncEngineTest::unsafeStoredPathsWriteNothing() {
    QFETCH(QString, storedPath);
    SyncStateFile hostile;
    hostile.records.insert(kEvent + u":p1"_s, {u"p1"_s, kEvent, storedPath, std::nullopt, std::nullopt});
    SyncStorage::saveState(hostile);
    const QByteArray stateBefore = readFile(SyncStorage::statePath());

    QCOMPARE(pass(true).errorText(), kInvalid);
    QCOMPARE(count(Endpoint::Original), 0);
    QCOMPARE(readFile(SyncStorage::statePath()), stateBefore);
    QVERIFY(!QFile::exists(u"/tmp/kitewell-escape.jpg"_s));
    QCOMPARE(tree(sandbox->root.path()).filter(u"escape"_s), QStringList());
}

QTEST_GUILESS_MAIN(SyncEngineTest)
#include "tst_syncengine.moc"
