pragma Singleton
import QtQuick

// The few named styles the screens share.
QtObject {
    readonly property SystemPalette palette: SystemPalette { colorGroup: SystemPalette.Active }
    readonly property SystemPalette disabledPalette: SystemPalette { colorGroup: SystemPalette.Disabled }

    // Dimmed text: the window's text colour at half strength, readable on the window colour.
    readonly property color secondaryText: Qt.rgba(palette.windowText.r, palette.windowText.g,
                                                   palette.windowText.b, 0.55)
    // Warnings and requests in the status line.
    readonly property color orange: "#E07800"
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

