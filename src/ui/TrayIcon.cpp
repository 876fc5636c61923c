#include "ui/TrayIcon.h"

#include "app/SyncViewModel.h"
#include "errors/Error.h"
#include "ui/Autostart.h"
#include "ui/KitewellSyncApp.h"
#include "ui/StatusIcon.h"

#include <QApplication>
#include <QWindow>

namespace kitewell {

using namespace Qt::StringLiterals;

namespace {

const QString kProgramName = u"鸢井同步助手"_s;

} // namespace

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
    m_menu.addSeparator();
    addSyncEntries();
    m_menu.addSeparator();
    addAutostartEntry();
    m_menu.addSeparator();
    QObject::connect(m_menu.addAction(u"退出"_s), &QAction::triggered, qApp, &QCoreApplication::quit,
                     Qt::QueuedConnection);

    m_icon.setContextMenu(&m_menu);
    QObject::connect(&m_icon, &QSystemTrayIcon::activated, this,
                     [this](QSystemTrayIcon::ActivationReason reason) {
                         if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick)
                             KitewellSyncApp::bringForward(m_window);
                     });
    QObject::connect(&m_icon, &QSystemTrayIcon::messageClicked, this,
                     [this] { KitewellSyncApp::bringForward(m_window); });

    for (const auto changed :
         {&SyncViewModel::messageChanged, &SyncViewModel::isWorkingChanged, &SyncViewModel::accountChanged,
          &SyncViewModel::progressChanged, &SyncViewModel::passEnded})
        QObject::connect(&m_model, changed, this, &TrayIcon::showState);
    QObject::connect(&m_model, &SyncViewModel::passFailed, this, &TrayIcon::passFailed);
    QObject::connect(&m_model, &SyncViewModel::passEnded, this, [this] {
        if (!m_model.lastPassFailed())
            m_notified.reset();
    });
    QObject::connect(&m_window, &QWindow::visibleChanged, this, [this](bool visible) {
        if (visible)
            m_notified.reset();
    });
    showState();
    m_icon.show();
    QGuiApplication::setQuitOnLastWindowClosed(false);
}

TrayIcon::~TrayIcon() {
    QGuiApplication::setQuitOnLastWindowClosed(m_quitOnLastWindowClosed);
}

// "立即同步" starts the pass the window would (the returns too where a return folder is
// chosen); "自动同步" is the window's first switch. Like the window's, they wait while a pass
// runs, and are there only while someone is signed in.
void TrayIcon::addSyncEntries() {
    QAction* const now = m_menu.addAction(u"立即同步"_s);
    QObject::connect(now, &QAction::triggered, &m_model, &SyncViewModel::requestSynchronizeNow);
    QAction* const autoSync = m_menu.addAction(u"自动同步"_s);
    autoSync->setCheckable(true);
    QObject::connect(autoSync, &QAction::triggered, &m_model, &SyncViewModel::setAutoSyncEnabled);
    const auto follow = [this, now, autoSync] {
        const bool signedIn = m_model.account().has_value();
        now->setEnabled(signedIn && !m_model.isWorking());
        autoSync->setEnabled(signedIn);
        autoSync->setChecked(m_model.settings().autoSyncEnabled);
    };
    for (const auto changed :
         {&SyncViewModel::isWorkingChanged, &SyncViewModel::accountChanged, &SyncViewModel::settingsChanged})
        QObject::connect(&m_model, changed, this, follow);
    follow();
}

void TrayIcon::addAutostartEntry() {
    QAction* const autostart = m_menu.addAction(u"登录时自动启动"_s);
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
}

void TrayIcon::showState() {
    const bool attention = m_model.lastPassFailed() || m_model.messageIsWarning();
    const StatusIcon::Mark mark = m_model.isWorking() ? StatusIcon::Mark::Syncing
                                  : attention         ? StatusIcon::Mark::Warning
                                                      : StatusIcon::Mark::None;
    // Set only when it changes: a tray may fetch every size of the icon anew.
    if (mark != m_mark)
        m_icon.setIcon(StatusIcon::icon(mark));
    m_mark = mark;
    // A pass's progress, while it shows any, comes right after the name.
    const QString progress = m_model.progressText();
    m_icon.setToolTip(kProgramName + u'\n' + (progress.isEmpty() ? QString() : progress + u'\n') +
                      m_model.message());
}

void TrayIcon::passFailed() {
    if (m_window.isVisible() || m_notified == m_model.message())
        return;
    m_notified = m_model.message();
    m_notify(kProgramName, m_model.message());
}

} // namespace kitewell
