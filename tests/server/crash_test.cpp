// SPDX-License-Identifier: Apache-2.0
// The zelk-server program killed without warning in the middle of a stream of attaches: once
// started again on the same records (a SQLite file, or a PostgreSQL database), every attach it had
// answered is there.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "storage/scratch_database.hpp"
#include "support/child_process.hpp"
#include "support/http_client.hpp"
#include "support/scripted_server.hpp"

namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using zelk::testing::HttpClient;

class ServerProcess {
 public:
  ServerProcess(const std::vector<std::string>& records, const std::string& tokenFile,
                const std::vector<std::string>& extra = {})
      : process_(arguments(records, tokenFile, extra)) {
    // The first line names the address.
    const std::string text = process_.readLine();
    if (text.empty()) throw std::runtime_error("no output");
    const std::string prefix = "zelk-server listening on ";
    if (text.rfind(prefix, 0) != 0) throw std::runtime_error("unexpected output: " + text);
    url_ = text.substr(prefix.size());
  }
  // Sends `signal` and returns the exit status.
  int signalAndWait(int signal) { return process_.signalAndWait(signal); }
  const std::string& url() const { return url_; }

 private:
  static std::vector<std::string> arguments(const std::vector<std::string>& records,
                                            const std::string& tokenFile,
                                            const std::vector<std::string>& extra) {
    // The program, or in a cross build the emulator that runs it.
    std::vector<std::string> args = {ZELK_SERVER_COMMAND};
    args.insert(args.end(), records.begin(), records.end());
    // The attaches all come from one address, far faster than the default rate limits allow.
    args.insert(args.end(),
                {"--listen", "127.0.0.1:0", "--log-format", "none", "--admin-token-file", tokenFile,
                 "--rate-limit-address", "0", "--rate-limit-client", "0"});
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
  }

  zelk::testing::ChildProcess process_;
  std::string url_;
};

std::string readToken(const std::string& path) {
  std::ifstream in(path);
  std::string token;
  std::getline(in, token);
  return token;
}

json attachBody(const std::string& user, const std::string& vendor) {
  return {{"user", user},
          {"device_info", json::object()},
          {"signals", {{"iosVendorIdentifier", vendor}}}};
}

// Where the killed server keeps its records: a SQLite file in the test's folder, or a database
// of its own on the PostgreSQL server env ZELK_TEST_POSTGRES names.
class ServerCrash : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    const bool postgres = std::string(GetParam()) == "postgres";
    const char* admin = std::getenv("ZELK_TEST_POSTGRES");
    if (postgres && (!admin || !*admin))
      GTEST_SKIP() << "ZELK_TEST_POSTGRES is not set (start a server with scripts/postgres.sh)";
    char pattern[] = "/tmp/zelk-crash-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir = pattern;
    tokenFile = dir + "/token";
    if (postgres) {
      database = std::make_unique<zelk::server::ScratchDatabase>(admin);
      records = {"--database", database->url(), "--code-key-file", dir + "/code-key"};
    } else {
      records = {"--data", dir + "/zelk.db"};
    }
  }
  void TearDown() override {
    if (dir.empty()) return;
    if (HasFailure()) {
      std::fprintf(stderr, "the records are kept in %s\n",
                   database ? database->name().c_str() : dir.c_str());
      database.release();  // left for a look
    }
    std::system(("rm -rf " + dir).c_str());
  }

  std::string dir, tokenFile;
  std::unique_ptr<zelk::server::ScratchDatabase> database;
  std::vector<std::string> records;  // the server's arguments that say where
};

