pragma Singleton
import QtQuick
import Kitewell.Sync

// The few named styles the screens share.
QtObject {
    readonly property SystemPalette palette: SystemPalette { colorGroup: SystemPalette.Active }
    readonly property SystemPalette disabledPalette: SystemPalette { colorGroup: SystemPalette.Disabled }

    // Every text stands at least 4.5:1 against the window, light or dark.
    // Dimmed text: the window's text colour at about half strength.
    readonly property color secondaryText: Contrast.dimmed(palette.windowText, palette.window, 0.55)
    // Warnings and requests in the status line: an orange dark or light enough for the window.
    readonly property color orange: Contrast.readable("#E07800", palette.window)
    // The prominent button's fill: the desktop's accent, deep enough for its text.
    readonly property color accent: Contrast.readable(palette.highlight, palette.highlightedText)
    // The colour of the sign-in icon, sRGB (0.54, 0.39, 0.12).
    readonly property color iconColor: Qt.rgba(0.54, 0.39, 0.12, 1)

    // Text styles relative to the desktop's body font.
    readonly property FontMetrics bodyFont: FontMetrics {}
    readonly property real bodyPointSize: bodyFont.font.pointSize > 0 ? bodyFont.font.pointSize : 10
    readonly property real calloutPointSize: bodyPointSize * 12 / 13
    readonly property real footnotePointSize: bodyPointSize * 11 / 13

    readonly property int screenPadding: 30
    readonly property int screenSpacing: 20

    // Optional values of the controller arrive as undefined (or null) when absent.
    function present(value) {
        return value !== undefined && value !== null
    }
}

