// The faults real users meet, one per row: a service that refuses, cuts, stalls, redirects
// or answers nonsense, and a disk that refuses, vanishes or fills up. For each fault the
// pass ends with the exact error, leaves no partial or temporary file, keeps a decodable
// state file holding exactly what was saved before the fault, and the next clean pass
// ends where a pass without the fault would have (same files, same records, one upload
// and one publication per retouched file).
//
// Permission faults: the tests run as root in CI, and root ignores a folder's write bits.
// Those rows run the faulted pass in a child process (tests/helpers/kitewell_pass_child)
// that drops to the "nobody" user (uid 65534) first; the sandbox is handed to that user
// and the folder under test made read-only (0555), so the kernel's own permission check
// refuses the write, exactly as for an ordinary user. The file-size limit (RLIMIT_FSIZE)
// is set in that child too, never in the test process.

#include "storage/SyncStorage.h"
#include "support/Files.h"
#include "support/Fixture.h"
#include "sync/Naming.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QTest>

#include <functional>
#include <sys/stat.h>
#include <unistd.h>

using namespace kitewell;
using namespace testsupport;

namespace {

const QString kEvent = u"evt-faults-1"_s;
const QString kAlbum = u"婚礼-彩排--evt-faul"_s; // safe title, "--", first 8 of the id
const QString kRetouched = u"p2__新娘-入场-精修.jpg"_s;
const QString kClosed = u"Connection closed"_s;
const QString kTimedOut = u"Network operation timed out"_s;
constexpr uid_t kNobody = 65534;

// What the state file holds after the faulted pass.
enum class Stage {
    Nothing,   // never saved
    Originals, // the records of the download step, no fingerprints
    Uploaded,  // and every retouched file's upload
    Published, // and every retouched file's publication: a whole pass
};

void setMode(const QString& path, mode_t mode) {
    if (::chmod(QFile::encodeName(path).constData(), mode) != 0)
        qFatal("cannot chmod %s", qPrintable(path));
}

// Hands a folder and everything in it to the unprivileged user (as root only).
void handOver(const QString& root) {
    if (::geteuid() != 0)
        return;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    QStringList paths{root};
    while (it.hasNext())
        paths.append(it.next());
    for (const QString& path : paths) {
        if (::lchown(QFile::encodeName(path).constData(), kNobody, kNobody) != 0)
            qFatal("cannot hand %s over", qPrintable(path));
    }
}

QString originalName(const albumservice::Photo& served) {
    Photo photo;
    photo.id = served.id;
    photo.name = served.name;
    return naming::downloadFileName(photo);
}

} // namespace

class FaultsTest;
using Step = std::function<void(FaultsTest&)>;

// One fault: how to make it, the error it must end with (empty: the pass succeeds), what the
// state file then holds, and how to take it away again before the clean pass.
struct FaultCase {
    QString name;
    Step arrange;
    QString expected;
    Stage stage = Stage::Nothing;
    Step repair = {};           // besides clearing the service's faults
    bool inChild = false;       // run the faulted pass in the unprivileged child
    int versionsKept = 1;       // copies of each retouched file the service ends with
    qint64 sizeLimit = 0;       // RLIMIT_FSIZE of that child
    bool shortTimeouts = false; // inactivity limit shortened to 500 ms
};

class FaultsTest : public QObject {
    Q_OBJECT
public:
    // Reached by the fault rows.
    std::unique_ptr<AlbumService> service;
    std::unique_ptr<Sandbox> sandbox;
    QString token, baseUrl;
    SyncSettings settings;
    std::function<void(const albumservice::RecordedRequest&)> onRequest;
    QStringList restoreWritable; // folders made read-only by a row
    SyncStateFile foreign;       // records of another album, in the state file before the pass

