// The faults real users meet, one per row: a service that refuses, cuts, redirects,
// answers nonsense or answers with hostile ids, names and URLs; a state file that leads out of
// the folders; and a disk that refuses, vanishes or fills up. For each fault the pass ends with
// the expected error, writes nothing outside the chosen folders, leaves no partial or
// temporary file, keeps a state file holding exactly what was saved before the fault, and the
// next clean pass converges as a pass without the fault would have (one upload and one
// publication per retouched file).
//
// Permission faults: the tests run as root in CI, and root ignores a folder's write bits.
// Those rows run the faulted pass as the "nobody" user (uid 65534): the sandbox is handed to
// that user and the folder under test made read-only (0555), so the kernel's own permission
// check refuses the write, exactly as for an ordinary user. A file-size limit (RLIMIT_FSIZE)
// ends a process that has not set itself up against it: those rows run the faulted pass in
// this executable started again, as the program starts, under the limit.

#include "support/Scenario.h"

#include "platform/ProcessSetup.h"

#include <QCoroProcess>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTest>

#include <cerrno>
#include <cstdio>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace kitewell;
using namespace testsupport;

namespace {

using Stage = Scenario::Stage;
using Arrange = std::function<void(Scenario&)>;
using Cut = Fault::Cut;
using TransportKind = TransportError::Kind;
constexpr uid_t kNobody = 65534;
const QString kRetouched = u"p2__新娘-入场-精修.jpg"_s;

void setMode(const QString& path, mode_t mode) {
    if (::chmod(QFile::encodeName(path).constData(), mode) != 0)
        qFatal("cannot chmod %s", qPrintable(path));
}

QString originalsAlbum(const Scenario& f) {
    return f.sandbox.originals + u'/' + kAlbumFolder;
}
Arrange faultOn(Endpoint endpoint, const Fault& fault) {
    return [=](Scenario& f) { f.fault(endpoint, fault); };
}
// Redirects the endpoint's requests (`count` of them) to that path of the service's own
// origin, or of the same service under another name (another origin).
enum class To { Home, Away };
Arrange redirect(Endpoint endpoint, To to, const QString& path, int status, int count = -1) {
    return [=](Scenario& f) {
        const QString away = u"http://localhost:"_s + QString::number(f.service->port());
        const QString origin = to == To::Home ? f.baseUrl : away;
        Fault redirect = redirectFault(QUrl(origin + path), status);
        redirect.count = count;
        f.fault(endpoint, redirect);
    };
}
// The album folder, or the state's folder, made read-only.
Arrange readOnly(bool stateFolder) {
    return [stateFolder](Scenario& f) {
        const QString folder = stateFolder ? SyncStorage::supportDirectory() : originalsAlbum(f);
        QDir().mkpath(folder);
        setMode(folder, 0555);
    };
}
// Runs `then` when the service receives the nth request to that endpoint.
Arrange onRequest(Endpoint endpoint, int nth, std::function<void(Scenario&)> then) {
    return [=](Scenario& f) {
        f.onRequestTo(endpoint, [&f, then, nth, seen = 0](const auto&) mutable {
            if (++seen == nth)
                then(f);
        });
    };
}
// The workspace answer, with one photo whose original (unless given) is p1's.
Arrange answer(const QString& photoId, const QString& name, const QString& url = {},
               const QString& eventId = kEventId, const QString& title = u"婚礼/彩排"_s) {
    return [=](Scenario& f) {
        const QString original = url.isEmpty() ? f.service->originalUrl(kEventId, u"p1"_s).toString() : url;
        const QJsonObject workspace{
            {u"event"_s, QJsonObject{{u"id"_s, eventId}, {u"title"_s, title}}},
            {u"photos"_s,
             QJsonArray{QJsonObject{{u"id"_s, photoId}, {u"name"_s, name}, {u"originalUrl"_s, original}}}},
            {u"permissions"_s, QJsonObject{{u"canManageAllPhotos"_s, true}, {u"canUpload"_s, true}}}};
        f.fault(Endpoint::Workspace,
                statusFault(200, QJsonDocument(workspace).toJson(QJsonDocument::Compact)));
    };
}
// p1's record in the state file leads there.
Arrange storedPath(const QString& path) {
    return [=](Scenario& f) {
        f.planted.records.insert(kEventId + u":p1"_s, {u"p1"_s, kEventId, path, std::nullopt, std::nullopt});
        SyncStorage::saveState(f.planted);
    };
}

// One fault: the error it must end with (none: the pass succeeds), what the state file then
// holds, how to make it, and how to take it away again besides clearing the service's faults.
struct FaultCase {
    const char* name = "";
    std::optional<Failure> expected;
    Stage stage = Stage::Nothing;
    Arrange arrange;
    Arrange repair;
    bool asUser = false;  // run the faulted pass as an ordinary user
    qint64 sizeLimit = 0; // run it in a process of its own with this file-size limit
    int versionsKept = 1; // copies of each retouched file the service ends with
};

} // namespace

