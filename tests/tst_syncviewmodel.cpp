// The controller against the album service, real folders and the private Secret Service
// that the test run starts: restore, sign-in, albums, folders, switches, passes and polling.

#include "app/SyncViewModel.h"
#include "credentials/KeychainStore.h"
#include "storage/SyncStorage.h"
#include "support/Files.h"
#include "support/Fixture.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <sys/resource.h>

using namespace kitewell;
using namespace testsupport;
using namespace std::chrono_literals;

namespace {

const QString kSignedIn = u"已登录。选择相册和本地文件夹后，可开启自动同步。"_s;
const QString kRestored = u"已恢复登录会话。"_s;
const QString kTwoDownloaded = u"同步完成：下载原图 2 张。"_s;
const QString kNothingNew = u"已检查：没有需要同步的新文件。"_s;
const QString kNothingNewByHand = u"同步完成：没有新的原图或精修图。"_s;

using Arrange = std::function<void(SyncSettings&)>;
using Act = std::function<void(SyncViewModel&)>;

struct RestoreRow {
    QString token; // none, the service's own ("issued") or one it refuses
    bool reachable = true;
    QString album; // the one saved
    QString message;
    bool tokenKept = true;
};

struct SignInRow {
    QString email, password;
    Fault fault;
    QString message;
    bool warning = true; // the status line shows it in orange
    int sent = 1;        // sign-in requests
};

// From the arranged settings, one change; what the settings then hold, on the arranged ones,
// and whether polling runs.
struct ChoiceRow {
    Arrange arrange;
    Act act;
    Arrange changed;
    bool polls;
};

// What is left of the wait of each armed timer on the boot-time clock (clockid 7) of this
// process, in seconds, as /proc/self/fdinfo shows a timerfd.
QList<double> armedBootTimers() {
    static const QRegularExpression timer(u"clockid: 7\n(?:.*\n)*it_value: \\((\\d+), (\\d+)\\)"_s);
    QList<double> armed;
    for (QDirIterator it(u"/proc/self/fdinfo"_s, QDir::Files); it.hasNext();)
        if (const auto match = timer.match(QString::fromLatin1(readFile(it.next())));
            match.hasMatch() && match.captured(1).toDouble() + match.captured(2).toDouble() > 0)
            armed.append(match.captured(1).toDouble() + match.captured(2).toDouble() / 1e9);
    return armed;
}

// The folders this process watches through inotify, as /proc/self/fdinfo shows them.
qsizetype inotifyWatches() {
    qsizetype watches = 0;
    for (QDirIterator it(u"/proc/self/fdinfo"_s, QDir::Files); it.hasNext();)
        watches += readFile(it.next()).count("inotify wd:");
    return watches;
}

} // namespace

Q_DECLARE_METATYPE(RestoreRow)
Q_DECLARE_METATYPE(SignInRow)
Q_DECLARE_METATYPE(ChoiceRow)

class SyncViewModelTest : public QObject {
    Q_OBJECT

    std::unique_ptr<AlbumService> service;
    std::unique_ptr<Sandbox> sandbox;
    QList<std::optional<QString>> pickerAnswers; // what the folder panel returns, in turn

    // Signed in through the form when asked; `settings` saved first, if any.
    std::unique_ptr<SyncViewModel> makeModel(bool signedIn, std::optional<SyncSettings> settings = {},
                                             std::chrono::milliseconds interval = 100ms) {
        if (settings)
            SyncStorage::saveSettings(*settings);
        const auto picker = [this](const QString&, const QString&) {
            return pickerAnswers.isEmpty() ? std::nullopt : pickerAnswers.takeFirst();
        };
        auto model = std::make_unique<SyncViewModel>(
            SyncViewModel::Options{picker, interval, false, service->baseUrl().toString()});
        model->setEmail(kEmail);
        model->setPassword(kPassword);
        if (signedIn)
            outcomeOf(model->signIn());
        return model;
    }

