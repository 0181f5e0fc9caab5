// SPDX-License-Identifier: Apache-2.0
// The six code boxes. Every edit goes to the screen model, which decides whether a box takes it
// and which box the keyboard moves to; the boxes only show the model's texts.
import QtQuick
import QtQuick.Controls

Item {
    id: input
    property var screen
    property Theme theme
    readonly property int boxSpacing: 8
    // Boxes of 50 points, narrower on a screen that has no room for six of them.
    readonly property real boxSize: Math.max(28, Math.min(50, Math.floor((width - 5 * boxSpacing) / 6)))
    implicitWidth: 6 * 50 + 5 * boxSpacing
    implicitHeight: boxSize

    TextInput { id: clipboard; visible: false }

    Row {
        anchors.centerIn: parent
        spacing: input.boxSpacing
        // Digits run left to right in every language.
        LayoutMirroring.enabled: false
        LayoutMirroring.childrenInherit: true
        Repeater {
            id: boxes
            model: 6
            delegate: Rectangle {
                id: box
                required property int index
                readonly property string modelText: input.screen ? (input.screen.boxes[index] || "") : ""
                width: input.boxSize; height: input.boxSize; radius: 8
                color: input.theme.paint({role: "secondary", opacity: 0.1}, "transparent")
                border.width: field.activeFocus ? 2 : 0
                border.color: input.theme.blue

                TextInput {
                    id: field
                    objectName: "codeBox" + box.index
                    anchors.fill: parent
                    horizontalAlignment: TextInput.AlignHCenter
                    verticalAlignment: TextInput.AlignVCenter
                    // Grows with the host's font scale, as far as the box has room.
                    font.pixelSize: Math.min(Math.round(18 * input.theme.fontScale), Math.floor(input.boxSize * 0.6))
                    font.bold: true
                    color: input.theme.primary
                    text: box.modelText
                    inputMethodHints: Qt.ImhDigitsOnly | Qt.ImhNoPredictiveText
                    activeFocusOnTab: true
                    Accessible.role: Accessible.EditableText
                    Accessible.name: qsTr("Code digit %1").arg(box.index + 1)

                    // The clipboard's text, read through a hidden text input.
                    function clipboardText() {
                        clipboard.text = ""
                        clipboard.paste()
                        return clipboard.text
                    }

                    function edit(rangeLength, replacement) {
                        input.screen.editBox(box.index, box.modelText, rangeLength, replacement)
                        text = Qt.binding(function() { return box.modelText })
                    }

                    Keys.onPressed: function(event) {
                        if (event.key === Qt.Key_Backspace || event.key === Qt.Key_Delete) {
                            edit(Array.from(box.modelText).length, "")
                            event.accepted = true
                        } else if (event.matches(StandardKey.Paste)) {
                            // A pasted code goes to the model, which refuses more than one character.
                            edit(0, clipboardText())
                            event.accepted = true
                        } else if (event.modifiers & (Qt.ControlModifier | Qt.AltModifier | Qt.MetaModifier)
                                   || event.text.length === 0 || event.text.charCodeAt(0) < 0x20
                                   || event.text.charCodeAt(0) === 0x7F) {
                            event.accepted = false  // Enter, Escape, Tab and shortcuts are not text
                        } else {
                            var whole = selectedText.length > 0 && selectedText.length === box.modelText.length
                            edit(whole ? Array.from(box.modelText).length : 0, event.text)
                            event.accepted = true
                        }
                    }
                    // Text an input method commits arrives without key presses: the difference to
                    // the model's text is the edit.
                    onTextEdited: {
                        if (text.length > box.modelText.length)
                            edit(0, text.slice(box.modelText.length))
                        else if (text.length < box.modelText.length)
                            edit(Array.from(box.modelText).length, "")
                        else
                            text = Qt.binding(function() { return box.modelText })
                    }
                    onActiveFocusChanged: if (activeFocus) input.screen.tapBox(box.index)
                }
                TapHandler { onTapped: field.forceActiveFocus() }
                // The box the input starts on takes the keyboard once it is on screen.
                Component.onCompleted: if (input.screen && input.screen.focusedBox === index) field.forceActiveFocus()

                Connections {
                    target: input.screen
                    function onFocusRequested(index) {
                        if (index === box.index) field.forceActiveFocus()
                    }
                }
            }
        }
    }
}
