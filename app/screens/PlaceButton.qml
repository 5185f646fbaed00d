import QtQuick
import Vellary
import QtQuick.Controls.Basic
import QtQuick.Layouts

// A wide button below the disks: an icon in a disc, a title and a detail line.
ItemDelegate {
    id: place
    property string iconName
    property string title
    property string detail
    implicitHeight: 68
    hoverEnabled: true
    padding: 14
    opacity: enabled ? 1 : 0.45
    Accessible.name: title

    background: Rectangle {
        radius: Theme.cardRadius
        color: place.down ? Theme.tileHover : Theme.view
        border.width: 1
        border.color: place.hovered ? Theme.cardHoverBorder : Theme.cardBorder
    }
    contentItem: RowLayout {
        spacing: 14
        Rectangle {
            Layout.preferredWidth: 40
            implicitWidth: 40
            implicitHeight: 40
            radius: 20
            color: Theme.accentTint
            Sym {
                anchors.centerIn: parent
                size: 24
                name: place.iconName
                color: Theme.accentText
            }
        }
        ColumnLayout {
            Layout.fillWidth: true
            spacing: 0
            Label {
                text: place.title
                font: Theme.buttonFont
                color: Theme.text
            }
            Label {
                text: place.detail
                font: Theme.detail
                color: Theme.secondary
            }
        }
        Sym {
            name: "pan-end-symbolic"
            color: Theme.secondary
        }
    }
}
