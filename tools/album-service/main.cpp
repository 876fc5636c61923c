// album-service: the local album service as a process of its own, for the demo, for trying the
// program by hand and for benchmarks (so the service's memory is not counted as the program's).

#include "AlbumService.h"
#include "UploadForm.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDateTime>
#include <QFile>
#include <QRandomGenerator>
#include <QSocketNotifier>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <ctime>
#include <sys/signalfd.h>
#include <unistd.h>

using namespace albumservice;

namespace {

struct Options {
    quint16 port = 0;
    QString email = QStringLiteral("demo@kitewell.local");
    QString password = QStringLiteral("kitewell-demo");
    int albums = 3;
    int photos = 12;
    qsizetype photoSize = 800 * 1024;
    int phoneIntervalSeconds = 0;
    quint32 seed = 1;
    bool quiet = false;
    bool sameOriginal = false;
    QString uploadLog;
};

std::optional<Options> parseOptions(const QCoreApplication& app) {
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("The local album service for KitewellSync."));
    parser.addHelpOption();
    const QCommandLineOption port(QStringLiteral("port"), QStringLiteral("Port on 127.0.0.1 (0: any)."),
                                  QStringLiteral("N"), QStringLiteral("0"));
    const QCommandLineOption account(QStringLiteral("account"),
                                     QStringLiteral("The account's e-mail and password."),
                                     QStringLiteral("email:password"));
    const QCommandLineOption albums(QStringLiteral("albums"), QStringLiteral("Number of albums."),
                                    QStringLiteral("N"), QStringLiteral("3"));
    const QCommandLineOption photos(QStringLiteral("photos"), QStringLiteral("Photos per album."),
                                    QStringLiteral("N"), QStringLiteral("12"));
    const QCommandLineOption photoSize(QStringLiteral("photo-size"), QStringLiteral("Size of each original."),
                                       QStringLiteral("BYTES"), QString::number(800 * 1024));
    const QCommandLineOption phone(QStringLiteral("phone-interval"),
                                   QStringLiteral("Add a photo to the first album every so many seconds."),
                                   QStringLiteral("SECONDS"), QStringLiteral("0"));
    const QCommandLineOption seed(QStringLiteral("seed"),
                                  QStringLiteral("Seed for identifiers and pictures."), QStringLiteral("N"),
                                  QStringLiteral("1"));
    const QCommandLineOption quiet(QStringLiteral("quiet"), QStringLiteral("Do not log requests to stderr."));
    // Making thousands of distinct pictures takes many seconds; benchmarks only need the bytes.
    const QCommandLineOption sameOriginal(
        QStringLiteral("same-original"),
        QStringLiteral("Every seeded photo shares one original (fast seeding)."));
    // Benchmarks time each upload from another process and check the bytes it carried.
    const QCommandLineOption uploadLog(
        QStringLiteral("upload-log"),
        QStringLiteral("Append a line per retouched-version upload to FILE: the monotonic clock at its "
                       "receipt in nanoseconds, the photo id and the SHA-256 of the file received."),
        QStringLiteral("FILE"));
    parser.addOptions(
        {port, account, albums, photos, photoSize, phone, seed, quiet, sameOriginal, uploadLog});
    parser.process(app);

    Options options;
    bool ok = true;
    auto number = [&](const QCommandLineOption& option) {
        bool valid = false;
        const qlonglong value = parser.value(option).toLongLong(&valid);
        ok = ok && valid && value >= 0;
        return value;
    };
    options.port = quint16(number(port));
    options.albums = int(number(albums));
    options.photos = int(number(photos));
    options.photoSize = qsizetype(number(photoSize));
    options.phoneIntervalSeconds = int(number(phone));
    options.seed = quint32(number(seed));
    options.quiet = parser.isSet(quiet);
    options.sameOriginal = parser.isSet(sameOriginal);
    options.uploadLog = parser.value(uploadLog);
    if (parser.isSet(account)) {
        const QString value = parser.value(account);
        const qsizetype colon = value.indexOf(QLatin1Char(':'));
        ok = ok && colon > 0;
        options.email = value.left(colon);
        options.password = value.mid(colon + 1);
    }
    if (!ok)
        return std::nullopt;
    return options;
}

QString hexId(QRandomGenerator& random) {
    return QString::number(random.generate64(), 16).rightJustified(16, QLatin1Char('0'));
}

QString photoName(int number) {
    return QStringLiteral("IMG_%1.JPG").arg(number, 4, 10, QLatin1Char('0'));
}

QString isoTime(const QDateTime& time) {
    return time.toUTC().toString(Qt::ISODateWithMs);
}

