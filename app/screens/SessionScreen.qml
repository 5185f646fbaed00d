import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts
import Vellary

// The results of one scan: the header bar, the category sidebar, the scan's status, the grid
// and the recover bar, with the preview and recovery sheets.
Item {
    id: screen
    // The RecoverySession shown; never null while the screen is.
    property var session
    // Room left at the right of the header bar for the window's menu button.
    property int menuInset: 44
    property string tipUrl: ""
    property string siteUrl: ""
    // Emitted once the user confirmed leaving.
    signal leave()

    property real tileSize: Theme.tileDefault
    property var recoveryJob: null

    readonly property bool scanning: !!session && session.state === RecoverySession.Scanning
    readonly property int fileCount: session ? session.fileCount : 0
    readonly property string subtitle: session ? ScreenTexts.subtitle(session.state, fileCount) : ""

    // Space previews from the start, before any tile was clicked.
    Component.onCompleted: grid.forceActiveFocus()

    function goBack() {
        if (scanning || fileCount > 0) leaveDialog.open()
        else leave()
    }
    function preview(index) {
        previewSheet.index = index
        previewSheet.open()
    }
    function recover(id) {
        const job = ScreenTexts.makeRecoveryJob(session, id || "")
        if (!job) return
        recoveryJob = job
        recoverySheet.open()
    }

    Rectangle { anchors.fill: parent; color: Theme.window }

    // Header bar.
    Rectangle {
        id: headerBar
        objectName: "sessionHeader"
        width: parent.width
        height: Theme.headerHeight
        color: Theme.headerBar
        Rectangle { anchors.bottom: parent.bottom; width: parent.width; height: 1; color: Theme.divider }

        VButton {
            objectName: "backButton"
            anchors.left: parent.left
            anchors.leftMargin: 8
            anchors.verticalCenter: parent.verticalCenter
            flat: true
            iconName: "go-previous-symbolic"
            text: "All Disks"
            tip: "Choose another disk"
            onClicked: screen.goBack()
        }
        Label {
            objectName: "sessionTitle"
            anchors.centerIn: parent
            width: Math.min(implicitWidth, parent.width - 2 * 300)
            elide: Text.ElideRight
            text: "Vellary — " + screen.subtitle
            font: Theme.buttonFont
            color: Theme.text
        }
        RowLayout {
            anchors.right: parent.right
            anchors.rightMargin: screen.menuInset + 4
            anchors.verticalCenter: parent.verticalCenter
            spacing: 6
            TextField {
                id: search
                objectName: "searchField"
                implicitWidth: 240
                implicitHeight: 34
                leftPadding: 34
                placeholderText: "Search names"
                placeholderTextColor: Theme.tertiary
                font: Theme.body
                color: Theme.text
                text: screen.session ? screen.session.search : ""
                onTextEdited: screen.session.search = text
                background: Rectangle {
                    radius: Theme.radius
                    color: Theme.view
                    border.width: 1
                    border.color: search.activeFocus ? Theme.accent : Theme.cardBorder
                    Sym {
                        x: 12
                        anchors.verticalCenter: parent.verticalCenter
                        name: "edit-find-symbolic"
                        color: Theme.secondary
                    }
                }
            }
            VButton {
                id: viewButton
                objectName: "viewOptions"
                flat: true
                implicitWidth: 36
                leftPadding: 0
                rightPadding: 0
                iconName: "view-sort-descending-symbolic"
                tip: "View Options"
                Accessible.name: "View Options"
                onClicked: viewMenu.popup(viewButton, 0, viewButton.height)
            }
        }
        ViewOptionsMenu {
            id: viewMenu
            session: screen.session
            tileSize: screen.tileSize
            onTileSizeMoved: size => screen.tileSize = size
        }
    }

    // Sidebar.
    Sidebar {
        id: sidebar
        anchors.top: headerBar.bottom
        anchors.bottom: parent.bottom
        width: Theme.sidebarWidth
        session: screen.session
    }

    ColumnLayout {
        anchors.top: headerBar.bottom
        anchors.bottom: parent.bottom
        anchors.left: sidebar.right
        anchors.right: parent.right
        spacing: 0

        ScanStatus {
            Layout.fillWidth: true
            visible: screen.scanning
            session: screen.session
        }

        Item {
            Layout.fillWidth: true
            Layout.fillHeight: true
            FileGrid {
                id: grid
                anchors.fill: parent
                session: screen.session
                tileSize: screen.tileSize
                visible: !!screen.session && screen.session.visibleCount > 0
                onPreview: index => screen.preview(index)
                onContextMenu: file => {
                    contextMenu.file = file
                    contextMenu.popup()
                }
            }
            EmptyResults {
                anchors.centerIn: parent
                width: Math.min(parent.width - 48, 460)
                visible: !grid.visible
                session: screen.session
            }
        }

        RecoverBar {
            Layout.fillWidth: true
            session: screen.session
            onRecover: screen.recover("")
        }
    }

    Menu {
        id: contextMenu
        objectName: "tileMenu"
        property var file: ({})
        MenuItem {
            text: "Quick Look"
            onTriggered: if (typeof screen.session.quickLook === "function")
                             screen.session.quickLook(contextMenu.file.id)
        }
        MenuItem {
            text: contextMenu.file.selected ? "Deselect" : "Select"
            onTriggered: screen.session.toggle(contextMenu.file.id)
        }
        MenuItem {
            text: "Recover This File…"
            onTriggered: screen.recover(contextMenu.file.id)
        }
    }

    Confirm {
        id: leaveDialog
        objectName: "leaveDialog"
        heading: ScreenTexts.leaveTitle(screen.scanning, screen.session ? screen.session.title : "")
        message: ScreenTexts.leaveMessage(!!screen.session && screen.session.recoveredCount > 0)
        acceptText: ScreenTexts.leaveButton(screen.scanning)
        cancelText: "Cancel"
        onAccepted: screen.leave()
    }

    PreviewSheet {
        id: previewSheet
        session: screen.session
        onRecover: id => {
            previewSheet.close()
            screen.recover(id)
        }
    }

    RecoverySheet {
        id: recoverySheet
        job: screen.recoveryJob
        session: screen.session
        tipUrl: screen.tipUrl
        siteUrl: screen.siteUrl
        onClosed: {
            ScreenTexts.finishRecovery(screen.session, screen.recoveryJob)
            screen.recoveryJob = null
        }
    }
}
