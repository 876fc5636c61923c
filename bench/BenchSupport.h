#pragma once

// What every benchmark shares: how this process measures itself, how it reaches the album
// service, prepares albums and folders, runs coroutines to their end and runs curl.

#include "model/Records.h"
#include "storage/SyncSettings.h"
#include "sync/SyncResult.h"

#include <QCoroTask>
#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <chrono>
#include <exception>
#include <functional>
#include <optional>
#include <stdexcept>
#include <type_traits>

namespace kitewell::bench {

// A benchmark that cannot produce its figure; the driver reports it as missing.
class BenchFailure : public std::runtime_error {
public:
    explicit BenchFailure(const QString& what) : std::runtime_error(what.toStdString()) {}
};

// ---- this process ----

// User plus system CPU time of the whole process, in seconds.
double cpuSeconds();
// Resident memory now, and its peak since the start or the last resetPeakResident().
qint64 residentBytes();
qint64 peakResidentBytes();
// Restarts the peak (Linux clear_refs 5); false when the kernel refuses.
bool resetPeakResident();

// Flushes every dirty page of the machine, so one side's writes are not paid by the other.
void settleDisk();

// ---- output ----

// One sample of a figure, read by the driver: "value <name> <number>".
void reportValue(const QString& name, double value);
// A line for the reader only (stderr).
void note(const QString& text);

double median(QList<double> values);

// ---- the event loop ----

// Runs the event loop until `done` holds (checked every 10 ms) or the time is up; false on
// time-out.
bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds limit);

// ---- coroutines ----

// Runs the task to its end on this thread's event loop and returns its value or rethrows
// what it threw (QCoro::waitFor alone never returns from a throwing task).
template <typename T> T await(QCoro::Task<T> task) {
    struct Outcome {
        std::optional<std::conditional_t<std::is_void_v<T>, bool, T>> value;
        std::exception_ptr error;
    };
    auto runner = [](QCoro::Task<T> inner) -> QCoro::Task<Outcome> {
        Outcome outcome;
        try {
            if constexpr (std::is_void_v<T>) {
                co_await std::move(inner);
                outcome.value = true;
            } else {
                outcome.value = co_await std::move(inner);
            }
        } catch (...) {
            outcome.error = std::current_exception();
        }
        co_return outcome;
    };
    Outcome outcome = QCoro::waitFor(runner(std::move(task)));
    if (outcome.error)
        std::rethrow_exception(outcome.error);
    if constexpr (!std::is_void_v<T>)
        return std::move(*outcome.value);
}

// The text of an exception, for messages.
QString describe(std::exception_ptr error);

// ---- the album service ----

struct ServiceAccess {
    QString url; // "http://127.0.0.1:<port>"
    QString email;
    QString password;
};

// An album of the service as the benchmarks use it: the first album the account sees.
struct Album {
    QString token;
    QString eventId;
    EventWorkspace workspace;
    QString folderName; // the album's subfolder name in both folders
};

QString signIn(const ServiceAccess& service);
Album openAlbum(const ServiceAccess& service, const QString& token);

// ---- folders and files ----

// Settings for a pass over the album with these folders.
SyncSettings settingsFor(const Album& album, const QString& originalsRoot,
                         const std::optional<QString>& effectsRoot = std::nullopt, bool autoPublish = false);
// Points SyncStorage at a folder of its own (the state file lives there).
void useDataFolder(const QString& path);
// Puts an empty file at every photo's original path, as if all had been downloaded.
void makeOriginalsPresent(const Album& album, const QString& originalsRoot);
void writeFile(const QString& path, const QByteArray& bytes);
// Sets a file's modification time to this many seconds since 1970.
void setModified(const QString& path, qint64 secondsSinceEpoch);

// ---- curl ----

// Runs curl with a config file (one connection for all its transfers) and returns the wall
// time in seconds; throws when curl fails.
double runCurl(const QString& configPath);
// Runs curl with a config file whose every transfer writes its time ("write-out =
// \"%{time_total}\\n\""), starting at most `perMinute` transfers a minute, and returns the
// sum of the transfers' own times in seconds: the pauses between them are left out.
double pacedCurlSeconds(const QString& configPath, int perMinute);
// A string quoted for a curl config file.
QString curlQuoted(const QString& text);

// ---- the main thread's responsiveness ----

// A 1 ms timer on the main thread: the longest gap between two of its ticks is the longest
// time the event loop did not run.
class StallWatch : public QObject {
public:
    StallWatch();
    void start();
    void stop();
    double longestGapMs() const { return m_longestNs / 1e6; }

private:
    void tick();
    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_lastNs = 0;
    qint64 m_longestNs = 0;
};

// One pass of a fresh engine against the service after the disk has settled: its seconds,
// its result in `result`, and the longest stall in `watch` when given.
double timedPass(const QString& serviceUrl, const QString& token, const SyncSettings& settings,
                 bool includeEffects, SyncResult& result, StallWatch* watch = nullptr);

} // namespace kitewell::bench
