// SPDX-License-Identifier: Apache-2.0
// Two zelk-servers in one process on one PostgreSQL database, as two instances behind a load
// balancer: what one commits reaches the streams and the rules of the other. Needs env
// ZELK_TEST_POSTGRES, the URL of a server where a scratch database may be made.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "server_test_support.hpp"
#include "storage/scratch_database.hpp"
#include "storage/store.hpp"

namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using zelk::server::App;
using zelk::server::Clock;
using zelk::testing::chunk;
using zelk::testing::RawConnection;
using zelk::testing::Reply;
using zelk::testing::ServiceClient;

std::string event(int id, const std::string& data) {
  return chunk("id: " + std::to_string(id) + "\ndata: " + data + "\n\n");
}

std::string challengeData(const std::string& challenge) {
  return "{\"action\":\"challenge\",\"challenge\":{\"_id\":\"" + challenge + "\"}}";
}

class SharedStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* url = std::getenv("ZELK_TEST_POSTGRES");
    if (!url || !*url)
      GTEST_SKIP() << "ZELK_TEST_POSTGRES is not set: start a server with scripts/postgres.sh "
                      "and set it to the URL it prints";
    database_ = std::make_unique<zelk::server::ScratchDatabase>(url);
  }

  // An instance on the test's database; `clock` is the time its rules go by.
  std::unique_ptr<App> instance(std::function<Clock::time_point()> clock = {}) {
    zelk::server::AppConfig config = zelk::testing::serverConfig();
    config.database = database_->url();
    config.databaseConnections = 4;
    config.codeKey = "the key every instance shares";
    config.sweepEvery = 0ms;  // the tests sweep by hand
    config.clock = std::move(clock);
    auto app = std::make_unique<App>(std::move(config));
    std::string error;
    EXPECT_TRUE(app->start(&error)) << error;
    return app;
  }

  static std::unique_ptr<RawConnection> listen(App& app, ServiceClient& client,
                                               const json& attached) {
    auto stream = std::make_unique<RawConnection>(app.port());
    stream->send(client.listenRequest(attached["device_id"], attached["access"]));
    EXPECT_TRUE(stream->readHead()) << stream->received();
    EXPECT_EQ(stream->head().rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << stream->head();
    EXPECT_TRUE(app.hub().waitForStreams(attached["device_id"], 1, 10s));
    return stream;
  }

  std::unique_ptr<zelk::server::ScratchDatabase> database_;  // dropped after the instances
};

TEST_F(SharedStoreTest, WhatOneInstanceSendsReachesAStreamHeldByTheOther) {
  auto a = instance();
  auto b = instance();
  ServiceClient onA = zelk::testing::makeProject(a->baseURL(), "across", {{"overall_limit", 1}});
  ServiceClient onB(b->baseURL(), "across");
  const json first = onA.attach("alice", "V-1");
  auto stream = listen(*b, onB, first);

  // Over the limit through A: the challenge goes to the stream on B, with the id A gave it.
  onA.attach("alice", "V-2");
  const std::vector<std::string> raised = a->service().challenges("across", "alice");
  ASSERT_EQ(raised.size(), 1u);
  EXPECT_TRUE(stream->readBody(event(1, challengeData(raised[0])))) << stream->body();

  // Detached through A: its stream on B hears the logout once, after the challenge.
  const Reply detached =
      onA.post("/v2/access/detach", json{{"device", first["device_id"]}, {"user", "alice"}});
  ASSERT_EQ(detached.status, 200) << detached.body;
  EXPECT_TRUE(stream->readBody(event(1, challengeData(raised[0])) + event(2, "\"logout\"")))
      << stream->body();

  // B answers for the records A wrote: one device left, the challenge still open.
  const json view = onB.admin("GET", "/admin/user?client_id=across&user=alice").parsed();
  ASSERT_EQ(view["devices"].size(), 1u) << view;
  EXPECT_EQ(view["devices"][0]["vendor_identifier"], "V-2");
  ASSERT_EQ(view["challenges"].size(), 1u) << view;
  EXPECT_EQ(view["challenges"][0]["challenge"], raised[0]);
}

