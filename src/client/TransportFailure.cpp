#include "client/TransportFailure.h"

#include "client/SyncClientError.h"

#include <QCoreApplication>

#include <cerrno>

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
        return QT_TRANSLATE_NOOP("TransportError", "Secure connection (TLS) failed");
    case Kind::ConnectionClosed:
        return QT_TRANSLATE_NOOP("TransportError", "Connection closed");
    case Kind::TooManyRedirects:
        return QT_TRANSLATE_NOOP("TransportError", "Too many redirects");
    case Kind::InsecureRedirect:
        return QT_TRANSLATE_NOOP("TransportError", "Insecure redirect");
    case Kind::CertificateUntrusted:
        return QT_TRANSLATE_NOOP("TransportError", "The server's certificate is not trusted");
    case Kind::CertificateMismatch:
        return QT_TRANSLATE_NOOP("TransportError", "The server's certificate does not match host %1");
    case Kind::ProxyNotFound:
        return QT_TRANSLATE_NOOP("TransportError", "Proxy server not found");
    case Kind::ProxyRefused:
        return QT_TRANSLATE_NOOP("TransportError",
                                 "The proxy server refused the connection or requires authentication");
    case Kind::TooLarge:
        return QT_TRANSLATE_NOOP("TransportError", "The server's answer is too large");
    case Kind::CouldNotConnect:
        return QT_TRANSLATE_NOOP("TransportError", "Could not connect to %1");
    case Kind::Other:
        break;
    }
    return QT_TRANSLATE_NOOP("TransportError", "Network error (code %1)");
}

} // namespace

TransportError transportError(Kind kind, const QString& detail) {
    QString text = QCoreApplication::translate("TransportError", sourceText(kind));
    if (text.contains(u"%1"))
        text = text.arg(detail);
    return {kind, text};
}

std::exception_ptr transportFailure(CURL* easy, CURLcode curlCode, const QString& host) {
    const auto failure = [curlCode](Kind kind, const QString& detail = {}) {
        return std::make_exception_ptr(
            TransportError(kind, transportError(kind, detail).description(), curlCode));
    };
    long osErrno = 0, connectCode = 0, verifyResult = 0;
    curl_easy_getinfo(easy, CURLINFO_OS_ERRNO, &osErrno);
    curl_easy_getinfo(easy, CURLINFO_HTTP_CONNECTCODE, &connectCode);
    curl_easy_getinfo(easy, CURLINFO_SSL_VERIFYRESULT, &verifyResult);
    // A proxy answered the request for a tunnel with anything but success (403, 407, ...).
    if (connectCode != 0 && (connectCode < 200 || connectCode > 299))
        return failure(Kind::ProxyRefused);
    switch (curlCode) {
    case CURLE_COULDNT_CONNECT:
        return osErrno == ECONNREFUSED ? failure(Kind::ConnectionRefused)
                                       : failure(Kind::CouldNotConnect, host);
    case CURLE_COULDNT_RESOLVE_HOST:
        return failure(Kind::HostNotFound, host);
    case CURLE_COULDNT_RESOLVE_PROXY:
        return failure(Kind::ProxyNotFound);
    case CURLE_PROXY:
        return failure(Kind::ProxyRefused);
    case CURLE_OPERATION_TIMEDOUT:
        return failure(Kind::TimedOut);
    // The chain was checked first: with a sound chain, only the host name can have failed.
    case CURLE_PEER_FAILED_VERIFICATION:
        return verifyResult != 0 ? failure(Kind::CertificateUntrusted)
                                 : failure(Kind::CertificateMismatch, host);
    case CURLE_SSL_CONNECT_ERROR:
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
        return failure(Kind::TlsFailed);
    // libcurl's own limit on one header line shows as running out of memory.
    case CURLE_OUT_OF_MEMORY:
        return failure(Kind::TooLarge);
    // Reset, closed early, or a body shorter than its Content-Length.
    case CURLE_PARTIAL_FILE:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_GOT_NOTHING:
        return failure(Kind::ConnectionClosed);
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_UNSUPPORTED_PROTOCOL: // HTTP/0.9: no status line at all
        return std::make_exception_ptr(SyncClientError::invalidResponse());
    default:
        break;
    }
    return failure(Kind::Other, QString::number(int(curlCode)));
}

} // namespace kitewell
