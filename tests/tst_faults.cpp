// The faults real users meet, one per row: a service that refuses, cuts, stalls, redirects
// or answers nonsense, and a disk that refuses, vanishes or fills up. For each fault the
// pass ends with the expected error, leaves no partial or temporary file, keeps a decodable
// state file holding exactly what was saved before the fault, and the next clean pass
// converges as a pass without the fault would have (one upload and one publication per
// retouched file).
//
// Permission faults: the tests run as root in CI, and root ignores a folder's write bits.
// Those rows run the faulted pass in a child process (tests/helpers/kitewell_pass_child)
// that drops to the "nobody" user (uid 65534) first; the sandbox is handed to that user
// and the folder under test made read-only (0555), so the kernel's own permission check
// refuses the write, exactly as for an ordinary user. The file-size limit (RLIMIT_FSIZE)
// is set in that child too, never in the test process.

#include "support/Scenario.h"

#include <QDirIterator>
#include <QProcess>
#include <QTest>

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

using namespace kitewell;
using namespace testsupport;

namespace {

using Stage = Scenario::Stage;
using Arrange = std::function<void(Scenario&)>;
using Cut = Fault::Cut;
constexpr uid_t kNobody = 65534;
const QString kRetouched = u"p2__新娘-入场-精修.jpg"_s;

const Failure kClosed = transportFailure(TransportError::Kind::ConnectionClosed);
const Failure kNoEntry = fileError(ENOENT);
const Failure kDenied = fileError(EACCES);
const Failure kTooLarge = fileError(EFBIG);
const Failure kServer = clientFailure(SyncClientError::Case::server);

void setMode(const QString& path, mode_t mode) {
    if (::chmod(QFile::encodeName(path).constData(), mode) != 0)
        qFatal("cannot chmod %s", qPrintable(path));
}

// Everything in the sandbox, the sandbox too.
QStringList everything(const Scenario& f) {
    QStringList paths{f.sandbox.root.path()};
    QDirIterator it(f.sandbox.root.path(),
                    QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        paths.append(it.next());
    return paths;
}

QString originalsAlbum(const Scenario& f) {
    return f.sandbox.originals + u'/' + kAlbumFolder;
}
QString stateFolder(const Scenario&) {
    return SyncStorage::supportDirectory();
}
Arrange faultOn(Endpoint endpoint, const Fault& fault) {
    return [=](Scenario& f) { f.fault(endpoint, fault); };
}
Arrange readOnly(QString (*folder)(const Scenario&)) {
    return [folder](Scenario& f) {
        QDir().mkpath(folder(f));
        setMode(folder(f), 0555);
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

// One fault: how to make it, the error it must end with (none: the pass succeeds), what the
// state file then holds, and how to take it away again besides clearing the service's faults.
struct FaultCase {
    const char* name = "";
    std::optional<Failure> expected;
    Stage stage = Stage::Nothing;
    Arrange arrange;
    Arrange repair;
    bool inChild = false; // run the faulted pass in the unprivileged child
    qint64 sizeLimit = 0; // RLIMIT_FSIZE of that child
    int versionsKept = 1; // copies of each retouched file the service ends with
};

} // namespace

class FaultsTest : public QObject {
    Q_OBJECT
    std::optional<Scenario> f;

    Outcome<SyncResult> passInChild(qint64 sizeLimit) {
        // Hands the sandbox to the unprivileged user (as root only).
        for (const QString& path : everything(*f)) {
            if (::geteuid() == 0 && ::lchown(QFile::encodeName(path).constData(), kNobody, kNobody) != 0)
                qFatal("cannot hand %s over", qPrintable(path));
        }
        QStringList arguments{f->baseUrl, f->token, QString::fromLatin1(f->settings.encode().toBase64())};
        if (sizeLimit)
            arguments << QString::number(sizeLimit);
        QProcess child;
        child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        child.start(QStringLiteral(KITEWELL_PASS_CHILD), arguments);
        // The service answers from this process's event loop while the child works.
        const bool ran = child.waitForStarted() &&
                         QTest::qWaitFor([&] { return child.state() == QProcess::NotRunning; }, 60'000) &&
                         child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0;
        const QList<QByteArray> words = child.readAllStandardOutput().trimmed().split(' ');
        Outcome<SyncResult> outcome;
        if (ran && words.size() == 5 && words[0] == "ok")
            outcome.value =
                SyncResult{words[1].toInt(), words[2].toInt(), words[3].toInt(), words[4].toInt()};
        else if (ran && words.size() == 4 && words[0] == "failed")
            outcome.failure = Failure{
                Failure::Kind(words[1].toInt()), QString::fromLatin1(words.join(' ')),
                words[2].toInt() < 0 ? std::nullopt : std::optional(SyncClientError::Case(words[2].toInt())),
                words[3].toInt()};
        else
            outcome.failure = Failure{Failure::Kind::Unknown, u"the child did not run"_s};
        return outcome;
    }

private Q_SLOTS:
    void init() {
        // The unprivileged child must be able to reach the sandbox: below /tmp when run as root,
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
        const Arrange blockedAlbum = [](Scenario& f) { writeAged(originalsAlbum(f), "not a folder"); };
        const Arrange blockedState = [](Scenario&) {
            QDir().mkpath(SyncStorage::statePath() + u"/blocker"_s);
        };
        const Arrange unreadableRetouch = [](Scenario& f) { setMode(f.retouched(kRetouched), 0); };
        const Arrange shortLimits = [](Scenario& f) {
            f.timeouts.request = f.timeouts.download = std::chrono::milliseconds(500);
            f.fault(Endpoint::Original, cutFault(Cut::Stall, 1));
        };
        // Users keep every album they ever synced: a large state meets a full disk.
        const Arrange largeState = [](Scenario& f) {
            for (int i = 0; i < 20'000; ++i)
                f.foreign.records.insert(u"other:q"_s + QString::number(i),
                                         {u"q"_s + QString::number(i), u"other"_s, u"Other--other/a.jpg"_s,
                                          u"1024-1700000000"_s, std::nullopt});
            SyncStorage::saveState(f.foreign);
        };
        // The first upload removes the other file, listed already but not sent yet.
        const Arrange vanishes = [](Scenario& f) {
            f.writeRetouched(u"p1__a.jpg"_s, "retouched p1");
            f.onRequestTo(Endpoint::UploadVersion, [&f](const albumservice::RecordedRequest& request) {
                QFile::remove(
                    f.retouched(request.target.contains("/photos/p1/") ? kRetouched : u"p1__a.jpg"_s));
            });
        };
        const Arrange sameOriginRedirect = [](Scenario& f) {
            Fault redirect =
                redirectFault(QUrl(f.baseUrl + u"/api/publisher/events/"_s + kEventId + u"/workspace"_s));
            redirect.count = 1;
            f.fault(Endpoint::Workspace, redirect);
        };
        Fault uploadPage = statusFault(200, "<p>ok</p>");
        uploadPage.performRequest = true; // the body of an upload's answer is never read
        const Fault wronglyTyped =
            statusFault(200, R"({"event":{"id":"evt-2024-wedding","title":"x"},"photos":[],)"
                             R"("permissions":{"canManageAllPhotos":true,"canUpload":"yes"}})");
        addRows<FaultCase>({
            // ---- the service side ----
            {"original reset mid-body", kClosed, Nothing,
             faultOn(Endpoint::Original, cutFault(Cut::DropMidBody, 1))},
            {"original truncated", kClosed, Nothing,
             faultOn(Endpoint::Original, cutFault(Cut::TruncateBody, 1))},
            {"original stalls", transportFailure(TransportError::Kind::TimedOut), Nothing, shortLimits},
            // A download's error answer never lands on disk.
            {"original 500", kServer, Nothing,
             faultOn(Endpoint::Original, statusFault(500, R"({"error":"x"})", 1))},
            // Half a document must never count as the answer.
            {"workspace truncated", kClosed, Nothing,
             faultOn(Endpoint::Workspace, cutFault(Cut::TruncateBody))},
            {"workspace wrongly typed", clientFailure(SyncClientError::Case::invalidResponse), Nothing,
             faultOn(Endpoint::Workspace, wronglyTyped)},
            {"workspace redirected within the origin", {}, Published, sameOriginRedirect},
            {"upload 507", kServer, Originals, faultOn(Endpoint::UploadVersion, statusFault(507))},
            {"upload answer not JSON", {}, Published, faultOn(Endpoint::UploadVersion, uploadPage)},
            {"publish 503", kServer, Uploaded, faultOn(Endpoint::Publish, statusFault(503))},
            // The service stored the upload and then lost the connection: the program cannot
            // tell, so the next pass sends the file again (the protocol has no way to ask).
            {.name = "upload answer cut after the service kept it",
             .expected = kClosed,
             .stage = Originals,
             .arrange = faultOn(Endpoint::UploadVersion, cutFault(Cut::DropMidBody)),
             .versionsKept = 2},

            // ---- the local side ----
            {"file in place of the album folder", fileError(ENOTDIR), Nothing, blockedAlbum,
             [](Scenario& f) { QFile::remove(originalsAlbum(f)); }},
            {"album folder deleted during the pass", kNoEntry, Nothing,
             onRequest(Endpoint::Original, 2,
                       [](Scenario& f) { QDir(originalsAlbum(f)).removeRecursively(); })},
            {"retouch folder deleted during the pass", kNoEntry, Originals,
             onRequest(Endpoint::Original, 1,
                       [](Scenario& f) { QDir(f.retouched({})).removeRecursively(); })},
            // Gone by its turn: nothing to return, and nothing wrong.
            {"retouched file vanishes before its upload", {}, Published, vanishes},
            {"folder in place of the state file", fileError(EISDIR), Nothing, blockedState,
             [](Scenario&) { QDir(SyncStorage::statePath()).removeRecursively(); }},
            {"read-only album folder", kDenied, Nothing, readOnly(originalsAlbum), {}, true},
            {"unwritable state folder", kDenied, Nothing, readOnly(stateFolder), {}, true},
            {"unreadable retouched file", kDenied, Originals, unreadableRetouch, {}, true},
            {"file-size limit mid-download", kTooLarge, Nothing, [](Scenario&) {}, {}, true, 64 * 1024},
            {"file-size limit while saving a large state", kTooLarge, Nothing, largeState, {}, true, 240'000},
        });
    }

    void faultThenCleanPass() {
        QFETCH(FaultCase, row);
        row.arrange(*f);
        const auto faulted = row.inChild ? passInChild(row.sizeLimit) : f->syncOnce();
        QVERIFY2(sameFailure(faulted.failure, row.expected), qPrintable(faulted.errorText()));

        // The fault goes away (a planted blocker with it); what the pass left must be sound.
        f->onRequestTo(Endpoint::Unknown, {});
        f->service->clearFaults();
        f->timeouts = {};
        for (const QString& path : everything(*f))
            setMode(path, QFileInfo(path).isDir() ? 0755 : 0644);
        if (row.repair)
            row.repair(*f);
        f->verifyNoLeftovers();
        f->verifyState(row.stage);

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

QTEST_GUILESS_MAIN(FaultsTest)
#include "tst_faults.moc"
