#pragma once

#include "client/TransportError.h"

#include <curl/curl.h>
#include <exception>

namespace kitewell {

// The error of one kind, with the program's own text in the user's language.
TransportError transportError(TransportError::Kind kind, const QString& detail = {});

// What a transfer that libcurl ended with `curlCode` (not CURLE_OK) on `easy` failed with: a
// TransportError in the program's own words (never libcurl's), or invalidResponse when the
// server answered with something that is not HTTP. host is the server's name.
std::exception_ptr transportFailure(CURL* easy, CURLcode curlCode, const QString& host);

} // namespace kitewell
