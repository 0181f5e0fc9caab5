// SPDX-License-Identifier: Apache-2.0
// One challenge screen: its elements top to bottom, the spacer taking the free height. A screen
// taller than the window (a narrow phone, a long language) scrolls instead of squeezing its texts.
import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

Pane {
    id: root
    property var screen
    property Theme theme
    padding: 16
    background: Rectangle { color: root.theme.background }

    Flickable {
        id: flick
        objectName: "screenFlickable"
        anchors.fill: parent
        contentWidth: width
        contentHeight: Math.max(height, column.implicitHeight)
        interactive: contentHeight > height
        boundsBehavior: Flickable.StopAtBounds
        ScrollIndicator.vertical: ScrollIndicator {}

        ColumnLayout {
            id: column
            width: flick.width
            height: flick.contentHeight
            spacing: !root.screen ? 20 : root.screen.name === "ChallengeEntryView" ? 8 : root.screen.name === "YourDevicesView" ? 12 : 20

            Repeater {
                model: root.screen ? root.screen.elements.length : 0
                delegate: ElementView {
                    required property int index
                    // Texts, buttons and device lists take the screen's width; the rest keep
                    // their own, never more than the screen's.
                    readonly property bool stretches: element.kind !== "codeInput" && element.kind !== "logo"
                                                      && element.kind !== "progress" && element.kind !== "image"
                                                      && !(element.kind === "row" && !element.action)
                    element: root.screen.elements[index]
                    screen: root.screen
                    theme: root.theme
                    Layout.fillWidth: true
                    Layout.maximumWidth: stretches ? Number.POSITIVE_INFINITY : Math.ceil(implicitWidth)
                    Layout.fillHeight: element.kind === "spacer"
                    Layout.alignment: Qt.AlignHCenter
                }
            }
        }
    }
}
