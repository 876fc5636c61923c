#pragma once

#include "model/Records.h"
#include "platform/FileStamp.h"

#include <QByteArray>
#include <QCoroTask>
#include <QString>
#include <QUrl>

#include <chrono>
#include <memory>
#include <optional>

namespace kitewell {

struct HttpRequest;
struct HttpResponse;
class Transport;

struct ClientTimeouts {
    std::chrono::milliseconds request{60'000};   // longest wait for more data
    std::chrono::milliseconds download{600'000}; // the download's own inactivity limit
    std::chrono::milliseconds resource{600'000}; // longest a whole transfer may take
};

// The album service client: owns the base URL, the session token and one HTTP session (a
// transfer thread of its own with nothing persisted, kept-alive connections reused from call
// to call). Every call is a coroutine on the main thread; keep the client alive until its
// calls have finished.
class KitewellAPI {
public:
    using Timeouts = ClientTimeouts;

    // Throws SyncClientError::invalidServerURL for text that is not an http(s) URL.
    KitewellAPI(const QString& baseURL, std::optional<QString> token, Timeouts timeouts = {});
    ~KitewellAPI();
    KitewellAPI(const KitewellAPI&) = delete;
    KitewellAPI& operator=(const KitewellAPI&) = delete;

    QCoro::Task<QString> signIn(QString email, QString password);
    QCoro::Task<WorkspaceBootstrap> bootstrap();
    QCoro::Task<EventWorkspace> eventWorkspace(QString eventId);
    // Streams the original into destination + ".download", which replaces the destination
    // in one step only after a success status and a complete body.
    QCoro::Task<void> downloadOriginal(QUrl source, QString destination);
    // The stamp of the file that was sent, read from the descriptor the body came from once
    // the transfer has ended: a file rewritten meanwhile shows it there.
    QCoro::Task<FileStamp> uploadEffect(QString eventId, QString photoId, QString filePath);
    QCoro::Task<void> publishEffect(QString eventId, QString photoId);

    // Stops every call of this client: transfers in flight are aborted and they, and any
    // later call, throw CancellationError.
    void cancel();
    bool isCancelled() const { return m_cancelled; }

    // The URL of a service path: one leading "/" dropped, the rest appended to the base path.
    QUrl url(const QString& path) const;
    // An identifier percent-escaped for a URL path ("/" and the path's sub-delimiters stay).
    static QString escapedPathComponent(const QString& identifier);
    // Judges an answer by its status alone; the body only supplies the service's message.
    // Throws unauthorized for 401 and server for any other status outside 200 to 299.
    static void validated(int status, const QByteArray& body);

private:
    HttpRequest serviceRequest(const QString& path, QByteArray method) const;
    HttpRequest authenticatedRequest(const QString& path, QByteArray method) const;
    QCoro::Task<HttpResponse> send(HttpRequest request);

    QUrl m_baseURL;
    QString m_baseText;
    std::optional<QString> m_token;
    Timeouts m_timeouts;
    bool m_cancelled = false;
    std::unique_ptr<Transport> m_transport; // started by the first call
};

} // namespace kitewell
