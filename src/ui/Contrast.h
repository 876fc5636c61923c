#pragma once

#include <QColor>
#include <QObject>
#include <QtQml/qqmlregistration.h>

namespace kitewell {

// Text colours that stay readable on the palette in use: the contrast ratio of WCAG 2.1
// (relative luminance), and colours moved just far enough from their background to reach
// a ratio. For the screens' named colours (Theme.qml), whatever palette the desktop gives.
class Contrast : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON

public:
    // 4.5:1 is what text needs; the margin keeps it on the faint shading of the group boxes.
    static constexpr double kReadable = 4.7;

    static double ratio(const QColor& first, const QColor& second);
    // `colour`, darkened or lightened (keeping its hue) as little as it takes to stand at
    // least `minimum` against `background`.
    Q_INVOKABLE static QColor readable(const QColor& colour, const QColor& background,
                                       double minimum = kReadable);
    // Dimmed text: `text` at `strength` (0 to 1) of the way from `background`, opaque, and
    // no fainter than readable.
    Q_INVOKABLE static QColor dimmed(const QColor& text, const QColor& background, double strength);
};

} // namespace kitewell
