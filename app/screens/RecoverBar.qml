import QtQuick
import Vellary
import QtQuick.Controls.Basic
import QtQuick.Layouts

// What is shown or chosen, and the button that recovers it.
Rectangle {
    id: bar
    property var session
    signal recover()
    objectName: "recoverBar"
    implicitHeight: Theme.recoverBarHeight
    color: Theme.bar
    Rectangle { width: parent.width; height: 1; color: Theme.divider }

    readonly property int selected: session ? session.selectionCount : 0
    readonly property int shown: session ? session.visibleCount : 0

    RowLayout {
        anchors.fill: parent
        anchors.leftMargin: Theme.gutter
        anchors.rightMargin: 16
        spacing: 16
        Label {
            objectName: "barSummary"
            text: bar.session ? ScreenTexts.barSummary(bar.shown, bar.session.visibleBytes, bar.selected) : ""
            font: Theme.buttonFont
            color: Theme.text
        }
        Label {
            objectName: "barHint"
            Layout.fillWidth: true
            text: ScreenTexts.barHint(bar.selected)
            font: Theme.detail
            color: Theme.secondary
            elide: Text.ElideRight
        }
        VButton {
            visible: bar.selected > 0
            flat: true
            text: "Clear Selection"
            onClicked: bar.session.selectNone()
        }
        VButton {
            objectName: "recoverButton"
            highlighted: true
            enabled: bar.selected > 0 || bar.shown > 0
            text: ScreenTexts.recoverButton(bar.shown, bar.selected)
            onClicked: bar.recover()
        }
    }
}
