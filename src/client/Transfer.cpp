#include "client/Transfer.h"

#include "client/SyncClientError.h"
#include "client/TransportFailure.h"

#include <algorithm>

namespace kitewell {

using namespace Qt::StringLiterals;

namespace {

constexpr int kMaxRedirects = 16;
constexpr long kUploadBuffer = 512 * 1024;
constexpr long kReceiveBuffer = 256 * 1024;
// The most the program takes in of an answer's heads, and of a body kept in memory (a workspace
// of 20,000 photos is about 5 MB; downloads go to disk and have no limit).
constexpr size_t kMaxHeadBytes = 256 * 1024;
constexpr qsizetype kMaxAnswerBytes = 64 * 1024 * 1024;

bool isRedirect(int status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

bool isSuccess(int status) {
    return status >= 200 && status <= 299;
}

bool sameOrigin(const QUrl& a, const QUrl& b) {
    const int defaultPort = a.scheme() == "https"_L1 ? 443 : 80;
    return a.scheme() == b.scheme() && a.host() == b.host() && a.port(defaultPort) == b.port(defaultPort);
}

bool hasHeader(const HeaderList& headers, QByteArrayView name) {
    return headerValue(headers, name).has_value();
}

// Memory that ran out while an answer came in: to the user, the answer was too large.
std::exception_ptr inOwnWords(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::bad_alloc&) {
        return std::make_exception_ptr(transportError(TransportError::Kind::TooLarge));
    } catch (...) {
        return error;
    }
}

} // namespace

bool isWebUrl(const QUrl& url) {
    const QString scheme = url.scheme();
    return url.isValid() && (scheme == "http"_L1 || scheme == "https"_L1) && !url.host().isEmpty();
}

QUrl redirectTarget(RedirectRule rule, const QUrl& from, const QByteArray& location) {
    const QUrl next = from.resolved(QUrl::fromEncoded(location));
    if (rule == RedirectRule::AnyWeb && !isWebUrl(next)) {
        // Only web URLs are fetched: never a local file or another scheme.
        throw SyncClientError::invalidResponse();
    }
    const bool secure = from.scheme() == "https"_L1;
    const bool allowed =
        rule == RedirectRule::SameOrigin ? sameOrigin(from, next) : !(secure && next.scheme() == "http"_L1);
    if (!allowed)
        throw transportError(TransportError::Kind::InsecureRedirect);
    return next;
}

std::optional<QByteArray> headerValue(const HeaderList& headers, QByteArrayView name) {
    for (const auto& [key, value] : headers) {
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return value;
    }
    return std::nullopt;
}

Transfer::Transfer(HttpRequest request) : m_request(std::move(request)), m_started(Clock::now()) {
    m_promise.start();
}

Transfer::~Transfer() {
    if (!m_completed)
        fail(std::make_exception_ptr(CancellationError()));
}

CURL* Transfer::startHop() {
    try {
        if (m_request.destination && !m_staged)
            m_staged.emplace(*m_request.destination,
                             *m_request.destination + QLatin1StringView(kDownloadSuffix));
    } catch (...) {
        fail(std::current_exception());
        return nullptr;
    }
    m_easy.reset(curl_easy_init());
    if (!m_easy) {
        fail(std::make_exception_ptr(
            transportError(TransportError::Kind::Other, QString::number(CURLE_FAILED_INIT))));
        return nullptr;
    }
    m_headBytes = 0;
    m_body.clear();
    m_uploadOffset = 0;
    m_lastActivity = Clock::now();
    configure(m_easy.get());
    return m_easy.get();
}

void Transfer::configure(CURL* easy) {
    curl_easy_setopt(easy, CURLOPT_PRIVATE, this);
    curl_easy_setopt(easy, CURLOPT_URL, m_request.url.toEncoded(QUrl::RemoveFragment).constData());
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    // The path goes out exactly as built: no "/../" folded away.
    curl_easy_setopt(easy, CURLOPT_PATH_AS_IS, 1L);
    curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, long(CURL_HTTP_VERSION_1_1));
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    // Ending a transfer whose name lookup still runs leaves the lookup behind instead of waiting
    // for it: cancel, the limits and closing never wait for a slow name server.
    curl_easy_setopt(easy, CURLOPT_QUICK_EXIT, 1L);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, kReceiveBuffer);
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &Transfer::onHeader);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Transfer::onBody);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, this);

    // Our headers in our order; libcurl's own defaults that we do not send are switched off
    // ("Name:" removes a header). The service never answers "100 Continue": no "Expect".
    curl_slist* list = nullptr;
    for (const auto& [name, value] : std::as_const(m_request.headers))
        list = curl_slist_append(list, QByteArray(name + ": " + value).constData());
    list = curl_slist_append(list, "Expect:");
    if (!hasHeader(m_request.headers, "Accept"))
        list = curl_slist_append(list, "Accept:");
    if (m_request.method == "POST" && !hasHeader(m_request.headers, "Content-Type"))
        list = curl_slist_append(list, "Content-Type:");
    m_headerList.reset(list);
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, list);

    if (m_request.method == "GET") {
        curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L); // after a redirect, an upload's body stays unsent
    } else if (m_request.upload) {
        curl_easy_setopt(easy, CURLOPT_POST, 1L);
        curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(m_request.upload->size()));
        curl_easy_setopt(easy, CURLOPT_READFUNCTION, &Transfer::onUpload);
        curl_easy_setopt(easy, CURLOPT_READDATA, this);
        curl_easy_setopt(easy, CURLOPT_SEEKFUNCTION, &Transfer::onSeek);
        curl_easy_setopt(easy, CURLOPT_SEEKDATA, this);
        curl_easy_setopt(easy, CURLOPT_UPLOAD_BUFFERSIZE, kUploadBuffer);
    } else {
        curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(m_request.body.size()));
        curl_easy_setopt(easy, CURLOPT_POSTFIELDS, m_request.body.constData());
    }
    if (m_request.method != "GET" && m_request.method != "POST")
        curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, m_request.method.constData());
}

