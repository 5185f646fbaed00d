import QtQuick
import Vellary
import QtQuick.Controls.Basic

// One found file in the grid: its thumbnail or type icon, name, quality badge and check.
Item {
    id: tile
    // A map from the grid model: index, id, name, category, quality, selected, recovered.
    property var file
    property int thumb: 120
    signal clicked(var mouse)
    signal doubleClicked()
    signal contextMenu()

    readonly property bool selected: file.selected
    implicitWidth: thumb + 12
    implicitHeight: thumb + 34
    objectName: "tile"

    HoverHandler { id: hover }

    Rectangle {
        anchors.fill: parent
        radius: Theme.tileRadius
        color: tile.selected ? Theme.accentTint : hover.hovered ? Theme.tileHover : "transparent"
    }

    Rectangle {
        id: frame
        x: 6
        y: 6
        width: tile.thumb
        height: tile.thumb
        radius: Theme.thumbRadius
        color: Theme.iconWell

        Image {
            id: picture
            anchors.fill: parent
            asynchronous: true
            cache: false
            fillMode: Image.PreserveAspectCrop
            sourceSize: Qt.size(tile.thumb * 2, tile.thumb * 2)
            source: "image://thumb/" + encodeURIComponent(tile.file.id)
        }
        // No picture: the kind's icon from the thumbnail provider, else the category's.
        Image {
            id: kindIcon
            anchors.centerIn: parent
            width: Math.min(64, tile.thumb - 24)
            height: width
            visible: status === Image.Ready
            asynchronous: true
            sourceSize: Qt.size(64, 64)
            source: picture.status === Image.Error ? "image://thumb/icon/" + encodeURIComponent(tile.file.id) : ""
        }
        Sym {
            anchors.centerIn: parent
            visible: picture.status !== Image.Ready && kindIcon.status !== Image.Ready
            size: Math.min(64, tile.thumb - 24)
            name: Theme.categoryIcon(tile.file.category)
        }
        Rectangle {
            visible: tile.file.category === "video"
            anchors.centerIn: parent
            width: 36
            height: 36
            radius: 18
            color: Qt.rgba(0, 0, 0, 0.5)
            Sym {
                anchors.centerIn: parent
                name: "media-playback-start-symbolic"
                color: "white"
            }
        }
        Rectangle {
            anchors.fill: parent
            visible: tile.selected
            radius: Theme.thumbRadius
            color: "transparent"
            border.width: 2
            border.color: Theme.accent
        }
        Badge {
            anchors.left: parent.left
            anchors.bottom: parent.bottom
            anchors.margins: 6
            file: tile.file
        }
        Rectangle {
            objectName: "check"
            visible: tile.selected || hover.hovered
            anchors.top: parent.top
            anchors.right: parent.right
            anchors.margins: 6
            width: 24
            height: 24
            radius: 12
            color: tile.selected ? Theme.accent : Qt.rgba(0, 0, 0, 0.15)
            border.width: 2
            border.color: "white"
            Sym {
                visible: tile.selected
                anchors.centerIn: parent
                size: 14
                name: "object-select-symbolic"
                color: "white"
            }
        }
    }

    Label {
        x: 4
        y: frame.y + frame.height + 6
        width: tile.width - 8
        horizontalAlignment: Text.AlignHCenter
        elide: Text.ElideRight
        text: tile.file.name
        font.family: Theme.small.family
        font.pixelSize: 12
        font.bold: tile.selected
        color: tile.selected ? Theme.accentText : Theme.text
    }

    MouseArea {
        anchors.fill: parent
        acceptedButtons: Qt.LeftButton | Qt.RightButton
        onClicked: mouse => mouse.button === Qt.RightButton ? tile.contextMenu() : tile.clicked(mouse)
        onDoubleClicked: mouse => { if (mouse.button === Qt.LeftButton) tile.doubleClicked() }
    }
}
