// SPDX-License-Identifier: Apache-2.0
// zelk-server as a deployment runs it: projects set up by an operator, every change kept in
// SQLite, realtime streams that resume, and requests from clients that get things wrong.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <future>
#include <map>
#include <mutex>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "app/settings.hpp"
#include "routes/json_input.hpp"
#include "server_test_support.hpp"
#include "service/ids.hpp"
#include "service/service.hpp"
#include "storage/store.hpp"

namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using zelk::server::App;
using zelk::testing::chunk;
using zelk::testing::kAdminToken;
using zelk::testing::kUserSecret;
using zelk::testing::RawConnection;
using zelk::testing::Reply;
using zelk::testing::ServiceClient;
using zelk::testing::TempDir;

std::string challengeEvent(const std::string& challenge, int id) {
  return chunk("id: " + std::to_string(id) +
               "\ndata: {\"action\":\"challenge\",\"challenge\":{\"_id\":\"" + challenge +
               "\"}}\n\n");
}

class ServerTest : public ::testing::Test {
 protected:
  void SetUp() override { startServer(zelk::testing::serverConfig()); }

  void startServer(zelk::server::AppConfig config) {
    app = std::make_unique<App>(std::move(config));
    std::string error;
    ASSERT_TRUE(app->start(&error)) << error;
  }

  ServiceClient project(const std::string& clientId, json settings = json::object()) {
    return zelk::testing::makeProject(app->baseURL(), clientId, std::move(settings));
  }

  std::unique_ptr<RawConnection> listen(ServiceClient& client, const json& attached,
                                        const std::string& extraHeaders = "") {
    auto stream = std::make_unique<RawConnection>(app->port());
    stream->send(client.listenRequest(attached["device_id"], attached["access"], extraHeaders));
    EXPECT_TRUE(stream->readHead()) << stream->received();
    EXPECT_EQ(stream->head().rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << stream->head();
    return stream;
  }

  std::string raise(ServiceClient& client, const std::string& clientId, const std::string& user) {
    const Reply reply =
        client.admin("POST", "/admin/challenges", {{"client_id", clientId}, {"user", user}});
    EXPECT_EQ(reply.status, 200) << reply.body;
    return reply.parsed()["challenge"];
  }

  std::unique_ptr<App> app;
};

TEST_F(ServerTest, AResumedStreamGetsWhatItMissedOnceAndInOrder) {
  ServiceClient p = project("resume", {{"overall_limit", 1}});
  const json a = p.attach("u", "A");
  auto first = listen(p, a);
  ASSERT_TRUE(app->hub().waitForStreams(a["device_id"], 1, 10s));
  p.attach("u", "B");  // over the limit: a challenge, message 1 of each device
  const std::string overLimit = app->service().challenges("resume", "u").at(0);
  EXPECT_TRUE(first->readBody(challengeEvent(overLimit, 1))) << first->body();
  first->close();
  ASSERT_TRUE(app->hub().waitForNoStreams(a["device_id"], 10s));

  // Raised while the device was away.
  const std::string second = raise(p, "resume", "u");
  const std::string third = raise(p, "resume", "u");
  auto resumed = listen(p, a, "Last-Event-ID: 1\r\n");
  EXPECT_TRUE(resumed->readBody(challengeEvent(second, 2) + challengeEvent(third, 3)))
      << resumed->body();
  ASSERT_TRUE(app->hub().waitForStreams(a["device_id"], 1, 10s));
  const std::string fourth = raise(p, "resume", "u");
  EXPECT_TRUE(resumed->readBody(challengeEvent(second, 2) + challengeEvent(third, 3) +
                                challengeEvent(fourth, 4)))
      << resumed->body();

  // An id the device never had counts as no id: the stream is fresh, and hears the newest open
  // challenge, which stands for the others.
  auto unknownId = listen(p, a, "Last-Event-ID: 99\r\n");
  EXPECT_TRUE(unknownId->readBody(challengeEvent(fourth, 4))) << unknownId->body();
}

TEST_F(ServerTest, AFreshStreamHearsTheNewestOpenChallengeOfItsUserUntilItIsResolved) {
  ServiceClient p = project("fresh", {{"overall_limit", 1}});
  const json a = p.attach("u", "A");
  const json b = p.attach("u", "B");  // over the limit
  const std::string overLimit = app->service().challenges("fresh", "u").at(0);
  const std::string manual = raise(p, "fresh", "u");

  // Both devices, each on every fresh stream, under the id of the device's last message.
  for (int round = 0; round < 2; ++round) {
    for (const json* device : {&a, &b}) {
      auto stream = listen(p, *device);
      EXPECT_TRUE(stream->readBody(challengeEvent(manual, 2))) << stream->body();
    }
  }
  // Another user of the project hears nothing of them.
  const json other = p.attach("someone else", "C");
  auto otherStream = listen(p, other);
  ASSERT_TRUE(app->hub().waitForStreams(other["device_id"], 1, 10s));
  EXPECT_EQ(app->hub().push(other["device_id"], "data: mark\n\n"), 1);
  EXPECT_TRUE(otherStream->readBody(chunk("data: mark\n\n"))) << otherStream->body();

  // A right code resolves the manual one; a detach that brings the user within the limits
  // resolves the one the attach raised. The stream then only learns where the messages stand.
  ASSERT_EQ(p.post("/v2/challenge/attempt",
                   json{{"challenge", manual}, {"action", "verify"}, {"channel", "email"}})
                .status,
            200);
  const auto code = zelk::testing::lastCode(manual);
  ASSERT_TRUE(code);
  EXPECT_EQ(p.post("/v2/challenge/verify", json{{"challenge", manual}, {"code", *code}}).parsed(),
            json({{"success", true}}));
  auto afterVerify = listen(p, a);
  EXPECT_TRUE(afterVerify->readBody(challengeEvent(overLimit, 2))) << afterVerify->body();
  ASSERT_EQ(p.post("/v2/access/detach", json{{"device", b["device_id"]}, {"user", "u"}}).status,
            200);
  auto afterDetach = listen(p, a);
  EXPECT_TRUE(afterDetach->readBody(chunk("id: 2\n\n"))) << afterDetach->body();
}

TEST_F(ServerTest, AProjectNeverReachesTheRecordsOfAnother) {
  ServiceClient a = project("project A");
  ServiceClient b = project("project B", {{"overall_limit", 1}});
  const json bobFirst = b.attach("bob", "bob-1");
  const json bobSecond = b.attach("bob", "bob-2");
  const std::string challenge = app->service().challenges("project B", "bob").at(0);
  ASSERT_EQ(b.post("/v2/challenge/attempt",
                   json{{"challenge", challenge}, {"action", "verify"}, {"channel", "text"}})
                .status,
            200);
  const std::string code = *zelk::testing::lastCode(challenge);
  const std::string identity =
      b.post("/v2/identity",
             json{{"device_info", json::object()}, {"signals", {{"iosVendorIdentifier", "bob-1"}}}})
          .parsed()["identity"];

  struct Case {
    std::string what;
    std::function<Reply()> call;
    int status;
  };
  const std::string device = bobFirst["device_id"];
  const std::vector<Case> cases = {
      {"detach B's device as A",
       [&] {
         return a.post("/v2/access/detach", json{{"device", device}, {"user", "bob"}});
       },
       404},
      {"detach B's device as another user of B",
       [&] {
         return b.post("/v2/access/detach", json{{"device", device}, {"user", "eve"}});
       },
       404},
      {"read B's challenge as A", [&] { return a.get("/v2/challenge/" + challenge); }, 404},
      {"list its devices as A", [&] { return a.get("/v2/challenge/" + challenge + "/devices"); },
       404},
      {"read its limits as A",
       [&] { return a.get("/v2/challenge/" + challenge + "/device-limit"); }, 404},
      {"send a code as A",
       [&] {
         return a.post("/v2/challenge/attempt",
                       json{{"challenge", challenge}, {"action", "verify"}, {"channel", "email"}});
       },
       404},
      {"check B's code as A",
       [&] {
         return a.post("/v2/challenge/verify", json{{"challenge", challenge}, {"code", code}});
       },
       404},
      {"resend as A",
       [&] {
         return a.post("/v2/challenge/resend", json{{"challenge", challenge}});
       },
       404},
      {"attach with an unknown client id",
       [&] {
         return ServiceClient(app->baseURL(), "nobody")
             .post("/v2/access", ServiceClient::attachBody("bob", "bob-1"));
       },
       401},
  };
  for (const Case& c : cases) {
    const Reply reply = c.call();
    EXPECT_EQ(reply.status, c.status) << c.what << ": " << reply.body;
    EXPECT_EQ(reply.body.find("bob-"), std::string::npos) << c.what;
  }
  // B's records are untouched: its code is still the one to give.
  EXPECT_EQ(b.post("/v2/challenge/verify", json{{"challenge", challenge}, {"code", code}}).parsed(),
            json({{"success", true}}));
  EXPECT_EQ(b.get("/v2/challenge/" + challenge + "/devices").parsed().size(), 2u);

  // A's listen for B's device, with B's access token: no stream.
  RawConnection stream(app->port());
  stream.send(a.listenRequest(device, bobFirst["access"]));
  ASSERT_TRUE(stream.readHead());
  EXPECT_EQ(stream.head().rfind("HTTP/1.1 404", 0), 0u) << stream.head();
  // An identity of B is not one of A: A gets its own.
  const json mine = a.post("/v2/identity", json{{"device_info", json::object()},
                                                {"signals", {{"iosVendorIdentifier", "bob-1"}}},
                                                {"identity_id", identity}})
                        .parsed();
  EXPECT_NE(mine["identity"], identity);
  EXPECT_EQ(mine["confidence"], 0.9);
  (void)bobSecond;
}

// Resident memory of this process, in KiB.
long residentKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return 0;
}

