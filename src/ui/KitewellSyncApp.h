#pragma once

#include "app/SyncViewModel.h"
#include "platform/Translations.h"
#include "ui/SingleInstance.h"
#include "ui/TrayIcon.h"

#include <QIcon>
#include <QQmlApplicationEngine>

#include <memory>

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

    explicit KitewellSyncApp(QApplication& application);
    ~KitewellSyncApp();

    // Runs the program to its end; the process's exit status.
    int exec();

    // The application's identity as the desktop knows it (desktop file, icon).
    static void describeApplication();
    // The look every window is drawn with; before the first QML engine exists.
    static void applyStyle();
    // The program's icon, for its windows and its tray.
    static QIcon applicationIcon();
    // Loads the window over `model` into `engine`; nullptr (with QML's warnings) when it fails.
    static QQuickWindow* loadWindow(QQmlApplicationEngine& engine, SyncViewModel& model);
    // Shows the window, hidden or minimised as it may be, above the others.
    static void bringForward(QWindow& window);

private:
    void installQtTranslations();

    QApplication& m_application;
    std::unique_ptr<Translations> m_translations;
    SingleInstance m_instance;
    // Declared before the engine, so the window goes before the controller it shows.
    std::unique_ptr<SyncViewModel> m_model;
    QQmlApplicationEngine m_engine;
    QQuickWindow* m_window = nullptr; // owned by the engine
    // Last, so it goes before the window and the controller it serves.
    std::unique_ptr<TrayIcon> m_tray;
};

} // namespace kitewell
