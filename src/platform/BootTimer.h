#pragma once

#include <QCoroTask>
#include <QObject>

#include <chrono>
#include <memory>

class QSocketNotifier;

namespace kitewell {

// A one-shot timer on the boot-time clock, which keeps counting while the computer
// sleeps (QTimer's monotonic clock stops during suspend).
class BootTimer : public QObject {
    Q_OBJECT
public:
    // A moment on the boot-time clock.
    using Moment = std::chrono::nanoseconds;

    explicit BootTimer(QObject* parent = nullptr);
    ~BootTimer() override;

    static Moment now();

    // Waits until the clock reaches `deadline`; true when it did, false when stop() ended the
    // wait.
    QCoro::Task<bool> sleepUntil(Moment deadline);
    // Moves the end of a running wait; a moment already past ends it at once.
    void reschedule(Moment deadline);
    // Ends a running wait at once.
    void stop();

Q_SIGNALS:
    void finished(bool elapsed);

private:
    void arm(Moment deadline);
    void disarm();
    void onReadable();

    int m_fd = -1;
    std::unique_ptr<QSocketNotifier> m_notifier;
    bool m_armed = false;
};

} // namespace kitewell
