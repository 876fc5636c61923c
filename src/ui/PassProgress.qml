import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// How far the pass under way has got: the controller's text beside a bar of its value and
// maximum, shown while there is a text. Its place stays taken while nothing is shown, so the
// screen keeps still as passes come and go, and the window, sized with it, never cuts off the
// status line below. A screen reader meets the text and the bar as one progress bar, named by
// the text.
Item {
    id: progress

    required property string text
    required property int value
    required property int maximum

    implicitHeight: Math.max(label.implicitHeight, bar.implicitHeight)

    RowLayout {
        anchors.fill: parent
        visible: progress.text !== ""
        spacing: 12

        Label {
            id: label
            text: progress.text
            textFormat: Text.PlainText
            // Heard as the bar's name, not a second time on its own.
            Accessible.ignored: true
        }
        ProgressBar {
            id: bar
            objectName: "passProgressBar"
            Layout.fillWidth: true
            from: 0
            to: progress.maximum
            value: progress.value
            Accessible.name: progress.text
        }
    }
}
