#pragma once

#include "model/Json.h"

#include <optional>

namespace testsupport {

// What a decoder gives, or nothing when it fails with a decoding error.
template <typename Decode> auto attempt(Decode decode) -> std::optional<decltype(decode())> {
    try {
        return decode();
    } catch (const kitewell::json::DecodingError&) {
        return std::nullopt;
    }
}

} // namespace testsupport
