#pragma once

#include "errors/Error.h"

#include <QString>

#include <cstdint>
#include <optional>

namespace kitewell {

// The session token in the desktop's Secret Service (login collection): one item with the
// attributes service = the application's id and account = "session-token", the value being
// the token's UTF-8 bytes. Every call goes to the store; nothing is cached here.
class KeychainStore {
public:
    KeychainStore() = delete;

    // Writing the token failed. status() is the failing call's error code; a code of 0
    // (GLib's generic "failed") and a failure without any error are reported as -1, so
    // the message never reads "错误 0".
    class KeychainError : public Error {
    public:
        explicit KeychainError(std::int32_t status);
        std::int32_t status() const noexcept { return m_status; }

    private:
        std::int32_t m_status;
    };

    // The stored token, or nothing when there is none, the store cannot be reached or the
    // stored bytes are not valid UTF-8. An empty stored value is an empty (present) token.
    static std::optional<QString> readToken();
    // Removes any stored token first, then stores this one; throws KeychainError when the
    // store refuses or cannot be reached (the old token stays removed).
    static void saveToken(const QString& token);
    // Removes every stored token item; failures are ignored.
    static void deleteToken();
};

} // namespace kitewell
