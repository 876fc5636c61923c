#pragma once

#include "client/MultipartBody.h"
#include "platform/FileStamp.h"

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>
#include <QUrl>

#include <chrono>
#include <memory>
#include <optional>

namespace kitewell {

using HeaderList = QList<QPair<QByteArray, QByteArray>>;

// Case-insensitive lookup of the first header of that name.
std::optional<QByteArray> headerValue(const HeaderList& headers, QByteArrayView name);

// An http or https URL with a host: the only kind the client ever fetches.
bool isWebUrl(const QUrl& url);

// Which redirects a request follows, hop by hop (never more than a few).
enum class RedirectRule {
    SameOrigin, // the token or the password goes along: another origin receives nothing
    AnyWeb,     // any http(s) URL, but never from https down to http
};

// Where a redirect's Location leads from `from`, when `rule` lets the request follow it there.
// Throws SyncClientError::invalidResponse when a download would leave the web (a local file,
// another scheme), and TransportError InsecureRedirect when the rule refuses the target.
QUrl redirectTarget(RedirectRule rule, const QUrl& from, const QByteArray& location);

// One call as it goes on the wire.
struct HttpRequest {
    QByteArray method;
    QUrl url;
    HeaderList headers;                    // sent in this order; no others but Host and Content-Length
    QByteArray body;                       // a body held in memory...
    std::unique_ptr<MultipartBody> upload; // ...or one streamed from a file
    // Set for a download: the body of a success answer streams into destination + ".download",
    // which replaces the destination once the body is complete.
    std::optional<QString> destination;
    RedirectRule redirects = RedirectRule::SameOrigin;
    std::chrono::milliseconds inactivityLimit{60'000}; // longest wait for more data
    std::chrono::milliseconds totalLimit{600'000};     // longest the whole call may take
};

// The answer as it was sent.
struct HttpResponse {
    int status = 0;
    HeaderList headers;                // in the order received; an empty value is a present header
    QByteArray body;                   // empty for a download
    std::optional<FileStamp> sentFile; // an upload's file, once the transfer has ended

    std::optional<QByteArray> header(QByteArrayView name) const { return headerValue(headers, name); }
};

} // namespace kitewell
