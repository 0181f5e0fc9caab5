// The navigation of a challenge: the stack of screens the model keeps, with a back control on
// every screen but the first.
import QtQuick
import QtQuick.Controls

Item {
    id: root
    property var navigation
    property Theme theme
    property bool animated: true

    function sync() {
        var depth = navigation ? navigation.depth : 0
        var pop = animated ? StackView.PopTransition : StackView.Immediate
        var push = animated ? StackView.PushTransition : StackView.Immediate
        while (stack.depth > depth)
            stack.pop(null, depth < stack.depth - 1 ? StackView.Immediate : pop)
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
        ScreenView {}
    }

    ToolButton {
        id: backButton
        objectName: "challengeBack"
        z: 2
        visible: stack.depth > 1
        text: "\u2039 " + qsTr("Back")
        font.pixelSize: 16
        palette.buttonText: root.theme.blue
        Accessible.name: qsTr("Back")
        onClicked: root.navigation.back()
    }

    StackView {
        id: stack
        anchors.fill: parent
        anchors.topMargin: backButton.visible ? backButton.height : 0
    }
}
