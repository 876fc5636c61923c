// Crash safety of the two saved files: a child process (tests/helpers/kitewell_save_child,
// one worker forked per kill) saves the state and the settings in a loop and is killed
// (SIGKILL) at a random moment, 200 times over. After every kill both
// files must decode and hold exactly the content of the last round the child finished
// ("old") or of the round it was in ("new"), never a mixture, never nothing; nothing may
// have been moved aside as undecodable. A killed save may leave its temporary file
// behind; that is allowed, and the next save is not disturbed by it.
//
// The moment of each kill is drawn at random (after the child has finished its first
// round, so it is inside its save loop); the seed is printed so a failure can be replayed
// with KITEWELL_CRASH_SEED. The files live in a memory file system where there is one
// (/dev/shm): a killed process loses nothing the kernel already holds, so flushing to the
// disk plays no part in what is checked here, and the 200 rounds run in a few seconds.

#include "helpers/SaveRounds.h"
#include "storage/SyncStorage.h"
#include "support/Files.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <chrono>
#include <csignal>
#include <sys/wait.h>
#include <thread>

using namespace kitewell;
using namespace Qt::StringLiterals;
using testsupport::readFile;

namespace {

constexpr int kKills = 200;

} // namespace

class CrashSafetyTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void killedWhileSaving();
};

void CrashSafetyTest::killedWhileSaving() {
    const bool inMemory = QFileInfo(u"/dev/shm"_s).isDir() && QFileInfo(u"/dev/shm"_s).isWritable();
    QTemporaryDir data(inMemory ? u"/dev/shm/kitewell-crash-XXXXXX"_s
                                : QDir::tempPath() + u"/kitewell-crash-XXXXXX"_s);
    QVERIFY(data.isValid());
    qputenv("XDG_DATA_HOME", QFile::encodeName(data.path()));
    const QString folder = SyncStorage::supportDirectory();
    QVERIFY(folder.startsWith(data.path()));

    const quint32 seed = qEnvironmentVariableIsSet("KITEWELL_CRASH_SEED")
                             ? qgetenv("KITEWELL_CRASH_SEED").toUInt()
                             : QRandomGenerator::global()->generate();
    qInfo("seed %u", seed);
    QRandomGenerator random(seed);

    // Round 0 is on disk before the first child starts.
    SyncStorage::saveState(saverounds::stateOfRound(0));
    SyncStorage::saveSettings(saverounds::settingsOfRound(0));
    int onDisk = 0;
    int killedMidSave = 0;
    int leftovers = 0;
    QStringList kept; // temporary files of killed saves left in place
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(u"XDG_DATA_HOME"_s, data.path());
    QProcess child;
    child.setProcessEnvironment(environment);
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    child.start(QStringLiteral(KITEWELL_SAVE_CHILD));
    QVERIFY(child.waitForStarted());
    auto nextLine = [&child]() -> QByteArray {
        while (!child.canReadLine()) {
            if (!child.waitForReadyRead(30'000))
                return {};
        }
        return child.readLine().trimmed();
    };

    for (int kill = 0; kill < kKills; ++kill) {
        child.write("go " + QByteArray::number(onDisk + 1) + '\n');
        const QByteArray pidLine = nextLine();
        QVERIFY2(pidLine.startsWith("pid "), pidLine.constData());
        // Into the loop first: its first round is complete.
        const QByteArray first = nextLine();
        QCOMPARE(first.toInt(), onDisk + 1);
        // Then a random moment within the next rounds.
        std::this_thread::sleep_for(std::chrono::microseconds(random.bounded(8'000)));
        QCOMPARE(::kill(pid_t(pidLine.mid(4).toInt()), SIGKILL), 0);
        int finished = first.toInt();
        QByteArray line = nextLine();
        for (; !line.startsWith("dead "); line = nextLine()) {
            QVERIFY2(!line.isEmpty(), "the worker's end was not reported");
            finished = line.toInt();
        }
        const int status = line.mid(5).toInt();
        QVERIFY2(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL, line.constData());

        SyncStateFile state;
        SyncSettings settings;
        try {
            state = SyncStateFile::decode(readFile(SyncStorage::statePath()));
            settings = SyncSettings::decode(readFile(SyncStorage::settingsPath()));
        } catch (const std::exception& error) {
            QFAIL(qPrintable(u"after kill %1 a file does not decode: %2"_s.arg(kill).arg(
                QString::fromUtf8(error.what()))));
        }
        const std::optional<int> stateRound = saverounds::roundOfState(state);
        const std::optional<int> settingsRound = saverounds::roundOfSettings(settings);
        QVERIFY(stateRound && settingsRound);
        // The state is saved first in each round, so it is never behind the settings.
        QVERIFY2(
            (*stateRound == finished || *stateRound == finished + 1) &&
                (*settingsRound == finished || *settingsRound == finished + 1) &&
                *settingsRound <= *stateRound,
            qPrintable(
                u"finished %1, state %2, settings %3"_s.arg(finished).arg(*stateRound).arg(*settingsRound)));
        QVERIFY(state == saverounds::stateOfRound(*stateRound));
        QVERIFY(settings == saverounds::settingsOfRound(*settingsRound));
        QCOMPARE(QDir(folder).entryList({u"*.corrupt-*"_s}, QDir::Files | QDir::Hidden), QStringList());

        // At most the one save that was cut short leaves its temporary file.
        QStringList fresh = QDir(folder).entryList({u"*.tmp-*"_s}, QDir::Files | QDir::Hidden);
        fresh.removeIf([&](const QString& name) { return kept.contains(name); });
        QVERIFY(fresh.size() <= 1);
        killedMidSave += *stateRound > finished || !fresh.isEmpty();
        leftovers += int(fresh.size());
        onDisk = *stateRound;
        // Half of them stay, so that later saves meet them.
        for (const QString& name : std::as_const(fresh)) {
            if (kill % 2)
                kept.append(name);
            else
                QVERIFY(QFile::remove(folder + u'/' + name));
        }
    }
    child.closeWriteChannel();
    QVERIFY(child.waitForFinished(30'000));
    QCOMPARE(child.exitCode(), 0);
    qInfo("%d kills survived, %d of them in the middle of a save, %d temporary files left by killed saves",
          kKills, killedMidSave, leftovers);
    // The kills did strike inside saves, not only between them.
    QVERIFY(killedMidSave > 0);

    // Leftover temporary files do not disturb later saves and loads.
    SyncStorage::saveState(saverounds::stateOfRound(onDisk + 1));
    QVERIFY(SyncStorage::loadState() == saverounds::stateOfRound(onDisk + 1));
    qunsetenv("XDG_DATA_HOME");
}

QTEST_GUILESS_MAIN(CrashSafetyTest)
#include "tst_crashsafety.moc"
