#pragma once

// Runs a coroutine to its end from a test and returns what it produced or threw, judged as
// the controller judges it. QCoro::waitFor never returns when the awaited task throws, so the
// task's errors are caught and reported as a value.

#include "app/Result.h"
#include "client/TransportError.h"
#include "platform/FileSystemError.h"

#include <QCoroTask>
#include <QString>

namespace testsupport {

using Failure = kitewell::Failure;

template <typename T> struct Outcome : kitewell::Result<T> {
    QString errorText() const { return this->failure ? this->failure->text : QString(); }
};

template <typename T> Outcome<T> outcomeOf(QCoro::Task<T> task) {
    return {QCoro::waitFor(kitewell::attempt([&task] { return std::move(task); }))};
}

} // namespace testsupport
