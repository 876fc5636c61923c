#pragma once

#include "app/Failure.h"

#include <QCoroTask>

#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

namespace kitewell {

// What a piece of asynchronous work ended with: its value, or how it failed.
template <typename T> struct Result {
    using Value = std::conditional_t<std::is_void_v<T>, std::monostate, T>;
    std::optional<Value> value;
    std::optional<Failure> failure;

    bool ok() const { return !failure; }
};

template <typename Start> using WorkValue = typename std::invoke_result_t<Start&>::value_type;

// Starts the work (`start` returns its task) and awaits it, catching whatever either throws, so
// that the outcome can travel where an exception would be lost. `start` runs at once, before
// this returns.
template <typename Start> QCoro::Task<Result<WorkValue<Start>>> attempt(Start start) {
    using T = WorkValue<Start>;
    Result<T> result;
    try {
        QCoro::Task<T> work = start();
        if constexpr (std::is_void_v<T>) {
            co_await std::move(work);
            result.value.emplace();
        } else {
            result.value.emplace(co_await std::move(work));
        }
    } catch (...) {
        result.failure = classify(std::current_exception());
    }
    co_return result;
}

} // namespace kitewell
