import QtQuick
import Vellary

// The mark at the top of a finished sheet: a green check, or an amber warning when only part
// of the work succeeded.
Rectangle {
    property bool partial: false
    width: 56
    height: 56
    radius: 28
    color: partial ? Theme.partialFill : Theme.successFill
    Sym {
        anchors.centerIn: parent
        size: 32
        name: parent.partial ? "dialog-warning-symbolic" : "emblem-ok-symbolic"
        color: parent.partial ? Theme.partialText : Theme.successText
    }
}
