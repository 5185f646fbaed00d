import QtQuick
import Vellary
import QtQuick.Controls.Basic
import QtQuick.Layouts

// Stands in for the device cards while no disk is offered; pulses while the first list loads.
Rectangle {
    id: empty
    property bool looking: false
    objectName: "emptyCard"
    radius: Theme.cardRadius
    color: Theme.view
    border.width: 1
    border.color: Theme.cardBorder
    implicitHeight: content.implicitHeight + 48

    SequentialAnimation on opacity {
        running: empty.looking
        loops: Animation.Infinite
        onStopped: empty.opacity = 1
        NumberAnimation { to: 0.55; duration: 900; easing.type: Easing.InOutQuad }
        NumberAnimation { to: 1; duration: 900; easing.type: Easing.InOutQuad }
    }

    RowLayout {
        id: content
        anchors.fill: parent
        anchors.margins: 24
        spacing: 20
        Sym {
            Layout.alignment: Qt.AlignTop
            size: 56
            name: "media-flash"
        }
        ColumnLayout {
            Layout.fillWidth: true
            spacing: 6
            Label {
                Layout.fillWidth: true
                text: empty.looking ? "Looking for disks…" : "Insert a memory card or plug in a drive"
                font: Theme.deviceName
                color: Theme.text
                wrapMode: Text.WordWrap
            }
            Label {
                Layout.fillWidth: true
                text: "It appears here by itself. Use a card reader rather than connecting the "
                      + "camera with a cable."
                font: Theme.detail
                color: Theme.secondary
                wrapMode: Text.WordWrap
            }
            Label {
                Layout.fillWidth: true
                text: "Until your files are back, don't take new photos on the card or copy "
                      + "anything onto the drive."
                font: Theme.detail
                color: Theme.secondary
                wrapMode: Text.WordWrap
            }
        }
    }
}
