// SPDX-License-Identifier: Apache-2.0
// The host's own content, wrapped in the container that lays challenges over it.
import QtQuick
import QtQuick.Controls
import Zelk

Window {
    id: window
    width: 390
    height: 844
    visible: true
    title: qsTr("Example host")

    ZelkContainer {
        id: container
        objectName: "zelkContainer"
        anchors.fill: parent

        HostContent {}
    }
}
