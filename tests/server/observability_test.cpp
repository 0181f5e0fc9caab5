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
#include "program_run.hpp"
#include "server_test_support.hpp"

namespace {

using nlohmann::json;
using zelk::server::App;
using zelk::testing::HttpClient;
using zelk::testing::ProgramRun;
using zelk::testing::RawConnection;
using zelk::testing::runProgram;
using zelk::testing::ServiceClient;

// When this test program started, to the second.
const std::time_t kStarted = std::time(nullptr);

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

// The samples of a Prometheus text exposition, by name with its labels as written.
std::map<std::string, double> samples(const std::string& text) {
  std::map<std::string, double> values;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (line.empty() || line[0] == '#') continue;
    const auto space = line.rfind(' ');
    values[line.substr(0, space)] = std::stod(line.substr(space + 1));
  }
  return values;
}

class ServerMetrics : public ::testing::Test {
 protected:
  void SetUp() override {
    app = std::make_unique<App>(zelk::testing::serverConfig());
    ASSERT_TRUE(app->start(nullptr));
  }
  std::map<std::string, double> scrape() {
    const auto reply = HttpClient(app->baseURL()).Get("/metrics");
    EXPECT_TRUE(reply && reply->status == 200);
    text = reply ? reply->body : "";
    return samples(text);
  }
  std::unique_ptr<App> app;
  std::string text;
};

TEST_F(ServerMetrics, EveryRouteHasALatencyHistogramLabelledByRouteNotByPath) {
  ServiceClient p = zelk::testing::makeProject(app->baseURL(), "metered");
  const json attached = p.attach("u", "A");
  p.attach("u", "B");
  EXPECT_EQ(p.get("/v2/challenge/ch_0000000000000000000000").status, 404);
  EXPECT_EQ(p.get("/v2/challenge/ch_1111111111111111111111/devices").status, 404);
  EXPECT_EQ(p.get("/healthz").status, 200);
  EXPECT_EQ(p.get("/nowhere/at/all").status, 404);
  RawConnection stream(app->port());
  stream.send(p.listenRequest(attached["device_id"], attached["access"]));
  ASSERT_TRUE(stream.readHead());
  // The admin API's routes apart, with anything else under /admin/ as "admin".
  const auto admin = [&](const std::string& method, const std::string& path) {
    return p.admin(method, path, json::object()).status;
  };
  EXPECT_EQ(admin("GET", "/admin/user?client_id=metered&user=u"), 200);
  EXPECT_EQ(admin("GET", "/admin/projects"), 200);
  EXPECT_EQ(admin("GET", "/admin/user/u"), 404);

  const auto values = scrape();
  const std::map<std::string, double> expected = {
      {"attach", 2},         {"challenge", 1},  {"challenge-devices", 1},
      {"healthz", 1},        {"unknown", 1},    {"listen", 1},
      {"admin/projects", 2}, {"admin/user", 1}, {"admin", 1}};
  for (const auto& [route, count] : expected) {
    const std::string labels = "{route=\"" + route + "\"";
    EXPECT_EQ(values.at("zelk_http_request_duration_seconds_count" + labels + "}"), count)
        << route << "\n"
        << text;
    EXPECT_GE(values.at("zelk_http_request_duration_seconds_sum" + labels + "}"), 0) << route;
    // Cumulative buckets, ending at the count.
    int buckets = 0;
    for (const auto& [name, value] : values) {
      if (!name.starts_with("zelk_http_request_duration_seconds_bucket" + labels + ",le="))
        continue;
      ++buckets;
      if (name.find("le=\"+Inf\"") != std::string::npos) {
        EXPECT_EQ(value, count) << name;
        continue;
      }
      EXPECT_LE(value, count) << name;
    }
    EXPECT_EQ(buckets, static_cast<int>(zelk::server::Metrics::kBuckets.size()) + 1) << route;
  }
  // The metrics call itself is only counted once answered: its own scrape is not in it yet.
  EXPECT_EQ(values.count("zelk_http_request_duration_seconds_count{route=\"metrics\"}"), 0u);
  EXPECT_EQ(scrape().at("zelk_http_request_duration_seconds_count{route=\"metrics\"}"), 1);
  // No identifier of a challenge or a device, and no path, becomes a label.
  for (const std::string& id :
       std::vector<std::string>{"ch_0000000000000000000000", "ch_1111111111111111111111",
                                attached["device_id"].get<std::string>(), "/nowhere", "user/u"})
    EXPECT_EQ(text.find(id), std::string::npos) << id;
}

