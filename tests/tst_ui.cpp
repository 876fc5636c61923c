// The window as a user meets it: the real QML over a real SyncViewModel that talks to the
// local album service, driven by clicks and keystrokes, with real folders and the Secret
// Service. Items are found by objectName.

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
#include <QImage>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>
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

namespace {

// Listed by the service in this order; the controller sorts them by title.
const QString kOwnerEvent = u"evt-aurora-0001"_s; // "Aurora Festival", role "owner"
const QString kUpperEvent = u"evt-bay-0002"_s;    // "Bay Marathon", role "Owner"
const QString kNoRoleEvent = u"evt-cedar-0003"_s; // "Cedar Wedding", no role
const QStringList kPickerOptions{u"请选择"_s, u"Aurora Festival"_s, u"Bay Marathon"_s, u"Cedar Wedding"_s};
// How the application's event loop ended in a test.
constexpr int kQuit = 0; // QCoreApplication::quit()
constexpr int kPassEndedWhileHidden = 2;
constexpr int kShown = 3;
constexpr int kTimedOut = 4;

QQuickItem* findItem(QQuickItem* root, const QString& name) {
    if (!root || root->objectName() == name)
        return root;
    for (QQuickItem* child : root->childItems()) {
        if (QQuickItem* found = findItem(child, name))
            return found;
    }
    return nullptr;
}

QString text(const QQuickItem* item) {
    return item ? item->property("text").toString() : u"<missing>"_s;
}

QColor colorOf(const QQuickItem* item, const char* property = "color") {
    return item ? item->property(property).value<QColor>() : QColor();
}

// Colours read back from QML carry float components; compare them as drawn.
bool sameColor(const QColor& a, const QColor& b) {
    return std::abs(a.red() - b.red()) <= 3 && std::abs(a.green() - b.green()) <= 3 &&
           std::abs(a.blue() - b.blue()) <= 3 && std::abs(a.alpha() - b.alpha()) <= 3;
}
#define COMPARE_COLOR(actual, expected)                                                                      \
    QVERIFY2(sameColor((actual), (expected)),                                                                \
             qPrintable((actual).name(QColor::HexArgb) + u" vs "_s + (expected).name(QColor::HexArgb)))

// Hours and minutes in the locale's short style; the C locale's short style has seconds too.
QString shortTime(const QLocale& locale, QTime time) {
    return locale.language() == QLocale::C ? time.toString(u"HH:mm"_s)
                                           : locale.toString(time, QLocale::ShortFormat);
}

QRectF sceneRect(const QQuickItem* item) {
    return item->mapRectToScene(QRectF(0, 0, item->width(), item->height()));
}

} // namespace

class UiTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void signInScreenLayout();
    void returnKey_data();
    void returnKey();
    void statusLineColour_data();
    void statusLineColour();
    void signOutKeepsTheEmailAndEmptiesThePassword();

    void pickerOptionsAndRoleLabel_data();
    void pickerOptionsAndRoleLabel();
    void choosingNoAlbumStopsPolling();
    void albumReplacedByARefreshRunsTheChangeHandler();
    void albumChosenBySignInIsNoChange();
    void folderRowText_data();
    void folderRowText();
    void disabledControls_data();
    void disabledControls();
    void duringAndAfterAPass_data();
    void duringAndAfterAPass();
    void windowSizeAndLayout_data();
    void windowSizeAndLayout();
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

private:
    // The controller and its window; the controller starts its session restore when asked to.
    void open(bool restoreAtStart = false);
    // The tray icon over the window, as the program makes it; notifications are recorded.
    void openTray(bool available);
    // Runs the application's event loop until something ends it: its exit code, or kTimedOut.
    int runApplication();
    // A returning user: a stored session and these settings, restored at start.
    void openSignedIn(std::optional<QString> eventId, const QString& originals = {}, bool autoSync = false,
                      const QString& email = kEmail);

    QQuickItem* screen(const QString& name) const { return findItem(m_window->contentItem(), name); }
    QQuickItem* loginItem(const QString& name) const { return findItem(screen(u"loginView"_s), name); }
    QQuickItem* workspaceItem(const QString& name) const {
        return findItem(screen(u"workspaceView"_s), name);
    }
    bool onWorkspace() const { return screen(u"workspaceView"_s)->isVisible(); }
    bool onSignIn() const { return screen(u"loginView"_s)->isVisible(); }
    QString pickerText() const {
        return text(workspaceItem(u"albumPicker"_s)->property("contentItem").value<QQuickItem*>());
    }

    void click(QQuickItem* item);
    void typeInto(QQuickItem* field, const QString& typed);
    void signInThroughTheForm(const QString& email, const QString& password);
    // Opens the album picker; the popup once it is open.
    QObject* openPicker();
    bool chooseAlbum(int index);

    std::unique_ptr<AlbumService> m_service;
    std::unique_ptr<Sandbox> m_sandbox;
    std::optional<QString> m_nextFolder;
    QStringList m_panelTitles;
    QLocale m_defaultLocale;
    std::unique_ptr<SyncViewModel> m_model;
    std::unique_ptr<QQmlApplicationEngine> m_engine;
    QQuickWindow* m_window = nullptr;
    std::chrono::milliseconds m_pollingInterval = std::chrono::hours(1);
    std::unique_ptr<TrayIcon> m_tray;
    QStringList m_notifications; // title and text on two lines
};

