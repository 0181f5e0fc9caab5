// SPDX-License-Identifier: Apache-2.0
// A host that shows its content alone: the client presents challenges in a window of its own.
import QtQuick

Window {
    width: 390
    height: 844
    visible: true
    title: qsTr("Example host (presented mode)")

    HostContent {}
}