TEST_F(ServerTest, MalformedRequestsGetAClear4xxAndTheServerStaysUp) {
  ServiceClient p = project("input");
  const auto statusOf = [&](const std::string& request) {
    RawConnection connection(app->port());
    connection.send(request);
    connection.readUntilClosed(5s);
    const std::string& received = connection.received();
    return received.size() >= 12 ? std::stoi(received.substr(9, 3)) : 0;
  };
  const std::string big(70 * 1024, 'x');
  const std::string post =
      "POST /v2/access HTTP/1.1\r\nHost: x\r\nAuthorization: Basic input:\r\nConnection: "
      "close\r\nContent-Type: application/json\r\n";
  const auto withBody = [&](const std::string& body) {
    return post + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
  };
  json wrongType = ServiceClient::attachBody("u", "v");
  wrongType["user"] = 5;
  json controlInUser = ServiceClient::attachBody("u\x01", "v");
  json longVendor = ServiceClient::attachBody("u", std::string(200, 'v'));

  long before = 0;
  for (int round = 0; round < 3; ++round) {
    if (round == 1) before = residentKiB();
    for (int i = 0; i < 40; ++i) {
      EXPECT_EQ(statusOf(withBody(big)), 413);
      EXPECT_EQ(statusOf(withBody("{not json")), 400);
      EXPECT_EQ(statusOf(withBody(wrongType.dump())), 400);
      EXPECT_EQ(statusOf(withBody(controlInUser.dump())), 400);
      EXPECT_EQ(statusOf(withBody(longVendor.dump())), 400);
      EXPECT_EQ(statusOf("GET /nowhere HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n"), 404);
      EXPECT_EQ(statusOf("NOT A REQUEST\r\n\r\n"), 400);
      EXPECT_EQ(statusOf("GET / HTTP/1.1\r\nX-Big: " + std::string(20 * 1024, 'h') + "\r\n\r\n"),
                431);
    }
  }
  // Three rounds of the same: the second and third leave memory where the first did (not
  // measurable under AddressSanitizer, which holds on to freed memory).
#ifndef __SANITIZE_ADDRESS__
  EXPECT_LT(residentKiB() - before, 4096);
#else
  (void)before;
#endif
  EXPECT_EQ(p.get("/healthz").status, 200);
}

TEST(ServerSlowClients, AClientThatSendsItsHeadTooSlowlyGets408) {
  auto config = zelk::testing::serverConfig();
  config.http.headerTimeout = 300ms;
  App app(config);
  ASSERT_TRUE(app.start(nullptr));
  RawConnection slow(app.port());
  slow.send("GET /healthz HTTP/1.1\r\nHost: x\r\n");
  ASSERT_TRUE(slow.readUntilClosed(5s));
  EXPECT_EQ(slow.received().rfind("HTTP/1.1 408", 0), 0u) << slow.received();
  // Others are served meanwhile and afterwards.
  EXPECT_EQ(ServiceClient(app.baseURL(), "x").get("/healthz").status, 200);
}

TEST(ServerStorage, EveryAnsweredChangeOutlivesARestart) {
  TempDir dir;
  const std::string data = dir.file("zelk.db");
  std::string device, access, challenge, code, identity;
  auto config = zelk::testing::serverConfig(data);
  config.codeKey = "a key kept from one run to the next";
  {
    App app(config);
    ASSERT_TRUE(app.start(nullptr));
    ServiceClient p(app.baseURL(), "kept");
    ASSERT_EQ(p.admin("POST", "/admin/projects",
                      {{"client_id", "kept"}, {"name", "Kept"}, {"overall_limit", 1}})
                  .status,
              200);
    ASSERT_EQ(p.admin("POST", "/admin/users",
                      {{"client_id", "kept"}, {"user", "u"}, {"email", "u@example.com"}})
                  .status,
              200);
    const json a = p.attach("u", "A");
    device = a["device_id"];
    access = a["access"];
    const json b = p.attach("u", "B");
    challenge = app.service().challenges("kept", "u").at(0);
    p.post("/v2/challenge/attempt",
           json{{"challenge", challenge}, {"action", "verify"}, {"channel", "text"}});
    code = *zelk::testing::lastCode(challenge);
    identity = p.post("/v2/identity", json{{"device_info", json::object()},
                                           {"signals", {{"iosVendorIdentifier", "A"}}}})
                   .parsed()["identity"];
    ASSERT_EQ(p.post("/v2/access/detach", json{{"device", b["device_id"]}, {"user", "u"}}).status,
              200);
  }
  App app(config);
  ASSERT_TRUE(app.start(nullptr));
  ServiceClient p(app.baseURL(), "kept");
  const json user = p.admin("GET", "/admin/user?client_id=kept&user=u").parsed();
  ASSERT_EQ(user["devices"].size(), 1u) << user;
  EXPECT_EQ(user["devices"][0]["device_id"], device);
  EXPECT_EQ(user["email"], "u@example.com");
  // The code is nowhere to be read, and still the right one under the same key.
  EXPECT_FALSE(user["challenges"][0].contains("code")) << user;
  EXPECT_EQ(user.dump().find(code), std::string::npos);
  EXPECT_EQ(p.post("/v2/challenge/verify", json{{"challenge", challenge}, {"code", code}}).parsed(),
            json({{"success", true}}));
  EXPECT_EQ(user["challenges"][0]["open"], false);  // resolved by the detach
  EXPECT_EQ(app.service().projectSettings("kept").name, "Kept");
  EXPECT_EQ(p.post("/v2/identity", json{{"device_info", json::object()},
                                        {"signals", {{"iosVendorIdentifier", "A"}}}})
                .parsed()["identity"],
            identity);
  // The device's messages are kept too: a stream resuming after none gets the challenge.
  RawConnection stream(app.port());
  stream.send(p.listenRequest(device, access, "Last-Event-ID: 0\r\n"));
  EXPECT_TRUE(stream.readBody(challengeEvent(challenge, 1))) << stream.received();
}

