import QtQuick
import Vellary
import QtQuick.Controls.Basic
import QtQuick.Layouts

// The one button of every screen: plain, accent (`highlighted`) or flat, with an optional icon
// before or after the text.
Button {
    id: control
    property bool small: false
    property bool iconAfter: false
    property string iconName: ""
    property color textColor: highlighted ? "white" : (accentText ? Theme.accentText : Theme.text)
    property bool accentText: false
    property int minWidth: 0
    property string tip: ""

    implicitHeight: small ? Theme.smallButtonHeight : Theme.buttonHeight
    implicitWidth: Math.max(minWidth, row.implicitWidth + leftPadding + rightPadding)
    leftPadding: flat ? 10 : 14
    rightPadding: flat ? 10 : 14
    font: small ? Theme.smallButton : Theme.buttonFont
    hoverEnabled: true
    opacity: enabled ? 1 : 0.45
    Accessible.name: text

    ToolTip.visible: tip !== "" && hovered
    ToolTip.text: tip
    ToolTip.delay: 600

    contentItem: Item {
        implicitWidth: row.implicitWidth
        implicitHeight: row.implicitHeight
        RowLayout {
            id: row
            anchors.centerIn: parent
            spacing: 8
            layoutDirection: control.iconAfter ? Qt.RightToLeft : Qt.LeftToRight
            Sym {
                visible: control.iconName !== ""
                name: control.iconName
                color: control.textColor
            }
            Label {
                visible: control.text !== ""
                text: control.text
                font: control.font
                color: control.textColor
            }
        }
    }
    background: Rectangle {
        radius: Theme.radius
        color: control.highlighted
               ? (control.down ? Theme.accentPressed : control.hovered ? Theme.accentHover : Theme.accent)
               : control.flat
                 ? (control.down ? Theme.flatPressed : control.hovered ? Theme.flatHover : "transparent")
                 : (control.down ? Theme.buttonPressed : control.hovered ? Theme.buttonHover : Theme.button)
        Rectangle {
            visible: control.visualFocus
            anchors.fill: parent
            anchors.margins: -2
            radius: Theme.radius + 2
            color: "transparent"
            border.width: 2
            border.color: Theme.focusRing
        }
    }
}
