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
            ProgressBar {
                id: bar
                Layout.fillWidth: true
                implicitHeight: 6
                from: 0
                to: 1
                indeterminate: !status.session || status.session.fraction === undefined
                value: indeterminate ? 0 : status.session.fraction
                background: Rectangle { radius: 3; color: Theme.divider }
                contentItem: Item {
                    Rectangle {
                        width: bar.indeterminate ? parent.width * 0.25 : bar.visualPosition * parent.width
                        height: parent.height
                        radius: 3
                        color: Theme.accent
                        XAnimator on x {
                            running: bar.indeterminate && bar.visible
                            from: 0
                            to: bar.width * 0.75
                            duration: 1200
                            loops: Animation.Infinite
                        }
                    }
                }
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