// The device an attach pushes out is the one gone after a restart, not the one that attached.
TEST(ServerStorage, AnEvictionOutlivesARestart) {
  TempDir dir;
  const auto config = zelk::testing::serverConfig(dir.file("zelk.db"));
  std::string first, third;
  {
    App app(config);
    ASSERT_TRUE(app.start(nullptr));
    ServiceClient p = zelk::testing::makeProject(
        app.baseURL(), "evict",
        {{"overall_limit", 2}, {"limit_policy", "evict_oldest"}, {"user_secret", kUserSecret}});
    first = p.attach("u", "A")["device_id"];
    p.attach("u", "B");
    p.attach("u", "A");  // A is active again: B is the least recently active
    third = p.attach("u", "C")["device_id"];
    const json before = p.admin("GET", "/admin/user?client_id=evict&user=u").parsed();
    ASSERT_EQ(before["devices"].size(), 2u) << before;
  }
  App app(config);
  ASSERT_TRUE(app.start(nullptr));
  const json user = ServiceClient(app.baseURL(), "evict")
                        .admin("GET", "/admin/user?client_id=evict&user=u")
                        .parsed();
  ASSERT_EQ(user["devices"].size(), 2u) << user;
  EXPECT_EQ(user["devices"][0]["device_id"], first);
  EXPECT_EQ(user["devices"][1]["device_id"], third);
}

