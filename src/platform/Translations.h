#pragma once

#include <QLocale>
#include <QString>
#include <QTranslator>

namespace kitewell {

// The program's texts in the user's language while it lives: Qt's own (qtbase: file and
// platform errors, standard dialogs) and the program's own (transport errors), both for the
// given locale. A locale without translations (C, English) keeps the English source texts.
class Translations {
public:
    explicit Translations(const QString& folder, const QLocale& locale = QLocale::system());
    ~Translations();
    Translations(const Translations&) = delete;
    Translations& operator=(const Translations&) = delete;

    // Where the program's own .qm files are: share/kitewell-sync/translations beside the
    // executable's bin/ folder, in the build tree as in an installed tree.
    static QString defaultFolder();

private:
    QTranslator m_qt;
    QTranslator m_own;
};

} // namespace kitewell
