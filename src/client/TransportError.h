#pragma once

#include "errors/Error.h"

namespace kitewell {

// A network failure below HTTP (no status), described in the user's language.
class TransportError : public Error {
public:
    enum class Kind {
        ConnectionRefused,
        HostNotFound,
        TimedOut,
        TlsFailed,
        ConnectionClosed, // reset, or closed before the whole answer came
        TooManyRedirects,
        InsecureRedirect,
        CertificateUntrusted, // self-signed, of an unknown issuer, expired
        CertificateMismatch,  // trusted, but issued for another host name
        ProxyNotFound,
        ProxyRefused,    // refused the tunnel, or wants credentials
        TooLarge,        // more than the program takes in
        CouldNotConnect, // unreachable, or no answer to the connection (not refused)
        Other,
    };
    TransportError(Kind kind, QString description, int curlCode = 0)
        : Error(std::move(description)), m_kind(kind), m_curlCode(curlCode) {}
    Kind kind() const noexcept { return m_kind; }
    // libcurl's CURLcode when libcurl reported the failure, else 0.
    int curlCode() const noexcept { return m_curlCode; }

private:
    Kind m_kind;
    int m_curlCode;
};

} // namespace kitewell
