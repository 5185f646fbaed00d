import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts
import QtQuick.Dialogs
import Vellary

// Recovering chosen files: where to, then progress, then the outcome.
Sheet {
    id: sheet
    property var job: null
    property var session
    property string tipUrl: ""
    property string siteUrl: ""
    objectName: "recoverySheet"
    gap: 14
    closePolicy: job && job.state === RecoveryJob.Running ? Popup.NoAutoClose : Popup.CloseOnEscape

    readonly property int state: job ? job.state : RecoveryJob.Ready
    readonly property int count: job ? job.fileCount : 0
    readonly property string oneName: job ? ScreenTexts.firstFileName(job) : ""

    // Done: the outcome first.
    SuccessMark {
        visible: sheet.state === RecoveryJob.Done
        partial: !!sheet.job && sheet.job.savedCount < sheet.count
        anchors.horizontalCenter: parent.horizontalCenter
    }
    Label {
        objectName: "doneHeadline"
        visible: sheet.state === RecoveryJob.Done
        width: parent.width
        horizontalAlignment: Text.AlignHCenter
        wrapMode: Text.WordWrap
        text: sheet.job ? ScreenTexts.doneHeadline(sheet.count, sheet.job.savedCount) : ""
        font: Theme.sheetTitle
        color: Theme.text
    }
    // Ready.
    Label {
        visible: sheet.state === RecoveryJob.Ready
        width: parent.width
        wrapMode: Text.WordWrap
        text: ScreenTexts.recoverTitle(sheet.count, sheet.oneName)
        font: Theme.sheetTitle
        color: Theme.text
    }
    Label {
        visible: sheet.state === RecoveryJob.Ready
        width: parent.width
        wrapMode: Text.WordWrap
        text: ScreenTexts.recoverLead(sheet.count, sheet.oneName)
        font: Theme.body
        color: Theme.secondary
    }
    Label {
        visible: sheet.state === RecoveryJob.Ready || sheet.state === RecoveryJob.Done
        topPadding: 6
        text: sheet.state === RecoveryJob.Done ? "Saved in" : "Save to"
        font.family: Theme.detail.family
        font.pixelSize: 13
        font.bold: true
        color: Theme.secondary
    }
    FolderBox {
        visible: sheet.state === RecoveryJob.Ready || sheet.state === RecoveryJob.Done
        width: parent.width
        path: sheet.job ? sheet.job.destination : ""
        actionText: sheet.state === RecoveryJob.Done ? "Show in Folder" : "Choose…"
        actionIcon: sheet.state === RecoveryJob.Done ? "folder-open-symbolic" : ""
        onAction: {
            if (sheet.state === RecoveryJob.Done) Qt.openUrlExternally(ScreenTexts.fileUrl(sheet.job.destination))
            else folderDialog.open()
        }
    }
    Rectangle {
        visible: sheet.state === RecoveryJob.Ready
        width: parent.width
        height: 56
        radius: Theme.tileRadius
        color: Theme.box
        Label {
            anchors.left: parent.left
            anchors.leftMargin: 12
            anchors.verticalCenter: parent.verticalCenter
            text: "Keep the folders the files were in"
            font: Theme.body
            color: Theme.text
        }
        Switch {
            id: keep
            objectName: "keepFolders"
            anchors.right: parent.right
            anchors.rightMargin: 12
            anchors.verticalCenter: parent.verticalCenter
            checked: sheet.job ? sheet.job.keepFolders : true
            onToggled: sheet.job.keepFolders = checked
            indicator: Rectangle {
                x: keep.leftPadding
                y: keep.topPadding + (keep.availableHeight - height) / 2
                implicitWidth: 44
                implicitHeight: 24
                radius: 12
                color: keep.checked ? Theme.accent : Theme.buttonPressed
                Rectangle {
                    x: keep.checked ? parent.width - width - 3 : 3
                    anchors.verticalCenter: parent.verticalCenter
                    width: 18
                    height: 18
                    radius: 9
                    color: "white"
                    Behavior on x { NumberAnimation { duration: 120 } }
                }
            }
        }
    }
    RowLayout {
        visible: sheet.state === RecoveryJob.Ready && !!sheet.job && sheet.job.problem !== ""
        width: parent.width
        spacing: 8
        Sym {
            Layout.alignment: Qt.AlignTop
            name: "dialog-warning-symbolic"
            color: Theme.damagedText
        }
        Label {
            objectName: "problem"
            Layout.fillWidth: true
            wrapMode: Text.WordWrap
            text: sheet.job ? sheet.job.problem : ""
            font: Theme.detail
            color: Theme.damagedText
        }
    }

    // Running.
    Label {
        visible: sheet.state === RecoveryJob.Running
        text: "Recovering…"
        font: Theme.sheetTitle
        color: Theme.text
    }
    Label {
        visible: sheet.state === RecoveryJob.Running
        width: parent.width
        elide: Text.ElideMiddle
        text: sheet.job ? sheet.job.currentName : ""
        font: Theme.detail
        color: Theme.secondary
    }
    Progress {
        visible: sheet.state === RecoveryJob.Running
        width: parent.width
        value: sheet.job ? sheet.job.fraction : 0
    }

    // Done.

    RowLayout {
        visible: sheet.state === RecoveryJob.Done && !!sheet.job && sheet.job.notePath !== ""
        width: parent.width
        spacing: 10
        Sym {
            Layout.alignment: Qt.AlignTop
            Layout.topMargin: 2
            name: "dialog-information-symbolic"
            color: Theme.accent
        }
        Label {
            Layout.fillWidth: true
            wrapMode: Text.WordWrap
            text: "Some files couldn't be fully read. “About these files.txt” in the folder lists them."
            font: Theme.detail
            color: Theme.secondary
        }
    }
    DonationCard {
        visible: sheet.state === RecoveryJob.Done
        width: parent.width
        tipUrl: sheet.tipUrl
        siteUrl: sheet.siteUrl
    }

    // Failed.
    Label {
        visible: sheet.state === RecoveryJob.Failed
        text: "Recovery didn't finish"
        font: Theme.sheetTitle
        color: Theme.text
    }
    Label {
        visible: sheet.state === RecoveryJob.Failed
        width: parent.width
        wrapMode: Text.WordWrap
        text: sheet.job ? sheet.job.failure : ""
        font: Theme.body
        color: Theme.secondary
    }

    Row {
        anchors.right: parent.right
        topPadding: 8
        spacing: 10
        VButton {
            visible: sheet.state === RecoveryJob.Ready
            text: "Cancel"
            minWidth: 96
            onClicked: sheet.close()
        }
        VButton {
            objectName: "startRecovery"
            visible: sheet.state === RecoveryJob.Ready
            text: "Recover"
            minWidth: 96
            highlighted: true
            enabled: !!sheet.job && !sheet.job.checking && sheet.job.problem === ""
            onClicked: sheet.job.start()
        }
        VButton {
            visible: sheet.state === RecoveryJob.Running
            text: "Stop"
            minWidth: 96
            onClicked: sheet.job.stop()
        }
        VButton {
            visible: sheet.state === RecoveryJob.Done
            text: "Done"
            minWidth: 96
            highlighted: true
            onClicked: sheet.close()
        }
        VButton {
            visible: sheet.state === RecoveryJob.Failed
            text: "Show Folder"
            onClicked: Qt.openUrlExternally(ScreenTexts.fileUrl(sheet.job.destination))
        }
        VButton {
            visible: sheet.state === RecoveryJob.Failed
            text: "Close"
            minWidth: 96
            highlighted: true
            onClicked: sheet.close()
        }
    }

    FolderDialog {
        id: folderDialog
        title: "Choose a folder on this computer or another drive — not on the disk you're recovering from."
        acceptLabel: "Recover Here"
        currentFolder: sheet.job ? ScreenTexts.fileUrl(sheet.job.chooserFolder()) : ""
        onAccepted: sheet.job.chooseFolder(ScreenTexts.localPath(selectedFolder))
    }
}
