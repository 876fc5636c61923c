// Runs one sync pass (effects included) in a process of its own, for the faults a test
// cannot make in its own process: a file-size limit (RLIMIT_FSIZE) hit in the middle of a
// download, and the permission checks of an ordinary user while the tests run as root
// (root ignores read-only folders, so the pass drops to the "nobody" user first).
//
//   kitewell_pass_child --base URL --token TOKEN --settings BASE64 [--fsize-limit BYTES]
//
// --settings holds SyncSettings::encode() in Base64. The data folder is the one
// XDG_DATA_HOME names. Prints one line on standard output:
//   ok <downloaded> <uploaded> <published> <unmatched>
//   failed <Failure::Kind as a number> <error text>
// and exits 0; any other exit status means the child itself could not run.

#include "storage/SyncSettings.h"
#include "support/Fixture.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <csignal>
#include <cstdio>
#include <grp.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

using namespace kitewell;

namespace {

constexpr uid_t nobody = 65534;

bool dropPrivileges() {
    if (::geteuid() != 0)
        return true; // an ordinary user already meets the folders' permissions
    if (::setgroups(0, nullptr) != 0 || ::setgid(nobody) != 0 || ::setuid(nobody) != 0 ||
        ::geteuid() != nobody)
        return false;
    // Changing the user makes the process undumpable, which stops LeakSanitizer from
    // inspecting it at exit in the sanitizer build.
    return ::prctl(PR_SET_DUMPABLE, 1) == 0;
}

bool limitFileSize(rlim_t bytes) {
    // Past the limit write() fails with EFBIG instead of the process being killed.
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{bytes, bytes};
    return ::setrlimit(RLIMIT_FSIZE, &limit) == 0;
}

} // namespace

int main(int argc, char** argv) {
    using namespace Qt::StringLiterals;
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    const QCommandLineOption base(u"base"_s, u"service base URL"_s, u"url"_s);
    const QCommandLineOption token(u"token"_s, u"session token"_s, u"token"_s);
    const QCommandLineOption settings(u"settings"_s, u"encoded settings, Base64"_s, u"base64"_s);
    const QCommandLineOption fileSizeLimit(u"fsize-limit"_s, u"RLIMIT_FSIZE in bytes"_s, u"bytes"_s);
    parser.addOptions({base, token, settings, fileSizeLimit});
    parser.process(app);

    if ((parser.isSet(fileSizeLimit) && !limitFileSize(parser.value(fileSizeLimit).toULongLong())) ||
        !dropPrivileges()) {
        std::perror("limiting the child");
        return 2;
    }
    SyncSettings chosen;
    try {
        chosen = SyncSettings::decode(QByteArray::fromBase64(parser.value(settings).toLatin1()));
    } catch (const std::exception& error) {
        std::fprintf(stderr, "bad settings: %s\n", error.what());
        return 2;
    }

    const auto outcome = testsupport::runPass(parser.value(base), parser.value(token), chosen, true);
    QByteArray line;
    if (outcome.ok()) {
        const SyncResult& result = *outcome.value;
        for (const int count : {result.downloadedOriginals, result.uploadedEffects, result.publishedEffects,
                                result.unmatchedEffects})
            line += ' ' + QByteArray::number(count);
        line.prepend("ok");
    } else {
        line =
            "failed " + QByteArray::number(int(outcome.failure->kind)) + ' ' + outcome.failure->text.toUtf8();
    }
    std::printf("%s\n", line.constData());
    return 0;
}
