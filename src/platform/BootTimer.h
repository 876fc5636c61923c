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
    explicit BootTimer(QObject* parent = nullptr);
    ~BootTimer() override;

    // Waits for the interval; true when it ran out, false when stop() ended the wait.
    QCoro::Task<bool> sleep(std::chrono::milliseconds interval);
    // Ends a running wait at once.
    void stop();

Q_SIGNALS:
    void finished(bool elapsed);

private:
    void arm(std::chrono::milliseconds interval);
    void disarm();
    void onReadable();

    int m_fd = -1;
    std::unique_ptr<QSocketNotifier> m_notifier;
    bool m_armed = false;
};

} // namespace kitewell
