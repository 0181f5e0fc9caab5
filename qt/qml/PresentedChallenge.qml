// SPDX-License-Identifier: Apache-2.0
// The root of the modal window in which a client presents its own challenges.
import QtQuick

ChallengeOverlay {
    required model
    width: 390
    height: 844
}