TEST_F(SharedStoreTest, AProjectSetUpThroughOneInstanceAnswersOnTheOtherAtOnce) {
  auto a = instance();
  auto b = instance();
  ServiceClient onB(b->baseURL(), "late");
  EXPECT_EQ(onB.post("/v2/access", ServiceClient::attachBody("alice", "V-1")).status, 401);

  zelk::testing::makeProject(a->baseURL(), "late", {{"overall_limit", 1}});
  EXPECT_EQ(onB.post("/v2/access", ServiceClient::attachBody("alice", "V-1")).status, 200);

  // A raises the limit: B goes by it once A's notice reached it, which takes a moment, not a
  // restart nor a poll.
  zelk::testing::makeProject(a->baseURL(), "late", {{"overall_limit", 5}});
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (b->service().projectSettings("late").overallLimit != 5 &&
         std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(5ms);
  EXPECT_EQ(b->service().projectSettings("late").overallLimit, 5);
  onB.attach("alice", "V-2");
  EXPECT_TRUE(b->service().challenges("late", "alice").empty());
}

TEST_F(SharedStoreTest, AStreamOpenOnOneInstanceKeepsItsDeviceFromTheOthersIdleSweep) {
  std::atomic<int> ahead{0};  // seconds B's clock runs ahead of the wall clock
  auto a = instance();
  auto b = instance([&ahead] { return Clock::now() + std::chrono::seconds(ahead.load()); });
  ServiceClient onA = zelk::testing::makeProject(a->baseURL(), "idle",
                                                 {{"overall_limit", 10}, {"liveness_grace", 2}});
  ServiceClient onB(b->baseURL(), "idle");
  const json streaming = onA.attach("alice", "V-1");
  const json quiet = onA.attach("alice", "V-2");
  auto stream = listen(*a, onA, streaming);

  // A tells the store, off its loop, that the device has a stream open there.
  auto probe = zelk::server::makePostgresStore(database_->url(), 1);
  const auto marked = [&] {
    const auto user = probe->readUser({"idle", "alice"});
    if (!user) return false;
    const auto facts = user->streams.find(streaming["device_id"]);
    return facts != user->streams.end() && facts->second.hosts.size() == 1 &&
           facts->second.hosts[0] == a->service().instanceId();
  };
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (!marked() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(20ms);
  ASSERT_TRUE(marked());

  // B knows the user, and its clock is past both devices' grace.
  ASSERT_EQ(onB.admin("GET", "/admin/user?client_id=idle&user=alice").status, 200);
  ahead = 30;
  b->sweepIdleDevices();
  const json view = onB.admin("GET", "/admin/user?client_id=idle&user=alice").parsed();
  ASSERT_EQ(view["devices"].size(), 1u) << view;
  EXPECT_EQ(view["devices"][0]["device_id"], streaming["device_id"]);
  // The quiet device was detached; its logout waits for it in the store.
  EXPECT_TRUE(probe->readDetached(quiet["device_id"]).has_value());
}

// Attaches of one user racing over both instances are decided one after the other: they leave
// what one instance would leave, each attach seeing the devices of those before it.
TEST_F(SharedStoreTest, AttachesOfOneUserSplitOverTwoInstancesCountEachDeviceOnce) {
  auto a = instance();
  auto b = instance();
  zelk::testing::makeProject(a->baseURL(), "race", {{"overall_limit", 1}});
  constexpr int kAttaches = 50;
  std::vector<int> counts(kAttaches, 0);
  std::vector<std::thread> clients;
  for (int worker = 0; worker < 4; ++worker) {
    clients.emplace_back([&, worker] {
      ServiceClient client(worker % 2 ? b->baseURL() : a->baseURL(), "race");
      for (int i = worker; i < kAttaches; i += 4) {
        const Reply reply =
            client.post("/v2/access", ServiceClient::attachBody("alice", "V-" + std::to_string(i)));
        EXPECT_EQ(reply.status, 200) << reply.body;
        if (reply.status == 200) counts[i] = reply.parsed()["attached_devices"];
      }
    });
  }
  for (auto& client : clients) client.join();
  std::vector<int> sorted = counts;
  std::sort(sorted.begin(), sorted.end());
  for (int i = 0; i < kAttaches; ++i) EXPECT_EQ(sorted[i], i + 1) << "attach " << i;
  const json view = ServiceClient(b->baseURL(), "race")
                        .admin("GET", "/admin/user?client_id=race&user=alice")
                        .parsed();
  EXPECT_EQ(view["devices"].size(), static_cast<std::size_t>(kAttaches));
  // Every attach past the first broke the limit: the first of them raised the user's one
  // challenge, and each other joined it and told its own device only, once.
  EXPECT_EQ(view["challenges"].size(), 1u) << view["challenges"];
  for (const auto& device : view["devices"]) EXPECT_EQ(device["last_event_id"], 1) << device;
  std::set<std::string> vendors;
  for (const auto& device : view["devices"]) vendors.insert(device["vendor_identifier"]);
  EXPECT_EQ(vendors.size(), static_cast<std::size_t>(kAttaches));
}

// The grace after a stream ends is the project's, whichever instance held the stream and
// whichever decides: 2 s of grace, and the device no longer counts from 2 s on, and by 3 s.
TEST_F(SharedStoreTest, AStreamThatEndsOnOneInstanceStopsCountingOnTheOtherAfterTheGrace) {
  auto a = instance();
  auto b = instance();
  ServiceClient onA = zelk::testing::makeProject(
      a->baseURL(), "grace",
      {{"overall_limit", 1}, {"liveness_grace", 2}, {"limit_policy", "block"}});
  ServiceClient onB(b->baseURL(), "grace");
  const json phone = onA.attach("alice", "V-phone");
  auto stream = listen(*a, onA, phone);
  // Past the grace of its attach, the stream alone keeps the phone counted.
  std::this_thread::sleep_for(2500ms);
  const auto refused = [&] {
    return onB.post("/v2/access", ServiceClient::attachBody("alice", "V-tablet"))
               .parsed()["success"] == false;
  };
  ASSERT_TRUE(refused());
  stream.reset();
  const auto ended = std::chrono::steady_clock::now();
  ASSERT_TRUE(a->hub().waitForNoStreams(phone["device_id"], 5s));
  while (refused() && std::chrono::steady_clock::now() - ended < 5s)
    std::this_thread::sleep_for(50ms);
  const auto took = std::chrono::steady_clock::now() - ended;
  EXPECT_GE(took, 2000ms);
  EXPECT_LE(took, 3000ms);
  const json view = onB.admin("GET", "/admin/user?client_id=grace&user=alice").parsed();
  ASSERT_EQ(view["devices"].size(), 1u) << view;
  EXPECT_EQ(view["devices"][0]["vendor_identifier"], "V-tablet");
}

TEST_F(SharedStoreTest, EachDueMessageOfTheOutboxGoesToOneInstanceOnly) {
  auto first = zelk::server::makePostgresStore(database_->url(), 2);
  auto second = zelk::server::makePostgresStore(database_->url(), 2);
  std::vector<zelk::server::Unit> units(1);
  zelk::server::Changes& changes = units[0].changes;
  changes.projects.push_back({"outbox", true, {}, false});
  const auto now = Clock::now();
  for (int i = 0; i < 3; ++i) {
    zelk::server::OutboxMessage message;
    message.id = "msg_" + std::to_string(i);
    message.kind = "webhook";
    message.project = "outbox";
    message.payload = "{}";
    message.createdAt = message.nextAttemptAt = now - std::chrono::seconds(3 - i);
    changes.outbox.push_back(message);
  }
  first->commit(units);

  // Both delivery workers look at once: each message is taken by one of them, oldest first.
  const auto taken = first->dueMessages(now, 2);
  const auto rest = second->dueMessages(now, 16);
  ASSERT_EQ(taken.size(), 2u);
  EXPECT_EQ(taken[0].id, "msg_0");
  EXPECT_EQ(taken[1].id, "msg_1");
  ASSERT_EQ(rest.size(), 1u);
  EXPECT_EQ(rest[0].id, "msg_2");
  EXPECT_TRUE(first->dueMessages(now, 16).empty());

  // Written back after an attempt that failed, a message is another worker's to take once it is
  // due again; one whose worker went away is due for another worker at once.
  zelk::server::OutboxMessage retry = rest[0];
  retry.attempts = 1;
  second->updateMessage(retry);
  EXPECT_EQ(first->dueMessages(now, 16).size(), 1u);
  first.reset();
  // The database lets the locks of a closed connection go once its session has ended.
  std::vector<std::string> orphans;
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (orphans.size() < 3 && std::chrono::steady_clock::now() < deadline) {
    for (const auto& message : second->dueMessages(now, 16)) orphans.push_back(message.id);
    if (orphans.size() < 3) std::this_thread::sleep_for(20ms);
  }
  std::sort(orphans.begin(), orphans.end());
  EXPECT_EQ(orphans, (std::vector<std::string>{"msg_0", "msg_1", "msg_2"}));
}

// A project's key made on one instance works on the other, and once revoked on either, on
// neither; an erased user is gone from the other's view too.
TEST_F(SharedStoreTest, AKeyRevokedOnOneInstanceStopsOnTheOtherAtOnce) {
  auto first = instance();
  auto second = instance();
  ServiceClient one = zelk::testing::makeProject(first->baseURL(), "shared");
  ServiceClient two(second->baseURL(), "shared");
  one.attach("u", "phone");
  const Reply made = one.admin("POST", "/admin/keys", {{"client_id", "shared"}});
  ASSERT_EQ(made.status, 200) << made.body;
  const std::string key = made.parsed()["key"], id = made.parsed()["id"];
  const auto status = [&](App& app) {
    zelk::testing::HttpClient http(app.baseURL());
    auto result =
        http.Get("/admin/user?client_id=shared&user=u", {{"Authorization", "Bearer " + key}});
    return result ? result->status : 0;
  };
  EXPECT_EQ(status(*second), 200);
  ASSERT_EQ(two.admin("POST", "/admin/keys/revoke", {{"client_id", "shared"}, {"id", id}}).status,
            200);
  EXPECT_EQ(status(*first), 401);
  EXPECT_EQ(status(*second), 401);

  ASSERT_EQ(two.admin("GET", "/admin/user?client_id=shared&user=u").status, 200);
  ASSERT_EQ(one.admin("POST", "/admin/erase", {{"client_id", "shared"}, {"user", "u"}}).status,
            200);
  // The other instance heard of it: what it held of the user is read afresh, and found gone.
  bool gone = false;
  for (int tries = 0; tries < 500 && !gone; ++tries) {
    gone = two.admin("GET", "/admin/user?client_id=shared&user=u").status == 404;
    if (!gone) std::this_thread::sleep_for(10ms);
  }
  EXPECT_TRUE(gone);
}

}  // namespace
