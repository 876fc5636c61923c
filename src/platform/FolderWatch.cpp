#include "platform/FolderWatch.h"

#include "platform/FileSystemError.h"
#include "platform/Files.h"

#include <QFile>
#include <QPointer>
#include <QSocketNotifier>

#include <cerrno>
#include <sys/inotify.h>
#include <unistd.h>

namespace kitewell {

namespace {

// A file written and closed, moved in or created; and the folder itself going away.
constexpr uint32_t kFolderEvents =
    IN_CLOSE_WRITE | IN_MOVED_TO | IN_CREATE | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
// The folder appearing in root; and root itself going away.
constexpr uint32_t kRootEvents = IN_CREATE | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

} // namespace

FolderWatch::FolderWatch(QString root, QString name, QObject* parent)
    : QObject(parent), m_root(std::move(root)), m_name(std::move(name)) {
    m_fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (m_fd < 0)
        return;
    m_rootWatch = ::inotify_add_watch(m_fd, QFile::encodeName(m_root).constData(), kRootEvents);
    attach();
    m_notifier = std::make_unique<QSocketNotifier>(m_fd, QSocketNotifier::Read);
    connect(m_notifier.get(), &QSocketNotifier::activated, this, &FolderWatch::onReadable);
}

FolderWatch::~FolderWatch() {
    m_notifier.reset();
    if (m_fd >= 0)
        ::close(m_fd);
}

void FolderWatch::attach() {
    if (m_fd >= 0 && m_folderWatch < 0)
        m_folderWatch =
            ::inotify_add_watch(m_fd, QFile::encodeName(m_root + u'/' + m_name).constData(), kFolderEvents);
}

void FolderWatch::onReadable() {
    // Room for many events; each name is at most NAME_MAX bytes.
    alignas(inotify_event) char buffer[64 * 1024];
    for (;;) {
        const ssize_t length = ::read(m_fd, buffer, sizeof buffer);
        if (length < 0 && errno == EINTR)
            continue;
        if (length <= 0)
            return;
        for (const char* at = buffer; at < buffer + length;) {
            const auto* event = reinterpret_cast<const inotify_event*>(at);
            at += sizeof(inotify_event) + event->len;
            const QByteArray name = event->len ? QByteArray(event->name) : QByteArray();
            if (!handle(event->wd, event->mask, name))
                return;
        }
    }
}

bool FolderWatch::handle(int watch, quint32 mask, const QByteArray& name) {
    const QPointer<FolderWatch> self(this);
    if (mask & IN_Q_OVERFLOW) {
        Q_EMIT eventsLost();
        return bool(self);
    }
    if (watch == m_folderWatch) {
        if (mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED)) {
            // Gone, or moved away (a moved folder would still be watched): it may come back.
            if (!(mask & IN_IGNORED))
                ::inotify_rm_watch(m_fd, m_folderWatch);
            m_folderWatch = -1;
            folderAppeared();
        } else if (!(mask & IN_ISDIR) && !name.isEmpty()) {
            Q_EMIT fileChanged(QFile::decodeName(name));
        }
    } else if (watch == m_rootWatch) {
        if (mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED)) {
            if (!(mask & IN_IGNORED))
                ::inotify_rm_watch(m_fd, m_rootWatch);
            m_rootWatch = -1;
        } else if ((mask & IN_ISDIR) && name == QFile::encodeName(m_name)) {
            folderAppeared();
        }
    }
    return bool(self);
}

// Watches the folder if it is there now. Files may have arrived before the watch was set:
// they count as changed.
void FolderWatch::folderAppeared() {
    if (m_folderWatch >= 0)
        return;
    attach();
    if (m_folderWatch < 0)
        return;
    std::vector<FolderEntry> entries;
    try {
        entries = listFolder(m_root + u'/' + m_name);
    } catch (const FileSystemError&) {
        return;
    }
    const QPointer<FolderWatch> self(this);
    for (const FolderEntry& entry : entries) {
        if (entry.kind != FolderEntry::Kind::Folder)
            Q_EMIT fileChanged(QFile::decodeName(entry.name));
        if (!self)
            return;
    }
}

} // namespace kitewell
