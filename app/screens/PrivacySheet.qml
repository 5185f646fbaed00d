import QtQuick
import Vellary
import QtQuick.Controls.Basic
import QtQuick.Layouts

// Shown when the system would not let this account read the disk.
Sheet {
    id: sheet
    objectName: "privacySheet"
    signal openHelp()
    gap: 14

    Sym {
        anchors.horizontalCenter: parent.horizontalCenter
        size: 48
        name: "changes-prevent-symbolic"
        color: Theme.accent
    }
    Label {
        width: parent.width
        horizontalAlignment: Text.AlignHCenter
        text: "Let Vellary read the disk"
        font: Theme.sheetTitle
        color: Theme.text
    }
    Label {
        width: parent.width
        wrapMode: Text.WordWrap
        text: "The system keeps apps away from memory cards and drives until you allow it. This "
              + "is a one-time step."
        font: Theme.body
        color: Theme.text
    }
    Label {
        width: parent.width
        wrapMode: Text.WordWrap
        text: "Vellary still only reads the disk. It has no internet access and never changes or "
              + "uploads your files."
        font: Theme.body
        color: Theme.secondary
    }
    Rectangle {
        width: parent.width
        height: steps.implicitHeight + 24
        radius: Theme.tileRadius
        color: Theme.box
        ColumnLayout {
            id: steps
            anchors.fill: parent
            anchors.margins: 12
            spacing: 10
            Repeater {
                model: [
                    "Make sure your desktop's password prompt and the disk service (UDisks) are running.",
                    "If Vellary runs as a Flatpak or Snap, allow it to see drives.",
                    "Come back here and click the disk again."
                ]
                RowLayout {
                    required property string modelData
                    required property int index
                    Layout.fillWidth: true
                    spacing: 10
                    Rectangle {
                        Layout.alignment: Qt.AlignTop
                        implicitWidth: 22
                        implicitHeight: 22
                        radius: 11
                        color: Theme.accent
                        Label {
                            anchors.centerIn: parent
                            text: index + 1
                            font: Theme.pill
                            color: "white"
                        }
                    }
                    Label {
                        Layout.fillWidth: true
                        text: modelData
                        wrapMode: Text.WordWrap
                        font: Theme.body
                        color: Theme.text
                    }
                }
            }
        }
    }
    Row {
        anchors.right: parent.right
        spacing: 10
        VButton { text: "Not Now"; minWidth: 96; onClicked: sheet.close() }
        VButton {
            text: "Open Help"
            minWidth: 96
            highlighted: true
            onClicked: { sheet.openHelp(); sheet.close() }
        }
    }
}
