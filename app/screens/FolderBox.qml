import QtQuick
import Vellary
import QtQuick.Controls.Basic
import QtQuick.Layouts

// A folder in a sheet: its icon, its name above where it is, and one action.
Rectangle {
    id: box
    property string path
    property string actionText
    property string actionIcon
    signal action()
    implicitHeight: 56
    radius: Theme.tileRadius
    color: Theme.box

    RowLayout {
        anchors.fill: parent
        anchors.leftMargin: 12
        anchors.rightMargin: 10
        spacing: 12
        Sym {
            size: 32
            name: "folder"
        }
        ColumnLayout {
            Layout.fillWidth: true
            spacing: 0
            Label {
                objectName: "folderName"
                Layout.fillWidth: true
                text: ScreenTexts.fileName(box.path)
                font: Theme.buttonFont
                color: Theme.text
                elide: Text.ElideMiddle
            }
            Label {
                Layout.fillWidth: true
                text: ScreenTexts.shortPath(ScreenTexts.parentFolder(box.path))
                font: Theme.small
                color: Theme.secondary
                elide: Text.ElideMiddle
            }
        }
        VButton {
            small: true
            text: box.actionText
            iconName: box.actionIcon
            onClicked: box.action()
            background: Rectangle {
                radius: Theme.radius
                color: parent.down ? Theme.buttonPressed : parent.hovered ? Theme.tileHover : Theme.view
                border.width: 1
                border.color: Theme.cardBorder
            }
        }
    }
}