    // Album e2 ("A", two photos) and the originals folder chosen, automatic sync on, returns off.
    SyncSettings chosen() const {
        SyncSettings settings = sandbox->settings(u"e2"_s);
        settings.effectDirectoryBookmark.reset();
        return settings;
    }

private Q_SLOTS:
    void init() {
        service = startService();
        service->addEvent({u"e1"_s, u"b"_s, u"owner"_s});
        service->addEvent({u"e2"_s, u"A"_s, std::nullopt});
        service->addEvent({u"e3"_s, u"a10"_s, std::nullopt});
        service->addEvent({u"e4"_s, u"a9"_s, std::nullopt});
        service->addPhoto(u"e2"_s, photo(u"p1"_s, u"IMG_1.JPG"_s), 2000);
        service->addPhoto(u"e2"_s, photo(u"p2"_s, u"IMG_2.JPG"_s), 2000);
        sandbox = std::make_unique<Sandbox>();
        KeychainStore::deleteToken();
        pickerAnswers.clear();
    }

    void cleanup() {
        KeychainStore::deleteToken();
        sandbox.reset();
        service.reset();
    }

    void restoreSession_data() {
        QTest::addColumn<RestoreRow>("row");
        const QString again = u"请重新登录以启动电脑同步。"_s, issued = u"issued"_s;
        QTest::newRow("no token") << RestoreRow{
            {}, true, u"e2"_s, u"登录后，选择相册与两个本地文件夹即可开始同步。"_s, false};
        QTest::newRow("valid token") << RestoreRow{issued, true, u"e2"_s, kRestored};
        QTest::newRow("album gone meanwhile") << RestoreRow{issued, true, u"gone"_s, kRestored};
        QTest::newRow("rejected token") << RestoreRow{u"expired-token"_s, true, u"e2"_s, again, false};
        QTest::newRow("service unreachable") << RestoreRow{issued, false, u"e2"_s, again};
    }

    // With the program's own options, but for the service's origin.
    void restoreSession() {
        QFETCH(RestoreRow, row);
        if (!row.token.isEmpty())
            KeychainStore::saveToken(row.token == u"issued"_s ? service->issueToken(kEmail) : row.token);
        SyncSettings settings = chosen();
        settings.eventId = row.album;
        settings.eventTitle = u"old title"_s;
        settings.baseURL = u"https://evil.example"_s;
        SyncStorage::saveSettings(settings);
        const QByteArray saved = readFile(SyncStorage::settingsPath());
        SyncViewModel model(
            {.serviceOrigin = row.reachable ? service->baseUrl().toString() : closedPortUrl()});
        QStringList seen;
        connect(&model, &SyncViewModel::messageChanged, &model, [&] { seen.append(model.message()); });
        // The first frame shows the sign-in screen; the origin in use is the program's.
        QVERIFY(!model.account() && model.settings().baseURL != settings.baseURL);
        if (row.token.isEmpty())
            QCoreApplication::processEvents(); // the restore runs, and finds nothing to do
        QTRY_COMPARE(seen.value(0, model.message()), row.message);
        QCOMPARE(model.account().has_value(), row.message == kRestored);
        QCOMPARE(KeychainStore::readToken().has_value(), row.tokenKept);
        // Nothing is written at start, and an album still listed keeps even its old title; a
        // vanished one is replaced by the first by title, and that is saved, with the origin in use.
        const QByteArray now = readFile(SyncStorage::settingsPath());
        QVERIFY(row.album == u"gone"_s ? !now.contains("evil") && model.settings().eventTitle == u"A"_s
                                       : now == saved && model.settings().eventTitle == u"old title"_s);
        if (!model.account())
            return;
        // Polling starts, its first pass at once, and then sleeps the program's interval on the
        // clock that runs on while the computer sleeps.
        QTRY_COMPARE(model.message(), kTwoDownloaded);
        QTRY_COMPARE(armedBootTimers().size(), 1);
        const double left = armedBootTimers().constFirst();
        QVERIFY2(left > 14 && left <= 15, qPrintable(QString::number(left)));
    }

    void signIn_data() {
        QTest::addColumn<SignInRow>("row");
        const QString incomplete = u"请输入邮箱和密码。"_s;
        const auto refusal = [](const QString& text) {
            return statusFault(403, QByteArray("{\"error\":\"") + text.toUtf8() + "\"}");
        };
        QTest::newRow("success, e-mail trimmed")
            << SignInRow{u"  "_s + kEmail + u"\n"_s, kPassword, {}, kSignedIn, false};
        QTest::newRow("spaces only") << SignInRow{u" \t\u3000 "_s, kPassword, {}, incomplete, true, 0};
        QTest::newRow("empty password") << SignInRow{kEmail, {}, {}, incomplete, true, 0};
        QTest::newRow("password of spaces is a password") << SignInRow{kEmail, u"  "_s, {}, kUnauthorized};
        QTest::newRow("only a line break is sent, trimmed")
            << SignInRow{u"\n"_s, kPassword, {}, kUnauthorized};
        QTest::newRow("refused, 无法")
            << SignInRow{kEmail, kPassword, refusal(u"账号已停用，无法登录"_s), u"账号已停用，无法登录"_s};
        QTest::newRow("refused, near misses") << SignInRow{
            kEmail, kPassword, refusal(u"无 法 登 录：清除后重试"_s), u"无 法 登 录：清除后重试"_s, false};
        QTest::newRow("no session") << SignInRow{kEmail, kPassword, statusFault(200, "{}"),
                                                 u"登录成功但未取得电脑同步会话，请稍后重试。"_s};
    }

