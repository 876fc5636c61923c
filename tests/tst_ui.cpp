// The window as a user meets it: the real QML over a real SyncViewModel that talks to the
// local album service, driven by clicks and keystrokes, with real folders and the Secret
// Service; then the tray, the start with the session and the one instance per user. Items
// are found by objectName.

#include "app/SyncViewModel.h"
#include "credentials/KeychainStore.h"
#include "platform/FolderBookmark.h"
#include "storage/SyncStorage.h"
#include "support/Fixture.h"
#include "ui/Autostart.h"
#include "ui/KitewellSyncApp.h"
#include "ui/SingleInstance.h"
#include "ui/TrayIcon.h"

#include <QAccessible>
#include <QAction>
#include <QApplication>
#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QQmlApplicationEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <glib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using namespace kitewell;
using namespace testsupport;

class UiTest;
// A step of a test row: what the user (or the service) does next.
using Step = std::function<void(UiTest&)>;
Q_DECLARE_METATYPE(Step)

namespace {

// Listed by the service in this order; the controller sorts them by title.
const QString kOwnerEvent = u"evt-aurora-0001"_s; // "Aurora Festival", role "owner"
const QString kUpperEvent = u"evt-bay-0002"_s;    // "Bay Marathon", role "Owner"
const QString kNoRoleEvent = u"evt-cedar-0003"_s; // "Cedar Wedding", no role
const QString kThreeDownloaded = u"同步完成：下载原图 3 张。"_s;
// How the application's event loop ended in a test.
enum Ending { kQuit = 0, kPassEndedWhileHidden = 2, kShown = 3, kTimedOut = 4 };

QQuickItem* findItem(QQuickItem* root, const QString& name) {
    if (!root || root->objectName() == name)
        return root;
    for (QQuickItem* child : root->childItems())
        if (QQuickItem* found = findItem(child, name))
            return found;
    return nullptr;
}

QString textOf(const QQuickItem* item) {
    return item ? item->property("text").toString() : u"<missing>"_s;
}

// Whether a screen reader hears the control as disabled; nothing when it does not hear it at all.
std::optional<bool> disabledForAssistiveTechnology(QQuickItem* item) {
    QAccessibleInterface* const control = QAccessible::queryAccessibleInterface(item);
    return control ? std::optional<bool>(control->state().disabled) : std::nullopt;
}

// The command line of a desktop entry's Exec key, as a launcher reads it.
QStringList execArguments(const QString& entryPath) {
    g_autoptr(GKeyFile) entry = g_key_file_new();
    g_key_file_load_from_file(entry, QFile::encodeName(entryPath).constData(), G_KEY_FILE_NONE, nullptr);
    g_autofree gchar* exec = g_key_file_get_string(entry, "Desktop Entry", "Exec", nullptr);
    g_auto(GStrv) argv = nullptr;
    if (!exec || !g_shell_parse_argv(exec, nullptr, &argv, nullptr))
        return {};
    QStringList arguments;
    for (gchar** argument = argv; *argument; ++argument)
        arguments.append(QString::fromUtf8(*argument).replace(u"%%"_s, u"%"_s)); // the field codes' escape
    return arguments;
}

} // namespace

class UiTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { KitewellSyncApp::applyStyle(); }
    void init();
    void cleanup();

    void signInForm_data();
    void signInForm();
    void statusLineColour_data();
    void statusLineColour();
    void albumPickerAndRoleLabel_data();
    void albumPickerAndRoleLabel();
    void foldersAndSwitchesReachTheController();
    void disabledControls_data();
    void disabledControls();
    void lastSyncedTime_data();
    void lastSyncedTime();

    void closingTheWindow_data();
    void closingTheWindow();
    void warningsWhileHiddenNotifiedOnce_data();
    void warningsWhileHiddenNotifiedOnce();
    void startWithTheSessionFromTheTrayMenu_data();
    void startWithTheSessionFromTheTrayMenu();
    void startedWithTheSession_data();
    void startedWithTheSession();
    void secondLaunchBringsTheFirstForward_data();
    void secondLaunchBringsTheFirstForward();
    void leftoversOfADeadInstanceAreRecovered();

