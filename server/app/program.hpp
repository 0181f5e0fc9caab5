// SPDX-License-Identifier: Apache-2.0
// The zelk-server program: its command line, environment and configuration file, the admin
// token, signals, and the `admin` subcommands that call a running server's admin API.
#pragma once

namespace zelk::server {

// Runs the program; `sandboxAlias` for the zelk-sandbox name, which always runs in sandbox mode.
int runProgram(int argc, char** argv, bool sandboxAlias);

}  // namespace zelk::server
