#include "ui/ColorScheme.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusMessage>

#include <chrono>

namespace kitewell {

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

const QString kPortal = u"org.freedesktop.portal.Desktop"_s;
const QString kPath = u"/org/freedesktop/portal/desktop"_s;
const QString kSettings = u"org.freedesktop.portal.Settings"_s;
const QString kGroup = u"org.freedesktop.appearance"_s;
const QString kKey = u"color-scheme"_s;
// A running portal answers at once; one that is still starting is not waited for.
constexpr auto kReadTimeout = 500ms;

// The value inside however many variants hold it (the portal's Read wraps it twice).
QVariant unwrapped(QVariant value) {
    while (value.metaType() == QMetaType::fromType<QDBusVariant>())
        value = qvariant_cast<QDBusVariant>(value).variant();
    return value;
}

struct Roles {
    QColor window, windowText, base, alternateBase, button, light, midlight, mid, dark, shadow;
    QColor highlight, highlightedText, link, linkVisited, placeholder, toolTipBase, disabledText;
};

// Every role set, so that nothing of the desktop's own palette shows through.
QPalette paletteOf(const Roles& roles) {
    QPalette palette;
    const auto set = [&palette](QPalette::ColorRole role, const QColor& colour) {
        palette.setColor(QPalette::All, role, colour);
    };
    set(QPalette::Window, roles.window);
    set(QPalette::WindowText, roles.windowText);
    set(QPalette::Base, roles.base);
    set(QPalette::AlternateBase, roles.alternateBase);
    set(QPalette::Text, roles.windowText);
    set(QPalette::Button, roles.button);
    set(QPalette::ButtonText, roles.windowText);
    set(QPalette::BrightText, Qt::white);
    set(QPalette::Light, roles.light);
    set(QPalette::Midlight, roles.midlight);
    set(QPalette::Mid, roles.mid);
    set(QPalette::Dark, roles.dark);
    set(QPalette::Shadow, roles.shadow);
    set(QPalette::Highlight, roles.highlight);
    set(QPalette::HighlightedText, roles.highlightedText);
    set(QPalette::Link, roles.link);
    set(QPalette::LinkVisited, roles.linkVisited);
    set(QPalette::PlaceholderText, roles.placeholder);
    set(QPalette::ToolTipBase, roles.toolTipBase);
    set(QPalette::ToolTipText, roles.windowText);
    for (const QPalette::ColorRole role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
        palette.setColor(QPalette::Disabled, role, roles.disabledText);
    palette.setColor(QPalette::Disabled, QPalette::Highlight, roles.mid);
    return palette;
}

} // namespace

ColorScheme::ColorScheme(QObject* parent) : QObject(parent) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    // From whoever sends it on the portal's path, as Qt's own themes listen: a portal that
    // starts later is heard as well. The slot's argument type must be known first, or the
    // connection silently fails.
    qRegisterMetaType<QDBusVariant>();
    bus.connect(QString(), kPath, kSettings, u"SettingChanged"_s, this,
                SLOT(settingChanged(QString, QString, QDBusVariant)));
    QDBusMessage read = QDBusMessage::createMethodCall(kPortal, kPath, kSettings, u"Read"_s);
    read << kGroup << kKey;
    const QDBusMessage reply = bus.call(read, QDBus::Block, int(kReadTimeout.count()));
    if (reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty())
        apply(reply.arguments().constFirst());
}

ColorScheme::~ColorScheme() {
    if (m_preference != Preference::None)
        QApplication::setPalette(QPalette());
}

void ColorScheme::settingChanged(const QString& group, const QString& key, const QDBusVariant& value) {
    if (group == kGroup && key == kKey)
        apply(value.variant());
}

void ColorScheme::apply(const QVariant& value) {
    bool known = false;
    const uint number = unwrapped(value).toUInt(&known);
    const Preference preference =
        known && number <= uint(Preference::Light) ? Preference(number) : Preference::None;
    if (preference == m_preference)
        return;
    m_preference = preference;
    // An empty palette is the desktop's own.
    QApplication::setPalette(preference == Preference::Dark    ? darkPalette()
                             : preference == Preference::Light ? lightPalette()
                                                               : QPalette());
}

QPalette ColorScheme::darkPalette() {
    return paletteOf({.window = QColor(0x2a, 0x2c, 0x30),
                      .windowText = QColor(0xe6, 0xe6, 0xe6),
                      .base = QColor(0x1e, 0x1f, 0x22),
                      .alternateBase = QColor(0x26, 0x28, 0x2c),
                      .button = QColor(0x3a, 0x3d, 0x42),
                      .light = QColor(0x52, 0x56, 0x5c),
                      .midlight = QColor(0x45, 0x48, 0x4e),
                      .mid = QColor(0x30, 0x32, 0x36),
                      .dark = QColor(0x1a, 0x1b, 0x1e),
                      .shadow = QColor(0x0c, 0x0c, 0x0e),
                      .highlight = QColor(0x2f, 0x66, 0xc5),
                      .highlightedText = Qt::white,
                      .link = QColor(0x7a, 0xb2, 0xff),
                      .linkVisited = QColor(0xb6, 0x9c, 0xff),
                      .placeholder = QColor(0x9a, 0x9d, 0xa3),
                      .toolTipBase = QColor(0x3a, 0x3d, 0x42),
                      .disabledText = QColor(0x7c, 0x7f, 0x85)});
}

QPalette ColorScheme::lightPalette() {
    return paletteOf({.window = QColor(0xef, 0xef, 0xef),
                      .windowText = QColor(0x1a, 0x1a, 0x1a),
                      .base = Qt::white,
                      .alternateBase = QColor(0xf7, 0xf7, 0xf7),
                      .button = QColor(0xef, 0xef, 0xef),
                      .light = Qt::white,
                      .midlight = QColor(0xca, 0xca, 0xca),
                      .mid = QColor(0xb8, 0xb8, 0xb8),
                      .dark = QColor(0x9f, 0x9f, 0x9f),
                      .shadow = QColor(0x76, 0x76, 0x76),
                      .highlight = QColor(0x2f, 0x66, 0xc5),
                      .highlightedText = Qt::white,
                      .link = QColor(0x0b, 0x57, 0xd0),
                      .linkVisited = QColor(0x6a, 0x3d, 0xb8),
                      .placeholder = QColor(0x6e, 0x6e, 0x6e),
                      .toolTipBase = QColor(0xff, 0xff, 0xdc),
                      .disabledText = QColor(0x8c, 0x8c, 0x8c)});
}

} // namespace kitewell
