import QtQuick
import Vellary
import QtQuick.Controls.impl

// A theme icon at a fixed size; symbolic icons take `color`, full-colour ones keep theirs.
IconImage {
    property int size: 16
    width: size
    height: size
    sourceSize: Qt.size(size, size)
    fillMode: Image.PreserveAspectFit
}
