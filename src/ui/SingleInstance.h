#pragma once

#include <QLocalServer>
#include <QLockFile>
#include <QObject>
#include <QString>

namespace kitewell {

// One running instance per user and data folder, so two pollers never share a state file.
// The first instance holds a lock file and listens on a local socket beside it; a later one
// finds the lock taken, asks the first to come forward through the socket, and gives way.
// A lock or socket left behind by an instance that died is recovered.
class SingleInstance : public QObject {
    Q_OBJECT
public:
    // Both files live in `folder` (the user's runtime folder in the program), named by `key`.
    SingleInstance(const QString& folder, const QString& key, QObject* parent = nullptr);
    ~SingleInstance() override;

    // True when this process is now the one instance. False when another one runs; it has
    // then been asked to come forward.
    bool claim();

    // The key of the program's data folder: instances with different data folders (the demo
    // beside a real installation) do not meet.
    static QString keyFor(const QString& dataFolder);

Q_SIGNALS:
    // A later launch wants this instance's window brought forward.
    void activationRequested();

private:
    void acceptConnections();

    QString m_socketPath;
    QLockFile m_lock;
    QLocalServer m_server;
};

} // namespace kitewell
