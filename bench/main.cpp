// kitewell-bench: runs every benchmark against the local album service (a process of its
// own, so its memory and CPU are not counted as the program's) and prints one line per
// figure, "name value unit", each the median of several runs.
//
// The driver starts the service for each benchmark and runs the benchmark in a child
// process of this executable ("--child <name>"), so no benchmark inherits another's memory,
// threads or caches. Details and the targets go to stderr.

#include "Benchmarks.h"

#include "credentials/KeychainStore.h"
#include "platform/ProcessSetup.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFileInfo>
#include <QHash>
#include <QProcess>
#include <QTemporaryDir>

#include <cstdio>
#include <functional>
#include <memory>

using namespace kitewell;
using namespace kitewell::bench;
using namespace Qt::StringLiterals;

namespace {

const QString kEmail = u"bench@kitewell.local"_s;
const QString kPassword = u"bench-password"_s;

struct Figure {
    QString name;
    QString unit;
    double target;
};

const QList<Figure> kFigures{
    {u"download_vs_durable_curl"_s, u"ratio"_s, 1.05},
    {u"upload_client_vs_curl"_s, u"ratio"_s, 1.10},
    {u"upload_vs_curl"_s, u"ratio"_s, 1.10},
    {u"upload_ui_stall_max_ms"_s, u"ms"_s, 16},
    {u"idle_pass_20k_ms"_s, u"ms"_s, 100},
    // The same pass over curl fetching the same workspace right after it: the service's share.
    {u"idle_pass_vs_curl"_s, u"ratio"_s, 4},
    {u"ui_stall_max_ms"_s, u"ms"_s, 16},
    {u"state_save_20k_ms"_s, u"ms"_s, 10},
    // The same bytes written, flushed and renamed by hand: the disk's share of a save, and
    // how far a save stays above it.
    {u"state_save_floor_ms"_s, u"ms"_s, -1},
    {u"state_save_over_floor_ms"_s, u"ms"_s, 3},
    {u"upload_rss_growth_mb"_s, u"MB"_s, 16},
    {u"cancel_ms"_s, u"ms"_s, 100},
    {u"poll_idle_cpu_pct"_s, u"%"_s, 0.5},
    {u"return_latency_p95_ms"_s, u"ms"_s, 3000},
    {u"return_latency_max_ms"_s, u"ms"_s, 5000},
    {u"return_stale_uploads"_s, u"uploads"_s, 0},
    // The same with polling alone, to show what the watch gains.
    {u"return_latency_p95_ms_watch_off"_s, u"ms"_s, -1},
    {u"return_latency_max_ms_watch_off"_s, u"ms"_s, -1},
    {u"return_stale_uploads_watch_off"_s, u"uploads"_s, -1},
    // A program that runs for days keeps its memory: what 200 passes leave against the first.
    {u"rss_after_first_pass_mb"_s, u"MB"_s, -1},
    {u"rss_after_200_passes_mb"_s, u"MB"_s, -1},
    {u"rss_200_passes_vs_first"_s, u"ratio"_s, 1.3},
};

// Samples shown beside the figures, for the reader.
const QList<Figure> kDetails{
    {u"download_program_s"_s, u"s"_s, 0},
    {u"download_curl_s"_s, u"s"_s, 0},
    {u"download_flush_s"_s, u"s"_s, 0},
    {u"download_durable_curl_vs_curl"_s, u"ratio"_s, 0},
    {u"download_vs_curl"_s, u"ratio"_s, 0},
    {u"upload_client_s"_s, u"s"_s, 0},
    {u"upload_curl_s"_s, u"s"_s, 0},
    {u"upload_program_s"_s, u"s"_s, 0},
    {u"upload_saves_s"_s, u"s"_s, 0},
    {u"upload_paced_curl_s"_s, u"s"_s, 0},
    {u"upload_vs_back_to_back_curl"_s, u"ratio"_s, 0},
    {u"idle_workspace_curl_ms"_s, u"ms"_s, 0},
    {u"state_encode_ms"_s, u"ms"_s, 0},
    {u"state_save_scattered_ms"_s, u"ms"_s, 0},
    {u"poll_pass_cpu_ms"_s, u"ms"_s, 0},
};

struct Benchmark {
    QString name;
    QStringList serviceArguments; // empty: needs no service
    int processes = 1;            // runs in separate processes...
    bool concurrent = false;      // ...at the same time (only for CPU-time figures)
    int repetitions = 1;          // runs within one process
    bool needsKeyring = false;
    bool logsUploads = false; // the service logs each upload for the benchmark to read
};

QStringList albumOf(int photos, qint64 photoSize) {
    return {u"--albums"_s,       u"1"_s,
            u"--photos"_s,       QString::number(photos),
            u"--photo-size"_s,   QString::number(photoSize),
            u"--same-original"_s};
}

QList<Benchmark> benchmarks() {
    return {
        {u"download"_s, albumOf(200, 4 * 1024 * 1024), 1, false, 3, false},
        {u"upload"_s, albumOf(20'000, 0), 1, false, 5, false},
        {u"idle"_s, albumOf(20'000, 0), 1, false, 7, false},
        {u"save"_s, {}, 1, false, 15, false},
        {u"memory"_s, albumOf(1, 0), 3, false, 1, false},
        // CPU time is per process, so the three pollers share the minute.
        {u"poll"_s, albumOf(2'000, 0), 3, true, 1, true},
        // Run 0 with the return folder watched, run 1 without.
        {u"return"_s, albumOf(200, 0), 2, false, 1, true, true},
        {u"longrun"_s, albumOf(20'000, 0), 1, false, 1, true},
    };
}

using BenchFunction = void (*)(const BenchContext&);

BenchFunction functionOf(const QString& name) {
    static const QHash<QString, BenchFunction> functions{
        {u"download"_s, benchDownload},    {u"upload"_s, benchUpload},       {u"idle"_s, benchIdlePass},
        {u"save"_s, benchStateSave},       {u"memory"_s, benchUploadMemory}, {u"poll"_s, benchPolling},
        {u"return"_s, benchReturnLatency}, {u"longrun"_s, benchLongRun},
    };
    return functions.value(name, nullptr);
}

// The album service in its own process, stopped when this goes.
class ServiceProcess {
public:
    ServiceProcess(const QString& executable, const QStringList& arguments) {
        m_process.setReadChannel(QProcess::StandardOutput);
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start(executable, QStringList{u"--port"_s, u"0"_s, u"--quiet"_s, u"--account"_s,
                                                kEmail + u':' + kPassword} +
                                        arguments);
        QByteArray output;
        QElapsedTimer clock;
        clock.start();
        while (!output.contains('\n') && clock.elapsed() < 120'000) {
            if (!m_process.waitForReadyRead(1000) && m_process.state() == QProcess::NotRunning)
                break;
            output += m_process.readAll();
        }
        const QByteArray line = output.left(output.indexOf('\n')).trimmed();
        const qsizetype at = line.lastIndexOf(' ');
        if (!line.startsWith("album-service listening on ") || at < 0)
            throw BenchFailure(u"the album service did not start: "_s + QString::fromUtf8(output));
        m_url = QString::fromUtf8(line.mid(at + 1));
    }
    ~ServiceProcess() {
        m_process.terminate();
        if (!m_process.waitForFinished(10'000))
            m_process.kill();
        m_process.waitForFinished(5000);
    }
    const QString& url() const { return m_url; }

private:
    QProcess m_process;
    QString m_url;
};

struct Options {
    QString serviceExecutable;
    QStringList only;
    std::optional<int> repetitions;
    int pollSeconds = 60;
};

// Runs one benchmark's processes and gathers their samples.
void runBenchmark(const Benchmark& benchmark, const Options& options, QHash<QString, QList<double>>& samples,
                  QStringList& problems) {
    std::unique_ptr<ServiceProcess> service;
    ServiceAccess access{QString(), kEmail, kPassword};
    std::optional<QString> token;
    QTemporaryDir logFolder;
    const QString uploadLog = benchmark.logsUploads ? logFolder.filePath(u"uploads.log"_s) : QString();
    if (!benchmark.serviceArguments.isEmpty()) {
        service = std::make_unique<ServiceProcess>(
            options.serviceExecutable,
            benchmark.serviceArguments +
                (uploadLog.isEmpty() ? QStringList() : QStringList{u"--upload-log"_s, uploadLog}));
        access.url = service->url();
        token = signIn(access);
        if (benchmark.needsKeyring)
            KeychainStore::saveToken(*token);
    }

    const int repetitions = options.repetitions.value_or(benchmark.repetitions);
    std::vector<std::unique_ptr<QProcess>> children;
    auto start = [&](int run) {
        auto child = std::make_unique<QProcess>();
        child->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        QStringList arguments{
            u"--child"_s, benchmark.name,       u"--repetitions"_s,  QString::number(repetitions),
            u"--run"_s,   QString::number(run), u"--poll-seconds"_s, QString::number(options.pollSeconds)};
        if (service)
            arguments += {u"--url"_s, access.url, u"--token"_s, *token};
        if (!uploadLog.isEmpty())
            arguments += {u"--upload-log"_s, uploadLog};
        child->start(QCoreApplication::applicationFilePath(), arguments);
        children.push_back(std::move(child));
    };
    auto finish = [&](QProcess& child) {
        child.waitForFinished(540'000);
        for (const QByteArray& line : child.readAllStandardOutput().split('\n')) {
            const QList<QByteArray> fields = line.trimmed().split(' ');
            if (fields.size() == 3 && fields[0] == "value")
                samples[QString::fromUtf8(fields[1])].append(fields[2].toDouble());
        }
        if (child.exitStatus() != QProcess::NormalExit || child.exitCode() != 0)
            problems.append(u"%1: a run failed (exit %2)"_s.arg(benchmark.name).arg(child.exitCode()));
    };

    for (int run = 0; run < benchmark.processes; ++run) {
        start(run);
        if (!benchmark.concurrent)
            finish(*children.back());
    }
    if (benchmark.concurrent) {
        for (const auto& child : children)
            finish(*child);
    }
}

int drive(const Options& options) {
    QHash<QString, QList<double>> samples;
    QStringList problems;
    QElapsedTimer clock;
    clock.start();
    for (const Benchmark& benchmark : benchmarks()) {
        if (!options.only.isEmpty() && !options.only.contains(benchmark.name))
            continue;
        note(u"running %1 (%2 s so far)"_s.arg(benchmark.name).arg(clock.elapsed() / 1000));
        try {
            runBenchmark(benchmark, options, samples, problems);
        } catch (...) {
            problems.append(benchmark.name + u": "_s + describe(std::current_exception()));
        }
    }

    for (const Figure& detail : kDetails) {
        if (samples.contains(detail.name)) {
            QStringList values;
            for (double value : samples.value(detail.name))
                values.append(QString::number(value, 'f', 3));
            note(u"%1 samples: %2 %3"_s.arg(detail.name, values.join(u' '), detail.unit));
        }
    }
    bool complete = true;
    for (const Figure& figure : kFigures) {
        const QList<double> values = samples.value(figure.name);
        if (values.isEmpty()) {
            complete = complete && !options.only.isEmpty();
            continue;
        }
        const double value = median(values);
        std::printf("%s %.*f %s\n", qPrintable(figure.name), figure.unit == u"ratio"_s ? 3 : 2, value,
                    qPrintable(figure.unit));
        QStringList all;
        for (double sample : values)
            all.append(QString::number(sample, 'f', 3));
        note(figure.target < 0
                 ? u"%1: median of %2 runs (%3)"_s.arg(figure.name).arg(values.size()).arg(all.join(u' '))
                 : u"%1: median of %2 runs (%3), target <= %4: %5"_s.arg(figure.name)
                       .arg(values.size())
                       .arg(all.join(u' '))
                       .arg(figure.target)
                       .arg(value <= figure.target ? u"met"_s : u"MISSED"_s));
    }
    std::fflush(stdout);
    for (const QString& problem : std::as_const(problems))
        note(u"problem: "_s + problem);
    note(u"finished in %1 s"_s.arg(clock.elapsed() / 1000));
    return complete && problems.isEmpty() ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    // The program's own allocator set-up, so the figures show what it keeps.
    setUpProcess();
    QCoreApplication app(argc, argv);
    app.setApplicationName(u"kitewell-bench"_s);

    QCommandLineParser parser;
    parser.setApplicationDescription(u"Benchmarks of KitewellSync against the local album service."_s);
    parser.addHelpOption();
    const QCommandLineOption service(u"album-service"_s, u"The album service executable."_s, u"PATH"_s);
    const QCommandLineOption only(
        u"only"_s,
        u"Run only these benchmarks (download, upload, idle, save, memory, poll, return, longrun)."_s,
        u"NAMES"_s);
    const QCommandLineOption repetitions(u"repetitions"_s, u"Runs per process (default: per benchmark)."_s,
                                         u"N"_s);
    const QCommandLineOption pollSeconds(u"poll-seconds"_s, u"How long polling is measured."_s, u"SECONDS"_s,
                                         u"60"_s);
    const QCommandLineOption child(u"child"_s, u"Run one benchmark in this process (used by the driver)."_s,
                                   u"NAME"_s);
    const QCommandLineOption url(u"url"_s, u"The album service's base URL (child)."_s, u"URL"_s);
    const QCommandLineOption token(u"token"_s, u"A session token (child)."_s, u"TOKEN"_s);
    const QCommandLineOption run(u"run"_s, u"Index of this run (child)."_s, u"N"_s, u"0"_s);
    const QCommandLineOption uploadLog(u"upload-log"_s, u"The album service's upload log (child)."_s,
                                       u"FILE"_s);
    parser.addOptions({service, only, repetitions, pollSeconds, child, url, token, run, uploadLog});
    parser.process(app);

    if (parser.isSet(child)) {
        BenchContext context;
        context.service = {parser.value(url), kEmail, kPassword};
        if (parser.isSet(token))
            context.token = parser.value(token);
        context.repetitions = parser.value(repetitions).toInt();
        context.run = parser.value(run).toInt();
        context.pollSeconds = parser.value(pollSeconds).toInt();
        context.uploadLog = parser.value(uploadLog);
        const BenchFunction function = functionOf(parser.value(child));
        if (!function) {
            std::fprintf(stderr, "kitewell-bench: no benchmark named %s\n", qPrintable(parser.value(child)));
            return 2;
        }
        try {
            function(context);
            return 0;
        } catch (...) {
            std::fprintf(stderr, "kitewell-bench %s: %s\n", qPrintable(parser.value(child)),
                         qPrintable(describe(std::current_exception())));
            return 1;
        }
    }

    Options options;
    options.serviceExecutable = parser.value(service);
    if (options.serviceExecutable.isEmpty())
        options.serviceExecutable =
            QCoreApplication::applicationDirPath() + u"/../tools/album-service/album-service"_s;
    if (!QFileInfo(options.serviceExecutable).isExecutable()) {
        std::fprintf(stderr, "kitewell-bench: no album service at %s (use --album-service)\n",
                     qPrintable(options.serviceExecutable));
        return 2;
    }
    if (parser.isSet(only))
        options.only = parser.value(only).split(u',', Qt::SkipEmptyParts);
    if (parser.isSet(repetitions))
        options.repetitions = parser.value(repetitions).toInt();
    options.pollSeconds = parser.value(pollSeconds).toInt();
    return drive(options);
}
