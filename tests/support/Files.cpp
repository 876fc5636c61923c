#include "support/Files.h"

#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

#include <fcntl.h>
#include <sys/stat.h>

namespace testsupport {

QByteArray readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeFile(const QString& path, const QByteArray& bytes) {
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

bool setModifiedSecondsAgo(const QString& path, int seconds) {
    // By name, not through an open file: folders and pipes are dated too.
    const qint64 ms = QDateTime::currentMSecsSinceEpoch() - seconds * qint64(1000);
    const timespec times[2]{{0, UTIME_OMIT}, {ms / 1000, ms % 1000 * 1'000'000}};
    return ::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0) == 0;
}

void writeAged(const QString& path, const QByteArray& bytes, int ageSeconds) {
    if (!writeFile(path, bytes) || !setModifiedSecondsAgo(path, ageSeconds))
        qFatal("cannot write %s", qPrintable(path));
}

QString fingerprintOf(const QString& file) {
    const QFileInfo info(file);
    return QString::number(info.size()) + u'-' + QString::number(info.lastModified().toSecsSinceEpoch());
}

QStringList tree(const QString& root) {
    QStringList files;
    QDirIterator it(root, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext())
        files.append(QDir(root).relativeFilePath(it.next()));
    files.sort();
    return files;
}

QStringList allEntries(const QString& root) {
    QStringList paths;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        paths.append(it.next());
    paths.sort();
    return paths;
}

QStringList entries(const QString& folder) {
    return QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                                  QDir::Name);
}

} // namespace testsupport
