#pragma once

#include "app/SyncViewModel.h"
#include "platform/Translations.h"
#include "ui/SingleInstance.h"

#include <QQmlApplicationEngine>

#include <memory>

class QApplication;
class QQuickWindow;

namespace kitewell {

// The program: one controller for the whole run and the one window over it. A second launch
// brings the running window forward instead.
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
    // Loads the window over `model` into `engine`; nullptr (with QML's warnings) when it fails.
    static QQuickWindow* loadWindow(QQmlApplicationEngine& engine, SyncViewModel& model);

private:
    void installQtTranslations();
    void bringForward();

    QApplication& m_application;
    std::unique_ptr<Translations> m_translations;
    SingleInstance m_instance;
    // Declared before the engine, so the window goes before the controller it shows.
    std::unique_ptr<SyncViewModel> m_model;
    QQmlApplicationEngine m_engine;
    QQuickWindow* m_window = nullptr; // owned by the engine
};

} // namespace kitewell