class FaultsTest : public QObject {
    Q_OBJECT
    std::optional<Scenario> f;

    // The faulted pass as an ordinary user, for the faults root never meets. Only the effective
    // user changes (glibc changes it for every thread), so root is back once the pass has ended.
    Outcome<SyncResult> passAsUser() {
        const bool root = ::geteuid() == 0;
        for (const QString& path : allEntries(f->sandbox.root.path()) + QStringList{f->sandbox.root.path()})
            if (root && ::lchown(QFile::encodeName(path).constData(), kNobody, kNobody) != 0)
                qFatal("cannot hand %s over", qPrintable(path));
        if (root && ::setresuid(-1, kNobody, -1) != 0)
            qFatal("cannot become an ordinary user");
        auto outcome = f->syncOnce();
        // Changing the user made the process undumpable, which would stop LeakSanitizer from
        // inspecting it at exit in the sanitizer build.
        if ((root && ::setresuid(-1, 0, -1) != 0) || ::prctl(PR_SET_DUMPABLE, 1) != 0)
            qFatal("cannot become root again");
        return outcome;
    }

    // The faulted pass in this executable started again (see main) as the program starts, under
    // the file-size limit: the limit must end the pass, not the process.
    Outcome<SyncResult> passInChild(qint64 sizeLimit) {
        QProcess child;
        child.setChildProcessModifier([sizeLimit] {
            const rlimit limit{rlim_t(sizeLimit), rlim_t(sizeLimit)};
            ::setrlimit(RLIMIT_FSIZE, &limit);
        });
        child.start(QCoreApplication::applicationFilePath(),
                    {u"--pass"_s, f->baseUrl, f->token, QString::fromUtf8(f->settings.encode())});
        const bool lived = QCoro::waitFor(qCoro(child).waitForFinished(std::chrono::minutes(2))) &&
                           child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0;
        const QList<QByteArray> seen = child.readAllStandardOutput().split(' '); // kind and code
        if (!lived || seen.size() != 2)
            return {{SyncResult{}, lived ? std::nullopt : std::optional(Failure{.text = u"it died"_s})}};
        return {{std::nullopt, Failure{Failure::Kind(seen[0].toInt()), {}, std::nullopt, seen[1].toInt()}}};
    }

private Q_SLOTS:
    void init() {
        // The ordinary user must be able to reach the sandbox: below /tmp when run as root,
        // whatever TMPDIR says.
        f.emplace(::geteuid() == 0 ? u"/tmp/kitewell-faults-XXXXXX"_s : QString());
        setMode(f->sandbox.root.path(), 0755);
        QVERIFY(QDir().mkpath(SyncStorage::supportDirectory()));
        f->writeRetouched(kRetouched, "精修后的新娘入场");
        f->settings.eventTitle = u"婚礼/彩排"_s;
        f->settings.autoPublishEffects = true;
    }
    void cleanup() { f.reset(); }

