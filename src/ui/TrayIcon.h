#pragma once

#include <QMenu>
#include <QObject>
#include <QSystemTrayIcon>

#include <functional>
#include <memory>
#include <optional>

class QWindow;

namespace kitewell {

class SyncViewModel;

// The program in the desktop's tray, so that syncing goes on with the window closed. While
// it exists, closing the window only hides it; the icon brings the window back or ends the
// program, and its menu sets whether the program starts with the session. A pass that ends
// with a warning, or signs the user out, while the window is hidden shows its message once as
// a desktop notification, so that no failure goes unseen.
class TrayIcon : public QObject {
    Q_OBJECT

public:
    // Shows a desktop notification.
    using Notifier = std::function<void(const QString& title, const QString& text)>;

    // The icon when the desktop has a tray; otherwise none, and closing the window ends the
    // program.
    static std::unique_ptr<TrayIcon>
    createIfAvailable(QWindow& window, SyncViewModel& model,
                      bool available = QSystemTrayIcon::isSystemTrayAvailable(), Notifier notify = {});

    // `notify` defaults to the tray's own notification.
    TrayIcon(QWindow& window, SyncViewModel& model, Notifier notify = {});
    ~TrayIcon() override;

    // The icon's menu; further entries belong before the last one, "退出".
    QMenu& menu() { return m_menu; }

private:
    void passEnded();
    void updateToolTip();

    QWindow& m_window;
    SyncViewModel& m_model;
    Notifier m_notify;
    QMenu m_menu;
    QSystemTrayIcon m_icon{this};
    // The warning last notified; forgotten when the window is shown or a pass ends well.
    std::optional<QString> m_notified;
    const bool m_quitOnLastWindowClosed;
};

} // namespace kitewell
