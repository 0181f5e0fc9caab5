// SPDX-License-Identifier: Apache-2.0
// Colours and text sizes of the challenge screens, following the host's light or dark palette.
import QtQuick

QtObject {
    id: theme

    property SystemPalette palette: SystemPalette { colorGroup: SystemPalette.Active }
    readonly property bool dark: palette.window.hslLightness < 0.5

    readonly property color background: palette.window
    readonly property color primary: palette.windowText
    readonly property color secondary: dark ? Qt.rgba(0.92, 0.92, 0.96, 0.6) : Qt.rgba(0.24, 0.24, 0.26, 0.6)
    readonly property color red: dark ? "#FF453A" : "#FF3B30"
    readonly property color blue: dark ? "#0A84FF" : "#007AFF"
    readonly property color fill: dark ? Qt.rgba(0.47, 0.47, 0.5, 0.36) : Qt.rgba(0.47, 0.47, 0.5, 0.2)

    // The colour of an element's paint ({role, color, opacity}); `fallback` when it has none.
    function paint(p, fallback) {
        if (!p)
            return fallback
        var base
        switch (p.role) {
        case "exact": base = p.color; break
        case "secondary": base = secondary; break
        case "white": base = "white"; break
        case "red": base = red; break
        case "blue": base = blue; break
        case "fill": base = fill; break
        case "background": base = background; break
        default: base = primary
        }
        var c = Qt.color(base)
        return Qt.rgba(c.r, c.g, c.b, c.a * p.opacity)
    }

    // White text keeps its contrast on a dark fill; on a light brand colour it turns dark.
    function onFill(foreground, fill) {
        var f = Qt.color(foreground), b = Qt.color(fill)
        if (b.a < 0.5 || f.hslLightness < 0.9)
            return foreground
        var luminance = 0.2126 * b.r + 0.7152 * b.g + 0.0722 * b.b
        return luminance > 0.6 ? "#1C1C1E" : foreground
    }

    // How much larger than at 100 % the texts are drawn. While `followsApplicationFont` is true
    // the challenge sets it from the host's application font (QGuiApplication::setFont) against
    // the platform's general font; a host that keeps a text scale of its own sets
    // `followsApplicationFont` false and `fontScale` itself.
    property real fontScale: 1
    property bool followsApplicationFont: true

    function pixelSize(style) {
        var size
        switch (style) {
        case "title": size = 26; break
        case "subheadline": size = 14; break
        case "caption": size = 11; break
        case "footnote": size = 12; break
        default: size = 16
        }
        return Math.round(size * fontScale)
    }

    function weight(name) {
        return name === "bold" ? Font.Bold : name === "medium" ? Font.Medium : Font.Normal
    }

    function alignment(name) {
        return name === "leading" ? Text.AlignLeft : name === "trailing" ? Text.AlignRight : Text.AlignHCenter
    }
}
