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
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QQuickItem>
#include <QQuickWindow>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <glib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace kitewell;
using namespace testsupport;
using namespace std::chrono_literals;

class UiTest;
// Something the user (or the service) does next.
using Step = std::function<void(UiTest&)>;

namespace {

// Listed by the service in this order; the controller sorts them by title.
const QString kOwnerEvent = u"evt-aurora-0001"_s;             // "Aurora Festival", role "owner"
const QString kUpperEvent = u"evt-bay-0002"_s;                // "Bay Marathon", role "Owner"
const QString kNoRoleEvent = u"evt-cedar-0003"_s;             // "Cedar Wedding", no role
const QString kProgram = u"鸢井同步助手\n"_s;                 // the title of every notification
const QString kTrayHost = u"org.kde.StatusNotifierWatcher"_s; // a tray's name on the session bus
// How the application's event loop ended in a test.
enum Ending { kQuit = 0, kPassEndedWhileHidden = 2, kShown = 3, kTimedOut = 4 };

// How the program is started.
struct Launch {
    bool restore = true;
    bool tray = false;
    bool hidden = false;
    std::chrono::milliseconds interval = 1h;
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

QColor colorOf(const QQuickItem* item, const char* property) {
    return QColor::fromRgba(item->property(property).value<QColor>().rgba());
}

// Whether a screen reader hears the control as disabled; nothing when it does not hear it at all.
std::optional<bool> disabledForAssistiveTechnology(QQuickItem* item) {
    QAccessibleInterface* const control = QAccessible::queryAccessibleInterface(item);
    return control ? std::optional<bool>(control->state().disabled) : std::nullopt;
}

// The roles of the elements of the accessible tree below `node` that a screen reader calls by
// this name.
QList<QAccessible::Role> accessibleRoles(QAccessibleInterface* node, const QString& name) {
    auto roles = node->text(QAccessible::Name) == name ? QList{node->role()} : QList<QAccessible::Role>();
    for (int index = 0; index < node->childCount(); ++index)
        roles += accessibleRoles(node->child(index), name);
    return roles;
}

// The names a screen reader hears under `node`, all of them and those of the controls apart.
void listNames(QAccessibleInterface* node, QStringList& controls, QStringList& all) {
    if (!node || node->state().invisible)
        return;
    all.append(node->text(QAccessible::Name));
    if (QList{QAccessible::Button, QAccessible::CheckBox, QAccessible::ComboBox, QAccessible::EditableText}
            .contains(node->role()))
        controls.append(all.last());
    for (int index = 0; index < node->childCount(); ++index)
        listNames(node->child(index), controls, all);
}

// The contrast ratio of two colours (WCAG 2.1).
double contrast(const QColor& text, const QColor& ground) {
    const auto luminance = [](const QColor& c) {
        const auto linear = [](double v) {
            return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
        };
        return 0.2126 * linear(c.redF()) + 0.7152 * linear(c.greenF()) + 0.0722 * linear(c.blueF());
    };
    const auto [darker, lighter] = std::minmax({luminance(text), luminance(ground)});
    return (lighter + 0.05) / (darker + 0.05);
}

// A desktop entry as a launcher reads it: the program its TryExec key checks for, then the
// command line of its Exec key.
QStringList launcherView(const QString& entryPath) {
    g_autoptr(GKeyFile) entry = g_key_file_new();
    g_key_file_load_from_file(entry, QFile::encodeName(entryPath).constData(), G_KEY_FILE_NONE, nullptr);
    g_autofree gchar* tryExec = g_key_file_get_string(entry, "Desktop Entry", "TryExec", nullptr);
    g_autofree gchar* exec = g_key_file_get_string(entry, "Desktop Entry", "Exec", nullptr);
    g_auto(GStrv) argv = nullptr;
    if (!exec || !g_shell_parse_argv(exec, nullptr, &argv, nullptr))
        return {};
    QStringList arguments{QString::fromUtf8(tryExec)};
    for (gchar** argument = argv; *argument; ++argument)
        arguments.append(QString::fromUtf8(*argument).replace(u"%%"_s, u"%"_s)); // the field codes' escape
    return arguments;
}

} // namespace

Q_DECLARE_METATYPE(Step)
Q_DECLARE_METATYPE(WindowRow)

class UiTest : public QObject {
    Q_OBJECT

public:
    std::unique_ptr<AlbumService> m_service;
    std::unique_ptr<Sandbox> m_sandbox;
    std::optional<QString> m_nextFolder; // what the folder panel answers
    QStringList m_panelTitles;
    QStringList m_notifications; // each: the title, a line break, the text
    uint m_scheme = 0; // the desktop portal's colour-scheme setting: 0 no preference, 1 dark, 2 light
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
                       launch.hidden,
                       [tray = launch.tray] { // from the start, or once a tray host has come
                           return tray ||
                                  QDBusConnection::sessionBus().interface()->isServiceRegistered(kTrayHost);
                       },
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

public Q_SLOTS:
    // The portal's answer, a variant in a variant, when the program reads the setting.
    QDBusVariant Read(const QString&, const QString&) {
        return QDBusVariant(QVariant::fromValue(QDBusVariant(m_scheme)));
    }

private Q_SLOTS:
    void init() {
        QDBusConnection::sessionBus().registerObject(u"/org/freedesktop/portal/desktop"_s, // again: a no-op
                                                     u"org.freedesktop.portal.Settings"_s, this,
                                                     QDBusConnection::ExportAllSlots);
        QDBusConnection::sessionBus().registerService(u"org.freedesktop.portal.Desktop"_s);
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
        m_scheme = 0;
        QDBusConnection::sessionBus().unregisterService(kTrayHost);
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
        const QString typed = u"  "_s + kEmail;
        type(u"emailField"_s, typed);
        type(u"passwordField"_s, kPassword);
        QVERIFY(m_model->email() == typed && m_model->password() == kPassword);
        submit(*this);
        // A sign-in is working before it first waits, its button greyed out.
        QVERIFY(m_model->isWorking() == signsIn && item(u"signInButton"_s)->isEnabled() == !signsIn &&
                text(u"signInButton"_s) == (signsIn ? u"正在登录…"_s : u"登录并连接工作台"_s));
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
        // "回传精修图" returns what lies in the album's return folder.
        writeAged(m_sandbox->effects + u"/Aurora Festival--evt-auro/photo-1__edit.jpg"_s, "edit");
        click(u"returnButton"_s);
        QTRY_COMPARE(m_service->versions().size(), 1);
    }

