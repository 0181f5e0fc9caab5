// SPDX-License-Identifier: Apache-2.0
// A server under measurement: started as a child process whose standard output and error go to
// a temporary log file, found ready by its "... listening on <base URL>" line, and read from
// /proc while it runs. Failures throw std::runtime_error.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

#include "http_client.hpp"

namespace zelk::bench {

struct ProcessSample {
  long rssKiB = 0;    // VmRSS
  long pssKiB = 0;    // Pss from smaps_rollup; 0 where the kernel does not offer it
  long cpuTicks = 0;  // user + system time, in clock ticks
};

// Reads the sample of a running process; throws when it is gone.
ProcessSample sampleProcess(pid_t pid);
long clockTicksPerSecond();

class Subject {
 public:
  // `command` is run as it is (no shell); the process it starts is the one measured.
  Subject(std::string label, std::vector<std::string> command);
  ~Subject();
  Subject(const Subject&) = delete;
  Subject& operator=(const Subject&) = delete;

  void start(std::chrono::seconds timeout = std::chrono::seconds(30));
  // SIGTERM, then SIGKILL when it has not ended within `grace`.
  void stop(std::chrono::seconds grace = std::chrono::seconds(10));
  bool running() const;

  const std::string& label() const { return label_; }
  pid_t pid() const { return pid_; }
  const std::string& baseURL() const { return baseURL_; }
  const Endpoint& endpoint() const { return endpoint_; }
  // The last lines of the child's output, for error messages.
  std::string logTail(std::size_t lines = 10) const;

 private:
  std::string label_;
  std::vector<std::string> command_;
  std::string logPath_;
  pid_t pid_ = -1;
  std::string baseURL_;
  Endpoint endpoint_;
};

}  // namespace zelk::bench