public:
    // The controller and its window; the controller restores the stored session when asked to.
    void open(bool restoreAtStart = false);
    // A returning user: a stored session and these settings, restored at start.
    void openSignedIn(const QString& eventId, bool withOriginals = true, bool autoSync = false);
    void openTray(bool available);
    // Runs the application's event loop until something ends it: its exit code, or kTimedOut.
    int runApplication();

    // The item of the screen shown, or else of the whole window (the album picker's popup).
    QQuickItem* item(const QString& name) const;
    QString text(const QString& name) const { return textOf(item(name)); }
    bool shown(const QString& screen) const { return findItem(m_window->contentItem(), screen)->isVisible(); }
    void click(QQuickItem* target);
    void click(const QString& name) { click(item(name)); }
    void type(const QString& field, const QString& typed);
    // The album picker's popup, once it is open.
    QObject* openPicker();
    // A background pass that the service answers with this status and message (none: a good pass).
    void pass(int status = 0, const QString& message = {});

    std::unique_ptr<AlbumService> m_service;
    std::unique_ptr<Sandbox> m_sandbox;
    std::optional<QString> m_nextFolder;
    QStringList m_panelTitles;
    std::unique_ptr<SyncViewModel> m_model;
    std::unique_ptr<QQmlApplicationEngine> m_engine;
    QQuickWindow* m_window = nullptr;
    std::chrono::milliseconds m_pollingInterval = std::chrono::hours(1);
    std::unique_ptr<TrayIcon> m_tray;
    QStringList m_notifications; // title and text on two lines
};

void UiTest::init() {
    m_service = startService();
    m_service->addEvent({kNoRoleEvent, u"Cedar Wedding"_s, std::nullopt});
    m_service->addEvent({kOwnerEvent, u"Aurora Festival"_s, u"owner"_s});
    m_service->addEvent({kUpperEvent, u"Bay Marathon"_s, u"Owner"_s});
    for (int number = 1; number <= 3; ++number)
        m_service->addPhoto(kOwnerEvent, photo(u"photo-%1"_s.arg(number), u"IMG_%1.JPG"_s.arg(number)), 4096);
    m_sandbox = std::make_unique<Sandbox>();
    KeychainStore::deleteToken();
}

void UiTest::cleanup() {
    m_tray.reset();
    m_notifications.clear();
    m_pollingInterval = std::chrono::hours(1);
    m_engine.reset(); // the window goes before the controller it shows
    m_window = nullptr;
    m_model.reset();
    KeychainStore::deleteToken();
    QLocale::setDefault(QLocale::system());
    m_sandbox.reset();
    m_service.reset();
    m_nextFolder.reset();
    m_panelTitles.clear();
}

void UiTest::open(bool restoreAtStart) {
    const auto picker = [this](const QString& title, const QString&) {
        m_panelTitles.append(title);
        return m_nextFolder;
    };
    m_model = std::make_unique<SyncViewModel>(
        SyncViewModel::Options{picker, m_pollingInterval, restoreAtStart, m_service->baseUrl().toString()});
    m_engine = std::make_unique<QQmlApplicationEngine>();
    m_window = KitewellSyncApp::loadWindow(*m_engine, *m_model);
    QVERIFY(m_window);
    m_window->requestActivate();
    QVERIFY(QTest::qWaitForWindowExposed(m_window));
}

void UiTest::openSignedIn(const QString& eventId, bool withOriginals, bool autoSync) {
    SyncSettings settings = m_sandbox->settings(eventId);
    settings.effectDirectoryBookmark.reset();
    if (!withOriginals)
        settings.originalDirectoryBookmark.reset();
    settings.autoSyncEnabled = autoSync;
    SyncStorage::saveSettings(settings);
    KeychainStore::saveToken(m_service->issueToken(kEmail));
    open(true);
    QVERIFY(shown(u"loginView"_s)); // the first frame, before the restore has run
    QTRY_VERIFY(shown(u"workspaceView"_s));
}

void UiTest::openTray(bool available) {
    m_tray = TrayIcon::createIfAvailable(
        *m_window, *m_model, available,
        [this](const QString& title, const QString& text) { m_notifications.append(title + u'\n' + text); });
    QCOMPARE(bool(m_tray), available);
}

