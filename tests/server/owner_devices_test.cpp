// SPDX-License-Identifier: Apache-2.0
// What an account's owner sees and does of their devices: the list a device of theirs asks for,
// signing another one out, trusted devices the limits pass by, and the cap on how often the
// devices change. Over HTTP against a server in this process whose clock the tests move.

#include <chrono>
#include <memory>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "server_test_support.hpp"

namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using zelk::server::App;
using zelk::testing::kUserSecret;
using zelk::testing::Reply;
using zelk::testing::ServiceClient;

class OwnerDevicesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    zelk::server::AppConfig config = zelk::testing::serverConfig();
    config.clock = [this] { return clock.now(); };
    app = std::make_unique<App>(std::move(config));
    std::string error;
    ASSERT_TRUE(app->start(&error)) << error;
  }

  ServiceClient project(const std::string& clientId, json settings = json::object()) {
    return zelk::testing::makeProject(app->baseURL(), clientId, std::move(settings));
  }

  static Reply list(ServiceClient& client, const json& device) {
    return client.post("/v2/access/devices",
                       json{{"device", device["device_id"]}, {"access", device["access"]}});
  }
  static Reply signOut(ServiceClient& client, const json& from, const json& target) {
    return client.post("/v2/access/devices/logout", json{{"device", from["device_id"]},
                                                         {"access", from["access"]},
                                                         {"target", target["device_id"]}});
  }
  static Reply detach(ServiceClient& client, const std::string& user, const json& device) {
    return client.post("/v2/access/detach", json{{"device", device["device_id"]}, {"user", user}});
  }
  std::size_t attached(ServiceClient& client, const std::string& clientId,
                       const std::string& user) {
    return client.admin("GET", "/admin/user?client_id=" + clientId + "&user=" + user)
        .parsed()["devices"]
        .size();
  }

  zelk::testing::TestClock clock;
  std::unique_ptr<App> app;
};

TEST_F(OwnerDevicesTest, ADeviceListsItsUsersDevicesAndSignsAnotherOut) {
  ServiceClient p = project("owners");
  const json phone = p.attach("alice", "phone");
  clock.advance(1s);
  const json laptop = p.attach("alice", "laptop");
  const json bobs = p.attach("bob", "bobs-phone");

  Reply reply = list(p, phone);
  ASSERT_EQ(reply.status, 200) << reply.body;
  json answer = reply.parsed();
  EXPECT_EQ(answer["device_id"], phone["device_id"]);
  EXPECT_FALSE(answer.contains("swaps"));  // the project sets no cap
  ASSERT_EQ(answer["devices"].size(), 2u) << answer;
  EXPECT_EQ(answer["devices"][0]["_id"], phone["device_id"]);
  EXPECT_EQ(answer["devices"][0]["current"], true);
  EXPECT_EQ(answer["devices"][0]["info"]["device"]["model"], "Test");
  EXPECT_EQ(answer["devices"][1]["_id"], laptop["device_id"]);
  EXPECT_EQ(answer["devices"][1]["current"], false);
  EXPECT_FALSE(answer["devices"][1].contains("trusted_until"));

  // The laptop's open stream hears its logout.
  zelk::testing::RawConnection stream(app->port());
  stream.send(p.listenRequest(laptop["device_id"], laptop["access"]));
  ASSERT_TRUE(stream.readHead());
  ASSERT_TRUE(app->hub().waitForStreams(laptop["device_id"], 1, 10s));
  reply = signOut(p, phone, laptop);
  ASSERT_EQ(reply.status, 200) << reply.body;
  EXPECT_EQ(reply.parsed()["device_id"], laptop["device_id"]);
  EXPECT_EQ(reply.parsed()["attached_devices"], 1);
  EXPECT_TRUE(stream.readUntil(
      [](const std::string& read) { return read.find("data: \"logout\"") != std::string::npos; },
      10s))
      << stream.body();
  EXPECT_EQ(list(p, phone).parsed()["devices"].size(), 1u);

  // A device of another user is no device of alice's.
  reply = signOut(p, phone, bobs);
  EXPECT_EQ(reply.status, 404);
  EXPECT_EQ(reply.parsed()["error"], "unknown device");
  EXPECT_EQ(attached(p, "owners", "bob"), 1u);
  // Nor does another project's client id reach alice's devices.
  ServiceClient other = project("elsewhere");
  EXPECT_EQ(list(other, phone).status, 404);

  // The device signed out, with the access it had, may ask nothing more.
  reply = list(p, laptop);
  EXPECT_EQ(reply.status, 401);
  EXPECT_EQ(reply.parsed()["error"], "unknown access");
  EXPECT_EQ(signOut(p, laptop, phone).status, 401);
  EXPECT_EQ(attached(p, "owners", "alice"), 1u);
  // The client id alone, or a wrong access, proves nothing.
  json forged = phone;
  forged["access"] = "acc_0123";
  EXPECT_EQ(list(p, forged).status, 401);
  EXPECT_EQ(signOut(p, forged, phone).status, 401);
  EXPECT_EQ(p.post("/v2/access/devices", json{{"device", phone["device_id"]}}).status, 400);
  EXPECT_EQ(list(p, json{{"device_id", "dev_never"}, {"access", "acc_x"}}).status, 404);
  EXPECT_EQ(p.post("/v2/access/devices/logout",
                   json{{"device", phone["device_id"]}, {"access", phone["access"]}})
                .status,
            400);

  // Signing itself out is a detach of the device itself.
  reply = signOut(p, phone, phone);
  ASSERT_EQ(reply.status, 200) << reply.body;
  EXPECT_EQ(attached(p, "owners", "alice"), 0u);
}

