import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// The status line at the foot of both screens: the controller's message as it is, orange when
// the controller calls it a warning, dimmed otherwise. A warning also has a sign before it, so
// that it is not told by colour alone. The line keeps its place when the message is empty.
Label {
    id: status

    required property string message
    required property bool warning

    // The two colours of the rule, for whoever needs to tell them apart.
    readonly property color warningColor: Theme.orange
    readonly property color normalColor: Theme.secondaryText

    // The full width of the screen, whatever the length of the message.
    Layout.fillWidth: true
    Layout.preferredWidth: 0

    text: message
    textFormat: Text.PlainText
    wrapMode: Text.Wrap
    horizontalAlignment: Text.AlignLeft
    topPadding: 2
    leftPadding: warning ? sign.width + 6 : 0
    font.pointSize: Theme.calloutPointSize
    color: warning ? warningColor : normalColor

    // An exclamation mark in a disc of the warning colour, centred on the first line.
    Rectangle {
        id: sign
        objectName: "warningSign"
        visible: status.warning
        Accessible.role: Accessible.Graphic
        Accessible.name: "警告"
        width: Math.round(signMetrics.height * 0.95)
        height: width
        radius: width / 2
        y: status.topPadding + (signMetrics.height - height) / 2
        color: status.warningColor

        FontMetrics {
            id: signMetrics
            font: status.font
        }

        Label {
            anchors.centerIn: parent
            text: "!"
            color: Theme.palette.window
            font.pointSize: status.font.pointSize
            font.bold: true
            Accessible.ignored: true
        }
    }
}
