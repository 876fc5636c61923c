#include "ui/KitewellSyncApp.h"

#include "storage/SyncStorage.h"
#include "ui/Accessibility.h"

#include <QApplication>
#include <QIcon>
#include <QQuickStyle>
#include <QQuickWindow>
#include <QStandardPaths>

namespace kitewell {

KitewellSyncApp::KitewellSyncApp(QApplication& application, Options options)
    : m_application(application), m_options(std::move(options)),
      m_instance(QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation),
                 SingleInstance::keyFor(SyncStorage::supportDirectory())) {}

KitewellSyncApp::~KitewellSyncApp() = default;

void KitewellSyncApp::describeApplication() {
    QGuiApplication::setApplicationName(QStringLiteral("kitewell-sync"));
    QGuiApplication::setApplicationDisplayName(QStringLiteral("鸢井同步助手"));
    QGuiApplication::setDesktopFileName(QStringLiteral(KITEWELL_APP_ID));
    QGuiApplication::setWindowIcon(applicationIcon());
}

QIcon KitewellSyncApp::applicationIcon() {
    return QIcon(QStringLiteral(":/Kitewell/Sync/icons/" KITEWELL_APP_ID ".svg"));
}

void KitewellSyncApp::applyStyle() {
    QQuickStyle::setStyle(QStringLiteral("Fusion"));
}

QQuickWindow* KitewellSyncApp::loadWindow(QQmlApplicationEngine& engine, SyncViewModel& model, bool visible) {
    reportDisabledItemsToAccessibility();
    engine.setInitialProperties({{QStringLiteral("model"), QVariant::fromValue<QObject*>(&model)},
                                 {QStringLiteral("visible"), visible}});
    engine.load(QUrl(QString::fromLatin1(mainQml)));
    const QList<QObject*> roots = engine.rootObjects();
    return roots.isEmpty() ? nullptr : qobject_cast<QQuickWindow*>(roots.constFirst());
}

int KitewellSyncApp::exec() {
    if (const std::optional<int> ended = start())
        return *ended;
    return m_application.exec();
}

std::optional<int> KitewellSyncApp::start() {
    describeApplication();
    if (!m_instance.claim())
        return 0;
    QObject::connect(&m_instance, &SingleInstance::activationRequested, &m_application, [this] {
        if (m_window)
            bringForward(*m_window);
    });

    installQtTranslations();
    applyStyle();
    m_model = std::make_unique<SyncViewModel>(std::move(m_options.model));
    // Hidden only where the tray can bring the window back.
    const bool hidden = m_options.trayAvailable && m_options.arguments.contains(QStringLiteral("--hidden"));
    m_window = loadWindow(m_engine, *m_model, !hidden);
    if (!m_window)
        return 1;
    m_tray = TrayIcon::createIfAvailable(*m_window, *m_model, m_options.trayAvailable,
                                         std::move(m_options.notify));
    return std::nullopt;
}

// Qt's own texts (file errors, the folder dialog) and the program's own (network errors) in
// the desktop's language.
void KitewellSyncApp::installQtTranslations() {
    m_translations = std::make_unique<Translations>(Translations::defaultFolder());
}

void KitewellSyncApp::bringForward(QWindow& window) {
    window.setWindowStates(window.windowStates() & ~Qt::WindowMinimized);
    window.show();
    window.raise();
    window.requestActivate();
}

} // namespace kitewell
