import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Kitewell.Sync

// The sign-in screen. The fields write straight into the controller; checking them and every
// message are the controller's.
ColumnLayout {
    id: login

    required property SyncViewModel model

    spacing: Theme.screenSpacing

    Image {
        objectName: "appIcon"
        Layout.alignment: Qt.AlignHCenter
        source: "icons/camera-sync.svg"
        // Drawn at the height of a 46-point symbol.
        sourceSize.height: 46
        fillMode: Image.PreserveAspectFit
    }

    Label {
        objectName: "loginTitle"
        Layout.alignment: Qt.AlignHCenter
        text: "鸢井同步助手"
        font.pixelSize: 28
        font.bold: true
    }

    Label {
        objectName: "loginSubtitle"
        Layout.alignment: Qt.AlignHCenter
        Layout.maximumWidth: login.width
        text: "将手机端新上传的原图自动同步到电脑，本地精修后可一键回传。"
        color: Theme.secondaryText
        wrapMode: Text.Wrap
        horizontalAlignment: Text.AlignHCenter
    }

    GridLayout {
        objectName: "loginForm"
        Layout.alignment: Qt.AlignHCenter
        Layout.preferredWidth: 430
        Layout.maximumWidth: 430
        Layout.minimumWidth: 430
        columns: 2
        columnSpacing: 10
        rowSpacing: 10

        Label {
            objectName: "serviceLabel"
            Layout.alignment: Qt.AlignRight | Qt.AlignVCenter
            text: "服务"
        }
        Label {
            objectName: "serviceValue"
            Layout.fillWidth: true
            text: "鸢井官方服务"
            color: Theme.secondaryText
        }

        Label {
            objectName: "emailLabel"
            Layout.alignment: Qt.AlignRight | Qt.AlignVCenter
            text: "登录邮箱"
        }
        TextField {
            objectName: "emailField"
            Accessible.name: "登录邮箱"
            Layout.fillWidth: true
            text: login.model.email
            inputMethodHints: Qt.ImhEmailCharactersOnly | Qt.ImhNoAutoUppercase | Qt.ImhNoPredictiveText
            onTextEdited: login.model.email = text
            // Return here starts nothing.
        }

        Label {
            objectName: "passwordLabel"
            Layout.alignment: Qt.AlignRight | Qt.AlignVCenter
            text: "密码"
        }
        TextField {
            objectName: "passwordField"
            // Qt 6.4 hides a password field's Accessible.name; Accessibility.cpp reads this.
            readonly property string accessibleName: "密码"
            Layout.fillWidth: true
            text: login.model.password
            echoMode: TextInput.Password
            inputMethodHints: Qt.ImhSensitiveData | Qt.ImhNoAutoUppercase | Qt.ImhNoPredictiveText
            onTextEdited: login.model.password = text
            // Submitting the password signs in, even while a sign-in runs.
            onAccepted: login.model.requestSignIn()
        }
    }

    ProminentButton {
        objectName: "signInButton"
        Layout.alignment: Qt.AlignHCenter
        text: login.model.isWorking ? "正在登录…" : "登录并连接工作台"
        enabled: !login.model.isWorking
        onClicked: login.model.requestSignIn()
    }

    StatusMessage {
        objectName: "statusMessage"
        Layout.fillWidth: true
        message: login.model.message
        warning: login.model.messageIsWarning
    }
}
