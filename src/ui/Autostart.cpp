#include "ui/Autostart.h"

#include "platform/FileSystemError.h"
#include "platform/Files.h"
#include "platform/StagedFile.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStandardPaths>

namespace kitewell {

using namespace Qt::StringLiterals;

namespace {

// An Exec argument: quoted when it holds anything but plain path characters, with the
// desktop entry's escapes ("%" doubled, and inside quotes a backslash before " ` $ \), and
// the backslashes doubled once more for the value's own string escapes.
QString execArgument(const QString& argument) {
    static const QRegularExpression plain(u"^[A-Za-z0-9/._+-]+$"_s);
    QString escaped = argument;
    escaped.replace(u'%', u"%%"_s);
    if (plain.match(argument).hasMatch())
        return escaped;
    for (const QChar reserved : {u'\\', u'"', u'`', u'$'})
        escaped.replace(reserved, u"\\"_s + reserved);
    escaped.replace(u'\\', u"\\\\"_s);
    return u'"' + escaped + u'"';
}

// A plain string value: only the backslash needs its escape here.
QString stringValue(const QString& value) {
    return QString(value).replace(u'\\', u"\\\\"_s);
}

} // namespace

QString Autostart::entryPath() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           u"/autostart/" KITEWELL_APP_ID ".desktop"_s;
}

bool Autostart::isEnabled() {
    return QFileInfo::exists(entryPath());
}

QString Autostart::launched(const QString& program) {
    const QFileInfo binary(program);
    const QString onPath = QStandardPaths::findExecutable(binary.fileName());
    const bool found =
        !onPath.isEmpty() && QFileInfo(onPath).canonicalFilePath() == binary.canonicalFilePath();
    return found ? binary.fileName() : binary.absoluteFilePath();
}

void Autostart::setEnabled(bool enabled, const QString& program) {
    const QString path = entryPath();
    if (!enabled) {
        QFile entry(path);
        if (!entry.remove() && entry.exists())
            throw FileSystemError(entry.errorString());
        return;
    }
    const QString launchedProgram =
        launched(program.isEmpty() ? QCoreApplication::applicationFilePath() : program);
    const QByteArray text =
        u"[Desktop Entry]\n"
        u"Type=Application\n"
        u"Name=KitewellSync\n"
        u"Name[zh_CN]=鸢井同步助手\n"
        u"Comment=Keeps syncing the chosen album from the tray\n"
        u"Comment[zh_CN]=在托盘中持续同步所选相册\n"
        u"TryExec=%1\n"
        u"Exec=%2 --hidden\n"
        u"Icon=" KITEWELL_APP_ID "\n"
        u"Terminal=false\n"_s.arg(stringValue(launchedProgram), execArgument(launchedProgram))
            .toUtf8();
    makeFolder(QFileInfo(path).path());
    StagedFile entry(path, path + u".tmp"_s);
    entry.write(text);
    entry.commit();
}

} // namespace kitewell
