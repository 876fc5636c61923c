#include "platform/BootTimer.h"

#include <QCoroSignal>
#include <QSocketNotifier>

#include <algorithm>
#include <cerrno>
#include <ctime>
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

BootTimer::Moment BootTimer::now() {
    timespec now{};
    ::clock_gettime(CLOCK_BOOTTIME, &now);
    return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
}

void BootTimer::arm(Moment deadline) {
    // Zero would disarm a timerfd: the clock starts at boot, so any real moment is later.
    const long long nanoseconds = std::max<long long>(1, deadline.count());
    itimerspec setting{};
    setting.it_value.tv_sec = time_t(nanoseconds / 1'000'000'000);
    setting.it_value.tv_nsec = long(nanoseconds % 1'000'000'000);
    ::timerfd_settime(m_fd, TFD_TIMER_ABSTIME, &setting, nullptr);
    m_armed = true;
}

void BootTimer::disarm() {
    const itimerspec zero{};
    ::timerfd_settime(m_fd, 0, &zero, nullptr);
    m_armed = false;
}

void BootTimer::onReadable() {
    // The expiration count must be read on every activation; after a resume it may exceed 1.
    // Nothing to read: the timer was moved after it had run out, which cleared the count.
    quint64 expirations = 0;
    ssize_t got = 0;
    while ((got = ::read(m_fd, &expirations, sizeof expirations)) < 0 && errno == EINTR) {
    }
    if (got != sizeof expirations || !m_armed)
        return;
    m_armed = false;
    Q_EMIT finished(true);
}

QCoro::Task<bool> BootTimer::sleepUntil(Moment deadline) {
    if (m_fd < 0)
        co_return false;
    arm(deadline);
    const bool elapsed = co_await qCoro(this, &BootTimer::finished);
    co_return elapsed;
}

void BootTimer::reschedule(Moment deadline) {
    if (m_armed)
        arm(deadline);
}

void BootTimer::stop() {
    if (!m_armed)
        return;
    disarm();
    Q_EMIT finished(false);
}

} // namespace kitewell
