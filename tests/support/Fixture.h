#pragma once

// What the suites that talk to the album service share: the service with one account and a
// sandbox of folders with its own data folder.

#include "AlbumService.h"
#include "client/KitewellAPI.h"
#include "platform/FolderAccess.h"
#include "storage/SyncSettings.h"
#include "support/Outcome.h"
#include "sync/SyncEngine.h"

#include <QTemporaryDir>

#include <memory>

namespace testsupport {

using namespace Qt::StringLiterals;
using albumservice::AlbumService;
using albumservice::Endpoint;
using albumservice::Fault;

inline const QString kEmail = u"photographer@kitewell.local"_s;
inline const QString kPassword = u"correct horse/battery\"1"_s;
inline const QString kUnauthorized = u"登录状态已失效，请重新登录。"_s;

// Listening on a free port of 127.0.0.1, with the account kEmail/kPassword.
std::unique_ptr<AlbumService> startService();
albumservice::Photo photo(const QString& id, const std::optional<QString>& name);
Fault statusFault(int status, std::optional<QByteArray> body = std::nullopt, int skip = 0);
Fault cutFault(Fault::Cut cut, int skip = 0);
Fault redirectFault(const QUrl& to, int status = 307);
// A local URL on which nothing listens.
QString closedPortUrl();

// originals/, effects/ and data/ a few levels down in one temporary folder; XDG_DATA_HOME
// names data/ while the sandbox lives.
struct Sandbox {
    explicit Sandbox(const QString& pathTemplate = {});
    ~Sandbox();
    Sandbox(const Sandbox&) = delete;
    Sandbox& operator=(const Sandbox&) = delete;
    QTemporaryDir root;
    QString originals, effects, data;
    // The album and both folders chosen.
    kitewell::SyncSettings settings(const QString& eventId) const;

private:
    QByteArray m_savedDataHome;
};

} // namespace testsupport
