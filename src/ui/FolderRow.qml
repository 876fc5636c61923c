import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// One row of the folder section: what the folder is for, where it is (or a prompt), and the
// button that chooses it.
RowLayout {
    id: row

    required property string title
    required property string detail
    // What the button does, for screen readers: the two rows' buttons read alike.
    required property string actionName
    // Emitted by the row's button, which is never disabled.
    signal action()

    Layout.fillWidth: true

    ColumnLayout {
        Layout.alignment: Qt.AlignTop
        Layout.fillWidth: true
        spacing: 3

        Label {
            objectName: row.objectName + "Title"
            text: row.title
            textFormat: Text.PlainText
            font.weight: Font.DemiBold
        }
        Label {
            objectName: row.objectName + "Detail"
            Layout.fillWidth: true
            // Wraps within the width it is given; never widens the window.
            Layout.preferredWidth: 0
            text: row.detail
            textFormat: Text.PlainText
            font.pointSize: Theme.footnotePointSize
            color: Theme.secondaryText
            wrapMode: Text.WrapAtWordBoundaryOrAnywhere
            maximumLineCount: 2
            elide: Text.ElideRight
        }
    }

    Button {
        objectName: row.objectName + "Button"
        Layout.alignment: Qt.AlignTop
        text: "选择文件夹"
        Accessible.name: row.actionName
        Accessible.description: row.detail
        onClicked: row.action()
    }
}
