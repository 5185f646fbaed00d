import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts
import Vellary

// Thumbnail size, sort order, hiding damaged files and the two selection shortcuts.
Menu {
    id: menu
    property var session
    property real tileSize
    signal tileSizeMoved(real size)
    objectName: "viewMenu"
    width: 240
    font: Theme.body

    MenuItem {
        enabled: false
        text: "Thumbnail size"
    }
    Control {
        padding: 12
        topPadding: 0
        width: menu.width
        contentItem: Slider {
            from: Theme.tileMin
            to: Theme.tileMax
            value: menu.tileSize
            onMoved: menu.tileSizeMoved(value)
        }
    }
    MenuSeparator {}
    Menu {
        title: "Sort By"
        ActionGroup { id: sorts }
        MenuItem {
            text: "Date"
            checkable: true
            ActionGroup.group: sorts
            checked: !!menu.session && menu.session.sort === RecoverySession.Date
            onTriggered: menu.session.sort = RecoverySession.Date
        }
        MenuItem {
            text: "Name"
            checkable: true
            ActionGroup.group: sorts
            checked: !!menu.session && menu.session.sort === RecoverySession.Name
            onTriggered: menu.session.sort = RecoverySession.Name
        }
        MenuItem {
            text: "Size"
            checkable: true
            ActionGroup.group: sorts
            checked: !!menu.session && menu.session.sort === RecoverySession.Size
            onTriggered: menu.session.sort = RecoverySession.Size
        }
    }
    MenuItem {
        text: "Hide Damaged Files"
        checkable: true
        checked: menu.session ? menu.session.hideDamaged : false
        onTriggered: menu.session.hideDamaged = checked
    }
    MenuSeparator {}
    MenuItem {
        text: "Select All Showing"
        onTriggered: menu.session.selectAllVisible()
    }
    MenuItem {
        text: "Select None"
        onTriggered: menu.session.selectNone()
    }
}
