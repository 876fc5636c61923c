import QtQuick
import QtQuick.Controls

// The screen's main action: filled with the accent colour while it can be pressed.
Button {
    highlighted: true
    palette.button: enabled ? Theme.palette.highlight : Theme.disabledPalette.button
    palette.buttonText: enabled ? Theme.palette.highlightedText : Theme.disabledPalette.buttonText
}
