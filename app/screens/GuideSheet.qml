import QtQuick
import Vellary
import QtQuick.Controls.Basic
import QtQuick.Layouts

// Where to look for files deleted from this computer's own drive.
Sheet {
    id: sheet
    objectName: "guideSheet"
    width: 520
    gap: 14

    Label {
        width: parent.width
        text: "Deleted from this computer?"
        font: Theme.sheetTitle
        color: Theme.text
    }
    Label {
        width: parent.width
        wrapMode: Text.WordWrap
        text: "Your computer's own drive can't be scanned here: the system is using it, and SSDs "
              + "clear deleted files automatically. These places often still have a copy:"
        font: Theme.body
        color: Theme.secondary
    }
    Rectangle {
        width: parent.width
        height: rows.implicitHeight + 16
        radius: Theme.tileRadius
        color: Theme.box
        ColumnLayout {
            id: rows
            anchors.fill: parent
            anchors.margins: 8
            spacing: 0
            Repeater {
                model: [
                    { icon: "user-trash-symbolic", title: "Trash",
                      detail: "Files stay there until it's emptied.", action: "Open Trash",
                      url: "trash:///" },
                    { icon: "image-x-generic-symbolic", title: "Photo apps › Trash",
                      detail: "Shotwell and digiKam keep deleted photos until their trash is emptied." },
                    { icon: "weather-overcast-symbolic", title: "iCloud Drive › Recently Deleted",
                      detail: "Kept for 30 days on iCloud.com.", action: "Open iCloud.com",
                      url: "https://www.icloud.com/iclouddrive/" },
                    { icon: "document-open-recent-symbolic", title: "Backups",
                      detail: "If you back up, older versions are there.",
                      action: ScreenTexts.hasBackupTool() ? "Open Backups" : "", backups: true },
                    { icon: "x-office-document-symbolic", title: "The app you made it in",
                      detail: "LibreOffice and others can keep backup copies: Tools › Options › "
                              + "LibreOffice › Paths › Backups." },
                    { icon: "folder-remote-symbolic", title: "Dropbox, Google Drive, OneDrive",
                      detail: "Their websites keep deleted files for at least 30 days." }
                ]
                RowLayout {
                    required property var modelData
                    Layout.fillWidth: true
                    Layout.margins: 6
                    spacing: 12
                    Sym {
                        Layout.alignment: Qt.AlignTop
                        Layout.topMargin: 2
                        name: modelData.icon
                        color: Theme.accentText
                    }
                    ColumnLayout {
                        Layout.fillWidth: true
                        spacing: 0
                        Label {
                            Layout.fillWidth: true
                            text: modelData.title
                            font: Theme.buttonFont
                            color: Theme.text
                        }
                        Label {
                            Layout.fillWidth: true
                            text: modelData.detail
                            font: Theme.detail
                            color: Theme.secondary
                            wrapMode: Text.WordWrap
                        }
                    }
                    VButton {
                        visible: !!modelData.action
                        small: true
                        text: modelData.action || ""
                        onClicked: modelData.backups ? ScreenTexts.openBackupTool()
                                                     : Qt.openUrlExternally(modelData.url)
                    }
                }
            }
        }
    }
    RowLayout {
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
            text: "Ever copied them to a memory card, USB stick or external drive? Plug that in "
                  + "and scan it instead — those can usually be recovered."
            font: Theme.detail
            color: Theme.secondary
        }
    }
    Item {
        width: parent.width
        height: done.implicitHeight + 8
        VButton {
            id: done
            anchors.right: parent.right
            anchors.bottom: parent.bottom
            minWidth: 96
            highlighted: true
            text: "Done"
            onClicked: sheet.close()
        }
    }
}
