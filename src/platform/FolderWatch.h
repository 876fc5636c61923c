#pragma once

#include <QObject>
#include <QString>

#include <memory>

class QSocketNotifier;

namespace kitewell {

// Reports files that arrive in one folder, `name` inside `root`, through inotify. While that
// folder does not exist, root is watched for it to appear. Where the system cannot watch
// (its limits reached, a file system that reports nothing), it reports nothing; it never
// fails. Idle, it costs nothing: it only wakes for events.
class FolderWatch : public QObject {
    Q_OBJECT
public:
    FolderWatch(QString root, QString name, QObject* parent = nullptr);
    ~FolderWatch() override;

    const QString& root() const { return m_root; }
    const QString& name() const { return m_name; }
    // Watches the folder if it has appeared unreported (when root could not be watched).
    void attach();

Q_SIGNALS:
    // A file in the folder was created, closed after writing or moved in, or was there when
    // the folder appeared; `fileName` is its name.
    void fileChanged(const QString& fileName);
    // The system dropped events: anything may have changed.
    void eventsLost();

private:
    void onReadable();
    // One event of a watch; false when the watch has been destroyed meanwhile.
    bool handle(int watch, quint32 mask, const QByteArray& name);
    void folderAppeared();

    QString m_root;
    QString m_name;
    int m_fd = -1;
    int m_rootWatch = -1;
    int m_folderWatch = -1;
    std::unique_ptr<QSocketNotifier> m_notifier;
};

} // namespace kitewell
