// Runs one sync pass (effects included) in a process of its own, for the faults a test
// cannot make in its own process: a file-size limit (RLIMIT_FSIZE) hit in the middle of a
// download, and the permission checks of an ordinary user while the tests run as root
// (root ignores read-only folders, so the pass drops to the "nobody" user first).
//
//   kitewell_pass_child BASE_URL TOKEN SETTINGS [FILE_SIZE_LIMIT]
//
// SETTINGS is SyncSettings::encode() in Base64; the data folder is the one XDG_DATA_HOME
// names. Prints one line of seven numbers on standard output and exits 0:
//   <Failure::Kind, or -1> <SyncClientError::Case, or -1> <Failure::code> and the four counts
// Any other exit status means the child itself could not run.

#include "support/Fixture.h"

#include <QCoreApplication>

#include <csignal>
#include <cstdio>
#include <grp.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

constexpr uid_t kNobody = 65534;

bool dropPrivileges() {
    if (::geteuid() != 0)
        return true; // an ordinary user already meets the folders' permissions
    // Changing the user makes the process undumpable, which stops LeakSanitizer from
    // inspecting it at exit in the sanitizer build.
    return ::setgroups(0, nullptr) == 0 && ::setgid(kNobody) == 0 && ::setuid(kNobody) == 0 &&
           ::geteuid() == kNobody && ::prctl(PR_SET_DUMPABLE, 1) == 0;
}

bool limitFileSize(rlim_t bytes) {
    // Past the limit write() fails with EFBIG instead of the process being killed.
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{bytes, bytes};
    return ::setrlimit(RLIMIT_FSIZE, &limit) == 0;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    if (arguments.size() < 4 || (arguments.size() > 4 && !limitFileSize(arguments[4].toULongLong())) ||
        !dropPrivileges()) {
        std::perror("preparing the child");
        return 2;
    }
    const auto settings = kitewell::SyncSettings::decode(QByteArray::fromBase64(arguments[3].toLatin1()));
    const auto outcome = testsupport::runPass(arguments[1], arguments[2], settings, true);
    const auto& failure = outcome.failure;
    const kitewell::SyncResult result = outcome.value.value_or(kitewell::SyncResult{});
    std::printf("%d %d %d %d %d %d %d\n", failure ? int(failure->kind) : -1,
                failure && failure->clientCase ? int(*failure->clientCase) : -1, failure ? failure->code : 0,
                result.downloadedOriginals, result.uploadedEffects, result.publishedEffects,
                result.unmatchedEffects);
    return 0;
}