int UiTest::runApplication() {
    // Long enough for any pass these tests run.
    QTimer::singleShot(20'000, m_window, [] { QCoreApplication::exit(kTimedOut); });
    return QCoreApplication::exec();
}

QQuickItem* UiTest::item(const QString& name) const {
    QQuickItem* const content = m_window->contentItem();
    QQuickItem* const screen = findItem(content, shown(u"loginView"_s) ? u"loginView"_s : u"workspaceView"_s);
    QQuickItem* const found = findItem(screen, name);
    return found ? found : findItem(content, name);
}

void UiTest::click(QQuickItem* target) {
    QVERIFY(target && target->isVisible());
    const QPointF centre = target->mapToScene(QPointF(target->width() / 2, target->height() / 2));
    QTest::mouseClick(m_window, Qt::LeftButton, Qt::NoModifier, centre.toPoint());
}

void UiTest::type(const QString& field, const QString& typed) {
    click(field);
    QTRY_VERIFY(item(field)->hasActiveFocus());
    for (const QChar character : typed)
        QTest::keyClick(m_window, char(character.unicode()));
}

QObject* UiTest::openPicker() {
    click(u"albumPicker"_s);
    QObject* const popup = item(u"albumPicker"_s)->property("popup").value<QObject*>();
    return QTest::qWaitFor([&] { return popup->property("opened").toBool(); }) ? popup : nullptr;
}

void UiTest::pass(int status, const QString& message) {
    if (status)
        m_service->setFault(
            Endpoint::Workspace,
            statusFault(status, QJsonDocument(QJsonObject{{u"message"_s, message}}).toJson()));
    else
        m_service->clearFault(Endpoint::Workspace);
    QVERIFY(outcomeOf(m_model->synchronize(false, true)).ok());
}

// ---- sign-in screen ----

void UiTest::signInForm_data() {
    QTest::addColumn<Step>("submit");
    QTest::addColumn<bool>("signsIn");
    QTest::newRow("button") << Step([](UiTest& t) { t.click(u"signInButton"_s); }) << true;
    QTest::newRow("Return in the password field") << Step([](UiTest& t) {
        t.click(u"passwordField"_s);
        QTest::keyClick(t.m_window, Qt::Key_Return);
    }) << true;
    QTest::newRow("Return in the e-mail field") << Step([](UiTest& t) {
        t.click(u"emailField"_s);
        QTest::keyClick(t.m_window, Qt::Key_Return);
    }) << false;
}

void UiTest::signInForm() {
    QFETCH(Step, submit);
    QFETCH(bool, signsIn);
    open();
    QVERIFY(shown(u"loginView"_s) && !shown(u"workspaceView"_s));
    QCOMPARE(item(u"passwordField"_s)->property("echoMode").toInt(), 2); // TextInput.Password: masked
    const QString typed = u"  "_s + kEmail;
    type(u"emailField"_s, typed);
    type(u"passwordField"_s, kPassword);
    QVERIFY(m_model->email() == typed && m_model->password() == kPassword);
    submit(*this);
    // A sign-in marks itself working before it first waits for the service.
    QCOMPARE(m_model->isWorking(), signsIn);
    QTRY_COMPARE(m_service->requests(Endpoint::SignIn).size(), signsIn ? 1 : 0);
    if (!signsIn)
        return;
    QTRY_VERIFY(shown(u"workspaceView"_s));
    QCOMPARE(text(u"workspaceSubtitle"_s), u"登录为 林晓摄影 · 每 15 秒检查一次新原图"_s);
    // Signed out, the form keeps the e-mail address as typed and empties the password.
    click(u"logoutButton"_s);
    QVERIFY(shown(u"loginView"_s));
    QVERIFY(text(u"emailField"_s) == typed && text(u"passwordField"_s).isEmpty());
}

void UiTest::statusLineColour_data() {
    // The service's own refusal text reaches the status line whole, so any text can be shown.
    QTest::addColumn<QString>("message");
    QTest::addColumn<bool>("orange");
    QTest::newRow("无法 inside") << u"账号已停用，无法登录"_s << true;
    QTest::newRow("请 at the end") << u"服务维护中，稍后再试请"_s << true;
    QTest::newRow("near misses") << u"无 法 登 录：清除后重试"_s << false;
    QTest::newRow("long, wrapped") << u"服务器正在维护，"_s.repeated(12) + u"请稍后再试。"_s << true;
}

void UiTest::statusLineColour() {
    QFETCH(QString, message);
    QFETCH(bool, orange);
    m_service->setFault(Endpoint::SignIn,
                        statusFault(403, QJsonDocument(QJsonObject{{u"message"_s, message}}).toJson()));
    open();
    QQuickItem* status = item(u"statusMessage"_s);
    type(u"emailField"_s, kEmail);
    type(u"passwordField"_s, kPassword);
    click(u"signInButton"_s);
    QTRY_COMPARE(textOf(status), message);
    const QColor warning = status->property("warningColor").value<QColor>();
    const QColor normal = status->property("normalColor").value<QColor>();
    QCOMPARE(status->property("color").value<QColor>().rgba(), (orange ? warning : normal).rgba());
    // An orange, and a dimmed text colour.
    QVERIFY(warning.hslHue() >= 20 && warning.hslHue() <= 40 && warning.hslSaturation() > 200);
    QVERIFY(normal.hslSaturation() < 60 && normal.alphaF() < 1);
    QCOMPARE(status->property("lineCount").toInt() > 1, message.size() > 100); // wraps, never cut
}

// ---- workspace screen ----

void UiTest::albumPickerAndRoleLabel_data() {
    QTest::addColumn<int>("option");
    QTest::addColumn<QString>("eventId");
    QTest::addColumn<QString>("role");
    QTest::newRow("owner") << 1 << kOwnerEvent << u"负责人"_s;
    QTest::newRow("Owner, other case") << 2 << kUpperEvent << u"协作成员"_s;
    QTest::newRow("no role") << 3 << kNoRoleEvent << u"协作成员"_s;
    QTest::newRow("请选择") << 0 << QString() << u"协作成员"_s;
}

void UiTest::albumPickerAndRoleLabel() {
    QFETCH(int, option);
    QFETCH(QString, eventId);
    QFETCH(QString, role);
    const QStringList options{u"请选择"_s, u"Aurora Festival"_s, u"Bay Marathon"_s, u"Cedar Wedding"_s};
    openSignedIn(option == 2 ? kNoRoleEvent : kUpperEvent); // another album than the row's
    QObject* const popup = openPicker();
    QVERIFY(popup);
    // Every album, in the controller's order, after "请选择".
    for (int index = 0; index <= options.size(); ++index)
        QCOMPARE(textOf(item(u"albumOption%1"_s.arg(index))), options.value(index, u"<missing>"_s));
    click(u"albumOption%1"_s.arg(option));
    QTRY_VERIFY(!popup->property("visible").toBool());
    QCOMPARE(m_model->settings().eventId.value_or(QString()), eventId);
    QCOMPARE(textOf(item(u"albumPicker"_s)->property("contentItem").value<QQuickItem*>()), options[option]);
    QCOMPARE(text(u"roleLabel"_s), role);
}

void UiTest::foldersAndSwitchesReachTheController() {
    openSignedIn(kOwnerEvent, false);
    for (const auto& [row, prompt, folder] :
         {std::tuple(u"originalFolderRow"_s, u"选择原图同步文件夹"_s, m_sandbox->originals),
          std::tuple(u"effectFolderRow"_s, u"选择精修回传文件夹"_s, m_sandbox->effects)}) {
        QCOMPARE(text(row + u"Detail"_s), prompt);
        m_nextFolder = folder;
        click(row + u"Button"_s);
        QCOMPARE(m_panelTitles.last(), prompt);
        QTRY_COMPARE(text(row + u"Detail"_s), folder);
    }
    for (const QString& toggle : {u"autoSyncToggle"_s, u"autoUploadToggle"_s, u"autoPublishToggle"_s})
        click(toggle);
    const SyncSettings& settings = m_model->settings();
    QVERIFY(settings.autoSyncEnabled && settings.autoUploadEffects && settings.autoPublishEffects);
}

void UiTest::disabledControls_data() {
    // Greyed out on screen and disabled as a screen reader hears it while `start` is in
    // effect, its title meanwhile and afterwards; the control beside it stays operable.
    QTest::addColumn<QString>("control");
    QTest::addColumn<QString>("operable");
    QTest::addColumn<Step>("start");
    QTest::addColumn<Step>("end");
    QTest::addColumn<QStringList>("titles");
    const Step slowPass = [](UiTest& t) {
        t.m_service->setFault(Endpoint::Workspace, Fault{.delayMs = 1500}); // time to look meanwhile
        t.openSignedIn(kOwnerEvent);
        t.click(u"downloadButton"_s);
    };
    const Step wait = [](UiTest&) {};
    QTest::newRow("publish switch, returns off")
        << u"autoPublishToggle"_s << u"autoSyncToggle"_s << Step([](UiTest& t) {
               t.openSignedIn(kOwnerEvent);
               for (const QString& toggle :
                    {u"autoUploadToggle"_s, u"autoPublishToggle"_s, u"autoUploadToggle"_s})
                   t.click(toggle);
           })
        << Step([](UiTest& t) { t.click(u"autoUploadToggle"_s); }) << QStringList();
    QTest::newRow("download button, pass") << u"downloadButton"_s << u"reloadButton"_s << slowPass << wait
                                           << QStringList{u"正在同步…"_s, u"立即下载新增原图"_s};
    QTest::newRow("return button, pass") << u"returnButton"_s << u"albumPicker"_s << slowPass << wait
                                         << QStringList{u"回传精修图"_s, u"回传精修图"_s};
    QTest::newRow("sign-in button, signing in")
        << u"signInButton"_s << u"passwordField"_s << Step([](UiTest& t) {
               t.m_service->setFault(Endpoint::SignIn, Fault{.delayMs = 1500});
               t.open();
               t.type(u"emailField"_s, kEmail);
               t.type(u"passwordField"_s, kPassword);
               t.click(u"signInButton"_s);
           })
        << wait << QStringList{u"正在登录…"_s, u"登录并连接工作台"_s};
}

void UiTest::disabledControls() {
    QFETCH(QString, control);
    QFETCH(QString, operable);
    QFETCH(Step, start);
    QFETCH(Step, end);
    QFETCH(QStringList, titles);
    start(*this);
    QAccessible::setActive(true); // as when a screen reader starts
    QQuickItem* const target = item(control);
    QQuickItem* const other = item(operable);
    QTRY_VERIFY(target && !target->isEnabled());
    QVERIFY(disabledForAssistiveTechnology(target) == true && disabledForAssistiveTechnology(other) == false);
    QVERIFY(other->isEnabled());
    QCOMPARE(textOf(target), titles.value(0, textOf(target)));
    const bool checked = target->property("checked").toBool();
    click(target); // greyed out: nothing happens
    end(*this);
    QTRY_VERIFY_WITH_TIMEOUT(target->isEnabled() && !m_model->isWorking(), 10000);
    QVERIFY(disabledForAssistiveTechnology(target) == false);
    QCOMPARE(textOf(target), titles.value(1, textOf(target)));
    QCOMPARE(target->property("checked").toBool(), checked); // a greyed-out switch keeps its value
}

void UiTest::lastSyncedTime_data() {
    // Hours and minutes in the locale's short style; the C locale's short style has seconds.
    QTest::addColumn<QLocale>("locale");
    QTest::addColumn<QString>("format");
    QTest::newRow("zh_CN") << QLocale(u"zh_CN"_s) << QLocale(u"zh_CN"_s).timeFormat(QLocale::ShortFormat);
    QTest::newRow("C") << QLocale::c() << u"HH:mm"_s;
}

void UiTest::lastSyncedTime() {
    QFETCH(QLocale, locale);
    QFETCH(QString, format);
    QLocale::setDefault(locale);
    openSignedIn(kOwnerEvent);
    QVERIFY(!item(u"lastSyncedLabel"_s)->isVisible());
    m_service->setFault(Endpoint::Workspace, Fault{.delayMs = 1500}); // the pass waits for its album
    click(u"downloadButton"_s);
    // The album list can still be refreshed meanwhile.
    QTRY_VERIFY(m_model->isWorking());
    click(u"reloadButton"_s);
    QTRY_COMPARE(m_service->requests(Endpoint::Bootstrap).size(), 2);
    QTRY_COMPARE_WITH_TIMEOUT(m_model->message(), kThreeDownloaded, 10000);
    const QTime time = m_model->lastSyncedAt()->time();
    QCOMPARE(text(u"lastSyncedLabel"_s), u"最近同步："_s + locale.toString(time, format));
    QVERIFY(!text(u"lastSyncedLabel"_s).contains(time.toString(u"mm:ss"_s)));
}

// ---- the window closed: the tray ----

void UiTest::closingTheWindow_data() {
    // What follows closing the window as a polling pass ends (the tray, when there is one).
    QTest::addColumn<bool>("tray");
    QTest::addColumn<Step>("then");
    QTest::addColumn<int>("ending");
    const auto close = [](const Step& then) {
        return Step([then](UiTest& t) {
            t.m_window->close();
            then(t);
        });
    };
    const auto activate = [&](QSystemTrayIcon::ActivationReason reason) {
        return close(
            [reason](UiTest& t) { Q_EMIT t.m_tray->findChild<QSystemTrayIcon*>()->activated(reason); });
    };
    const auto menu = [&](const QString& entry) {
        return close([entry](UiTest& t) {
            for (QAction* action : t.m_tray->menu().actions())
                if (action->text() == entry)
                    action->trigger();
        });
    };
    const Step nothing = close([](UiTest&) {});
    QTest::newRow("tray: hidden, polling goes on") << true << nothing << int(kPassEndedWhileHidden);
    QTest::newRow("no tray: the program ends") << false << nothing << int(kQuit);
    QTest::newRow("menu 显示窗口") << true << menu(u"显示窗口"_s) << int(kShown);
    QTest::newRow("icon clicked") << true << activate(QSystemTrayIcon::Trigger) << int(kShown);
    QTest::newRow("icon double-clicked") << true << activate(QSystemTrayIcon::DoubleClick) << int(kShown);
    QTest::newRow("menu 退出") << true << menu(u"退出"_s) << int(kQuit);
    QTest::newRow("Ctrl+Q") << true << Step([](UiTest& t) {
        QTest::keyClick(t.m_window, Qt::Key_Q, Qt::ControlModifier);
    }) << int(kQuit);
}

void UiTest::closingTheWindow() {
    QFETCH(bool, tray);
    QFETCH(Step, then);
    QFETCH(int, ending);
    m_pollingInterval = std::chrono::milliseconds(100);
    openSignedIn(kOwnerEvent, true, true);
    openTray(tray);
    // Closed as a pass ends, so the next one starts only after the close.
    QObject::connect(m_model.get(), &SyncViewModel::passEnded, m_window, [&] {
        m_window->isVisible() ? then(*this) : QCoreApplication::exit(kPassEndedWhileHidden);
    });
    QObject::connect(m_window, &QWindow::visibleChanged, m_window, [](bool visible) {
        if (visible)
            QCoreApplication::exit(kShown);
    });
    QCOMPARE(runApplication(), ending);
    if (ending == kShown)
        QTRY_VERIFY(m_window->isExposed() && m_window->isActive());
}

void UiTest::warningsWhileHiddenNotifiedOnce_data() {
    // Passes and the window's comings and goings while it starts hidden; what was notified.
    QTest::addColumn<QList<Step>>("steps");
    QTest::addColumn<QStringList>("notified");
    const QString down = u"服务维护中，请稍后再试"_s, refused = u"无法读取相册"_s;
    const auto failing = [](const QString& message) {
        return Step([message](UiTest& t) { t.pass(503, message); });
    };
    const Step ok = [](UiTest& t) { t.pass(); };
    const Step show = [](UiTest& t) { KitewellSyncApp::bringForward(*t.m_window); };
    const Step hide = [](UiTest& t) { t.m_window->close(); };
    QTest::newRow("the same warning pass after pass")
        << QList{failing(down), failing(down), failing(down)} << QStringList{down};
    QTest::newRow("another warning") << QList{failing(down), failing(refused), failing(refused)}
                                     << QStringList{down, refused};
    QTest::newRow("the same after a pass that went well")
        << QList{failing(down), ok, failing(down)} << QStringList{down, down};
    QTest::newRow("the same after the window was shown")
        << QList{failing(down), show, failing(down), hide, failing(down)} << QStringList{down, down};
    QTest::newRow("not a warning") << QList{failing(u"服务维护中"_s), ok} << QStringList();
    QTest::newRow("signed out by the service")
        << QList{Step([](UiTest& t) { t.pass(401); })} << QStringList{u"已退出电脑同步助手。"_s};
}

void UiTest::warningsWhileHiddenNotifiedOnce() {
    QFETCH(QList<Step>, steps);
    QFETCH(QStringList, notified);
    openSignedIn(kOwnerEvent);
    openTray(true);
    m_window->close();
    for (const Step& step : std::as_const(steps)) {
        step(*this);
        QCOMPARE(m_tray->findChild<QSystemTrayIcon*>()->toolTip(), u"鸢井同步助手\n"_s + m_model->message());
    }
    for (QString& text : notified)
        text.prepend(u"鸢井同步助手\n"_s);
    QCOMPARE(m_notifications, notified);
}

// ---- starting with the session ----

void UiTest::startWithTheSessionFromTheTrayMenu_data() {
    // The entry is written from the menu for this binary, or by someone else for another
    // program; XDG_CONFIG_HOME may be a file in the way.
    QTest::addColumn<bool>("onPath");
    QTest::addColumn<QString>("program");
    QTest::addColumn<bool>("fileInTheWay");
    QTest::newRow("from the menu") << false << QString() << false;
    QTest::newRow("from the menu, on PATH") << true << QString() << false;
    QTest::newRow("written elsewhere, a path to quote")
        << false << u"/opt/鸢井 \"同步\"/$HOME`id`\\%d;'x'/kitewell-sync"_s << false;
    QTest::newRow("a file in the way") << false << QString() << true;
}

void UiTest::startWithTheSessionFromTheTrayMenu() {
    QFETCH(bool, onPath);
    QFETCH(QString, program);
    QFETCH(bool, fileInTheWay);
    const QByteArray saved[] = {qgetenv("XDG_CONFIG_HOME"), qgetenv("PATH")};
    const auto restore =
        qScopeGuard([&] { qputenv("XDG_CONFIG_HOME", saved[0]), qputenv("PATH", saved[1]); });
    const QString config = m_sandbox->root.filePath(u"config"_s);
    QVERIFY(!fileInTheWay || QFile(config).open(QIODevice::WriteOnly));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(config));
    if (onPath)
        qputenv("PATH", QFile::encodeName(QCoreApplication::applicationDirPath()) + ':' + saved[1]);
    const QDir autostart(config + u"/autostart"_s);
    const QString entry = autostart.filePath(u"cn.kitewell.KitewellSync.desktop"_s);

    open();
    openTray(true);
    QAction* menuEntry = m_tray->menu().actions().value(1);
    QVERIFY(menuEntry->text() == u"登录时自动启动" && menuEntry->isCheckable() && !menuEntry->isChecked());
    if (program.isEmpty()) {
        menuEntry->trigger();
    } else {
        Autostart::setEnabled(true, program);
        Q_EMIT m_tray->menu().aboutToShow();
    }
    QCOMPARE(menuEntry->isChecked(), !fileInTheWay);
    if (fileInTheWay) {
        QCOMPARE(m_notifications.size(), 1);
        QVERIFY(m_notifications[0].startsWith(u"鸢井同步助手\n无法设置登录时自动启动："_s));
        return;
    }
    QCOMPARE(autostart.entryList(QDir::Files | QDir::Hidden), QStringList{QFileInfo(entry).fileName()});
    QProcess validate;
    validate.start(u"desktop-file-validate"_s, {entry});
    QVERIFY(validate.waitForFinished());
    const QByteArray complaints = validate.readAllStandardOutput() + validate.readAllStandardError();
    QVERIFY2(validate.exitCode() == 0 && complaints.isEmpty(), complaints.constData());
    const QString started = !program.isEmpty() ? program
                            : onPath           ? QFileInfo(QCoreApplication::applicationFilePath()).fileName()
                                               : QCoreApplication::applicationFilePath();
    QCOMPARE(execArguments(entry), (QStringList{started, u"--hidden"_s}));

    // Switched off from the menu, whoever wrote it.
    menuEntry->trigger();
    QVERIFY(!menuEntry->isChecked() &&
            autostart.isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden));
    QVERIFY(m_notifications.isEmpty());
}