// A device detached while its app was away (no stream open) is told it was logged out when its
// stream comes back, resumed or fresh, also after a restart; a stream that already heard it ends
// for good, and a stranger learns nothing.
TEST(ServerStorage, ADeviceDetachedWhileItsStreamWasDownHearsItsLogoutWhenItComesBack) {
  TempDir dir;
  const std::string data = dir.file("zelk.db");
  const std::string logout = chunk("id: 2\ndata: \"logout\"\n\n") + "0\r\n\r\n";
  json a;
  const auto comesBack = [&](App& app, ServiceClient& p, const std::string& headers,
                             const std::string& access) {
    RawConnection stream(app.port());
    stream.send(p.listenRequest(a["device_id"], access, headers + "Connection: close\r\n"));
    stream.readUntilClosed();
    return stream.received();
  };
  {
    App app(zelk::testing::serverConfig(data));
    ASSERT_TRUE(app.start(nullptr));
    ServiceClient p(app.baseURL(), "gone");
    ASSERT_EQ(
        p.admin("POST", "/admin/projects", {{"client_id", "gone"}, {"overall_limit", 1}}).status,
        200);
    a = p.attach("u", "A");
    {
      RawConnection first(app.port());
      first.send(p.listenRequest(a["device_id"], a["access"]));
      ASSERT_TRUE(first.readHead());
      ASSERT_TRUE(app.hub().waitForStreams(a["device_id"], 1, 10s));
      p.attach("u", "B");  // over the limit: message 1 of A
      const std::string challenge = app.service().challenges("gone", "u").at(0);
      ASSERT_TRUE(first.readBody(challengeEvent(challenge, 1))) << first.body();
    }
    ASSERT_TRUE(app.hub().waitForNoStreams(a["device_id"], 10s));
    ASSERT_EQ(p.post("/v2/access/detach", json{{"device", a["device_id"]}, {"user", "u"}}).status,
              200);

    const std::string resumed = comesBack(app, p, "Last-Event-ID: 1\r\n", a["access"]);
    EXPECT_EQ(resumed.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << resumed;
    EXPECT_TRUE(resumed.ends_with("\r\n\r\n" + logout)) << resumed;
    const std::string fresh = comesBack(app, p, "", a["access"]);
    EXPECT_TRUE(fresh.ends_with("\r\n\r\n" + logout)) << fresh;
  }
  App app(zelk::testing::serverConfig(data));
  ASSERT_TRUE(app.start(nullptr));
  ServiceClient p(app.baseURL(), "gone");
  const std::string afterRestart = comesBack(app, p, "Last-Event-ID: 1\r\n", a["access"]);
  EXPECT_TRUE(afterRestart.ends_with("\r\n\r\n" + logout)) << afterRestart;
  // It heard the logout: nothing more to hear.
  EXPECT_EQ(comesBack(app, p, "Last-Event-ID: 2\r\n", a["access"]).rfind("HTTP/1.1 204", 0), 0u);
  // Without one of its access tokens, or from another project, the device is unknown.
  EXPECT_EQ(comesBack(app, p, "", "acc_nottheaccess").rfind("HTTP/1.1 404", 0), 0u);
  ASSERT_EQ(p.admin("POST", "/admin/projects", {{"client_id", "other"}}).status, 200);
  ServiceClient other(app.baseURL(), "other");
  EXPECT_EQ(comesBack(app, other, "", a["access"]).rfind("HTTP/1.1 404", 0), 0u);
  EXPECT_EQ(app.hub().openStreamCount(), 0u);
}

// A store over SQLite whose writes fail while `failing` is set, as on a full disk, and which
// counts the units it is given to write in one commit.
class FailingStore final : public zelk::server::Store {
 public:
  FailingStore(std::unique_ptr<Store> inner, const std::atomic<bool>& failing)
      : inner_(std::move(inner)), failing_(failing) {}
  std::string describe() const override { return inner_->describe(); }
  void setInstance(const std::string& id) override { inner_->setInstance(id); }
  std::vector<zelk::server::Project> readProjects() override { return inner_->readProjects(); }
  std::optional<zelk::server::Project> readProject(const std::string& id) override {
    return inner_->readProject(id);
  }
  std::optional<zelk::server::StoredUser> readUser(const zelk::server::UserKey& key) override {
    return inner_->readUser(key);
  }
  zelk::server::DeviceLookup readDevice(const std::string& id) override {
    return inner_->readDevice(id);
  }
  std::optional<zelk::server::DetachedDevice> readDetached(const std::string& id) override {
    return inner_->readDetached(id);
  }
  std::optional<zelk::server::UserKey> challengeOwner(const std::string& id) override {
    return inner_->challengeOwner(id);
  }
  std::vector<zelk::server::KeptMessage> messagesAfter(const std::string& id,
                                                       std::uint64_t after) override {
    return inner_->messagesAfter(id, after);
  }
  void commit(std::vector<zelk::server::Unit>& units) override {
    if (failing_) throw zelk::server::StoreError("disk full");
    inner_->commit(units);
    largestCommit = std::max(largestCommit.load(), units.size());
  }
  std::vector<zelk::server::InstanceBeat> beat(zelk::server::Clock::time_point startedAt,
                                               zelk::server::Clock::time_point now) override {
    return inner_->beat(startedAt, now);
  }
  void writeStreams(const zelk::server::StreamChanges& changes) override {
    inner_->writeStreams(changes);
  }
  void endStreamsOfSilentInstances(zelk::server::Clock::time_point before) override {
    inner_->endStreamsOfSilentInstances(before);
  }
  std::vector<zelk::server::UserKey> quietUsers(const std::string& project,
                                                zelk::server::Clock::time_point before,
                                                std::size_t max) override {
    return inner_->quietUsers(project, before, max);
  }
  void prune(zelk::server::Clock::time_point before,
             const zelk::server::AuditRetention& audit) override {
    inner_->prune(before, audit);
  }
  std::size_t countDevices() override { return inner_->countDevices(); }
  std::vector<zelk::server::OutboxMessage> dueMessages(zelk::server::Clock::time_point now,
                                                       std::size_t max) override {
    return inner_->dueMessages(now, max);
  }
  std::optional<zelk::server::Clock::time_point> nextDue() override { return inner_->nextDue(); }
  void updateMessage(const zelk::server::OutboxMessage& message) override {
    inner_->updateMessage(message);
  }
  std::vector<zelk::server::OutboxMessage> messages(std::optional<zelk::server::OutboxState> state,
                                                    std::size_t max) override {
    return inner_->messages(state, max);
  }
  void purgeMessages(zelk::server::Clock::time_point done,
                     zelk::server::Clock::time_point failed) override {
    inner_->purgeMessages(done, failed);
  }
  bool retryWebhook(const std::string& id, zelk::server::Clock::time_point now) override {
    if (failing_) throw zelk::server::StoreError("failing");
    return inner_->retryWebhook(id, now);
  }
  void setAuditRetention(zelk::server::AuditRetention retention) override {
    inner_->setAuditRetention(retention);
  }
  std::vector<zelk::server::AuditEntry> auditEntries(const std::string& project,
                                                     std::uint64_t before,
                                                     std::size_t max) override {
    return inner_->auditEntries(project, before, max);
  }
  std::vector<zelk::server::AuditEntry> auditEntriesAbout(const std::string& project,
                                                          const std::string& subject,
                                                          std::size_t max) override {
    return inner_->auditEntriesAbout(project, subject, max);
  }
  std::vector<zelk::server::UserSummary> searchUsers(const std::string& project,
                                                     const std::string& query,
                                                     const std::string& after,
                                                     std::size_t max) override {
    return inner_->searchUsers(project, query, after, max);
  }
  bool eraseUser(const zelk::server::UserKey& key, const std::string& pseudonym) override {
    return inner_->eraseUser(key, pseudonym);
  }
  bool deleteProject(const std::string& clientId) override {
    return inner_->deleteProject(clientId);
  }
  std::vector<zelk::server::SuspectCounts> suspects(const std::string& project,
                                                    zelk::server::Clock::time_point since,
                                                    std::size_t max) override {
    return inner_->suspects(project, since, max);
  }
  std::vector<zelk::server::ProjectKey> projectKeys(const std::string& project) override {
    return inner_->projectKeys(project);
  }
  bool addProjectKey(const zelk::server::ProjectKey& key, std::size_t max) override {
    return inner_->addProjectKey(key, max);
  }
  bool removeProjectKey(const std::string& project, const std::string& id) override {
    return inner_->removeProjectKey(project, id);
  }
  std::optional<zelk::server::ProjectKey> useProjectKey(
      const std::string& hash, zelk::server::Clock::time_point now) override {
    return inner_->useProjectKey(hash, now);
  }
  std::optional<zelk::server::OperatorAccount> readOperator(const std::string& name) override {
    return inner_->readOperator(name);
  }
  std::vector<zelk::server::OperatorAccount> readOperators() override {
    return inner_->readOperators();
  }
  void putOperator(const zelk::server::OperatorAccount& account) override {
    if (failing_) throw zelk::server::StoreError("disk full");
    inner_->putOperator(account);
  }
  std::optional<zelk::server::OperatorSession> readSession(const std::string& hash) override {
    return inner_->readSession(hash);
  }
  void putSession(const zelk::server::OperatorSession& session) override {
    if (failing_) throw zelk::server::StoreError("disk full");
    inner_->putSession(session);
  }
  void dropSession(const std::string& hash) override {
    if (failing_) throw zelk::server::StoreError("disk full");
    inner_->dropSession(hash);
  }
  void dropSessionsOf(const std::string& name) override {
    if (failing_) throw zelk::server::StoreError("disk full");
    inner_->dropSessionsOf(name);
  }
  zelk::server::OverviewFigures overview(zelk::server::Clock::time_point now,
                                         zelk::server::Clock::time_point since, int minutes,
                                         zelk::server::Clock::time_point aliveSince) override {
    return inner_->overview(now, since, minutes, aliveSince);
  }

  std::atomic<std::size_t> largestCommit = 0;

 private:
  std::unique_ptr<Store> inner_;
  const std::atomic<bool>& failing_;
};

// Changes of concurrent callers are written together by the committer, each caller told once its
// own are stored; a write that fails is reported to its callers and leaves nothing behind, in
// the file or in what the service holds, and the service goes on once the store takes writes.
TEST(ServerStorage, ConcurrentChangesAreStoredTogetherAndAFailedWriteLeavesNothing) {
  using zelk::server::AttachInput;
  using zelk::server::Service;
  TempDir dir;
  const std::string data = dir.file("zelk.db");
  std::atomic<bool> failing = false;
  std::string keptDevice;
  const auto attach = [](Service& service, const std::string& user) {
    AttachInput input;
    input.project = "p";
    input.user = user;
    input.vendorId = user;
    return service.attach(std::move(input)).deviceId;
  };
  {
    auto store = std::make_unique<FailingStore>(zelk::server::makeSQLiteStore(data), failing);
    FailingStore& counted = *store;
    Service service(std::move(store), Service::Config{});
    zelk::server::ProjectSettings roomy;
    roomy.overallLimit = 1000;
    service.configureProject("p", roomy);
    std::vector<std::thread> callers;
    std::atomic<int> stored = 0;
    for (int t = 0; t < 8; ++t) {
      callers.emplace_back([&, t] {
        for (int i = 0; i < 25; ++i) {
          std::string user = "u";
          user += std::to_string(t);
          user += '-';
          user += std::to_string(i);
          if (!attach(service, user).empty()) ++stored;
        }
      });
    }
    for (auto& caller : callers) caller.join();
    EXPECT_EQ(stored, 200);
    EXPECT_GE(counted.largestCommit.load(), 1u);

    failing = true;
    EXPECT_THROW(attach(service, "lost"), zelk::server::StoreError);
    // Nothing of it is held either: the user is read afresh, and never was.
    failing = false;
    EXPECT_FALSE(service.userJSON("p", "lost"));
    keptDevice = attach(service, "kept");
    EXPECT_EQ(service.sweepIdleDevices().size(), 0u);
    EXPECT_EQ(service.deviceCount(), 201u);
  }
  Service reopened(zelk::server::makeSQLiteStore(data), Service::Config{});
  EXPECT_EQ(reopened.ownerOf("p", keptDevice), "kept");
  EXPECT_FALSE(reopened.userJSON("p", "lost"));
  reopened.sweepIdleDevices();
  EXPECT_EQ(reopened.deviceCount(), 201u);
}

// Devices are found by id when a stream opens and when a message is sent; that stays right
// after other devices are detached, after a restart, and across users and projects.
TEST(ServerStorage, DevicesAreFoundByIdAfterDetachesAndARestart) {
  using zelk::server::AttachInput;
  using zelk::server::ListenCheck;
  using zelk::server::Service;
  TempDir dir;
  const std::string data = dir.file("zelk.db");
  const auto open = [&] {
    return std::make_unique<Service>(zelk::server::makeSQLiteStore(data), Service::Config{});
  };
  const auto attach = [](Service& service, const std::string& project, const std::string& user,
                         const std::string& vendorId) {
    AttachInput input;
    input.project = project;
    input.user = user;
    input.vendorId = vendorId;
    const auto result = service.attach(input);
    return std::pair{result.deviceId, result.access};
  };
  const auto check = [](Service& service, const std::string& project,
                        const std::pair<std::string, std::string>& device) {
    return service.startListen(project, device.first, device.second, std::nullopt).check;
  };

  std::map<std::string, std::pair<std::string, std::string>> devices;
  {
    auto service = open();
    zelk::server::ProjectSettings roomy;
    roomy.overallLimit = 10;  // no challenge from the attaches
    roomy.mobileLimit = 0;
    service->configureProject("p", roomy);
    service->configureProject("q", roomy);
    for (const char* name : {"a", "b", "c", "d"}) devices[name] = attach(*service, "p", "u", name);
    devices["e"] = attach(*service, "p", "v", "e");
    devices["f"] = attach(*service, "q", "u", "f");
    ASSERT_TRUE(service->detach("p", "u", devices["b"].first).found);

    EXPECT_EQ(check(*service, "p", devices["b"]), ListenCheck::loggedOut);
    for (const char* name : {"a", "c", "d", "e"})
      EXPECT_EQ(check(*service, "p", devices[name]), ListenCheck::ok) << name;
    EXPECT_EQ(check(*service, "p", {devices["c"].first, "acc_wrong"}), ListenCheck::unknownAccess);
    // A device is only found in its own project.
    EXPECT_EQ(check(*service, "q", devices["a"]), ListenCheck::unknownDevice);
    EXPECT_EQ(check(*service, "", devices["a"]), ListenCheck::unknownDevice);
    EXPECT_FALSE(service->ownerOf("q", devices["a"].first));
    EXPECT_EQ(service->ownerOf("p", devices["e"].first), "v");
    EXPECT_EQ(service->ownerOf("q", devices["f"].first), "u");
    // Messages reach the device named, each with its own ids.
    ASSERT_TRUE(service->logout("p", devices["d"].first));
    EXPECT_EQ(service->logout("", devices["d"].first)->id, 2u);
    EXPECT_FALSE(service->logout("p", devices["b"].first));
    EXPECT_FALSE(service->logout("p", devices["f"].first));
    EXPECT_EQ(service->raiseChallenge("p", "u", "manual").deliveries.size(), 3u);
  }

  auto service = open();
  EXPECT_EQ(check(*service, "p", devices["b"]), ListenCheck::loggedOut);
  for (const char* name : {"a", "c", "d", "e"})
    EXPECT_EQ(check(*service, "p", devices[name]), ListenCheck::ok) << name;
  EXPECT_EQ(check(*service, "q", devices["f"]), ListenCheck::ok);
  // The logouts and the challenge were kept: the next message to "d" is its fourth.
  EXPECT_EQ(service->logout("p", devices["d"].first)->id, 4u);
  // Detaching the first device after the restart leaves the later ones where they are found.
  devices["g"] = attach(*service, "p", "u", "g");
  ASSERT_TRUE(service->detach("p", "u", devices["a"].first).found);
  EXPECT_EQ(check(*service, "p", devices["a"]), ListenCheck::loggedOut);
  for (const char* name : {"c", "d", "g"}) {
    EXPECT_EQ(check(*service, "p", devices[name]), ListenCheck::ok) << name;
    EXPECT_EQ(service->ownerOf("p", devices[name].first), "u") << name;
  }
  EXPECT_EQ(service->logout("p", devices["g"].first)->id, 1u);
  service->sweepIdleDevices();  // counts them, too
  EXPECT_EQ(service->deviceCount(), 5u);
}

// An app back in the foreground reports the facts it reported before: its attach is stored all
// the same (when it was seen, the new access token), and facts that did change replace the old
// ones, in memory and in the file.
TEST(ServerStorage, AReattachIsStoredWhetherOrNotItsFactsChanged) {
  using zelk::server::AttachInput;
  using zelk::server::Clock;
  using zelk::server::ListenCheck;
  using zelk::server::Service;
  TempDir dir;
  const std::string data = dir.file("zelk.db");
  Clock::time_point now = Clock::now() - 1h;
  const auto open = [&] {
    Service::Config config;
    config.clock = [&] { return now; };
    return std::make_unique<Service>(zelk::server::makeSQLiteStore(data), std::move(config));
  };
  const json phone = {{"os", {{"name", "iOS"}, {"version", "17.4"}}},
                      {"device", {{"vendor", "Apple"}, {"model", "iPad14,1"}, {"type", "tablet"}}}};
  const auto attach = [](Service& service, json deviceInfo, json metadata) {
    AttachInput input;
    input.project = "p";
    input.user = "u";
    input.vendorId = "vendor-1";
    input.deviceInfo = std::move(deviceInfo);
    input.metadata = std::move(metadata);
    return service.attach(std::move(input));
  };
  const auto deviceOf = [](Service& service) {
    const auto user = service.userJSON("p", "u");
    EXPECT_TRUE(user && (*user)["devices"].size() == 1u);
    return user ? (*user)["devices"][0] : json();
  };
  const auto listens = [](Service& service, const std::string& device, const std::string& access) {
    return service.startListen("p", device, access, std::nullopt).check == ListenCheck::ok;
  };

  std::string device, firstAccess, secondAccess;
  {
    auto service = open();
    zelk::server::ProjectSettings roomy;
    roomy.overallLimit = 10;
    service->configureProject("p", roomy);
    const auto first = attach(*service, phone, {{"plan", "pro"}});
    now += 1min;
    const auto second = attach(*service, phone, {{"plan", "pro"}});
    ASSERT_EQ(first.deviceId, second.deviceId);
    ASSERT_NE(first.access, second.access);
    device = first.deviceId;
    firstAccess = first.access;
    secondAccess = second.access;
  }
  {
    auto service = open();
    const json stored = deviceOf(*service);
    EXPECT_FALSE(stored.contains("last_access"));  // a secret, never in an operator's view
    EXPECT_EQ(stored["last_seen_at"], zelk::server::isoTimeMillis(now));
    EXPECT_EQ(stored["device_info"], phone);
    EXPECT_EQ(stored["metadata"], json({{"plan", "pro"}}));
    EXPECT_EQ(stored["type"], "tablet");
    EXPECT_TRUE(listens(*service, device, firstAccess));
    EXPECT_TRUE(listens(*service, device, secondAccess));

    // The same app, updated: other facts, metadata as an array.
    json laptop = phone;
    laptop["os"]["version"] = "18.0";
    laptop["device"]["type"] = "computer";
    now += 1min;
    attach(*service, laptop, json::array({"beta"}));
    const json changed = deviceOf(*service);
    EXPECT_EQ(changed["device_info"], laptop);
    EXPECT_EQ(changed["type"], "computer");
    EXPECT_EQ(changed["metadata"], json::array({"beta"}));
  }
  auto service = open();
  const json reopened = deviceOf(*service);
  EXPECT_EQ(reopened["device_info"]["os"]["version"], "18.0");
  EXPECT_EQ(reopened["type"], "computer");
  EXPECT_EQ(reopened["metadata"], json::array({"beta"}));
  EXPECT_EQ(reopened["last_seen_at"], zelk::server::isoTimeMillis(now));
}

// Files written before keep loading: the documents' text as it was written then (spaced out, or
// not JSON at all, which gives an empty object), and the access tokens likewise.
TEST(ServerStorage, RowsWrittenInAnyJSONSpellingLoad) {
  using zelk::server::AttachInput;
  using zelk::server::ListenCheck;
  using zelk::server::Service;
  TempDir dir;
  const std::string data = dir.file("zelk.db");
  std::string device;
  {
    Service service(zelk::server::makeSQLiteStore(data), Service::Config{});
    service.configureProject("p", {});
    AttachInput input;
    input.project = "p";
    input.user = "u";
    input.vendorId = "vendor-1";
    device = service.attach(std::move(input)).deviceId;
  }
  const std::string update =
      "sqlite3 " + data +
      " \"UPDATE devices SET device_info = '{ \\\"os\\\" : { \\\"name\\\" : \\\"Android\\\" } ,"
      " \\\"device\\\" : { \\\"type\\\" : \\\"tablet\\\" } }', metadata = 'not json', "
      "accesses = '[ \\\"acc_old_1\\\" , \\\"acc_old_2\\\" ]'\"";
  ASSERT_EQ(std::system(update.c_str()), 0);

  const json written = {{"os", {{"name", "Android"}}}, {"device", {{"type", "tablet"}}}};
  std::vector<std::string> accesses = {"acc_old_1", "acc_old_2"};
  for (int round = 0; round < 2; ++round) {
    Service service(zelk::server::makeSQLiteStore(data), Service::Config{});
    const auto user = service.userJSON("p", "u");
    ASSERT_TRUE(user && (*user)["devices"].size() == 1u);
    const json stored = (*user)["devices"][0];
    EXPECT_EQ(stored["device_info"], written);
    // The type as its column holds it: the attach of the second round counted it from the facts.
    EXPECT_EQ(stored["type"], round == 0 ? "mobile" : "tablet");
    EXPECT_EQ(stored["metadata"], json::object());
    EXPECT_FALSE(stored.contains("last_access"));
    for (const std::string& access : accesses) {
      EXPECT_EQ(service.startListen("p", device, access, std::nullopt).check, ListenCheck::ok)
          << access;
    }
    // The app comes back with the same facts: its row is written again, and read in the next
    // round.
    AttachInput again;
    again.project = "p";
    again.user = "u";
    again.vendorId = "vendor-1";
    again.deviceInfo = written;
    const auto result = service.attach(std::move(again));
    ASSERT_EQ(result.deviceId, device);
    accesses.push_back(result.access);
  }
}

// The access tokens' column is written without building a JSON document first; what it holds is
// what the general writer would have written, whatever the strings hold.
TEST(ServerStorage, StringListsAreWrittenAsTheGeneralWriterWritesThem) {
  namespace columns = zelk::server::columns;
  const std::vector<std::vector<std::string>> lists = {
      {},
      {"acc_0123456789abcdef0123456789abcdef"},
      {"acc_1", "", "acc_2"},
      {"quote \" and backslash \\", "tab\tnewline\n", std::string("nul\0byte", 8)},
      {"ünïcödé ☃", "bad utf-8 \xff\xfe", "del \x7f"},
  };
  for (const auto& list : lists) {
    const std::string text = columns::stringsJSON(list);
    EXPECT_EQ(text, columns::dumpJSON(list)) << text;
    EXPECT_TRUE(json::accept(text)) << text;
  }
  EXPECT_EQ(columns::stringsOf(columns::stringsJSON(lists[2])), lists[2]);
  EXPECT_EQ(columns::stringsOf(columns::stringsJSON(lists[3])), lists[3]);
}

// Commits that follow one another without pause never leave SQLite the moment to start its log
// over by itself: the store's checkpointer does it, and should it lag, the committing thread.
// Either way the log stays bounded and every commit is there after a restart.
TEST(ServerStorage, TheSQLiteLogStaysBoundedWhileCommitsGoOnWithoutPause) {
  TempDir dir;
  const std::string data = dir.file("zelk.db");
  zelk::server::SQLiteLog log;
  log.copyAt = 50;
  log.restartAt = 400;
  log.copyHereAt = 1600;
  constexpr int kDevices = 300;
  constexpr int kCommits = 6000;
  // A page holds one such device, so that every commit adds at least a page to the log.
  const std::string padding(3000, 'x');
  std::uintmax_t largest = 0;
  const zelk::server::UserKey user{"p", "u"};
  {
    auto store = zelk::server::makeSQLiteStore(data, log);
    std::vector<zelk::server::Unit> setup(1);
    setup[0].changes.projects.push_back({"p", true, {}, false});
    store->commit(setup);
    for (int i = 0; i < kCommits; ++i) {
      zelk::server::Device device;
      device.id = "dev_" + std::to_string(i % kDevices);
      device.vendorId = device.id;
      device.accesses = {"acc_" + std::to_string(i)};
      device.metadata = zelk::server::SharedJSON(json{{"commit", i}, {"padding", padding}});
      std::vector<zelk::server::Unit> units(1);
      units[0].user = user;
      units[0].baseVersion = static_cast<std::uint64_t>(i);
      units[0].changes.devices.emplace_back(device);
      store->commit(units);
      ASSERT_FALSE(units[0].conflict) << i;
      struct stat wal {};
      if (::stat((data + "-wal").c_str(), &wal) == 0)
        largest = std::max(largest, static_cast<std::uintmax_t>(wal.st_size));
    }
  }
  // A page and its header per frame. Without the copying the log would hold every commit's
  // pages (24 MB); however far the checkpointer falls behind, the committing thread copies all
  // of it past copyHereAt, and the next commit starts it over.
  const std::uintmax_t frame = 4096 + 24;
  EXPECT_LE(largest, (static_cast<std::uintmax_t>(log.copyHereAt) + 8) * frame);
  EXPECT_GT(largest, 0u);

  const auto stored = zelk::server::makeSQLiteStore(data)->readUser(user);
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->record.version, static_cast<std::uint64_t>(kCommits));
  const auto& devices = stored->record.devices;
  ASSERT_EQ(devices.size(), static_cast<std::size_t>(kDevices));
  for (const auto& device : devices) {
    const int slot = std::stoi(device.id.substr(4));
    const int last = kCommits - kDevices + slot;
    EXPECT_EQ(device.metadata.value()["commit"], last) << device.id;
    EXPECT_EQ(device.accesses, std::vector<std::string>{"acc_" + std::to_string(last)});
  }
}

