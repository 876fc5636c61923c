#include "ui/TrayHost.h"

#include <QDBusConnection>

#include <chrono>

namespace kitewell {

using namespace std::chrono_literals;

namespace {

constexpr auto kRetryInterval = 5s;
// Three minutes: long enough for a slow session to bring up its panel.
constexpr int kRetries = 36;

} // namespace

TrayHost::TrayHost(Probe probe, QObject* parent)
    : QObject(parent), m_probe(std::move(probe)), m_available(m_probe()), m_retriesLeft(kRetries) {
    if (m_available)
        return;
    m_watcher.setConnection(QDBusConnection::sessionBus());
    m_watcher.setWatchMode(QDBusServiceWatcher::WatchForRegistration);
    m_watcher.addWatchedService(QStringLiteral("org.kde.StatusNotifierWatcher"));
    QObject::connect(&m_watcher, &QDBusServiceWatcher::serviceRegistered, this, &TrayHost::lookAgain);
    QObject::connect(&m_retry, &QTimer::timeout, this, [this] {
        if (--m_retriesLeft <= 0)
            m_retry.stop();
        lookAgain();
    });
    m_retry.start(kRetryInterval);
}

void TrayHost::lookAgain() {
    if (m_available || !m_probe())
        return;
    m_available = true;
    m_retry.stop();
    m_watcher.setWatchedServices({});
    Q_EMIT appeared();
}

} // namespace kitewell
