#include "client/KitewellAPI.h"

#include "client/HttpExchange.h"
#include "client/MultipartBody.h"
#include "client/SyncClientError.h"
#include "client/Transport.h"
#include "errors/Error.h"
#include "model/Json.h"
#include "platform/OffThread.h"

#include <QCoroFuture>
#include <QJsonObject>
#include <QUuid>

#include <algorithm>

namespace kitewell {

using namespace Qt::StringLiterals;

namespace {

constexpr auto kUserAgent = "KitewellDesktopSync/1.0";

// Whether the value can go into a header as it is: no line break, nor any other control character.
bool fitsInHeader(const QString& value) {
    return std::ranges::none_of(value, [](QChar c) { return c.unicode() < 0x20 || c.unicode() == 0x7f; });
}

} // namespace

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

HttpRequest KitewellAPI::serviceRequest(const QString& path, QByteArray method) const {
    HttpRequest request;
    request.method = std::move(method);
    request.url = url(path);
    // The token and the password never follow a redirect to another origin.
    request.redirects = RedirectRule::SameOrigin;
    request.inactivityLimit = m_timeouts.request;
    request.totalLimit = m_timeouts.resource;
    return request;
}

HttpRequest KitewellAPI::authenticatedRequest(const QString& path, QByteArray method) const {
    if (!m_token || m_token->isEmpty())
        throw SyncClientError::missingToken();
    // A stored token that cannot be sent as it is: signing in again gives a sound one.
    if (!fitsInHeader(*m_token))
        throw SyncClientError::unauthorized();
    HttpRequest request = serviceRequest(path, std::move(method));
    request.headers = {{"User-Agent", kUserAgent},
                       {"Accept", "application/json"},
                       {"Authorization", "Bearer " + m_token->toUtf8()}};
    return request;
}

void KitewellAPI::cancel() {
    m_cancelled = true;
    if (m_transport)
        m_transport->cancelAll();
}

QCoro::Task<HttpResponse> KitewellAPI::send(HttpRequest request) {
    if (m_cancelled)
        throw CancellationError();
    if (!m_transport)
        m_transport = std::make_unique<Transport>();
    QFuture<TransferOutcome> sent = m_transport->send(std::move(request));
    TransferOutcome outcome = co_await sent;
    if (m_cancelled)
        throw CancellationError();
    if (outcome.error)
        std::rethrow_exception(outcome.error);
    co_return std::move(outcome.response);
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
    HttpRequest request = serviceRequest(u"/api/auth/sign-in/email"_s, "POST");
    request.headers = {{"User-Agent", kUserAgent},
                       {"Accept", "application/json"},
                       {"Content-Type", "application/json"},
                       {"Origin", m_baseText.toUtf8()}};
    request.body = body;
    const HttpResponse answer = co_await send(std::move(request));
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
    if (!fitsInHeader(*chosen))
        throw SyncClientError::invalidResponse();
    m_token = chosen;
    co_return *chosen;
}

QCoro::Task<WorkspaceBootstrap> KitewellAPI::bootstrap() {
    const HttpResponse answer = co_await send(authenticatedRequest(u"/api/publisher/bootstrap"_s, "POST"));
    validated(answer.status, answer.body);
    try {
        co_return WorkspaceBootstrap::decode(answer.body);
    } catch (const json::DecodingError&) {
        throw SyncClientError::invalidResponse();
    }
}

QCoro::Task<EventWorkspace> KitewellAPI::eventWorkspace(QString eventId) {
    const QString path = u"/api/publisher/events/"_s + escapedPathComponent(eventId) + u"/workspace"_s;
    const HttpResponse answer = co_await send(authenticatedRequest(path, "GET"));
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
    // No headers of ours, no token: the original may live anywhere on the web, and any web
    // URL may be followed to it (but never from https down to http).
    HttpRequest request;
    request.method = "GET";
    request.url = source;
    request.redirects = RedirectRule::AnyWeb;
    request.inactivityLimit = m_timeouts.download;
    request.totalLimit = m_timeouts.resource;
    // The body lands in destination + ".download", put in place only once it is whole.
    request.destination = destination;
    const HttpResponse answer = co_await send(std::move(request));
    validated(answer.status, {});
}

QCoro::Task<FileStamp> KitewellAPI::uploadEffect(QString eventId, QString photoId, QString filePath) {
    const QString boundary =
        u"KitewellDesktopSync-"_s + QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
    // The file is opened first, so an unreadable file fails before the token is checked, and
    // off the main thread, so a slow disk never stalls the window. The job is made in its own
    // statement (g++ 12 and lambdas inside co_await).
    auto opening =
        offThread([boundary, filePath] { return std::make_shared<MultipartBody>(boundary, filePath); });
    const std::shared_ptr<MultipartBody> opened = co_await std::move(opening);
    const QString path = u"/api/admin/events/"_s + escapedPathComponent(eventId) + u"/photos/"_s +
                         escapedPathComponent(photoId) + u"/versions"_s;
    HttpRequest request = authenticatedRequest(path, "POST");
    request.headers.append(
        qMakePair(QByteArray("Content-Type"), "multipart/form-data; boundary=" + boundary.toUtf8()));
    request.upload = std::make_unique<MultipartBody>(std::move(*opened));
    const HttpResponse answer = co_await send(std::move(request));
    validated(answer.status, answer.body);
    co_return *answer.sentFile;
}

QCoro::Task<void> KitewellAPI::publishEffect(QString eventId, QString photoId) {
    const QString path = u"/api/admin/events/"_s + escapedPathComponent(eventId) + u"/photos/"_s +
                         escapedPathComponent(photoId) + u"/publish"_s;
    HttpRequest request = authenticatedRequest(path, "POST");
    request.headers.append(qMakePair(QByteArray("Content-Type"), QByteArray("application/json")));
    request.body = QByteArrayLiteral("{}");
    const HttpResponse answer = co_await send(std::move(request));
    validated(answer.status, answer.body);
    try {
        EmptyResponse::decode(answer.body);
    } catch (const json::DecodingError&) {
        throw SyncClientError::invalidResponse();
    }
}

} // namespace kitewell
