import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// The status line at the foot of both screens: the controller's message as it is, orange when
// the controller calls it a warning, dimmed otherwise. It keeps its place when the message is empty.
Label {
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
    font.pointSize: Theme.calloutPointSize
    color: warning ? warningColor : normalColor
}
