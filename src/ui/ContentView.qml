import QtQuick
import Kitewell.Sync

// The root view: the sign-in screen while nobody is signed in, the workspace screen while an
// account is. Both stand 30 points inside the window on its background colour.
Item {
    id: root

    required property SyncViewModel model

    readonly property bool signedIn: Theme.present(model.account)
    readonly property Item screen: signedIn ? workspace : login

    implicitWidth: screen.implicitWidth + 2 * Theme.screenPadding
    implicitHeight: screen.implicitHeight + 2 * Theme.screenPadding

    LoginView {
        id: login
        objectName: "loginView"
        model: root.model
        visible: !root.signedIn
        x: Theme.screenPadding
        y: Math.max(Theme.screenPadding, (root.height - height) / 2)
        width: root.width - 2 * Theme.screenPadding
        height: implicitHeight
    }

    WorkspaceView {
        id: workspace
        objectName: "workspaceView"
        model: root.model
        visible: root.signedIn
        x: Theme.screenPadding
        y: Math.max(Theme.screenPadding, (root.height - height) / 2)
        width: root.width - 2 * Theme.screenPadding
        height: implicitHeight
    }
}
