import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Kitewell.Sync

// The workspace screen: album, folders, switches, the two passes and the status line. It binds
// to the controller and states the user's choices to it; its own rules are only the texts it
// composes.
ColumnLayout {
    id: workspace

    required property SyncViewModel model

    spacing: Theme.screenSpacing

    // The time alone in the locale's short style, hours and minutes: the C locale's short style
    // has seconds, which are left out.
    function shortTime(date) {
        const format = Qt.locale().timeFormat(Locale.ShortFormat).replace(/[:.]ss?(\.z+)?/, "")
        return date.toLocaleTimeString(Qt.locale(), format)
    }

    // 1. Header.
    RowLayout {
        objectName: "workspaceHeader"
        Layout.fillWidth: true

        ColumnLayout {
            spacing: 3

            Label {
                objectName: "workspaceTitle"
                text: "鸢井同步助手"
                font.pixelSize: 25
                font.bold: true
            }
            Label {
                objectName: "workspaceSubtitle"
                text: "登录为 " + (Theme.present(workspace.model.account) ? workspace.model.account.name : "摄影师")
                      + " · 每 15 秒检查一次新原图"
                textFormat: Text.PlainText
                color: Theme.secondaryText
            }
        }

        Item {
            Layout.fillWidth: true
        }

        Button {
            objectName: "reloadButton"
            text: "刷新相册"
            onClicked: workspace.model.requestReloadWorkspace()
        }
        Button {
            objectName: "logoutButton"
            text: "退出登录"
            onClicked: workspace.model.logout()
        }
    }

    // 2. The album.
    SectionBox {
        objectName: "albumSection"
        title: "1. 选择同步相册"

        RowLayout {
            Label {
                text: "直播相册"
            }

            ComboBox {
                id: picker
                objectName: "albumPicker"
                Accessible.name: "直播相册" // its label

                // "请选择" (no album) first, then the albums in the controller's order.
                model: {
                    const titles = ["请选择"]
                    for (const event of workspace.model.events)
                        titles.push(event.title)
                    return titles
                }
                implicitContentWidthPolicy: ComboBox.WidestText
                currentIndex: workspace.model.selectedEventIndex + 1
                onActivated: index => workspace.model.chooseAlbumAt(index - 1)

                delegate: ItemDelegate {
                    id: option

                    required property string modelData
                    required property int index

                    objectName: "albumOption" + index
                    width: ListView.view ? ListView.view.width : implicitWidth
                    text: option.modelData
                    // The popup's list follows the highlighted option.
                    highlighted: ListView.isCurrentItem
                    contentItem: Label {
                        text: option.text
                        textFormat: Text.PlainText
                        elide: Text.ElideRight
                        verticalAlignment: Text.AlignVCenter
                    }
                }
            }

            Label {
                objectName: "roleLabel"
                text: Theme.present(workspace.model.selectedEvent)
                      && workspace.model.selectedEvent.collaborationRole === "owner" ? "负责人" : "协作成员"
                color: Theme.secondaryText
            }
        }
    }

    // 3. The two folders.
    SectionBox {
        objectName: "folderSection"
        title: "2. 选择本地工作文件夹"
        contentSpacing: 12

        FolderRow {
            objectName: "originalFolderRow"
            title: "原图同步文件夹"
            actionName: "选择原图同步文件夹"
            detail: workspace.model.originalFolderText
            onAction: workspace.model.chooseFolder(FolderKind.Original)
        }

        Rectangle {
            objectName: "folderDivider"
            Layout.fillWidth: true
            implicitHeight: 1
            color: Theme.palette.mid
        }

        FolderRow {
            objectName: "effectFolderRow"
            title: "精修回传文件夹"
            actionName: "选择精修回传文件夹"
            detail: workspace.model.effectFolderText
            onAction: workspace.model.chooseFolder(FolderKind.Effect)
        }

        Label {
            objectName: "folderNote"
            Layout.fillWidth: true
            // Wraps within the width it is given; never widens the window.
            Layout.preferredWidth: 0
            text: "助手会在两个文件夹内各创建“相册名--项目编号”子文件夹。把修好的 JPG 放进精修回传文件夹的对应子文件夹，并保留下载文件名开头的照片 ID。"
            wrapMode: Text.Wrap
            font.pointSize: Theme.footnotePointSize
            color: Theme.secondaryText
        }
    }

    // 4. The switches. The controller saves each change and re-decides polling.
    SectionBox {
        objectName: "switchSection"
        title: "3. 自动同步"
        contentSpacing: 10

        CheckBox {
            objectName: "autoSyncToggle"
            text: "持续下载手机端新上传的原图（每 15 秒）"
            topPadding: 0
            bottomPadding: 0
            checked: workspace.model.settings.autoSyncEnabled
            onToggled: workspace.model.setAutoSyncEnabled(checked)
        }
        CheckBox {
            objectName: "autoUploadToggle"
            text: "自动检测并回传精修图"
            topPadding: 0
            bottomPadding: 0
            checked: workspace.model.settings.autoUploadEffects
            onToggled: workspace.model.setAutoUploadEffects(checked)
        }
        CheckBox {
            objectName: "autoPublishToggle"
            text: "精修图回传成功后自动发布到客户相册"
            topPadding: 0
            bottomPadding: 0
            // Greyed out without returns; its value stays as it was.
            enabled: workspace.model.settings.autoUploadEffects
            checked: workspace.model.settings.autoPublishEffects
            onToggled: workspace.model.setAutoPublishEffects(checked)
        }
        Label {
            objectName: "switchNote"
            Layout.fillWidth: true
            // Wraps within the width it is given; never widens the window.
            Layout.preferredWidth: 0
            text: "回传和发布均可关闭；关闭后仍可使用下方按钮手动执行。原图永远不会被覆盖。"
            wrapMode: Text.Wrap
            font.pointSize: Theme.footnotePointSize
            color: Theme.secondaryText
        }
    }

    // 5. The passes by hand, and when the last one ended.
    RowLayout {
        objectName: "actionRow"
        spacing: 12

        ProminentButton {
            objectName: "downloadButton"
            text: workspace.model.isWorking ? "正在同步…" : "立即下载新增原图"
            enabled: !workspace.model.isWorking
            onClicked: workspace.model.requestSynchronize(false)
        }
        Button {
            objectName: "returnButton"
            text: "回传精修图"
            enabled: !workspace.model.isWorking
            onClicked: workspace.model.requestSynchronize(true)
        }
        Label {
            objectName: "lastSyncedLabel"
            visible: Theme.present(workspace.model.lastSyncedAt)
            text: visible ? "最近同步：" + workspace.shortTime(workspace.model.lastSyncedAt) : ""
            font.pointSize: Theme.footnotePointSize
            color: Theme.secondaryText
        }
    }

    // The pass under way, while its step has files to handle.
    PassProgress {
        objectName: "passProgress"
        Layout.fillWidth: true
        text: workspace.model.progressText
        value: workspace.model.progressValue
        maximum: workspace.model.progressMaximum
    }

    // 6.
    StatusMessage {
        objectName: "statusMessage"
        Layout.fillWidth: true
        message: workspace.model.message
        warning: workspace.model.messageIsWarning
    }
}