    QString originalsAlbum() const { return sandbox->originals + u'/' + kAlbum; }
    QString effectsAlbum() const { return sandbox->effects + u'/' + kAlbum; }
    static QString supportFolder() { return SyncStorage::supportDirectory(); }
    void fault(Endpoint endpoint, const Fault& fault) { service->setFault(endpoint, fault); }
    // The photo's original then lives at another URL (the service's own again with nullopt).
    void moveOriginal(const QString& photoId, const std::optional<QString>& url) {
        albumservice::Photo moved = service->photos(kEvent).at(photoId.mid(1).toInt() - 1);
        moved.originalUrl = url;
        moved.jpeg.clear(); // keeps the bytes it had
        service->updatePhoto(kEvent, moved);
    }
    void readOnly(const QString& folder) {
        QDir().mkpath(folder);
        setMode(folder, 0555);
        restoreWritable.append(folder);
    }
    void keepForeignRecords(int count) {
        for (int i = 0; i < count; ++i) {
            const QString photoId = u"q"_s + QString::number(i);
            foreign.records.insert(SyncStateFile::recordKey(u"other"_s, photoId),
                                   {photoId, u"other"_s, u"Other--other/"_s + photoId + u"__a.jpg"_s,
                                    u"1024-1700000000"_s, std::nullopt});
        }
        SyncStorage::saveState(foreign);
    }
    void onRequestTo(Endpoint endpoint, std::function<void(const albumservice::RecordedRequest&)> then) {
        onRequest = [endpoint, then](const albumservice::RecordedRequest& request) {
            if (request.endpoint == endpoint)
                then(request);
        };
    }

private Q_SLOTS:
    void init();
    void cleanup();
    void faultThenCleanPass_data();
    void faultThenCleanPass();

private:
    Outcome<SyncResult> passInChild(const FaultCase& row);
    QList<albumservice::Photo> candidates() const;
    QStringList retouchedFiles() const;
    SyncStateFile expectedState(Stage stage) const;
    void verifyNoPartialOrTemporaryFiles();
    void verifyState(Stage stage);
    void verifyConverged(int versionsKept);
};

