import QtQuick
import Vellary
import QtQuick.Controls.Basic
import QtQuick.Layouts

// What the running scan is doing, how far it got and how long it may take.
Rectangle {
    id: status
    property var session
    objectName: "scanStatus"
    implicitHeight: Theme.statusHeight
    color: Theme.bar
    Rectangle { anchors.bottom: parent.bottom; width: parent.width; height: 1; color: Theme.divider }

    readonly property string phase: session ? session.phase : ""

    RowLayout {
        anchors.fill: parent
        anchors.leftMargin: Theme.gutter
        anchors.rightMargin: 18
        spacing: 20
        ColumnLayout {
            Layout.fillWidth: true
            spacing: 8
            Item {
                Layout.fillWidth: true
                implicitHeight: headline.implicitHeight
                Label {
                    id: headline
                    objectName: "statusHeadline"
                    anchors.left: parent.left
                    anchors.right: timeLeft.left
                    anchors.rightMargin: 12
                    text: status.session ? ScreenTexts.statusHeadline(status.phase, status.session.fraction) : ""
                    font: Theme.buttonFont
                    color: Theme.text
                    elide: Text.ElideRight
                }
                Label {
                    id: timeLeft
                    objectName: "timeLeft"
                    anchors.right: parent.right
                    anchors.baseline: headline.baseline
                    text: status.session ? ScreenTexts.timeLeft(status.session.secondsRemaining) : ""
                    font: Theme.detail
                    color: Theme.secondary
                }
            }
            Progress {
                Layout.fillWidth: true
                indeterminate: !status.session || status.session.fraction === undefined
                value: indeterminate ? 0 : status.session.fraction
            }
            Label {
                objectName: "statusDetail"
                Layout.fillWidth: true
                text: status.session ? ScreenTexts.statusDetail(status.phase, status.session.bytesDone,
                                                                status.session.bytesTotal) : ""
                font: Theme.detail
                color: Theme.secondary
                elide: Text.ElideRight
            }
        }
        VButton {
            objectName: "stopButton"
            text: "Stop"
            tip: "Stop searching. You can still recover everything found so far."
            onClicked: status.session.stop()
        }
    }
}