TEST_F(OwnerDevicesTest, DevicesChangeOnlyAsOftenAsTheProjectsCapAllows) {
  ServiceClient p = project("swaps", {{"overall_limit", 1},
                                      {"liveness_grace", 0},
                                      {"device_changes_limit", 4},
                                      {"device_changes_days", 30}});
  json current = p.attach("u", "first");
  // Each time a new device comes over the limit, its device limiter signs out the one before:
  // four changes within the window go.
  for (int change = 1; change <= 4; ++change) {
    clock.advance(1h);
    const json next = p.attach("u", "device-" + std::to_string(change));
    ASSERT_EQ(app->service().challenges("swaps", "u").size(), static_cast<std::size_t>(change));
    const Reply reply = detach(p, "u", current);
    ASSERT_EQ(reply.status, 200) << "change " << change << ": " << reply.body;
    current = next;
  }
  EXPECT_EQ(list(p, current).parsed()["swaps"],
            (json{{"limit", 4},
                  {"days", 30},
                  {"used", 4},
                  {"next_change_at", list(p, current).parsed()["swaps"]["next_change_at"]}}));

  // The fifth is refused, by the limiter and by the device list alike, until the oldest change
  // is 30 days old.
  const json fifth = p.attach("u", "fifth");
  Reply refused = detach(p, "u", current);
  ASSERT_EQ(refused.status, 409) << refused.body;
  const std::string next = refused.parsed()["next_change_at"];
  EXPECT_EQ(refused.parsed()["error"],
            "You can change devices again on " + next.substr(0, 10) + ".");
  EXPECT_EQ(signOut(p, fifth, current).status, 409);
  EXPECT_EQ(attached(p, "swaps", "u"), 2u);
  // A device that leaves by itself changes nothing and is never held back.
  const json visitor = p.attach("u", "visitor");
  EXPECT_EQ(signOut(p, visitor, visitor).status, 200);

  clock.advance(30 * 24h - 4h);  // 30 days since the start; the first change was an hour in
  EXPECT_EQ(detach(p, "u", current).status, 409);
  clock.advance(1h);
  const Reply allowed = detach(p, "u", current);
  EXPECT_EQ(allowed.status, 200) << allowed.body;
  EXPECT_EQ(list(p, fifth).parsed()["swaps"]["used"], 4);
}

TEST_F(OwnerDevicesTest, EvictionPassesATrustedDeviceBy) {
  ServiceClient p = project("trust", {{"overall_limit", 1},
                                      {"limit_policy", "evict_oldest"},
                                      {"user_secret", kUserSecret},
                                      {"trusted_device_days", 30}});
  ASSERT_EQ(p.admin("POST", "/admin/users",
                    {{"client_id", "trust"}, {"user", "u"}, {"email", "u@example.com"}})
                .status,
            200);
  p.attach("u", "laptop");
  // The phone comes unsigned: challenged, and its owner confirms it with the code.
  clock.advance(1s);
  ServiceClient unsignedApp(app->baseURL(), "trust");
  const json phone = unsignedApp.attach("u", "phone");
  const std::vector<std::string> challenges = app->service().challenges("trust", "u");
  ASSERT_EQ(challenges.size(), 1u);
  ASSERT_EQ(p.post("/v2/challenge/attempt",
                   json{{"challenge", challenges[0]}, {"action", "verify"}, {"channel", "email"}})
                .status,
            200);
  const Reply verified =
      p.post("/v2/challenge/verify",
             json{{"challenge", challenges[0]}, {"code", *zelk::testing::lastCode(challenges[0])}});
  ASSERT_EQ(verified.parsed()["success"], true) << verified.body;
  const json listed = list(p, phone).parsed();
  EXPECT_TRUE(listed["devices"][1].contains("trusted_until")) << listed;

  // The laptop is active again; now the phone is the least recently active device, but trusted:
  // an attach over the limit evicts the laptop instead.
  clock.advance(1s);
  const json laptop = p.attach("u", "laptop");
  EXPECT_EQ(attached(p, "trust", "u"), 2u);  // only the trusted phone was in the way
  clock.advance(1s);
  const json tablet = p.attach("u", "tablet");
  const json user = p.admin("GET", "/admin/user?client_id=trust&user=u").parsed();
  ASSERT_EQ(user["devices"].size(), 2u) << user;
  EXPECT_EQ(user["devices"][0]["device_id"], phone["device_id"]);
  EXPECT_EQ(user["devices"][1]["device_id"], tablet["device_id"]);
  (void)laptop;
}

}  // namespace
