import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Dialogs
import Vellary

// The window: the home screen or the open session, the window menu, the sheets and alerts the
// application model asks for.
ApplicationWindow {
    id: window
    width: 1120
    height: 760
    minimumWidth: 860
    minimumHeight: 600
    visible: true
    title: AppModel.subtitle !== "" ? "Vellary — " + AppModel.subtitle : "Vellary"
    color: Theme.window
    font: Theme.body

    readonly property bool inSession: AppModel.session !== null

    function chooseImage() {
        if (!inSession && AppModel.opening === "") imageDialog.open()
    }

    HomeScreen {
        anchors.fill: parent
        anchors.topMargin: Theme.headerHeight
        visible: !window.inSession
        app: AppModel
        onChooseImage: window.chooseImage()
        onSaveCopy: deviceId => {
            copyDialog.deviceId = deviceId
            copyDialog.title = AppModel.copyPanelTitle(deviceId)
            copyDialog.currentFolder = ScreenTexts.fileUrl(ScreenTexts.homeFolder())
            copyDialog.selectedFile = ScreenTexts.fileUrl(ScreenTexts.homeFolder() + "/"
                                                          + AppModel.copySuggestedName(deviceId))
            copyDialog.open()
        }
    }
    Rectangle {
        visible: !window.inSession
        width: parent.width
        height: Theme.headerHeight
        color: Theme.headerBar
        Rectangle { anchors.bottom: parent.bottom; width: parent.width; height: 1; color: Theme.divider }
        Label {
            anchors.centerIn: parent
            text: "Vellary"
            font: Theme.buttonFont
            color: Theme.text
        }
    }
    Loader {
        anchors.fill: parent
        active: window.inSession
        sourceComponent: SessionScreen {
            session: AppModel.session
            tipUrl: AppModel.tipUrl
            siteUrl: AppModel.siteUrl
            onLeave: AppModel.closeSession()
        }
    }

    VButton {
        id: menuButton
        objectName: "windowMenu"
        z: 10
        anchors.right: parent.right
        anchors.rightMargin: 8
        y: (Theme.headerHeight - height) / 2
        flat: true
        implicitWidth: 36
        leftPadding: 0
        rightPadding: 0
        iconName: "open-menu-symbolic"
        Accessible.name: "Main Menu"
        onClicked: windowMenu.popup(menuButton, menuButton.width - windowMenu.width, menuButton.height)
    }
    Menu {
        id: windowMenu
        width: 240
        MenuItem {
            text: "Open Disk Image…"
            enabled: !window.inSession && AppModel.opening === ""
            onTriggered: window.chooseImage()
        }
        MenuSeparator {}
        MenuItem { text: "Vellary Help"; onTriggered: Qt.openUrlExternally(AppModel.helpUrl) }
        MenuItem { text: "Check for Updates…"; onTriggered: Qt.openUrlExternally(AppModel.updatesUrl) }
        MenuItem { text: "Leave a Tip…"; onTriggered: Qt.openUrlExternally(AppModel.tipUrl) }
        MenuItem { text: "Send Feedback…"; onTriggered: Qt.openUrlExternally(AppModel.feedbackUrl) }
        MenuSeparator {}
        MenuItem { text: "About Vellary"; onTriggered: about.open() }
        MenuItem { text: "Quit"; onTriggered: Qt.quit() }
    }
    Shortcut {
        sequences: [StandardKey.Open]
        enabled: !window.inSession && AppModel.opening === ""
        onActivated: window.chooseImage()
    }
    Shortcut {
        sequences: [StandardKey.Quit]
        onActivated: Qt.quit()
    }

    FileDialog {
        id: imageDialog
        title: "Choose a disk image of a card or drive, such as a .dmg, .img or .iso file."
        acceptLabel: "Scan"
        fileMode: FileDialog.OpenFile
        nameFilters: ["Disk images (*.dmg *.img *.iso *.dd)", "All files (*)"]
        onAccepted: AppModel.openImage(selectedFile)
    }
    FileDialog {
        id: copyDialog
        property string deviceId
        acceptLabel: "Save Copy"
        fileMode: FileDialog.SaveFile
        nameFilters: ["Disk images (*.img)"]
        onAccepted: AppModel.saveCopy(deviceId, selectedFile)
    }

    GuideSheet {
        id: guide
        onClosed: AppModel.showMacGuide = false
    }
    PrivacySheet {
        id: privacy
        onOpenHelp: AppModel.openPrivacySettings()
        onClosed: AppModel.showPrivacyHelp = false
    }
    DiskCopySheet {
        id: copySheet
        job: AppModel.imaging
        onFinish: scan => AppModel.finishImaging(scan)
    }
    Confirm {
        id: alert
        objectName: "alert"
        heading: AppModel.alertTitle
        message: AppModel.alertMessage
        onClosed: AppModel.dismissAlert()
    }
    Confirm {
        id: about
        heading: "About Vellary"
        message: AppModel.version + "\n\n" + AppModel.aboutText
    }

    Connections {
        target: AppModel
        function onShowMacGuideChanged() { if (AppModel.showMacGuide) guide.open(); else guide.close() }
        function onShowPrivacyHelpChanged() { if (AppModel.showPrivacyHelp) privacy.open(); else privacy.close() }
        function onImagingChanged() { if (AppModel.imaging) copySheet.open() }
        function onAlertIdChanged() { if (AppModel.alertId !== "") alert.open() }
    }
}
