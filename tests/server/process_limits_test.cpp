// SPDX-License-Identifier: Apache-2.0
// The zelk-server program as a host runs it: under the limits it sets (a small stack, few file
// descriptors), where what a client sends cannot take it down or keep it busy, and told by
// signals what to do.
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/child_process.hpp"
#include "support/http_client.hpp"
#include "support/raw_connection.hpp"

namespace {

using namespace std::chrono_literals;
using zelk::testing::HttpClient;
using zelk::testing::RawConnection;

// zelk-server in a sandbox of its own, started by a shell that sets `limits` first ("ulimit -s
// 1024"), so that the limits hold for the program and every thread it starts.
class LimitedServer {
 public:
  LimitedServer(const std::string& limits, const std::vector<std::string>& extra)
      : process_(arguments(limits, extra)) {
    const std::string text = process_.readLine();
    const std::string prefix = "zelk-server listening on ";
    if (text.rfind(prefix, 0) != 0) throw std::runtime_error("unexpected output: " + text);
    url_ = text.substr(prefix.size());
    port_ = std::stoi(url_.substr(url_.rfind(':') + 1));
  }
  const std::string& url() const { return url_; }
  int port() const { return port_; }
  // User and system time the process has used so far.
  std::chrono::milliseconds cpu() const {
    std::ifstream file("/proc/" + std::to_string(process_.pid()) + "/stat");
    std::string text((std::istreambuf_iterator<char>(file)), {});
    // The fields after the command's name, which ends with the last ')'.
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
      if (i == 14) utime = std::stoll(field);
      if (i == 15) stime = std::stoll(field);
    }
    return std::chrono::milliseconds((utime + stime) * 1000 / sysconf(_SC_CLK_TCK));
  }
  int stop() { return process_.signalAndWait(SIGTERM); }
  void signal(int number) { ::kill(process_.pid(), number); }

 private:
  static std::vector<std::string> arguments(const std::string& limits,
                                            const std::vector<std::string>& extra) {
    std::vector<std::string> args = {"/bin/sh", "-c", limits + " && exec \"$@\"", "sh",
                                     ZELK_SERVER_COMMAND};
    args.insert(args.end(), {"--sandbox", "--listen", "127.0.0.1:0", "--log-format", "none"});
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
  }

  zelk::testing::ChildProcess process_;
  std::string url_;
  int port_ = 0;
};

// An attach body with `metadata` as it is written.
std::string attachBody(const std::string& metadata) {
  return R"({"user":"u","device_info":{"device":{"type":"mobile"}},)"
         R"("signals":{"iosVendorIdentifier":"vendor-1"},"metadata":)" +
         metadata + "}";
}

int attach(HttpClient& http, const std::string& body) {
  auto reply =
      http.Post("/v2/access", {{"Authorization", "Basic limits:"}}, body, "application/json");
  return reply ? reply->status : 0;
}

