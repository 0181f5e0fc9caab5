// SPDX-License-Identifier: Apache-2.0
// What an operator reads of a running server: its help and version, the request log and the
// metrics.

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <iostream>
#include <map>
#include <mutex>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <zelk/version.hpp>

#include "app/program.hpp"
#include "app/settings.hpp"
#include "server_test_support.hpp"

namespace {

using nlohmann::json;
using zelk::server::App;
using zelk::testing::HttpClient;
using zelk::testing::RawConnection;
using zelk::testing::ServiceClient;

struct ProgramRun {
  int status = 0;
  std::string out, err;
};

// Runs the program with `args` in this process, with what it prints.
ProgramRun runProgram(std::vector<std::string> args, bool sandboxAlias = false) {
  args.insert(args.begin(), sandboxAlias ? "zelk-sandbox" : "zelk-server");
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  std::ostringstream out, err;
  auto* const oldOut = std::cout.rdbuf(out.rdbuf());
  auto* const oldErr = std::cerr.rdbuf(err.rdbuf());
  ProgramRun run;
  run.status = zelk::server::runProgram(static_cast<int>(args.size()), argv.data(), sandboxAlias);
  std::cout.rdbuf(oldOut);
  std::cerr.rdbuf(oldErr);
  run.out = out.str();
  run.err = err.str();
  return run;
}

TEST(ServerHelp, EveryOptionIsListedWithItsEnvironmentVariable) {
  for (const bool sandbox : {false, true}) {
    const ProgramRun help = runProgram({"--help"}, sandbox);
    EXPECT_EQ(help.status, 0);
    const std::vector<std::string> names = zelk::server::settingNames();
    // kValueFlags and "sandbox": at least every setting the configuration file takes.
    EXPECT_GE(names.size(), 42u);
    for (const std::string& name : names) {
      std::string variable = "ZELK_SERVER_";
      for (char c : name) variable += c == '-' ? '_' : static_cast<char>(std::toupper(c));
      EXPECT_NE(help.out.find("\n  --" + name + " "), std::string::npos) << name;
      EXPECT_NE(help.out.find("[" + variable + "]"), std::string::npos) << name;
    }
    for (const auto& command : zelk::server::adminCommands())
      EXPECT_NE(help.out.find("\n  " + command.name + " "), std::string::npos) << command.name;
    // help2man reads its synopsis and sections from these lines.
    EXPECT_TRUE(help.out.starts_with(std::string("Usage: ") +
                                     (sandbox ? "zelk-sandbox" : "zelk-server") + " [OPTION]..."))
        << help.out;
    EXPECT_NE(help.out.find("\nOptions:\n"), std::string::npos);
    for (const std::string line : {"  -h, --help", "  --version"})
      EXPECT_NE(help.out.find("\n" + line + " "), std::string::npos) << line;
    std::istringstream lines(help.out);
    for (std::string line; std::getline(lines, line);) EXPECT_LE(line.size(), 80u) << line;
  }
}

TEST(ServerHelp, TheVersionIsTheProjects) {
  const ProgramRun version = runProgram({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, std::string("zelk-server ") + ZELK_VERSION + "\n");
  EXPECT_EQ(runProgram({"--version"}, true).out,
            std::string("zelk-sandbox ") + ZELK_VERSION + "\n");
  EXPECT_TRUE(std::regex_match(ZELK_VERSION, std::regex(R"(\d+\.\d+\.\d+)")));
}

TEST(ServerHelp, AdminCommandsHaveHelpOfTheirOwn) {
  const ProgramRun all = runProgram({"admin", "--help"});
  EXPECT_EQ(all.status, 0) << all.err;
  EXPECT_TRUE(all.out.starts_with("Usage: zelk-server admin --url URL --token-file PATH COMMAND"))
      << all.out;
  for (const auto& command : zelk::server::adminCommands()) {
    EXPECT_NE(all.out.find("\n  " + command.name + " "), std::string::npos) << command.name;
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"admin", command.name, "--help"},
          {"admin", "--url", "http://127.0.0.1:9", "--help", command.name}}) {
      const ProgramRun one = runProgram(args);
      EXPECT_EQ(one.status, 0) << command.name << one.err;
      EXPECT_TRUE(one.out.starts_with("Usage: zelk-server admin --url URL --token-file PATH " +
                                      command.name))
          << one.out;
      for (const auto* keys : {&command.required, &command.optional}) {
        for (const std::string& key : *keys) {
          EXPECT_TRUE(zelk::server::adminOptionDocumented(key)) << key;
          EXPECT_NE(one.out.find("\n  --" + key + " "), std::string::npos)
              << command.name << " --" << key;
        }
      }
    }
  }
  const ProgramRun unknown = runProgram({"admin", "nonsense", "--help"});
  EXPECT_EQ(unknown.status, 2);
  EXPECT_NE(unknown.err.find("unknown command 'nonsense'"), std::string::npos) << unknown.err;
  // Without --help, a command still needs the server's address and token.
  const ProgramRun bare = runProgram({"admin", "projects"});
  EXPECT_EQ(bare.status, 2);
  EXPECT_NE(bare.err.find("--url and --token-file are needed"), std::string::npos) << bare.err;
  EXPECT_EQ(runProgram({"admin", "--help"}, true).status, 0);
}

}  // namespace
