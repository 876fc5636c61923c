#pragma once

#include "app/SyncViewModel.h"
#include "platform/Translations.h"
#include "ui/ColorScheme.h"
#include "ui/SingleInstance.h"
#include "ui/TrayHost.h"
#include "ui/TrayIcon.h"

#include <QIcon>
#include <QQmlApplicationEngine>
#include <QSystemTrayIcon>

#include <functional>
#include <memory>
#include <optional>

class QApplication;
class QQuickWindow;
class QWindow;

namespace kitewell {

// The program: one controller for the whole run and the one window over it, kept running in
// the tray while the window is closed. A second launch brings the running window forward
// instead.
class KitewellSyncApp {
public:
    static constexpr const char* mainQml = "qrc:/Kitewell/Sync/Main.qml";

    struct Options {
        // Start in the tray, with no window, where there is a tray (a start with the session).
        bool hidden = false;
        // Whether the desktop has a tray now; asked at start and, while it has none, again
        // for a while (see TrayHost).
        std::function<bool()> trayAvailable = &QSystemTrayIcon::isSystemTrayAvailable;
        // The controller's; folders are chosen with the desktop's folder panel unless it names
        // a picker.
        SyncViewModel::Options model;
        TrayIcon::Notifier notify;
    };

    KitewellSyncApp(QApplication& application, Options options);
    ~KitewellSyncApp();

    // Runs the program to its end; the process's exit status.
    int exec();
    // Everything up to the event loop: the exit status when the program ends here already.
    std::optional<int> start();

    QQuickWindow* window() const { return m_window; }
    SyncViewModel* model() const { return m_model.get(); }
    // The tray icon, where the desktop has a tray.
    TrayIcon* tray() const { return m_tray.get(); }

    // The application's identity as the desktop knows it (desktop file, icon).
    static void describeApplication();
    // The look every window is drawn with; before the first QML engine exists.
    static void applyStyle();
    // The program's icon, for its windows and its tray, and the SVG it is drawn from.
    static QIcon applicationIcon();
    static QString applicationIconPath();
    // Loads the window over `model` into `engine`, shown or not; nullptr (with QML's warnings)
    // when it fails.
    static QQuickWindow* loadWindow(QQmlApplicationEngine& engine, SyncViewModel& model, bool visible = true);
    // Shows the window, hidden or minimised as it may be, above the others.
    static void bringForward(QWindow& window);

private:
    void installQtTranslations();
    void showInTray();

    QApplication& m_application;
    Options m_options;
    std::unique_ptr<Translations> m_translations;
    std::unique_ptr<ColorScheme> m_colorScheme;
    SingleInstance m_instance;
    // Declared before the engine, so the window goes before the controller it shows.
    std::unique_ptr<SyncViewModel> m_model;
    QQmlApplicationEngine m_engine;
    QQuickWindow* m_window = nullptr; // owned by the engine
    // Last, so they go before the window and the controller they serve.
    std::unique_ptr<TrayHost> m_trayHost;
    std::unique_ptr<TrayIcon> m_tray;
};

} // namespace kitewell