void UiTest::startedWithTheSession_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("tray");
    QTest::addColumn<bool>("shown");
    QTest::newRow("--hidden, tray") << QStringList{u"--hidden"_s} << true << false;
    QTest::newRow("--hidden, no tray") << QStringList{u"--hidden"_s} << false << true;
    QTest::newRow("no argument, tray") << QStringList() << true << true;
}

void UiTest::startedWithTheSession() {
    QFETCH(QStringList, arguments);
    QFETCH(bool, tray);
    QFETCH(bool, shown);
    SyncStorage::saveSettings(m_sandbox->settings(kOwnerEvent));
    KeychainStore::saveToken(m_service->issueToken(kEmail));
    KitewellSyncApp::Options options{.arguments = arguments, .trayAvailable = tray};
    options.model.serviceOrigin = m_service->baseUrl().toString();
    options.notify = [](const QString&, const QString&) {};
    KitewellSyncApp app(*qApp, std::move(options));
    QCOMPARE(app.start(), std::nullopt);
    QSignalSpy visibility(app.window(), &QWindow::visibleChanged);
    // The session is restored and polling starts, with or without a window.
    QTRY_VERIFY(app.model()->isPolling());
    QTRY_VERIFY(!m_service->requests(Endpoint::Workspace).isEmpty());
    QVERIFY(app.window()->isVisible() == shown && visibility.isEmpty());
}