    void faultThenCleanPass_data() {
        using enum Stage;
        using enum Endpoint;
        using enum To;
        const std::optional<Failure> ok, closed = transportFailure(TransportKind::ConnectionClosed),
                                         insecure = transportFailure(TransportKind::InsecureRedirect),
                                         invalid = clientFailure(SyncClientError::Case::invalidResponse),
                                         server = clientFailure(SyncClientError::Case::server),
                                         noEntry = fileError(ENOENT), denied = fileError(EACCES),
                                         tooLarge = fileError(EFBIG), tooLong = fileError(ENAMETOOLONG);
        const Arrange blockedAlbum = [](Scenario& f) { writeAged(originalsAlbum(f), "not a folder"); };
        const Arrange blockedState = [](Scenario&) {
            QDir().mkpath(SyncStorage::statePath() + u"/blocker"_s);
        };
        const Arrange unreadableRetouch = [](Scenario& f) { setMode(f.retouched(kRetouched), 0); };
        // The originals are there: the state's save is what meets the limit.
        const Arrange synced = [](Scenario& f) { QVERIFY(f.syncOnce(false).ok()); };
        const Arrange usersOwn =
            onRequest(Original, 1, [](Scenario& f) { writeFile(f.original(u"p3"_s), "the user's own"); });
        const Arrange forget = [](Scenario& f) {
            f.planted = {};
            QFile::remove(SyncStorage::statePath());
        };
        Fault uploadPage = statusFault(200, "<p>ok</p>");
        uploadPage.performRequest = true; // the body of an upload's answer is never read
        const QString p1 = u"/originals/"_s + kEventId + u"/p1"_s;
        const QString publish = u"/api/admin/events/"_s + kEventId + u"/photos/p2/publish"_s;
        const QString x = u"x.jpg"_s, megabytes(10 * 1024 * 1024, u'a');
        // clang-format off
        addRows<FaultCase>({
            // ---- the service: refusals and cuts ----
            {"original reset mid-body", closed, Nothing, faultOn(Original, cutFault(Cut::DropMidBody, 1))},
            // A download's error answer never lands on disk.
            {"original 500", server, Nothing, faultOn(Original, statusFault(500, R"({"error":"x"})", 1))},
            // Half a document must never count as the answer.
            {"workspace truncated", closed, Nothing, faultOn(Workspace, cutFault(Cut::TruncateBody))},
            {"upload 507", server, Originals, faultOn(UploadVersion, statusFault(507))},
            {"upload answer not JSON", ok, Published, faultOn(UploadVersion, uploadPage)},
            {"publish 503", server, Uploaded, faultOn(Publish, statusFault(503))},
            // The service stored the upload and then lost the connection: the program cannot
            // tell, so the next pass sends the file again (the protocol has no way to ask).
            {.name = "upload answer cut after the service kept it", .expected = closed, .stage = Originals,
             .arrange = faultOn(UploadVersion, cutFault(Cut::DropMidBody)), .versionsKept = 2},

            // ---- the service: redirects. The token goes to the service's own origin only; an
            // original may come from anywhere on the web, but never from a local file. ----
            {"publish redirected home, body sent again", ok, Published, redirect(Publish, Home, publish, 308, 1)},
            {"upload redirected away", insecure, Originals, redirect(UploadVersion, Away, u"/up"_s, 302)},
            {"original redirected endlessly", transportFailure(TransportKind::TooManyRedirects), Nothing,
             redirect(Original, Home, p1, 307)},

            // ---- the service: hostile answers, refused before anything is written ----
            {"photo id of two dots", invalid, Nothing, answer(u".."_s, x)},
            {"photo id with NUL", invalid, Nothing, answer(u"p1\0x"_s, x)},
            {"photo name with NUL", invalid, Nothing, answer(u"p1"_s, u"x\0.jpg"_s)},
            // The folder name takes the id's first 8 characters: "x--/../../x" leads beside the folders.
            {"album id climbing out", invalid, Nothing, answer(u"p1"_s, x, {}, u"/../../x"_s)},
            {"file URL", invalid, Nothing, answer(u"p1"_s, x, u"file:///etc/passwd"_s)},
            {"URL with NUL", invalid, Nothing, answer(u"p1"_s, x, u"http://127.0.0.1/\0x"_s)},
            {"10 MB photo id", tooLong, Nothing, answer(megabytes, x)},
            {"stored absolute path", invalid, Nothing, storedPath(u"/tmp/kitewell-escape.jpg"_s), forget},
            {"stored path climbing out", invalid, Nothing, storedPath(kAlbumFolder + u"/../../../x.jpg"_s),
             forget},

            // ---- the local side ----
            {"file in place of the album folder", fileError(ENOTDIR), Nothing, blockedAlbum,
             [](Scenario& f) { QFile::remove(originalsAlbum(f)); }},
            {"album folder deleted during the pass", noEntry, Nothing,
             onRequest(Original, 2, [](Scenario& f) { QDir(originalsAlbum(f)).removeRecursively(); })},
            {"retouch folder deleted during the pass", noEntry, Originals,
             onRequest(Original, 1, [](Scenario& f) { QDir(f.retouched({})).removeRecursively(); })},
            // The user's own file lands where p3's original goes while p1's is on its way: it is kept.
            {"file appearing at a destination", ok, Published, usersOwn, [](Scenario& f) {
                 QVERIFY(readFile(f.original(u"p3"_s)) == "the user's own" && QFile::remove(f.original(u"p3"_s)));
             }},
            {"folder in place of the state file", fileError(EISDIR), Nothing, blockedState,
             [](Scenario&) { QDir(SyncStorage::statePath()).removeRecursively(); }},
            {"read-only album folder", denied, Nothing, readOnly(false), {}, true},
            {"unwritable state folder", denied, Nothing, readOnly(true), {}, true},
            {"unreadable retouched file", denied, Originals, unreadableRetouch, {}, true},
            {"file-size limit mid-download", tooLarge, Nothing, [](Scenario&) {}, {}, false, 64 * 1024},
            {"file-size limit while saving the state", tooLarge, Originals, synced, {}, false, 256},
        });
        // clang-format on
    }

