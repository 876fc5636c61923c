import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// The workspace screen: album, folders, switches, the two passes and the status line. It binds
// to the controller and calls it; its own rules are only the texts it composes.
ColumnLayout {
    id: workspace

    required property QtObject model

    // Which folder a row chooses, as the controller's FolderKind counts them.
    readonly property int originalFolder: 0
    readonly property int effectFolder: 1

    // Anything shown changing redraws the screen, and the folder texts are worked out anew then
    // (nothing is cached), so a folder deleted or replaced meanwhile shows its prompt again.
    readonly property var redraw: [model.settings, model.account, model.events, model.selectedEvent,
        model.message, model.isWorking, model.lastSyncedAt]

    spacing: Theme.screenSpacing

    // The time alone in the locale's short style, hours and minutes: the C locale's short style
    // has seconds, which are left out.
    function shortTime(date) {
        const format = Qt.locale().timeFormat(Locale.ShortFormat).replace(/[:.]ss?(\.z+)?/, "")
        return date.toLocaleTimeString(Qt.locale(), format)
    }

    function folderText(bookmark, prompt) {
        const path = model.folderPath(bookmark)
        return path === "" ? prompt : path
    }

    // The album picker's change handler. It compares settings.eventId with the value the screen
    // last showed once the event that changed it has been handled, as a redraw would: the album
    // that arrives together with the sign-in or restore that shows this screen is what the screen
    // starts with, while any later change, by the user or by a refresh, is a change.
    property var shownEventId
    property bool eventIdShown: false

    function settleEventId() {
        if (!visible) {
            eventIdShown = false
            return
        }
        const current = model.settings.eventId
        if (!eventIdShown) {
            shownEventId = current
            eventIdShown = true
            return
        }
        if (current === shownEventId)
            return
        shownEventId = current
        model.eventChoiceChanged()
    }

    onVisibleChanged: Qt.callLater(settleEventId)
    Component.onCompleted: Qt.callLater(settleEventId)

    Connections {
        target: workspace.model
        function onSettingsChanged() {
            Qt.callLater(workspace.settleEventId)
        }
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

                // "请选择" (no album) first, then the albums in the controller's order.
                model: [{ text: "请选择", value: undefined }].concat(
                           workspace.model.events.map(event => ({ text: event.title, value: event.id })))
                textRole: "text"
                implicitContentWidthPolicy: ComboBox.WidestText
                currentIndex: {
                    const id = workspace.model.settings.eventId
                    if (!Theme.present(id))
                        return 0
                    const events = workspace.model.events
                    for (let i = 0; i < events.length; ++i) {
                        if (events[i].id === id)
                            return i + 1
                    }
                    return -1
                }
                onActivated: index => {
                    workspace.model.settings.eventId = index > 0 ? workspace.model.events[index - 1].id : undefined
                }

                delegate: ItemDelegate {
                    required property var modelData
                    required property int index

                    objectName: "albumOption" + index
                    width: ListView.view ? ListView.view.width : implicitWidth
                    highlighted: picker.highlightedIndex === index
                    contentItem: Label {
                        text: modelData.text
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
            detail: (workspace.redraw, workspace.folderText(workspace.model.settings.originalDirectoryBookmark,
                                                            "选择原图同步文件夹"))
            onAction: workspace.model.chooseFolder(workspace.originalFolder)
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
            detail: (workspace.redraw, workspace.folderText(workspace.model.settings.effectDirectoryBookmark,
                                                            "选择精修回传文件夹"))
            onAction: workspace.model.chooseFolder(workspace.effectFolder)
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

    // 4. The switches. Each change is saved at once and re-decides polling.
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
            onToggled: {
                workspace.model.settings.autoSyncEnabled = checked
                workspace.model.switchChanged()
            }
        }
        CheckBox {
            objectName: "autoUploadToggle"
            text: "自动检测并回传精修图"
            topPadding: 0
            bottomPadding: 0
            checked: workspace.model.settings.autoUploadEffects
            onToggled: {
                workspace.model.settings.autoUploadEffects = checked
                workspace.model.switchChanged()
            }
        }
        CheckBox {
            objectName: "autoPublishToggle"
            text: "精修图回传成功后自动发布到客户相册"
            topPadding: 0
            bottomPadding: 0
            // Greyed out without returns; its value stays as it was.
            enabled: workspace.model.settings.autoUploadEffects
            checked: workspace.model.settings.autoPublishEffects
            onToggled: {
                workspace.model.settings.autoPublishEffects = checked
                workspace.model.switchChanged()
            }
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

    // 6.
    StatusMessage {
        objectName: "statusMessage"
        Layout.fillWidth: true
        message: workspace.model.message
        warning: workspace.model.messageIsWarning
    }
}