template <typename Work> size_t Transfer::guarded(size_t failed, Work work) noexcept {
    try {
        return work();
    } catch (...) {
        m_localError = std::current_exception();
        return failed;
    }
}

int Transfer::responseCode() const {
    long status = 0;
    curl_easy_getinfo(m_easy.get(), CURLINFO_RESPONSE_CODE, &status);
    return int(status);
}

HeaderList Transfer::receivedHeaders() const {
    HeaderList headers;
    curl_header* header = nullptr;
    // Trimmed again: libcurl 7.88 keeps the line's CR in a value of nothing but a space.
    while ((header = curl_easy_nextheader(m_easy.get(), CURLH_HEADER, -1, header)))
        headers.append({QByteArray(header->name), QByteArray(header->value).trimmed()});
    return headers;
}

size_t Transfer::onHeader(char* data, size_t size, size_t count, void* self) noexcept {
    auto* transfer = static_cast<Transfer*>(self);
    return transfer->guarded(0, [&] {
        transfer->m_lastActivity = Clock::now();
        const size_t bytes = size * count;
        transfer->m_headBytes += bytes;
        if (transfer->m_headBytes > kMaxHeadBytes)
            throw transportError(TransportError::Kind::TooLarge);
        // An obsolete folded line continues the header before it: what that header says is
        // unclear, so the answer is not taken.
        if (bytes > 0 && (data[0] == ' ' || data[0] == '\t'))
            throw SyncClientError::invalidResponse();
        return bytes;
    });
}