TEST(ServerStorage, AFileFromANewerServerIsRefused) {
  TempDir dir;
  const std::string data = dir.file("zelk.db");
  { App app(zelk::testing::serverConfig(data)); }
  ASSERT_EQ(std::system(("sqlite3 " + data + " 'PRAGMA user_version = 99'").c_str()), 0);
  try {
    App app(zelk::testing::serverConfig(data));
    FAIL() << "opened a file of schema version 99";
  } catch (const zelk::server::StoreError& error) {
    EXPECT_NE(std::string(error.what()).find("newer"), std::string::npos) << error.what();
  }
}

TEST_F(ServerTest, OperatorsSeeHealthReadinessAndMetricsAndNeedTheTokenForTheRest) {
  ServiceClient p = project("ops");
  const json health = p.get("/healthz").parsed();
  EXPECT_EQ(health["status"], "ok");
  EXPECT_FALSE(health["version"].get<std::string>().empty());
  EXPECT_EQ(p.get("/readyz").status, 200);
  p.attach("u", "A");
  const std::string metrics = p.get("/metrics").body;
  for (const char* name : {"zelk_http_requests_total{route=\"attach\",status=\"2xx\"} 1",
                           "zelk_attach_duration_seconds_count 1", "zelk_open_streams 0",
                           "zelk_messages_pushed_total"})
    EXPECT_NE(metrics.find(name), std::string::npos) << name << "\n" << metrics;

  zelk::testing::HttpClient http(app->baseURL());
  for (const zelk::testing::Headers& headers :
       {zelk::testing::Headers{}, zelk::testing::Headers{{"Authorization", "Bearer wrong"}},
        zelk::testing::Headers{{"Authorization", "Basic ops:"}},
        zelk::testing::Headers{{"Authorization", "Bearer " + kAdminToken + "x"}}}) {
    auto reply = http.Get("/admin/projects", headers);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, 401);
  }
  // Without a token the admin API is not there at all.
  auto config = zelk::testing::serverConfig();
  config.adminToken.clear();
  App closed(config);
  ASSERT_TRUE(closed.start(nullptr));
  EXPECT_EQ(ServiceClient(closed.baseURL(), "ops").admin("GET", "/admin/projects").status, 404);
}

