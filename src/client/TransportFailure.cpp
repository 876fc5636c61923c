#include "client/TransportFailure.h"

#include "client/SyncClientError.h"

#include <QCoreApplication>

#include <cerrno>
#include <curl/curl.h>

namespace kitewell {

using Kind = TransportError::Kind;

namespace {

// The English source of each text; "%1" takes the detail.
const char* sourceText(Kind kind) {
    switch (kind) {
    case Kind::ConnectionRefused:
        return QT_TRANSLATE_NOOP("TransportError", "Connection refused");
    case Kind::HostNotFound:
        return QT_TRANSLATE_NOOP("TransportError", "Host %1 not found");
    case Kind::TimedOut:
        return QT_TRANSLATE_NOOP("TransportError", "Network operation timed out");
    case Kind::TlsFailed:
        return QT_TRANSLATE_NOOP("TransportError", "Secure connection (TLS) failed: %1");
    case Kind::ConnectionClosed:
        return QT_TRANSLATE_NOOP("TransportError", "Connection closed");
    case Kind::TooManyRedirects:
        return QT_TRANSLATE_NOOP("TransportError", "Too many redirects");
    case Kind::InsecureRedirect:
        return QT_TRANSLATE_NOOP("TransportError", "Insecure redirect");
    case Kind::Other:
        break;
    }
    return QT_TRANSLATE_NOOP("TransportError", "Network error: %1");
}

} // namespace

TransportError transportError(Kind kind, const QString& detail) {
    QString text = QCoreApplication::translate("TransportError", sourceText(kind));
    if (text.contains(u"%1"))
        text = text.arg(detail);
    return {kind, text};
}

std::exception_ptr transportFailure(int curlCode, long osErrno, const QString& host, const QString& detail) {
    const auto failure = [curlCode](TransportError error) {
        return std::make_exception_ptr(TransportError(error.kind(), error.description(), curlCode));
    };
    switch (curlCode) {
    case CURLE_COULDNT_CONNECT:
        if (osErrno == ECONNREFUSED)
            return failure(transportError(Kind::ConnectionRefused));
        break;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
        return failure(transportError(Kind::HostNotFound, host));
    case CURLE_OPERATION_TIMEDOUT:
        return failure(transportError(Kind::TimedOut));
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_SSL_ENGINE_INITFAILED:
    case CURLE_USE_SSL_FAILED:
        return failure(transportError(Kind::TlsFailed, detail));
    // Reset, closed early, or a body shorter than its Content-Length.
    case CURLE_PARTIAL_FILE:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_GOT_NOTHING:
        return failure(transportError(Kind::ConnectionClosed));
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_UNSUPPORTED_PROTOCOL: // HTTP/0.9: no status line at all
        return std::make_exception_ptr(SyncClientError::invalidResponse());
    default:
        break;
    }
    return failure(transportError(Kind::Other, detail));
}

} // namespace kitewell
