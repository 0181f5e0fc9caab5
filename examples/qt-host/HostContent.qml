// SPDX-License-Identifier: Apache-2.0
// What the host application shows: a signed-in home page.
import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

Pane {
    anchors.fill: parent
    padding: 24
    background: Rectangle { color: palette.window }

    ColumnLayout {
        anchors.fill: parent
        spacing: 16
        Label {
            text: qsTr("Road Atlas")
            font.pixelSize: 28
            font.bold: true
        }
        Label {
            Layout.fillWidth: true
            wrapMode: Text.WordWrap
            font.pixelSize: 16
            text: qsTr("Welcome back, alice. Your saved routes are below.")
        }
        Repeater {
            model: [qsTr("Coast road, 212 km"), qsTr("Mountain pass, 88 km"), qsTr("City loop, 31 km")]
            delegate: Rectangle {
                required property string modelData
                Layout.fillWidth: true
                implicitHeight: 56
                radius: 10
                color: Qt.rgba(0.47, 0.47, 0.5, 0.15)
                Label { anchors.centerIn: parent; text: parent.modelData; font.pixelSize: 16 }
            }
        }
        Item { Layout.fillHeight: true }
    }
}
