// SPDX-License-Identifier: Apache-2.0
// The challenge over everything else, on the background colour, while the model shows one.
import QtQuick

Rectangle {
    id: overlay
    property var model
    property Theme theme: Theme {}
    property bool animated: true
    objectName: "challengeOverlay"
    visible: model ? model.challengeVisible : false
    color: theme.background

    // Nothing beneath the challenge takes clicks or keys while it shows.
    MouseArea { anchors.fill: parent; acceptedButtons: Qt.AllButtons; hoverEnabled: true }

    // The texts follow the host's font scale.
    Binding {
        target: overlay.theme
        property: "fontScale"
        value: overlay.model ? overlay.model.fontScale : 1
        when: overlay.model !== null && overlay.model !== undefined && overlay.theme.followsApplicationFont
    }

    ChallengeView {
        anchors.fill: parent
        navigation: overlay.model ? overlay.model.navigation : null
        theme: overlay.theme
        animated: overlay.animated
    }
}
