pragma Singleton
import QtQuick
import Vellary

// Palette, type and spacing of every screen, in one place.
QtObject {
    readonly property color window: "#fafafb"
    readonly property color view: "#ffffff"
    readonly property color headerBar: "#ebebee"
    readonly property color sidebar: "#ebebee"
    readonly property color box: "#f3f3f5"
    readonly property color bar: "#f6f6f8"
    readonly property color divider: "#dcdce1"
    readonly property color cardBorder: "#e2e2e7"
    readonly property color cardHoverBorder: "#c8c8ce"
    readonly property color text: "#1f2026"
    readonly property color secondary: "#5c5d66"
    readonly property color tertiary: "#8b8c95"
    readonly property color accent: "#3584e4"
    readonly property color accentHover: "#4a91e8"
    readonly property color accentPressed: "#2a6fc8"
    readonly property color accentText: "#1c6fd1"
    readonly property color accentTint: "#e1ecfb"
    readonly property color button: "#e4e4e9"
    readonly property color buttonHover: "#d9d9df"
    readonly property color buttonPressed: "#cfcfd6"
    readonly property color flatHover: Qt.rgba(0, 0, 0, 0.06)
    readonly property color flatPressed: Qt.rgba(0, 0, 0, 0.10)
    readonly property color rowHover: Qt.rgba(0, 0, 0, 0.05)
    readonly property color tileHover: "#f0f0f3"
    readonly property color iconWell: "#ececf0"
    readonly property color partialText: "#7a4d00"
    readonly property color partialFill: "#fcefcf"
    readonly property color damagedText: "#a51d2d"
    readonly property color damagedFill: "#fbdde0"
    readonly property color successText: "#1c6b3c"
    readonly property color successFill: "#d8f1e1"
    readonly property color donation: "#fcecf2"
    readonly property color heart: "#d6336c"
    readonly property color dim: Qt.rgba(22 / 255, 22 / 255, 30 / 255, 0.45)
    readonly property color focusRing: Qt.rgba(53 / 255, 132 / 255, 228 / 255, 0.5)

    readonly property string family: "Cantarell, DejaVu Sans"
    readonly property font heading: Qt.font({ family: "Cantarell", pixelSize: 28, weight: Font.ExtraBold })
    readonly property font sheetTitle: Qt.font({ family: "Cantarell", pixelSize: 20, weight: Font.ExtraBold })
    readonly property font deviceName: Qt.font({ family: "Cantarell", pixelSize: 16, weight: Font.Bold })
    readonly property font title: Qt.font({ family: "Cantarell", pixelSize: 15, weight: Font.Bold })
    readonly property font lead: Qt.font({ family: "Cantarell", pixelSize: 15 })
    readonly property font body: Qt.font({ family: "Cantarell", pixelSize: 14 })
    readonly property font buttonFont: Qt.font({ family: "Cantarell", pixelSize: 14, weight: Font.Bold })
    readonly property font smallButton: Qt.font({ family: "Cantarell", pixelSize: 13, weight: Font.Bold })
    readonly property font detail: Qt.font({ family: "Cantarell", pixelSize: 13 })
    readonly property font small: Qt.font({ family: "Cantarell", pixelSize: 12 })
    readonly property font pill: Qt.font({ family: "Cantarell", pixelSize: 12, weight: Font.Bold })
    readonly property font badge: Qt.font({ family: "Cantarell", pixelSize: 11, weight: Font.Bold })

    readonly property int headerHeight: 48
    readonly property int sidebarWidth: 240
    readonly property int statusHeight: 88
    readonly property int recoverBarHeight: 60
    readonly property int gutter: 20
    readonly property int gridGutter: 18
    readonly property int homeColumn: 752
    readonly property int homeTop: 112
    readonly property int sheetWidth: 480
    readonly property int sheetPadding: 24
    readonly property int buttonHeight: 34
    readonly property int smallButtonHeight: 30
    readonly property int rowHeight: 36

    readonly property int radius: 8
    readonly property int thumbRadius: 6
    readonly property int tileRadius: 10
    readonly property int cardRadius: 12
    readonly property int sheetRadius: 14

    readonly property int tileDefault: 120
    readonly property int tileMin: 96
    readonly property int tileMax: 220
    readonly property int tileGap: 8
    readonly property int sectionHeader: 44

    // Theme icon of a file category, for tiles without a picture and the sidebar.
    function categoryIcon(category) {
        switch (category) {
        case "photo": return "image-x-generic"
        case "raw": return "camera-photo"
        case "video": return "video-x-generic"
        case "audio": return "audio-x-generic"
        case "document": return "x-office-document"
        case "archive": return "package-x-generic"
        default: return "text-x-generic"
        }
    }
    // Theme icon of a device kind.
    function deviceIcon(kind) {
        switch (kind) {
        case "memoryCard": return "media-flash"
        case "usbDrive": return "drive-removable-media"
        case "diskImage": return "media-optical"
        default: return "drive-harddisk"
        }
    }
}
