import QtQuick
import Vellary
import QtQuick.Controls.Basic
import QtQuick.Layouts
import QtMultimedia

// One found file up close: its picture or video, its details, and stepping through the others.
Sheet {
    id: sheet
    property var session
    // Into the session's visible files.
    property int index: -1
    signal recover(string id)
    objectName: "previewSheet"
    width: Math.min(720, parent ? parent.width - 80 : 720)
    gap: 14

    readonly property var file: session && index >= 0
                                ? (session.selectionCount, session.visibleCount,
                                   ScreenTexts.file(session, index)) : ({})
    readonly property bool isVideo: file.category === "video"
                                    && typeof session.openVideo === "function"
    readonly property int count: session ? session.visibleCount : 0

    function step(by) {
        const next = index + by
        if (next >= 0 && next < count) index = next
    }

    onIndexChanged: loadVideo()
    onClosed: videoDevice = null

    // Held here so that the stream outlives the call that made it.
    property var videoDevice: null

    function loadVideo() {
        const player = videoLoader.item ? videoLoader.item.player : null
        if (!player) return
        player.stop()
        videoDevice = session.openVideo(file.id)
        if (videoDevice) {
            // QML cannot hand a QIODevice to the player; the device does it.
            if (videoDevice.playOn(player)) player.play()
        }
    }

    Rectangle {
        width: parent.width
        height: 400
        radius: Theme.tileRadius
        color: Theme.iconWell
        clip: true

        Image {
            id: picture
            anchors.fill: parent
            anchors.margins: 8
            visible: !sheet.isVideo && status === Image.Ready
            asynchronous: true
            cache: false
            fillMode: Image.PreserveAspectFit
            source: sheet.file.id && !sheet.isVideo
                    ? "image://thumb/preview/" + encodeURIComponent(sheet.file.id) : ""
        }
        // Made only for a video, so that no media backend starts for pictures.
        Loader {
            id: videoLoader
            anchors.fill: parent
            active: sheet.isVideo && sheet.opened
            sourceComponent: Item {
                property alias player: player
                MediaPlayer {
                    id: player
                    videoOutput: video
                    audioOutput: AudioOutput {}
                }
                VideoOutput {
                    id: video
                    anchors.fill: parent
                }
                Component.onCompleted: sheet.loadVideo()
            }
        }
        BusyIndicator {
            anchors.centerIn: parent
            running: !sheet.isVideo && picture.status === Image.Loading
        }
        ColumnLayout {
            objectName: "noPreview"
            anchors.centerIn: parent
            visible: !sheet.isVideo && (picture.status === Image.Error || picture.status === Image.Null)
            spacing: 12
            Sym {
                Layout.alignment: Qt.AlignHCenter
                size: 64
                name: Theme.categoryIcon(sheet.file.category)
            }
            Label {
                Layout.alignment: Qt.AlignHCenter
                text: "No preview for this kind of file"
                font: Theme.title
                color: Theme.secondary
            }
            VButton {
                Layout.alignment: Qt.AlignHCenter
                text: "Open with Quick Look"
                onClicked: if (typeof sheet.session.quickLook === "function")
                               sheet.session.quickLook(sheet.file.id)
            }
        }
    }

    RowLayout {
        width: parent.width
        spacing: 12
        ColumnLayout {
            Layout.fillWidth: true
            spacing: 2
            Label {
                objectName: "previewName"
                Layout.fillWidth: true
                text: sheet.file.name || ""
                font: Theme.title
                color: Theme.text
                elide: Text.ElideMiddle
            }
            Label {
                Layout.fillWidth: true
                text: (sheet.file.sizeText || "") + (sheet.file.folder ? " · " + sheet.file.folder : "")
                font: Theme.detail
                color: Theme.secondary
                elide: Text.ElideMiddle
            }
        }
        Badge {
            file: sheet.file.id ? sheet.file : ({ quality: "good", recovered: false })
        }
    }

    RowLayout {
        width: parent.width
        spacing: 8
        VButton {
            objectName: "previousButton"
            iconName: "go-previous-symbolic"
            implicitWidth: 40
            leftPadding: 0
            rightPadding: 0
            enabled: sheet.index > 0
            tip: "Previous file (←)"
            Accessible.name: "Previous file (←)"
            onClicked: sheet.step(-1)
        }
        VButton {
            objectName: "nextButton"
            iconName: "go-next-symbolic"
            implicitWidth: 40
            leftPadding: 0
            rightPadding: 0
            enabled: sheet.index + 1 < sheet.count
            tip: "Next file (→)"
            Accessible.name: "Next file (→)"
            onClicked: sheet.step(1)
        }
        Item { Layout.fillWidth: true }
        VButton {
            objectName: "previewSelect"
            text: sheet.file.selected ? "Deselect" : "Select"
            onClicked: sheet.session.toggle(sheet.file.id)
        }
        VButton {
            text: "Recover…"
            onClicked: sheet.recover(sheet.file.id)
        }
        VButton {
            text: "Done"
            minWidth: 96
            highlighted: true
            onClicked: sheet.close()
        }
    }

    Shortcut { sequence: "Left"; enabled: sheet.opened; onActivated: sheet.step(-1) }
    Shortcut { sequence: "Right"; enabled: sheet.opened; onActivated: sheet.step(1) }
    Shortcut { sequence: "Space"; enabled: sheet.opened; onActivated: sheet.close() }
}
