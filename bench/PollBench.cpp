// What polling costs while there is nothing new: the controller polls an album of present
// originals, with returns on and an empty return folder, every second, and this process's CPU
// time is scaled to the real interval.

#include "Benchmarks.h"

#include "app/SyncViewModel.h"
#include "credentials/KeychainStore.h"
#include "storage/SyncStorage.h"

#include <QTemporaryDir>

namespace kitewell::bench {

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

constexpr double kRealIntervalSeconds = 15;

} // namespace

void benchPolling(const BenchContext& context) {
    if (!context.token)
        throw BenchFailure(u"the polling benchmark needs the token the driver stored"_s);
    const Album album = openAlbum(context.service, *context.token);
    if (KeychainStore::readToken() != context.token)
        throw BenchFailure(u"the Secret Service does not hold the session token"_s);

    // Returns on: the passes look at the (empty) return folder, which is watched meanwhile.
    QTemporaryDir data, originals, effects;
    useDataFolder(data.path());
    makeOriginalsPresent(album, originals.path());
    SyncSettings settings = settingsFor(album, originals.path(), effects.path());
    settings.autoSyncEnabled = true;
    settings.autoUploadEffects = true;
    SyncStorage::saveSettings(settings);

    SyncViewModel::Options options;
    options.pollingInterval = 1s;
    options.serviceOrigin = context.service.url;
    SyncViewModel model(options);

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

} // namespace kitewell::bench
