// Crash safety of the two saved files: a worker process (forked per kill) saves the state and
// the settings in a loop and is killed (SIGKILL) at a random moment, 200 times over. After
// every kill both files must decode and hold exactly the content of the last round the
// worker finished ("old") or of the round it was in ("new"), never a mixture, never nothing;
// nothing may have been moved aside as undecodable. A killed save may leave its temporary
// file behind; that is allowed, and the next save is not disturbed by it.
//
// The moment of each kill is drawn at random (after the worker has finished its first
// round, so it is inside its save loop); the seed is printed so a failure can be replayed
// with KITEWELL_CRASH_SEED. The files live in a memory file system where there is one
// (/dev/shm): a killed process loses nothing the kernel already holds, so flushing to the
// disk plays no part in what is checked here, and the 200 rounds run in a few seconds.

#include "storage/SyncStorage.h"
#include "support/Files.h"

#include <QDir>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

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
// cannot pass for either; the round's number is in both files.
SyncStateFile stateOfRound(int round) {
    SyncStateFile state;
    for (int i = 0; i < 120 + round % 7 * 70; ++i) {
        const QString photo = u"p"_s + QString::number(i);
        const QString uploaded = QString::number(1000 + i) + u'-' + QString::number(1700000000 + round % 7);
        state.records.insert(SyncStateFile::recordKey(u"evt-crash"_s, photo),
                             {photo, u"evt-crash"_s, u"婚礼/现场--evt-cras/"_s + photo + u"__IMG.JPG"_s,
                              uploaded, i % 3 == 0 ? std::optional(uploaded) : std::nullopt});
    }
    state.records.insert(u"round"_s,
                         {u"round"_s, u"round"_s, QString::number(round), std::nullopt, std::nullopt});
    return state;
}

SyncSettings settingsOfRound(int round) {
    SyncSettings settings;
    settings.originalDirectoryBookmark = QByteArray(20 + round % 40, char('a' + round % 26));
    settings.eventTitle = QString::number(round);
    settings.autoPublishEffects = round % 2;
    return settings;
}

// Whether the file decodes to what that round saves.
template <typename Saved> bool holdsRound(const QString& path, Saved (*ofRound)(int), int round) {
    try {
        return Saved::decode(testsupport::readFile(path)) == ofRound(round);
    } catch (const std::exception&) {
        return false;
    }
}

// Saves round after round (state first, then settings), telling each finished round's number.
[[noreturn]] void saveForever(int round, int report) {
    for (;; ++round) {
        try {
            SyncStorage::saveState(stateOfRound(round));
            SyncStorage::saveSettings(settingsOfRound(round));
        } catch (...) {
            ::_exit(1); // seen by the test as a worker that was not killed
        }
        if (::write(report, &round, sizeof round) != sizeof round)
            ::_exit(1);
    }
}

bool readRound(int channel, int& round) {
    return ::read(channel, &round, sizeof round) == sizeof round;
}

// A forked worker, killed and reaped however the test leaves it.
struct Worker {
    pid_t pid = -1;
    int channel = -1;
    ~Worker() {
        if (pid > 0 && ::kill(pid, SIGKILL) == 0)
            ::waitpid(pid, nullptr, 0);
        if (channel >= 0)
            ::close(channel);
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
        SyncStorage::saveSettings(settingsOfRound(0));
        int onDisk = 0, killedMidSave = 0;
        qsizetype leftovers = 0; // temporary files of killed saves, left in place
        for (int kill = 0; kill < kKills; ++kill) {
            int channel[2];
            QCOMPARE(::pipe(channel), 0);
            Worker worker{::fork(), channel[0]};
            if (worker.pid == 0) {
                // Never outlive the test.
                ::prctl(PR_SET_PDEATHSIG, SIGKILL);
                ::close(channel[0]);
                saveForever(onDisk + 1, channel[1]);
            }
            ::close(channel[1]);
            // Into the loop first: its first round is complete. Then a random moment within the next rounds.
            int finished = 0;
            QVERIFY(readRound(worker.channel, finished) && finished == onDisk + 1);
            std::this_thread::sleep_for(std::chrono::microseconds(random.bounded(8'000)));
            int status = 0;
            QVERIFY(::kill(worker.pid, SIGKILL) == 0 && ::waitpid(worker.pid, &status, 0) == worker.pid);
            worker.pid = -1;
            QVERIFY(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
            for (int round = 0; readRound(worker.channel, round);)
                finished = round;

            // Both files decode and hold the last finished round or the one cut short; the
            // state is saved first in each round, so it is never behind the settings.
            const QString state = SyncStorage::statePath(), settings = SyncStorage::settingsPath();
            const int stateRound = holdsRound(state, stateOfRound, finished + 1) ? finished + 1 : finished;
            QVERIFY2(holdsRound(state, stateOfRound, stateRound) &&
                         (holdsRound(settings, settingsOfRound, finished) ||
                          holdsRound(settings, settingsOfRound, stateRound)),
                     qPrintable(u"after kill %1 a file holds neither round %2 nor the next"_s.arg(kill).arg(
                         finished)));
            QCOMPARE(QDir(folder).entryList({u"*.corrupt-*"_s}, QDir::Files | QDir::Hidden), QStringList());

            // At most the one save that was cut short leaves its temporary file; they all stay,
            // so that later saves meet them.
            const qsizetype temporary =
                QDir(folder).entryList({u"*.tmp-*"_s}, QDir::Files | QDir::Hidden).size();
            QVERIFY(temporary <= leftovers + 1);
            killedMidSave += stateRound > finished || temporary > leftovers;
            leftovers = temporary;
            onDisk = stateRound;
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
