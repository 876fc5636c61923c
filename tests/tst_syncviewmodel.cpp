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
#include <QProcess>
#include <QSignalSpy>
#include <QTest>

#include <cstdio>

using namespace kitewell;
using namespace testsupport;
using namespace std::chrono_literals;

namespace {

const QString kSignedIn = u"已登录。选择相册和本地文件夹后，可开启自动同步。"_s;
const QString kRestored = u"已恢复登录会话。"_s;
const QString kTwoDownloaded = u"同步完成：下载原图 2 张。"_s;
const QString kNothingNew = u"已检查：没有需要同步的新文件。"_s;

using Arrange = std::function<void(SyncSettings&)>;
using Act = std::function<void(SyncViewModel&)>;

// What is left of the wait of each armed timer on the boot-time clock (clockid 7) of this
// process, as /proc/self/fdinfo shows a timerfd.
QList<std::chrono::nanoseconds> armedBootTimers() {
    QList<std::chrono::nanoseconds> armed;
    for (QDirIterator it(u"/proc/self/fdinfo"_s, QDir::Files); it.hasNext();) {
        const QByteArray info = readFile(it.next());
        long long seconds = 0, nanoseconds = 0;
        if (info.contains("clockid: 7\n") &&
            std::sscanf(info.constData() + std::max(0ll, info.indexOf("it_value:")), "it_value: (%lld, %lld)",
                        &seconds, &nanoseconds) == 2 &&
            seconds + nanoseconds > 0)
            armed.append(std::chrono::seconds(seconds) + std::chrono::nanoseconds(nanoseconds));
    }
    return armed;
}

} // namespace

Q_DECLARE_METATYPE(Arrange)
Q_DECLARE_METATYPE(Act)

class SyncViewModelTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();

    void settingsAtConstruction();
    void restoreSession_data();
    void restoreSession();
    void signIn_data();
    void signIn();
    void tokenStoreFailure();

    void albumListAndRefresh();
    void choicesAreSavedAndRedecidePolling_data();
    void choicesAreSavedAndRedecidePolling();
    void folderChoiceAndFolderTexts();

    void passMessages_data();
    void passMessages();
    void manualPass_data();
    void manualPass();
    void pollingRepeatsAndStopsSilently();
    void pollingSleepsFifteenSecondsOnTheBootClock();
    void operationsOutlivedByTheirControllerChangeNothing();

private:
    // Signed in through the form when asked; `settings` saved first, if any.
    std::unique_ptr<SyncViewModel> makeModel(bool signedIn, std::optional<SyncSettings> settings = {},
                                             std::chrono::milliseconds interval = 100ms);
    // Album e2 ("A", two photos) and the originals folder chosen, automatic sync on, returns off.
    SyncSettings chosen() const {
        SyncSettings settings = sandbox->settings(u"e2"_s);
        settings.effectDirectoryBookmark.reset();
        return settings;
    }

    std::unique_ptr<AlbumService> service;
    std::unique_ptr<Sandbox> sandbox;
    QList<std::optional<QString>> pickerAnswers; // what the folder panel returns, in turn
    QStringList pickerTitles;
};

void SyncViewModelTest::init() {
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
    pickerTitles.clear();
}

void SyncViewModelTest::cleanup() {
    KeychainStore::deleteToken();
    sandbox.reset();
    service.reset();
}

std::unique_ptr<SyncViewModel> SyncViewModelTest::makeModel(bool signedIn,
                                                            std::optional<SyncSettings> settings,
                                                            std::chrono::milliseconds interval) {
    if (settings)
        SyncStorage::saveSettings(*settings);
    SyncViewModel::Options options{
        .pollingInterval = interval, .restoreAtStart = false, .serviceOrigin = service->baseUrl().toString()};
    options.folderPicker = [this](const QString& title, const QString&) {
        pickerTitles.append(title);
        return pickerAnswers.isEmpty() ? std::nullopt : pickerAnswers.takeFirst();
    };
    auto model = std::make_unique<SyncViewModel>(options);
    model->setEmail(kEmail);
    model->setPassword(kPassword);
    if (signedIn && (!outcomeOf(model->signIn()).ok() || !model->account()))
        qWarning("not signed in: %s", qPrintable(model->message()));
    return model;
}

