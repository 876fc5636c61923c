#include "client/KitewellAPI.h"

#include "client/MultipartBody.h"
#include "client/SyncClientError.h"
#include "model/Json.h"
#include "platform/Errors.h"
#include "platform/OffThread.h"

#include <QCoreApplication>
#include <QCoroFuture>
#include <QCoroNetworkReply>
#include <QFile>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QTimer>
#include <QUuid>
#include <QtConcurrent>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace kitewell {

using namespace Qt::StringLiterals;

namespace {

constexpr auto kUserAgent = "KitewellDesktopSync/1.0";
constexpr auto kTimedOut = "kitewellTimedOut";

struct ReplyDeleter {
    // The awaiting coroutine resumes from inside the reply's finished signal: never delete it there.
    void operator()(QNetworkReply* reply) const { reply->deleteLater(); }
};
using ReplyPtr = std::unique_ptr<QNetworkReply, ReplyDeleter>;

QString timeoutText() {
    return QCoreApplication::translate("QNativeSocketEngine", "Network operation timed out");
}

bool isHttpStatusError(QNetworkReply::NetworkError error) {
    // Qt raises these for HTTP error statuses; the status itself decides, not Qt's error.
    const int code = error;
    return error == QNetworkReply::NoError || (code >= 201 && code <= 299) ||
           error == QNetworkReply::ProtocolInvalidOperationError || (code >= 401 && code <= 499);
}

constexpr int kMaxRedirects = 16;

bool isRedirect(int status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

bool isWebUrl(const QUrl& url) {
    const QString scheme = url.scheme();
    return url.isValid() && (scheme == "http"_L1 || scheme == "https"_L1) && !url.host().isEmpty();
}

int writeAll(int fd, const char* data, qint64 size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size_t(size));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        data += n;
        size -= n;
    }
    return 0;
}

// Flushes the staging file and puts it in place in one step. Runs on a worker thread.
int finishDownload(int fd, const QByteArray& staging, const QByteArray& destination) {
    int error = ::fdatasync(fd) == 0 ? 0 : errno;
    if (::close(fd) != 0 && error == 0)
        error = errno;
    if (error == 0 && ::rename(staging.constData(), destination.constData()) != 0)
        error = errno;
    if (error != 0)
        ::unlink(staging.constData());
    return error;
}

} // namespace

std::optional<QByteArray> KitewellAPI::Answer::header(const QByteArray& name) const {
    for (const auto& [key, value] : headers) {
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return value;
    }
    return std::nullopt;
}

KitewellAPI::KitewellAPI(const QString& baseURL, std::optional<QString> token, Timeouts timeouts)
    : m_token(std::move(token)), m_timeouts(timeouts) {
    QString text = baseURL.trimmed();
    while (text.endsWith(u'/'))
        text.chop(1);
    const QUrl url(text, QUrl::StrictMode);
    // The scheme is compared as written: "HTTPS" is refused.
    const QString scheme = text.section(u':', 0, 0);
    if (text.isEmpty() || !url.isValid() || !text.contains(u':') ||
        (scheme != "https"_L1 && scheme != "http"_L1))
        throw SyncClientError::invalidServerURL();
    m_baseURL = url;
    m_baseText = text;
    m_session = std::make_unique<QNetworkAccessManager>();
    m_session->setCache(nullptr);
}

KitewellAPI::~KitewellAPI() = default;

QString KitewellAPI::escapedPathComponent(const QString& identifier) {
    return QString::fromLatin1(QUrl::toPercentEncoding(identifier, "!$&'()*+,;=:@/"));
}

QUrl KitewellAPI::url(const QString& path) const {
    const QString rest = path.startsWith(u'/') ? path.mid(1) : path;
    QUrl joined = m_baseURL;
    QString basePath = joined.path(QUrl::FullyEncoded);
    if (!basePath.endsWith(u'/'))
        basePath += u'/';
    joined.setPath(basePath + rest, QUrl::TolerantMode);
    return joined;
}