    void signIn() {
        QFETCH(SignInRow, row);
        service->setFault(Endpoint::SignIn, row.fault);
        const auto model = makeModel(false);
        model->setEmail(row.email);
        model->setPassword(row.password);
        QVERIFY(outcomeOf(model->signIn()).ok());
        QCOMPARE(model->message(), row.message);
        QCOMPARE(model->messageIsWarning(), row.warning);
        QCOMPARE(service->requests(Endpoint::SignIn).size(), row.sent);
        if (row.sent) // the address as the service receives it
            QVERIFY(service->requests(Endpoint::SignIn)[0].body.contains(
                row.email == u"\n"_s ? R"("email":"")" : "@"));
        const bool success = row.message == kSignedIn;
        QVERIFY(model->account().has_value() == success && KeychainStore::readToken().has_value() == success);
        QVERIFY(!model->isWorking() && model->email() == row.email);
        QCOMPARE(model->password(), success ? QString() : row.password);
    }

    void albumListAndRefresh() {
        // e2's title in another case: the same to the file browser, so service order is kept.
        service->addEvent({u"e5"_s, u"a"_s, std::nullopt});
        SyncSettings settings = chosen();
        settings.eventId = u"gone"_s;

        // The process runs in the C locale (see main), where Qt's own collation is plain.
        const auto model = makeModel(true, settings);
        QStringList order;
        for (const AlbumEvent& event : model->events())
            order.append(event.id);
        QCOMPARE(order, (QStringList{u"e2"_s, u"e5"_s, u"e4"_s, u"e3"_s, u"e1"_s})); // A, a, a9, a10, b
        // A vanished album is replaced by the first by title, and that is saved; arriving with
        // the sign-in, it is where the workspace starts, and polling waits for the user.
        QVERIFY(model->selectedEventIndex() == 0 && model->settings().eventTitle == u"A"_s);
        QCOMPARE(SyncStorage::loadSettings().value_or(SyncSettings{}), model->settings());
        QVERIFY(!model->isPolling());

        // One replaced by a refresh is a change of album: polling restarts.
        service->removeEvent(u"e2"_s);
        QVERIFY(outcomeOf(model->reloadWorkspace()).ok());
        QCOMPARE(model->message(), u"相册列表已刷新。"_s);
        QVERIFY(model->selectedEvent()->id == u"e5"_s && model->settings().eventTitle == u"a"_s);
        QVERIFY(model->isPolling());

        // A refresh the service refuses reports, and signs nobody out.
        service->revokeAllTokens();
        QVERIFY(outcomeOf(model->reloadWorkspace()).ok());
        QVERIFY(model->message() == kUnauthorized && model->account());

        // With no album left, none is chosen, that is saved too, and polling stops.
        KeychainStore::saveToken(service->issueToken(kEmail));
        for (const QString& id : {u"e1"_s, u"e3"_s, u"e4"_s, u"e5"_s})
            service->removeEvent(id);
        QVERIFY(outcomeOf(model->reloadWorkspace()).ok());
        QVERIFY(model->events().isEmpty() && !model->selectedEvent() && !model->settings().eventTitle);
        QVERIFY(!readFile(SyncStorage::settingsPath()).contains("eventId") && !model->isPolling());
    }