void SyncViewModelTest::settingsAtConstruction() {
    const QByteArray file(R"({"baseURL":"https:\/\/evil.example","eventId":"e2",)"
                          R"("autoSyncEnabled":false,"autoUploadEffects":true,"autoPublishEffects":false})");
    QVERIFY(writeFile(SyncStorage::settingsPath(), file));
    const auto model = makeModel(false);
    QCOMPARE(model->settings().baseURL, service->baseUrl().toString());
    QVERIFY(model->settings().eventId == u"e2"_s && !model->settings().autoSyncEnabled);
    // Nothing is written at start; the next save writes the origin in use.
    QCOMPARE(readFile(SyncStorage::settingsPath()), file);
    model->persistSettings();
    QVERIFY(!readFile(SyncStorage::settingsPath()).contains("evil"));
}

void SyncViewModelTest::restoreSession_data() {
    // The stored token (none, the service's or one it refuses), whether the service answers,
    // and the album saved; what the restore says, and whether the token stays.
    QTest::addColumn<QString>("token");
    QTest::addColumn<bool>("reachable");
    QTest::addColumn<QString>("album");
    QTest::addColumn<QString>("message");
    QTest::addColumn<bool>("tokenKept");
    const QString again = u"请重新登录以启动电脑同步。"_s;
    const QString valid = u"issued"_s;
    QTest::newRow("no token") << QString() << true << u"e2"_s
                              << u"登录后，选择相册与两个本地文件夹即可开始同步。"_s << false;
    QTest::newRow("valid token") << valid << true << u"e2"_s << kRestored << true;
    QTest::newRow("album gone meanwhile") << valid << true << u"gone"_s << kRestored << true;
    QTest::newRow("rejected token") << u"expired-token"_s << true << u"e2"_s << again << false;
    QTest::newRow("service unreachable") << valid << false << u"e2"_s << again << true;
}

void SyncViewModelTest::restoreSession() {
    QFETCH(QString, token);
    QFETCH(bool, reachable);
    QFETCH(QString, album);
    QFETCH(QString, message);
    QFETCH(bool, tokenKept);
    if (!token.isEmpty())
        KeychainStore::saveToken(token == u"issued"_s ? service->issueToken(kEmail) : token);
    SyncSettings settings = chosen();
    settings.eventId = album;
    SyncStorage::saveSettings(settings);
    SyncViewModel model({.pollingInterval = 1h,
                         .serviceOrigin = reachable ? service->baseUrl().toString() : closedPortUrl()});
    QStringList seen;
    connect(&model, &SyncViewModel::messageChanged, &model, [&] { seen.append(model.message()); });
    QVERIFY(!model.account()); // the first frame shows the sign-in screen
    if (token.isEmpty())
        QCoreApplication::processEvents(); // the restore runs, and finds nothing to do
    QTRY_COMPARE(seen.value(0, model.message()), message);
    QCOMPARE(model.account().has_value(), message == kRestored);
    QCOMPARE(KeychainStore::readToken().has_value(), tokenKept);
    if (model.account()) {
        // A vanished album is replaced by the first by title, saved, and then polled.
        QCOMPARE(SyncStorage::loadSettings()->eventId, u"e2"_s);
        QVERIFY(model.isPolling());
        QTRY_COMPARE(model.message(), kTwoDownloaded); // the first pass runs at once
    }
}

void SyncViewModelTest::signIn_data() {
    QTest::addColumn<QString>("email");
    QTest::addColumn<QString>("password");
    QTest::addColumn<Fault>("fault");
    QTest::addColumn<QString>("message");
    QTest::addColumn<int>("sent"); // sign-in requests
    const QString incomplete = u"请输入邮箱和密码。"_s;
    QTest::newRow("success, e-mail trimmed")
        << u"  "_s + kEmail + u"\n"_s << kPassword << Fault{} << kSignedIn << 1;
    QTest::newRow("spaces only") << u" \t\u3000 "_s << kPassword << Fault{} << incomplete << 0;
    QTest::newRow("empty password") << kEmail << QString() << Fault{} << incomplete << 0;
    QTest::newRow("password of spaces is a password") << kEmail << u"  "_s << Fault{} << kUnauthorized << 1;
    QTest::newRow("only a line break is sent, trimmed")
        << u"\n"_s << kPassword << Fault{} << kUnauthorized << 1;
    QTest::newRow("403") << kEmail << kPassword << statusFault(403, R"({"error":"账号已停用"})")
                         << u"账号已停用"_s << 1;
    QTest::newRow("no session") << kEmail << kPassword << statusFault(200, "{}")
                                << u"登录成功但未取得电脑同步会话，请稍后重试。"_s << 1;
}