// The lines a server logs in `format` for three requests: a project made through the admin API,
// an attach, and the stream of the device attached, whose reply goes to `attached`.
std::vector<std::string> logOfThreeRequests(zelk::server::LogFormat format, json& attached) {
  std::mutex mutex;
  std::vector<std::string> lines;
  auto config = zelk::testing::serverConfig();
  config.logFormat = format;
  config.logSink = [&](const std::string& line) {
    std::lock_guard lock(mutex);
    lines.push_back(line);
  };
  App app(config);
  if (!app.start(nullptr)) return {};
  ServiceClient p(app.baseURL(), "logged");
  p.admin("POST", "/admin/projects", {{"client_id", "logged"}});
  attached = p.attach("u", "A");
  RawConnection stream(app.port());
  stream.send(p.listenRequest(attached["device_id"], attached["access"]));
  if (!stream.readHead()) return {};
  app.stop();
  std::lock_guard lock(mutex);
  return lines;
}

TEST(ServerLog, OneLinePerRequestWithoutSecrets) {
  json attached;
  const std::vector<std::string> lines =
      logOfThreeRequests(zelk::server::LogFormat::json, attached);
  ASSERT_EQ(lines.size(), 3u);
  for (const std::string& line : lines) {
    const json parsed = json::parse(line);
    EXPECT_TRUE(parsed.contains("status") && parsed.contains("route")) << line;
    EXPECT_EQ(line.find(kAdminToken), std::string::npos) << line;
    EXPECT_EQ(line.find(attached["access"].get<std::string>()), std::string::npos) << line;
  }
  EXPECT_EQ(json::parse(lines[2])["route"], "listen");
  const std::regex jsonTime(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)");
  EXPECT_TRUE(std::regex_match(json::parse(lines[1])["time"].get<std::string>(), jsonTime))
      << lines[1];
  EXPECT_TRUE(json::parse(lines[1])["duration_ms"].is_number()) << lines[1];
}

