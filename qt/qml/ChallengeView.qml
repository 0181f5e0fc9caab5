// SPDX-License-Identifier: Apache-2.0
// The navigation of a challenge: the stack of screens the model keeps, with a back control on
// every screen but the first.
import QtQuick
import QtQuick.Controls

Item {
    id: root
    property var navigation
    property Theme theme
    property bool animated: true

    // Mirrors the model's stack: keeps the pages that show the same screens, pops the rest and
    // pushes the new ones.
    function sync() {
        var depth = navigation ? navigation.depth : 0
        var kept = 0
        while (kept < depth && kept < stack.depth
               && stack.get(kept, StackView.DontLoad).screen === navigation.screenAt(kept))
            ++kept
        var pop = animated ? StackView.PopTransition : StackView.Immediate
        var push = animated ? StackView.PushTransition : StackView.Immediate
        if (stack.depth > kept) {
            if (kept === 0)
                stack.clear(StackView.Immediate)
            else
                stack.pop(stack.get(kept - 1, StackView.DontLoad), pop)
        }
        // The first screen shows at once; the ones it leads to slide in.
        while (stack.depth < depth)
            stack.push(screenPage, { screen: navigation.screenAt(stack.depth), theme: root.theme },
                       stack.depth === 0 ? StackView.Immediate : push)
    }

    onNavigationChanged: { stack.clear(StackView.Immediate); sync() }
    Connections {
        target: root.navigation
        function onStackChanged() { root.sync() }
    }
    Component.onCompleted: sync()

    Component {
        id: screenPage
        ScreenView {
            // A popped screen's model lives until its page has slid out.
            StackView.onRemoved: if (root.navigation) root.navigation.release(screen)
        }
    }

    // The screen on top: its language decides the back control's label and direction.
    readonly property var topScreen: stack.currentItem ? stack.currentItem.screen : null
    readonly property bool rightToLeft: (topScreen && topScreen.rightToLeft)
                                        || Qt.application.layoutDirection === Qt.RightToLeft
    LayoutMirroring.enabled: rightToLeft
    LayoutMirroring.childrenInherit: true

    ToolButton {
        id: backButton
        objectName: "challengeBack"
        z: 2
        anchors.left: parent.left
        visible: stack.depth > 1
        // The host's own translation (qsTr) first, else the built-in one.
        readonly property string label: qsTr("Back") !== "Back" ? qsTr("Back")
                                        : (root.topScreen ? root.topScreen.backText : "Back")
        text: (root.rightToLeft ? "\u203A " : "\u2039 ") + label
        font.pixelSize: root.theme.pixelSize("body")
        palette.buttonText: root.theme.blue
        Accessible.name: label
        onClicked: root.navigation.back()
    }

    StackView {
        id: stack
        anchors.fill: parent
        anchors.topMargin: backButton.visible ? backButton.height : 0
    }
}
