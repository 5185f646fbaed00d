import QtQuick
import Vellary
import QtQuick.Controls.Basic
import QtQuick.Layouts

// One disk on the home screen: its glyph, name, size, the camera pill and the Scan button.
Control {
    id: card
    property var device
    // The id of the device being opened, or empty.
    property string opening: ""
    signal scan()
    signal saveCopy()

    readonly property bool isOpening: opening !== "" && opening === device.id
    enabled: opening === "" || isOpening
    opacity: enabled ? 1 : 0.45
    hoverEnabled: true
    implicitHeight: 110
    padding: 20
    objectName: "deviceCard"

    background: Rectangle {
        radius: Theme.cardRadius
        color: Theme.view
        border.width: 1
        border.color: card.hovered ? Theme.cardHoverBorder : Theme.cardBorder
    }

    contentItem: RowLayout {
        spacing: 16
        Sym {
            size: 56
            name: Theme.deviceIcon(card.device.kind)
        }
        ColumnLayout {
            Layout.fillWidth: true
            spacing: 2
            Label {
                Layout.fillWidth: true
                text: card.device.name
                font: Theme.deviceName
                color: Theme.text
                elide: Text.ElideRight
            }
            Label {
                Layout.fillWidth: true
                text: card.isOpening ? "Waiting for permission…" : card.device.sizeText
                font: Theme.detail
                color: Theme.secondary
                elide: Text.ElideRight
            }
            Rectangle {
                visible: !!card.device.cameraName
                Layout.topMargin: 6
                implicitWidth: pill.implicitWidth + 20
                implicitHeight: 22
                radius: 11
                color: Theme.accentTint
                Label {
                    id: pill
                    anchors.centerIn: parent
                    text: "Camera card"
                    font: Theme.pill
                    color: Theme.accentText
                }
            }
        }
        BusyIndicator {
            visible: card.isOpening
            running: visible
            implicitWidth: 16
            implicitHeight: 16
            padding: 0
        }
        VButton {
            id: more
            objectName: "moreOptions"
            flat: true
            iconName: "view-more-symbolic"
            implicitWidth: 34
            leftPadding: 0
            rightPadding: 0
            tip: "More options"
            Accessible.name: "More options"
            onClicked: menu.popup(more, 0, more.height)
            Menu {
                id: menu
                MenuItem { text: "Scan for Deleted Files"; onTriggered: card.scan() }
                MenuItem { text: "Save a Copy of This Disk…"; onTriggered: card.saveCopy() }
            }
        }
        VButton {
            text: "Scan"
            highlighted: true
            iconName: "go-next-symbolic"
            iconAfter: true
            minWidth: 80
            Accessible.name: "Scan " + card.device.name
            onClicked: card.scan()
        }
    }
}
