// The process the crash-safety test kills, again and again. It reads commands on standard
// input and answers on standard output, one line each:
//
//   "go N"   forks a worker that saves the state and the settings of round N, N+1, ... in
//            a loop (state first, then settings) and writes "N" after both files of
//            round N are saved; answers "pid P" with the worker's process id first.
//   (the test kills the worker with SIGKILL)
//   after the worker dies: "dead S" with its wait status, after everything it wrote.
//
// Forking a worker per kill costs far less than starting a program per kill, so 200 kills
// take a few seconds. The data folder is the one XDG_DATA_HOME names.

#include "helpers/SaveRounds.h"
#include "storage/SyncStorage.h"

#include <QByteArray>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

bool writeLine(const QByteArray& text) {
    const QByteArray line = text + '\n';
    return ::write(STDOUT_FILENO, line.constData(), size_t(line.size())) == line.size();
}

[[noreturn]] void saveForever(int round) {
    for (;; ++round) {
        try {
            kitewell::SyncStorage::saveState(saverounds::stateOfRound(round));
            kitewell::SyncStorage::saveSettings(saverounds::settingsOfRound(round));
        } catch (const std::exception& error) {
            std::fprintf(stderr, "save failed: %s\n", error.what());
            ::_exit(1);
        }
        if (!writeLine(QByteArray::number(round)))
            ::_exit(1);
    }
}

} // namespace

int main() {
    // Made once here, so every worker starts with them.
    for (int size = 0; size < 7; ++size)
        saverounds::baseState(size);

    char command[64];
    while (std::fgets(command, sizeof command, stdin)) {
        int round = 0;
        if (std::sscanf(command, "go %d", &round) != 1) {
            std::fprintf(stderr, "unknown command: %s", command);
            return 2;
        }
        // The worker starts once its pid is announced, so that line comes first.
        int start[2];
        if (::pipe(start) != 0)
            return 1;
        const pid_t worker = ::fork();
        if (worker < 0)
            return 1;
        if (worker == 0) {
            // Never outlive the test: a worker whose supervisor is gone is killed too.
            const pid_t supervisor = ::getppid();
            if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() != supervisor)
                ::_exit(1);
            char go = 0;
            ::close(start[1]);
            if (::read(start[0], &go, 1) != 1)
                ::_exit(1);
            ::close(start[0]);
            saveForever(round);
        }
        ::close(start[0]);
        if (!writeLine("pid " + QByteArray::number(worker)) || ::write(start[1], "g", 1) != 1)
            return 1;
        ::close(start[1]);
        int status = 0;
        if (::waitpid(worker, &status, 0) != worker)
            return 1;
        if (!writeLine("dead " + QByteArray::number(status)))
            return 1;
    }
    return 0;
}
