import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts
import Vellary

// Stands in for the grid when nothing is shown: still looking, failed, filtered out, or none.
ColumnLayout {
    id: empty
    property var session
    objectName: "emptyResults"
    spacing: 8

    readonly property string kind: {
        if (!session) return ""
        if (session.state === RecoverySession.Failed && session.fileCount === 0) return "failed"
        if (session.fileCount > 0) return "filtered"
        if (session.state === RecoverySession.Scanning) return "looking"
        return "none"
    }

    BusyIndicator {
        Layout.alignment: Qt.AlignHCenter
        visible: empty.kind === "looking"
        running: visible && empty.visible
    }
    Sym {
        Layout.alignment: Qt.AlignHCenter
        visible: empty.kind !== "looking"
        size: 48
        name: empty.kind === "failed" ? "dialog-warning-symbolic"
                                      : empty.kind === "filtered" ? "edit-find-symbolic"
                                                                  : "image-x-generic-symbolic"
        color: Theme.tertiary
    }
    Label {
        objectName: "emptyTitle"
        Layout.fillWidth: true
        horizontalAlignment: Text.AlignHCenter
        wrapMode: Text.WordWrap
        text: ({ looking: "Looking for deleted files…", failed: "The scan couldn't finish",
                 filtered: "Nothing matches", none: "No deleted files were found" })[empty.kind] || ""
        font: Theme.sheetTitle
        color: Theme.text
    }
    Label {
        objectName: "emptyDetail"
        Layout.fillWidth: true
        horizontalAlignment: Text.AlignHCenter
        wrapMode: Text.WordWrap
        visible: text !== ""
        text: empty.kind === "looking" ? "They'll appear here as soon as they're found."
              : empty.kind === "failed" ? empty.session.failure
              : empty.kind === "filtered" ? "Try another category or clear the search." : ""
        font: Theme.body
        color: Theme.secondary
    }
    Repeater {
        model: empty.kind === "none"
               ? ["New photos or files may have been saved over them.",
                  "Some cameras wipe the card completely when they format it.",
                  "Fast SSDs erase deleted data automatically, so they rarely have anything left."]
               : []
        Label {
            required property string modelData
            Layout.fillWidth: true
            horizontalAlignment: Text.AlignHCenter
            wrapMode: Text.WordWrap
            text: modelData
            font: Theme.detail
            color: Theme.secondary
        }
    }
}
