// SPDX-License-Identifier: Apache-2.0
#pragma once

// A program a test runs beside itself, with its standard output read by the test.

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

namespace zelk::testing {

class ChildProcess {
 public:
  // Starts `args` (the program by its path first). The child gets `stopSignal` when this goes,
  // unless signalAndWait() ended it before.
  explicit ChildProcess(std::vector<std::string> args, int stopSignal = SIGKILL)
      : stopSignal_(stopSignal) {
    int out[2];
    if (pipe(out) != 0) throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    const int spawned = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    if (spawned != 0) {
      close(out[0]);
      throw std::runtime_error("cannot start " + args.front());
    }
    stdout_ = fdopen(out[0], "r");
  }
  ~ChildProcess() {
    if (pid_ > 0) signalAndWait(stopSignal_);
    if (stdout_) std::fclose(stdout_);
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // The next line the child writes, without its end; "" when it ends its output first.
  std::string readLine() {
    char line[512];
    if (!stdout_ || !std::fgets(line, sizeof line, stdout_)) return "";
    std::string text = line;
    if (!text.empty() && text.back() == '\n') text.pop_back();
    return text;
  }
  pid_t pid() const { return pid_; }
  // Sends `signal` and returns the exit status.
  int signalAndWait(int signal) {
    kill(pid_, signal);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return status;
  }

 private:
  pid_t pid_ = -1;
  FILE* stdout_ = nullptr;
  int stopSignal_;
};

}  // namespace zelk::testing
