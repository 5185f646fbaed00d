import QtQuick
import Vellary
import QtQuick.Controls.Basic
import QtQuick.Templates as T
import QtQuick.Layouts

// A small modal question or notice: a title, a message and one or two buttons.
Dialog {
    id: dialog
    property string heading
    property string message
    property string acceptText: "OK"
    // No cancel button when empty.
    property string cancelText: ""
    anchors.centerIn: T.Overlay.overlay
    width: 420
    modal: true
    padding: Theme.sheetPadding
    closePolicy: Popup.CloseOnEscape
    T.Overlay.modal: Rectangle { color: Theme.dim }
    background: Rectangle {
        radius: Theme.sheetRadius
        color: Theme.view
        border.width: 1
        border.color: Qt.rgba(0, 0, 0, 0.1)
    }
    contentItem: ColumnLayout {
        spacing: 12
        Label {
            objectName: "confirmTitle"
            Layout.fillWidth: true
            wrapMode: Text.WordWrap
            text: dialog.heading
            font: Theme.sheetTitle
            color: Theme.text
        }
        Label {
            objectName: "confirmMessage"
            Layout.fillWidth: true
            visible: text !== ""
            wrapMode: Text.WordWrap
            text: dialog.message
            font: Theme.body
            color: Theme.secondary
        }
        RowLayout {
            Layout.alignment: Qt.AlignRight
            Layout.topMargin: 8
            spacing: 10
            VButton {
                visible: dialog.cancelText !== ""
                text: dialog.cancelText
                minWidth: 96
                onClicked: dialog.reject()
            }
            VButton {
                objectName: "confirmAccept"
                text: dialog.acceptText
                minWidth: 96
                highlighted: true
                onClicked: dialog.accept()
            }
        }
    }
}
