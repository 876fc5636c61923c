#include "platform/BootTimer.h"

#include <QCoroSignal>
#include <QSocketNotifier>

#include <cerrno>
#include <sys/timerfd.h>
#include <unistd.h>

namespace kitewell {

BootTimer::BootTimer(QObject* parent) : QObject(parent) {
    m_fd = ::timerfd_create(CLOCK_BOOTTIME, TFD_NONBLOCK | TFD_CLOEXEC);
    if (m_fd >= 0) {
        m_notifier = std::make_unique<QSocketNotifier>(m_fd, QSocketNotifier::Read);
        connect(m_notifier.get(), &QSocketNotifier::activated, this, &BootTimer::onReadable);
    }
}

BootTimer::~BootTimer() {
    m_notifier.reset();
    if (m_fd >= 0)
        ::close(m_fd);
}

void BootTimer::arm(std::chrono::milliseconds interval) {
    // Zero would disarm a timerfd: wait at least a nanosecond.
    const auto nanoseconds = std::max<long long>(1, std::chrono::nanoseconds(interval).count());
    itimerspec setting{};
    setting.it_value.tv_sec = time_t(nanoseconds / 1'000'000'000);
    setting.it_value.tv_nsec = long(nanoseconds % 1'000'000'000);
    ::timerfd_settime(m_fd, 0, &setting, nullptr);
    m_armed = true;
}

void BootTimer::disarm() {
    const itimerspec zero{};
    ::timerfd_settime(m_fd, 0, &zero, nullptr);
    m_armed = false;
}

void BootTimer::onReadable() {
    // The expiration count must be read on every activation; after a resume it may exceed 1.
    quint64 expirations = 0;
    while (::read(m_fd, &expirations, sizeof expirations) < 0 && errno == EINTR) {
    }
    if (!m_armed)
        return;
    m_armed = false;
    Q_EMIT finished(true);
}

QCoro::Task<bool> BootTimer::sleep(std::chrono::milliseconds interval) {
    if (m_fd < 0)
        co_return false;
    arm(interval);
    const bool elapsed = co_await qCoro(this, &BootTimer::finished);
    co_return elapsed;
}

void BootTimer::stop() {
    if (!m_armed)
        return;
    disarm();
    Q_EMIT finished(false);
}

} // namespace kitewell
