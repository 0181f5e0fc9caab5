// SPDX-License-Identifier: Apache-2.0
// An element inside a row or column. Elements nest, so the view of a child is loaded by
// address when it is needed rather than named as a type inside its own definition.
import QtQuick

Loader {
    id: child
    required property int index
    property var element: ({})
    property var screen
    property Theme theme
    property bool parentEnabled: true
    property bool compact: false
    property string columnAlignment: ""

    source: "ElementView.qml"
    Binding { target: child.item; property: "element"; value: child.element; when: child.item !== null }
    Binding { target: child.item; property: "screen"; value: child.screen; when: child.item !== null }
    Binding { target: child.item; property: "theme"; value: child.theme; when: child.item !== null }
    Binding { target: child.item; property: "parentEnabled"; value: child.parentEnabled; when: child.item !== null }
    Binding { target: child.item; property: "compact"; value: child.compact; when: child.item !== null }
    Binding { target: child.item; property: "columnAlignment"; value: child.columnAlignment; when: child.item !== null }
}
