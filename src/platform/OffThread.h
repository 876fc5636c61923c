#pragma once

// Runs blocking work (file-system calls) on the worker pool and awaits it from the main
// thread, so the window keeps drawing. Exceptions thrown by the work are rethrown in the
// awaiting coroutine.

#include <QCoroFuture>
#include <QCoroTask>
#include <QtConcurrent>

#include <exception>
#include <optional>
#include <type_traits>
#include <utility>

namespace kitewell {

namespace detail {
template <typename R> struct OffThreadResult {
    std::optional<R> value;
    std::exception_ptr error;
};
template <> struct OffThreadResult<void> { std::exception_ptr error; };
} // namespace detail

template <typename Fn> auto offThread(Fn work) -> QCoro::Task<std::invoke_result_t<Fn&>> {
    using R = std::invoke_result_t<Fn&>;
    auto job = [work = std::move(work)]() mutable {
        detail::OffThreadResult<R> result;
        try {
            if constexpr (std::is_void_v<R>)
                work();
            else
                result.value.emplace(work());
        } catch (...) {
            result.error = std::current_exception();
        }
        return result;
    };
    // Created in its own statement: g++ 12 mishandles a capturing lambda inside co_await.
    QFuture<detail::OffThreadResult<R>> future = QtConcurrent::run(std::move(job));
    detail::OffThreadResult<R> result = co_await future;
    if (result.error)
        std::rethrow_exception(result.error);
    if constexpr (!std::is_void_v<R>)
        co_return std::move(*result.value);
}

} // namespace kitewell
