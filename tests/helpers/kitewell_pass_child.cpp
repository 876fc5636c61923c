// Runs one sync pass in a process of its own, for the faults a test cannot make in its own
// process: a file-size limit (RLIMIT_FSIZE) hit in the middle of a download, and the
// permission checks of an ordinary user while the tests run as root (root ignores
// read-only folders, so the pass drops to the "nobody" user before it starts).
//
//   kitewell_pass_child --base URL --token TOKEN --settings BASE64 [--effects]
//                       [--fsize-limit BYTES] [--unprivileged]
//
// --settings holds SyncSettings::encode() in Base64. The data folder is the one
// XDG_DATA_HOME names. Prints one line on standard output:
//   ok <downloaded> <uploaded> <published> <unmatched>
//   failed <Failure::Kind as a number> <errno or network error> <error text>
// and exits 0; any other exit status means the child itself could not run.

#include "client/KitewellAPI.h"
#include "storage/SyncSettings.h"
#include "support/Outcome.h"
#include "sync/SyncEngine.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <csignal>
#include <cstdio>
#include <grp.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

using namespace kitewell;
using namespace Qt::StringLiterals;

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
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    const QCommandLineOption base(u"base"_s, u"service base URL"_s, u"url"_s);
    const QCommandLineOption token(u"token"_s, u"session token"_s, u"token"_s);
    const QCommandLineOption settings(u"settings"_s, u"encoded settings, Base64"_s, u"base64"_s);
    const QCommandLineOption effects(u"effects"_s, u"include the effect step"_s);
    const QCommandLineOption fileSizeLimit(u"fsize-limit"_s, u"RLIMIT_FSIZE in bytes"_s, u"bytes"_s);
    const QCommandLineOption unprivileged(u"unprivileged"_s, u"run as nobody when started as root"_s);
    parser.addOptions({base, token, settings, effects, fileSizeLimit, unprivileged});
    parser.process(app);

    if (parser.isSet(fileSizeLimit) && !limitFileSize(parser.value(fileSizeLimit).toULongLong())) {
        std::perror("setrlimit");
        return 2;
    }
    if (parser.isSet(unprivileged) && !dropPrivileges()) {
        std::perror("dropping privileges");
        return 2;
    }

    SyncSettings chosen;
    try {
        chosen = SyncSettings::decode(QByteArray::fromBase64(parser.value(settings).toLatin1()));
    } catch (const std::exception& error) {
        std::fprintf(stderr, "bad settings: %s\n", error.what());
        return 2;
    }

    KitewellAPI api(parser.value(base), parser.value(token));
    SyncEngine engine(api);
    const auto outcome = testsupport::outcomeOf(engine.synchronize(chosen, parser.isSet(effects)));
    QByteArray line;
    if (outcome.ok()) {
        const SyncResult& result = *outcome.value;
        line = "ok " + QByteArray::number(result.downloadedOriginals) + ' ' +
               QByteArray::number(result.uploadedEffects) + ' ' +
               QByteArray::number(result.publishedEffects) + ' ' +
               QByteArray::number(result.unmatchedEffects);
    } else {
        line = "failed " + QByteArray::number(int(outcome.failure->kind)) + ' ' +
               QByteArray::number(outcome.failure->code) + ' ' + outcome.failure->text.toUtf8();
    }
    std::fwrite(line.constData(), 1, size_t(line.size()), stdout);
    std::fputc('\n', stdout);
    return 0;
}