size_t Transfer::onBody(char* data, size_t size, size_t count, void* self) noexcept {
    auto* transfer = static_cast<Transfer*>(self);
    return transfer->guarded(CURL_WRITEFUNC_ERROR, [&] {
        transfer->m_lastActivity = Clock::now();
        const auto bytes = qsizetype(size * count);
        if (!transfer->m_request.destination) {
            // An answer kept in memory stops at the limit: nothing past it is received.
            if (transfer->m_body.size() + bytes > kMaxAnswerBytes)
                throw SyncClientError::invalidResponse();
            transfer->m_body.append(data, bytes);
        } else if (isSuccess(transfer->responseCode())) {
            // A download keeps only the body of a success answer, and that one on disk.
            transfer->m_staged->write(data, bytes);
        }
        return size * count;
    });
}

size_t Transfer::onUpload(char* data, size_t size, size_t count, void* self) noexcept {
    auto* transfer = static_cast<Transfer*>(self);
    return transfer->guarded(CURL_READFUNC_ABORT, [&] {
        transfer->m_lastActivity = Clock::now();
        const qint64 read =
            transfer->m_request.upload->readAt(transfer->m_uploadOffset, data, qint64(size * count));
        transfer->m_uploadOffset += read;
        return size_t(read);
    });
}

int Transfer::onSeek(void* self, curl_off_t offset, int origin) noexcept {
    auto* transfer = static_cast<Transfer*>(self);
    if (origin != SEEK_SET || offset < 0 || offset > transfer->m_request.upload->size())
        return CURL_SEEKFUNC_CANTSEEK;
    transfer->m_uploadOffset = offset;
    return CURL_SEEKFUNC_OK;
}

Transfer::Next Transfer::hopEnded(CURLcode code) {
    if (m_localError) {
        fail(inOwnWords(m_localError));
        return Next::Done;
    }
    if (code != CURLE_OK) {
        fail(transportFailure(m_easy.get(), code, m_request.url.host()));
        return Next::Done;
    }
    const int status = responseCode();
    HeaderList headers = receivedHeaders();
    const auto location = headerValue(headers, "Location");
    if (isRedirect(status) && location && !location->isEmpty())
        return followRedirect(status, *location);
    succeed(status, std::move(headers));
    return Next::Done;
}

Transfer::Next Transfer::followRedirect(int status, const QByteArray& location) {
    if (++m_hops > kMaxRedirects) {
        fail(std::make_exception_ptr(transportError(TransportError::Kind::TooManyRedirects)));
        return Next::Done;
    }
    QUrl next;
    try {
        next = redirectTarget(m_request.redirects, m_request.url, location);
    } catch (...) {
        fail(std::current_exception());
        return Next::Done;
    }
    // As browsers do: 303, and 301 or 302 after a POST, go on as a GET without the body.
    if (status == 303 || (m_request.method == "POST" && (status == 301 || status == 302))) {
        m_request.method = "GET";
        m_request.body.clear();
        m_request.headers.removeIf([](const auto& header) {
            return header.first.compare("Content-Type", Qt::CaseInsensitive) == 0;
        });
    }
    m_request.url = next;
    return Next::AnotherHop;
}

void Transfer::succeed(int status, HeaderList headers) {
    try {
        TransferOutcome outcome;
        outcome.response.status = status;
        outcome.response.headers = std::move(headers);
        outcome.response.body = std::move(m_body);
        if (m_staged && isSuccess(status))
            m_staged->commit();
        if (m_request.upload)
            outcome.response.sentFile = m_request.upload->fileStampNow();
        complete(std::move(outcome));
    } catch (...) {
        fail(std::current_exception());
    }
}

void Transfer::fail(std::exception_ptr error) {
    complete({{}, std::move(error)});
}

void Transfer::complete(TransferOutcome outcome) {
    if (m_completed)
        return;
    m_completed = true;
    // Whatever the call leaves behind goes before its caller learns the outcome.
    m_staged.reset();
    m_request.upload.reset();
    m_promise.addResult(std::move(outcome));
    m_promise.finish();
}

Transfer::Clock::time_point Transfer::nextDeadline() const {
    return std::min(m_lastActivity + m_request.inactivityLimit, m_started + m_request.totalLimit);
}

} // namespace kitewell
