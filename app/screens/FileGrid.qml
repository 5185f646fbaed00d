import QtQuick
import Vellary
import QtQuick.Controls.Basic

// The session's sections as one list of rows, each a section header or a row of tiles, so that
// only the rows on screen exist however many files were found.
ListView {
    id: grid
    property var session
    property int tileSize: Theme.tileDefault
    // The visible index the keyboard acts on.
    property int current: -1
    signal preview(int index)
    signal contextMenu(var file)

    objectName: "fileGrid"
    readonly property int gutter: Theme.gridGutter
    readonly property int usable: width - 2 * gutter
    readonly property int columns: Math.max(1, Math.floor((usable + Theme.tileGap) / (tileSize + 20)))
    readonly property real cell: (usable - (columns - 1) * Theme.tileGap) / columns
    readonly property int thumb: Math.max(40, Math.floor(cell - 12))

    model: session ? session.grid : null
    reuseItems: true
    clip: true
    focus: true
    boundsBehavior: Flickable.StopAtBounds
    topMargin: 12
    bottomMargin: 16
    cacheBuffer: 400
    ScrollBar.vertical: ScrollBar {}

    onColumnsChanged: if (session) session.grid.columns = columns
    onSessionChanged: if (session) session.grid.columns = columns

    Keys.onSpacePressed: {
        if (session && session.visibleCount > 0)
            preview(Math.min(Math.max(current, 0), session.visibleCount - 1))
    }

    delegate: Item {
        id: row
        required property int index
        required property bool header
        required property string title
        required property var tiles
        required property int first
        width: grid.width
        height: header ? Theme.sectionHeader + (index > 0 ? 12 : 0) : grid.thumb + 34 + Theme.tileGap

        // Section header: title, count and Select/Deselect for the whole day.
        Item {
            visible: row.header
            anchors.fill: parent
            anchors.topMargin: row.index > 0 ? 12 : 0
            anchors.leftMargin: grid.gutter + 6
            anchors.rightMargin: grid.gutter
            readonly property var info: row.header && grid.session
                                        ? (grid.session.selectionCount, grid.session.visibleCount,
                                           ScreenTexts.section(grid.session, row.first))
                                        : ({})
            Row {
                anchors.verticalCenter: parent.verticalCenter
                spacing: 10
                Label {
                    objectName: "sectionTitle"
                    text: row.title
                    font: Theme.title
                    color: Theme.text
                }
                Label {
                    anchors.baseline: parent.children[0].baseline
                    text: ScreenTexts.count(parent.parent.info.count || 0)
                    font: Theme.detail
                    color: Theme.tertiary
                }
            }
            VButton {
                anchors.right: parent.right
                anchors.verticalCenter: parent.verticalCenter
                flat: true
                small: true
                accentText: true
                text: parent.info.allSelected ? "Deselect" : "Select"
                onClicked: ScreenTexts.selectSection(grid.session, row.first,
                                                     !parent.info.allSelected)
            }
        }

        Row {
            visible: !row.header
            x: grid.gutter
            spacing: Theme.tileGap
            Repeater {
                model: row.header ? [] : row.tiles
                Tile {
                    required property var modelData
                    file: modelData
                    thumb: grid.thumb
                    width: grid.cell
                    onClicked: {
                        grid.current = modelData.index
                        grid.forceActiveFocus()
                        grid.session.toggle(modelData.id)
                    }
                    onDoubleClicked: {
                        grid.current = modelData.index
                        grid.preview(modelData.index)
                    }
                    onContextMenu: {
                        grid.current = modelData.index
                        grid.contextMenu(modelData)
                    }
                }
            }
        }
    }
}