    void publishSwitchGreyedWithoutReturns() {
        openSignedIn(kOwnerEvent);
        QAccessible::setActive(true); // as when a screen reader starts
        QQuickItem* const publish = item(u"autoPublishToggle"_s);
        click(u"autoUploadToggle"_s), click(publish), click(u"autoUploadToggle"_s);
        QTRY_VERIFY(!publish->isEnabled());
        QVERIFY(disabledForAssistiveTechnology(publish) == true &&
                disabledForAssistiveTechnology(item(u"autoSyncToggle"_s)) == false);
        click(publish); // greyed out: nothing happens
        click(u"autoUploadToggle"_s);
        QTRY_VERIFY(publish->isEnabled());
        // Operable again, with the value it kept; each switch's value reached the controller.
        QVERIFY(disabledForAssistiveTechnology(publish) == false && publish->property("checked").toBool());
        QVERIFY(m_model->settings().autoUploadEffects && m_model->settings().autoPublishEffects);
    }

    // While a pass downloads, it shows how far it has got, between the pass buttons and the status
    // line (still the screen's last element, and still in the window), to a screen reader as one
    // progress bar named by its text; nothing once the pass has ended.
    void passProgress() {
        m_service->setFault(Endpoint::Original, Fault{.delayMs = 1500, .count = 1}); // time to look
        openSignedIn(kOwnerEvent, true, false, {.tray = true});
        click(u"downloadButton"_s);
        QQuickItem* const shown = item(u"passProgressBar"_s);
        QQuickItem* const status = item(u"statusMessage"_s);
        QTRY_VERIFY(shown->isVisible());
        const QList<QQuickItem*> column = item(u"workspaceView"_s)->childItems();
        QCOMPARE(column.last(3), (QList{item(u"actionRow"_s), item(u"passProgress"_s), status}));
        QVERIFY(status->mapToScene({0, status->height()}).y() <= m_window->height());
        QAccessible::setActive(true);
        QAccessibleInterface* const window = QAccessible::queryAccessibleInterface(m_window);
        QCOMPARE(accessibleRoles(window, u"正在下载原图 0/3"_s), QList{QAccessible::ProgressBar});
        QCOMPARE(trayIcon().toolTip(), kProgram + u"正在下载原图 0/3\n"_s + m_model->message());
        QTRY_VERIFY(!shown->isVisible());
    }

