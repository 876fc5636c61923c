// The controller against the album service, real folders and the private Secret Service
// that the test run starts: restore, sign-in, albums, folders, passes and polling.

#include "AlbumService.h"
#include "app/SyncViewModel.h"
#include "credentials/KeychainStore.h"
#include "platform/FolderBookmark.h"
#include "storage/SyncStorage.h"
#include "support/Files.h"
#include "support/Outcome.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

using namespace kitewell;
using namespace testsupport;
using namespace Qt::StringLiterals;
using albumservice::AlbumService;
using albumservice::Endpoint;
using albumservice::Fault;

namespace {

const QString kEmail = u"shooter@kitewell.local"_s;
const QString kPassword = u"secret"_s;
const QString kInitial = u"登录后，选择相册与两个本地文件夹即可开始同步。"_s;

QStringList titles(const QList<AlbumEvent>& events) {
    QStringList list;
    for (const AlbumEvent& event : events)
        list.append(event.title);
    return list;
}

} // namespace

class SyncViewModelTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void settingsAtConstruction_data();
    void settingsAtConstruction();
    void restoreSession_data();
    void restoreSession();
    void signInForm_data();
    void signInForm();
    void signInSuccess();
    void signInFailures_data();
    void signInFailures();
    void tokenStoreFailure();
    void logoutKeepsEmailAndSettings();

    void albumOrder();
    void keptAndReplacedChoice();
    void noAlbums();
    void reloadWorkspace();
    void folderChoice();
    void unwritableSettings();

    void passMessages_data();
    void passMessages();
    void manualPassesAndTheirMessages();
    void secondPassWhileWorkingReturns();
    void unauthorizedPassSignsOut();
    void pollingConditions_data();
    void pollingConditions();
    void pollingRunsAndRepeats();
    void switchingOffCancelsPassSilently();
    void controllerGoneMidOperation();

private:
    std::unique_ptr<SyncViewModel> makeModel(bool restore = false);
    std::unique_ptr<SyncViewModel> signedInModel();
    void signIn(SyncViewModel& model);

    AlbumService service;
    std::unique_ptr<QTemporaryDir> data, originals, effects;
    QList<std::optional<QString>> pickerAnswers; // what the folder panel returns, in turn
    QStringList pickerTitles;
};

void SyncViewModelTest::initTestCase() {
    QVERIFY(service.listen());
    service.addAccount({u"a1"_s, kEmail, u"张摄影"_s, kPassword});
}

void SyncViewModelTest::init() {
    data = std::make_unique<QTemporaryDir>();
    originals = std::make_unique<QTemporaryDir>();
    effects = std::make_unique<QTemporaryDir>();
    qputenv("XDG_DATA_HOME", data->path().toUtf8());
    KeychainStore::deleteToken();
    for (const QString& id : {u"e1"_s, u"e2"_s, u"e3"_s, u"e4"_s, u"e5"_s})
        service.removeEvent(id);
    service.addEvent({u"e1"_s, u"b"_s, u"owner"_s});
    service.addEvent({u"e2"_s, u"A"_s, std::nullopt});
    service.addEvent({u"e3"_s, u"a10"_s, std::nullopt});
    service.addEvent({u"e4"_s, u"a9"_s, std::nullopt});
    service.addPhoto(u"e2"_s, {u"p1"_s, u"IMG_1.JPG"_s}, 2000);
    service.addPhoto(u"e2"_s, {u"p2"_s, u"IMG_2.JPG"_s}, 2000);
    service.clearFaults();
    service.clearRequests();
    pickerAnswers.clear();
    pickerTitles.clear();
}

void SyncViewModelTest::cleanup() {
    KeychainStore::deleteToken();
    qunsetenv("XDG_DATA_HOME");
}

