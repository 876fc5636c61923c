// The program as a user meets it: its real window over a real SyncViewModel that talks to the
// local album service, driven by clicks and keystrokes, with real folders and the Secret
// Service; then the tray, the start with the session and the one instance per user. Items
// are found by objectName.

#include "app/SyncViewModel.h"
#include "credentials/KeychainStore.h"
#include "storage/SyncStorage.h"
#include "support/Files.h"
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
using namespace std::chrono_literals;

class UiTest;
// Something the user (or the service) does next.
using Step = std::function<void(UiTest&)>;

namespace {

// Listed by the service in this order; the controller sorts them by title.
const QString kOwnerEvent = u"evt-aurora-0001"_s; // "Aurora Festival", role "owner"
const QString kUpperEvent = u"evt-bay-0002"_s;    // "Bay Marathon", role "Owner"
const QString kNoRoleEvent = u"evt-cedar-0003"_s; // "Cedar Wedding", no role
const QString kProgram = u"鸢井同步助手\n"_s;     // the title of every notification
// How the application's event loop ended in a test.
enum Ending { kQuit = 0, kPassEndedWhileHidden = 2, kShown = 3, kTimedOut = 4 };

// How the program is started.
struct Launch {
    bool restore = true;
    bool tray = false;
    QStringList arguments;
    std::chrono::milliseconds interval = 1h;
};

// A control greyed out while `start` is in effect, and operable again after `end`; its title
// meanwhile and afterwards. The control beside it stays operable throughout.
struct DisabledRow {
    QString control, operable;
    Step start, end;
    QStringList titles;
};

struct WindowRow {
    Launch launch;
    Step then; // done, with the window shown, once a polling pass has ended
    Ending ending;
};

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

QRgb colorOf(const QQuickItem* item, const char* property) {
    return item->property(property).value<QColor>().rgba();
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

Q_DECLARE_METATYPE(Step)
Q_DECLARE_METATYPE(DisabledRow)
Q_DECLARE_METATYPE(WindowRow)

class UiTest : public QObject {
    Q_OBJECT

public:
    std::unique_ptr<AlbumService> m_service;
    std::unique_ptr<Sandbox> m_sandbox;
    std::optional<QString> m_nextFolder; // what the folder panel answers
    QStringList m_panelTitles;
    QStringList m_notifications; // each: the title, a line break, the text
    std::unique_ptr<KitewellSyncApp> m_app;
    QQuickWindow* m_window = nullptr;
    SyncViewModel* m_model = nullptr;

    void open(Launch launch = {.restore = false}) {
        const auto picker = [this](const QString& title, const QString&) {
            m_panelTitles.append(title);
            return m_nextFolder;
        };
        m_app = std::make_unique<KitewellSyncApp>(
            *qApp, KitewellSyncApp::Options{
                       launch.arguments,
                       launch.tray,
                       {picker, launch.interval, launch.restore, m_service->baseUrl().toString()},
                       [this](const QString& title, const QString& text) {
                           m_notifications.append(title + u'\n' + text);
                       }});
        QCOMPARE(m_app->start(), std::nullopt);
        m_window = m_app->window();
        m_model = m_app->model();
        QVERIFY(!m_window->isVisible() || QTest::qWaitForWindowExposed(m_window));
    }

    // A returning user: a stored session and album, the originals folder if asked for.
    void openSignedIn(const QString& eventId, bool withOriginals = true, bool autoSync = false,
                      Launch launch = {}) {
        SyncSettings settings = m_sandbox->settings(eventId);
        settings.effectDirectoryBookmark.reset();
        if (!withOriginals)
            settings.originalDirectoryBookmark.reset();
        settings.autoSyncEnabled = autoSync;
        SyncStorage::saveSettings(settings);
        KeychainStore::saveToken(m_service->issueToken(kEmail));
        open(launch);
        QVERIFY(shown(u"loginView"_s)); // the first frame, before the restore has run
        QTRY_VERIFY(shown(u"workspaceView"_s));
    }

    // The item of the screen shown, or else of the whole window (the album picker's popup).
    QQuickItem* item(const QString& name) const {
        QQuickItem* const content = m_window->contentItem();
        QQuickItem* const found =
            findItem(findItem(content, shown(u"loginView"_s) ? u"loginView"_s : u"workspaceView"_s), name);
        return found ? found : findItem(content, name);
    }
    QString text(const QString& name) const { return textOf(item(name)); }
    bool shown(const QString& screen) const { return findItem(m_window->contentItem(), screen)->isVisible(); }

    void click(QQuickItem* target) {
        QVERIFY(target && target->isVisible());
        const QPointF centre = target->mapToScene(QPointF(target->width() / 2, target->height() / 2));
        QTest::mouseClick(m_window, Qt::LeftButton, Qt::NoModifier, centre.toPoint());
    }
    void click(const QString& name) { click(item(name)); }

    void type(const QString& field, const QString& typed) {
        click(field);
        QTRY_VERIFY(item(field)->hasActiveFocus());
        for (const QChar character : typed)
            QTest::keyClick(m_window, char(character.unicode()));
    }

    // A background pass that the service answers with this status and message (none: a good pass).
    void pass(int status = 0, const QString& message = {}) {
        if (status)
            m_service->setFault(
                Endpoint::Workspace,
                statusFault(status, QJsonDocument(QJsonObject{{u"message"_s, message}}).toJson()));
        else
            m_service->clearFault(Endpoint::Workspace);
        QVERIFY(outcomeOf(m_model->synchronize(false, true)).ok());
    }

    QSystemTrayIcon& trayIcon() const { return *m_app->tray()->findChild<QSystemTrayIcon*>(); }
    QAction* trayEntry(const QString& text) const {
        const QList<QAction*> entries = m_app->tray()->menu().actions();
        const auto found =
            std::ranges::find_if(entries, [&](const QAction* entry) { return entry->text() == text; });
        return found == entries.end() ? nullptr : *found;
    }

private Q_SLOTS:
    void init() {
        m_service = startService();
        m_service->addEvent({kNoRoleEvent, u"Cedar Wedding"_s, std::nullopt});
        m_service->addEvent({kOwnerEvent, u"Aurora Festival"_s, u"owner"_s});
        m_service->addEvent({kUpperEvent, u"Bay Marathon"_s, u"Owner"_s});
        for (int number = 1; number <= 3; ++number)
            m_service->addPhoto(kOwnerEvent, photo(u"photo-%1"_s.arg(number), u"IMG_%1.JPG"_s.arg(number)),
                                4096);
        m_sandbox = std::make_unique<Sandbox>();
        KeychainStore::deleteToken();
    }

    void cleanup() {
        m_app.reset();
        KeychainStore::deleteToken();
        QLocale::setDefault(QLocale::system());
        m_sandbox.reset();
        m_service.reset();
        m_nextFolder.reset();
        m_panelTitles.clear();
        m_notifications.clear();
    }

    // ---- sign-in screen ----

    void signInForm_data() {
        QTest::addColumn<Step>("submit");
        QTest::addColumn<bool>("signsIn");
        const auto returnIn = [](const QString& field) {
            return Step([field](UiTest& t) { t.click(field), QTest::keyClick(t.m_window, Qt::Key_Return); });
        };
        QTest::newRow("button") << Step([](UiTest& t) { t.click(u"signInButton"_s); }) << true;
        QTest::newRow("Return in the password field") << returnIn(u"passwordField"_s) << true;
        QTest::newRow("Return in the e-mail field") << returnIn(u"emailField"_s) << false;
    }

    void signInForm() {
        QFETCH(Step, submit);
        QFETCH(bool, signsIn);
        open();
        QVERIFY(shown(u"loginView"_s) && !shown(u"workspaceView"_s));
        QCOMPARE(item(u"passwordField"_s)->property("echoMode").toInt(), 2); // TextInput.Password: masked
        // The status line is dimmed for a confirmation, orange for a request or a failure.
        QQuickItem* const status = item(u"statusMessage"_s);
        QCOMPARE(colorOf(status, "color"), colorOf(status, "normalColor"));
        click(u"signInButton"_s);
        QVERIFY(textOf(status) == u"请输入邮箱和密码。"_s &&
                colorOf(status, "color") == colorOf(status, "warningColor"));
        const QString typed = u"  "_s + kEmail;
        type(u"emailField"_s, typed);
        type(u"passwordField"_s, kPassword);
        QVERIFY(m_model->email() == typed && m_model->password() == kPassword);
        submit(*this);
        QCOMPARE(m_model->isWorking(), signsIn); // a sign-in is working before it first waits
        QTRY_COMPARE(m_service->requests(Endpoint::SignIn).size(), signsIn ? 1 : 0);
        if (!signsIn)
            return;
        QTRY_VERIFY(shown(u"workspaceView"_s));
        QCOMPARE(text(u"workspaceSubtitle"_s), u"登录为 林晓摄影 · 每 15 秒检查一次新原图"_s);
        // Signed out, the form keeps the e-mail address as typed and empties the password.
        click(u"logoutButton"_s);
        QVERIFY(shown(u"loginView"_s) && text(u"emailField"_s) == typed &&
                text(u"passwordField"_s).isEmpty());
    }

    // ---- workspace screen ----

    void albumPickerAndRoleLabel_data() {
        QTest::addColumn<int>("option");
        QTest::addColumn<QString>("eventId");
        QTest::addColumn<QString>("role");
        QTest::newRow("owner") << 1 << kOwnerEvent << u"负责人"_s;
        QTest::newRow("Owner, other case") << 2 << kUpperEvent << u"协作成员"_s;
        QTest::newRow("no role") << 3 << kNoRoleEvent << u"协作成员"_s;
        QTest::newRow("请选择") << 0 << QString() << u"协作成员"_s;
    }

    void albumPickerAndRoleLabel() {
        QFETCH(int, option);
        QFETCH(QString, eventId);
        QFETCH(QString, role);
        const QStringList options{u"请选择"_s, u"Aurora Festival"_s, u"Bay Marathon"_s, u"Cedar Wedding"_s};
        openSignedIn(option == 2 ? kNoRoleEvent : kUpperEvent); // another album than the row's
        click(u"albumPicker"_s);
        QObject* const popup = item(u"albumPicker"_s)->property("popup").value<QObject*>();
        QTRY_VERIFY(popup->property("opened").toBool());
        // Every album, in the controller's order, after "请选择".
        for (int index = 0; index <= options.size(); ++index)
            QCOMPARE(text(u"albumOption%1"_s.arg(index)), options.value(index, u"<missing>"_s));
        click(u"albumOption%1"_s.arg(option));
        QTRY_VERIFY(!popup->property("visible").toBool());
        QCOMPARE(m_model->settings().eventId.value_or(QString()), eventId);
        QCOMPARE(textOf(item(u"albumPicker"_s)->property("contentItem").value<QQuickItem*>()),
                 options[option]);
        QCOMPARE(text(u"roleLabel"_s), role);
    }

    void foldersAndSwitchesReachTheController() {
        QLocale::setDefault(QLocale::c());
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
        // Polling starts: after its first pass, the time it ended, in hours and minutes (the C
        // locale's short style has seconds too).
        QVERIFY(!item(u"lastSyncedLabel"_s)->isVisible());
        click(u"autoSyncToggle"_s);
        QTRY_VERIFY2(m_model->lastSyncedAt(), qPrintable(m_model->message()));
        QCOMPARE(text(u"lastSyncedLabel"_s),
                 u"最近同步："_s + m_model->lastSyncedAt()->time().toString(u"HH:mm"_s));
        click(u"autoUploadToggle"_s);
        click(u"autoPublishToggle"_s);
        const SyncSettings& settings = m_model->settings();
        QVERIFY(settings.autoSyncEnabled && settings.autoUploadEffects && settings.autoPublishEffects);
    }

    void disabledControls_data() {
        QTest::addColumn<DisabledRow>("row");
        const auto slowPass = [](const QString& button) {
            return Step([button](UiTest& t) {
                t.m_service->setFault(Endpoint::Workspace, Fault{.delayMs = 1500}); // time to look meanwhile
                t.openSignedIn(kOwnerEvent);
                t.m_nextFolder = t.m_sandbox->effects; // with a retouched file to return
                t.click(u"effectFolderRowButton"_s);
                writeAged(t.m_sandbox->effects + u"/Aurora Festival--evt-auro/photo-1__edit.jpg"_s, "edit");
                t.click(button);
            });
        };
        const Step download = slowPass(u"downloadButton"_s), giveBack = slowPass(u"returnButton"_s);
        const Step returned = [](UiTest& t) { QTRY_COMPARE(t.m_service->versions().size(), 1); };
        const Step slowSignIn = [](UiTest& t) {
            t.m_service->setFault(Endpoint::SignIn, Fault{.delayMs = 1500});
            t.open();
            t.type(u"emailField"_s, kEmail), t.type(u"passwordField"_s, kPassword),
                t.click(u"signInButton"_s);
        };
        const Step returns = [](UiTest& t) { t.click(u"autoUploadToggle"_s); };
        const Step publishingThenNoReturns = [returns](UiTest& t) {
            t.openSignedIn(kOwnerEvent);
            returns(t), t.click(u"autoPublishToggle"_s), returns(t);
        };
        const Step wait = [](UiTest&) {};
        QTest::newRow("publish switch, returns off")
            << DisabledRow{u"autoPublishToggle"_s, u"autoSyncToggle"_s, publishingThenNoReturns, returns};
        QTest::newRow("download button, pass") << DisabledRow{
            u"downloadButton"_s, u"reloadButton"_s, download, wait, {u"正在同步…"_s, u"立即下载新增原图"_s}};
        QTest::newRow("return button, pass") << DisabledRow{
            u"returnButton"_s, u"albumPicker"_s, giveBack, returned, {u"回传精修图"_s, u"回传精修图"_s}};
        QTest::newRow("sign-in button, signing in") << DisabledRow{
            u"signInButton"_s, u"passwordField"_s, slowSignIn, wait, {u"正在登录…"_s, u"登录并连接工作台"_s}};
    }

    void disabledControls() {
        QFETCH(DisabledRow, row);
        row.start(*this);
        QAccessible::setActive(true); // as when a screen reader starts
        QQuickItem* const target = item(row.control);
        QQuickItem* const other = item(row.operable);
        QTRY_VERIFY(target && !target->isEnabled());
        QVERIFY(disabledForAssistiveTechnology(target) == true &&
                disabledForAssistiveTechnology(other) == false);
        QVERIFY(other->isEnabled() && textOf(target) == row.titles.value(0, textOf(target)));
        const bool checked = target->property("checked").toBool();
        click(target); // greyed out: nothing happens
        row.end(*this);
        QTRY_VERIFY_WITH_TIMEOUT(target->isEnabled() && !m_model->isWorking(), 10000);
        QVERIFY(disabledForAssistiveTechnology(target) == false);
        QCOMPARE(textOf(target), row.titles.value(1, textOf(target)));
        QCOMPARE(target->property("checked").toBool(), checked); // a greyed-out switch keeps its value
    }

    // ---- the window closed or never shown: the tray ----

    void windowAndTray_data() {
        QTest::addColumn<WindowRow>("row");
        const Launch tray{.tray = true, .interval = 100ms};
        const auto closing = [](const Step& then) {
            return Step([then](UiTest& t) { t.m_window->close(), then(t); });
        };
        const auto activate = [&](QSystemTrayIcon::ActivationReason reason) {
            return closing([reason](UiTest& t) { Q_EMIT t.trayIcon().activated(reason); });
        };
        const auto menu = [&](const QString& entry) {
            return closing([entry](UiTest& t) { t.trayEntry(entry)->trigger(); });
        };
        const Step nothing = [](UiTest&) {};
        QTest::newRow("tray: closed, polling goes on")
            << WindowRow{tray, closing(nothing), kPassEndedWhileHidden};
        QTest::newRow("no tray: closing ends the program")
            << WindowRow{{.interval = 100ms}, closing(nothing), kQuit};
        QTest::newRow("menu 显示窗口") << WindowRow{tray, menu(u"显示窗口"_s), kShown};
        QTest::newRow("icon clicked") << WindowRow{tray, activate(QSystemTrayIcon::Trigger), kShown};
        QTest::newRow("menu 退出") << WindowRow{tray, menu(u"退出"_s), kQuit};
        QTest::newRow("Ctrl+Q") << WindowRow{
            tray, [](UiTest& t) { QTest::keyClick(t.m_window, Qt::Key_Q, Qt::ControlModifier); }, kQuit};
        // Started with the session: in the tray, where there is one.
        QTest::newRow("--hidden, tray: never shown") << WindowRow{
            {.tray = true, .arguments = {u"--hidden"_s}, .interval = 100ms}, nothing, kPassEndedWhileHidden};
        QTest::newRow("--hidden, no tray: shown")
            << WindowRow{{.arguments = {u"--hidden"_s}, .interval = 100ms},
                         [](UiTest&) { QCoreApplication::exit(kShown); },
                         kShown};
    }

    void windowAndTray() {
        QFETCH(WindowRow, row);
        openSignedIn(kOwnerEvent, true, true, row.launch);
        QCOMPARE(bool(m_app->tray()), row.launch.tray);
        // Acting as a pass ends, so the next one starts only after the action.
        const auto acting = QObject::connect(m_model, &SyncViewModel::passEnded, m_window, [&] {
            m_window->isVisible() ? row.then(*this) : QCoreApplication::exit(kPassEndedWhileHidden);
        });
        QObject::connect(m_window, &QWindow::visibleChanged, m_window, [](bool visible) {
            if (visible)
                QCoreApplication::exit(kShown);
        });
        QTimer::singleShot(20'000, m_window, [] { QCoreApplication::exit(kTimedOut); });
        QCOMPARE(Ending(QCoreApplication::exec()), row.ending);
        QObject::disconnect(acting);
        if (row.ending == kShown)
            QTRY_VERIFY(m_window->isExposed() && m_window->isActive());
    }

    void warningsWhileHiddenNotifiedOnce_data() {
        // Passes, and the window's comings and goings, while it starts closed; what was notified.
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
        QTest::newRow("another warning")
            << QList{failing(down), failing(refused), failing(refused)} << QStringList{down, refused};
        QTest::newRow("the same after a pass that went well")
            << QList{failing(down), ok, failing(down)} << QStringList{down, down};
        QTest::newRow("the same after the window was shown")
            << QList{failing(down), show, failing(down), hide, failing(down)} << QStringList{down, down};
        QTest::newRow("not a warning") << QList{failing(u"服务维护中"_s), ok} << QStringList();
        QTest::newRow("signed out by the service")
            << QList{Step([](UiTest& t) { t.pass(401); })} << QStringList{u"已退出电脑同步助手。"_s};
    }

    void warningsWhileHiddenNotifiedOnce() {
        QFETCH(QList<Step>, steps);
        QFETCH(QStringList, notified);
        openSignedIn(kOwnerEvent, true, false, {.tray = true});
        m_window->close();
        for (const Step& step : std::as_const(steps)) {
            step(*this);
            QCOMPARE(trayIcon().toolTip(), kProgram + m_model->message());
        }
        for (QString& text : notified)
            text.prepend(kProgram);
        QCOMPARE(m_notifications, notified);
    }

    // ---- starting with the session ----

    void startWithTheSessionFromTheTrayMenu_data() {
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

    void startWithTheSessionFromTheTrayMenu() {
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

        open({.restore = false, .tray = true});
        QAction* const menuEntry = trayEntry(u"登录时自动启动"_s);
        QVERIFY(menuEntry && menuEntry->isCheckable() && !menuEntry->isChecked());
        if (program.isEmpty())
            menuEntry->trigger();
        else // and then the menu is opened
            Autostart::setEnabled(true, program), Q_EMIT m_app->tray()->menu().aboutToShow();
        QCOMPARE(menuEntry->isChecked(), !fileInTheWay);
        QCOMPARE(m_notifications.value(0).startsWith(kProgram + u"无法设置登录时自动启动："_s), fileInTheWay);
        if (fileInTheWay)
            return;
        QCOMPARE(autostart.entryList(QDir::Files | QDir::Hidden), QStringList{QFileInfo(entry).fileName()});
        QProcess validate;
        validate.start(u"desktop-file-validate"_s, {entry});
        QVERIFY(validate.waitForFinished());
        const QByteArray complaints = validate.readAllStandardOutput() + validate.readAllStandardError();
        QVERIFY2(validate.exitCode() == 0 && complaints.isEmpty(), complaints.constData());
        const QString started = !program.isEmpty() ? program
                                : onPath ? QFileInfo(QCoreApplication::applicationFilePath()).fileName()
                                         : QCoreApplication::applicationFilePath();
        QCOMPARE(execArguments(entry), (QStringList{started, u"--hidden"_s}));

        // Switched off from the menu, whoever wrote it.
        menuEntry->trigger();
        QVERIFY(!menuEntry->isChecked() &&
                autostart.isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden));
        QVERIFY(m_notifications.isEmpty());
    }

    // ---- one instance per user ----

    void secondLaunchBringsTheFirstForward_data() {
        // The first instance's data folder, and what a launch before it left behind.
        QTest::addColumn<QString>("secondFolder");
        QTest::addColumn<bool>("leftovers");
        QTest::addColumn<bool>("secondRuns");
        QTest::newRow("same data folder") << u"/home/a/.local/share/鸢井同步助手"_s << false << false;
        QTest::newRow("same folder, spelt otherwise")
            << u"/home/a/.local/share//鸢井同步助手/"_s << false << false;
        QTest::newRow("another data folder") << u"/home/a/demo/鸢井同步助手"_s << false << true;
        QTest::newRow("after an instance that died")
            << u"/home/a/.local/share/鸢井同步助手"_s << true << false;
    }

    void secondLaunchBringsTheFirstForward() {
        QFETCH(QString, secondFolder);
        QFETCH(bool, leftovers);
        QFETCH(bool, secondRuns);
        const QString folder = m_sandbox->root.path(), key = SingleInstance::keyFor(secondFolder);
        const QString firstKey = SingleInstance::keyFor(u"/home/a/.local/share/鸢井同步助手"_s);
        if (leftovers) {
            // A lock naming a process that has ended, and the socket it listened on, never removed.
            QProcess ended;
            ended.start(u"true"_s, {});
            QVERIFY(ended.waitForStarted());
            const QByteArray pid = QByteArray::number(ended.processId());
            QVERIFY(ended.waitForFinished());
            QFile lock(folder + u'/' + firstKey + u".lock"_s);
            QVERIFY(lock.open(QIODevice::WriteOnly));
            lock.write(pid + "\nkitewell-sync\n" + QSysInfo::machineHostName().toUtf8() + "\n");
            sockaddr_un address{.sun_family = AF_UNIX, .sun_path = {}};
            qstrncpy(address.sun_path, QFile::encodeName(folder + u'/' + firstKey + u".socket"_s).constData(),
                     sizeof address.sun_path);
            const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
            QCOMPARE(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
            ::close(fd);
        }
        SingleInstance first(folder, firstKey);
        QVERIFY(first.claim());
        QSignalSpy forward(&first, &SingleInstance::activationRequested);
        QCOMPARE(SingleInstance(folder, key).claim(), secondRuns);
        QCoreApplication::processEvents();
        QTRY_COMPARE(forward.count(), secondRuns ? 0 : 1);
        QVERIFY(secondRuns || !SingleInstance(folder, key).claim()); // and again for a third launch
        QTRY_COMPARE(forward.count(), secondRuns ? 0 : 2);
    }
};

QTEST_MAIN(UiTest)
#include "tst_ui.moc"
