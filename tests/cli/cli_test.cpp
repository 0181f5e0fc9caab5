// SPDX-License-Identifier: Apache-2.0
// The zelk command as a user runs it: arguments checked before anything is sent, the usual exit
// codes, and a listener that sleeps while its stream is quiet.
#include "support/scripted_server.hpp"

#include <signal.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

namespace zelk::testing {
namespace {

using namespace std::chrono_literals;

// A running zelk command with its output collected.
class Command {
 public:
  explicit Command(std::vector<std::string> args) {
    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)
      throw std::runtime_error("pipe");
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(out[1], STDOUT_FILENO);
      ::dup2(err[1], STDERR_FILENO);
      // The program, or in a cross build the emulator that runs it.
      std::vector<const char*> command{ZELK_CLI_COMMAND};
      std::vector<char*> argv;
      for (const char* word : command) argv.push_back(const_cast<char*>(word));
      for (auto& arg : args) argv.push_back(arg.data());
      argv.push_back(nullptr);
      ::execv(argv.front(), argv.data());
      ::_exit(127);
    }
    ::close(out[1]);
    ::close(err[1]);
    out_ = out[0];
    err_ = err[0];
  }
  ~Command() {
    if (!finished_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    ::close(out_);
    ::close(err_);
  }

  pid_t pid() const { return pid_; }
  const std::string& out() const { return outText_; }
  const std::string& err() const { return errText_; }

  /// Collects output until `done` holds or the command has closed its output; false when
  /// `limit` passes first.
  template <class Done>
  bool readUntil(Done done, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done() && (outOpen_ || errOpen_)) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left <= 0ms) return false;
      pollfd fds[] = {{outOpen_ ? out_ : -1, POLLIN, 0}, {errOpen_ ? err_ : -1, POLLIN, 0}};
      if (::poll(fds, 2, static_cast<int>(left.count())) <= 0) continue;
      if (fds[0].revents != 0) outOpen_ = drain(out_, outText_);
      if (fds[1].revents != 0) errOpen_ = drain(err_, errText_);
    }
    return done();
  }

  /// Waits for the command to end and returns its exit status; -1 when it is still running after
  /// `limit` (it is then killed).
  int exitStatus(std::chrono::milliseconds limit = 10s) {
    readUntil([] { return false; }, limit);
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int status = 0;
    while (::waitpid(pid_, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) return -1;
      std::this_thread::sleep_for(5ms);
    }
    finished_ = true;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

 private:
  // Reads what is there; false once the pipe has ended.
  static bool drain(int fd, std::string& text) {
    char buffer[4096];
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got <= 0) return got < 0 && errno == EINTR;
    text.append(buffer, static_cast<std::size_t>(got));
    return true;
  }

  pid_t pid_ = -1;
  int out_ = -1, err_ = -1;
  std::string outText_, errText_;
  bool outOpen_ = true, errOpen_ = true;
  bool finished_ = false;
};

struct UsageCase {
  std::vector<std::string> args;
  std::string message;
};

TEST(CLITest, UsageErrorsEndAtOnceWithStatusTwoAndSayWhatIsWrong) {
  const std::vector<UsageCase> cases = {
      {{"listen", "--url", "notaurl"}, "--url must be an http or https URL"},
      {{"listen", "--url", "ftp://x/"}, "--url must be an http or https URL"},
      {{"listen", "--url", "http://127.0.0.1:9/", "--header", "X-A: 1\r\nX-Injected: yes"},
       "--header must not contain control characters"},
      {{"attach", "--client-id", "p"}, "--user is required"},
      {{"detach", "--client-id", "p", "--user", "u"}, "--device is required"},
      {{"identify", "--client-id", "p", "--timeout", "-5"}, "--timeout takes a whole number"},
      {{"identify", "--client-id", "p", "--timeout", "0"}, "--timeout takes a whole number"},
      {{"identify", "--client-id", "p", "--timeout", "5abc"}, "--timeout takes a whole number"},
      {{"identify", "--client-id", "p", "--base-url", "not a url"},
       "--base-url must be an http or https URL"},
      {{"attach", "--client-id", "p\r\nX-Injected: yes", "--user", "u"},
       "--client-id must not contain control characters"},
  };
  for (const auto& [args, message] : cases) {
    Command command(args);
    EXPECT_EQ(command.exitStatus(), 2) << args[0] << " " << args[2];
    EXPECT_TRUE(command.err().starts_with("zelk: " + message)) << command.err();
    EXPECT_EQ(command.out(), "");
  }
}

// Voluntary context switches of the process's main thread so far.
long mainThreadWakeUps(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.starts_with("voluntary_ctxt_switches:")) {
      return std::stol(line.substr(line.find(':') + 1));
    }
  }
  return -1;
}

TEST(CLITest, ListenSleepsWhileTheStreamIsQuietAndEndsOnAnInterruption) {
  ScriptedServer server([](const ScriptedRequest&) {
    ScriptedReply reply;
    reply.headers = {{"Content-Type", "text/event-stream"}};
    reply.body = "data: hello\n\n";
    reply.keepOpen = true;
    return reply;
  });
  Command command({"listen", "--url", server.baseURL() + "/stream"});
  ASSERT_TRUE(command.readUntil(
      [&] { return command.out().find("data=\"hello\"") != std::string::npos; }, 10s))
      << command.out() << command.err();

  const long before = mainThreadWakeUps(command.pid());
  std::this_thread::sleep_for(1200ms);
  const long after = mainThreadWakeUps(command.pid());
  ASSERT_GE(before, 0);
  // Polling five times a second would show about six wake-ups here.
  EXPECT_LE(after - before, 1);

  ::kill(command.pid(), SIGTERM);
  EXPECT_EQ(command.exitStatus(), 0) << command.err();
  EXPECT_EQ(command.out(), "opened\nmessage type=\"message\" id=\"\" data=\"hello\"\nclosed\n");
}

TEST(CLITest, ListenEndsWhenTheStreamShutsDownForGood) {
  ScriptedServer server([](const ScriptedRequest&) { return ScriptedReply{204, {}, ""}; });
  Command command({"listen", "--url", server.baseURL() + "/stream"});
  EXPECT_EQ(command.exitStatus(), 0) << command.err();
  EXPECT_EQ(server.requestCount(), 1u);
}

}  // namespace
}  // namespace zelk::testing