std::unique_ptr<SyncViewModel> SyncViewModelTest::makeModel(bool restore) {
    SyncViewModel::Options options;
    options.serviceOrigin = service.baseUrl().toString();
    options.pollingInterval = std::chrono::milliseconds(100);
    options.restoreAtStart = restore;
    options.folderPicker = [this](const QString& title, const QString&) -> std::optional<QString> {
        pickerTitles.append(title);
        return pickerAnswers.isEmpty() ? std::nullopt : pickerAnswers.takeFirst();
    };
    return std::make_unique<SyncViewModel>(options);
}

void SyncViewModelTest::signIn(SyncViewModel& model) {
    model.setEmail(kEmail);
    model.setPassword(kPassword);
    QVERIFY(outcomeOf(model.signIn()).ok());
    QVERIFY2(model.account().has_value(), qPrintable(model.message()));
}

std::unique_ptr<SyncViewModel> SyncViewModelTest::signedInModel() {
    auto model = makeModel();
    signIn(*model);
    return model;
}

void SyncViewModelTest::settingsAtConstruction_data() {
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<bool>("kept");
    QTest::newRow("other server")
        << QByteArray(
               R"({"baseURL":"https:\/\/evil.example","eventId":"e2","autoSyncEnabled":false,"autoUploadEffects":true,"autoPublishEffects":false})")
        << true;
    QTest::newRow("required key missing")
        << QByteArray(
               R"({"baseURL":"https:\/\/x","eventId":"e2","autoUploadEffects":true,"autoPublishEffects":false})")
        << false;
    QTest::newRow("not JSON") << QByteArray("{") << false;
}

void SyncViewModelTest::settingsAtConstruction() {
    QFETCH(QByteArray, file);
    QFETCH(bool, kept);
    QDir().mkpath(SyncStorage::supportDirectory());
    QFile out(SyncStorage::settingsPath());
    QVERIFY(out.open(QIODevice::WriteOnly));
    out.write(file);
    out.close();

    const auto model = makeModel();
    QCOMPARE(model->settings().baseURL, service.baseUrl().toString());
    QCOMPARE(model->settings().eventId, kept ? std::optional(u"e2"_s) : std::nullopt);
    QCOMPARE(model->settings().autoSyncEnabled, !kept);
    QCOMPARE(model->message(), kInitial);
    QVERIFY(!model->account());
    // Nothing is written at start; the next save writes the origin in use.
    QCOMPARE(readFile(SyncStorage::settingsPath()), file);
    model->persistSettings();
    QVERIFY(!readFile(SyncStorage::settingsPath()).contains("evil"));
}

void SyncViewModelTest::restoreSession_data() {
    QTest::addColumn<QString>("token"); // "" none, "valid", or another text
    QTest::addColumn<bool>("reachable");
    QTest::addColumn<QString>("message");
    QTest::addColumn<bool>("tokenKept");
    QTest::newRow("no token") << "" << true << kInitial << false;
    QTest::newRow("valid token") << "valid" << true << u"已恢复登录会话。"_s << true;
    QTest::newRow("rejected token") << "expired-token" << true << u"请重新登录以启动电脑同步。"_s << false;
    QTest::newRow("service unreachable") << "valid" << false << u"请重新登录以启动电脑同步。"_s << true;
}