// ---- one instance per user ----

void UiTest::secondLaunchBringsTheFirstForward_data() {
    QTest::addColumn<QString>("secondFolder");
    QTest::addColumn<bool>("secondRuns");
    QTest::newRow("same data folder") << u"/home/a/.local/share/鸢井同步助手"_s << false;
    QTest::newRow("same folder, spelt otherwise") << u"/home/a/.local/share//鸢井同步助手/"_s << false;
    QTest::newRow("another data folder") << u"/home/a/demo/鸢井同步助手"_s << true;
}

void UiTest::secondLaunchBringsTheFirstForward() {
    QFETCH(QString, secondFolder);
    QFETCH(bool, secondRuns);
    SingleInstance first(m_sandbox->root.path(),
                         SingleInstance::keyFor(u"/home/a/.local/share/鸢井同步助手"_s));
    QVERIFY(first.claim());
    QSignalSpy forward(&first, &SingleInstance::activationRequested);
    const QString key = SingleInstance::keyFor(secondFolder);
    QCOMPARE(SingleInstance(m_sandbox->root.path(), key).claim(), secondRuns);
    QCoreApplication::processEvents();
    QTRY_COMPARE(forward.count(), secondRuns ? 0 : 1);
    if (secondRuns)
        return;
    QVERIFY(!SingleInstance(m_sandbox->root.path(), key).claim()); // and again for a third launch
    QTRY_COMPARE(forward.count(), 2);
}

