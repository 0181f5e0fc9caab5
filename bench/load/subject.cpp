// SPDX-License-Identifier: Apache-2.0
#include "subject.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace zelk::bench {
namespace {

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The value after "<name>:" on a line of a /proc key-value file, in KiB.
long kibField(const std::string& text, std::string_view name) {
  std::size_t at = 0;
  while ((at = text.find(name, at)) != std::string::npos) {
    if ((at == 0 || text[at - 1] == '\n') && text.compare(at + name.size(), 1, ":") == 0)
      return std::strtol(text.c_str() + at + name.size() + 1, nullptr, 10);
    at += name.size();
  }
  return 0;
}

}  // namespace

long clockTicksPerSecond() {
  static const long ticks = sysconf(_SC_CLK_TCK);
  return ticks;
}

ProcessSample sampleProcess(pid_t pid) {
  const std::string base = "/proc/" + std::to_string(pid);
  const std::string status = readFile(base + "/status");
  if (status.empty()) throw std::runtime_error("process " + std::to_string(pid) + " is gone");
  ProcessSample sample;
  sample.rssKiB = kibField(status, "VmRSS");
  sample.pssKiB = kibField(readFile(base + "/smaps_rollup"), "Pss");
  // Fields 14 and 15 of stat, counted after the command name, which may hold spaces.
  const std::string stat = readFile(base + "/stat");
  const auto close = stat.rfind(')');
  if (close != std::string::npos) {
    std::istringstream fields(stat.substr(close + 2));
    std::string field;
    for (int index = 3; index <= 15 && fields >> field; ++index) {
      if (index >= 14) sample.cpuTicks += std::strtol(field.c_str(), nullptr, 10);
    }
  }
  return sample;
}

Subject::Subject(std::string label, std::vector<std::string> command)
    : label_(std::move(label)), command_(std::move(command)) {
  if (command_.empty()) throw std::runtime_error(label_ + ": empty command");
}

Subject::~Subject() {
  stop(std::chrono::seconds(5));
  if (!logPath_.empty()) ::unlink(logPath_.c_str());
}

bool Subject::running() const {
  return pid_ > 0 && ::kill(pid_, 0) == 0;
}

void Subject::start(std::chrono::seconds timeout) {
  char path[] = "/tmp/zelk-bench-subject-XXXXXX";
  const int log = ::mkstemp(path);
  if (log < 0) throw std::runtime_error(std::string("mkstemp: ") + std::strerror(errno));
  logPath_ = path;

  std::vector<char*> argv;
  for (auto& word : command_) argv.push_back(word.data());
  argv.push_back(nullptr);
  pid_ = ::fork();
  if (pid_ < 0) throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
  if (pid_ == 0) {
    const int devnull = ::open("/dev/null", O_RDONLY);
    ::dup2(devnull, 0);
    ::dup2(log, 1);
    ::dup2(log, 2);
    ::execvp(argv[0], argv.data());
    std::fprintf(stderr, "cannot run %s: %s\n", argv[0], std::strerror(errno));
    std::_Exit(127);
  }
  ::close(log);

  const auto deadline = std::chrono::steady_clock::now() + timeout;
  constexpr std::string_view kReady = " listening on ";
  while (std::chrono::steady_clock::now() < deadline) {
    const std::string output = readFile(logPath_);
    if (const auto at = output.find(kReady); at != std::string::npos) {
      const auto end = output.find('\n', at);
      if (end != std::string::npos) {
        baseURL_ = output.substr(at + kReady.size(), end - at - kReady.size());
        const auto endpoint = parseBaseURL(baseURL_);
        if (!endpoint)
          throw std::runtime_error(label_ + ": cannot use the base URL '" + baseURL_ +
                                   "' (plain http on an IPv4 address is needed)");
        endpoint_ = *endpoint;
        return;
      }
    }
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      throw std::runtime_error(label_ + " ended before it was ready:\n" + logTail());
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  throw std::runtime_error(label_ + " printed no 'listening on' line within " +
                           std::to_string(timeout.count()) + " s:\n" + logTail());
}

void Subject::stop(std::chrono::seconds grace) {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  const auto deadline = std::chrono::steady_clock::now() + grace;
  int status = 0;
  while (::waitpid(pid_, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() >= deadline) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  pid_ = -1;
}

std::string Subject::logTail(std::size_t lines) const {
  const std::string output = readFile(logPath_);
  std::size_t at = output.size();
  for (std::size_t seen = 0; at > 0 && seen <= lines;) {
    --at;
    if (output[at] == '\n') ++seen;
  }
  return output.substr(at);
}

}  // namespace zelk::bench
