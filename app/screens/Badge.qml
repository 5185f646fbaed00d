import QtQuick
import Vellary
import QtQuick.Controls.Basic

// "Recovered", "Partial" or "Damaged" on a tile; nothing for a good file.
Rectangle {
    id: badge
    property var file
    readonly property string kind: file.recovered ? "recovered"
                                                  : (file.quality === "good" ? "" : file.quality)
    visible: kind !== ""
    objectName: "badge"
    height: 20
    width: row.implicitWidth + 14
    radius: 10
    color: kind === "recovered" ? Theme.successFill
                                : kind === "partial" ? Theme.partialFill : Theme.damagedFill
    readonly property color ink: kind === "recovered" ? Theme.successText
                                                      : kind === "partial" ? Theme.partialText
                                                                           : Theme.damagedText
    readonly property string help: kind === "partial"
        ? "Part of this file couldn't be traced. It may open with missing sections."
        : kind === "damaged" ? "The start of this file has been overwritten. It probably won't open."
                             : ""

    Row {
        id: row
        anchors.centerIn: parent
        spacing: 4
        Sym {
            visible: badge.kind === "recovered"
            anchors.verticalCenter: parent.verticalCenter
            size: 12
            name: "emblem-ok-symbolic"
            color: badge.ink
        }
        Label {
            text: badge.kind === "recovered" ? "Recovered"
                                             : badge.kind === "partial" ? "Partial" : "Damaged"
            font: Theme.badge
            color: badge.ink
        }
    }
    HoverHandler { id: hover }
    ToolTip.visible: help !== "" && hover.hovered
    ToolTip.text: help
    ToolTip.delay: 500
}