TEST(ServerLog, TextLinesNameTimePeerMethodPathStatusAndDuration) {
  json attached;
  const std::vector<std::string> lines =
      logOfThreeRequests(zelk::server::LogFormat::text, attached);
  ASSERT_EQ(lines.size(), 3u);
  const std::string time = R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)";
  EXPECT_TRUE(std::regex_match(
      lines[1], std::regex(time + R"( 127\.0\.0\.1 POST /v2/access 200 \d+\.\d{6}ms)")))
      << lines[1];
  EXPECT_TRUE(std::regex_match(
      lines[2], std::regex(time + R"( 127\.0\.0\.1 GET /v2/access/device/dev_\w+/listen 200 )"
                                  R"(stream \d+\.\d{6}ms)")))
      << lines[2];
  EXPECT_EQ(lines[2].find(attached["access"].get<std::string>()), std::string::npos);
}

TEST(ServerSettings, FlagsWinOverTheEnvironmentWhichWinsOverTheFile) {
  TempDir dir;
  std::ofstream(dir.file("zelk.conf")) << "# a comment\nlisten = 0.0.0.0:9000\nheartbeat = 7\n"
                                          "data = /from/file.db\nlog-format = json\n";
  const auto settings = zelk::server::readSettings(
      {"--config", dir.file("zelk.conf"), "--data=/from/flag.db"},
      {{"ZELK_SERVER_HEARTBEAT", "9"}, {"ZELK_SERVER_DATA", "/from/env.db"}}, false);
  EXPECT_EQ(settings.app.http.host, "0.0.0.0");
  EXPECT_EQ(settings.app.http.port, 9000);
  EXPECT_EQ(settings.app.heartbeat, 9s);
  EXPECT_EQ(settings.app.dataFile, "/from/flag.db");
  EXPECT_EQ(settings.app.logFormat, zelk::server::LogFormat::json);
  EXPECT_EQ(settings.adminTokenFile, "/from/flag.db.admin-token");
  EXPECT_FALSE(settings.app.sandbox);

  const auto defaults = zelk::server::readSettings({}, {}, /*sandboxAlias=*/true);
  EXPECT_EQ(defaults.app.http.host, "127.0.0.1");
  EXPECT_EQ(defaults.app.http.port, 8080);
  EXPECT_EQ(defaults.app.heartbeat, 25s);
  EXPECT_TRUE(defaults.app.sandbox);

  for (const std::vector<std::string>& wrong : {std::vector<std::string>{"--listen", "nowhere"},
                                                {"--heartbeat", "0"},
                                                {"--bogus"},
                                                {"--tls-cert", "cert.pem"},
                                                {"--log-format", "xml"},
                                                {"--data"}}) {
    EXPECT_THROW(zelk::server::readSettings(wrong, {}, false), std::invalid_argument) << wrong[0];
  }
}

