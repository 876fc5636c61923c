#pragma once

#include "client/TransportError.h"

#include <exception>

namespace kitewell {

// The error of one kind, with the program's own text in the user's language.
TransportError transportError(TransportError::Kind kind, const QString& detail = {});

// What a transfer that libcurl ended with `curlCode` (not CURLE_OK) failed with: a
// TransportError, or invalidResponse when the server answered with something that is not HTTP.
// osErrno is CURLINFO_OS_ERRNO, host the server's name, detail libcurl's own message.
std::exception_ptr transportFailure(int curlCode, long osErrno, const QString& host, const QString& detail);

} // namespace kitewell
