#pragma once

#include <QMenu>
#include <QObject>
#include <QSystemTrayIcon>

#include "ui/StatusIcon.h"

#include <functional>
#include <optional>

class QWindow;

namespace kitewell {

class SyncViewModel;

// The program in the desktop's tray, so that syncing goes on with the window closed. While
// it exists, closing the window only hides it. The icon tells whether all is well, a pass
// runs or something needs the user; its menu brings the window back, starts a pass, switches
// automatic sync, sets whether the program starts with the session, and ends the program.
// A pass that fails while the window is hidden shows its message as a desktop notification,
// once: the same failure again is not notified until a pass goes well or the window is shown.
class TrayIcon : public QObject {
    Q_OBJECT

public:
    // Shows a desktop notification.
    using Notifier = std::function<void(const QString& title, const QString& text)>;

    // `notify` defaults to the tray's own notification.
    TrayIcon(QWindow& window, SyncViewModel& model, Notifier notify = {});
    ~TrayIcon() override;

    // The icon's menu; further entries belong before the last one, "退出".
    QMenu& menu() { return m_menu; }

private:
    void addSyncEntries();
    void addAutostartEntry();
    void passFailed();
    void showState();

    QWindow& m_window;
    SyncViewModel& m_model;
    Notifier m_notify;
    QMenu m_menu;
    QSystemTrayIcon m_icon{this};
    // The failure last notified; forgotten when the window is shown or a pass goes well.
    std::optional<QString> m_notified;
    std::optional<StatusIcon::Mark> m_mark;
    const bool m_quitOnLastWindowClosed;
};

} // namespace kitewell