    void choicesAreSavedAndRedecidePolling_data() {
        // From album e2 with its originals folder and automatic sync on (as arranged), one
        // change: the settings it leaves are saved at once, and polling runs exactly when
        // everything it needs is there.
        QTest::addColumn<ChoiceRow>("row");
        const Arrange asChosen = [](SyncSettings&) {};
        const Arrange publishing = [](SyncSettings& s) { s.autoPublishEffects = true; };
        const Arrange returning = [](SyncSettings& s) { s.autoUploadEffects = true; };
        const Act publish = [](SyncViewModel& m) { m.setAutoPublishEffects(true); };
        const Act returns = [](SyncViewModel& m) { m.setAutoUploadEffects(true); };
        const Arrange bothFolders = [this](SyncSettings& s) {
            s.effectDirectoryBookmark = sandbox->settings({}).effectDirectoryBookmark;
        };
        const Arrange returningWithFolder = [=](SyncSettings& s) { bothFolders(s), returning(s); };
        QTest::newRow("another album")
            << ChoiceRow{asChosen, [](SyncViewModel& m) { m.chooseAlbum(u"e4"_s); },
                         [](SyncSettings& s) { s.eventId = u"e4"_s, s.eventTitle = u"a9"_s; }, true};
        QTest::newRow("请选择") << ChoiceRow{asChosen, [](SyncViewModel& m) { m.chooseAlbumAt(-1); },
                                             [](SyncSettings& s) { s.eventId.reset(); }, false};
        QTest::newRow("automatic sync off, polling returns")
            << ChoiceRow{returningWithFolder,
                         [](SyncViewModel& m) { m.startPollingIfNeeded(), m.setAutoSyncEnabled(false); },
                         [](SyncSettings& s) { s.autoSyncEnabled = false; }, false};
        QTest::newRow("returns on, no retouch folder") << ChoiceRow{asChosen, returns, returning, false};
        QTest::newRow("returns on, with retouch folder") << ChoiceRow{bothFolders, returns, returning, true};
        QTest::newRow("publishing plays no part") << ChoiceRow{asChosen, publish, publishing, true};
        QTest::newRow("no originals folder") << ChoiceRow{
            [](SyncSettings& s) { s.originalDirectoryBookmark.reset(); }, publish, publishing, false};
        QTest::newRow("signed out, polling returns") << ChoiceRow{
            returningWithFolder, [=](SyncViewModel& m) { m.startPollingIfNeeded(), m.logout(), publish(m); },
            publishing, false};
    }

    void choicesAreSavedAndRedecidePolling() {
        QFETCH(ChoiceRow, row);
        SyncSettings settings = chosen();
        row.arrange(settings);
        const auto model = makeModel(true, settings);
        row.act(*model);
        row.changed(settings);
        settings.baseURL = model->settings().baseURL;
        QCOMPARE(model->settings(), settings);
        QCOMPARE(SyncStorage::loadSettings().value_or(SyncSettings{}), settings);
        QCOMPARE(model->isPolling(), row.polls);
        // The album's return folder is watched exactly while polling returns files.
        QCOMPARE(inotifyWatches() > 0, row.polls && settings.autoUploadEffects);
        if (row.polls) // the first pass runs at once
            QTRY_VERIFY(!service->requests(Endpoint::Workspace).isEmpty());
    }

    void folderChoiceAndFolderTexts() {
        const auto model = makeModel(true);
        const QString originalsPrompt = u"选择原图同步文件夹"_s, effectsPrompt = u"选择精修回传文件夹"_s;
        const QString moved = sandbox->root.filePath(u"moved"_s);
        pickerAnswers = {std::nullopt, sandbox->effects, moved, sandbox->originals, sandbox->originals};
        model->chooseFolder(FolderKind::original); // cancelled: nothing changes
        QVERIFY(model->message() == kSignedIn && !model->settings().originalDirectoryBookmark);
        QCOMPARE(model->originalFolderText(), originalsPrompt);

        model->chooseFolder(FolderKind::effect);
        QCOMPARE(model->message(), u"精修回传文件夹已设置。"_s);
        QTRY_COMPARE(model->effectFolderText(), sandbox->effects);

        model->chooseFolder(FolderKind::original); // gone before it could be remembered
        QVERIFY(!model->settings().originalDirectoryBookmark && !model->message().endsWith(u"已设置。"_s));

        model->chooseFolder(FolderKind::original);
        QVERIFY(model->message() == u"原图文件夹已设置。"_s && model->isPolling());
        QCOMPARE(SyncStorage::loadSettings()->originalDirectoryBookmark,
                 model->settings().originalDirectoryBookmark);
        QTRY_COMPARE(model->originalFolderText(), sandbox->originals);
        QTRY_COMPARE(model->message(), kTwoDownloaded); // the first pass runs at once

        // A folder replaced by another at its path is stale, and a deleted one does not
        // resolve: with the next change shown, both rows prompt again.
        QVERIFY(QDir().rename(sandbox->effects, moved) && QDir().mkpath(sandbox->effects));
        QVERIFY(QDir(sandbox->originals).removeRecursively());
        QTRY_COMPARE(model->effectFolderText(), effectsPrompt);
        QTRY_COMPARE(model->originalFolderText(), originalsPrompt);

        // A folder chosen while the settings cannot be saved: the save's failure shows, then
        // the success, and the running program goes by the new folder.
        model->setAutoSyncEnabled(false);
        QTRY_VERIFY(!model->isWorking());
        QVERIFY(QDir().mkpath(sandbox->originals) &&
                QDir(SyncStorage::supportDirectory()).removeRecursively());
        QVERIFY(writeFile(SyncStorage::supportDirectory(), "a file where the data folder belongs"));
        QSignalSpy messages(model.get(), &SyncViewModel::messageChanged);
        model->chooseFolder(FolderKind::original);
        QVERIFY(messages.size() == 2 && model->message() == u"原图文件夹已设置。"_s);
        QVERIFY(model->settings().originalDirectoryBookmark);
    }

