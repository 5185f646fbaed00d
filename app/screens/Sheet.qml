import QtQuick
import Vellary
import QtQuick.Controls.Basic
import QtQuick.Templates as T

// A modal sheet centred in the window over a dimmed screen.
Popup {
    id: sheet
    default property alias content: column.data
    property alias gap: column.spacing
    modal: true
    dim: true
    closePolicy: Popup.CloseOnEscape
    anchors.centerIn: T.Overlay.overlay
    width: Theme.sheetWidth
    padding: Theme.sheetPadding
    font: Theme.body

    T.Overlay.modal: Rectangle { color: Theme.dim }
    background: Rectangle {
        radius: Theme.sheetRadius
        color: Theme.view
        border.width: 1
        border.color: Qt.rgba(0, 0, 0, 0.1)
    }
    contentItem: Column {
        id: column
        spacing: 12
    }
}
