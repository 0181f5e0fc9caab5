// SPDX-License-Identifier: Apache-2.0
// Run by qmltestrunner, which links nothing of zelk: `import Zelk` must find the installed
// module's qmldir and plugin through Qt's QML import path.
import QtQuick
import QtTest
import Zelk

TestCase {
    name: "InstalledModule"
    width: 390
    height: 844

    ZelkContainer {
        id: container
        anchors.fill: parent
        Rectangle { id: content; anchors.fill: parent; color: "white" }
    }

    function test_containerHoldsTheContentAndNoChallenge() {
        verify(!container.challengeVisible)
        verify(content.enabled)  // the content takes input while no challenge covers it
        compare(content.width, container.width)
        compare(content.height, container.height)
    }
}
