#include "BenchSupport.h"

#include "client/KitewellAPI.h"
#include "platform/FileSystemError.h"
#include "platform/FolderBookmark.h"
#include "sync/Naming.h"
#include "sync/SyncEngine.h"

#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kitewell::bench {

using namespace Qt::StringLiterals;

namespace {

// A "Vm...:  <n> kB" line of /proc/self/status, in bytes.
qint64 statusField(const char* name) {
    QFile status(u"/proc/self/status"_s);
    if (!status.open(QIODevice::ReadOnly))
        throw BenchFailure(u"cannot read /proc/self/status"_s);
    const QByteArray prefix = QByteArray(name) + ':';
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith(prefix))
            return line.mid(prefix.size()).trimmed().split(' ').value(0).toLongLong() * 1024;
    }
    throw BenchFailure(u"no %1 in /proc/self/status"_s.arg(QLatin1StringView(name)));
}

} // namespace

double cpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

qint64 residentBytes() {
    return statusField("VmRSS");
}

qint64 peakResidentBytes() {
    return statusField("VmHWM");
}

bool resetPeakResident() {
    QFile refs(u"/proc/self/clear_refs"_s);
    return refs.open(QIODevice::WriteOnly) && refs.write("5") == 1;
}

void settleDisk() {
    ::sync();
}

void reportValue(const QString& name, double value) {
    std::printf("value %s %.6f\n", qPrintable(name), value);
    std::fflush(stdout);
}

void note(const QString& text) {
    std::fprintf(stderr, "# %s\n", text.toUtf8().constData());
    std::fflush(stderr);
}

double median(QList<double> values) {
    if (values.isEmpty())
        return 0;
    std::sort(values.begin(), values.end());
    const qsizetype middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    QElapsedTimer clock;
    clock.start();
    QEventLoop loop;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (done() || clock.elapsed() >= limit.count())
            loop.quit();
    });
    check.start(10);
    loop.exec();
    return done();
}

QString describe(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return QString::fromUtf8(e.what());
    } catch (...) {
        return u"unknown exception"_s;
    }
}

QString signIn(const ServiceAccess& service) {
    KitewellAPI api(service.url, std::nullopt);
    return await(api.signIn(service.email, service.password));
}

Album openAlbum(const ServiceAccess& service, const QString& token) {
    KitewellAPI api(service.url, token);
    const WorkspaceBootstrap bootstrap = await(api.bootstrap());
    if (bootstrap.events.isEmpty())
        throw BenchFailure(u"the service has no album"_s);
    Album album;
    album.token = token;
    album.eventId = bootstrap.events.first().id;
    album.workspace = await(api.eventWorkspace(album.eventId));
    album.folderName = naming::albumFolderName(album.workspace.event);
    return album;
}

SyncSettings settingsFor(const Album& album, const QString& originalsRoot,
                         const std::optional<QString>& effectsRoot, bool autoPublish) {
    SyncSettings settings;
    settings.eventId = album.eventId;
    settings.eventTitle = album.workspace.event.title;
    settings.originalDirectoryBookmark = FolderBookmark::create(originalsRoot);
    if (effectsRoot)
        settings.effectDirectoryBookmark = FolderBookmark::create(*effectsRoot);
    settings.autoPublishEffects = autoPublish;
    return settings;
}

void useDataFolder(const QString& path) {
    qputenv("XDG_DATA_HOME", QFile::encodeName(path));
}

void makeOriginalsPresent(const Album& album, const QString& originalsRoot) {
    const QString folder = originalsRoot + u'/' + album.folderName;
    if (!QDir().mkpath(folder))
        throw BenchFailure(u"cannot create "_s + folder);
    for (const Photo& photo : album.workspace.photos) {
        const QByteArray path = QFile::encodeName(folder + u'/' + naming::downloadFileName(photo));
        const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0)
            throw FileSystemError::fromErrno(errno);
        ::close(fd);
    }
}

void writeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size())
        throw BenchFailure(u"cannot write "_s + path);
}

void setModified(const QString& path, qint64 secondsSinceEpoch) {
    const timespec times[2] = {{secondsSinceEpoch, 0}, {secondsSinceEpoch, 0}};
    if (::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0) != 0)
        throw FileSystemError::fromErrno(errno);
}

namespace {

// Runs curl to its end; its output goes to `output` when given.
void curlRun(const QStringList& arguments, QByteArray* output) {
    const QString curl = QStandardPaths::findExecutable(u"curl"_s);
    if (curl.isEmpty())
        throw BenchFailure(u"curl is not installed (scripts/setup-deps installs it)"_s);
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    if (!output)
        process.setStandardOutputFile(QProcess::nullDevice());
    process.start(curl, arguments);
    if (!process.waitForFinished(600'000))
        throw BenchFailure(u"curl did not finish"_s);
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        throw BenchFailure(u"curl failed with exit code %1"_s.arg(process.exitCode()));
    if (output)
        *output = process.readAllStandardOutput();
}

} // namespace

double runCurl(const QString& configPath) {
    QElapsedTimer clock;
    clock.start();
    curlRun({u"--config"_s, configPath}, nullptr);
    return clock.nsecsElapsed() / 1e9;
}

double pacedCurlSeconds(const QString& configPath, int perMinute) {
    QByteArray output;
    curlRun({u"--rate"_s, u"%1/m"_s.arg(perMinute), u"--config"_s, configPath}, &output);
    double seconds = 0;
    int transfers = 0;
    for (const QByteArray& line : output.split('\n')) {
        if (line.isEmpty())
            continue;
        bool isNumber = false;
        seconds += line.toDouble(&isNumber);
        transfers += isNumber ? 1 : 0;
    }
    if (transfers == 0)
        throw BenchFailure(u"curl reported no transfer's time"_s);
    return seconds;
}

QString curlQuoted(const QString& text) {
    QString escaped = text;
    escaped.replace(u'\\', u"\\\\"_s).replace(u'"', u"\\\""_s);
    return u'"' + escaped + u'"';
}

StallWatch::StallWatch() {
    m_timer.setTimerType(Qt::PreciseTimer);
    m_timer.setInterval(1);
    QObject::connect(&m_timer, &QTimer::timeout, this, [this] { tick(); });
}

void StallWatch::start() {
    m_clock.start();
    m_lastNs = 0;
    m_longestNs = 0;
    m_timer.start();
}

void StallWatch::stop() {
    tick();
    m_timer.stop();
}

void StallWatch::tick() {
    const qint64 now = m_clock.nsecsElapsed();
    m_longestNs = std::max(m_longestNs, now - m_lastNs);
    m_lastNs = now;
}

double timedPass(const QString& serviceUrl, const QString& token, const SyncSettings& settings,
                 bool includeEffects, SyncResult& result, StallWatch* watch) {
    settleDisk();
    KitewellAPI api(serviceUrl, token);
    SyncEngine engine(api);
    QElapsedTimer clock;
    if (watch)
        watch->start();
    clock.start();
    result = await(engine.synchronize(settings, includeEffects));
    const double seconds = clock.nsecsElapsed() / 1e9;
    if (watch)
        watch->stop();
    return seconds;
}

} // namespace kitewell::bench
