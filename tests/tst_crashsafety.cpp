// Crash safety of a durable save: a worker process (forked per kill) saves the state round
// after round and is killed (SIGKILL) at a random moment, 200 times over. After every kill the
// file must decode and hold exactly what one round saved, no earlier round than before the
// kill: never a mixture, never nothing; nothing may have been moved aside as undecodable. A
// killed save may leave its temporary file behind; that is allowed, and the next save is not
// disturbed by it. The settings are saved by the same staged write (the storage suite sees
// both take the same steps), so the state stands for both.
//
// The moment of each kill is drawn at random; the seed is printed so a failure can be
// replayed with KITEWELL_CRASH_SEED. The files live in a memory file system where there is one
// (/dev/shm): a killed process loses nothing the kernel already holds, so flushing to the
// disk plays no part in what is checked here, and the 200 rounds run in a few seconds.

#include "storage/SyncStorage.h"
#include "support/Files.h"

#include <QDir>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <array>
#include <chrono>
#include <csignal>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace kitewell;
using namespace Qt::StringLiterals;

namespace {

constexpr int kKills = 200;

// What round n saves. Sizes change from round to round, so a file mixed from two rounds
// cannot pass for either.
SyncStateFile stateOfRound(int round) {
    // Seven sizes, made once (before the first fork), so that a worker spends its time saving.
    static const std::array<SyncStateFile, 7> sizes = [] {
        std::array<SyncStateFile, 7> made;
        for (int size = 0; size < 7; ++size) {
            for (int i = 0; i < 120 + size * 70; ++i) {
                const QString photo = u"p"_s + QString::number(i);
                const QString uploaded =
                    QString::number(1000 + i) + u'-' + QString::number(1700000000 + size);
                made[size].records.insert(SyncStateFile::recordKey(u"evt-crash"_s, photo),
                                          {photo, u"evt-crash"_s,
                                           u"婚礼/现场--evt-cras/"_s + photo + u"__IMG.JPG"_s, uploaded,
                                           i % 3 == 0 ? std::optional(uploaded) : std::nullopt});
            }
        }
        return made;
    }();
    SyncStateFile state = sizes[size_t(round % 7)];
    state.records.insert(u"round"_s,
                         {u"round"_s, u"round"_s, QString::number(round), std::nullopt, std::nullopt});
    return state;
}

// The file's content, or nothing when it does not decode.
std::optional<SyncStateFile> decoded(const QString& path) {
    try {
        return SyncStateFile::decode(testsupport::readFile(path));
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

// A forked worker that saves round after round, killed and reaped however the test leaves it.
struct Worker {
    pid_t pid = ::fork();
    explicit Worker(int round) {
        if (pid != 0)
            return;
        ::prctl(PR_SET_PDEATHSIG, SIGKILL); // never outlive the test
        try {
            for (;; ++round)
                SyncStorage::saveState(stateOfRound(round));
        } catch (...) {
            ::_exit(1); // seen by the test as a worker that was not killed
        }
    }
    ~Worker() {
        if (pid > 0 && ::kill(pid, SIGKILL) == 0)
            ::waitpid(pid, nullptr, 0);
    }
};

} // namespace

class CrashSafetyTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void killedWhileSaving() {
        QTemporaryDir data(QFileInfo(u"/dev/shm"_s).isWritable()
                               ? u"/dev/shm/kitewell-crash-XXXXXX"_s
                               : QDir::tempPath() + u"/kitewell-crash-XXXXXX"_s);
        QVERIFY(data.isValid());
        qputenv("XDG_DATA_HOME", QFile::encodeName(data.path()));
        const QString folder = SyncStorage::supportDirectory();
        const quint32 seed = qEnvironmentVariableIsSet("KITEWELL_CRASH_SEED")
                                 ? qgetenv("KITEWELL_CRASH_SEED").toUInt()
                                 : QRandomGenerator::global()->generate();
        qInfo("seed %u", seed);
        QRandomGenerator random(seed);

        // Round 0 is on disk before the first worker starts.
        SyncStorage::saveState(stateOfRound(0));
        int onDisk = 0, killedMidSave = 0;
        qsizetype leftovers = 0; // temporary files of killed saves, left in place
        for (int kill = 0; kill < kKills; ++kill) {
            Worker worker(onDisk + 1);
            std::this_thread::sleep_for(std::chrono::microseconds(random.bounded(8'000)));
            int status = 0;
            QVERIFY(::kill(worker.pid, SIGKILL) == 0 && ::waitpid(worker.pid, &status, 0) == worker.pid);
            worker.pid = -1;
            QVERIFY(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);

            const auto state = decoded(SyncStorage::statePath());
            QVERIFY2(state, qPrintable(u"after kill %1 the file does not decode"_s.arg(kill)));
            const int round = state->records.value(u"round"_s).originalRelativePath.toInt();
            QVERIFY2(round >= onDisk && *state == stateOfRound(round),
                     qPrintable(u"after kill %1: round %2, before it %3"_s.arg(kill).arg(round).arg(onDisk)));
            QCOMPARE(QDir(folder).entryList({u"*.corrupt-*"_s}, QDir::Files | QDir::Hidden), QStringList());

            // At most the one save that was cut short leaves its temporary file; they all stay,
            // so that later saves meet them.
            const qsizetype temporary =
                QDir(folder).entryList({u"*.tmp-*"_s}, QDir::Files | QDir::Hidden).size();
            QVERIFY(temporary <= leftovers + 1);
            killedMidSave += temporary > leftovers;
            leftovers = temporary;
            onDisk = round;
        }
        qInfo("%d kills survived, %d of them in the middle of a save", kKills, killedMidSave);
        // The kills did strike inside saves, not only between them.
        QVERIFY(killedMidSave > 0);

        // Leftover temporary files do not disturb later saves and loads.
        SyncStorage::saveState(stateOfRound(onDisk + 1));
        QVERIFY(SyncStorage::loadState() == stateOfRound(onDisk + 1));
        qunsetenv("XDG_DATA_HOME");
    }
};

QTEST_GUILESS_MAIN(CrashSafetyTest)
#include "tst_crashsafety.moc"
