import QtQuick
import Vellary
import QtQuick.Controls.Basic

// A thin progress bar; without a known fraction a short piece slides along it.
ProgressBar {
    id: bar
    implicitHeight: 6
    from: 0
    to: 1
    background: Rectangle { implicitHeight: 6; radius: 3; color: Theme.divider }
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
