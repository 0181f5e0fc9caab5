// SPDX-License-Identifier: Apache-2.0
// The signed-in user's own devices, for the host's account settings: the screen of the client
// given to zelk::qt::setClient, loading as soon as it is made.
import QtQuick
import Zelk

Rectangle {
    id: root
    property Theme theme: Theme {}
    property alias model: devicesModel
    objectName: "yourDevices"
    color: theme.background

    ZelkYourDevicesModel { id: devicesModel }

    ScreenView {
        anchors.fill: parent
        screen: devicesModel.screen
        theme: root.theme
    }
}
