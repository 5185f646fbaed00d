import QtQuick
import Vellary
import QtQuick.Controls.Basic
import QtQuick.Layouts

// The source, the category filters with their counts, and the scan's notes.
Rectangle {
    id: sidebar
    property var session
    color: Theme.sidebar
    objectName: "sidebar"

    Rectangle { anchors.right: parent.right; width: 1; height: parent.height; color: Theme.divider }

    ColumnLayout {
        anchors.fill: parent
        anchors.rightMargin: 1
        spacing: 0

        RowLayout {
            Layout.fillWidth: true
            Layout.preferredHeight: 64
            Layout.leftMargin: 18
            Layout.rightMargin: 12
            spacing: 12
            Sym {
                size: 32
                name: ScreenTexts.sourceIcon(sidebar.session)
            }
            ColumnLayout {
                Layout.fillWidth: true
                spacing: 0
                Label {
                    objectName: "sourceName"
                    Layout.fillWidth: true
                    text: sidebar.session ? sidebar.session.title : ""
                    font: Theme.title
                    color: Theme.text
                    elide: Text.ElideRight
                }
                Label {
                    visible: !!sidebar.session && !sidebar.session.isDevice
                    text: "Disk image"
                    font: Theme.detail
                    color: Theme.secondary
                }
            }
        }
        Rectangle { Layout.fillWidth: true; Layout.preferredHeight: 1; color: Theme.divider }

        ListView {
            id: filters
            objectName: "filters"
            Layout.fillWidth: true
            Layout.preferredHeight: contentHeight
            Layout.topMargin: 8
            interactive: false
            spacing: 0
            model: [
                { category: "", title: "Everything", icon: "view-grid-symbolic" },
                { category: "photo", title: "Photos", icon: "image-x-generic-symbolic" },
                { category: "raw", title: "RAW Photos", icon: "camera-photo-symbolic" },
                { category: "video", title: "Videos", icon: "video-x-generic-symbolic" },
                { category: "audio", title: "Audio", icon: "audio-x-generic-symbolic" },
                { category: "document", title: "Documents", icon: "x-office-document-symbolic" },
                { category: "archive", title: "Archives", icon: "package-x-generic-symbolic" },
                { category: "other", title: "Other Files", icon: "text-x-generic-symbolic" }
            ]
            delegate: ItemDelegate {
                id: filter
                required property var modelData
                readonly property bool current: !!sidebar.session
                                                && sidebar.session.category === modelData.category
                width: filters.width - 16
                x: 8
                height: Theme.rowHeight
                highlighted: current
                hoverEnabled: true
                leftPadding: 10
                rightPadding: 10
                objectName: "filter_" + (modelData.category || "all")
                Accessible.name: modelData.title
                onClicked: sidebar.session.category = modelData.category
                background: Rectangle {
                    radius: Theme.radius
                    color: filter.current ? Theme.accentTint
                                          : filter.hovered ? Theme.rowHover : "transparent"
                }
                contentItem: RowLayout {
                    spacing: 12
                    Sym {
                        name: filter.modelData.icon
                        color: filter.current ? Theme.accentText : Theme.secondary
                    }
                    Label {
                        Layout.fillWidth: true
                        text: filter.modelData.title
                        font.family: Theme.body.family
                        font.pixelSize: 14
                        font.bold: filter.current
                        color: filter.current ? Theme.accentText : Theme.text
                    }
                    Label {
                        visible: filter.modelData.category !== ""
                        text: ScreenTexts.count(sidebar.session
                                                ? (sidebar.session.counts[filter.modelData.category] || 0)
                                                : 0)
                        font: Theme.detail
                        color: Theme.tertiary
                    }
                }
            }
        }

        Label {
            visible: notes.count > 0
            Layout.topMargin: 20
            Layout.leftMargin: 18
            text: "Notes"
            font.family: Theme.detail.family
            font.pixelSize: 13
            font.bold: true
            color: Theme.secondary
        }
        Repeater {
            id: notes
            model: sidebar.session ? sidebar.session.warnings : []
            Rectangle {
                required property string modelData
                Layout.fillWidth: true
                Layout.leftMargin: 12
                Layout.rightMargin: 12
                Layout.topMargin: 8
                implicitHeight: note.implicitHeight + 24
                radius: Theme.radius
                color: Theme.partialFill
                objectName: "note"
                Sym {
                    x: 12
                    y: 14
                    name: "dialog-warning-symbolic"
                    color: Theme.partialText
                }
                Label {
                    id: note
                    x: 38
                    y: 12
                    width: parent.width - 50
                    wrapMode: Text.WordWrap
                    text: modelData
                    font: Theme.detail
                    color: Theme.partialText
                }
            }
        }
        Item { Layout.fillHeight: true }
    }
}
