// SPDX-License-Identifier: Apache-2.0
import QtQuick
import Zelk

ZelkContainer {
    width: 390
    height: 844
    Rectangle {
        anchors.fill: parent
        color: "#F0F0F0"
        Text { anchors.centerIn: parent; text: "Host content" }
    }
}