void SyncViewModelTest::restoreSession() {
    QFETCH(QString, token);
    QFETCH(bool, reachable);
    QFETCH(QString, message);
    QFETCH(bool, tokenKept);

    const QString stored = token == u"valid"_s ? service.issueToken(kEmail) : token;
    if (!stored.isEmpty())
        KeychainStore::saveToken(stored);
    SyncSettings settings;
    settings.eventId = u"e2"_s;
    settings.originalDirectoryBookmark = FolderBookmark::create(originals->path());
    SyncStorage::saveSettings(settings);

    SyncViewModel::Options options;
    options.restoreAtStart = true;
    options.pollingInterval = std::chrono::hours(1);
    if (reachable) {
        options.serviceOrigin = service.baseUrl().toString();
    } else {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost));
        options.serviceOrigin = u"http://127.0.0.1:"_s + QString::number(probe.serverPort());
    }
    SyncViewModel model(options);
    QStringList seen;
    connect(&model, &SyncViewModel::messageChanged, &model, [&] { seen.append(model.message()); });
    QCOMPARE(model.message(), kInitial); // the first frame shows the sign-in screen
    QVERIFY(!model.account());
    if (!stored.isEmpty())
        QTRY_VERIFY(!seen.isEmpty());
    else
        QTest::qWait(50); // nothing to wait for: without a token the restore changes nothing
    QCOMPARE(seen.value(0, kInitial), message);
    QCOMPARE(model.account().has_value(), message == u"已恢复登录会话。"_s);
    QCOMPARE(KeychainStore::readToken().has_value(), tokenKept);
    if (model.account()) {
        QCOMPARE(model.account()->name, u"张摄影"_s);
        QVERIFY(model.isPolling());
        QTRY_COMPARE(model.message(), u"同步完成：下载原图 2 张。"_s); // the first pass runs at once
    }
    QTRY_COMPARE(model.isWorking(), false);
}

void SyncViewModelTest::signInForm_data() {
    QTest::addColumn<QString>("email");
    QTest::addColumn<QString>("password");
    QTest::addColumn<bool>("sent");
    QTest::newRow("spaces only") << u" \t\u3000 "_s << kPassword << false;
    QTest::newRow("empty password") << kEmail << QString() << false;
    QTest::newRow("password of spaces is a password") << kEmail << u"  "_s << true;
    QTest::newRow("only a line break") << u"\n"_s << kPassword << true;
}

void SyncViewModelTest::signInForm() {
    QFETCH(QString, email);
    QFETCH(QString, password);
    QFETCH(bool, sent);
    const auto model = makeModel();
    model->setEmail(email);
    model->setPassword(password);
    QSignalSpy working(model.get(), &SyncViewModel::isWorkingChanged);
    QVERIFY(outcomeOf(model->signIn()).ok());
    QCOMPARE(service.requests(Endpoint::SignIn).size(), sent ? 1 : 0);
    if (!sent) {
        QCOMPARE(model->message(), u"请输入邮箱和密码。"_s);
        QCOMPARE(working.size(), 0);
    } else {
        // Line breaks pass the form but are trimmed from what is sent.
        QVERIFY(service.requests(Endpoint::SignIn)
                    .first()
                    .body.contains(email == u"\n"_s ? R"("email":"")" : "@"));
        QCOMPARE(model->message(), u"登录状态已失效，请重新登录。"_s);
    }
    QCOMPARE(model->isWorking(), false);
    QCOMPARE(model->email(), email);
}

void SyncViewModelTest::signInSuccess() {
    const auto model = makeModel();
    model->setEmail(u"  "_s + kEmail + u"\n"_s);
    model->setPassword(kPassword);
    QSignalSpy working(model.get(), &SyncViewModel::isWorkingChanged);
    QVERIFY(outcomeOf(model->signIn()).ok());
    QCOMPARE(model->message(), u"已登录。选择相册和本地文件夹后，可开启自动同步。"_s);
    QCOMPARE(model->password(), QString());
    QCOMPARE(model->email(), u"  "_s + kEmail + u"\n"_s);
    QCOMPARE(working.size(), 2);
    QCOMPARE(model->isWorking(), false);
    QVERIFY(model->account());
    QVERIFY(!model->isPolling()); // sign-in never starts polling
    const std::optional<QString> token = KeychainStore::readToken();
    QVERIFY(token && !token->isEmpty());
    QCOMPARE(service.requests(Endpoint::Bootstrap).last().header("Authorization"),
             "Bearer " + token->toUtf8());
    // The first album by title became the choice, and was saved.
    QCOMPARE(model->settings().eventId, u"e2"_s);
    QVERIFY(readFile(SyncStorage::settingsPath()).contains(R"("eventId":"e2")"));
}

