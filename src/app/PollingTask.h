#pragma once

#include "platform/BootTimer.h"

#include <deque>
#include <optional>

namespace kitewell {

// The handle of one polling loop: its wait between passes, which changes in the return
// folder cut short, and its cancellation, which ends the wait at once and makes the loop
// stop at its next check.
//
// A changed file is returned once it is two seconds old, so the wait ends when the newest
// change is that old: a burst of files makes one pass. A steady stream of files still gets a
// pass soon after its oldest change; what it finds too young waits for the next.
class PollingTask {
public:
    using Moment = BootTimer::Moment;

    bool isCancelled() const { return m_cancelled; }
    void cancel();
    // A retouched file changed just now, or changes went unreported.
    void noteChange();
    // A pass starts now: changes old enough for it are its own, later ones wait for the next.
    void passStarting();
    // While another operation works no pass can start: changes wait until it has ended.
    void setHeld(bool held);
    // Waits for the interval, or less when noted changes come due first; false when
    // cancelled.
    QCoro::Task<bool> sleep(std::chrono::milliseconds interval);

private:
    Moment deadline() const;
    void reschedule();

    bool m_cancelled = false;
    bool m_held = false;
    std::deque<Moment> m_changes;        // when each noted change arrived, oldest first
    std::optional<Moment> m_intervalEnd; // while the loop waits
    BootTimer m_timer;
};

} // namespace kitewell
