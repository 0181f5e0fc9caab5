// SPDX-License-Identifier: Apache-2.0
// Wraps the host's content: attaches the client given to zelk::qt::setClient, receives its
// challenges and lays them over the content; the application's state drives attach and detach
// (the model follows it).
import QtQuick
import Zelk

Item {
    id: root
    default property alias content: contentLayer.data
    readonly property bool challengeVisible: containerModel.challengeVisible
    property alias model: containerModel
    property Theme theme: Theme {}
    // Whether screens slide in and out; off for pictures of each state.
    property bool animated: true

    ZelkContainerModel { id: containerModel }

    // The content takes no keys and is hidden from assistive technology while covered.
    Item {
        id: contentLayer
        anchors.fill: parent
        z: 1
        enabled: !root.challengeVisible
        Accessible.ignored: root.challengeVisible
    }

    ChallengeOverlay {
        anchors.fill: parent
        z: 1000
        model: containerModel
        theme: root.theme
        animated: root.animated
    }
}
