#include "app/PollingTask.h"

#include <algorithm>

namespace kitewell {

using namespace std::chrono_literals;

namespace {

// A file modified within two seconds is left for the next pass. Its modification time is
// never later than the change that reports it, so waking this long after the change finds it
// old enough; the margin covers the file system's coarse clock.
constexpr PollingTask::Moment kSettle = 2100ms;
// How much longer the oldest change waits for a burst to end.
constexpr PollingTask::Moment kBurstGrace = 500ms;

} // namespace

void PollingTask::cancel() {
    m_cancelled = true;
    m_timer.stop();
}

void PollingTask::noteChange() {
    m_changes.push_back(BootTimer::now());
    reschedule();
}

void PollingTask::passStarting() {
    const Moment covered = BootTimer::now() - kSettle;
    while (!m_changes.empty() && m_changes.front() <= covered)
        m_changes.pop_front();
}

void PollingTask::setHeld(bool held) {
    m_held = held;
    reschedule();
}

PollingTask::Moment PollingTask::deadline() const {
    Moment end = *m_intervalEnd;
    if (!m_held && !m_changes.empty())
        end = std::min({end, m_changes.back() + kSettle, m_changes.front() + kSettle + kBurstGrace});
    return end;
}

void PollingTask::reschedule() {
    if (m_intervalEnd)
        m_timer.reschedule(deadline());
}

QCoro::Task<bool> PollingTask::sleep(std::chrono::milliseconds interval) {
    m_intervalEnd = BootTimer::now() + interval;
    const bool elapsed = co_await m_timer.sleepUntil(deadline());
    m_intervalEnd.reset();
    co_return elapsed;
}

} // namespace kitewell
