import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// A titled group of the workspace: the title above a box, the content in a column with
// 4 points above and below it inside the box.
GroupBox {
    id: box

    default property alias content: column.data
    property alias contentSpacing: column.spacing

    Layout.fillWidth: true
    // Tighter than the style's own box, which adds its 4 points above and below.
    padding: 4
    spacing: 4
    contentWidth: column.implicitWidth
    contentHeight: column.implicitHeight + 8

    contentData: ColumnLayout {
        id: column
        y: 4
        width: box.availableWidth
    }
}
