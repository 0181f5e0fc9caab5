// SPDX-License-Identifier: Apache-2.0
// Draws one element of a challenge screen as the screen model describes it.
import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

Loader {
    id: view
    property var element: ({})
    property var screen
    property Theme theme
    property bool parentEnabled: true
    // Inside a device row: a text takes at most two lines and loses its middle to an ellipsis
    // beyond them (the row's accessible name keeps the whole of it).
    property bool compact: false
    // Inside a column: how its texts line up ("leading", "trailing"); "" for their own alignment.
    property string columnAlignment: ""
    readonly property bool live: parentEnabled && element.enabled !== false

    function font(f) {
        f.pixelSize = theme.pixelSize(element.style)
        f.weight = theme.weight(element.weight)
        return f
    }

    sourceComponent: {
        switch (element.kind) {
        case "logo": return logo
        case "button": case "link": return button
        case "progress": return progress
        case "spacer": return spacer
        case "divider": return divider
        case "image": return image
        case "badge": return badge
        case "row": return row
        case "column": case "list": return column
        case "codeInput": return codeInput
        case "textField": return textField
        default: return view.compact ? compactLabel : label
        }
    }

    Component {
        id: compactLabel
        // Wants the width of its whole text on one line; given less, wraps to two lines and then
        // keeps the text's start and end with "…" between, so a long device name stays
        // recognisable by both ends.
        Item {
            id: holder
            readonly property string full: view.element.text || ""
            property string shown: full
            implicitWidth: Math.ceil(metrics.advanceWidth) + 1
            implicitHeight: shownLabel.implicitHeight
            TextMetrics { id: metrics; font: shownLabel.font; text: holder.full }
            Label {
                id: shownLabel
                width: holder.width
                text: holder.shown
                wrapMode: Text.Wrap
                maximumLineCount: 2
                horizontalAlignment: view.theme.alignment(view.columnAlignment || view.element.alignment)
                font.pixelSize: view.theme.pixelSize(view.element.style)
                font.weight: view.theme.weight(view.element.weight)
                color: view.theme.paint(view.element.foreground, view.theme.primary)
                Accessible.role: Accessible.StaticText
                Accessible.name: holder.full
                onFontChanged: holder.refit()
            }
            Text {
                id: probe
                visible: false
                width: holder.width
                wrapMode: Text.Wrap
                font: shownLabel.font
            }
            function fits(candidate) {
                probe.text = candidate
                return probe.lineCount <= 2
            }
            function cut(chars, keep) {
                var head = Math.ceil(keep / 2)
                return chars.slice(0, head).join("") + "\u2026" + chars.slice(chars.length - (keep - head)).join("")
            }
            function refit() {
                if (width <= 0 || fits(full)) { shown = full; return }
                var chars = Array.from(full)
                var low = 0, high = chars.length - 1
                while (low < high) {
                    var middle = Math.ceil((low + high) / 2)
                    if (fits(cut(chars, middle))) low = middle
                    else high = middle - 1
                }
                shown = cut(chars, low)
            }
            onWidthChanged: refit()
            onFullChanged: refit()
            Component.onCompleted: refit()
        }
    }

    Component {
        id: label
        Label {
            text: view.element.text || ""
            // Between words where it can, anywhere in a word too long for a line.
            wrapMode: Text.Wrap
            maximumLineCount: view.compact ? 2 : 10000
            elide: view.compact ? Text.ElideRight : Text.ElideNone
            // The theme arrives a moment after a nested element is made.
            horizontalAlignment: view.theme ? view.theme.alignment(view.columnAlignment || view.element.alignment) : Text.AlignHCenter
            font.pixelSize: view.theme ? view.theme.pixelSize(view.element.style) : 16
            font.weight: view.theme ? view.theme.weight(view.element.weight) : Font.Normal
            color: view.theme ? view.theme.paint(view.element.foreground, view.theme.primary) : "black"
            Accessible.role: Accessible.StaticText
            Accessible.name: text
        }
    }

    Component {
        id: logo
        Item {
            id: logoBox
            // The width the picture takes at height 40, once its size is known.
            readonly property real natural: image.sourceSize.height > 0
                                            ? image.sourceSize.width * 40 / image.sourceSize.height : 40
            implicitHeight: 40
            implicitWidth: Math.max(natural, 40)
            Image {
                id: image
                anchors.centerIn: parent
                height: 40
                width: Math.min(logoBox.natural, logoBox.width)
                fillMode: Image.PreserveAspectFit
                source: view.element.url
                asynchronous: true
                visible: status === Image.Ready
                Accessible.role: Accessible.Graphic
                Accessible.name: qsTr("Logo")
            }
            BusyIndicator {
                anchors.centerIn: parent
                height: 40
                running: image.status !== Image.Ready
                visible: running
            }
        }
    }

    Component {
        id: button
        AbstractButton {
            id: control
            readonly property bool showsProgress: view.element.children.length > 0
                                         && view.element.children[0].kind === "progress"
            enabled: view.live
            padding: 12
            hoverEnabled: true
            focusPolicy: Qt.StrongFocus
            opacity: enabled ? 1 : 0.55
            text: view.element.text || ""
            Accessible.role: view.element.kind === "link" ? Accessible.Link : Accessible.Button
            Accessible.name: showsProgress ? qsTr("In progress") : text
            onClicked: view.screen.perform(view.element.action)
            // The label wraps rather than run out of the button, which grows in height. Whole
            // points: layouts round the widths they hand out.
            implicitWidth: Math.ceil(implicitContentWidth) + leftPadding + rightPadding
            implicitHeight: implicitContentHeight + topPadding + bottomPadding
            contentItem: Item {
                readonly property real iconRoom: icon.visible ? icon.implicitWidth + 6 : 0
                implicitWidth: control.showsProgress ? indicator.implicitWidth : caption.implicitWidth + iconRoom
                implicitHeight: control.showsProgress ? indicator.implicitHeight
                                                      : Math.max(caption.implicitHeight, icon.visible ? icon.implicitHeight : 0)
                BusyIndicator {
                    id: indicator
                    anchors.centerIn: parent
                    visible: control.showsProgress
                    running: visible
                    implicitHeight: 28
                    implicitWidth: 28
                }
                Label {
                    id: caption
                    visible: !control.showsProgress
                    // Its whole text on one line, measured apart so that wrapping does not feed
                    // back into the width.
                    TextMetrics { id: captionMetrics; font: caption.font; text: caption.text }
                    width: Math.min(Math.ceil(captionMetrics.advanceWidth) + 1, Math.max(0, parent.width - parent.iconRoom))
                    x: Math.max(0, (parent.width - width - parent.iconRoom) / 2)
                    anchors.verticalCenter: parent.verticalCenter
                    text: control.text
                    wrapMode: Text.Wrap
                    horizontalAlignment: Text.AlignHCenter
                    font.pixelSize: view.theme.pixelSize(view.element.style)
                    font.weight: view.theme.weight(view.element.weight)
                    color: view.theme.onFill(
                               view.theme.paint(view.element.foreground,
                                                view.element.kind === "link" ? view.theme.blue : view.theme.primary),
                               view.theme.paint(view.element.background, "transparent"))
                }
                ZelkIcon {
                    id: icon
                    x: caption.x + caption.width + 6
                    anchors.verticalCenter: parent.verticalCenter
                    visible: !control.showsProgress && view.element.image !== ""
                    name: view.element.image
                    size: 16
                    color: view.theme.onFill(view.theme.paint(view.element.foreground, view.theme.primary),
                                             view.theme.paint(view.element.background, "transparent"))
                }
            }
            background: Rectangle {
                radius: view.element.cornerRadius
                color: view.theme.paint(view.element.background, "transparent")
                border.width: control.visualFocus ? 2 : 0
                border.color: view.theme.blue
            }
        }
    }

    Component {
        id: progress
        BusyIndicator { running: true; implicitHeight: 40; implicitWidth: 40 }
    }

    Component { id: spacer; Item {} }

    Component {
        id: divider
        Rectangle { implicitHeight: 1; color: view.theme.fill }
    }

    Component {
        id: image
        ZelkIcon {
            name: view.element.image
            size: view.element.size > 0 ? Math.min(view.element.size, 36) : 24
            color: view.theme.paint(view.element.foreground, view.theme.primary)
        }
    }

    Component {
        id: badge
        Label {
            text: view.element.text || ""
            // Grows with its text: wraps rather than cuts it.
            wrapMode: Text.Wrap
            topPadding: 3; bottomPadding: 3; leftPadding: 8; rightPadding: 8
            font.pixelSize: view.theme.pixelSize(view.element.style)
            color: view.theme.paint(view.element.foreground, view.theme.primary)
            background: Rectangle {
                radius: view.element.cornerRadius
                color: view.theme.paint(view.element.background, "transparent")
            }
        }
    }

    Component {
        id: row
        Rectangle {
            implicitWidth: rowLayout.implicitWidth + (clickable ? 16 : 0)
            implicitHeight: rowLayout.implicitHeight + (clickable ? 12 : 0)
            id: rowItem
            readonly property bool clickable: view.element.action !== ""
            color: view.theme.paint(view.element.background, "transparent")
            radius: clickable ? 8 : 0
            // A selectable row is reached with Tab and toggled with Space or Enter.
            activeFocusOnTab: clickable && view.live
            border.width: activeFocus ? 2 : 0
            border.color: view.theme.blue
            function toggle() { if (clickable && view.live) view.screen.perform(view.element.action) }
            Keys.onSpacePressed: toggle()
            Keys.onReturnPressed: toggle()
            Accessible.onToggleAction: toggle()
            Accessible.onPressAction: toggle()
            Accessible.role: clickable ? Accessible.CheckBox : Accessible.Grouping
            Accessible.checkable: clickable
            Accessible.checked: view.element.selected
            Accessible.name: {
                var parts = []
                for (var i = 0; i < view.element.children.length; ++i) {
                    var c = view.element.children[i]
                    if (c.text) parts.push(c.text)
                    for (var j = 0; j < c.children.length; ++j) if (c.children[j].text) parts.push(c.children[j].text)
                }
                return parts.join(", ")
            }
            // The last update's width, from its column below.
            property real trailingWidth: 0
            // Too little room beside the name (a narrow phone, large text): the last update
            // moves under the name, beside the icons' column.
            readonly property bool stacked: clickable
                                            && width - 16 - 3 * 8 - (24 + 36) * 1 - trailingWidth < 100 * view.theme.fontScale
            GridLayout {
                id: rowLayout
                anchors.fill: parent
                anchors.margins: parent.clickable ? 6 : 0
                anchors.leftMargin: parent.clickable ? 8 : 0
                anchors.rightMargin: parent.clickable ? 8 : 0
                columnSpacing: 8
                rowSpacing: 4
                // Icons keep their size, and buttons (a device's "Sign out") and a trailing
                // column (the last update) the width they need; texts and the name column give
                // way, down to wrapping or an ellipsis.
                Repeater {
                    model: view.element.children.length
                    delegate: ChildElement {
                        readonly property bool trailing: element.kind === "column" && element.alignment === "trailing"
                        readonly property bool fixed: element.kind === "image" || element.kind === "button"
                                                      || (trailing && !rowItem.stacked)
                        element: view.element.children[index]
                        screen: view.screen
                        theme: view.theme
                        parentEnabled: view.live
                        // The name shortens to two lines; the last update keeps its texts whole.
                        compact: rowItem.clickable && !trailing
                        columnAlignment: trailing && rowItem.stacked ? "leading" : ""
                        onImplicitWidthChanged: if (trailing) rowItem.trailingWidth = Math.ceil(implicitWidth)
                        Component.onCompleted: if (trailing) rowItem.trailingWidth = Math.ceil(implicitWidth)
                        Layout.row: trailing && rowItem.stacked ? 1 : 0
                        Layout.column: trailing && rowItem.stacked ? 1 : index
                        Layout.columnSpan: trailing && rowItem.stacked ? 2 : 1
                        visible: !(element.kind === "spacer" && rowItem.stacked)
                        Layout.fillWidth: !fixed
                        Layout.preferredWidth: Math.ceil(implicitWidth)
                        Layout.maximumWidth: element.kind === "spacer" ? Number.POSITIVE_INFINITY : Math.ceil(implicitWidth)
                        Layout.minimumWidth: fixed ? Math.ceil(implicitWidth) : 0
                        Layout.alignment: trailing && rowItem.stacked ? Qt.AlignLeft | Qt.AlignVCenter : Qt.AlignVCenter
                    }
                }
            }
            TapHandler {
                enabled: rowItem.clickable && view.live
                onTapped: rowItem.toggle()
            }
        }
    }

    Component {
        id: column
        ColumnLayout {
            spacing: view.element.kind === "list" ? 6 : 4
            opacity: view.live ? 1 : 0.55
            Repeater {
                model: view.element.children.length
                delegate: ChildElement {
                    element: view.element.children[index]
                    screen: view.screen
                    theme: view.theme
                    parentEnabled: view.live
                    compact: view.compact
                    // A column placed by its row ("leading" under a device's name) lines up so.
                    readonly property string lineUp: view.columnAlignment || view.element.alignment
                    columnAlignment: view.element.kind === "column" && lineUp !== "center" ? lineUp : ""
                    Layout.fillWidth: true
                    Layout.preferredWidth: Math.ceil(implicitWidth)
                    Layout.maximumWidth: view.element.kind === "list" ? Number.POSITIVE_INFINITY : Math.ceil(implicitWidth)
                    Layout.alignment: lineUp === "leading" ? Qt.AlignLeft
                                    : lineUp === "trailing" ? Qt.AlignRight : Qt.AlignHCenter
                }
            }
        }
    }

    Component {
        id: textField
        // The screen keeps the text: every edit goes to it, and its state comes back as the text.
        TextField {
            id: field
            text: view.element.text || ""
            placeholderText: view.element.placeholder || ""
            enabled: view.live
            padding: 10
            font.pixelSize: view.theme.pixelSize(view.element.style)
            color: view.theme.primary
            placeholderTextColor: view.theme.secondary
            inputMethodHints: Qt.ImhNoPredictiveText | Qt.ImhPreferUppercase
            Accessible.name: placeholderText
            onTextEdited: view.screen.editText(view.element.action, text)
            background: Rectangle {
                radius: 8
                color: "transparent"
                border.width: field.activeFocus ? 2 : 1
                border.color: field.activeFocus ? view.theme.blue : view.theme.secondary
            }
        }
    }

    Component {
        id: codeInput
        CodeInput { screen: view.screen; theme: view.theme }
    }
}