    void passMessages() {
        // Downloads alone, and nothing new, are what the passes below report.
        const QString unmatched = u" 有 %1 张精修图无法匹配原图，请保留下载文件名中照片 ID 前缀。"_s;
        QCOMPARE(SyncViewModel::passMessage({12345, 1, 1, 2}, true, false),
                 u"同步完成：下载原图 12345 张，回传精修图 1 张，发布 1 张。"_s + unmatched.arg(2));
        QCOMPARE(SyncViewModel::passMessage({0, 0, 0, 1}, true, false), kNothingNewByHand + unmatched.arg(1));
        QCOMPARE(SyncViewModel::passMessage({0, 0, 0, 4}, false, false), kNothingNewByHand);
    }

    void passesByHand() {
        SyncSettings settings = chosen();
        settings.autoSyncEnabled = false;
        const auto model = makeModel(true, settings);
        QVERIFY(outcomeOf(model->synchronize(false, false)).ok());
        QCOMPARE(model->message(), kTwoDownloaded);
        const std::optional<QDateTime> firstSynced = model->lastSyncedAt();

        // A pass asked for while another works returns at once and changes nothing; a failure
        // shows and leaves the time of the last sync as it was.
        Fault failure = statusFault(503);
        failure.delayMs = 300;
        service->setFault(Endpoint::Workspace, failure);
        auto failing = model->synchronize(false, false);
        QSignalSpy messages(model.get(), &SyncViewModel::messageChanged);
        QVERIFY(model->isWorking() && outcomeOf(model->synchronize(true, false)).ok() && messages.isEmpty());
        model->requestReloadWorkspace(); // a refresh, though, does start meanwhile
        QTRY_COMPARE(service->requests(Endpoint::Bootstrap).size(), 2);
        QVERIFY(outcomeOf(std::move(failing)).ok() && !model->isWorking());
        QVERIFY(model->message() == u"服务器返回 503。"_s && model->lastSyncedAt() == firstSynced);
        QCOMPARE(service->requests(Endpoint::Workspace).size(), 2);

        service->clearFaults();
        QVERIFY(outcomeOf(model->synchronize(false, false)).ok());
        QVERIFY(model->message() == kNothingNewByHand && model->lastSyncedAt() > firstSynced);

        // Refused as unauthorized: signed out, the token deleted; the e-mail, album and folders
        // stay for the next sign-in.
        service->revokeAllTokens();
        QVERIFY(outcomeOf(model->synchronize(false, false)).ok());
        QVERIFY(model->message() == u"已退出电脑同步助手。"_s && !model->account() &&
                !KeychainStore::readToken());
        QVERIFY(model->email() == kEmail && model->settings().eventId == settings.eventId);
    }

