#include "platform/Translations.h"

#include <QCoreApplication>
#include <QDir>
#include <QLibraryInfo>

namespace kitewell {

Translations::Translations(const QString& folder, const QLocale& locale) {
    const QString separator = QStringLiteral("_");
    if (m_qt.load(locale, QStringLiteral("qtbase"), separator,
                  QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        QCoreApplication::installTranslator(&m_qt);
    if (m_own.load(locale, QStringLiteral("kitewell"), separator, folder))
        QCoreApplication::installTranslator(&m_own);
}

Translations::~Translations() {
    QCoreApplication::removeTranslator(&m_own);
    QCoreApplication::removeTranslator(&m_qt);
}

QString Translations::defaultFolder() {
    return QDir::cleanPath(QCoreApplication::applicationDirPath() +
                           QStringLiteral("/../share/kitewell-sync/translations"));
}

} // namespace kitewell