    // ---- for everyone: screen readers, contrast, the desktop's dark preference ----

    void screensForEveryone_data() {
        QTest::addColumn<uint>("scheme"); // the desktop's preference
        QTest::newRow("dark") << 1u;
        QTest::newRow("light") << 2u;
    }

    void screensForEveryone() {
        QFETCH(uint, scheme);
        m_scheme = 3 - scheme; // the other one at start, then this one
        openSignedIn(kOwnerEvent);
        const auto dark = [this] { return m_window->color().lightness() < 128; };
        QCOMPARE(dark(), scheme == 2);
        // The setting changes: followed at once.
        QDBusMessage changed = QDBusMessage::createSignal(
            u"/org/freedesktop/portal/desktop"_s, u"org.freedesktop.portal.Settings"_s, u"SettingChanged"_s);
        QVERIFY(QDBusConnection::sessionBus().send(changed << u"org.freedesktop.appearance"_s
                                                           << u"color-scheme"_s
                                                           << QVariant::fromValue(QDBusVariant(scheme))));
        QTRY_COMPARE(dark(), scheme == 1);
        const QString screenshots = QCoreApplication::applicationDirPath() + u"/ui-screenshots/"_s;
        QAccessible::setActive(true);
        for (const QString screen : {u"workspace"_s, u"sign-in"_s}) {
            QQuickItem* const status = item(u"statusMessage"_s);
            QVERIFY(colorOf(status, "color") == colorOf(status, "normalColor") &&
                    QDir().mkpath(screenshots) &&
                    m_window->grabWindow().save(screenshots + screen + u'-' + QTest::currentDataTag() +
                                                u".png"_s));
            // A warning: orange, after a sign of its own, and read as it stands.
            screen == u"workspace"_s ? pass(503, u"无法读取相册"_s) : click(u"signInButton"_s);
            QVERIFY(colorOf(status, "color") == colorOf(status, "warningColor") &&
                    colorOf(status, "warningColor") != colorOf(status, "normalColor"));
            QStringList controls, all;
            listNames(QAccessible::queryAccessibleInterface(m_window), controls, all);
            QVERIFY(all.contains(u"警告"_s) && all.contains(m_model->message()));
            // Every control named, no two alike (the two folder buttons, the two fields).
            QVERIFY2(!controls.contains(QString()) &&
                         QSet(controls.begin(), controls.end()).size() == controls.size(),
                     qPrintable(controls.join(u" | "_s)));
            // Both colours of the status line (the dimmed one is all secondary text's) on the window,
            // and the main button's text on its fill.
            QQuickItem* const button =
                item(screen == u"workspace"_s ? u"downloadButton"_s : u"signInButton"_s);
            QQuickItem* const label = button->property("contentItem").value<QQuickItem*>();
            QQuickItem* const fill = button->property("background").value<QQuickItem*>();
            for (const auto& [text, ground] : {std::pair(colorOf(status, "warningColor"), m_window->color()),
                                               std::pair(colorOf(status, "normalColor"), m_window->color()),
                                               std::pair(colorOf(label, "color"), colorOf(fill, "color"))})
                QVERIFY2(text.alpha() == 255 && contrast(text, ground) >= 4.5, // opaque: drawn as it is
                         qPrintable(text.name(QColor::HexArgb) + u" on "_s + ground.name()));
            if (screen == u"workspace"_s)
                click(u"logoutButton"_s);
        }
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
        // Started with the session: in the tray, where there is one.
        QTest::newRow("--hidden, tray: never shown")
            << WindowRow{{.tray = true, .hidden = true, .interval = 100ms}, nothing, kPassEndedWhileHidden};
        // Without a tray shown; when one comes, hidden.
        QTest::newRow("--hidden, a tray that comes later")
            << WindowRow{{.hidden = true, .interval = 100ms},
                         [](UiTest&) { QDBusConnection::sessionBus().registerService(kTrayHost); },
                         kPassEndedWhileHidden};
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

    void failuresWhileHiddenNotifiedOnce_data() {
        // Passes, and the window's comings and goings, while it starts closed; what was notified.
        QTest::addColumn<QList<Step>>("steps");
        QTest::addColumn<QStringList>("notified");
        const QString down = u"服务维护中，请稍后再试"_s, refused = u"无法读取相册"_s,
                      plain = u"服务维护中"_s;
        const auto failing = [](const QString& message) {
            return Step([message](UiTest& t) { t.pass(503, message); });
        };
        const Step ok = [](UiTest& t) { t.pass(); };
        const Step show = [](UiTest& t) { KitewellSyncApp::bringForward(*t.m_window); };
        const Step hide = [](UiTest& t) { t.m_window->close(); };
        const Step returnFolder = [](UiTest& t) {
            t.m_nextFolder = t.m_sandbox->effects, t.m_model->chooseFolder(FolderKind::effect);
        };
        const auto syncNow = [](bool returns) { // from the tray
            return Step([returns](UiTest& t) {
                QAction* const now = t.trayEntry(u"立即同步"_s);
                now->trigger();
                // Greyed out while it runs, as the window's buttons are.
                QVERIFY(!now->isEnabled() && !t.item(u"returnButton"_s)->isEnabled() &&
                        t.text(u"downloadButton"_s) == u"正在同步…"_s);
                QTRY_VERIFY(now->isEnabled() && t.text(u"downloadButton"_s) == u"立即下载新增原图"_s);
                // Only a return pass makes the album's folder among the returns.
                QCOMPARE(QDir(t.m_sandbox->effects).isEmpty(), !returns);
            });
        };
        // The window's first switch: saved, polling started, then stopped with its pass, silently.
        const Step autoSyncOnAndOff = [](UiTest& t) {
            QAction* const autoSync = t.trayEntry(u"自动同步"_s);
            t.m_service->setFault(Endpoint::Workspace, Fault{.delayMs = 5000});
            autoSync->trigger();
            QTRY_VERIFY(t.m_model->isWorking() && t.m_model->isPolling() && autoSync->isChecked());
            autoSync->trigger();
            QTRY_VERIFY(!t.m_model->isWorking() && !t.m_model->isPolling() && !autoSync->isChecked());
        };
        QTest::newRow("the same pass after pass, then another")
            << QList{failing(down), failing(down), failing(refused), failing(refused)}
            << QStringList{down, refused};
        QTest::newRow("not orange (plain); the same after a pass that went well")
            << QList{failing(plain), ok, failing(plain), ok} << QStringList{plain, plain};
        QTest::newRow("the same after the window was shown; 自动同步 stopping a pass, silently")
            << QList{failing(down), show, failing(down), hide, failing(down), show, hide, autoSyncOnAndOff}
            << QStringList{down, down};
        QTest::newRow("立即同步: the download pass, then with a return folder the return pass")
            << QList{syncNow(false), returnFolder, syncNow(true)} << QStringList();
        QTest::newRow("signed out by the service")
            << QList{Step([](UiTest& t) { t.pass(401); })} << QStringList{u"已退出电脑同步助手。"_s};
    }

    void failuresWhileHiddenNotifiedOnce() {
        QFETCH(QList<Step>, steps);
        QFETCH(QStringList, notified);
        openSignedIn(kOwnerEvent, true, false, {.tray = true});
        m_window->close();
        for (const Step& step : std::as_const(steps)) {
            step(*this);
            QCOMPARE(trayIcon().toolTip(), kProgram + m_model->message());
        }
        QCOMPARE(m_notifications, notified.replaceInStrings(QRegularExpression(u"^"_s), kProgram));
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
        QCOMPARE(launcherView(entry), (QStringList{started, started, u"--hidden"_s}));

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
            const pid_t ended = fork();
            if (ended == 0)
                _exit(0);
            QCOMPARE(waitpid(ended, nullptr, 0), ended);
            const QByteArray pid = QByteArray::number(ended);
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