void UiTest::initTestCase() {
    KitewellSyncApp::applyStyle();
    m_defaultLocale = QLocale();
}

void UiTest::init() {
    m_service = startService();
    m_service->addEvent({kNoRoleEvent, u"Cedar Wedding"_s, std::nullopt});
    m_service->addEvent({kOwnerEvent, u"Aurora Festival"_s, u"owner"_s});
    m_service->addEvent({kUpperEvent, u"Bay Marathon"_s, u"Owner"_s});
    for (int number = 1; number <= 3; ++number)
        m_service->addPhoto(kOwnerEvent, photo(u"photo-%1"_s.arg(number), u"IMG_%1.JPG"_s.arg(number)), 4096);
    m_sandbox = std::make_unique<Sandbox>();
    KeychainStore::deleteToken();
    m_nextFolder.reset();
    m_panelTitles.clear();
}

void UiTest::cleanup() {
    m_tray.reset();
    m_notifications.clear();
    m_pollingInterval = std::chrono::hours(1);
    m_engine.reset(); // the window goes before the controller it shows
    m_window = nullptr;
    m_model.reset();
    KeychainStore::deleteToken();
    QLocale::setDefault(m_defaultLocale);
    m_sandbox.reset();
    m_service.reset();
}

void UiTest::open(bool restoreAtStart) {
    SyncViewModel::Options options;
    options.folderPicker = [this](const QString& title, const QString&) {
        m_panelTitles.append(title);
        return m_nextFolder;
    };
    options.serviceOrigin = m_service->baseUrl().toString();
    options.restoreAtStart = restoreAtStart;
    options.pollingInterval = m_pollingInterval; // by default one pass when polling starts
    m_model = std::make_unique<SyncViewModel>(std::move(options));
    m_engine = std::make_unique<QQmlApplicationEngine>();
    m_window = KitewellSyncApp::loadWindow(*m_engine, *m_model);
    QVERIFY(m_window);
    m_window->requestActivate();
    QVERIFY(QTest::qWaitForWindowExposed(m_window));
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

void UiTest::openSignedIn(std::optional<QString> eventId, const QString& originals, bool autoSync,
                          const QString& email) {
    SyncSettings settings;
    settings.eventId = eventId;
    if (!originals.isEmpty())
        settings.originalDirectoryBookmark = FolderBookmark::create(originals);
    settings.autoSyncEnabled = autoSync;
    SyncStorage::saveSettings(settings);
    KeychainStore::saveToken(m_service->issueToken(email));
    open(true);
    if (QTest::currentTestFailed())
        return;
    QVERIFY(onSignIn()); // the first frame, before the restore has run
    QTRY_VERIFY(onWorkspace());
    if (!autoSync) // with polling on, the first pass may have reported already
        QCOMPARE(m_model->message(), u"已恢复登录会话。"_s);
}

void UiTest::click(QQuickItem* item) {
    QVERIFY(item);
    QVERIFY2(item->isVisible(), qPrintable(item->objectName()));
    const QPointF centre = item->mapToScene(QPointF(item->width() / 2, item->height() / 2));
    QTest::mouseClick(m_window, Qt::LeftButton, Qt::NoModifier, centre.toPoint());
}

void UiTest::typeInto(QQuickItem* field, const QString& typed) {
    click(field);
    QTRY_VERIFY(field->hasActiveFocus());
    for (const QChar character : typed)
        QTest::keyClick(m_window, char(character.unicode()));
}

void UiTest::signInThroughTheForm(const QString& email, const QString& password) {
    typeInto(loginItem(u"emailField"_s), email);
    typeInto(loginItem(u"passwordField"_s), password);
    click(loginItem(u"signInButton"_s));
}

QObject* UiTest::openPicker() {
    QQuickItem* picker = workspaceItem(u"albumPicker"_s);
    click(picker);
    QObject* popup = picker->property("popup").value<QObject*>();
    return popup && QTest::qWaitFor([&] { return popup->property("opened").toBool(); }) ? popup : nullptr;
}

bool UiTest::chooseAlbum(int index) {
    QObject* popup = openPicker();
    QQuickItem* option = findItem(m_window->contentItem(), u"albumOption%1"_s.arg(index));
    if (!popup || !option)
        return false;
    click(option);
    return QTest::qWaitFor([&] { return !popup->property("visible").toBool(); });
}

// ---- sign-in screen ----

void UiTest::signInScreenLayout() {
    open();
    QVERIFY(onSignIn() && !onWorkspace());
    const QList<QQuickItem*> elements{loginItem(u"appIcon"_s),       loginItem(u"loginTitle"_s),
                                      loginItem(u"loginSubtitle"_s), loginItem(u"loginForm"_s),
                                      loginItem(u"signInButton"_s),  loginItem(u"statusMessage"_s)};
    // Six elements, top to bottom without overlapping, all in view. (The package's checks see
    // the icon drawn.)
    for (qsizetype i = 0; i < elements.size(); ++i) {
        QVERIFY(elements[i] && elements[i]->isVisible());
        QVERIFY(i == 0 || sceneRect(elements[i]).top() > sceneRect(elements[i - 1]).bottom());
    }
    QCOMPARE(loginItem(u"passwordField"_s)->property("echoMode").toInt(), 2); // TextInput.Password
}

void UiTest::returnKey_data() {
    QTest::addColumn<QString>("field");
    QTest::addColumn<bool>("signsIn");
    QTest::newRow("password field") << u"passwordField"_s << true;
    QTest::newRow("e-mail field") << u"emailField"_s << false;
}

void UiTest::returnKey() {
    QFETCH(QString, field);
    QFETCH(bool, signsIn);
    open();
    typeInto(loginItem(u"emailField"_s), kEmail);
    typeInto(loginItem(u"passwordField"_s), kPassword);
    QCOMPARE(m_model->password(), kPassword);
    click(loginItem(field));
    QTRY_VERIFY(loginItem(field)->hasActiveFocus());
    QTest::keyClick(m_window, Qt::Key_Return);
    // A sign-in marks itself working before it first waits for the service.
    QCOMPARE(m_model->isWorking(), signsIn);
    if (signsIn)
        QTRY_VERIFY(onWorkspace());
    else
        QVERIFY(onSignIn());
    QCOMPARE(m_service->requests(Endpoint::SignIn).size(), signsIn ? 1 : 0);
}

void UiTest::statusLineColour_data() {
    // The service's own refusal text reaches the status line whole, so any text can be shown.
    QTest::addColumn<QString>("message");
    QTest::addColumn<bool>("orange");
    QTest::newRow("无法 inside") << u"账号已停用，无法登录"_s << true;
    QTest::newRow("请 at the end") << u"服务维护中，稍后再试请"_s << true;
    QTest::newRow("near misses") << u"无 法 登 录：清除后重试"_s << false;
    QTest::newRow("empty") << QString() << false;
    QTest::newRow("long") << u"服务器正在维护，"_s.repeated(12) + u"请稍后再试。"_s << true;
}

void UiTest::statusLineColour() {
    QFETCH(QString, message);
    QFETCH(bool, orange);
    m_service->setFault(
        Endpoint::SignIn,
        statusFault(403, QJsonDocument(QJsonObject{{u"message"_s, message}}).toJson(QJsonDocument::Compact)));
    open();
    QQuickItem* status = loginItem(u"statusMessage"_s);
    const qreal oneLine = status->height();
    signInThroughTheForm(kEmail, kPassword);
    QTRY_VERIFY(!m_model->isWorking());
    QCOMPARE(text(status), message);

    const QColor warning = colorOf(status, "warningColor");
    const QColor normal = colorOf(status, "normalColor");
    COMPARE_COLOR(colorOf(status), orange ? warning : normal);
    // The two colours stay apart: an orange, and a dimmed text colour.
    QVERIFY(warning.hslHue() >= 20 && warning.hslHue() <= 40 && warning.hslSaturation() > 200);
    QVERIFY(normal.hslSaturation() < 60);
    // An empty message keeps the line's place; a long one wraps within the window's width.
    if (message.size() > 100)
        QTRY_VERIFY(status->property("lineCount").toInt() > 1);
    else
        QVERIFY(std::abs(status->height() - oneLine) <= 4);
    QCOMPARE(status->width(), m_window->width() - 60.0);
}

void UiTest::signOutKeepsTheEmailAndEmptiesThePassword() {
    open();
    const QString typed = u"  "_s + kEmail;
    signInThroughTheForm(typed, kPassword);
    QTRY_VERIFY(onWorkspace());
    click(workspaceItem(u"logoutButton"_s));
    QVERIFY(onSignIn());
    QCOMPARE(text(loginItem(u"emailField"_s)), typed);
    QCOMPARE(text(loginItem(u"passwordField"_s)), QString());
}

// ---- workspace screen ----

void UiTest::pickerOptionsAndRoleLabel_data() {
    QTest::addColumn<int>("option");
    QTest::addColumn<QVariant>("eventId");
    QTest::addColumn<QVariant>("eventTitle");
    QTest::addColumn<QString>("role");
    QTest::newRow("owner") << 1 << QVariant(kOwnerEvent) << QVariant(u"Aurora Festival"_s) << u"负责人"_s;
    QTest::newRow("Owner, other case")
        << 2 << QVariant(kUpperEvent) << QVariant(u"Bay Marathon"_s) << u"协作成员"_s;
    QTest::newRow("no role") << 3 << QVariant(kNoRoleEvent) << QVariant(u"Cedar Wedding"_s) << u"协作成员"_s;
    QTest::newRow("请选择") << 0 << QVariant() << QVariant() << u"协作成员"_s;
}

void UiTest::pickerOptionsAndRoleLabel() {
    QFETCH(int, option);
    QFETCH(QVariant, eventId);
    QFETCH(QVariant, eventTitle);
    QFETCH(QString, role);
    // Saved on an album other than the one this row chooses.
    openSignedIn(option == 2 ? kNoRoleEvent : kUpperEvent);
    QObject* popup = openPicker();
    QVERIFY(popup);
    for (int index = 0; index < kPickerOptions.size(); ++index) {
        QQuickItem* item = findItem(m_window->contentItem(), u"albumOption%1"_s.arg(index));
        QVERIFY(item);
        QCOMPARE(text(item->property("contentItem").value<QQuickItem*>()), kPickerOptions[index]);
    }
    QVERIFY(!findItem(m_window->contentItem(), u"albumOption%1"_s.arg(kPickerOptions.size())));
    QTest::keyClick(m_window, Qt::Key_Escape);
    QTRY_VERIFY(!popup->property("visible").toBool());

    QVERIFY(chooseAlbum(option));
    QCOMPARE(pickerText(), kPickerOptions[option]);
    QCOMPARE(m_model->settings().eventIdValue(), eventId);
    // The change handler names the album, saves and re-decides polling.
    QTRY_COMPARE(m_model->settings().eventTitleValue(), eventTitle);
    QTRY_COMPARE(SyncStorage::loadSettings().value_or(SyncSettings{}).eventIdValue(), eventId);
    QCOMPARE(SyncStorage::loadSettings()->eventTitleValue(), eventTitle);
    QCOMPARE(text(workspaceItem(u"roleLabel"_s)), role);
}

void UiTest::choosingNoAlbumStopsPolling() {
    openSignedIn(kOwnerEvent, m_sandbox->originals, true);
    QVERIFY(m_model->isPolling());
    // Let the first polling pass end, so the choice meets a quiet controller.
    QTRY_VERIFY(m_model->lastSyncedAt().has_value());
    QTRY_VERIFY(!m_model->isWorking());

    QVERIFY(chooseAlbum(0));
    QTRY_VERIFY(!m_model->isPolling());
    QVERIFY(!m_model->settings().eventId && !m_model->settings().eventTitle);
    const std::optional<SyncSettings> saved = SyncStorage::loadSettings();
    QVERIFY(saved && !saved->eventId && !saved->eventTitle);
    QCOMPARE(pickerText(), u"请选择"_s);
    // Choosing the album again starts polling again.
    QVERIFY(chooseAlbum(1));
    QTRY_VERIFY(m_model->isPolling());
}

void UiTest::albumReplacedByARefreshRunsTheChangeHandler() {
    const QString vanishing = u"evt-dune-0004"_s;
    m_service->addEvent({vanishing, u"Dune Gala"_s, u"owner"_s});
    openSignedIn(vanishing, m_sandbox->originals, true);
    QVERIFY(m_model->isPolling());
    QTRY_VERIFY(m_model->lastSyncedAt().has_value());
    QTRY_VERIFY(!m_model->isWorking());
    m_service->clearRequests();

    // The album goes; a refresh chooses the first album by title in its place.
    m_service->removeEvent(vanishing);
    click(workspaceItem(u"reloadButton"_s));
    QTRY_COMPARE(m_model->settings().eventIdValue(), QVariant(kOwnerEvent));
    QCOMPARE(pickerText(), u"Aurora Festival"_s);
    // The change handler restarted polling, whose first pass runs at once on the new album
    // (the old loop would have slept for its whole interval).
    QTRY_VERIFY(!m_service->requests(Endpoint::Workspace).isEmpty());
    QVERIFY(m_service->requests(Endpoint::Workspace).constFirst().target.contains(kOwnerEvent.toUtf8()));
    QTRY_COMPARE(m_model->message(), u"同步完成：下载原图 3 张。"_s);
}

void UiTest::albumChosenBySignInIsNoChange() {
    // A returning user whose album has gone signs in anew: the sign-in chooses another album,
    // which is what the workspace starts with, so polling stays off until the user acts.
    SyncSettings settings;
    settings.eventId = u"evt-gone"_s;
    settings.originalDirectoryBookmark = FolderBookmark::create(m_sandbox->originals);
    SyncStorage::saveSettings(settings);
    open();
    signInThroughTheForm(kEmail, kPassword);
    QTRY_VERIFY(onWorkspace());
    QTRY_VERIFY(!m_model->isWorking());
    QCOMPARE(SyncStorage::loadSettings()->eventIdValue(), QVariant(kOwnerEvent));
    // One more turn of the event loop, where the picker's change handler would run.
    QCoreApplication::processEvents();
    QVERIFY(!m_model->isPolling());
    QVERIFY(m_service->requests(Endpoint::Workspace).isEmpty());
    // The user's own change of album does run it.
    QVERIFY(chooseAlbum(2));
    QTRY_VERIFY(m_model->isPolling());
}

void UiTest::folderRowText_data() {
    QTest::addColumn<QString>("row");
    QTest::addColumn<QString>("prompt");
    QTest::addColumn<QString>("confirmation");
    QTest::addColumn<QString>("state");
    for (const QString& state : {u"deleted"_s, u"stale"_s})
        QTest::addRow("originals, %s", qPrintable(state))
            << u"originalFolderRow"_s << u"选择原图同步文件夹"_s << u"原图文件夹已设置。"_s << state;
    QTest::newRow("retouched, stale")
        << u"effectFolderRow"_s << u"选择精修回传文件夹"_s << u"精修回传文件夹已设置。"_s << u"stale"_s;
}

void UiTest::folderRowText() {
    QFETCH(QString, row);
    QFETCH(QString, prompt);
    QFETCH(QString, confirmation);
    QFETCH(QString, state);
    const QString folder = m_sandbox->root.filePath(u"照片 文件夹"_s);
    QVERIFY(QDir().mkpath(folder));
    openSignedIn(kOwnerEvent);
    QQuickItem* detail = workspaceItem(row + u"Detail"_s);
    QCOMPARE(text(detail), prompt);

    m_nextFolder = folder;
    click(workspaceItem(row + u"Button"_s));
    QCOMPARE(m_panelTitles, QStringList{prompt});
    QCOMPARE(m_model->message(), confirmation);
    QCOMPARE(text(detail), folder);
    if (state == u"stale") {
        // Another folder at the same path; the chosen one lives on elsewhere.
        QVERIFY(QDir().rename(folder, folder + u"-moved"_s));
        QVERIFY(QDir().mkpath(folder));
    } else {
        QVERIFY(QDir(folder).removeRecursively());
    }
    // The next redraw works the text out anew.
    click(workspaceItem(u"reloadButton"_s));
    QTRY_COMPARE(m_model->message(), u"相册列表已刷新。"_s);
    QCOMPARE(text(detail), prompt);
}

bool disabledForAssistiveTechnology(QQuickItem* item) {
    QAccessibleInterface* const control = QAccessible::queryAccessibleInterface(item);
    return !control || control->state().disabled;
}

void UiTest::disabledControls_data() {
    // Greyed out on screen, and disabled as a screen reader hears it; the control beside it
    // stays operable throughout.
    QTest::addColumn<QString>("control");
    QTest::addColumn<QString>("operable");
    QTest::addColumn<QString>("cause");
    QTest::addColumn<QStringList>("titles"); // meanwhile, afterwards
    QTest::newRow("publish switch, returns off")
        << u"autoPublishToggle"_s << u"autoSyncToggle"_s << u"returns off"_s << QStringList();
    QTest::newRow("download button, pass") << u"downloadButton"_s << u"reloadButton"_s << u"pass"_s
                                           << QStringList{u"正在同步…"_s, u"立即下载新增原图"_s};
    QTest::newRow("return button, pass") << u"returnButton"_s << u"albumPicker"_s << u"pass"_s
                                         << QStringList{u"回传精修图"_s, u"回传精修图"_s};
    QTest::newRow("sign-in button, signing in") << u"signInButton"_s << u"passwordField"_s << u"sign-in"_s
                                                << QStringList{u"正在登录…"_s, u"登录并连接工作台"_s};
}

void UiTest::disabledControls() {
    QFETCH(QString, control);
    QFETCH(QString, operable);
    QFETCH(QString, cause);
    QFETCH(QStringList, titles);
    Fault slow;
    slow.delayMs = 1500; // long enough to look at the screen meanwhile
    if (cause == u"sign-in") {
        m_service->setFault(Endpoint::SignIn, slow);
        open();
    } else {
        if (cause == u"pass")
            m_service->setFault(Endpoint::Workspace, slow);
        openSignedIn(kOwnerEvent, m_sandbox->originals);
    }
    // As when a screen reader starts: the controls join the accessibility tree.
    QAccessible::setActive(true);
    QQuickItem* item = findItem(m_window->contentItem(), control);
    QQuickItem* other = findItem(m_window->contentItem(), operable);
    QVERIFY(item && other && QAccessible::queryAccessibleInterface(item));

    QQuickItem* upload = workspaceItem(u"autoUploadToggle"_s);
    if (cause == u"sign-in") {
        signInThroughTheForm(kEmail, kPassword);
    } else if (cause == u"pass") {
        click(workspaceItem(u"downloadButton"_s));
    } else { // switched on, then returns switched off
        click(upload);
        click(item);
        click(upload);
    }
    QTRY_COMPARE(m_model->isWorking(), cause != u"returns off");
    QVERIFY(!item->isEnabled());
    QVERIFY(disabledForAssistiveTechnology(item));
    QVERIFY(other->isEnabled() && !disabledForAssistiveTechnology(other));
    if (!titles.isEmpty())
        QCOMPARE(text(item), titles.first());

    if (cause == u"returns off") {
        click(item); // greyed out: nothing happens
        click(other);
        // The switch keeps its value; each is saved as soon as it changes.
        const SyncSettings saved = SyncStorage::loadSettings().value_or(SyncSettings{});
        QVERIFY(item->property("checked").toBool() && saved.autoPublishEffects);
        QVERIFY(!saved.autoUploadEffects && saved.autoSyncEnabled);
        click(upload);
        QVERIFY(item->property("checked").toBool());
    }
    QTRY_VERIFY_WITH_TIMEOUT(!m_model->isWorking(), 10000);
    QVERIFY(item->isEnabled());
    QVERIFY(!disabledForAssistiveTechnology(item));
    if (!titles.isEmpty())
        QCOMPARE(text(item), titles.last());
}

void UiTest::duringAndAfterAPass_data() {
    // The time of the last pass is shown in the locale's short style.
    QTest::addColumn<QString>("locale");
    QTest::newRow("zh_CN") << u"zh_CN"_s;
    QTest::newRow("C") << u"C"_s;
}

void UiTest::duringAndAfterAPass() {
    QFETCH(QString, locale);
    QLocale::setDefault(QLocale(locale));
    openSignedIn(kOwnerEvent, m_sandbox->originals);
    QQuickItem* last = workspaceItem(u"lastSyncedLabel"_s);
    QVERIFY(!last->isVisible());

    Fault slow;
    slow.delayMs = 1500; // the pass waits for its album meanwhile
    m_service->setFault(Endpoint::Workspace, slow);
    click(workspaceItem(u"downloadButton"_s));
    QTRY_VERIFY(m_model->isWorking());
    // The album list can still be refreshed meanwhile.
    const qsizetype bootstraps = m_service->requests(Endpoint::Bootstrap).size();
    click(workspaceItem(u"reloadButton"_s));
    QTRY_COMPARE(m_service->requests(Endpoint::Bootstrap).size(), bootstraps + 1);

    QTRY_COMPARE_WITH_TIMEOUT(m_model->message(), u"同步完成：下载原图 3 张。"_s, 10000);
    QVERIFY(last->isVisible());
    const QTime time = m_model->lastSyncedAt()->time();
    QCOMPARE(text(last), u"最近同步："_s + shortTime(QLocale(locale), time));
    QVERIFY(!text(last).contains(time.toString(u"mm:ss"_s)));
}

// ---- the window ----

void UiTest::windowSizeAndLayout_data() {
    QTest::addColumn<bool>("signedIn");
    QTest::newRow("sign-in") << false;
    QTest::newRow("workspace") << true;
}

void UiTest::windowSizeAndLayout() {
    QFETCH(bool, signedIn);
    if (signedIn)
        openSignedIn(kOwnerEvent, m_sandbox->originals);
    else
        open();
    // Left for a person to look at.
    const QString screenshots = qEnvironmentVariable(
        "KITEWELL_UI_SCREENSHOTS", QCoreApplication::applicationDirPath() + u"/ui-screenshots"_s);
    QVERIFY(QDir().mkpath(screenshots));
    QVERIFY(m_window->grabWindow().save(screenshots + (signedIn ? u"/workspace.png"_s : u"/sign-in.png"_s)));
    QCOMPARE(m_window->minimumSize(), QSize(760, 620));
    QCOMPARE(m_window->size(), QSize(760, 620));

    // At the smallest size the whole screen fits inside the window's padding.
    QQuickItem* screenItem = screen(signedIn ? u"workspaceView"_s : u"loginView"_s);
    const QRectF area = sceneRect(screenItem);
    QVERIFY2(area.top() >= 30.0 && area.bottom() <= 620.0 - 30.0,
             qPrintable(u"%1..%2"_s.arg(area.top()).arg(area.bottom())));
    QVERIFY(sceneRect(findItem(screenItem, u"statusMessage"_s)).bottom() <= area.bottom());
    if (signedIn) {
        QCOMPARE(text(workspaceItem(u"workspaceSubtitle"_s)), u"登录为 林晓摄影 · 每 15 秒检查一次新原图"_s);
        QCOMPARE(sceneRect(workspaceItem(u"logoutButton"_s)).right(), m_window->width() - 30.0);
    }
    // Larger is fine; the screen follows the window.
    m_window->resize(1100, 800);
    QTRY_COMPARE(screenItem->width(), 1100.0 - 60.0);
}

// ---- the window closed: the tray ----

void UiTest::closingTheWindow_data() {
    // What follows the close: nothing, a menu entry or an activation of the tray icon; or
    // keys pressed instead of closing.
    QTest::addColumn<bool>("tray");
    QTest::addColumn<QString>("then");
    QTest::addColumn<int>("outcome");
    QTest::newRow("tray: hidden, polling goes on") << true << QString() << kPassEndedWhileHidden;
    QTest::newRow("no tray: the program ends") << false << QString() << kQuit;
    QTest::newRow("menu 显示窗口") << true << u"显示窗口"_s << kShown;
    QTest::newRow("icon clicked") << true << u"click"_s << kShown;
    QTest::newRow("icon double-clicked") << true << u"double-click"_s << kShown;
    QTest::newRow("menu 退出") << true << u"退出"_s << kQuit;
    QTest::newRow("Ctrl+Q") << true << u"Ctrl+Q"_s << kQuit;
}

void UiTest::closingTheWindow() {
    QFETCH(bool, tray);
    QFETCH(QString, then);
    QFETCH(int, outcome);
    m_pollingInterval = std::chrono::milliseconds(100);
    openSignedIn(kOwnerEvent, m_sandbox->originals, true);
    openTray(tray);
    // Closed as a pass ends, so the next one starts only after the close.
    QObject::connect(m_model.get(), &SyncViewModel::passEnded, m_window, [&] {
        if (!m_window->isVisible()) {
            QCoreApplication::exit(kPassEndedWhileHidden);
        } else if (then == u"Ctrl+Q") {
            QTest::keyClick(m_window, Qt::Key_Q, Qt::ControlModifier);
        } else {
            m_window->close();
            if (then.endsWith(u"click"_s))
                Q_EMIT m_tray->findChild<QSystemTrayIcon*>()->activated(
                    then == u"click" ? QSystemTrayIcon::Trigger : QSystemTrayIcon::DoubleClick);
            for (QAction* entry : m_tray ? m_tray->menu().actions() : QList<QAction*>())
                if (entry->text() == then)
                    entry->trigger();
        }
    });
    QObject::connect(m_window, &QWindow::visibleChanged, m_window, [](bool visible) {
        if (visible)
            QCoreApplication::exit(kShown);
    });
    QCOMPARE(runApplication(), outcome);
    if (outcome == kShown)
        QTRY_VERIFY(m_window->isExposed() && m_window->isActive());
}

void UiTest::warningsWhileHiddenNotifiedOnce_data() {
    // Each step: a pass that fails with this text, "ok" a pass that succeeds, "show" or
    // "hide" the window, which starts hidden.
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QStringList>("notified");
    const QString down = u"服务维护中，请稍后再试"_s;
    const QString refused = u"无法读取相册"_s;
    const QString plain = u"服务维护中"_s;
    QTest::newRow("the same warning pass after pass") << QStringList{down, down, down} << QStringList{down};
    QTest::newRow("another warning") << QStringList{down, refused, refused} << QStringList{down, refused};
    QTest::newRow("the same after a pass that went well")
        << QStringList{down, u"ok"_s, down} << QStringList{down, down};
    QTest::newRow("the same after the window was shown")
        << QStringList{down, u"show"_s, down, u"hide"_s, down} << QStringList{down, down};
    QTest::newRow("the window shown") << QStringList{u"show"_s, down} << QStringList();
    QTest::newRow("not a warning") << QStringList{plain, u"ok"_s} << QStringList();
    const QString signedOut = u"已退出电脑同步助手。"_s;
    QTest::newRow("signed out by the service") << QStringList{u"401"_s} << QStringList{signedOut};
}

void UiTest::warningsWhileHiddenNotifiedOnce() {
    QFETCH(QStringList, steps);
    QFETCH(QStringList, notified);
    openSignedIn(kOwnerEvent, m_sandbox->originals);
    openTray(true);
    m_window->close();
    const QSystemTrayIcon* icon = m_tray->findChild<QSystemTrayIcon*>();
    for (const QString& step : std::as_const(steps)) {
        if (step == u"show" || step == u"hide") {
            if (step == u"show")
                KitewellSyncApp::bringForward(*m_window);
            else
                m_window->close();
            QTRY_COMPARE(m_window->isVisible(), step == u"show");
            continue;
        }
        if (step == u"ok")
            m_service->clearFault(Endpoint::Workspace);
        else if (step == u"401")
            m_service->setFault(Endpoint::Workspace, statusFault(401));
        else
            m_service->setFault(Endpoint::Workspace,
                                statusFault(503, QJsonDocument(QJsonObject{{u"message"_s, step}}).toJson()));
        QVERIFY(outcomeOf(m_model->synchronize(false, true)).ok());
        if (step != u"401")
            QCOMPARE(m_model->message(), step == u"ok" ? u"同步完成：下载原图 3 张。"_s : step);
        QCOMPARE(icon->toolTip(), u"鸢井同步助手\n"_s + m_model->message());
    }
    for (QString& text : notified)
        text.prepend(u"鸢井同步助手\n"_s);
    QCOMPARE(m_notifications, notified);
}

// ---- starting with the session ----

// The command line of a desktop entry's Exec key, as a launcher reads it.
QStringList execArguments(const QString& entryPath) {
    g_autoptr(GKeyFile) entry = g_key_file_new();
    if (!g_key_file_load_from_file(entry, QFile::encodeName(entryPath).constData(), G_KEY_FILE_NONE, nullptr))
        return {};
    g_autofree gchar* exec = g_key_file_get_string(entry, "Desktop Entry", "Exec", nullptr);
    g_auto(GStrv) argv = nullptr;
    if (!exec || !g_shell_parse_argv(exec, nullptr, &argv, nullptr))
        return {};
    QStringList arguments;
    for (gchar** argument = argv; *argument; ++argument)
        arguments.append(QString::fromUtf8(*argument).replace(u"%%"_s, u"%"_s)); // the field codes' escape
    return arguments;
}

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
    const auto restore = qScopeGuard([&] {
        qputenv("XDG_CONFIG_HOME", saved[0]);
        qputenv("PATH", saved[1]);
    });
    const QString config = m_sandbox->root.filePath(u"config"_s);
    if (fileInTheWay)
        QVERIFY(QFile(config).open(QIODevice::WriteOnly));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(config));
    if (onPath)
        qputenv("PATH", QFile::encodeName(QCoreApplication::applicationDirPath()) + ':' + saved[1]);
    const QDir autostart(config + u"/autostart"_s);
    const QString entry = autostart.filePath(u"cn.kitewell.KitewellSync.desktop"_s);

    open();
    openTray(true);
    QAction* item = nullptr;
    for (QAction* action : m_tray->menu().actions())
        item = action->text() == u"登录时自动启动" ? action : item;
    QVERIFY(item && item->isCheckable() && !item->isChecked());
    if (program.isEmpty()) {
        item->trigger();
    } else {
        Autostart::setEnabled(true, program);
        Q_EMIT m_tray->menu().aboutToShow();
    }
    if (fileInTheWay) {
        QVERIFY(!item->isChecked());
        QCOMPARE(m_notifications.size(), 1);
        QVERIFY2(m_notifications[0].startsWith(u"鸢井同步助手\n无法设置登录时自动启动："_s),
                 qPrintable(m_notifications[0]));
        return;
    }
    QVERIFY(item->isChecked());
    QCOMPARE(autostart.entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
             QStringList{u"cn.kitewell.KitewellSync.desktop"_s});
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
    item->trigger();
    QVERIFY(!item->isChecked());
    QVERIFY(autostart.isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden));
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
    SyncSettings settings = m_sandbox->settings(kOwnerEvent);
    settings.autoSyncEnabled = true;
    SyncStorage::saveSettings(settings);
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
    QCOMPARE(app.window()->isVisible(), shown);
    QCOMPARE(visibility.count(), 0);
}