    void faultThenCleanPass() {
        QFETCH(FaultCase, row);
        row.arrange(*f);
        const auto faulted = row.sizeLimit ? passInChild(row.sizeLimit)
                             : row.asUser  ? passAsUser()
                                           : f->syncOnce();
        QVERIFY2(sameFailure(faulted.failure, row.expected), qPrintable(faulted.errorText()));
        QVERIFY(!QFile::exists(u"/tmp/kitewell-escape.jpg"_s));

        // The fault goes away (a planted blocker with it); what the pass left must be sound.
        f->onRequestTo(Endpoint::Unknown, {});
        f->service->clearFaults();
        for (const QString& path : allEntries(f->sandbox.root.path()))
            setMode(path, QFileInfo(path).isDir() ? 0755 : 0644);
        f->verifyState(row.stage);
        if (row.repair)
            row.repair(*f);
        f->verifyNoLeftovers();

        // One clean pass finishes the work, adopting what is on disk, and converges.
        const int missing =
            int(std::ranges::count_if(QStringList{u"p1"_s, u"p2"_s, u"p3"_s},
                                      [this](const QString& id) { return !QFile::exists(f->original(id)); }));
        const auto clean = f->syncOnce();
        QVERIFY2(clean.ok(), qPrintable(clean.errorText()));
        QCOMPARE(clean.value->downloadedOriginals, missing);
        f->verifyConverged();
        QCOMPARE(f->service->versions().size(), f->service->publications().size() * row.versionsKept);
    }
};

int main(int argc, char** argv) {
    // Started again by passInChild: the program's own start, one pass, and how it failed, if it
    // did, on standard output.
    if (argc == 5 && qstrcmp(argv[1], "--pass") == 0) {
        setUpProcess();
        const QCoreApplication app(argc, argv);
        KitewellAPI api(QString::fromUtf8(argv[2]), QString::fromUtf8(argv[3]));
        SyncEngine engine(api);
        const auto outcome = outcomeOf(engine.synchronize(SyncSettings::decode(argv[4]), true));
        if (outcome.failure)
            std::printf("%d %d", int(outcome.failure->kind), outcome.failure->code);
        return 0;
    }
    QCoreApplication app(argc, argv);
    FaultsTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_faults.moc"