namespace {

using T = FaultsTest;

const QList<FaultCase>& faultCases() {
    static const QList<FaultCase> cases{
        // ---- the service side ----
        {u"connection refused"_s, [](T& t) { t.baseUrl = closedPortUrl(); }, u"Connection refused"_s,
         Stage::Nothing, [](T& t) { t.baseUrl = t.service->baseUrl().toString(); }},
        {u"connection refused for one original"_s,
         [](T& t) { t.moveOriginal(u"p2"_s, closedPortUrl() + u"/originals/p2"_s); }, u"Connection refused"_s,
         Stage::Nothing, [](T& t) { t.moveOriginal(u"p2"_s, std::nullopt); }},
        {u"original reset mid-body"_s,
         [](T& t) { t.fault(Endpoint::Original, cutFault(Fault::Cut::DropMidBody, 1)); }, kClosed},
        {u"original truncated"_s,
         [](T& t) { t.fault(Endpoint::Original, cutFault(Fault::Cut::TruncateBody, 1)); }, kClosed},
        // Half a document must never count as the answer.
        {u"workspace truncated"_s,
         [](T& t) { t.fault(Endpoint::Workspace, cutFault(Fault::Cut::TruncateBody)); }, kClosed},
        {.name = u"original stalls"_s,
         .arrange = [](T& t) { t.fault(Endpoint::Original, cutFault(Fault::Cut::Stall, 1)); },
         .expected = kTimedOut,
         .shortTimeouts = true},
        {.name = u"workspace stalls"_s,
         .arrange = [](T& t) { t.fault(Endpoint::Workspace, cutFault(Fault::Cut::Stall)); },
         .expected = kTimedOut,
         .shortTimeouts = true},
        {u"workspace 500 with error"_s,
         [](T& t) {
             t.fault(Endpoint::Workspace, statusFault(500, R"({"error":"数据库维护中","message":"x"})"));
         },
         u"数据库维护中"_s},
        // A download's error body is never shown: it may be anyone's page.
        {u"original 500 with error"_s,
         [](T& t) { t.fault(Endpoint::Original, statusFault(500, R"({"error":"存储故障"})", 1)); },
         u"服务器返回 500。"_s},
        {u"upload 507 with error"_s,
         [](T& t) { t.fault(Endpoint::UploadVersion, statusFault(507, R"({"error":"存储空间已满"})")); },
         u"存储空间已满"_s, Stage::Originals},
        {u"publish 503 with message"_s,
         [](T& t) { t.fault(Endpoint::Publish, statusFault(503, R"({"message":"发布队列繁忙"})")); },
         u"发布队列繁忙"_s, Stage::Uploaded},
        {u"401 on an original mid-pass"_s, [](T& t) { t.fault(Endpoint::Original, statusFault(401, {}, 2)); },
         kUnauthorized},
        {u"401 on the upload"_s,
         [](T& t) { t.fault(Endpoint::UploadVersion, statusFault(401, R"({"error":"会话过期"})")); },
         kUnauthorized, Stage::Originals},
        {u"workspace not JSON"_s,
         [](T& t) { t.fault(Endpoint::Workspace, statusFault(200, "<html>维护中</html>")); }, kInvalid},
        {u"workspace wrongly typed"_s,
         [](T& t) {
             t.fault(Endpoint::Workspace,
                     statusFault(200, R"({"event":{"id":"evt-faults-1","title":"x"},"photos":[],)"
                                      R"("permissions":{"canManageAllPhotos":true,"canUpload":"yes"}})"));
         },
         kInvalid},
        {u"publish answer not JSON"_s,
         [](T& t) { t.fault(Endpoint::Publish, statusFault(200, "published!")); }, kInvalid, Stage::Uploaded},
        {u"upload answer not JSON"_s,
         [](T& t) {
             Fault page = statusFault(200, "<p>ok</p>");
             page.performRequest = true; // the body of an upload's answer is never read
             t.fault(Endpoint::UploadVersion, page);
         },
         QString(), Stage::Published},
        {u"upload redirected to another origin"_s,
         [](T& t) {
             t.fault(Endpoint::UploadVersion, redirectFault(QUrl(closedPortUrl() + u"/upload"_s), 308));
         },
         u"Insecure redirect"_s, Stage::Originals},
        {u"workspace redirected within the origin"_s,
         [](T& t) {
             Fault same = redirectFault(QUrl(t.baseUrl + u"/api/publisher/events/evt-faults-1/workspace"_s));
             same.count = 1;
             t.fault(Endpoint::Workspace, same);
         },
         QString(), Stage::Published},
        // The service stored the upload and then lost the connection: the program cannot
        // tell, so the next pass sends the file again (the protocol has no way to ask).
        {.name = u"upload answer cut after the service kept it"_s,
         .arrange = [](T& t) { t.fault(Endpoint::UploadVersion, cutFault(Fault::Cut::DropMidBody)); },
         .expected = kClosed,
         .stage = Stage::Originals,
         .versionsKept = 2},

        // ---- the local side ----
        {u"file in place of the album folder"_s, [](T& t) { writeAged(t.originalsAlbum(), "not a folder"); },
         u"Not a directory"_s, Stage::Nothing, [](T& t) { QFile::remove(t.originalsAlbum()); }},
        {u"album folder deleted during the pass"_s,
         [](T& t) {
             t.onRequestTo(Endpoint::Original, [&t, seen = 0](const auto&) mutable {
                 if (++seen == 2)
                     QDir(t.originalsAlbum()).removeRecursively();
             });
         },
         u"No such file or directory"_s},
        {u"retouch folder deleted during the pass"_s,
         [](T& t) {
             t.onRequestTo(Endpoint::Original,
                           [&t](const auto&) { QDir(t.effectsAlbum()).removeRecursively(); });
         },
         u"No such file or directory"_s, Stage::Originals},
        // Gone by its turn: nothing to return, and nothing wrong.
        {u"retouched file vanishes before its upload"_s,
         [](T& t) {
             writeAged(t.effectsAlbum() + u"/p1__a.jpg"_s, "retouched p1");
             // The first upload removes the other file, listed already but not sent yet.
             t.onRequestTo(Endpoint::UploadVersion, [&t](const albumservice::RecordedRequest& request) {
                 const bool p1First = request.target.contains("/photos/p1/");
                 QFile::remove(t.effectsAlbum() + u'/' + (p1First ? kRetouched : u"p1__a.jpg"_s));
             });
         },
         QString(), Stage::Published},
        {u"folder in place of the state file"_s,
         [](T&) { QDir().mkpath(SyncStorage::statePath() + u"/blocker"_s); }, u"Is a directory"_s,
         Stage::Nothing, [](T&) { QDir(SyncStorage::statePath()).removeRecursively(); }},
        {u"file in place of the state folder"_s,
         [](T&) {
             QDir(T::supportFolder()).removeRecursively();
             writeAged(T::supportFolder(), "not a folder");
         },
         u"Not a directory"_s, Stage::Nothing, [](T&) { QFile::remove(T::supportFolder()); }},
        {.name = u"read-only album folder"_s,
         .arrange = [](T& t) { t.readOnly(t.originalsAlbum()); },
         .expected = u"Permission denied"_s,
         .inChild = true},
        {.name = u"read-only originals folder"_s,
         .arrange = [](T& t) { t.readOnly(t.sandbox->originals); },
         .expected = u"Permission denied"_s,
         .inChild = true},
        {.name = u"unwritable state folder"_s,
         .arrange = [](T& t) { t.readOnly(T::supportFolder()); },
         .expected = u"Permission denied"_s,
         .inChild = true},
        {.name = u"unwritable data folder"_s,
         .arrange =
             [](T& t) {
                 QDir(T::supportFolder()).removeRecursively();
                 t.readOnly(t.sandbox->data);
             },
         .expected = u"Permission denied"_s,
         .inChild = true},
        {.name = u"unreadable retouched file"_s,
         .arrange = [](T& t) { setMode(t.effectsAlbum() + u'/' + kRetouched, 0); },
         .expected = u"Permission denied"_s,
         .stage = Stage::Originals,
         .repair = [](T& t) { setMode(t.effectsAlbum() + u'/' + kRetouched, 0644); },
         .inChild = true},
        {.name = u"file-size limit mid-download"_s,
         .arrange = [](T&) {},
         .expected = u"File too large"_s,
         .inChild = true,
         .sizeLimit = 64 * 1024},
        // Users keep every album they ever synced: a large state meets a full disk.
        {.name = u"file-size limit while saving a large state"_s,
         .arrange = [](T& t) { t.keepForeignRecords(20'000); },
         .expected = u"File too large"_s,
         .inChild = true,
         .sizeLimit = 240'000},
    };
    return cases;
}

} // namespace

void FaultsTest::init() {
    service = startService();
    token = service->issueToken(kEmail);
    baseUrl = service->baseUrl().toString();
    service->addEvent({kEvent, u"婚礼/彩排"_s, u"retoucher"_s});
    service->addPhoto(kEvent, photo(u"p1"_s, u"IMG_1.JPG"_s), 8'000);
    // Large enough to be cut in the middle of its body.
    service->addPhoto(kEvent, photo(u"p2"_s, u"新娘:入场"_s), 200'000);
    service->addPhoto(kEvent, photo(u"p3"_s, std::nullopt), 8'000);
    albumservice::Photo noOriginal = photo(u"p4"_s, u"clip.mov"_s);
    noOriginal.hasOriginal = false;
    service->addPhoto(kEvent, noOriginal);
    connect(service.get(), &AlbumService::requestReceived, this, [this](const auto& request) {
        if (onRequest)
            onRequest(request);
    });

    // The unprivileged child must be able to reach the sandbox: below /tmp when run as root,
    // whatever TMPDIR says.
    sandbox = std::make_unique<Sandbox>(::geteuid() == 0 ? u"/tmp/kitewell-faults-XXXXXX"_s : QString());
    setMode(sandbox->root.path(), 0755);
    QVERIFY(QDir().mkpath(supportFolder()));
    writeAged(effectsAlbum() + u'/' + kRetouched, "精修后的新娘入场");
    settings = sandbox->settings(kEvent);
    settings.eventTitle = u"婚礼/彩排"_s;
    settings.autoPublishEffects = true;
}

void FaultsTest::cleanup() {
    for (const QString& folder : std::as_const(restoreWritable))
        ::chmod(QFile::encodeName(folder).constData(), 0755);
    restoreWritable.clear();
    onRequest = nullptr;
    foreign = {};
    service.reset();
    sandbox.reset();
}

Outcome<SyncResult> FaultsTest::passInChild(const FaultCase& row) {
    handOver(sandbox->root.path());
    QStringList arguments{u"--base"_s, baseUrl,         u"--token"_s,
                          token,       u"--settings"_s, QString::fromLatin1(settings.encode().toBase64())};
    if (row.sizeLimit)
        arguments << u"--fsize-limit"_s << QString::number(row.sizeLimit);
    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    child.start(QStringLiteral(KITEWELL_PASS_CHILD), arguments);
    Outcome<SyncResult> outcome;
    // The service answers from this process's event loop while the child works.
    const bool ran = child.waitForStarted() &&
                     QTest::qWaitFor([&] { return child.state() == QProcess::NotRunning; }, 60'000) &&
                     child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0;
    const QByteArray line = child.readAllStandardOutput().trimmed();
    const QList<QByteArray> words = line.split(' ');
    if (ran && words.value(0) == "ok" && words.size() == 5) {
        outcome.value = SyncResult{words[1].toInt(), words[2].toInt(), words[3].toInt(), words[4].toInt()};
    } else {
        outcome.failure = Failure{};
        if (ran && words.value(0) == "failed" && words.size() >= 3) {
            outcome.failure->kind = Failure::Kind(words[1].toInt());
            outcome.failure->text = QString::fromUtf8(line.mid(words[0].size() + words[1].size() + 2));
        } else {
            outcome.failure->text =
                u"the child did not run (crashed %1, exit %2): "_s.arg(int(child.exitStatus()))
                    .arg(child.exitCode()) +
                QString::fromUtf8(line);
        }
    }
    return outcome;
}

QList<albumservice::Photo> FaultsTest::candidates() const {
    QList<albumservice::Photo> photos = service->photos(kEvent);
    photos.removeIf([](const albumservice::Photo& photo) { return !photo.hasOriginal; });
    return photos;
}

QStringList FaultsTest::retouchedFiles() const {
    QStringList files = QDir(effectsAlbum()).entryList({u"*.jpg"_s}, QDir::Files);
    for (QString& file : files)
        file = effectsAlbum() + u'/' + file;
    return files;
}

SyncStateFile FaultsTest::expectedState(Stage stage) const {
    SyncStateFile state = foreign;
    if (stage == Stage::Nothing)
        return state;
    for (const albumservice::Photo& photo : candidates()) {
        const QString path = kAlbum + u'/' + originalName(photo);
        state.records.insert(SyncStateFile::recordKey(kEvent, photo.id), {photo.id, kEvent, path, {}, {}});
    }
    if (stage == Stage::Originals)
        return state;
    for (const QString& file : retouchedFiles()) {
        const QString photoId = QFileInfo(file).fileName().section(u"__"_s, 0, 0);
        SyncRecord& record = state.records[SyncStateFile::recordKey(kEvent, photoId)];
        record.lastUploadedEffectFingerprint = naming::fileFingerprint(file);
        if (stage == Stage::Published)
            record.lastPublishedEffectFingerprint = record.lastUploadedEffectFingerprint;
    }
    return state;
}

void FaultsTest::verifyNoPartialOrTemporaryFiles() {
    // Every original on disk is whole and under its own name.
    QHash<QString, QByteArray> expected;
    for (const albumservice::Photo& photo : candidates())
        expected.insert(kAlbum + u'/' + originalName(photo), photo.jpeg);
    for (const QString& file : tree(sandbox->originals)) {
        QVERIFY2(expected.contains(file), qPrintable(u"unexpected file "_s + file));
        QVERIFY2(readFile(sandbox->originals + u'/' + file) == expected.value(file),
                 qPrintable(u"partial file "_s + file));
    }
    // Nothing half-done anywhere: no staging file, no temporary save, nothing moved aside.
    for (const QString& file : tree(sandbox->root.path())) {
        QVERIFY2(!file.endsWith(u".download"_s) && !file.contains(u".tmp-"_s) &&
                     !file.contains(u".corrupt-"_s),
                 qPrintable(u"left behind: "_s + file));
    }
}

void FaultsTest::verifyState(Stage stage) {
    const QString path = SyncStorage::statePath();
    if (stage == Stage::Nothing && foreign.records.isEmpty()) {
        QVERIFY(!QFileInfo(path).isFile());
        return;
    }
    const QByteArray bytes = readFile(path);
    const SyncStateFile expected = expectedState(stage);
    QCOMPARE(bytes, expected.encode()); // decodes, and holds exactly that
}

void FaultsTest::verifyConverged(int versionsKept) {
    verifyNoPartialOrTemporaryFiles();
    QStringList expectedTree;
    for (const albumservice::Photo& photo : candidates())
        expectedTree.append(kAlbum + u'/' + originalName(photo));
    expectedTree.sort();
    QCOMPARE(tree(sandbox->originals), expectedTree);
    verifyState(Stage::Published);

    // One publication per retouched file, and as many versions as kept, with the file's bytes.
    const QStringList files = retouchedFiles();
    const auto versions = service->versions();
    QCOMPARE(versions.size(), files.size() * versionsKept);
    QCOMPARE(service->publications().size(), files.size());
    for (const QString& file : files) {
        const QString photoId = QFileInfo(file).fileName().section(u"__"_s, 0, 0);
        QCOMPARE(int(std::count_if(
                     versions.begin(), versions.end(),
                     [&](const auto& v) { return v.photoId == photoId && v.bytes == readFile(file); })),
                 versionsKept);
        QVERIFY(service->publications().contains(qMakePair(kEvent, photoId)));
    }
}

void FaultsTest::faultThenCleanPass_data() {
    QTest::addColumn<int>("row");
    for (qsizetype i = 0; i < faultCases().size(); ++i)
        QTest::newRow(qPrintable(faultCases()[i].name)) << int(i);
}

void FaultsTest::faultThenCleanPass() {
    QFETCH(int, row);
    const FaultCase& fault = faultCases().at(row);

    fault.arrange(*this);
    KitewellAPI::Timeouts timeouts;
    if (fault.shortTimeouts)
        timeouts.request = timeouts.download = std::chrono::milliseconds(500);
    const auto faulted =
        fault.inChild ? passInChild(fault) : runPass(baseUrl, token, settings, true, {}, timeouts);
    if (fault.expected.isEmpty()) {
        QVERIFY2(faulted.ok(), qPrintable(faulted.errorText()));
    } else {
        QVERIFY2(!faulted.ok(), "the faulted pass succeeded");
        QVERIFY2(faulted.failure->kind != Failure::Kind::Unknown, qPrintable(faulted.errorText()));
        QCOMPARE(faulted.errorText(), fault.expected);
    }
    if (fault.sizeLimit) // the limit struck only once the small original had landed
        QVERIFY(QFile::exists(originalsAlbum() + u"/p1__IMG_1.JPG"_s));

    // The fault goes away (a planted blocker with it); what the pass left must be sound.
    onRequest = nullptr;
    service->clearFaults();
    for (const QString& folder : std::as_const(restoreWritable))
        setMode(folder, 0755);
    restoreWritable.clear();
    if (fault.repair)
        fault.repair(*this);
    verifyNoPartialOrTemporaryFiles();
    verifyState(fault.stage);

    // One clean pass finishes the work, adopting what is on disk; then nothing is left to do.
    int missing = 0;
    for (const albumservice::Photo& photo : candidates())
        missing += !QFile::exists(originalsAlbum() + u'/' + originalName(photo));
    const auto clean = runPass(baseUrl, token, settings, true);
    QVERIFY2(clean.ok(), qPrintable(clean.errorText()));
    QCOMPARE(clean.value->downloadedOriginals, missing);
    verifyConverged(fault.versionsKept);
    QCOMPARE(*runPass(baseUrl, token, settings, true).value, (SyncResult{0, 0, 0, 0}));
}

QTEST_GUILESS_MAIN(FaultsTest)
#include "tst_faults.moc"
