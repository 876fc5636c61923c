import QtQuick
import QtQuick.Controls

// The screen's main action: filled with the accent colour while it can be pressed. A plain
// fill, since the style's own lightens the accent into a gradient that its text cannot be
// read on.
Button {
    id: button

    palette.buttonText: enabled ? Theme.palette.highlightedText : Theme.disabledPalette.buttonText

    background: Rectangle {
        implicitWidth: 80
        implicitHeight: 24
        radius: 2
        color: !button.enabled ? Theme.disabledPalette.button
                               : button.down ? Qt.darker(Theme.accent, 1.15) : Theme.accent
        border.width: button.visualFocus ? 2 : 1
        border.color: button.visualFocus ? Theme.palette.windowText : Qt.darker(color, 1.3)
    }
}