// Albums with Chinese and English titles, one shared through a collaboration, with photos.
QString seedAlbums(AlbumService& service, const Options& options, QRandomGenerator& random) {
    service.addAccount({QStringLiteral("acct_") + hexId(random), options.email, QStringLiteral("演示摄影师"),
                        options.password});
    const QList<QPair<QString, std::optional<QString>>> titles{
        {QStringLiteral("2026 春季婚礼"), std::nullopt},
        {QStringLiteral("Campus Run 2026"), std::nullopt},
        {QStringLiteral("星河音乐节 · 后台"), QStringLiteral("修图师")},
    };
    const QDateTime start = QDateTime::currentDateTimeUtc().addDays(-1);
    const QByteArray sharedOriginal =
        options.sameOriginal ? AlbumService::makeJpeg(options.photoSize, random.generate()) : QByteArray();
    QString firstEvent;
    for (int album = 0; album < options.albums; ++album) {
        Event event;
        event.id = hexId(random);
        event.title = album < titles.size() ? titles[album].first : QStringLiteral("相册 %1").arg(album + 1);
        event.collaborationRole = album < titles.size() ? titles[album].second : std::nullopt;
        service.addEvent(event);
        if (album == 0)
            firstEvent = event.id;
        for (int number = 1; number <= options.photos; ++number) {
            Photo photo;
            photo.id = hexId(random);
            photo.name = photoName(number);
            photo.createdAt = isoTime(start.addSecs(60 * number));
            photo.isPublished = false;
            photo.jpeg = options.sameOriginal ? sharedOriginal
                                              : AlbumService::makeJpeg(options.photoSize, random.generate());
            service.addPhoto(event.id, photo);
        }
    }
    return firstEvent;
}

} // namespace

int main(int argc, char** argv) {
    // Signals are read from a descriptor, so stopping is an ordinary event of the loop.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    sigprocmask(SIG_BLOCK, &stopSignals, nullptr);
    const int signalFd = signalfd(-1, &stopSignals, SFD_CLOEXEC | SFD_NONBLOCK);

    QCoreApplication app(argc, argv);
    app.setApplicationName(QStringLiteral("album-service"));
    const auto options = parseOptions(app);
    if (!options) {
        std::fputs("album-service: invalid option value (see --help)\n", stderr);
        return 2;
    }

    AlbumService service;
    service.setKeepBodies(false);
    QRandomGenerator random(options->seed);
    const QString firstEvent = seedAlbums(service, *options, random);

    if (!options->quiet) {
        QObject::connect(&service, &AlbumService::requestReceived, [](const RecordedRequest& request) {
            std::fprintf(stderr, "%s %s\n", request.method.constData(), request.target.constData());
        });
    }

    QFile uploadLog(options->uploadLog);
    if (!options->uploadLog.isEmpty()) {
        if (!uploadLog.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered)) {
            std::fprintf(stderr, "album-service: cannot write %s\n", qPrintable(options->uploadLog));
            return 2;
        }
        QObject::connect(&service, &AlbumService::requestReceived, [&](const RecordedRequest& request) {
            if (request.endpoint != Endpoint::UploadVersion)
                return;
            timespec now{};
            ::clock_gettime(CLOCK_MONOTONIC, &now);
            const auto parsed =
                parseUploadForm(request.header("content-type").value_or(QByteArray()), request.body);
            const QByteArray digest =
                parsed.form ? QCryptographicHash::hash(parsed.form->bytes, QCryptographicHash::Sha256).toHex()
                            : "-";
            // The target is "/api/admin/events/<event>/photos/<photo>/versions".
            const QByteArray photoId = request.target.split('/').value(6);
            uploadLog.write(QByteArray::number(qint64(now.tv_sec) * 1'000'000'000 + now.tv_nsec) + ' ' +
                            photoId + ' ' + digest + '\n');
        });
    }

    QTimer phone;
    int nextNumber = options->photos + 1;
    if (options->phoneIntervalSeconds > 0 && !firstEvent.isEmpty()) {
        QObject::connect(&phone, &QTimer::timeout, [&] {
            Photo photo;
            photo.id = hexId(random);
            photo.name = photoName(nextNumber++);
            photo.createdAt = isoTime(QDateTime::currentDateTimeUtc());
            photo.isPublished = false;
            photo.jpeg = AlbumService::makeJpeg(options->photoSize, random.generate());
            service.addPhoto(firstEvent, photo);
        });
        phone.start(options->phoneIntervalSeconds * 1000);
    }

    QSocketNotifier stopNotifier(signalFd, QSocketNotifier::Read);
    QObject::connect(&stopNotifier, &QSocketNotifier::activated, [&] {
        signalfd_siginfo info;
        while (::read(signalFd, &info, sizeof info) == sizeof info) {
        }
        app.quit();
    });

    if (!service.listen(options->port)) {
        std::fprintf(stderr, "album-service: cannot listen on 127.0.0.1:%u\n", unsigned(options->port));
        return 1;
    }
    std::printf("album-service listening on %s\n", service.baseUrl().toString().toUtf8().constData());
    std::fflush(stdout);
    const int status = app.exec();
    ::close(signalFd);
    return status;
}
