// demo-session: makes the demo start as a returning user would. It signs in to the album
// service the build points at, keeps the session in the credential store, and saves settings
// with the first album and both folders chosen, all through the program's own code, so the
// window opens on the signed-in workspace and the first polling pass downloads the originals.
//
//   demo-session EMAIL PASSWORD ORIGINALS_FOLDER RETURN_FOLDER

#include "client/KitewellAPI.h"
#include "credentials/KeychainStore.h"
#include "errors/Error.h"
#include "platform/FolderBookmark.h"
#include "storage/ServiceOrigin.h"
#include "storage/SyncStorage.h"

#include <QCoreApplication>
#include <QCoroTask>
#include <QDir>

#include <cstdio>

using namespace kitewell;

namespace {

struct Request {
    QString email;
    QString password;
    QString originals;
    QString returns;
};

// The error's text, or nothing when the session and settings are in place.
QCoro::Task<QString> prepare(Request request) {
    try {
        KitewellAPI api(productionOrigin(), std::nullopt);
        const QString token = co_await api.signIn(request.email, request.password);
        KeychainStore::saveToken(token);
        const WorkspaceBootstrap workspace = co_await api.bootstrap();
        if (workspace.events.isEmpty())
            co_return QStringLiteral("the account has no albums");

        for (const QString& folder : {request.originals, request.returns}) {
            if (!QDir().mkpath(folder))
                co_return QStringLiteral("cannot create ") + folder;
        }
        SyncSettings settings;
        settings.baseURL = productionOrigin();
        // The album the service lists first is the one its phone keeps adding to.
        settings.eventId = workspace.events.first().id;
        settings.eventTitle = workspace.events.first().title;
        settings.originalDirectoryBookmark = FolderBookmark::create(request.originals);
        settings.effectDirectoryBookmark = FolderBookmark::create(request.returns);
        settings.autoSyncEnabled = true;
        SyncStorage::saveSettings(settings);
        std::printf("demo-session: %s signed in, album \"%s\", settings in %s\n",
                    qPrintable(workspace.account.email), qPrintable(workspace.events.first().title),
                    qPrintable(SyncStorage::settingsPath()));
        co_return QString();
    } catch (const Error& error) {
        co_return error.description();
    } catch (const std::exception& error) {
        co_return QString::fromUtf8(error.what());
    }
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    if (arguments.size() != 5) {
        std::fputs("usage: demo-session EMAIL PASSWORD ORIGINALS_FOLDER RETURN_FOLDER\n", stderr);
        return 2;
    }
    const Request request{arguments[1], arguments[2], QDir(arguments[3]).absolutePath(),
                          QDir(arguments[4]).absolutePath()};
    const QString failure = QCoro::waitFor(prepare(request));
    if (!failure.isEmpty()) {
        std::fprintf(stderr, "demo-session: %s\n", qPrintable(failure));
        return 1;
    }
    return 0;
}
