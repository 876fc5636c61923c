// A pass with nothing to do over a large album, and the state file's save.

#include "Benchmarks.h"

#include "client/KitewellAPI.h"
#include "storage/SyncStorage.h"

#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <fcntl.h>
#include <unistd.h>

namespace kitewell::bench {

using namespace Qt::StringLiterals;

namespace {

constexpr int kStateRecords = 20'000;

QString hexId(QRandomGenerator& random) {
    return QString::number(random.generate64(), 16).rightJustified(16, u'0');
}

// A state shaped like a real one: one album of 20,000 photos, a few of them returned and
// published, and a second small album.
SyncStateFile sampleState() {
    QRandomGenerator random(7);
    SyncStateFile state;
    const QString firstAlbum = hexId(random);
    const QString folder = u"2026 春季婚礼--"_s + firstAlbum.left(8);
    for (int i = 0; i < kStateRecords; ++i) {
        const QString eventId = i < kStateRecords - 50 ? firstAlbum : u"0f1e2d3c4b5a6978"_s;
        const QString photoId = hexId(random);
        SyncRecord record{photoId, eventId,
                          folder + u'/' + photoId + u"__IMG_"_s + QString::number(i).rightJustified(4, u'0') +
                              u".JPG"_s,
                          std::nullopt, std::nullopt};
        if (i % 50 == 0)
            record.lastUploadedEffectFingerprint = u"4194304-1767225600"_s;
        if (i % 100 == 0)
            record.lastPublishedEffectFingerprint = u"4194304-1767225600"_s;
        state.records.insert(SyncStateFile::recordKey(eventId, photoId), record);
    }
    return state;
}

} // namespace

void benchIdlePass(const BenchContext& context) {
    const QString token = context.token ? *context.token : signIn(context.service);
    const Album album = openAlbum(context.service, token);
    QTemporaryDir data, originals;
    useDataFolder(data.path());
    makeOriginalsPresent(album, originals.path());
    const SyncSettings settings = settingsFor(album, originals.path());

    auto pass = [&](StallWatch* watch) {
        SyncResult result;
        const double ms = timedPass(context.service.url, token, settings, false, result, watch) * 1000;
        if (result.downloadedOriginals != 0)
            throw BenchFailure(u"the pass downloaded %1 originals"_s.arg(result.downloadedOriginals));
        return ms;
    };

    // The service's own share: curl fetching the same workspace (the pass cannot be faster).
    QTemporaryDir scratch;
    const QString configPath = scratch.filePath(u"workspace.curl"_s);
    writeFile(configPath, (u"silent\nshow-error\nfail\noutput = \"/dev/null\"\nurl = "_s +
                           curlQuoted(context.service.url + u"/api/publisher/events/"_s +
                                      KitewellAPI::escapedPathComponent(album.eventId) + u"/workspace"_s) +
                           u"\nheader = "_s + curlQuoted(u"Authorization: Bearer "_s + token) + u'\n')
                              .toUtf8());

    // The first pass records every photo; from then on there is nothing to do. A second lets the
    // process settle (its heap grown to what a pass needs), as the program's has after its first
    // minutes of polling: the figure is the steady idle pass.
    pass(nullptr);
    pass(nullptr);
    for (int repetition = 0; repetition < context.repetitions; ++repetition) {
        StallWatch watch;
        const double ms = pass(&watch);
        const double serviceMs = runCurl(configPath) * 1000;
        note(u"idle pass over %1 photos: %2 ms (curl fetches the workspace in %3 ms), longest stall %4 ms"_s
                 .arg(album.workspace.photos.size())
                 .arg(ms, 0, 'f', 1)
                 .arg(serviceMs, 0, 'f', 1)
                 .arg(watch.longestGapMs(), 0, 'f', 1));
        reportValue(u"idle_pass_20k_ms"_s, ms);
        reportValue(u"idle_workspace_curl_ms"_s, serviceMs);
        reportValue(u"idle_pass_vs_curl"_s, ms / serviceMs);
        reportValue(u"ui_stall_max_ms"_s, watch.longestGapMs());
    }
}

// The floor of a save: the same bytes, already encoded, through the same system calls
// (temporary file, flush, rename over the old file, flush of the folder).
double flushedWriteMs(const QByteArray& bytes, const QString& folder) {
    const QByteArray temporary = QFile::encodeName(folder + u"/floor.tmp"_s);
    const QByteArray target = QFile::encodeName(folder + u"/floor.json"_s);
    QElapsedTimer clock;
    clock.start();
    const int fd = ::open(temporary.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0 || ::write(fd, bytes.constData(), size_t(bytes.size())) != bytes.size() ||
        ::fdatasync(fd) != 0 || ::close(fd) != 0 || ::rename(temporary.constData(), target.constData()) != 0)
        throw BenchFailure(u"cannot write the floor file"_s);
    const int directory = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ::fsync(directory);
    ::close(directory);
    return clock.nsecsElapsed() / 1e6;
}

void benchStateSave(const BenchContext& context) {
    QTemporaryDir data;
    useDataFolder(data.path());
    // Saved as a pass holds it: read from its file when the pass begins (its records lie in
    // memory in the file's order), then one record changed as an upload changes it.
    const SyncStateFile scattered = sampleState();
    SyncStorage::saveState(scattered);
    SyncStateFile state = SyncStorage::loadState();
    if (state != scattered)
        throw BenchFailure(u"the saved state does not load back"_s);
    state.records.last().lastUploadedEffectFingerprint = u"4194304-1767225601"_s;
    const QByteArray bytes = state.encode();
    flushedWriteMs(bytes, data.path());
    for (int repetition = 0; repetition < context.repetitions; ++repetition) {
        settleDisk();
        QElapsedTimer clock;
        clock.start();
        SyncStorage::saveState(state);
        const double saveMs = clock.nsecsElapsed() / 1e6;
        reportValue(u"state_save_20k_ms"_s, saveMs);
        settleDisk();
        const double floorMs = flushedWriteMs(bytes, data.path());
        reportValue(u"state_save_floor_ms"_s, floorMs);
        reportValue(u"state_save_over_floor_ms"_s, saveMs - floorMs);
        clock.start();
        const QByteArray encoded = state.encode();
        reportValue(u"state_encode_ms"_s, clock.nsecsElapsed() / 1e6);
        if (encoded != bytes)
            throw BenchFailure(u"the state encodes differently from one save to the next"_s);
    }
    // Built record by record in random key order, as a first pass's downloads leave it: the
    // records lie scattered in memory, and the one save after those downloads reads them so.
    for (int repetition = 0; repetition < context.repetitions; ++repetition) {
        settleDisk();
        QElapsedTimer clock;
        clock.start();
        SyncStorage::saveState(scattered);
        reportValue(u"state_save_scattered_ms"_s, clock.nsecsElapsed() / 1e6);
    }
}

} // namespace kitewell::bench