QNetworkRequest KitewellAPI::authenticatedRequest(const QString& path) const {
    if (!m_token || m_token->isEmpty())
        throw SyncClientError::missingToken();
    QNetworkRequest request(url(path));
    request.setTransferTimeout(int(m_timeouts.request.count()));
    // The token must never follow a redirect to another origin.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::SameOriginRedirectPolicy);
    request.setRawHeader("User-Agent", kUserAgent);
    request.setRawHeader("Accept", "application/json");
    request.setRawHeader("Authorization", "Bearer " + m_token->toUtf8());
    return request;
}

void KitewellAPI::watch(QNetworkReply* reply) const {
    QTimer::singleShot(m_timeouts.resource, reply, [reply] {
        reply->setProperty(kTimedOut, true);
        reply->abort();
    });
}

void KitewellAPI::cancel() {
    m_cancelled = true;
    const auto replies = m_session->findChildren<QNetworkReply*>();
    for (const QPointer<QNetworkReply> reply : replies) {
        if (reply && reply->isRunning())
            reply->abort();
    }
}

void KitewellAPI::throwIfTransportFailed(QNetworkReply* reply) const {
    const QNetworkReply::NetworkError error = reply->error();
    if (m_cancelled)
        throw CancellationError();
    // An abort we did not ask for is a time-out: the transfer went quiet or took too long.
    if (reply->property(kTimedOut).toBool() || error == QNetworkReply::OperationCanceledError)
        throw TransportError(timeoutText(), QNetworkReply::TimeoutError);
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!isHttpStatusError(error) || (!status.isValid() && error != QNetworkReply::NoError))
        throw TransportError(reply->errorString(), error);
    if (!status.isValid())
        throw SyncClientError::invalidResponse();
}

QCoro::Task<KitewellAPI::Answer> KitewellAPI::send(QNetworkRequest request, QByteArray verb, QByteArray body,
                                                   std::unique_ptr<QIODevice> bodyDevice) {
    if (m_cancelled)
        throw CancellationError();
    QNetworkReply* raw = nullptr;
    if (bodyDevice)
        raw = m_session->sendCustomRequest(request, verb, bodyDevice.get());
    else if (body.isNull())
        raw = m_session->sendCustomRequest(request, verb);
    else
        raw = m_session->sendCustomRequest(request, verb, body);
    ReplyPtr reply(raw);
    auto* multipart = qobject_cast<MultipartBody*>(bodyDevice.get());
    if (bodyDevice)
        bodyDevice.release()->setParent(raw); // the network stack may touch it until the reply is gone
    watch(raw);
    co_await qCoro(raw).waitForFinished();

    if (multipart && multipart->readError())
        throw FileSystemError::fromErrno(*multipart->readError());
    throwIfTransportFailed(raw);
    Answer answer;
    if (multipart)
        answer.sentFile = multipart->fileStampNow();
    answer.status = raw->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    answer.body = raw->readAll();
    answer.headers = raw->rawHeaderPairs();
    // Qt may finish an answer cut short by a reset without an error; it is a failed transfer.
    const QVariant length = raw->header(QNetworkRequest::ContentLengthHeader);
    if (length.isValid() && !raw->hasRawHeader("Content-Encoding") &&
        answer.body.size() != length.toLongLong())
        throw TransportError(QCoreApplication::translate("QNetworkReply", "Connection closed"),
                             QNetworkReply::RemoteHostClosedError);
    co_return answer;
}

void KitewellAPI::validated(int status, const QByteArray& body) {
    if (status >= 200 && status <= 299)
        return;
    if (status == 401)
        throw SyncClientError::unauthorized();
    try {
        const ErrorResponse response = ErrorResponse::decode(body);
        if (response.error)
            throw SyncClientError::server(*response.error);
        if (response.message)
            throw SyncClientError::server(*response.message);
    } catch (const json::DecodingError&) {
    }
    throw SyncClientError::server(u"服务器返回 "_s + QString::number(status) + u"。"_s);
}