TEST_P(ServerCrash, EveryAnsweredAttachOutlivesAKillDuringAThousandAttaches) {
  constexpr int kClients = 4, kAttachesEach = 250;

  std::vector<std::set<std::string>> answered(kClients);
  std::atomic<int> answeredCount{0};
  {
    ServerProcess server(records, tokenFile);
    const zelk::testing::Headers admin = {{"Authorization", "Bearer " + readToken(tokenFile)}};
    HttpClient http(server.url());
    auto configured = http.Post("/admin/projects", admin,
                                R"({"client_id":"crash","overall_limit":1000000,"mobile_limit":0})",
                                "application/json");
    ASSERT_TRUE(configured && configured->status == 200);

    std::vector<std::thread> clients;
    for (int c = 0; c < kClients; ++c) {
      clients.emplace_back([&, c] {
        HttpClient client(server.url());
        for (int i = 0; i < kAttachesEach; ++i) {
          auto reply = client.Post(
              "/v2/access", {{"Authorization", "Basic crash:"}},
              attachBody("user-" + std::to_string(c), std::to_string(c) + "-" + std::to_string(i))
                  .dump(),
              "application/json");
          if (!reply || reply->status != 200) return;  // the server is gone
          answered[c].insert(json::parse(reply->body)["device_id"].get<std::string>());
          ++answeredCount;
        }
      });
    }
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (answeredCount < 400 && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(1ms);
    const int status = server.signalAndWait(SIGKILL);
    EXPECT_TRUE(WIFSIGNALED(status));
    for (auto& client : clients) client.join();
  }
  ASSERT_GE(answeredCount.load(), 400);
  ASSERT_LT(answeredCount.load(), kClients * kAttachesEach) << "the kill came too late";

  ServerProcess again(records, tokenFile);
  HttpClient http(again.url());
  const zelk::testing::Headers admin = {{"Authorization", "Bearer " + readToken(tokenFile)}};
  int stored = 0;
  for (int c = 0; c < kClients; ++c) {
    auto reply = http.Get("/admin/user?client_id=crash&user=user-" + std::to_string(c), admin);
    ASSERT_TRUE(reply && reply->status == 200);
    std::set<std::string> devices;
    const json user = json::parse(reply->body);
    for (const auto& device : user["devices"])
      devices.insert(device["device_id"].get<std::string>());
    for (const std::string& id : answered[c]) EXPECT_TRUE(devices.contains(id)) << id;
    // At most the attach in flight when the server died was stored without an answer.
    EXPECT_GE(devices.size(), answered[c].size());
    EXPECT_LE(devices.size(), answered[c].size() + 1);
    stored += static_cast<int>(devices.size());
  }
  EXPECT_GE(stored, answeredCount.load());
  // SIGTERM drains and ends the program normally.
  const int status = again.signalAndWait(SIGTERM);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

// A webhook event stored with its attach is sent at least once, even when the server is killed
// while the receiver holds its first delivery: the server started again sends it again.
TEST_P(ServerCrash, AnEventInTheOutboxOutlivesAKillDuringItsDelivery) {
  std::atomic<int> received{0};
  // The first delivery is answered only after a minute, long after the kill.
  zelk::testing::ScriptedServer receiver([&](const zelk::testing::ScriptedRequest&) {
    zelk::testing::ScriptedReply reply;
    if (received++ == 0) reply.delay = 60s;
    return reply;
  });
  {
    ServerProcess server(records, tokenFile, {"--outbox-retry-base", "1"});
    const zelk::testing::Headers admin = {{"Authorization", "Bearer " + readToken(tokenFile)}};
    HttpClient http(server.url());
    const json project = {{"client_id", "hooked"},
                          {"webhook_url", receiver.baseURL() + "/events"},
                          {"webhook_secret", "0123456789abcdef0123456789abcdef"}};
    auto configured = http.Post("/admin/projects", admin, project.dump(), "application/json");
    ASSERT_TRUE(configured && configured->status == 200);
    auto attached = http.Post("/v2/access", {{"Authorization", "Basic hooked:"}},
                              attachBody("ida", "vendor-1").dump(), "application/json");
    ASSERT_TRUE(attached && attached->status == 200);
    ASSERT_TRUE(receiver.waitForRequests(1, 10s));
    EXPECT_TRUE(WIFSIGNALED(server.signalAndWait(SIGKILL)));
  }
  ServerProcess again(records, tokenFile, {"--outbox-retry-base", "1"});
  ASSERT_TRUE(receiver.waitForRequests(2, 10s));
  const auto requests = receiver.requests();
  EXPECT_EQ(json::parse(requests[0].body)["id"], json::parse(requests[1].body)["id"]);
  EXPECT_EQ(json::parse(requests[1].body)["type"], "device.attached");
}

INSTANTIATE_TEST_SUITE_P(Stores, ServerCrash, ::testing::Values("sqlite", "postgres"),
                         [](const auto& info) { return std::string(info.param); });

}  // namespace