TEST(ServerSettings, APostgreSQLDatabaseNeedsACodeKeyFileEveryInstanceShares) {
  const std::string url = "postgres://zelk@db.example.com/zelk";
  const auto settings =
      zelk::server::readSettings({"--database", url, "--code-key-file", "/etc/zelk/code-key"},
                                 {{"ZELK_SERVER_DATABASE_CONNECTIONS", "20"}}, false);
  EXPECT_EQ(settings.app.database, url);
  EXPECT_EQ(settings.app.databaseConnections, 20);
  EXPECT_EQ(settings.codeKeyFile, "/etc/zelk/code-key");
  EXPECT_TRUE(settings.app.dataFile.empty());

  for (const std::vector<std::string>& wrong :
       {std::vector<std::string>{"--database", url},  // each instance would make up its own key
        {"--database", url, "--code-key-file", "k", "--data", "z.db"},
        {"--database", "mysql://db/zelk", "--code-key-file", "k"},
        {"--database", url, "--code-key-file", "k", "--database-connections", "0"}}) {
    try {
      zelk::server::readSettings(wrong, {}, false);
      ADD_FAILURE() << "taken: " << wrong.back();
    } catch (const std::invalid_argument& error) {
      EXPECT_EQ(std::string(error.what()).find("db.example.com"), std::string::npos);
    }
  }
}

TEST(ServerSettings, TheAdminTokenIsMadeOnceAndOnlyItsOwnerMayReadIt) {
  TempDir dir;
  const std::string path = dir.file("token");
  const std::string token = zelk::server::loadOrCreateAdminToken(path);
  EXPECT_EQ(token.size(), 64u);
  struct stat info {};
  ASSERT_EQ(stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600);
  EXPECT_EQ(zelk::server::loadOrCreateAdminToken(path), token);
  chmod(path.c_str(), 0644);
  EXPECT_THROW(zelk::server::loadOrCreateAdminToken(path), std::runtime_error);
}

}  // namespace

// Answers written member by member read exactly as the general JSON writer writes them,
// whatever text goes in.
TEST(ServerAnswers, ObjectsWrittenByHandMatchTheGeneralWriter) {
  using zelk::server::ObjectWriter;
  using zelk::server::render;
  EXPECT_EQ(ObjectWriter().finish(), render(nlohmann::json::object()));

  const std::vector<std::string> texts = {
      "",
      "dev_617dbae59492dce002459496918f4966",
      "say \"hi\" \\ back",
      std::string("tab\tline\nnul\0bell\a"
                  "del\x7f",
                  22),
      "caf\xc3\xa9 \xe2\x9c\x93",
      "broken \xc3 and \xff\xfe",
  };
  for (const std::string& text : texts) {
    ObjectWriter written;
    written.add("access", text)
        .add("count", static_cast<std::size_t>(18'446'744'073'709'551'615ULL))
        .add("flag", false)
        .add("limit", -2'147'483'647 - 1)
        .add("name", text.c_str())
        .add("ok", true);
    const nlohmann::json expected = {{"ok", true},
                                     {"access", text},
                                     {"flag", false},
                                     {"count", 18'446'744'073'709'551'615ULL},
                                     {"limit", -2'147'483'647 - 1},
                                     {"name", std::string(text.c_str())}};
    EXPECT_EQ(written.finish(), render(expected)) << text;
  }

  zelk::server::http::Response res;
  zelk::server::fail(res, 404, "no \"such\" device");
  EXPECT_EQ(res.status, 404);
  EXPECT_EQ(res.contentType, "application/json");
  EXPECT_EQ(nlohmann::json::parse(res.body),
            (nlohmann::json{{"success", false}, {"error", "no \"such\" device"}}));
}

// Ids and tokens come from a per-thread block of random bytes: none repeats across threads, and
// a forked child never repeats what its parent hands out next.
TEST(ServerIds, IdsNeverRepeatAcrossThreadsOrAFork) {
  using zelk::server::newId;
  std::mutex mutex;
  std::set<std::string> seen;
  std::vector<std::thread> makers;
  for (int t = 0; t < 4; ++t) {
    makers.emplace_back([&] {
      std::vector<std::string> made;
      for (int i = 0; i < 2000; ++i) made.push_back(newId("acc_"));
      std::lock_guard lock(mutex);
      for (auto& id : made) {
        EXPECT_TRUE(zelk::server::isServiceId(id, "acc_")) << id;
        EXPECT_TRUE(seen.insert(std::move(id)).second);
      }
    });
  }
  for (auto& maker : makers) maker.join();
  EXPECT_EQ(seen.size(), 8000u);

  newId("dev_");  // the parent's block holds unused bytes now
  int pipe[2];
  ASSERT_EQ(::pipe(pipe), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const std::string id = newId("dev_");
    const auto written = ::write(pipe[1], id.data(), id.size());
    ::_exit(written == static_cast<ssize_t>(id.size()) ? 0 : 1);
  }
  ::close(pipe[1]);
  const std::string parent = newId("dev_");
  std::string fromChild(parent.size(), '\0');
  ASSERT_EQ(::read(pipe[0], fromChild.data(), fromChild.size()),
            static_cast<ssize_t>(fromChild.size()));
  ::close(pipe[0]);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(zelk::server::isServiceId(fromChild, "dev_")) << fromChild;
  EXPECT_NE(fromChild, parent);
}

// Messages a stream's socket cannot take at once wait their turn: a client that reads only
// after megabytes were pushed still gets every message whole and in order.
TEST_F(ServerTest, AStreamThatReadsLateGetsEveryMessageWholeAndInOrder) {
  ServiceClient p = project("late");
  const json a = p.attach("u", "A");
  auto stream = listen(p, a);
  ASSERT_TRUE(app->hub().waitForStreams(a["device_id"], 1, 10s));
  std::string expected;
  for (int i = 0; i < 256; ++i) {
    const std::string message = "id: " + std::to_string(i) + "\ndata: " +
                                std::string(64 * 1024, static_cast<char>('a' + i % 26)) + "\n\n";
    ASSERT_EQ(app->hub().push(a["device_id"], message), 1);
    expected += zelk::testing::chunk(message);
  }
  const std::size_t headSize = stream->head().size();
  ASSERT_TRUE(stream->readUntil(
      [&](const std::string& received) { return received.size() >= headSize + expected.size(); },
      30s));
  EXPECT_EQ(stream->received().size(), headSize + expected.size());
  EXPECT_TRUE(stream->received().compare(headSize, std::string::npos, expected) == 0);
}
