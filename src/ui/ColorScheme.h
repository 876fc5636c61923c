#pragma once

#include <QDBusVariant>
#include <QObject>
#include <QPalette>

namespace kitewell {

// The desktop's light or dark preference, followed while the program runs: the desktop
// portal's colour-scheme setting (org.freedesktop.appearance, color-scheme), read at start
// and on every change, chooses a dark or a light palette for the whole application (the
// Fusion style draws with it); with no preference, or no portal, the palette is the one
// the desktop gives Qt. Qt 6.4 reads no such setting itself.
class ColorScheme : public QObject {
    Q_OBJECT

public:
    // The portal's values.
    enum class Preference : uint { None = 0, Dark = 1, Light = 2 };

    explicit ColorScheme(QObject* parent = nullptr);
    // The desktop's palette again.
    ~ColorScheme() override;

    Preference preference() const { return m_preference; }

    static QPalette darkPalette();
    static QPalette lightPalette();

private Q_SLOTS:
    void settingChanged(const QString& group, const QString& key, const QDBusVariant& value);

private:
    void apply(const QVariant& value);

    Preference m_preference = Preference::None;
};

} // namespace kitewell
