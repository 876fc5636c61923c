import QtQuick
import QtQuick.Controls
import Kitewell.Sync

// The program's one window. Its content is the root view over the one controller.
ApplicationWindow {
    id: window

    required property SyncViewModel model

    objectName: "mainWindow"
    title: "鸢井同步助手"
    // As small as the content allows, and never below 760 × 620; no maximum.
    minimumWidth: Math.max(760, content.implicitWidth)
    minimumHeight: Math.max(620, content.implicitHeight)
    color: palette.window
    visible: true

    Component.onCompleted: {
        width = minimumWidth
        height = minimumHeight
    }
    // A screen that needs more room (the workspace after the sign-in screen) grows the window,
    // also where the platform leaves a window smaller than its new minimum.
    onMinimumWidthChanged: width = Math.max(width, minimumWidth)
    onMinimumHeightChanged: height = Math.max(height, minimumHeight)

    // Ends the program, also where closing the window only hides it.
    Shortcut {
        sequence: "Ctrl+Q"
        context: Qt.ApplicationShortcut
        onActivated: Qt.quit()
    }

    ContentView {
        id: content
        objectName: "contentView"
        anchors.fill: parent
        model: window.model
    }
}