void SyncViewModelTest::signIn() {
    QFETCH(QString, email);
    QFETCH(QString, password);
    QFETCH(Fault, fault);
    QFETCH(QString, message);
    QFETCH(int, sent);
    service->setFault(Endpoint::SignIn, fault);
    const auto model = makeModel(false);
    model->setEmail(email);
    model->setPassword(password);
    QSignalSpy working(model.get(), &SyncViewModel::isWorkingChanged);
    QVERIFY(outcomeOf(model->signIn()).ok());
    QCOMPARE(model->message(), message);
    QCOMPARE(service->requests(Endpoint::SignIn).size(), sent);
    QCOMPARE(working.size(), sent ? 2 : 0); // the form's check is not work
    QVERIFY(!model->isWorking() && model->email() == email);
    if (sent)
        QVERIFY(
            service->requests(Endpoint::SignIn)[0].body.contains(email == u"\n"_s ? R"("email":"")" : "@"));
    const std::optional<QString> token = KeychainStore::readToken();
    const bool success = message == kSignedIn;
    QVERIFY(model->account().has_value() == success && token.has_value() == success);
    QCOMPARE(model->password(), success ? QString() : password);
    if (success)
        QCOMPARE(service->requests(Endpoint::Bootstrap).last().header("Authorization"),
                 "Bearer " + token->toUtf8());
}