// ---- one instance per user ----

void UiTest::secondLaunchBringsTheFirstForward_data() {
    QTest::addColumn<QString>("secondKey");
    QTest::addColumn<bool>("secondRuns");
    QTest::newRow("same data folder")
        << SingleInstance::keyFor(u"/home/a/.local/share/鸢井同步助手"_s) << false;
    QTest::newRow("same folder, spelt otherwise")
        << SingleInstance::keyFor(u"/home/a/.local/share//鸢井同步助手/"_s) << false;
    QTest::newRow("another data folder") << SingleInstance::keyFor(u"/home/a/demo/鸢井同步助手"_s) << true;
}

void UiTest::secondLaunchBringsTheFirstForward() {
    QFETCH(QString, secondKey);
    QFETCH(bool, secondRuns);
    SingleInstance first(m_sandbox->root.path(),
                         SingleInstance::keyFor(u"/home/a/.local/share/鸢井同步助手"_s));
    QVERIFY(first.claim());
    QSignalSpy forward(&first, &SingleInstance::activationRequested);
    SingleInstance second(m_sandbox->root.path(), secondKey);
    QCOMPARE(second.claim(), secondRuns);
    if (secondRuns) {
        QCoreApplication::processEvents();
        QCOMPARE(forward.count(), 0);
        return;
    }
    QTRY_COMPARE(forward.count(), 1);
    // And again for a third launch.
    SingleInstance third(m_sandbox->root.path(), secondKey);
    QVERIFY(!third.claim());
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
    const QByteArray socketPath = QFile::encodeName(runtime.filePath(key + u".socket"_s));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    qstrncpy(address.sun_path, socketPath.constData(), sizeof address.sun_path);
    QCOMPARE(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ::close(fd);

    SingleInstance first(runtime.path(), key);
    QVERIFY(first.claim());
    QSignalSpy forward(&first, &SingleInstance::activationRequested);
    SingleInstance second(runtime.path(), key);
    QVERIFY(!second.claim());
    QTRY_COMPARE(forward.count(), 1);
}

QTEST_MAIN(UiTest)
#include "tst_ui.moc"
