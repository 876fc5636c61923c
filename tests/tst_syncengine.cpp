// Whole sync passes against the local album service and real folders: what lands on
// disk, what the state file holds, and what the service received.

#include "support/Scenario.h"

#include <QTest>

#include <cerrno>
#include <sys/stat.h>

using namespace kitewell;
using namespace testsupport;

namespace {

using Case = SyncClientError::Case;
using Arrange = std::function<void(Scenario&)>;

// Records the folder-access calls of a pass, in order.
struct RecordingFolderAccess : FolderAccess {
    QStringList calls;
    QString originalsRoot;
    bool grant = true;
    bool startAccess(const QString& path) override {
        calls.append(u"start "_s + label(path));
        return grant;
    }
    void stopAccess(const QString& path) override { calls.append(u"stop "_s + label(path)); }
    QString label(const QString& path) const { return path == originalsRoot ? u"原图"_s : u"精修"_s; }
};

const QStringList kOriginalsOnly{u"start 原图"_s, u"stop 原图"_s};
const QStringList kBoth{u"start 原图"_s, u"start 精修"_s, u"stop 精修"_s, u"stop 原图"_s};

// A stored fingerprint, next to the retouched file's own.
enum class Stored { None, Current, Other };
struct EffectOutcome {
    const char* name = "";
    Stored uploaded, published;
    bool autoPublish = false;
    int uploads = 0, publishes = 0;
};

// A retouched file rewritten in place while an upload's body is held: its own upload's or the
// other file's, dated that far back; whether it is uploaded and recorded in that pass.
struct Rewrite {
    const char* name = "";
    bool ownUpload = false;
    int ageSeconds = 0;
    bool returned = false;
};

// A pass refused before it starts, or let through: the error's case (none: the pass succeeds)
// and a text its description holds, the folder-access calls, the requests for the workspace,
// and what the state file holds after a refusal.
struct Refusal {
    const char* name = "";
    std::optional<Case> error;
    QString detail;
    QStringList calls;
    int workspaces = 0;
    Arrange arrange;
    bool includeEffects = true;
    Scenario::Stage stage = Scenario::Stage::Nothing;
};

} // namespace

class SyncEngineTest : public QObject {
    Q_OBJECT
    std::optional<Scenario> f;
    std::shared_ptr<RecordingFolderAccess> folders;

private Q_SLOTS:
    void init() {
        f.emplace();
        folders = std::make_shared<RecordingFolderAccess>();
        folders->originalsRoot = f->sandbox.originals;
        f->folders = folders;
    }
    void cleanup() { f.reset(); }

    void originalsKeepTheirPlaces() {
        QCOMPARE(*f->syncOnce(false).value, (SyncResult{3, 0, 0, 0}));
        QCOMPARE(tree(f->sandbox.originals),
                 (QStringList{kAlbumFolder + u"/p1__IMG_1.JPG"_s, kAlbumFolder + u"/p2__新娘-入场.jpg"_s,
                              kAlbumFolder + u"/p3__photo.jpg"_s}));
        QCOMPARE(entries(f->sandbox.effects),
                 QStringList()); // without effects the retouch folder is not touched
        f->verifyConverged(false);
        QCOMPARE(folders->calls, kOriginalsOnly + kOriginalsOnly);

        // Renamed on the service: recorded photos come back to their places, their folder
        // made again; a new one goes to the new folder. Names are cut to fit in 255 bytes, a
        // photo's with the staging suffix and keeping its extension.
        const QString ninety = u"鸢"_s.repeated(90);
        f->service->updateEvent({kEventId, ninety, std::nullopt});
        f->service->updatePhoto(kEventId, photo(u"p1"_s, u"NEW_NAME.JPG"_s));
        f->addPhoto(u"p5"_s, ninety + u".jpg"_s);
        f->albumFolder = ninety.left(81) + u"--evt-2024"_s;
        QVERIFY(QDir(f->sandbox.originals + u'/' + kAlbumFolder).removeRecursively());
        QCOMPARE(*f->syncOnce(false).value, (SyncResult{4, 0, 0, 0}));
        QVERIFY(f->original(u"p1"_s).endsWith(kAlbumFolder + u"/p1__IMG_1.JPG"_s));
        QVERIFY(f->original(u"p5"_s).endsWith(f->albumFolder + u"/p5__"_s + ninety.left(79) + u".jpg"_s));
        f->verifyConverged(false);
    }

    void emptyAlbumStillCreatesFoldersAndState() {
        f->service->addEvent({u"e2"_s, QString(), std::nullopt});
        f->settings.eventId = u"e2"_s;
        QCOMPARE(*f->syncOnce().value, (SyncResult{0, 0, 0, 0}));
        QVERIFY(QDir(f->sandbox.originals + u"/直播相册--e2"_s).exists());
        QVERIFY(QDir(f->sandbox.effects + u"/直播相册--e2"_s).exists());
        QVERIFY(QFile::exists(SyncStorage::statePath()));
        QCOMPARE(f->state().records.size(), 0);
    }