void SyncViewModelTest::signInFailures_data() {
    QTest::addColumn<QString>("password");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("message");
    QTest::newRow("wrong password") << u"wrong"_s << 0 << QByteArray() << u"登录状态已失效，请重新登录。"_s;
    QTest::newRow("403") << kPassword << 403 << QByteArray(R"({"error":"账号已停用"})") << u"账号已停用"_s;
    QTest::newRow("no session") << kPassword << 200 << QByteArray("{}")
                                << u"登录成功但未取得电脑同步会话，请稍后重试。"_s;
}

void SyncViewModelTest::signInFailures() {
    QFETCH(QString, password);
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(QString, message);
    if (status) {
        Fault fault;
        fault.status = status;
        fault.body = body;
        service.setFault(Endpoint::SignIn, fault);
    }
    const auto model = makeModel();
    model->setEmail(kEmail);
    model->setPassword(password);
    QVERIFY(outcomeOf(model->signIn()).ok());
    QCOMPARE(model->message(), message);
    QVERIFY(!model->account());
    QCOMPARE(model->isWorking(), false);
    QCOMPARE(model->password(), password);
    QVERIFY(!KeychainStore::readToken());
}

void SyncViewModelTest::tokenStoreFailure() {
    // A sign-in in a child process that cannot reach any Secret Service.
    QProcess child;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(u"KITEWELL_TEST_CHILD"_s, u"sign-in"_s);
    environment.insert(u"DBUS_SESSION_BUS_ADDRESS"_s, u"unix:path="_s + data->filePath(u"no-bus"_s));
    child.setProcessEnvironment(environment);
    child.start(QCoreApplication::applicationFilePath(), {});
    QVERIFY(child.waitForFinished(60'000));
    const QString message = QString::fromUtf8(child.readAllStandardOutput()).trimmed();
    QVERIFY2(message.startsWith(u"无法保存登录会话（Keychain 错误 "_s) && message.endsWith(u"）。"_s),
             qPrintable(message + QString::fromUtf8(child.readAllStandardError())));
    QVERIFY(!message.contains(u"错误 0）"_s));
}

void SyncViewModelTest::logoutKeepsEmailAndSettings() {
    const auto model = signedInModel();
    pickerAnswers = {originals->path()};
    model->chooseFolder(FolderKind::original);
    QVERIFY(model->isPolling());
    const SyncSettings before = model->settings();
    model->logout();
    QCOMPARE(model->message(), u"已退出电脑同步助手。"_s);
    QVERIFY(!model->account());
    QVERIFY(model->events().isEmpty());
    QVERIFY(!model->isPolling());
    QCOMPARE(model->email(), kEmail);
    QCOMPARE(model->settings(), before);
    QVERIFY(!KeychainStore::readToken());
}

void SyncViewModelTest::albumOrder() {
    service.addEvent({u"e5"_s, u"A"_s, std::nullopt}); // same title as e2: service order kept
    const auto model = signedInModel();
    QCOMPARE(titles(model->events()), (QStringList{u"A"_s, u"A"_s, u"a9"_s, u"a10"_s, u"b"_s}));
    QCOMPARE(model->events().at(0).id, u"e2"_s);
    QCOMPARE(model->events().at(1).id, u"e5"_s);
}

void SyncViewModelTest::keptAndReplacedChoice() {
    SyncSettings settings;
    settings.eventId = u"e1"_s;
    settings.eventTitle = u"old title"_s;
    SyncStorage::saveSettings(settings);
    const QByteArray before = readFile(SyncStorage::settingsPath());

    const auto model = signedInModel();
    QCOMPARE(model->settings().eventTitle, u"old title"_s); // kept, not refreshed
    QCOMPARE(readFile(SyncStorage::settingsPath()), before);
    QCOMPARE(model->selectedEvent()->collaborationRole, u"owner"_s);

    service.removeEvent(u"e1"_s);
    QVERIFY(outcomeOf(model->reloadWorkspace()).ok());
    QCOMPARE(model->settings().eventId, u"e2"_s);
    QCOMPARE(model->settings().eventTitle, u"A"_s);
    QVERIFY(readFile(SyncStorage::settingsPath()).contains(R"("eventId":"e2")"));
}

void SyncViewModelTest::noAlbums() {
    for (const QString& id : {u"e1"_s, u"e2"_s, u"e3"_s, u"e4"_s})
        service.removeEvent(id);
    SyncSettings settings;
    settings.eventId = u"gone"_s;
    settings.eventTitle = u"gone"_s;
    SyncStorage::saveSettings(settings);
    const auto model = signedInModel();
    QVERIFY(model->events().isEmpty());
    QVERIFY(!model->settings().eventId && !model->settings().eventTitle);
    QVERIFY(!readFile(SyncStorage::settingsPath()).contains("eventId"));
    QVERIFY(!model->selectedEvent());
}

void SyncViewModelTest::reloadWorkspace() {
    const auto model = signedInModel();
    service.addEvent({u"e5"_s, u"0 new"_s, std::nullopt});
    QVERIFY(outcomeOf(model->reloadWorkspace()).ok());
    QCOMPARE(model->message(), u"相册列表已刷新。"_s);
    QCOMPARE(model->events().first().title, u"0 new"_s);

    // An unauthorized refresh reports, and signs nobody out.
    service.revokeAllTokens();
    QVERIFY(outcomeOf(model->reloadWorkspace()).ok());
    QCOMPARE(model->message(), u"登录状态已失效，请重新登录。"_s);
    QVERIFY(model->account());
    KeychainStore::deleteToken();
    QVERIFY(outcomeOf(model->reloadWorkspace()).ok());
    QCOMPARE(model->message(), u"请先登录鸢井账号。"_s);
    QCOMPARE(model->isWorking(), false);

    const auto signedOut = makeModel();
    QVERIFY(outcomeOf(signedOut->reloadWorkspace()).ok());
    QCOMPARE(signedOut->message(), kInitial);
}

void SyncViewModelTest::folderChoice() {
    const auto model = signedInModel();
    const QString message = model->message();
    pickerAnswers = {std::nullopt};
    model->chooseFolder(FolderKind::original);
    QCOMPARE(pickerTitles, QStringList{u"选择原图同步文件夹"_s});
    QCOMPARE(model->message(), message);
    QVERIFY(!model->settings().originalDirectoryBookmark);

    pickerAnswers = {effects->path()};
    model->chooseFolder(FolderKind::effect);
    QCOMPARE(pickerTitles.last(), u"选择精修回传文件夹"_s);
    QCOMPARE(model->message(), u"精修回传文件夹已设置。"_s);
    QCOMPARE(FolderBookmark::resolve(*model->settings().effectDirectoryBookmark).path, effects->path());
    QCOMPARE(model->folderPath(model->settings().effectDirectoryBookmarkValue()), effects->path());
    QVERIFY(!model->isPolling()); // no originals folder yet

    pickerAnswers = {data->filePath(u"missing"_s)};
    model->chooseFolder(FolderKind::original);
    QVERIFY(!model->settings().originalDirectoryBookmark);
    QVERIFY(model->message() != message);

    pickerAnswers = {originals->path()};
    model->chooseFolder(FolderKind::original);
    QCOMPARE(model->message(), u"原图文件夹已设置。"_s);
    QVERIFY(model->isPolling());
    const auto saved = SyncStorage::loadSettings();
    QVERIFY(saved && saved->originalDirectoryBookmark == model->settings().originalDirectoryBookmark);
    QTRY_COMPARE(model->message(), u"同步完成：下载原图 2 张。"_s); // the first pass runs at once
}

void SyncViewModelTest::unwritableSettings() {
    const auto model = signedInModel();
    // A file where the data folder must be: no save can succeed.
    QVERIFY(QDir(SyncStorage::supportDirectory()).removeRecursively());
    QFile blocker(SyncStorage::supportDirectory());
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();

    QSignalSpy messages(model.get(), &SyncViewModel::messageChanged);
    pickerAnswers = {originals->path()};
    model->chooseFolder(FolderKind::original);
    QCOMPARE(messages.size(), 2); // the save's failure, then the success text
    QCOMPARE(model->message(), u"原图文件夹已设置。"_s);
    QVERIFY(model->settings().originalDirectoryBookmark);

    model->persistSettings();
    QVERIFY(!model->message().isEmpty());
    QVERIFY(model->message() != u"原图文件夹已设置。"_s);
}

void SyncViewModelTest::passMessages_data() {
    QTest::addColumn<int>("downloaded");
    QTest::addColumn<int>("uploaded");
    QTest::addColumn<int>("published");
    QTest::addColumn<int>("unmatched");
    QTest::addColumn<bool>("includeEffects");
    QTest::addColumn<bool>("background");
    QTest::addColumn<QString>("message");
    QTest::newRow("downloads") << 3 << 0 << 0 << 0 << false << false << u"同步完成：下载原图 3 张。"_s;
    QTest::newRow("upload and publish")
        << 0 << 2 << 2 << 0 << true << false << u"同步完成：回传精修图 2 张，发布 2 张。"_s;
    QTest::newRow("with unmatched")
        << 1 << 1 << 0 << 2 << true << true
        << u"同步完成：下载原图 1 张，回传精修图 1 张。 有 2 张精修图无法匹配原图，请保留下载文件名中照片 ID 前缀。"_s;
    QTest::newRow("nothing, polling")
        << 0 << 0 << 0 << 0 << true << true << u"已检查：没有需要同步的新文件。"_s;
    QTest::newRow("nothing but unmatched")
        << 0 << 0 << 0 << 1 << true << false
        << u"同步完成：没有新的原图或精修图。 有 1 张精修图无法匹配原图，请保留下载文件名中照片 ID 前缀。"_s;
    QTest::newRow("unmatched without effects")
        << 0 << 0 << 0 << 4 << false << false << u"同步完成：没有新的原图或精修图。"_s;
    QTest::newRow("large counts ungrouped")
        << 12345 << 0 << 1 << 0 << true << false << u"同步完成：下载原图 12345 张，发布 1 张。"_s;
}

void SyncViewModelTest::passMessages() {
    QFETCH(int, downloaded);
    QFETCH(int, uploaded);
    QFETCH(int, published);
    QFETCH(int, unmatched);
    QFETCH(bool, includeEffects);
    QFETCH(bool, background);
    QFETCH(QString, message);
    QCOMPARE(
        SyncViewModel::passMessage({downloaded, uploaded, published, unmatched}, includeEffects, background),
        message);
}

void SyncViewModelTest::manualPassesAndTheirMessages() {
    const auto model = signedInModel();
    QVERIFY(outcomeOf(model->synchronize(false, false)).ok());
    QCOMPARE(model->message(), u"请选择原图同步文件夹。"_s);
    QVERIFY(!model->lastSyncedAt());

    SyncSettings settings = model->settings();
    settings.autoSyncEnabled = false;
    settings.originalDirectoryBookmark = FolderBookmark::create(originals->path());
    settings.effectDirectoryBookmark = FolderBookmark::create(effects->path());
    model->setSettings(settings);
    QVERIFY(outcomeOf(model->synchronize(false, false)).ok());
    QCOMPARE(model->message(), u"同步完成：下载原图 2 张。"_s);
    QVERIFY(model->lastSyncedAt());

    const QString stray = effects->filePath(u"A--e2/unknown__x.jpg"_s);
    QVERIFY(writeFile(stray, "x") && setModifiedSecondsAgo(stray, 60));
    QVERIFY(outcomeOf(model->synchronize(false, false)).ok());
    QCOMPARE(model->message(), u"同步完成：没有新的原图或精修图。"_s);
    QVERIFY(outcomeOf(model->synchronize(true, false)).ok());
    QCOMPARE(
        model->message(),
        u"同步完成：没有新的原图或精修图。 有 1 张精修图无法匹配原图，请保留下载文件名中照片 ID 前缀。"_s);
    QCOMPARE(model->isWorking(), false);
}

void SyncViewModelTest::secondPassWhileWorkingReturns() {
    const auto model = signedInModel();
    SyncSettings settings = model->settings();
    settings.autoSyncEnabled = false;
    settings.originalDirectoryBookmark = FolderBookmark::create(originals->path());
    model->setSettings(settings);
    Fault slow;
    slow.delayMs = 300;
    service.setFault(Endpoint::Workspace, slow);

    auto first = model->synchronize(false, false);
    QVERIFY(model->isWorking());
    const QString message = model->message();
    QSignalSpy messages(model.get(), &SyncViewModel::messageChanged);
    QVERIFY(outcomeOf(model->synchronize(true, false)).ok()); // returns at once
    QCOMPARE(messages.size(), 0);
    QCOMPARE(model->message(), message);
    QVERIFY(model->isWorking());
    QTRY_COMPARE(model->isWorking(), false);
    QCOMPARE(model->message(), u"同步完成：下载原图 2 张。"_s);
    QCOMPARE(service.requests(Endpoint::Workspace).size(), 1);
}

void SyncViewModelTest::unauthorizedPassSignsOut() {
    const auto model = signedInModel();
    pickerAnswers = {originals->path()};
    model->chooseFolder(FolderKind::original);
    QTRY_COMPARE(model->message(), u"同步完成：下载原图 2 张。"_s);
    service.revokeAllTokens();
    QTRY_COMPARE(model->message(), u"已退出电脑同步助手。"_s);
    QVERIFY(!model->account());
    QVERIFY(!model->isPolling());
    QVERIFY(!KeychainStore::readToken());
    QCOMPARE(model->isWorking(), false);
}

void SyncViewModelTest::pollingConditions_data() {
    QTest::addColumn<bool>("autoSync");
    QTest::addColumn<bool>("signedIn");
    QTest::addColumn<bool>("album");
    QTest::addColumn<bool>("originals");
    QTest::addColumn<bool>("autoUpload");
    QTest::addColumn<bool>("effects");
    QTest::addColumn<bool>("polls");
    QTest::newRow("all present") << true << true << true << true << false << false << true;
    QTest::newRow("auto sync off") << false << true << true << true << false << false << false;
    QTest::newRow("signed out") << true << false << true << true << false << false << false;
    QTest::newRow("no album") << true << true << false << true << false << false << false;
    QTest::newRow("no originals folder") << true << true << true << false << false << false << false;
    QTest::newRow("upload without retouch folder") << true << true << true << true << true << false << false;
    QTest::newRow("upload with retouch folder") << true << true << true << true << true << true << true;
}

void SyncViewModelTest::pollingConditions() {
    QFETCH(bool, autoSync);
    QFETCH(bool, signedIn);
    QFETCH(bool, album);
    QFETCH(bool, originals);
    QFETCH(bool, autoUpload);
    QFETCH(bool, effects);
    QFETCH(bool, polls);
    const auto model = signedIn ? signedInModel() : makeModel();
    SyncSettings settings = model->settings();
    settings.autoSyncEnabled = autoSync;
    settings.eventId = album ? std::optional(u"e2"_s) : std::nullopt;
    settings.originalDirectoryBookmark =
        originals ? std::optional(FolderBookmark::create(this->originals->path())) : std::nullopt;
    settings.autoUploadEffects = autoUpload;
    settings.effectDirectoryBookmark =
        effects ? std::optional(FolderBookmark::create(this->effects->path())) : std::nullopt;
    settings.autoPublishEffects = true; // plays no part
    model->setSettings(settings);
    model->switchChanged();
    QCOMPARE(model->isPolling(), polls);
    if (polls)
        QTRY_VERIFY(service.requests(Endpoint::Workspace).size() >= 1);
}

void SyncViewModelTest::pollingRunsAndRepeats() {
    const auto model = signedInModel();
    pickerAnswers = {originals->path()};
    model->chooseFolder(FolderKind::original);
    // The first pass has not started inside the call that started polling.
    QCOMPARE(service.requests(Endpoint::Workspace).size(), 0);
    QCOMPARE(model->message(), u"原图文件夹已设置。"_s);
    QTRY_COMPARE(model->message(), u"同步完成：下载原图 2 张。"_s);
    QTRY_COMPARE(model->message(), u"已检查：没有需要同步的新文件。"_s);
    const QDateTime first = *model->lastSyncedAt();
    QTRY_VERIFY(service.requests(Endpoint::Workspace).size() >= 4);
    QVERIFY(*model->lastSyncedAt() >= first);

    // A failing pass reports and polling goes on.
    Fault down;
    down.status = 503;
    service.setFault(Endpoint::Workspace, down);
    QTRY_COMPARE(model->message(), u"服务器返回 503。"_s);
    QVERIFY(model->isPolling());
    service.clearFaults();
    QTRY_COMPARE(model->message(), u"已检查：没有需要同步的新文件。"_s);
}

void SyncViewModelTest::switchingOffCancelsPassSilently() {
    const auto model = signedInModel();
    Fault stall;
    stall.cut = Fault::Cut::Stall;
    service.setFault(Endpoint::Original, stall);
    pickerAnswers = {originals->path()};
    model->chooseFolder(FolderKind::original);
    QTRY_COMPARE(service.requests(Endpoint::Original).size(), 1);
    QVERIFY(model->isWorking());

    SyncSettings settings = model->settings();
    settings.autoSyncEnabled = false;
    model->setSettings(settings);
    model->switchChanged();
    QVERIFY(!model->isPolling());
    QTRY_COMPARE(model->isWorking(), false);
    QCOMPARE(model->message(), u"原图文件夹已设置。"_s);
    QVERIFY(!model->lastSyncedAt());
    QCOMPARE(QDir(originals->filePath(u"A--e2"_s)).entryList(QDir::Files | QDir::Hidden), QStringList());
}

void SyncViewModelTest::controllerGoneMidOperation() {
    // Each operation, cut short by the controller going away, ends without touching it.
    Fault slow;
    slow.delayMs = 200;
    service.setFault(Endpoint::Bootstrap, slow);
    service.setFault(Endpoint::Workspace, slow);
    {
        auto model = makeModel();
        model->setEmail(kEmail);
        model->setPassword(kPassword);
        auto signingIn = model->signIn();
        QVERIFY(model->isWorking());
        model.reset();
        QTest::qWait(400);
    }
    {
        auto model = signedInModel();
        SyncSettings settings = model->settings();
        settings.originalDirectoryBookmark = FolderBookmark::create(originals->path());
        model->setSettings(settings);
        auto passing = model->synchronize(false, false);
        auto reloading = model->reloadWorkspace();
        model->startPollingIfNeeded();
        model.reset();
        QTest::qWait(400);
    }
    QVERIFY(true); // reaching here without a crash (and clean under ASan) is the point
}

namespace {

// Run in a child process: a sign-in whose token cannot be stored.
int childSignIn() {
    AlbumService service;
    if (!service.listen())
        return 2;
    service.addAccount({u"a1"_s, kEmail, u"x"_s, kPassword});
    QTemporaryDir data;
    qputenv("XDG_DATA_HOME", data.path().toUtf8());
    SyncViewModel::Options options;
    options.restoreAtStart = false;
    options.serviceOrigin = service.baseUrl().toString();
    SyncViewModel model(options);
    model.setEmail(kEmail);
    model.setPassword(kPassword);
    outcomeOf(model.signIn());
    QTextStream(stdout) << model.message() << Qt::endl;
    return model.account() ? 1 : 0;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (qEnvironmentVariable("KITEWELL_TEST_CHILD") == u"sign-in"_s)
        return childSignIn();
    SyncViewModelTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_syncviewmodel.moc"