QCoro::Task<QString> KitewellAPI::signIn(QString email, QString password) {
    const QByteArray body = json::encodeCompact(QJsonObject{{"email"_L1, email}, {"password"_L1, password}});
    QNetworkRequest request(url(u"/api/auth/sign-in/email"_s));
    request.setTransferTimeout(int(m_timeouts.request.count()));
    // The password is as sensitive as the token: it never follows a redirect to another origin.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::SameOriginRedirectPolicy);
    request.setRawHeader("User-Agent", kUserAgent);
    request.setRawHeader("Accept", "application/json");
    request.setRawHeader("Content-Type", "application/json");
    request.setRawHeader("Origin", m_baseText.toUtf8());

    const Answer answer = co_await send(request, "POST", body);
    validated(answer.status, answer.body);

    std::optional<QString> bodyToken;
    try {
        bodyToken = SignInResponse::decode(answer.body).token;
    } catch (const json::DecodingError&) {
    }
    const std::optional<QByteArray> headerToken = answer.header("set-auth-token");
    const std::optional<QString> chosen =
        headerToken ? std::optional(QString::fromUtf8(*headerToken)) : bodyToken;
    if (!chosen || chosen->isEmpty())
        throw SyncClientError::server(u"登录成功但未取得电脑同步会话，请稍后重试。"_s);
    m_token = chosen;
    co_return *chosen;
}

QCoro::Task<WorkspaceBootstrap> KitewellAPI::bootstrap() {
    const QNetworkRequest request = authenticatedRequest(u"/api/publisher/bootstrap"_s);
    const Answer answer = co_await send(request, "POST", {});
    validated(answer.status, answer.body);
    try {
        co_return WorkspaceBootstrap::decode(answer.body);
    } catch (const json::DecodingError&) {
        throw SyncClientError::invalidResponse();
    }
}

QCoro::Task<EventWorkspace> KitewellAPI::eventWorkspace(QString eventId) {
    const QString path = u"/api/publisher/events/"_s + escapedPathComponent(eventId) + u"/workspace"_s;
    const QNetworkRequest request = authenticatedRequest(path);
    const Answer answer = co_await send(request, "GET", {});
    validated(answer.status, answer.body);
    // An album of thousands of photos takes tens of milliseconds to decode: not on the main
    // thread. The job is made in its own statement (g++ 12 and lambdas inside co_await).
    auto decoding = offThread([body = answer.body] { return EventWorkspace::decode(body); });
    try {
        co_return co_await std::move(decoding);
    } catch (const json::DecodingError&) {
        throw SyncClientError::invalidResponse();
    }
}

