#include "support/Fixture.h"

#include "platform/FolderBookmark.h"

#include <QDir>
#include <QFile>
#include <QTcpServer>

namespace testsupport {

std::unique_ptr<AlbumService> startService() {
    auto service = std::make_unique<AlbumService>();
    if (!service->listen())
        qFatal("the album service cannot listen");
    service->addAccount({u"acc-1"_s, kEmail, u"林晓摄影"_s, kPassword});
    return service;
}

albumservice::Photo photo(const QString& id, const std::optional<QString>& name) {
    return {.id = id, .name = name};
}

Fault statusFault(int status, std::optional<QByteArray> body, int skip) {
    return {.status = status, .body = std::move(body), .skip = skip};
}

Fault cutFault(Fault::Cut cut, int skip) {
    return {.cut = cut, .skip = skip};
}

Fault redirectFault(const QUrl& to, int status) {
    return {.redirectTo = to, .redirectStatus = status};
}

QString closedPortUrl() {
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost))
        qFatal("no free port");
    return u"http://127.0.0.1:"_s + QString::number(probe.serverPort());
}

Sandbox::Sandbox(const QString& pathTemplate)
    : root(pathTemplate.isEmpty() ? QDir::tempPath() + u"/kitewell-XXXXXX"_s : pathTemplate),
      originals(root.filePath(u"home/user/originals"_s)), effects(root.filePath(u"home/user/retouched"_s)),
      data(root.filePath(u"home/user/.local/share"_s)), m_savedDataHome(qgetenv("XDG_DATA_HOME")) {
    if (!root.isValid() || !QDir().mkpath(originals) || !QDir().mkpath(effects) || !QDir().mkpath(data))
        qFatal("cannot make the sandbox");
    qputenv("XDG_DATA_HOME", QFile::encodeName(data));
}

Sandbox::~Sandbox() {
    // A sandbox that replaces another is made before the other goes: leave its setting alone.
    if (qgetenv("XDG_DATA_HOME") == QFile::encodeName(data))
        qputenv("XDG_DATA_HOME", m_savedDataHome);
}

kitewell::SyncSettings Sandbox::settings(const QString& eventId) const {
    kitewell::SyncSettings settings;
    settings.eventId = eventId;
    settings.originalDirectoryBookmark = kitewell::FolderBookmark::create(originals);
    settings.effectDirectoryBookmark = kitewell::FolderBookmark::create(effects);
    return settings;
}

} // namespace testsupport
