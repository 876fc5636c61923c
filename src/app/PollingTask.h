#pragma once

#include "platform/BootTimer.h"

namespace kitewell {

// The handle of one polling loop: cancelling it ends the loop's sleep at once and makes
// the loop stop at its next check.
class PollingTask {
public:
    bool isCancelled() const { return m_cancelled; }
    void cancel() {
        m_cancelled = true;
        m_timer.stop();
    }
    QCoro::Task<bool> sleep(std::chrono::milliseconds interval) { return m_timer.sleep(interval); }

private:
    bool m_cancelled = false;
    BootTimer m_timer;
};

} // namespace kitewell
