#pragma once

#include "client/SyncClientError.h"

#include <QString>

#include <exception>
#include <optional>

namespace kitewell {

// What an operation failed with, as the controller judges it: the text the user sees and the
// few facts that decide what happens next.
struct Failure {
    enum class Kind { Client, FileSystem, Transport, Cancelled, OtherError, Unknown };
    Kind kind = Kind::Unknown;
    QString text; // the error's user-facing description, whole
    std::optional<SyncClientError::Case> clientCase;
    int code = 0; // errno, the TransportError::Kind or the credential store's status

    bool isCancellation() const { return kind == Kind::Cancelled; }
    bool isUnauthorized() const { return clientCase == SyncClientError::Case::unauthorized; }
};

// Sorts a caught error into its kind; anything that is not one of the program's errors is
// Unknown, with what() or a general text.
Failure classify(std::exception_ptr error);

} // namespace kitewell
