// Wraps the host's content: attaches the client given to zelk::qt::setClient, receives its
// challenges and lays them over the content; the application's state drives attach and detach.
import QtQuick
import Zelk

Item {
    id: root
    default property alias content: contentLayer.data
    readonly property bool challengeVisible: model.challengeVisible
    property alias model: model
    property Theme theme: Theme {}
    // Whether screens slide in and out; off for pictures of each state.
    property bool animated: true

    ZelkContainerModel { id: model }

    Connections {
        target: Qt.application
        function onStateChanged() { model.setApplicationState(Qt.application.state) }
    }
    Component.onCompleted: model.setApplicationState(Qt.application.state)

    Item {
        id: contentLayer
        anchors.fill: parent
        z: 1
    }

    ChallengeOverlay {
        anchors.fill: parent
        z: 1000
        model: model
        theme: root.theme
        animated: root.animated
    }
}