    void effectOutcomes_data() {
        using enum Stored;
        addRows<EffectOutcome>({
            {"new, no publish", None, Current, false, 1, 0},
            {"changed, no publish", Other, None, false, 1, 0},
            {"new, publish", None, None, true, 1, 1},
            {"changed, published other", Other, Other, true, 1, 1},
            {"changed, already published", Other, Current, true, 1, 0},
            {"unchanged, no publish", Current, None, false, 0, 0},
            {"unchanged, publish pending", Current, Other, true, 0, 1},
            {"unchanged, published", Current, Current, true, 0, 0},
        });
    }
    void effectOutcomes() {
        QFETCH(EffectOutcome, row);
        QVERIFY(f->syncOnce(false).ok());
        f->writeRetouched(u"p1__IMG_1-edit.jpg"_s, "retouched bytes");
        const QString current = fingerprintOf(f->retouched(u"p1__IMG_1-edit.jpg"_s));
        const auto stored = [&](Stored which) -> std::optional<QString> {
            return which == Stored::None ? std::nullopt
                                         : std::optional(which == Stored::Current ? current : u"1-1"_s);
        };
        f->planted.records.insert(kEventId + u":p1"_s, {u"p1"_s, kEventId, kAlbumFolder + u"/p1__IMG_1.JPG"_s,
                                                        stored(row.uploaded), stored(row.published)});
        SyncStorage::saveState(f->planted);
        f->settings.autoPublishEffects = row.autoPublish;
        QCOMPARE(*f->syncOnce().value, (SyncResult{0, row.uploads, row.publishes, 0}));
        QCOMPARE(f->requests(Endpoint::UploadVersion), row.uploads);
        QCOMPARE(f->requests(Endpoint::Publish), row.publishes);
        f->verifyConverged();
    }

    void effectFolderRules() {
        QVERIFY(f->syncOnce(false).ok());
        f->writeRetouched(u"p1__a.JPEG"_s, "upper-case extension, dated ahead of the clock", -3600);
        f->writeRetouched(u"nobody__x.jpg"_s, "no such photo; fresh, but only counted", 0);
        // Unmatched, or no retouched file at all: a case-sensitive id, a photo without an
        // original, other extensions, a hidden file, a file in a subfolder.
        for (const QString& name : {u"P2__case.jpg"_s, u"p4__video.jpg"_s, u"p3__x.png"_s, u"p3__x.jpg.bak"_s,
                                    u"p3__jpg"_s, u".p3__hidden.jpg"_s, u"sub.jpg/p3__nested.jpg"_s})
            f->writeRetouched(name, name.toUtf8());
        f->writeRetouched(u"IMG_1.JPG"_s, "the plain name of p1");
        // Folders and pipes are no retouched files, however old (opening a pipe waits for a writer).
        QVERIFY(QDir().mkpath(f->retouched(u"p2__folder.jpg"_s)));
        for (const QString& pipe : {u"p1__x.jpg"_s, u"pipe.jpg"_s})
            QVERIFY(::mkfifo(QFile::encodeName(f->retouched(pipe)).constData(), 0644) == 0);
        for (const QString& old : {u"p2__folder.jpg"_s, u"p1__x.jpg"_s, u"pipe.jpg"_s})
            QVERIFY(setModifiedSecondsAgo(f->retouched(old), 60));
        // Entries that cannot be examined are never looked at when they match no photo...
        const auto link = [this](const QString& name, const QString& target) {
            return QFile::link(f->retouched(target), f->retouched(name));
        };
        QVERIFY(link(u"loop.jpg"_s, u"loop.jpg"_s) && link(u"nobody__gone.jpg"_s, u"gone"_s) &&
                link(u"nobody__folder.jpg"_s, u"p2__folder.jpg"_s));
        // A link to a file is that file; one to a folder, or whose target has gone, is skipped.
        QVERIFY(link(u"p3__link.jpg"_s, u"IMG_1.JPG"_s) && link(u"p3__folder.jpg"_s, u"p2__folder.jpg"_s) &&
                link(u"p3__gone.jpg"_s, u"gone"_s));
        QCOMPARE(*f->syncOnce().value, (SyncResult{0, 3, 0, 6}));
        QCOMPARE(*f->syncOnce().value, (SyncResult{0, 2, 0, 6})); // two files of p1 keep replacing each other
        QCOMPARE(f->requests(Endpoint::UploadVersion), 5);

        // ...while one that matches a photo and cannot be read fails the pass with the system's error.
        QVERIFY(link(u"p3__loop.jpg"_s, u"p3__loop.jpg"_s));
        QVERIFY(sameFailure(f->syncOnce().failure, fileError(ELOOP)));
    }

