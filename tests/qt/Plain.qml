// SPDX-License-Identifier: Apache-2.0
import QtQuick

Rectangle {
    width: 390
    height: 844
    color: "#F0F0F0"
}
