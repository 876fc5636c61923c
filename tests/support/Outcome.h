#pragma once

// Runs a coroutine to its end from a test and returns what it produced or threw.
// QCoro::waitFor never returns when the awaited task throws, so the task is wrapped
// in one that catches everything and reports it as a value.

#include "client/SyncClientError.h"
#include "client/TransportError.h"
#include "platform/FileSystemError.h"

#include <QCoroTask>
#include <QString>

#include <optional>
#include <type_traits>
#include <variant>

namespace testsupport {

struct Failure {
    enum class Kind { Client, FileSystem, Transport, Cancelled, OtherError, Unknown };
    Kind kind = Kind::Unknown;
    QString text;
    std::optional<kitewell::SyncClientError::Case> clientCase;
    int code = 0; // errno or TransportError::Kind
};

template <typename T> struct Outcome {
    using Value = std::conditional_t<std::is_void_v<T>, std::monostate, T>;
    std::optional<Value> value;
    std::optional<Failure> failure;
    bool ok() const { return !failure; }
    QString errorText() const { return failure ? failure->text : QString(); }
};

Failure describe(std::exception_ptr error);

template <typename T> Outcome<T> outcomeOf(QCoro::Task<T> task) {
    auto runner = [](QCoro::Task<T> inner) -> QCoro::Task<Outcome<T>> {
        Outcome<T> outcome;
        try {
            if constexpr (std::is_void_v<T>) {
                co_await std::move(inner);
                outcome.value = std::monostate{};
            } else {
                outcome.value = co_await std::move(inner);
            }
        } catch (...) {
            outcome.failure = describe(std::current_exception());
        }
        co_return outcome;
    };
    return QCoro::waitFor(runner(std::move(task)));
}

} // namespace testsupport
