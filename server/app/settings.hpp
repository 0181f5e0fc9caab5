// SPDX-License-Identifier: Apache-2.0
// The server's settings from flags, the environment and a configuration file, and the admin
// token kept in a file only its owner can read.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "app/app.hpp"

namespace zelk::server {

struct ProgramSettings {
  AppConfig app;
  std::string adminTokenFile;
  std::string codeKeyFile;  // "" : a new code key each start
  bool help = false;
  bool version = false;
};

// Reads the settings: flags first, then ZELK_SERVER_<FLAG> variables of `environment`, then the
// `--config` file's "key = value" lines, then the defaults. Throws std::invalid_argument with a
// message naming the setting at fault.
ProgramSettings readSettings(const std::vector<std::string>& args,
                             const std::map<std::string, std::string>& environment,
                             bool sandboxAlias);

// The admin token in `path`, made (256 random bits, the file created with mode 0600) when the
// file does not exist. Throws std::runtime_error when the file cannot be made or read, or when
// others than its owner may read it.
std::string loadOrCreateAdminToken(const std::string& path);

// A secret (256 random bits) kept in `path` the same way; `what` names it in errors.
std::string loadOrCreateSecret(const std::string& path, const std::string& what);

// The help text: every option with its environment variable, the admin commands and the routes.
std::string usage(bool sandboxAlias);

// The names of every setting, as options without their dashes and as configuration file keys.
std::vector<std::string> settingNames();

// A command of `zelk-server admin`: the options it needs, then the others it takes.
struct AdminCommand {
  std::string name, summary;
  std::vector<std::string> required, optional;
};
const std::vector<AdminCommand>& adminCommands();
// The help of the admin commands, and of one of them, for the program called `program`.
std::string adminUsage(const std::string& program);
std::string adminCommandUsage(const std::string& program, const AdminCommand& command);
// Whether the help says what admin option `key` takes.
bool adminOptionDocumented(const std::string& key);

}  // namespace zelk::server
