#pragma once

#include <QDBusServiceWatcher>
#include <QObject>
#include <QTimer>

#include <functional>

namespace kitewell {

// Whether the desktop has a tray to show the program's icon in, watched for a while when it
// has none yet: a session that starts the program a moment before its panel would otherwise
// run without a tray to the end. The tray is looked for again whenever a StatusNotifier
// watcher (the tray of KDE, of GNOME's AppIndicator extension and of most panels) takes its
// name on the session bus, and every few seconds during the first minutes (the XEmbed trays,
// which own an X selection instead).
class TrayHost : public QObject {
    Q_OBJECT

public:
    // Whether a tray is there now.
    using Probe = std::function<bool()>;

    explicit TrayHost(Probe probe, QObject* parent = nullptr);

    bool isAvailable() const { return m_available; }

Q_SIGNALS:
    // A tray has come; sent once, and never when there was one from the start.
    void appeared();

private:
    void lookAgain();

    Probe m_probe;
    bool m_available;
    QDBusServiceWatcher m_watcher;
    QTimer m_retry;
    int m_retriesLeft;
};

} // namespace kitewell
