#pragma once

#include "client/Transfer.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace kitewell {

// The HTTP layer of one client: a thread of its own drives every transfer through one libcurl
// multi handle (so kept-alive connections are reused from call to call), reads upload bodies
// and writes downloads there, and hands each outcome back as a future the caller awaits.
class Transport {
public:
    Transport();
    // Ends every transfer still running as cancelled and waits for the thread.
    ~Transport();
    Transport(const Transport&) = delete;
    Transport& operator=(const Transport&) = delete;

    QFuture<TransferOutcome> send(HttpRequest request);
    // Ends every transfer, now and later, as cancelled. From any thread.
    void cancelAll();

private:
    void run();
    void begin(std::unique_ptr<Transfer> transfer);
    void collectEnded();
    void enforceLimits();
    void endAll();
    // Takes the transfer off the multi handle, ends it with the error if given, and drops it.
    void end(Transfer* transfer, std::exception_ptr error = {});
    int pollTimeoutMs() const;

    struct MultiDeleter {
        void operator()(CURLM* multi) const { curl_multi_cleanup(multi); }
    };
    std::unique_ptr<CURLM, MultiDeleter> m_multi;

    std::mutex m_mutex;
    std::vector<std::unique_ptr<Transfer>> m_arrived; // guarded by m_mutex
    bool m_stopping = false;                          // guarded by m_mutex
    std::atomic<bool> m_cancelled = false;

    std::vector<std::unique_ptr<Transfer>> m_running; // the transfer thread's own
    std::thread m_thread;
};

} // namespace kitewell
