// What polling costs while there is nothing new: the controller polls an album of present
// originals, with returns on and an empty return folder, every second, and this process's CPU
// time is scaled to the real interval; and what memory a long run of such passes keeps.

#include "Benchmarks.h"

#include "app/SyncViewModel.h"
#include "credentials/KeychainStore.h"
#include "storage/SyncStorage.h"

#include <QTemporaryDir>

#include <algorithm>

namespace kitewell::bench {

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

constexpr double kRealIntervalSeconds = 15;

// The signed-in album of the driver's token, with every original present and automatic
// syncing on, returns too (the passes look at the empty return folder, which is watched
// meanwhile), in folders that live as long as this.
struct PolledAlbum {
    explicit PolledAlbum(const BenchContext& context) {
        if (!context.token)
            throw BenchFailure(u"the polling benchmarks need the token the driver stored"_s);
        album = openAlbum(context.service, *context.token);
        if (KeychainStore::readToken() != context.token)
            throw BenchFailure(u"the Secret Service does not hold the session token"_s);
        useDataFolder(data.path());
        makeOriginalsPresent(album, originals.path());
        SyncSettings settings = settingsFor(album, originals.path(), effects.path());
        settings.autoSyncEnabled = true;
        settings.autoUploadEffects = true;
        SyncStorage::saveSettings(settings);
    }
    SyncViewModel::Options options(const BenchContext& context, std::chrono::milliseconds interval) const {
        SyncViewModel::Options options;
        options.pollingInterval = interval;
        options.serviceOrigin = context.service.url;
        return options;
    }

    Album album;
    QTemporaryDir data, originals, effects;
};

} // namespace

void benchPolling(const BenchContext& context) {
    const PolledAlbum polled(context);
    const Album& album = polled.album;
    SyncViewModel model(polled.options(context, 1s));

    QElapsedTimer clock;
    clock.start();
    int passes = 0;
    qint64 busyNs = 0;
    qint64 startedNs = -1;
    QObject::connect(&model, &SyncViewModel::isWorkingChanged, [&] {
        if (model.isWorking()) {
            startedNs = clock.nsecsElapsed();
        } else if (startedNs >= 0) {
            busyNs += clock.nsecsElapsed() - startedNs;
            startedNs = -1;
        }
    });
    QObject::connect(&model, &SyncViewModel::lastSyncedAtChanged, [&] { ++passes; });

    // The first pass records every photo; the measurement starts with the steady ones.
    if (!runUntil([&] { return passes >= 2; }, 60s))
        throw BenchFailure(u"polling did not run: "_s + model.message());

    const std::chrono::milliseconds window(qMax(1, context.pollSeconds) * 1000);
    passes = 0;
    busyNs = 0;
    const double cpuBefore = cpuSeconds();
    runUntil([] { return false; }, window);
    const double cpu = cpuSeconds() - cpuBefore;
    if (passes == 0 || model.message() != u"已检查：没有需要同步的新文件。"_s)
        throw BenchFailure(u"polling passes failed: "_s + model.message());

    const double cpuPerPass = cpu / passes;
    const double secondsPerPass = busyNs / 1e9 / passes;
    const double percent = cpuPerPass / (secondsPerPass + kRealIntervalSeconds) * 100;
    note(u"polling %1 photos for %2 s: %3 passes, %4 ms CPU and %5 ms wall per pass, %6 % of a core at 1 s"_s
             .arg(album.workspace.photos.size())
             .arg(window.count() / 1000)
             .arg(passes)
             .arg(cpuPerPass * 1000, 0, 'f', 1)
             .arg(secondsPerPass * 1000, 0, 'f', 1)
             .arg(cpu / (window.count() / 1000.0) * 100, 0, 'f', 2));
    reportValue(u"poll_pass_cpu_ms"_s, cpuPerPass * 1000);
    reportValue(u"poll_idle_cpu_pct"_s, percent);
}

void benchLongRun(const BenchContext& context) {
    constexpr int kPasses = 200;
    const PolledAlbum polled(context);
    // Passes follow each other closely; a pass's memory is released on a worker well within
    // the interval, so each pass's start shows what the passes before it left.
    SyncViewModel model(polled.options(context, 100ms));
    QList<double> residentMb; // at the start of each pass after the first
    int ended = 0;
    std::optional<QString> failure;
    QObject::connect(&model, &SyncViewModel::isWorkingChanged, [&] {
        if (model.isWorking() && ended > 0)
            residentMb.append(residentBytes() / 1e6);
    });
    QObject::connect(&model, &SyncViewModel::passEnded, [&] {
        ++ended;
        if (model.message() != u"已检查：没有需要同步的新文件。"_s)
            failure = model.message();
    });
    const bool ran = runUntil([&] { return failure || residentMb.size() > kPasses; }, 600s);
    if (failure || !ran)
        throw BenchFailure(u"polling ran %1 passes: "_s.arg(ended) + model.message());

    const double first = residentMb.first();
    const double last = residentMb.at(kPasses);
    note(u"polling %1 photos: resident %2 MB after the first pass, %3 MB after %4, highest %5 MB"_s
             .arg(polled.album.workspace.photos.size())
             .arg(first, 0, 'f', 1)
             .arg(last, 0, 'f', 1)
             .arg(kPasses)
             .arg(*std::max_element(residentMb.cbegin(), residentMb.cend()), 0, 'f', 1));
    reportValue(u"rss_after_first_pass_mb"_s, first);
    reportValue(u"rss_after_200_passes_mb"_s, last);
    reportValue(u"rss_200_passes_vs_first"_s, last / first);
}

} // namespace kitewell::bench
