import QtQuick
import Vellary
import QtQuick.Controls.Basic
import QtQuick.Layouts

// Choose a source: the disks the application model offers, a disk image, or help for files
// deleted from this computer.
Item {
    id: home
    // The application model, or a stand-in with the same properties in tests.
    property var app
    signal chooseImage()
    signal saveCopy(string deviceId)

    readonly property var devices: app ? app.devices : []
    readonly property string opening: app ? app.opening : ""

    Rectangle { anchors.fill: parent; color: Theme.window }

    Flickable {
        anchors.fill: parent
        contentHeight: Math.max(height, column.y + column.height + 96)
        boundsBehavior: Flickable.StopAtBounds
        clip: true

        ColumnLayout {
            id: column
            x: Math.max(24, (parent.width - width) / 2)
            y: Theme.homeTop
            width: Math.min(Theme.homeColumn, home.width - 48)
            spacing: 0

            Label {
                objectName: "homeHeading"
                text: "Where were the files?"
                font: Theme.heading
                color: Theme.text
                lineHeight: 36
                lineHeightMode: Text.FixedHeight
            }
            Label {
                objectName: "homeLead"
                Layout.topMargin: 8
                Layout.fillWidth: true
                wrapMode: Text.WordWrap
                text: "Choose the memory card or drive they were deleted from. "
                      + "Vellary only reads it — nothing on it is changed."
                font: Theme.lead
                color: Theme.secondary
            }

            GridLayout {
                Layout.topMargin: 32
                Layout.fillWidth: true
                columns: 2
                columnSpacing: 16
                rowSpacing: 16
                visible: home.devices.length > 0
                Repeater {
                    model: home.devices
                    DeviceCard {
                        required property var modelData
                        device: modelData
                        opening: home.opening
                        Layout.fillWidth: true
                        Layout.preferredWidth: 1
                        onScan: home.app.open(device.id)
                        onSaveCopy: home.saveCopy(device.id)
                    }
                }
            }

            EmptyDeviceCard {
                Layout.topMargin: 32
                Layout.fillWidth: true
                visible: home.devices.length === 0
                looking: home.app ? !home.app.loadedDevices : false
            }

            Label {
                Layout.topMargin: 40
                text: "Something else?"
                font: Theme.title
                color: Theme.text
            }
            RowLayout {
                Layout.topMargin: 12
                Layout.fillWidth: true
                spacing: 16
                PlaceButton {
                    objectName: "guideButton"
                    Layout.fillWidth: true
                    Layout.preferredWidth: 1
                    iconName: "computer-symbolic"
                    title: "Deleted from this computer"
                    detail: "Where to look instead"
                    onClicked: home.app.showMacGuide = true
                }
                PlaceButton {
                    objectName: "imageButton"
                    Layout.fillWidth: true
                    Layout.preferredWidth: 1
                    iconName: "media-optical-symbolic"
                    title: "Open a disk image"
                    detail: ".dmg, .img, .iso or .dd"
                    enabled: home.opening === ""
                    onClicked: home.chooseImage()
                }
            }
        }
    }

    Row {
        objectName: "promises"
        anchors.horizontalCenter: parent.horizontalCenter
        anchors.bottom: parent.bottom
        anchors.bottomMargin: 28
        spacing: 36
        Repeater {
            model: [
                { icon: "changes-prevent-symbolic", text: "Read-only" },
                { icon: "network-offline-symbolic", text: "Nothing leaves your computer" },
                { icon: "starred-symbolic", text: "Free, with no limits" }
            ]
            Row {
                required property var modelData
                spacing: 8
                Sym {
                    anchors.verticalCenter: parent.verticalCenter
                    name: modelData.icon
                    color: Theme.accent
                }
                Label {
                    text: modelData.text
                    font: Theme.detail
                    color: Theme.secondary
                }
            }
        }
    }
}
