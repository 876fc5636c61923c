// How soon a retouched file saved into the return folder reaches the service while the
// controller polls: 40 files of 4 MB put into the album's return folder at random moments over
// four polling intervals, half moved in after being written elsewhere, half written in place in
// pieces 0.4 s apart, each timed from its close (or move) to the service's receipt of its
// upload. The service logs each upload with the monotonic clock and a digest of the bytes it
// received, so every upload is also checked to carry the file's final bytes.

#include "Benchmarks.h"

#include "app/SyncViewModel.h"
#include "credentials/KeychainStore.h"
#include "storage/SyncStorage.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <thread>
#include <unistd.h>

namespace kitewell::bench {

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

constexpr int kFiles = 40;
constexpr qsizetype kFileSize = 4 * 1024 * 1024;
constexpr int kPieces = 8;
constexpr std::chrono::milliseconds kPieceGap = 400ms;
constexpr std::chrono::milliseconds kInterval = 15s;
constexpr int kSpreadIntervals = 4;

// The service's log and the writer share this clock (CLOCK_MONOTONIC).
using Clock = std::chrono::steady_clock;

qint64 monotonicNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

struct ReturnedFile {
    QByteArray photoId;
    QString name;
    bool inPlace = false;
    Clock::duration start{}; // after the writer begins
    // Set by the writer.
    QByteArray finalDigest;
    qint64 settledNs = 0; // closed after its last piece, or moved in
};

struct Step {
    Clock::duration at;
    int file;
    int piece; // -1: written elsewhere and moved in
};

void writeAll(int fd, const QByteArray& bytes) {
    for (qsizetype written = 0; written < bytes.size();) {
        const ssize_t n = ::write(fd, bytes.constData() + written, size_t(bytes.size() - written));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            throw BenchFailure(u"cannot write a retouched file: "_s +
                               QString::fromLocal8Bit(strerror(errno)));
        written += n;
    }
}

QByteArray randomBytes(QRandomGenerator& random, qsizetype size) {
    QByteArray bytes(size, Qt::Uninitialized);
    random.fillRange(reinterpret_cast<quint32*>(bytes.data()), size / qsizetype(sizeof(quint32)));
    return bytes;
}

// What an editor in another program does: writes the files at their moments, on a thread of its
// own so the controller's thread only sees the folder change.
void writeFiles(std::vector<ReturnedFile>& files, const QString& album, const QString& elsewhere,
                Clock::time_point begin) {
    std::vector<Step> steps;
    for (int i = 0; i < int(files.size()); ++i) {
        if (!files[i].inPlace)
            steps.push_back({files[i].start, i, -1});
        for (int piece = 0; files[i].inPlace && piece < kPieces; ++piece)
            steps.push_back({files[i].start + piece * kPieceGap, i, piece});
    }
    std::stable_sort(steps.begin(), steps.end(), [](const Step& a, const Step& b) { return a.at < b.at; });

    QRandomGenerator random(7);
    std::vector<int> open(files.size(), -1);
    std::vector<std::unique_ptr<QCryptographicHash>> digests(files.size());
    for (const Step& step : steps) {
        std::this_thread::sleep_until(begin + step.at);
        ReturnedFile& file = files[size_t(step.file)];
        const QByteArray target = QFile::encodeName(album + u'/' + file.name);
        if (step.piece < 0) {
            const QByteArray staged = QFile::encodeName(elsewhere + u'/' + file.name);
            const QByteArray bytes = randomBytes(random, kFileSize);
            const int fd = ::open(staged.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            if (fd < 0)
                throw BenchFailure(u"cannot create "_s + QString::fromLocal8Bit(staged));
            writeAll(fd, bytes);
            ::close(fd);
            if (::rename(staged.constData(), target.constData()) != 0)
                throw BenchFailure(u"cannot move in "_s + file.name);
            file.settledNs = monotonicNs();
            file.finalDigest = QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex();
            continue;
        }
        int& fd = open[size_t(step.file)];
        if (step.piece == 0) {
            fd = ::open(target.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            if (fd < 0)
                throw BenchFailure(u"cannot create "_s + file.name);
            digests[size_t(step.file)] = std::make_unique<QCryptographicHash>(QCryptographicHash::Sha256);
        }
        const QByteArray piece = randomBytes(random, kFileSize / kPieces);
        writeAll(fd, piece);
        digests[size_t(step.file)]->addData(piece);
        if (step.piece == kPieces - 1) {
            ::close(fd);
            file.settledNs = monotonicNs();
            file.finalDigest = digests[size_t(step.file)]->result().toHex();
        }
    }
}

// One upload as the service logged it.
struct Receipt {
    qint64 ns;
    QByteArray photoId;
    QByteArray digest;
};

QList<Receipt> readReceipts(const QString& log) {
    QFile file(log);
    QList<Receipt> receipts;
    if (!file.open(QIODevice::ReadOnly))
        return receipts;
    for (const QByteArray& line : file.readAll().split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() == 3)
            receipts.append({fields[0].toLongLong(), fields[1], fields[2]});
    }
    return receipts;
}

// The nearest-rank percentile.
double percentile(QList<double> values, double fraction) {
    std::sort(values.begin(), values.end());
    const auto rank = qsizetype(std::ceil(fraction * double(values.size())));
    return values.at(std::clamp<qsizetype>(rank - 1, 0, values.size() - 1));
}

} // namespace

void benchReturnLatency(const BenchContext& context) {
    if (!context.token || context.uploadLog.isEmpty())
        throw BenchFailure(u"the return benchmark needs the stored token and the service's upload log"_s);
    const Album album = openAlbum(context.service, *context.token);
    if (KeychainStore::readToken() != context.token)
        throw BenchFailure(u"the Secret Service does not hold the session token"_s);
    // Run 0 watches the return folder; run 1 polls alone, as before the watch. Each returns
    // files of photos of its own.
    const bool watch = context.run == 0;
    const qsizetype firstPhoto = qsizetype(context.run) * kFiles;
    if (album.workspace.photos.size() < firstPhoto + kFiles)
        throw BenchFailure(u"the album has too few photos"_s);

    QTemporaryDir root;
    const QString data = root.filePath(u"data"_s), originals = root.filePath(u"originals"_s),
                  effects = root.filePath(u"effects"_s), elsewhere = root.filePath(u"elsewhere"_s);
    for (const QString& folder : {data, originals, effects, elsewhere})
        if (!QDir().mkpath(folder))
            throw BenchFailure(u"cannot create "_s + folder);
    useDataFolder(data);
    makeOriginalsPresent(album, originals);
    SyncSettings settings = settingsFor(album, originals, effects);
    settings.autoSyncEnabled = true;
    settings.autoUploadEffects = true;
    SyncStorage::saveSettings(settings);

    SyncViewModel::Options options;
    options.pollingInterval = kInterval;
    options.serviceOrigin = context.service.url;
    options.watchReturnFolder = watch;
    SyncViewModel model(options);
    int passes = 0;
    QObject::connect(&model, &SyncViewModel::passEnded, [&] { ++passes; });
    // The first pass makes the album's return folder.
    if (!runUntil([&] { return passes >= 1; }, 60s) || model.message() != u"已检查：没有需要同步的新文件。"_s)
        throw BenchFailure(u"the first polling pass failed: "_s + model.message());
    passes = 0;

    QRandomGenerator random(20'260'401);
    std::vector<ReturnedFile> files(kFiles);
    QSet<QByteArray> photoIds;
    for (int i = 0; i < kFiles; ++i) {
        const Photo& photo = album.workspace.photos.at(firstPhoto + i);
        photoIds.insert(photo.id.toUtf8());
        files[size_t(i)].photoId = photo.id.toUtf8();
        files[size_t(i)].name = photo.id + u"__retouched.jpg"_s;
        files[size_t(i)].inPlace = i % 2 == 1;
        files[size_t(i)].start =
            std::chrono::milliseconds(random.bounded(qint64(kSpreadIntervals * kInterval.count())));
    }

    const qint64 beganNs = monotonicNs();
    std::atomic<bool> written = false;
    QString writeFailure;
    std::thread writer([&] {
        try {
            writeFiles(files, effects + u'/' + album.folderName, elsewhere, Clock::now());
        } catch (...) {
            writeFailure = describe(std::current_exception());
        }
        written = true;
    });
    // Every file returned with its final bytes, once the writer has finished.
    const auto receipts = [&] {
        QList<Receipt> ours;
        for (const Receipt& receipt : readReceipts(context.uploadLog))
            if (receipt.ns >= beganNs && photoIds.contains(receipt.photoId))
                ours.append(receipt);
        return ours;
    };
    const auto allReturned = [&] {
        if (!written)
            return false;
        const QList<Receipt> ours = receipts();
        return std::all_of(files.begin(), files.end(), [&](const ReturnedFile& file) {
            return std::any_of(ours.begin(), ours.end(), [&](const Receipt& receipt) {
                return receipt.photoId == file.photoId && receipt.digest == file.finalDigest;
            });
        });
    };
    const bool complete = runUntil(allReturned, kSpreadIntervals * kInterval + 4 * kInterval);
    writer.join();
    if (!writeFailure.isEmpty())
        throw BenchFailure(writeFailure);
    if (!complete)
        throw BenchFailure(u"not every file was returned: "_s + model.message());

    const QList<Receipt> ours = receipts();
    QList<double> latencies;
    int staleUploads = 0;
    for (const ReturnedFile& file : files) {
        std::optional<qint64> first;
        for (const Receipt& receipt : ours) {
            if (receipt.photoId != file.photoId)
                continue;
            if (receipt.digest != file.finalDigest)
                ++staleUploads;
            else if (!first || receipt.ns < *first)
                first = receipt.ns;
        }
        latencies.append(double(*first - file.settledNs) / 1e6);
    }
    const QString suffix = watch ? QString() : u"_watch_off"_s;
    note(u"returning %1 files with the watch %2: %3 polling passes, latency median %4 ms, p95 %5 ms, max %6 "
         u"ms, %7 uploads of other bytes"_s.arg(kFiles)
             .arg(watch ? u"on"_s : u"off"_s)
             .arg(passes)
             .arg(percentile(latencies, 0.5), 0, 'f', 0)
             .arg(percentile(latencies, 0.95), 0, 'f', 0)
             .arg(percentile(latencies, 1), 0, 'f', 0)
             .arg(staleUploads));
    reportValue(u"return_latency_p95_ms"_s + suffix, percentile(latencies, 0.95));
    reportValue(u"return_latency_max_ms"_s + suffix, percentile(latencies, 1));
    reportValue(u"return_stale_uploads"_s + suffix, staleUploads);
}

} // namespace kitewell::bench