void UiTest::leftoversOfADeadInstanceAreRecovered() {
    const QDir runtime(m_sandbox->root.path());
    const QString key = SingleInstance::keyFor(u"/data"_s);
    // A lock naming a process that has ended...
    QProcess ended;
    ended.start(u"true"_s, {});
    QVERIFY(ended.waitForStarted());
    const qint64 pid = ended.processId();
    QVERIFY(ended.waitForFinished());
    QFile lock(runtime.filePath(key + u".lock"_s));
    QVERIFY(lock.open(QIODevice::WriteOnly));
    lock.write(QByteArray::number(pid) + "\nkitewell-sync\n" + QSysInfo::machineHostName().toUtf8() + "\n");
    lock.close();
    // ...and the socket it was listening on, never removed.
    sockaddr_un address{.sun_family = AF_UNIX, .sun_path = {}};
    qstrncpy(address.sun_path, QFile::encodeName(runtime.filePath(key + u".socket"_s)).constData(),
             sizeof address.sun_path);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    QCOMPARE(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ::close(fd);

    SingleInstance first(runtime.path(), key);
    QVERIFY(first.claim());
    QSignalSpy forward(&first, &SingleInstance::activationRequested);
    QVERIFY(!SingleInstance(runtime.path(), key).claim());
    QTRY_COMPARE(forward.count(), 1);
}

QTEST_MAIN(UiTest)
#include "tst_ui.moc"
