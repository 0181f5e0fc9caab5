// SPDX-License-Identifier: Apache-2.0
// The road of a challenge walked off screen, with a picture of every screen and state, and the
// screen of the user's own devices.
#pragma once

#include <zelk/platform.hpp>

#include <QString>

#include <string>

class QQmlApplicationEngine;

namespace zelk::example {

/// Walks a challenge of `user` against the sandbox at `platform.baseURL`, then shows the screen
/// of the user's own devices (three of them, on the project `clientID` + "-devices", which it
/// sets up), and writes the pictures into `directory`. Returns the process's exit status.
int runGallery(QQmlApplicationEngine& engine, const Platform& platform, const std::string& clientID,
               const std::string& user, const QString& directory);

}  // namespace zelk::example
