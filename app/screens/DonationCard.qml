import QtQuick
import Vellary
import QtQuick.Controls.Basic
import QtQuick.Layouts

// The tip jar at the end of a recovery.
Rectangle {
    id: card
    property string tipUrl
    property string siteUrl
    objectName: "donationCard"
    implicitHeight: content.implicitHeight + 32
    radius: Theme.tileRadius
    color: Theme.donation

    RowLayout {
        id: content
        anchors.fill: parent
        anchors.margins: 16
        spacing: 14
        Sym {
            Layout.alignment: Qt.AlignTop
            size: 24
            name: "emblem-favorite-symbolic"
            color: Theme.heart
        }
        ColumnLayout {
            Layout.fillWidth: true
            spacing: 6
            Label {
                text: "Did Vellary help?"
                font: Theme.title
                color: Theme.text
            }
            Label {
                Layout.fillWidth: true
                wrapMode: Text.WordWrap
                text: "It's free — no trial, no limits, no account. If it got your files back, a "
                      + "small tip keeps it that way for the next person."
                font: Theme.detail
                color: Theme.secondary
            }
            Row {
                topPadding: 6
                spacing: 8
                Repeater {
                    model: [
                        { text: "Leave a Tip", icon: "emoji-food-symbolic" },
                        { text: "Tell a Friend", icon: "emblem-shared-symbolic" }
                    ]
                    VButton {
                        required property var modelData
                        required property int index
                        small: true
                        text: modelData.text
                        iconName: modelData.icon
                        onClicked: index === 0
                                   ? Qt.openUrlExternally(card.tipUrl)
                                   : Qt.openUrlExternally("mailto:?subject=Vellary&body="
                                         + encodeURIComponent("Vellary got my deleted photos back for free: "
                                                              + card.siteUrl))
                        background: Rectangle {
                            radius: Theme.radius
                            color: parent.down ? Theme.buttonPressed : parent.hovered ? Theme.tileHover : Theme.view
                            border.width: 1
                            border.color: Theme.cardBorder
                        }
                    }
                }
            }
        }
    }
}