    void progressOfPasses() {
        // Passes by hand with returns, each after a change; every state of the progress shown, in
        // order: only steps with files to handle, each counted as it begins, and nothing once the
        // pass has ended, however it ended.
        SyncSettings settings = sandbox->settings(u"e2"_s);
        settings.autoSyncEnabled = false;
        service->addPhoto(u"e2"_s, photo(u"p3"_s, u"IMG_3.JPG"_s), 2000);
        const auto model = makeModel(true, settings);
        SyncViewModel* const m = model.get();
        QStringList seen;
        connect(m, &SyncViewModel::progressChanged, m, [&] {
            seen.append(
                u"%1 %2/%3"_s.arg(m->progressText()).arg(m->progressValue()).arg(m->progressMaximum()));
        });
        const auto pass = [&] { return seen.clear(), outcomeOf(m->synchronize(true, false)), seen; };
        const auto states = [](const QString& step, int total, int reached = -1) {
            QStringList shown;
            for (int done = 0; done <= (reached < 0 ? total : reached); ++done)
                shown.append(u"正在%1 %2/%3 %2/%3"_s.arg(step).arg(done).arg(total));
            return shown;
        };
        const QString effects = sandbox->effects + u"/A--e2/"_s;
        const QStringList gone{u" 0/0"_s};
        // Of the retouched files, one matches no photo and one is so fresh that its turn passes it by.
        for (const QString& name : {u"p1__a.jpg"_s, u"p2__b.jpg"_s, u"nobody__c.jpg"_s})
            writeAged(effects + name, name.toUtf8());
        writeAged(effects + u"p3__d.jpg"_s, "being written", 0);
        QCOMPARE(pass(), states(u"下载原图"_s, 3) + states(u"回传精修图"_s, 3) + gone);
        // The fresh file is done now; the other two are yet to be published.
        QVERIFY(setModifiedSecondsAgo(effects + u"p3__d.jpg"_s, 60));
        m->setAutoPublishEffects(true);
        QCOMPARE(pass(), states(u"回传精修图"_s, 3) + gone);
        QVERIFY(setModifiedSecondsAgo(effects + u"p1__a.jpg"_s, 30)); // the one changed since
        QCOMPARE(pass(), states(u"回传精修图"_s, 1) + gone);
        QVERIFY(QFile::remove(sandbox->originals + u"/A--e2/p2__IMG_2.JPG"_s));
        service->setFault(Endpoint::Original, statusFault(503));
        QCOMPARE(pass(), states(u"下载原图"_s, 1, 0) + gone);
    }

    void pollingRepeatsAndStopsSilently() {
        const auto model = makeModel(true, chosen());
        model->startPollingIfNeeded();
        QVERIFY(!model->isWorking()); // the first pass starts after the call that started polling
        QTRY_COMPARE(model->message(), kTwoDownloaded);
        QTRY_COMPARE(model->message(), kNothingNew);
        QTRY_VERIFY(service->requests(Endpoint::Workspace).size() >= 4);

        // A failing pass reports and polling goes on.
        service->setFault(Endpoint::Workspace, statusFault(503));
        QTRY_COMPARE(model->message(), u"服务器返回 503。"_s);
        service->clearFaults();
        QTRY_COMPARE(model->message(), kNothingNew);

        // Switching automatic sync off cancels the pass under way, which ends without a word.
        service->setFault(Endpoint::Original, cutFault(Fault::Cut::Stall));
        QVERIFY(QDir(sandbox->originals + u"/A--e2"_s).removeRecursively());
        QTRY_VERIFY(!service->requests(Endpoint::Original).isEmpty() && model->isWorking());
        const std::optional<QDateTime> lastSynced = model->lastSyncedAt();
        model->setAutoSyncEnabled(false);
        QVERIFY(!model->isPolling());
        QTRY_VERIFY(!model->isWorking());
        QVERIFY(model->message() == kNothingNew && model->lastSyncedAt() == lastSynced);
        QCOMPARE(tree(sandbox->originals), QStringList());
    }

