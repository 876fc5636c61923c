// Transfers against their peer: the engine's downloads and uploads beside curl doing the
// same transfers over one connection, and the memory an upload of a large file takes.

#include "Benchmarks.h"

#include "client/KitewellAPI.h"
#include "client/MultipartBody.h"
#include "errors/Error.h"
#include "storage/SyncStorage.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QUuid>

#include <fcntl.h>
#include <unistd.h>

namespace kitewell::bench {

using namespace Qt::StringLiterals;

namespace {

constexpr qsizetype kRetouchedFiles = 200;
constexpr qsizetype kRetouchedSize = 4 * 1024 * 1024;
constexpr qint64 kLargeUpload = 256LL * 1024 * 1024;

QString tokenOf(const BenchContext& context) {
    return context.token ? *context.token : signIn(context.service);
}

// Runs the two sides in alternating order, so neither always meets a warmer machine.
template <typename Program, typename Peer>
std::pair<double, double> sideBySide(int repetition, Program program, Peer peer) {
    double ours = 0;
    double theirs = 0;
    if (repetition % 2 == 0) {
        ours = program();
        theirs = peer();
    } else {
        theirs = peer();
        ours = program();
    }
    return {ours, theirs};
}

// Makes files durable the way the program makes each download durable before it counts
// it: every file flushed to disk on its own, then its folder. The seconds it takes.
double flushSeconds(const QStringList& files) {
    QElapsedTimer clock;
    clock.start();
    for (const QString& file : files) {
        const int fd = ::open(QFile::encodeName(file).constData(), O_RDONLY | O_CLOEXEC);
        const int folder =
            ::open(QFile::encodeName(QFileInfo(file).path()).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0 || folder < 0 || ::fdatasync(fd) != 0 || ::close(fd) != 0 || ::fsync(folder) != 0 ||
            ::close(folder) != 0)
            throw BenchFailure(u"cannot flush "_s + file);
    }
    return clock.nsecsElapsed() / 1e9;
}

// Writes the multipart body the program sends for the file, under a boundary of the same form.
// The boundary.
QString writeUploadBody(const QString& file, const QString& bodyPath) {
    const QString boundary =
        u"KitewellDesktopSync-"_s + QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
    QFile source(file);
    if (!source.open(QIODevice::ReadOnly))
        throw BenchFailure(u"cannot read "_s + file);
    const QByteArray b = boundary.toUtf8();
    writeFile(bodyPath, MultipartBody::prefix(b, MultipartBody::fileNameParameter(file)) + source.readAll() +
                            MultipartBody::suffix(b));
    return boundary;
}

// The time of `count` saves of the state, as a pass makes one after every upload.
double savesSeconds(const SyncStateFile& state, qsizetype count) {
    QElapsedTimer clock;
    clock.start();
    for (qsizetype i = 0; i < count; ++i)
        SyncStorage::saveState(state);
    return clock.nsecsElapsed() / 1e9;
}

QString versionsUrl(const BenchContext& context, const Album& album, const QString& photoId) {
    return context.service.url + u"/api/admin/events/"_s + KitewellAPI::escapedPathComponent(album.eventId) +
           u"/photos/"_s + KitewellAPI::escapedPathComponent(photoId) + u"/versions"_s;
}

} // namespace

void benchDownload(const BenchContext& context) {
    const QString token = tokenOf(context);
    const Album album = openAlbum(context.service, token);
    const qsizetype photos = album.workspace.photos.size();

    // Repetition -1 warms both sides up (connections, caches, the service's first answers)
    // and is not reported.
    for (int repetition = -1; repetition < context.repetitions; ++repetition) {
        QTemporaryDir data, originals, fetched, scratch;
        useDataFolder(data.path());
        const SyncSettings settings = settingsFor(album, originals.path());

        // curl fetches the same URLs, one after another over one connection, into files.
        QString config = u"silent\nshow-error\nfail\n"_s;
        for (const Photo& photo : album.workspace.photos) {
            config += u"url = "_s + curlQuoted(QUrl(*photo.originalUrl).toString(QUrl::FullyEncoded)) + u'\n';
            config += u"output = "_s + curlQuoted(fetched.filePath(photo.id + u".jpg"_s)) + u'\n';
        }
        const QString configPath = scratch.filePath(u"download.curl"_s);
        writeFile(configPath, config.toUtf8());

        // curl's files are flushed right after its run, as the program flushes each of its
        // own (so a power cut never leaves a truncated original that later passes would take
        // for present): curl plus that is the peer with the same guarantee.
        QStringList fetchedFiles;
        for (const Photo& photo : album.workspace.photos)
            fetchedFiles.append(fetched.filePath(photo.id + u".jpg"_s));
        double flush = 0;
        const auto [ours, theirs] = sideBySide(
            repetition,
            [&] {
                SyncResult result;
                const double seconds = timedPass(context.service.url, token, settings, false, result);
                if (result.downloadedOriginals != photos)
                    throw BenchFailure(
                        u"the pass downloaded %1 of %2"_s.arg(result.downloadedOriginals).arg(photos));
                return seconds;
            },
            [&] {
                settleDisk();
                const double seconds = runCurl(configPath);
                flush = flushSeconds(fetchedFiles);
                return seconds;
            });
        if (repetition < 0)
            continue;
        note(u"download %1 originals: program %2 s, curl %3 s, flushing curl's files %4 s"_s.arg(photos)
                 .arg(ours, 0, 'f', 3)
                 .arg(theirs, 0, 'f', 3)
                 .arg(flush, 0, 'f', 3));
        reportValue(u"download_program_s"_s, ours);
        reportValue(u"download_curl_s"_s, theirs);
        reportValue(u"download_flush_s"_s, flush);
        reportValue(u"download_durable_curl_vs_curl"_s, (theirs + flush) / theirs);
        reportValue(u"download_vs_curl"_s, ours / theirs);
        reportValue(u"download_vs_durable_curl"_s, ours / (theirs + flush));
    }
}

void benchUpload(const BenchContext& context) {
    const QString token = tokenOf(context);
    const Album album = openAlbum(context.service, token);
    if (album.workspace.photos.size() < kRetouchedFiles)
        throw BenchFailure(u"the album needs at least %1 photos"_s.arg(kRetouchedFiles));

    QTemporaryDir data, originals, effects, bodies;
    useDataFolder(data.path());
    makeOriginalsPresent(album, originals.path());
    const SyncSettings settings = settingsFor(album, originals.path(), effects.path(), false);
    {
        // Every photo gets its record: the state holds one per photo from here on.
        SyncResult result;
        timedPass(context.service.url, token, settings, false, result);
        const qsizetype records = SyncStorage::loadState().records.size();
        if (records != album.workspace.photos.size())
            throw BenchFailure(u"the state holds %1 records"_s.arg(records));
    }

    const QString retouchFolder = effects.filePath(album.folderName);
    QDir().mkpath(retouchFolder);
    QByteArray picture(kRetouchedSize, Qt::Uninitialized);
    for (qsizetype i = 0; i < picture.size(); ++i)
        picture[i] = char((i * 131) ^ (i >> 9));
    QStringList files;
    QString config;
    for (qsizetype i = 0; i < kRetouchedFiles; ++i) {
        const Photo& photo = album.workspace.photos[i];
        const QString path = retouchFolder + u'/' + photo.id + u"__IMG_retouched.jpg"_s;
        writeFile(path, picture);
        files.append(path);

        // curl streams the very bytes the program sends from a file, as the program does.
        const QString bodyPath = bodies.filePath(QString::number(i) + u".body"_s);
        const QString boundary = writeUploadBody(path, bodyPath);
        config += u"url = "_s + curlQuoted(versionsUrl(context, album, photo.id)) + u'\n';
        config += u"header = "_s + curlQuoted(u"Authorization: Bearer "_s + token) + u'\n';
        config +=
            u"header = "_s + curlQuoted(u"Content-Type: multipart/form-data; boundary="_s + boundary) + u'\n';
        // Otherwise curl waits for a "100 Continue" the service never sends.
        config += u"header = \"Expect:\"\n"_s;
        config += u"upload-file = "_s + curlQuoted(bodyPath) + u"\nrequest = \"POST\"\n"_s;
        config += u"output = \"/dev/null\"\nwrite-out = \"%{time_total}\\n\"\nsilent\nshow-error\nfail\n"_s;
        if (i + 1 < kRetouchedFiles)
            config += u"next\n"_s;
    }
    const QString configPath = bodies.filePath(u"upload.curl"_s);
    writeFile(configPath, config.toUtf8());
    const SyncStateFile state = SyncStorage::loadState();

    // Each repetition gives the files a new time, so the pass returns every one of them again.
    const qint64 base = QDateTime::currentSecsSinceEpoch() - 3600;
    for (int repetition = 0; repetition < context.repetitions; ++repetition) {
        // The client alone against curl: the same bodies, one connection each side.
        const auto [client, curl] = sideBySide(
            repetition,
            [&] {
                KitewellAPI api(context.service.url, token);
                settleDisk();
                QElapsedTimer clock;
                clock.start();
                for (qsizetype i = 0; i < kRetouchedFiles; ++i)
                    await(api.uploadEffect(album.eventId, album.workspace.photos[i].id, files[i]));
                return clock.nsecsElapsed() / 1e9;
            },
            [&] {
                settleDisk();
                return runCurl(configPath);
            });

        // The pass, saving the state after every upload, against curl plus the same saves.
        for (const QString& file : std::as_const(files))
            setModified(file, base + repetition * 10);
        StallWatch watch;
        double saves = 0;
        double pacedCurl = 0;
        const auto [ours, theirs] = sideBySide(
            repetition,
            [&] {
                SyncResult result;
                const double seconds = timedPass(context.service.url, token, settings, true, result, &watch);
                if (result.uploadedEffects != kRetouchedFiles)
                    throw BenchFailure(
                        u"the pass returned %1 of %2"_s.arg(result.uploadedEffects).arg(kRetouchedFiles));
                return seconds;
            },
            [&] {
                settleDisk();
                saves = savesSeconds(state, kRetouchedFiles);
                // curl's uploads paced as the pass paces its own, one started every upload and
                // save: an upload after an idle pause costs this machine about 2 ms more, curl's
                // as much as the program's, and back to back curl would be spared it.
                const double interval = (curl + saves) / kRetouchedFiles;
                pacedCurl = pacedCurlSeconds(configPath, int(60 / interval));
                return pacedCurl + saves;
            });
        note(u"upload %1 files: client %2 s, curl %3 s; pass with %4 records %5 s, paced curl and %1 saves "
             u"%6 s "
             u"(curl %7 s, saves %8 s); longest stall %9 ms"_s.arg(kRetouchedFiles)
                 .arg(client, 0, 'f', 3)
                 .arg(curl, 0, 'f', 3)
                 .arg(album.workspace.photos.size())
                 .arg(ours, 0, 'f', 3)
                 .arg(theirs, 0, 'f', 3)
                 .arg(pacedCurl, 0, 'f', 3)
                 .arg(saves, 0, 'f', 3)
                 .arg(watch.longestGapMs(), 0, 'f', 1));
        reportValue(u"upload_client_s"_s, client);
        reportValue(u"upload_curl_s"_s, curl);
        reportValue(u"upload_client_vs_curl"_s, client / curl);
        reportValue(u"upload_program_s"_s, ours);
        reportValue(u"upload_saves_s"_s, saves);
        reportValue(u"upload_paced_curl_s"_s, pacedCurl);
        reportValue(u"upload_vs_curl"_s, ours / theirs);
        reportValue(u"upload_vs_back_to_back_curl"_s, ours / (curl + saves));
        reportValue(u"upload_ui_stall_max_ms"_s, watch.longestGapMs());
    }
}

void benchUploadMemory(const BenchContext& context) {
    const QString token = tokenOf(context);
    const Album album = openAlbum(context.service, token);
    const Photo& photo = album.workspace.photos.value(0);

    QTemporaryDir files;
    const QString path = files.filePath(photo.id + u"__large.jpg"_s);
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly))
            throw BenchFailure(u"cannot write "_s + path);
        const QByteArray chunk(1024 * 1024, 'k');
        for (qint64 written = 0; written < kLargeUpload; written += chunk.size())
            file.write(chunk);
    }

    // libcurl and its TLS library are set up by an earlier call, as they are in a running program.
    {
        KitewellAPI warm(context.service.url, token);
        await(warm.eventWorkspace(album.eventId));
    }
    KitewellAPI api(context.service.url, token);
    if (!resetPeakResident())
        throw BenchFailure(u"cannot reset the peak resident size"_s);
    const qint64 before = residentBytes();
    QElapsedTimer clock;
    clock.start();
    await(api.uploadEffect(album.eventId, photo.id, path));
    const double seconds = clock.nsecsElapsed() / 1e9;
    const qint64 peak = peakResidentBytes();
    note(u"upload of 256 MiB: %1 s, resident %2 MB before, peak %3 MB"_s.arg(seconds, 0, 'f', 2)
             .arg(before / 1e6, 0, 'f', 1)
             .arg(peak / 1e6, 0, 'f', 1));
    reportValue(u"upload_rss_growth_mb"_s, (peak - before) / 1e6);

    // Cancelled in the middle of the same upload: how long the caller waits for the call's end.
    KitewellAPI cancelled(context.service.url, token);
    QElapsedTimer sinceCancel;
    QTimer::singleShot(std::chrono::milliseconds(qint64(seconds * 250)), [&] {
        sinceCancel.start();
        cancelled.cancel();
    });
    try {
        await(cancelled.uploadEffect(album.eventId, photo.id, path));
        throw BenchFailure(u"the upload ended before it was cancelled"_s);
    } catch (const CancellationError&) {
    }
    note(u"cancelled mid-upload: the call ended %1 ms later"_s.arg(sinceCancel.nsecsElapsed() / 1e6, 0, 'f',
                                                                   2));
    reportValue(u"cancel_ms"_s, sinceCancel.nsecsElapsed() / 1e6);
}

} // namespace kitewell::bench