    void fileRewrittenDuringUploads_data() {
        addRows<Rewrite>({
            {"during another upload, still being written", false, 0, false},
            {"during another upload, finished", false, 30, true},
            {"during its own upload", true, 30, false},
        });
    }
    void fileRewrittenDuringUploads() {
        QFETCH(Rewrite, row);
        QVERIFY(f->syncOnce(false).ok());
        // Large enough that the client is still reading the file while its body is held.
        const QByteArray before(4 << 20, 'a'), after(4 << 20, 'b');
        f->writeRetouched(u"p1__a.jpg"_s, before);
        f->writeRetouched(u"p2__b.jpg"_s, before);
        f->fault(Endpoint::UploadVersion, {.count = 1, .holdBody = true});
        QString rewritten;
        QObject listener;
        connect(f->service.get(), &AlbumService::bodyHeld, &listener, [&](const auto& upload) {
            const bool p1 = upload.target.contains("/photos/p1/");
            rewritten = f->retouched(p1 == row.ownUpload ? u"p1__a.jpg"_s : u"p2__b.jpg"_s);
            // In place and never shorter: a client reading the file meanwhile never meets its end.
            QFile file(rewritten);
            QVERIFY(file.open(QIODevice::ReadWrite) && file.write(after) == after.size());
            file.close();
            QVERIFY(setModifiedSecondsAgo(rewritten, row.ageSeconds));
            f->service->releaseHeldBodies();
        });
        f->settings.autoPublishEffects = true;
        const int uploads = row.returned ? 2 : 1;
        QCOMPARE(*f->syncOnce().value, (SyncResult{0, uploads, uploads, 0}));
        const SyncRecord record =
            f->state().records.value(kEventId + u':' + QFileInfo(rewritten).fileName().left(2));
        const auto recorded = row.returned ? std::optional(fingerprintOf(rewritten)) : std::nullopt;
        QCOMPARE(record.lastUploadedEffectFingerprint, recorded);
        QCOMPARE(record.lastPublishedEffectFingerprint, recorded);

        // Once the editor is done, the next pass returns the file whole.
        QVERIFY(setModifiedSecondsAgo(rewritten, 10));
        QCOMPARE(*f->syncOnce().value, (SyncResult{0, 1, 1, 0}));
        f->verifyConverged();
    }

    void passRefusals_data() {
        // Same path, another folder; the old one lives on elsewhere, so its identity cannot be
        // handed straight to the new one.
        const auto recreated = [](QString Sandbox::*folder) {
            return [folder](Scenario& f) {
                QVERIFY(QDir().rename(f.sandbox.*folder, f.sandbox.root.filePath(u"old"_s)));
                QVERIFY(QDir().mkpath(f.sandbox.*folder));
            };
        };
        const Arrange noRetouch = [](Scenario& f) { f.settings.effectDirectoryBookmark.reset(); };
        const QString noPermission =
            u"当前账号没有回传精修图的权限。请使用项目负责人、修图师或摄影师账号登录。"_s;
        // clang-format off
        addRows<Refusal>({
            {"no album", Case::missingProject, {}, {}, 0, [](Scenario& f) { f.settings.eventId.reset(); }},
            {"empty album id", Case::missingProject, {}, {}, 0, [](Scenario& f) { f.settings.eventId = QString(); }},
            {"no originals folder", Case::missingOriginalDirectory, {}, {}, 0,
             [](Scenario& f) { f.settings.originalDirectoryBookmark.reset(); }},
            {"stale originals", Case::permissionDenied, u"原图"_s, {}, 0, recreated(&Sandbox::originals)},
            {"no retouch folder", Case::missingEffectDirectory, {}, kOriginalsOnly, 0, noRetouch},
            {"no retouch folder needed", {}, {}, kOriginalsOnly, 1, noRetouch, false},
            {"stale retouch", Case::permissionDenied, u"精修回传"_s, kOriginalsOnly, 0,
             recreated(&Sandbox::effects)},
            {"service failure", Case::server, {}, kBoth, 1,
             [](Scenario& f) { f.fault(Endpoint::Workspace, statusFault(502)); }},
            // A refused start is not an error, and is never stopped.
            {"access not granted", {}, {}, {u"start 原图"_s, u"start 精修"_s}, 1,
             [](Scenario& f) { static_cast<RecordingFolderAccess&>(*f.folders).grant = false; }},
            {"success", {}, {}, kBoth, 1, [](Scenario&) {}},
            // The originals are downloaded and saved before the permission is looked at.
            {"no upload permission", Case::server, noPermission, kBoth, 1,
             [](Scenario& f) { f.service->updateEvent({kEventId, u"婚礼/彩排"_s, u"viewer"_s, true, false}); },
             true, Scenario::Stage::Originals},
        });
        // clang-format on
    }
    void passRefusals() {
        QFETCH(Refusal, row);
        f->writeRetouched(u"p1__edit.jpg"_s, "retouched");
        row.arrange(*f);
        const auto outcome = f->syncOnce(row.includeEffects);
        QCOMPARE(outcome.failure ? outcome.failure->clientCase : std::nullopt, row.error);
        QVERIFY2(outcome.ok() == !row.error && outcome.errorText().contains(row.detail),
                 qPrintable(outcome.errorText()));
        QCOMPARE(folders->calls, row.calls);
        QCOMPARE(f->requests(Endpoint::Workspace), row.workspaces);
        if (row.error)
            f->verifyState(row.stage);
        else
            f->verifyConverged(row.includeEffects);
    }
};

QTEST_GUILESS_MAIN(SyncEngineTest)
#include "tst_syncengine.moc"
