import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts
import Vellary

// A whole disk being copied into one image file, and what came of it.
Sheet {
    id: sheet
    // The ImagingJob shown.
    property var job: null
    // Closing: scan says whether to open the copy.
    signal finish(bool scan)
    objectName: "diskCopySheet"
    gap: 14
    closePolicy: Popup.NoAutoClose

    readonly property int state: job ? job.state : ImagingJob.Running

    // Running.
    Label {
        visible: sheet.state === ImagingJob.Running
        width: parent.width
        wrapMode: Text.WordWrap
        text: sheet.job ? ScreenTexts.copyTitle(sheet.job.deviceName) : ""
        font: Theme.sheetTitle
        color: Theme.text
    }
    Label {
        visible: sheet.state === ImagingJob.Running
        width: parent.width
        wrapMode: Text.WordWrap
        text: "Every part of the disk is copied into one file. Once that's done, you can scan the "
              + "copy as often as you like without touching the disk again."
        font: Theme.body
        color: Theme.secondary
    }
    Progress {
        visible: sheet.state === ImagingJob.Running
        width: parent.width
        value: sheet.job ? sheet.job.fraction : 0
    }
    RowLayout {
        visible: sheet.state === ImagingJob.Running
        width: parent.width
        Label {
            objectName: "copyProgress"
            Layout.fillWidth: true
            text: sheet.job ? ScreenTexts.copyProgress(sheet.job.bytesDone, sheet.job.bytesTotal) : ""
            font: Theme.detail
            color: Theme.secondary
        }
        Label {
            text: sheet.job ? ScreenTexts.timeLeft(sheet.job.secondsRemaining) : ""
            font: Theme.detail
            color: Theme.secondary
        }
    }

    // Done.
    SuccessMark {
        visible: sheet.state === ImagingJob.Done
        anchors.horizontalCenter: parent.horizontalCenter
    }
    Label {
        visible: sheet.state === ImagingJob.Done
        width: parent.width
        horizontalAlignment: Text.AlignHCenter
        text: "Copy saved"
        font: Theme.sheetTitle
        color: Theme.text
    }
    Label {
        visible: sheet.state === ImagingJob.Done
        width: parent.width
        wrapMode: Text.WordWrap
        horizontalAlignment: Text.AlignHCenter
        text: sheet.job ? ScreenTexts.copySaved(sheet.job.destination) : ""
        font: Theme.body
        color: Theme.secondary
    }

    // Unreadable parts, while copying and after.
    RowLayout {
        visible: sheet.state !== ImagingJob.Failed && !!sheet.job && sheet.job.unreadable > 0
        width: parent.width
        spacing: 8
        Sym {
            Layout.alignment: Qt.AlignTop
            name: "dialog-warning-symbolic"
            color: Theme.partialText
        }
        Label {
            objectName: "unreadable"
            Layout.fillWidth: true
            wrapMode: Text.WordWrap
            text: sheet.job ? ScreenTexts.copyUnreadable(sheet.job.unreadable,
                                                         sheet.state === ImagingJob.Done) : ""
            font: Theme.detail
            color: Theme.partialText
        }
    }

    // Failed.
    RowLayout {
        visible: sheet.state === ImagingJob.Failed
        width: parent.width
        spacing: 10
        Sym {
            size: 24
            name: "dialog-warning-symbolic"
            color: Theme.damagedText
        }
        Label {
            Layout.fillWidth: true
            text: "The copy didn't finish"
            font: Theme.sheetTitle
            color: Theme.text
        }
    }
    Label {
        visible: sheet.state === ImagingJob.Failed
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
            visible: sheet.state === ImagingJob.Running
            text: "Stop"
            minWidth: 96
            onClicked: sheet.job.stop()
        }
        VButton {
            visible: sheet.state === ImagingJob.Done
            text: "Show in Folder"
            onClicked: Qt.openUrlExternally(ScreenTexts.fileUrl(ScreenTexts.parentFolder(sheet.job.destination)))
        }
        VButton {
            visible: sheet.state !== ImagingJob.Running
            text: "Close"
            minWidth: 96
            highlighted: sheet.state === ImagingJob.Failed
            onClicked: { sheet.close(); sheet.finish(false) }
        }
        VButton {
            visible: sheet.state === ImagingJob.Done
            text: "Scan the Copy"
            highlighted: true
            onClicked: { sheet.close(); sheet.finish(true) }
        }
    }
}
