#pragma once

#include "client/HttpExchange.h"
#include "platform/StagedFile.h"

#include <QFuture>
#include <QPromise>

#include <chrono>
#include <curl/curl.h>
#include <exception>
#include <memory>
#include <optional>

namespace kitewell {

// What a call ends with: the answer, or the error it failed with.
struct TransferOutcome {
    HttpResponse response;
    std::exception_ptr error;
};

// One call on the transfer thread: its request sent hop by hop (redirects are followed here,
// by the request's rule), the answer received as it arrives, and its limits watched. Lives
// and dies on the transfer thread; the caller only sees the future.
class Transfer {
public:
    using Clock = std::chrono::steady_clock;
    enum class Next { Done, AnotherHop };

    explicit Transfer(HttpRequest request);
    ~Transfer(); // ends the call as cancelled if it has not ended yet
    Transfer(const Transfer&) = delete;
    Transfer& operator=(const Transfer&) = delete;

    QFuture<TransferOutcome> future() { return m_promise.future(); }

    // An easy handle set up for the current hop, or nullptr when the call ended already.
    CURL* startHop();
    // libcurl has ended the current hop with this code.
    Next hopEnded(CURLcode code);
    // Ends the call with this error.
    void fail(std::exception_ptr error);
    // When the call has gone too long without data, or taken too long as a whole.
    Clock::time_point nextDeadline() const;
    CURL* handle() const { return m_easy.get(); }

private:
    // libcurl's callbacks: nothing thrown in them crosses libcurl's frames.
    static size_t onHeader(char* data, size_t size, size_t count, void* self) noexcept;
    static size_t onBody(char* data, size_t size, size_t count, void* self) noexcept;
    static size_t onUpload(char* data, size_t size, size_t count, void* self) noexcept;
    static int onSeek(void* self, curl_off_t offset, int origin) noexcept;
    // What work returns, or `failed` with what it threw kept for the end of the hop.
    template <typename Work> size_t guarded(size_t failed, Work work) noexcept;

    void configure(CURL* easy);
    // The status of the answer being received, by libcurl's own reading of its status line.
    int responseCode() const;
    // The final answer's headers: not an interim one's, nor a proxy's, nor trailers.
    HeaderList receivedHeaders() const;
    Next followRedirect(int status, const QByteArray& location);
    void succeed(int status, HeaderList headers);
    void complete(TransferOutcome outcome);

    struct EasyDeleter {
        void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
    };
    struct ListDeleter {
        void operator()(curl_slist* list) const { curl_slist_free_all(list); }
    };

    HttpRequest m_request;
    QPromise<TransferOutcome> m_promise;
    bool m_completed = false;
    std::unique_ptr<CURL, EasyDeleter> m_easy;
    std::unique_ptr<curl_slist, ListDeleter> m_headerList;

    Clock::time_point m_started;
    Clock::time_point m_lastActivity;
    int m_hops = 0;
    std::optional<StagedFile> m_staged;
    qint64 m_uploadOffset = 0;
    std::exception_ptr m_localError; // an error met inside a callback

    size_t m_headBytes = 0; // of every head and trailer of the hop
    QByteArray m_body;
};

} // namespace kitewell