TEST_F(ServerMetrics, TheProcessAndTheBuildAreDescribed) {
  std::clock_t cpuBefore = std::clock();
  auto values = scrape();
  const double cpuAfter = static_cast<double>(std::clock()) / CLOCKS_PER_SEC;
  EXPECT_EQ(values.at(std::string("zelk_build_info{version=\"") + ZELK_VERSION + "\"}"), 1);
  const json health = json::parse(HttpClient(app->baseURL()).Get("/healthz")->body);
  EXPECT_EQ(health["version"], ZELK_VERSION);
  // The server runs in this process: its CPU time is this program's (to the kernel's tick).
  const double cpu = values.at("process_cpu_seconds_total");
  EXPECT_GE(cpu, static_cast<double>(cpuBefore) / CLOCKS_PER_SEC - 0.05);
  EXPECT_LE(cpu, cpuAfter + 0.05);
  EXPECT_GE(values.at("process_start_time_seconds"), static_cast<double>(kStarted) - 2);
  EXPECT_LE(values.at("process_start_time_seconds"), static_cast<double>(kStarted) + 2);
  EXPECT_GT(values.at("process_resident_memory_bytes"), 1 << 20);
  EXPECT_GE(values.at("process_virtual_memory_bytes"), values.at("process_resident_memory_bytes"));
  rlimit limit{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
  EXPECT_EQ(values.at("process_max_fds"), static_cast<double>(limit.rlim_cur));

  // Fifty more descriptors open show as fifty more; the server's own may come and go by a few.
  const double open = values.at("process_open_fds");
  EXPECT_GT(open, 3);
  std::vector<int> opened;
  for (int i = 0; i < 50; ++i) opened.push_back(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  values = scrape();
  for (int fd : opened) ::close(fd);
  EXPECT_GE(values.at("process_open_fds"), open + 48);
  EXPECT_LE(values.at("process_open_fds"), open + 52);
  // Types as Prometheus expects them.
  for (const std::string type :
       {"# TYPE process_cpu_seconds_total counter", "# TYPE process_open_fds gauge",
        "# TYPE zelk_build_info gauge", "# TYPE zelk_http_request_duration_seconds histogram"})
    EXPECT_NE(text.find(type + "\n"), std::string::npos) << type;
}

// The lines a server logs for an attach that carries `forwardedFor`, with `trustedProxies`.
std::vector<std::string> logOfAnAttach(std::vector<std::string> trustedProxies,
                                       const std::string& forwardedFor,
                                       zelk::server::LogFormat format) {
  std::mutex mutex;
  std::vector<std::string> lines;
  auto config = zelk::testing::serverConfig();
  config.logFormat = format;
  config.rateLimits.trustedProxies = std::move(trustedProxies);
  config.logSink = [&](const std::string& line) {
    std::lock_guard lock(mutex);
    lines.push_back(line);
  };
  App app(config);
  if (!app.start(nullptr)) return {};
  zelk::testing::makeProject(app.baseURL(), "logged");
  HttpClient http(app.baseURL());
  const auto reply = http.Post(
      "/v2/access", {{"Authorization", "Basic logged:"}, {"X-Forwarded-For", forwardedFor}},
      ServiceClient::attachBody("u", "A").dump(), "application/json");
  EXPECT_TRUE(reply && reply->status == 200);
  app.stop();
  std::lock_guard lock(mutex);
  return lines;
}

TEST(ServerLog, TheRequestLineNamesTheClientBehindTrustedProxiesOnly) {
  const std::string time = R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)";
  // From a trusted proxy on loopback: the address it forwarded for.
  auto lines =
      logOfAnAttach({"127.0.0.1"}, "198.51.100.4, 203.0.113.9", zelk::server::LogFormat::text);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_TRUE(
      std::regex_match(lines[1], std::regex(time + R"( 203\.0\.113\.9 POST /v2/access 200 .*)")))
      << lines[1];
  lines = logOfAnAttach({"127.0.0.0/8"}, "203.0.113.9", zelk::server::LogFormat::json);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(json::parse(lines[1])["peer"], "203.0.113.9") << lines[1];
  // A peer that is no trusted proxy cannot choose the address it is logged under.
  for (const auto& trusted : {std::vector<std::string>{}, std::vector<std::string>{"10.0.0.0/8"}}) {
    lines = logOfAnAttach(trusted, "203.0.113.9", zelk::server::LogFormat::text);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(
        std::regex_match(lines[1], std::regex(time + R"( 127\.0\.0\.1 POST /v2/access 200 .*)")))
        << lines[1];
  }
}

}  // namespace
