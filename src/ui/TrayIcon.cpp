#include "ui/TrayIcon.h"

#include "app/SyncViewModel.h"
#include "errors/Error.h"
#include "ui/Autostart.h"
#include "ui/KitewellSyncApp.h"

#include <QApplication>
#include <QWindow>

namespace kitewell {

using namespace Qt::StringLiterals;

namespace {

const QString kProgramName = u"鸢井同步助手"_s;

} // namespace

std::unique_ptr<TrayIcon> TrayIcon::createIfAvailable(QWindow& window, SyncViewModel& model, bool available,
                                                      Notifier notify) {
    if (!available)
        return nullptr;
    return std::make_unique<TrayIcon>(window, model, std::move(notify));
}

TrayIcon::TrayIcon(QWindow& window, SyncViewModel& model, Notifier notify)
    : m_window(window), m_model(model), m_notify(std::move(notify)),
      m_quitOnLastWindowClosed(QGuiApplication::quitOnLastWindowClosed()) {
    if (!m_notify) {
        m_notify = [this](const QString& title, const QString& text) {
            m_icon.showMessage(title, text, QSystemTrayIcon::Warning);
        };
    }
    QObject::connect(m_menu.addAction(u"显示窗口"_s), &QAction::triggered, this,
                     [this] { KitewellSyncApp::bringForward(m_window); });
    QAction* autostart = m_menu.addAction(u"登录时自动启动"_s);
    autostart->setCheckable(true);
    // The entry on disk is the setting, whoever wrote or removed it.
    const auto showAutostart = [autostart] { autostart->setChecked(Autostart::isEnabled()); };
    showAutostart();
    QObject::connect(&m_menu, &QMenu::aboutToShow, this, showAutostart);
    QObject::connect(autostart, &QAction::triggered, this, [this, showAutostart](bool checked) {
        try {
            Autostart::setEnabled(checked);
        } catch (const Error& error) {
            m_notify(kProgramName, u"无法设置登录时自动启动："_s + error.description());
        }
        showAutostart();
    });
    m_menu.addSeparator();
    QObject::connect(m_menu.addAction(u"退出"_s), &QAction::triggered, qApp, &QCoreApplication::quit,
                     Qt::QueuedConnection);

    m_icon.setIcon(KitewellSyncApp::applicationIcon());
    m_icon.setContextMenu(&m_menu);
    QObject::connect(&m_icon, &QSystemTrayIcon::activated, this,
                     [this](QSystemTrayIcon::ActivationReason reason) {
                         if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick)
                             KitewellSyncApp::bringForward(m_window);
                     });
    QObject::connect(&m_icon, &QSystemTrayIcon::messageClicked, this,
                     [this] { KitewellSyncApp::bringForward(m_window); });

    QObject::connect(&m_model, &SyncViewModel::messageChanged, this, &TrayIcon::updateToolTip);
    QObject::connect(&m_model, &SyncViewModel::passEnded, this, &TrayIcon::passEnded);
    QObject::connect(&m_window, &QWindow::visibleChanged, this, [this](bool visible) {
        if (visible)
            m_notified.reset();
    });
    updateToolTip();
    m_icon.show();
    QGuiApplication::setQuitOnLastWindowClosed(false);
}

TrayIcon::~TrayIcon() {
    QGuiApplication::setQuitOnLastWindowClosed(m_quitOnLastWindowClosed);
}

void TrayIcon::updateToolTip() {
    m_icon.setToolTip(kProgramName + u'\n' + m_model.message());
}

void TrayIcon::passEnded() {
    // A warning, or a pass that signed the user out: either way syncing waits for them.
    if (!m_model.messageIsWarning() && m_model.account()) {
        m_notified.reset();
        return;
    }
    if (m_window.isVisible() || m_notified == m_model.message())
        return;
    m_notified = m_model.message();
    m_notify(kProgramName, m_model.message());
}

} // namespace kitewell
