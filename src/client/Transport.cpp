#include "client/Transport.h"

#include "client/TransportFailure.h"

#include <algorithm>
#include <csignal>
#include <pthread.h>

namespace kitewell {

namespace {

// libcurl's global set-up, once per process before the first handle. A function-local static
// is initialised exactly once even when clients on several threads start together.
void initialiseCurlOnce() {
    static const CURLcode initialised = curl_global_init(CURL_GLOBAL_DEFAULT);
    if (initialised != CURLE_OK)
        throw transportError(TransportError::Kind::Other, QString::number(int(initialised)));
}

// A peer that closes its end while TLS writes to it would raise SIGPIPE, which ends the
// process; blocked on the transfer thread, the write fails with EPIPE instead.
void blockBrokenPipeSignal() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

} // namespace

Transport::Transport() {
    initialiseCurlOnce();
    m_multi.reset(curl_multi_init());
    if (!m_multi)
        throw transportError(TransportError::Kind::Other, QString::number(int(CURLE_FAILED_INIT)));
    m_thread = std::thread([this] { run(); });
}

Transport::~Transport() {
    {
        const std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    curl_multi_wakeup(m_multi.get());
    m_thread.join();
}

QFuture<TransferOutcome> Transport::send(HttpRequest request) {
    auto transfer = std::make_unique<Transfer>(std::move(request));
    QFuture<TransferOutcome> future = transfer->future();
    {
        const std::lock_guard lock(m_mutex);
        m_arrived.push_back(std::move(transfer));
    }
    curl_multi_wakeup(m_multi.get());
    return future;
}

void Transport::cancelAll() {
    m_cancelled = true;
    curl_multi_wakeup(m_multi.get());
}

void Transport::run() {
    blockBrokenPipeSignal();
    for (;;) {
        std::vector<std::unique_ptr<Transfer>> arrived;
        bool stopping = false;
        {
            const std::lock_guard lock(m_mutex);
            arrived.swap(m_arrived);
            stopping = m_stopping;
        }
        const bool cancelled = stopping || m_cancelled;
        for (auto& transfer : arrived) {
            if (cancelled)
                transfer->fail(std::make_exception_ptr(CancellationError()));
            else
                begin(std::move(transfer));
        }
        if (cancelled)
            endAll();
        if (stopping)
            return;

        int running = 0;
        curl_multi_perform(m_multi.get(), &running);
        collectEnded();
        enforceLimits();
        curl_multi_poll(m_multi.get(), nullptr, 0, pollTimeoutMs(), nullptr);
    }
}

void Transport::begin(std::unique_ptr<Transfer> transfer) {
    if (CURL* easy = transfer->startHop()) {
        curl_multi_add_handle(m_multi.get(), easy);
        m_running.push_back(std::move(transfer));
    }
}

void Transport::collectEnded() {
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(m_multi.get(), &left)) {
        if (message->msg != CURLMSG_DONE)
            continue;
        CURL* easy = message->easy_handle;
        const CURLcode code = message->data.result;
        Transfer* transfer = nullptr;
        curl_easy_getinfo(easy, CURLINFO_PRIVATE, &transfer);
        curl_multi_remove_handle(m_multi.get(), easy);
        if (transfer->hopEnded(code) == Transfer::Next::AnotherHop) {
            if (CURL* next = transfer->startHop()) {
                curl_multi_add_handle(m_multi.get(), next);
                continue;
            }
        }
        end(transfer);
    }
}

void Transport::enforceLimits() {
    const auto now = Transfer::Clock::now();
    // Gathered first: ending one changes the list.
    std::vector<Transfer*> overdue;
    for (const auto& transfer : m_running) {
        if (now >= transfer->nextDeadline())
            overdue.push_back(transfer.get());
    }
    for (Transfer* transfer : overdue)
        end(transfer, std::make_exception_ptr(transportError(TransportError::Kind::TimedOut)));
}

void Transport::endAll() {
    while (!m_running.empty())
        end(m_running.back().get(), std::make_exception_ptr(CancellationError()));
}

void Transport::end(Transfer* transfer, std::exception_ptr error) {
    // Removing an unfinished transfer closes its connection: that happens before the caller
    // learns the outcome, and the transfer's files go with it.
    curl_multi_remove_handle(m_multi.get(), transfer->handle());
    if (error)
        transfer->fail(std::move(error));
    std::erase_if(m_running, [&](const auto& running) { return running.get() == transfer; });
}

int Transport::pollTimeoutMs() const {
    long curlMs = -1;
    curl_multi_timeout(m_multi.get(), &curlMs);
    auto wait = std::chrono::milliseconds(curlMs >= 0 ? curlMs : 60'000);
    const auto now = Transfer::Clock::now();
    for (const auto& transfer : m_running) {
        const auto untilDeadline =
            std::chrono::ceil<std::chrono::milliseconds>(transfer->nextDeadline() - now);
        wait = std::min(wait, std::max(untilDeadline, std::chrono::milliseconds(0)));
    }
    return int(wait.count());
}

} // namespace kitewell