QCoro::Task<void> KitewellAPI::downloadOriginal(QUrl source, QString destination) {
    if (m_cancelled)
        throw CancellationError();
    // Only web URLs are fetched: never a local file or another scheme.
    if (!isWebUrl(source))
        throw SyncClientError::invalidResponse();

    const QByteArray target = QFile::encodeName(destination);
    const QByteArray staging = target + ".download";
    ::unlink(staging.constData());
    const int fd = ::open(staging.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        throw FileSystemError::fromErrno(errno);
    bool fdOpen = true;
    auto discard = [&] {
        if (fdOpen)
            ::close(fd);
        fdOpen = false;
        ::unlink(staging.constData());
    };

    // Redirects are followed here, one fresh request per hop, rather than inside Qt: its own
    // following can pair a re-sent request's answer with the redirected reply on a kept-alive
    // connection, and every hop must lead to a web URL again.
    QUrl url = source;
    for (int hop = 0;; ++hop) {
        QNetworkRequest request(url);
        request.setTransferTimeout(int(m_timeouts.download.count()));
        request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
        QNetworkReply* raw = m_session->get(request);
        ReplyPtr reply(raw);
        raw->setReadBufferSize(1 << 20);
        watch(raw);

        // Streams the body to disk as it arrives; the body of any other status is not kept.
        int writeError = 0;
        qint64 received = 0;
        QObject::connect(raw, &QNetworkReply::readyRead, raw, [raw, fd, &writeError, &received] {
            const int status = raw->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
            const QByteArray chunk = raw->readAll();
            if (writeError != 0 || status < 200 || status > 299)
                return;
            writeError = writeAll(fd, chunk.constData(), chunk.size());
            received += chunk.size();
            if (writeError != 0)
                raw->abort();
        });
        co_await qCoro(raw).waitForFinished();
        QObject::disconnect(raw, &QNetworkReply::readyRead, raw, nullptr);

        try {
            if (writeError != 0)
                throw FileSystemError::fromErrno(writeError);
            throwIfTransportFailed(raw);
            const int status = raw->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
            const QByteArray location = raw->rawHeader("Location");
            if (isRedirect(status) && !location.isEmpty()) {
                if (hop >= kMaxRedirects)
                    throw TransportError(
                        QCoreApplication::translate("QNetworkReplyHttpImpl", "Too many redirects"),
                        QNetworkReply::TooManyRedirectsError);
                const QUrl next = url.resolved(QUrl::fromEncoded(location));
                if (!isWebUrl(next))
                    throw SyncClientError::invalidResponse();
                // Never from https down to http, as Qt's own default policy.
                if (url.scheme() == "https"_L1 && next.scheme() == "http"_L1)
                    throw TransportError(
                        QCoreApplication::translate("QNetworkReplyHttpImpl", "Insecure redirect"),
                        QNetworkReply::InsecureRedirectError);
                url = next;
                continue;
            }
            validated(status, {});
            const QByteArray rest = raw->readAll();
            if (int error = writeAll(fd, rest.constData(), rest.size()))
                throw FileSystemError::fromErrno(error);
            received += rest.size();
            // A body cut short on a cleanly closed connection is a failed transfer, not a file.
            const QVariant length = raw->header(QNetworkRequest::ContentLengthHeader);
            if (length.isValid() && !raw->hasRawHeader("Content-Encoding") && received != length.toLongLong())
                throw TransportError(QCoreApplication::translate("QNetworkReply", "Connection closed"),
                                     QNetworkReply::RemoteHostClosedError);
        } catch (...) {
            discard();
            throw;
        }
        break;
    }

    fdOpen = false;
    auto finishing = QtConcurrent::run(finishDownload, fd, staging, target);
    if (const int error = co_await finishing)
        throw FileSystemError::fromErrno(error);
}

QCoro::Task<FileStamp> KitewellAPI::uploadEffect(QString eventId, QString photoId, QString filePath) {
    const QString boundary =
        u"KitewellDesktopSync-"_s + QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
    // The file is opened first, so an unreadable file fails before the token is checked.
    auto body = std::make_unique<MultipartBody>(boundary, filePath);
    const QString path = u"/api/admin/events/"_s + escapedPathComponent(eventId) + u"/photos/"_s +
                         escapedPathComponent(photoId) + u"/versions"_s;
    QNetworkRequest request = authenticatedRequest(path);
    request.setRawHeader("Content-Type", "multipart/form-data; boundary=" + boundary.toUtf8());
    const Answer answer = co_await send(request, "POST", {}, std::move(body));
    validated(answer.status, answer.body);
    co_return *answer.sentFile;
}

QCoro::Task<void> KitewellAPI::publishEffect(QString eventId, QString photoId) {
    const QString path = u"/api/admin/events/"_s + escapedPathComponent(eventId) + u"/photos/"_s +
                         escapedPathComponent(photoId) + u"/publish"_s;
    QNetworkRequest request = authenticatedRequest(path);
    request.setRawHeader("Content-Type", "application/json");
    const Answer answer = co_await send(request, "POST", QByteArrayLiteral("{}"));
    validated(answer.status, answer.body);
    try {
        EmptyResponse::decode(answer.body);
    } catch (const json::DecodingError&) {
        throw SyncClientError::invalidResponse();
    }
}

} // namespace kitewell