    // With returns on, polling watches the album's return folder: a saved file ends the wait (a
    // minute here, so only the watch explains a quick pass) once the newest change is 2 s old.
    void returnsFollowSavedFiles() {
        SyncSettings settings = sandbox->settings(u"e2"_s);
        settings.autoUploadEffects = true;
        const auto model = makeModel(true, settings, 60s);
        model->startPollingIfNeeded();
        QTRY_COMPARE(model->message(), kTwoDownloaded); // the first pass makes the album's folder
        const QString album = sandbox->effects + u"/A--e2/"_s;
        const auto passes = [this] { return service->requests(Endpoint::Workspace).size(); };
        const auto moveIn = [&](const QString& name) {
            writeAged(sandbox->root.filePath(name), name.toUtf8());
            return QFile::rename(sandbox->root.filePath(name), album + name);
        };

        // A burst of files moved in makes one pass.
        QVERIFY(moveIn(u"p1__a.jpg"_s) && moveIn(u"p2__b.JPEG"_s) && moveIn(u"notes.txt"_s));
        QTRY_COMPARE_WITH_TIMEOUT(model->message(), u"同步完成：回传精修图 2 张。"_s, 10000);

        // A file written in pieces is left by the pass that comes meanwhile, and sent once,
        // whole, after its last piece.
        QFile inPieces(album + u"p1__c.jpg"_s);
        QVERIFY(QFile::remove(album + u"p1__a.jpg"_s) && inPieces.open(QIODevice::WriteOnly));
        QByteArray whole;
        int piecesAfterPass = 0;
        QTimer writer;
        connect(&writer, &QTimer::timeout, [&, before = passes()] {
            const QByteArray piece(50'000, char('a' + whole.size() / 50'000));
            whole += piece;
            piecesAfterPass += inPieces.write(piece) && inPieces.flush() && passes() > before;
        });
        writer.start(400);
        QTRY_VERIFY_WITH_TIMEOUT(piecesAfterPass == 2, 10000);
        writer.stop();
        inPieces.close();
        QCOMPARE(service->versions().size(), 2);
        QTRY_COMPARE_WITH_TIMEOUT(model->message(), u"同步完成：回传精修图 1 张。"_s, 10000);
        QVERIFY(service->versions().size() == 3 && service->versions().constLast().bytes == whole);

        // The album's folder made anew is watched once it appears.
        QVERIFY(QDir(album).removeRecursively());
        QTRY_COMPARE(inotifyWatches(), 1); // the return folder's
        QVERIFY(QDir().mkdir(album));
        QTRY_COMPARE(inotifyWatches(), 2);
        QVERIFY(moveIn(u"p2__d.jpg"_s));
        QTRY_COMPARE_WITH_TIMEOUT(service->versions().size(), 4, 10000);
        QCOMPARE(passes(), 5); // one for the burst, two for the file written in pieces

        // With no descriptor left for a watch (as when the inotify instances are used up),
        // polling runs alone.
        model->setAutoSyncEnabled(false);
        const auto alone = makeModel(true, settings, 60s);
        rlimit open{};
        ::getrlimit(RLIMIT_NOFILE, &open);
        QFile lowestFree(u"/dev/null"_s);
        QVERIFY(lowestFree.open(QIODevice::ReadOnly));
        const rlimit tight{rlim_t(lowestFree.handle()) + 1, open.rlim_max}; // the polling timer's
        lowestFree.close();
        QVERIFY(::setrlimit(RLIMIT_NOFILE, &tight) == 0);
        alone->startPollingIfNeeded();
        ::setrlimit(RLIMIT_NOFILE, &open);
        QVERIFY(alone->isPolling() && inotifyWatches() == 0);
        QTRY_COMPARE(passes(), 6);
    }

    void operationsOutlivedByTheirControllerChangeNothing() {
        // Each operation's work goes on after its controller is gone, but touches nothing of
        // it (the sanitizer run sees any use of the freed controller) and stores nothing.
        Fault slow;
        slow.delayMs = 200;
        for (const Endpoint endpoint : {Endpoint::SignIn, Endpoint::Bootstrap, Endpoint::Workspace})
            service->setFault(endpoint, slow);
        auto model = makeModel(false, chosen());
        const QByteArray settings = readFile(SyncStorage::settingsPath());
        auto signingIn = model->signIn();
        model.reset();
        QVERIFY(outcomeOf(std::move(signingIn)).ok());
        QVERIFY(!KeychainStore::readToken()); // the token arrived after its controller had gone

        model = makeModel(true);
        auto passing = model->synchronize(false, false);
        auto reloading = model->reloadWorkspace();
        model->startPollingIfNeeded();
        model.reset();
        QVERIFY(outcomeOf(std::move(passing)).ok() && outcomeOf(std::move(reloading)).ok());
        QCOMPARE(tree(sandbox->originals), QStringList()); // the pass stopped with its controller
        QCOMPARE(readFile(SyncStorage::settingsPath()), settings);
    }
};

int main(int argc, char** argv) {
    // The album order must hold in the C locale too, where Qt's collation ignores case and
    // numeric settings (the suite usually runs with LANG=C.UTF-8, but not always).
    qputenv("LC_ALL", "C.UTF-8");
    QCoreApplication app(argc, argv);
    SyncViewModelTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_syncviewmodel.moc"
