// SPDX-License-Identifier: Apache-2.0
// The system images the screens name, drawn as vector paths.
import QtQuick

Canvas {
    id: icon
    property string name
    property color color: "black"
    property real size: 24
    implicitWidth: name === "ipad.landscape" || name === "laptopcomputer" ? size * 1.3 : size
    implicitHeight: size
    onNameChanged: requestPaint()
    onColorChanged: requestPaint()
    onWidthChanged: requestPaint()
    onHeightChanged: requestPaint()
    // The icons stand beside texts that say the same; assistive technology skips them.
    Accessible.ignored: true

    function roundedRect(ctx, x, y, w, h, r) {
        ctx.beginPath()
        ctx.moveTo(x + r, y)
        ctx.arcTo(x + w, y, x + w, y + h, r)
        ctx.arcTo(x + w, y + h, x, y + h, r)
        ctx.arcTo(x, y + h, x, y, r)
        ctx.arcTo(x, y, x + w, y, r)
        ctx.closePath()
    }

    onPaint: {
        var ctx = getContext("2d")
        ctx.reset()
        var w = width, h = height, s = Math.min(w, h)
        ctx.strokeStyle = color
        ctx.fillStyle = color
        ctx.lineWidth = Math.max(1.5, s / 12)
        ctx.lineCap = "round"
        ctx.lineJoin = "round"
        switch (name) {
        case "arrow.right":
            ctx.beginPath()
            ctx.moveTo(w * 0.15, h / 2); ctx.lineTo(w * 0.85, h / 2)
            ctx.moveTo(w * 0.55, h * 0.2); ctx.lineTo(w * 0.85, h / 2); ctx.lineTo(w * 0.55, h * 0.8)
            ctx.stroke()
            break
        case "checkmark.circle.fill":
            ctx.beginPath(); ctx.arc(w / 2, h / 2, s / 2 - 1, 0, 2 * Math.PI); ctx.fill()
            ctx.strokeStyle = "white"
            ctx.beginPath()
            ctx.moveTo(w / 2 - s * 0.22, h / 2); ctx.lineTo(w / 2 - s * 0.05, h / 2 + s * 0.17)
            ctx.lineTo(w / 2 + s * 0.24, h / 2 - s * 0.16)
            ctx.stroke()
            break
        case "circle":
            ctx.beginPath(); ctx.arc(w / 2, h / 2, s / 2 - ctx.lineWidth, 0, 2 * Math.PI); ctx.stroke()
            break
        case "iphone":
            roundedRect(ctx, w / 2 - s * 0.25, h * 0.08, s * 0.5, h * 0.84, s * 0.08); ctx.stroke()
            ctx.beginPath(); ctx.moveTo(w / 2 - s * 0.07, h * 0.15); ctx.lineTo(w / 2 + s * 0.07, h * 0.15); ctx.stroke()
            break
        case "ipad.landscape":
            roundedRect(ctx, w * 0.08, h * 0.2, w * 0.84, h * 0.6, s * 0.08); ctx.stroke()
            break
        default: // laptopcomputer
            roundedRect(ctx, w * 0.18, h * 0.22, w * 0.64, h * 0.45, s * 0.05); ctx.stroke()
            ctx.beginPath(); ctx.moveTo(w * 0.05, h * 0.78); ctx.lineTo(w * 0.95, h * 0.78); ctx.stroke()
        }
    }
}
