import QtQuick
import Vellary

// The green check at the top of a finished sheet.
Rectangle {
    width: 56
    height: 56
    radius: 28
    color: Theme.successFill
    Sym {
        anchors.centerIn: parent
        size: 32
        name: "emblem-ok-symbolic"
        color: Theme.successText
    }
}