void SyncViewModelTest::tokenStoreFailure() {
    // A sign-in in a child process that cannot reach any Secret Service.
    QProcess child;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(u"KITEWELL_TEST_CHILD"_s, u"sign-in"_s);
    environment.insert(u"DBUS_SESSION_BUS_ADDRESS"_s, u"unix:path="_s + sandbox->root.filePath(u"no-bus"_s));
    child.setProcessEnvironment(environment);
    child.start(QCoreApplication::applicationFilePath(), {});
    QVERIFY(child.waitForFinished(60'000));
    const QString message = QString::fromUtf8(child.readAllStandardOutput()).trimmed();
    QVERIFY2(message.startsWith(u"无法保存登录会话（Keychain 错误 "_s) && message.endsWith(u"）。"_s),
             qPrintable(message + QString::fromUtf8(child.readAllStandardError())));
    QVERIFY(!message.contains(u"错误 0）"_s)); // a failure never reports status 0
    QCOMPARE(child.exitCode(), 0);             // and not signed in
}

void SyncViewModelTest::albumListAndRefresh() {
    service->addEvent({u"e5"_s, u"A"_s, std::nullopt}); // same title as e2: service order kept
    SyncSettings settings = chosen();
    settings.eventId = u"e1"_s;
    settings.eventTitle = u"old title"_s;
    SyncStorage::saveSettings(settings);
    const QByteArray before = readFile(SyncStorage::settingsPath());

    // The process runs in the C locale (see main), where Qt's own collation is plain.
    const auto model = makeModel(true);
    QStringList order;
    for (const AlbumEvent& event : model->events())
        order.append(event.id);
    QCOMPARE(order, (QStringList{u"e2"_s, u"e5"_s, u"e4"_s, u"e3"_s, u"e1"_s})); // A, A, a9, a10, b
    // A choice that is still there is kept as it is, title included, and not saved again.
    QVERIFY(model->settings().eventTitle == u"old title"_s && model->selectedEventIndex() == 4);
    QCOMPARE(readFile(SyncStorage::settingsPath()), before);
    QVERIFY(!model->isPolling()); // sign-in never starts polling

    // A refresh replaces a vanished album by the first by title and saves that; that is a
    // change of album, so polling restarts.
    service->removeEvent(u"e1"_s);
    QVERIFY(outcomeOf(model->reloadWorkspace()).ok());
    QCOMPARE(model->message(), u"相册列表已刷新。"_s);
    QVERIFY(model->selectedEvent()->id == u"e2"_s && model->settings().eventTitle == u"A"_s);
    QCOMPARE(SyncStorage::loadSettings().value_or(SyncSettings{}), model->settings());
    QVERIFY(model->isPolling());

    // A refresh the service refuses reports, and signs nobody out; without a token none is sent.
    service->revokeAllTokens();
    QVERIFY(outcomeOf(model->reloadWorkspace()).ok());
    QVERIFY(model->message() == kUnauthorized && model->account());
    KeychainStore::deleteToken();
    QVERIFY(outcomeOf(model->reloadWorkspace()).ok());
    QCOMPARE(model->message(), u"请先登录鸢井账号。"_s);

    // With no album left, none is chosen, that is saved too, and polling stops.
    KeychainStore::saveToken(service->issueToken(kEmail));
    for (const QString& id : {u"e2"_s, u"e3"_s, u"e4"_s, u"e5"_s})
        service->removeEvent(id);
    QVERIFY(outcomeOf(model->reloadWorkspace()).ok());
    QVERIFY(model->events().isEmpty() && !model->selectedEvent() && !model->settings().eventTitle);
    QVERIFY(!readFile(SyncStorage::settingsPath()).contains("eventId") && !model->isPolling());
}

void SyncViewModelTest::choicesAreSavedAndRedecidePolling_data() {
    // From album e2 with its originals folder and automatic sync on (as arranged), one change:
    // the settings it leaves are saved at once, and polling runs exactly when everything it
    // needs is there.
    QTest::addColumn<Arrange>("arrange");
    QTest::addColumn<Act>("act");
    QTest::addColumn<Arrange>("changed"); // what the settings then hold, on the arranged ones
    QTest::addColumn<bool>("polls");
    const Arrange asChosen = [](SyncSettings&) {};
    const Arrange publishing = [](SyncSettings& s) { s.autoPublishEffects = true; };
    const Act publish = [](SyncViewModel& m) { m.setAutoPublishEffects(true); };
    const Act returns = [](SyncViewModel& m) { m.setAutoUploadEffects(true); };
    QTest::newRow("another album") << asChosen << Act([](SyncViewModel& m) {
        m.chooseAlbum(u"e4"_s);
    }) << Arrange([](SyncSettings& s) { s.eventId = u"e4"_s, s.eventTitle = u"a9"_s; })
                                   << true;
    QTest::newRow("请选择") << asChosen << Act([](SyncViewModel& m) { m.chooseAlbumAt(-1); })
                            << Arrange([](SyncSettings& s) { s.eventId.reset(); }) << false;
    QTest::newRow("automatic sync off")
        << asChosen << Act([](SyncViewModel& m) { m.setAutoSyncEnabled(false); })
        << Arrange([](SyncSettings& s) { s.autoSyncEnabled = false; }) << false;
    QTest::newRow("returns on, no retouch folder")
        << asChosen << returns << Arrange([](SyncSettings& s) { s.autoUploadEffects = true; }) << false;
    QTest::newRow("returns on, with retouch folder") << Arrange([this](SyncSettings& s) {
        s.effectDirectoryBookmark = sandbox->settings({}).effectDirectoryBookmark;
    }) << returns << Arrange([](SyncSettings& s) { s.autoUploadEffects = true; })
                                                     << true;
    QTest::newRow("publishing plays no part") << asChosen << publish << publishing << true;
    QTest::newRow("no originals folder")
        << Arrange([](SyncSettings& s) { s.originalDirectoryBookmark.reset(); }) << publish << publishing
        << false;
    QTest::newRow("signed out") << asChosen << Act([publish](SyncViewModel& m) { m.logout(), publish(m); })
                                << publishing << false;
}

void SyncViewModelTest::choicesAreSavedAndRedecidePolling() {
    QFETCH(Arrange, arrange);
    QFETCH(Act, act);
    QFETCH(Arrange, changed);
    QFETCH(bool, polls);
    SyncSettings settings = chosen();
    arrange(settings);
    const auto model = makeModel(true, settings);
    act(*model);
    changed(settings);
    settings.baseURL = model->settings().baseURL;
    QCOMPARE(model->settings(), settings);
    QCOMPARE(SyncStorage::loadSettings().value_or(SyncSettings{}), settings);
    QCOMPARE(model->isPolling(), polls);
    if (polls) // the first pass runs at once
        QTRY_VERIFY(!service->requests(Endpoint::Workspace).isEmpty());
}

void SyncViewModelTest::folderChoiceAndFolderTexts() {
    const auto model = makeModel(true);
    const QString originalsPrompt = u"选择原图同步文件夹"_s, effectsPrompt = u"选择精修回传文件夹"_s;
    const QString missing = sandbox->root.filePath(u"missing"_s);
    pickerAnswers = {std::nullopt, sandbox->effects, missing, sandbox->originals, sandbox->originals};
    model->chooseFolder(FolderKind::original); // cancelled: nothing changes
    QCOMPARE(pickerTitles, QStringList{originalsPrompt});
    QVERIFY(model->message() == kSignedIn && !model->settings().originalDirectoryBookmark);
    QCOMPARE(model->originalFolderText(), originalsPrompt);

    model->chooseFolder(FolderKind::effect);
    QCOMPARE(pickerTitles.last(), effectsPrompt);
    QCOMPARE(model->message(), u"精修回传文件夹已设置。"_s);
    QTRY_COMPARE(model->effectFolderText(), sandbox->effects);
    QVERIFY(!model->isPolling()); // no originals folder yet

    model->chooseFolder(FolderKind::original); // gone before it could be remembered
    QVERIFY(!model->settings().originalDirectoryBookmark && !model->message().endsWith(u"已设置。"_s));

    model->chooseFolder(FolderKind::original);
    QCOMPARE(model->message(), u"原图文件夹已设置。"_s);
    QVERIFY(model->isPolling());
    QCOMPARE(SyncStorage::loadSettings()->originalDirectoryBookmark,
             model->settings().originalDirectoryBookmark);
    QTRY_COMPARE(model->originalFolderText(), sandbox->originals);
    QTRY_COMPARE(model->message(), kTwoDownloaded); // the first pass runs at once

    // A folder replaced by another at its path is stale, and a deleted one does not resolve:
    // with the next change shown, both rows prompt again.
    QVERIFY(QDir().rename(sandbox->effects, missing) && QDir().mkpath(sandbox->effects));
    QVERIFY(QDir(sandbox->originals).removeRecursively());
    QTRY_COMPARE(model->effectFolderText(), effectsPrompt);
    QTRY_COMPARE(model->originalFolderText(), originalsPrompt);

    // A folder chosen while the settings cannot be saved: the save's failure shows, and then
    // the success, which the running program goes by.
    model->setAutoSyncEnabled(false);
    QTRY_VERIFY(!model->isWorking());
    QVERIFY(QDir().mkpath(sandbox->originals) && QDir(SyncStorage::supportDirectory()).removeRecursively());
    QVERIFY(writeFile(SyncStorage::supportDirectory(), "a file where the data folder belongs"));
    QSignalSpy messages(model.get(), &SyncViewModel::messageChanged);
    model->chooseFolder(FolderKind::original);
    QCOMPARE(messages.size(), 2);
    QVERIFY(model->message() == u"原图文件夹已设置。"_s && model->settings().originalDirectoryBookmark);
}

void SyncViewModelTest::passMessages_data() {
    QTest::addColumn<SyncResult>("result");
    QTest::addColumn<bool>("includeEffects");
    QTest::addColumn<QString>("message");
    // Downloads alone, and nothing new, are what the passes below report.
    const QString unmatched = u" 有 %1 张精修图无法匹配原图，请保留下载文件名中照片 ID 前缀。"_s;
    QTest::newRow("everything") << SyncResult{12345, 1, 1, 2} << true
                                << u"同步完成：下载原图 12345 张，回传精修图 1 张，发布 1 张。"_s +
                                       unmatched.arg(2);
    QTest::newRow("nothing but unmatched")
        << SyncResult{0, 0, 0, 1} << true << u"同步完成：没有新的原图或精修图。"_s + unmatched.arg(1);
    QTest::newRow("unmatched without effects")
        << SyncResult{0, 0, 0, 4} << false << u"同步完成：没有新的原图或精修图。"_s;
}

void SyncViewModelTest::passMessages() {
    QFETCH(SyncResult, result);
    QFETCH(bool, includeEffects);
    QFETCH(QString, message);
    QCOMPARE(SyncViewModel::passMessage(result, includeEffects, false), message);
}

void SyncViewModelTest::manualPass_data() {
    QTest::addColumn<Fault>("fault"); // on the second pass's workspace answer
    QTest::addColumn<QString>("message");
    QTest::addColumn<bool>("signedIn");
    QTest::newRow("nothing new") << Fault{} << u"同步完成：没有新的原图或精修图。"_s << true;
    QTest::newRow("service failure") << statusFault(503) << u"服务器返回 503。"_s << true;
    QTest::newRow("unauthorized") << statusFault(401) << u"已退出电脑同步助手。"_s << false;
}

void SyncViewModelTest::manualPass() {
    QFETCH(Fault, fault);
    QFETCH(QString, message);
    QFETCH(bool, signedIn);
    SyncSettings settings = chosen();
    settings.autoSyncEnabled = false;
    const auto model = makeModel(true, settings);
    QVERIFY(outcomeOf(model->synchronize(false, false)).ok());
    QCOMPARE(model->message(), kTwoDownloaded);
    const std::optional<QDateTime> firstSynced = model->lastSyncedAt();

    fault.delayMs = 300;
    service->setFault(Endpoint::Workspace, fault);
    auto second = model->synchronize(false, false);
    QVERIFY(model->isWorking());
    // A pass asked for meanwhile returns at once and changes nothing.
    QSignalSpy messages(model.get(), &SyncViewModel::messageChanged);
    QVERIFY(outcomeOf(model->synchronize(true, false)).ok());
    QCOMPARE(messages.size(), 0);
    QVERIFY(outcomeOf(std::move(second)).ok());
    QVERIFY(!model->isWorking() && model->message() == message);
    QCOMPARE(service->requests(Endpoint::Workspace).size(), 2);
    // Only a pass that succeeds moves the time of the last sync on.
    QCOMPARE(model->lastSyncedAt() > firstSynced, !fault.status);
    QCOMPARE(model->account().has_value(), signedIn);
    QCOMPARE(KeychainStore::readToken().has_value(), signedIn);
    // Signed out, the e-mail, album and folders stay for the next sign-in.
    QVERIFY(model->email() == kEmail && model->settings().eventId == settings.eventId);
}

void SyncViewModelTest::pollingRepeatsAndStopsSilently() {
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

void SyncViewModelTest::pollingSleepsFifteenSecondsOnTheBootClock() {
    // The program's own interval, on the clock that runs on while the computer sleeps.
    KeychainStore::saveToken(service->issueToken(kEmail));
    SyncStorage::saveSettings(chosen());
    QVERIFY(armedBootTimers().isEmpty());
    SyncViewModel model({.restoreAtStart = false, .serviceOrigin = service->baseUrl().toString()});
    QVERIFY(outcomeOf(model.restoreSession()).ok());
    QTRY_COMPARE(model.message(), kTwoDownloaded);
    QTRY_COMPARE(armedBootTimers().size(), 1);
    const std::chrono::nanoseconds left = armedBootTimers().constFirst();
    QVERIFY2(left > 14s && left <= 15s, qPrintable(QString::number(left.count())));
}

void SyncViewModelTest::operationsOutlivedByTheirControllerChangeNothing() {
    // Each operation's work goes on after its controller is gone, but touches nothing of it
    // (the sanitizer run sees any use of the freed controller) and stores nothing.
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

namespace {

// Run in a child process: a sign-in whose token cannot be stored. Exits 1 if signed in.
int childSignIn() {
    const auto service = startService();
    const Sandbox sandbox;
    SyncViewModel model({.restoreAtStart = false, .serviceOrigin = service->baseUrl().toString()});
    model.setEmail(kEmail);
    model.setPassword(kPassword);
    outcomeOf(model.signIn());
    QTextStream(stdout) << model.message() << Qt::endl;
    return model.account() ? 1 : 0;
}

} // namespace

int main(int argc, char** argv) {
    // The album order must hold in the C locale too, where Qt's collation ignores case and
    // numeric settings (the suite usually runs with LANG=C.UTF-8, but not always).
    qputenv("LC_ALL", "C.UTF-8");
    QCoreApplication app(argc, argv);
    if (qEnvironmentVariable("KITEWELL_TEST_CHILD") == u"sign-in"_s)
        return childSignIn();
    SyncViewModelTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_syncviewmodel.moc"
