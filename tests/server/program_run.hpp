// SPDX-License-Identifier: Apache-2.0
#pragma once

// Runs zelk-server's command line in the test's own process, with what it prints.

#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "app/program.hpp"

namespace zelk::testing {

struct ProgramRun {
  int status = 0;
  std::string out, err;
};

inline ProgramRun runProgram(std::vector<std::string> args, bool sandboxAlias = false) {
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

}  // namespace zelk::testing
