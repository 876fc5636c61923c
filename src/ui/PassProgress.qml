import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// How far the pass under way has got: the controller's text above a bar of its value and
// maximum, shown while there is a text. A screen reader meets the two as one progress bar,
// named by the text.
ColumnLayout {
    id: progress

    required property string text
    required property int value
    required property int maximum

    visible: text !== ""
    spacing: 4

    Label {
        objectName: "passProgressLabel"
        text: progress.text
        textFormat: Text.PlainText
        // Heard as the bar's name, not a second time on its own.
        Accessible.ignored: true
    }
    ProgressBar {
        objectName: "passProgressBar"
        Layout.fillWidth: true
        from: 0
        to: progress.maximum
        value: progress.value
        Accessible.name: progress.text
    }
}
