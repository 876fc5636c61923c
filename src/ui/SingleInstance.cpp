#include "ui/SingleInstance.h"

#include <QCryptographicHash>
#include <QDir>
#include <QLocalSocket>

namespace kitewell {

namespace {

constexpr int kHandshakeMs = 3000;
const QByteArray kActivate = "activate\n";

} // namespace

SingleInstance::SingleInstance(const QString& folder, const QString& key, QObject* parent)
    : QObject(parent), m_socketPath(QDir(folder).filePath(key + QStringLiteral(".socket"))),
      m_lock(QDir(folder).filePath(key + QStringLiteral(".lock"))) {
    // Only a lock whose process has gone is stale, however long the program has been running.
    m_lock.setStaleLockTime(0);
}

SingleInstance::~SingleInstance() {
    m_server.close();
}

QString SingleInstance::keyFor(const QString& dataFolder) {
    const QByteArray digest =
        QCryptographicHash::hash(QDir::cleanPath(dataFolder).toUtf8(), QCryptographicHash::Sha256).toHex();
    return QStringLiteral("kitewell-sync-") + QString::fromLatin1(digest.left(16));
}

bool SingleInstance::claim() {
    if (m_lock.tryLock(0)) {
        // We hold the lock, so any socket file here is left over from an instance that died.
        QLocalServer::removeServer(m_socketPath);
        m_server.setSocketOptions(QLocalServer::UserAccessOption);
        if (m_server.listen(m_socketPath))
            connect(&m_server, &QLocalServer::newConnection, this, &SingleInstance::acceptConnections);
        else
            qWarning("kitewell-sync: cannot listen on %s: %s", qPrintable(m_socketPath),
                     qPrintable(m_server.errorString()));
        return true;
    }

    // Another instance runs (or is just starting and not yet listening): ask it to come forward.
    QLocalSocket socket;
    socket.connectToServer(m_socketPath);
    if (socket.waitForConnected(kHandshakeMs)) {
        socket.write(kActivate);
        socket.waitForBytesWritten(kHandshakeMs);
        socket.disconnectFromServer();
    }
    return false;
}

void SingleInstance::acceptConnections() {
    while (QLocalSocket* socket = m_server.nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
            if (!socket->canReadLine())
                return;
            if (socket->readLine() == kActivate)
                Q_EMIT activationRequested();
            socket->disconnectFromServer();
        });
    }
}

} // namespace kitewell