TEST(ServerUnderLimits, ADeeplyNestedBodyIsRefusedOnAOneMebibyteStack) {
  LimitedServer server("ulimit -s 1024", {});
  HttpClient http(server.url());
  // 30,000 levels of arrays: under the 64 KiB a body may have.
  const std::string deep = std::string(30'000, '[') + std::string(30'000, ']');
  for (int i = 0; i < 3; ++i) EXPECT_EQ(attach(http, attachBody(deep)), 400);
  // Still there, and answering.
  EXPECT_EQ(attach(http, attachBody(R"({"plan":"pro"})")), 200);
  EXPECT_EQ(server.stop(), 0);
}

TEST(ServerUnderLimits, OutOfFileDescriptorsTheServerWaitsRatherThanSpinsAndThenAnswers) {
#if defined(__SANITIZE_ADDRESS__)
  // UndefinedBehaviorSanitizer's checks read the process's memory map, which takes a descriptor
  // of their own: out of them, its check of Boost's error categories reports a fault that is not.
  GTEST_SKIP() << "the sanitizers need file descriptors of their own";
#endif
  // Without the per-address cap, which would otherwise keep one client from using them all.
  LimitedServer server("ulimit -n 64", {"--max-connections-per-address", "0"});
  std::vector<std::unique_ptr<RawConnection>> connections;
  for (int i = 0; i < 100; ++i)
    connections.push_back(std::make_unique<RawConnection>(server.port()));
  // Some are taken and the others wait in the backlog: the loop cannot take them now.
  std::this_thread::sleep_for(200ms);
  const auto before = server.cpu();
  std::this_thread::sleep_for(1s);
  const auto used = server.cpu() - before;
  EXPECT_LT(used, 100ms) << "the server spun while it could take no connection";
  connections.clear();
  bool answered = false;
  for (int attempt = 0; attempt < 50 && !answered; ++attempt) {
    HttpClient http(server.url());
    answered = attach(http, attachBody("{}")) == 200;
    if (!answered) std::this_thread::sleep_for(100ms);
  }
  EXPECT_TRUE(answered);
  EXPECT_EQ(server.stop(), 0);
}

TEST(ServerUnderLimits, OneAddressCannotTakeEveryDescriptorByDefault) {
  // A quarter of 64 descriptors for one address: the rest stay for everyone else.
  LimitedServer server("ulimit -n 64", {});
  std::vector<std::unique_ptr<RawConnection>> connections;
  int refused = 0;
  for (int i = 0; i < 40; ++i) {
    connections.push_back(std::make_unique<RawConnection>(server.port()));
    connections.back()->send("GET /healthz HTTP/1.1\r\nHost: x\r\n\r\n");
  }
  for (auto& connection : connections) {
    connection->readHead();
    if (connection->received().rfind("HTTP/1.1 503", 0) == 0) ++refused;
  }
  EXPECT_EQ(refused, 40 - 16);
  EXPECT_EQ(server.stop(), 0);
}

// Runs `command` in a shell; its output.
std::string output(const std::string& command) {
  std::unique_ptr<FILE, decltype(&pclose)> pipe(popen(command.c_str(), "r"), pclose);
  std::string text;
  char buffer[512];
  while (pipe && std::fgets(buffer, sizeof buffer, pipe.get())) text += buffer;
  return text;
}

TEST(ServerUnderSignals, SIGHUPTakesARenewedCertificateAndKeepsTheOldOneWhenTheNewIsBroken) {
  char folder[] = "/tmp/zelk-server-hup-XXXXXX";
  ASSERT_TRUE(mkdtemp(folder));
  const std::string dir = folder;
  // A certificate for `name` into cert.pem and key.pem, written beside and moved into place as
  // a renewal does.
  const auto issue = [&](const std::string& name) {
    return std::system(("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 "
                        "-nodes -days 2 -subj /CN=" +
                        name + " -keyout " + dir + "/new.key -out " + dir +
                        "/new.pem 2>/dev/null && mv " + dir + "/new.key " + dir +
                        "/key.pem && mv " + dir + "/new.pem " + dir + "/cert.pem")
                           .c_str());
  };
  ASSERT_EQ(issue("first"), 0);
  LimitedServer server("true", {"--tls-cert", dir + "/cert.pem", "--tls-key", dir + "/key.pem"});
  const auto served = [&] {
    return output("openssl s_client -connect 127.0.0.1:" + std::to_string(server.port()) +
                  " </dev/null 2>/dev/null | openssl x509 -noout -subject 2>/dev/null");
  };
  const auto eventually = [&](const std::string& name) {
    for (int i = 0; i < 100; ++i, std::this_thread::sleep_for(100ms)) {
      if (served().find("CN = " + name) != std::string::npos) return true;
    }
    return false;
  };
  ASSERT_TRUE(eventually("first")) << served();

  ASSERT_EQ(issue("second"), 0);
  server.signal(SIGHUP);
  EXPECT_TRUE(eventually("second")) << served();

  // A renewal caught half written: the server keeps serving the certificate it has.
  { std::ofstream(dir + "/cert.pem") << "-----BEGIN CERTIFICATE-----\nnot one\n"; }
  server.signal(SIGHUP);
  std::this_thread::sleep_for(300ms);
  EXPECT_NE(served().find("CN = second"), std::string::npos);
  EXPECT_EQ(server.stop(), 0);
  std::system(("rm -rf " + dir).c_str());
}

}  // namespace
