// SPDX-License-Identifier: Apache-2.0
// One challenge screen: its elements top to bottom, the spacer taking the free height.
import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

Pane {
    id: root
    property var screen
    property Theme theme
    padding: 16
    background: Rectangle { color: root.theme.background }

    ColumnLayout {
        anchors.fill: parent
        spacing: root.screen && root.screen.name === "ChallengeEntryView" ? 8 : 20

        Repeater {
            model: root.screen ? root.screen.elements.length : 0
            delegate: ElementView {
                required property int index
                element: root.screen.elements[index]
                screen: root.screen
                theme: root.theme
                Layout.fillWidth: element.kind !== "codeInput" && element.kind !== "logo"
                                  && element.kind !== "progress" && element.kind !== "image"
                                  && !(element.kind === "row" && !element.action)
                Layout.fillHeight: element.kind === "spacer"
                Layout.alignment: Qt.AlignHCenter
            }
        }
    }
}
