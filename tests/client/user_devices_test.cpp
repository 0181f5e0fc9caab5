// SPDX-License-Identifier: Apache-2.0
// The signed-in user's own devices through the client: the list, signing out by device and by
// e-mailed code, and the service's refusals, against a scripted service.
#include "support/client_fixture.hpp"  // StdoutCapture
#include "support/own_devices_fixture.hpp"

namespace zelk::testing {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

class UserDevicesTest : public OwnDevicesTest {
 protected:
  struct Listed {
    std::optional<ZelkUserDevices> devices;
    std::optional<ZelkServiceError> error;
    std::thread::id thread;
  };
  Listed list(Zelk& zelk) {
    Listed result;
    bool done = false;
    zelk.devices([&](const auto& devices, const auto& error) {
      result = {devices, error, std::this_thread::get_id()};
      done = true;
    });
    EXPECT_TRUE(waitFor([&] { return done; }));
    return result;
  }

  struct SignedOut {
    std::optional<ZelkAttachResponse> reply;
    std::optional<ZelkServiceError> error;
    std::thread::id thread;
  };
  template <class Call>
  SignedOut signOut(Call call) {
    SignedOut result;
    bool done = false;
    call([&](const auto& reply, const auto& error) {
      result = {reply, error, std::this_thread::get_id()};
      done = true;
    });
    EXPECT_TRUE(waitFor([&] { return done; }));
    return result;
  }
};

TEST_F(UserDevicesTest, WithoutAnAttachedDeviceEveryCallFailsAtOnceAndSendsNothing) {
  auto zelk = makeClient();
  std::vector<std::string> messages;
  zelk->devices([&](const auto& devices, const auto& error) {
    EXPECT_FALSE(devices);
    messages.push_back(error ? error->message : "");
  });
  zelk->logoutDevice("dev-2", [&](const auto& reply, const auto& error) {
    EXPECT_FALSE(reply);
    messages.push_back(error ? error->message : "");
  });
  zelk->logoutDeviceWithCode("K7QM-2XD9", [&](const auto& reply, const auto& error) {
    EXPECT_FALSE(reply);
    messages.push_back(error ? error->message : "");
  });
  // Before the calls returned.
  EXPECT_EQ(messages, (std::vector<std::string>{"no device attached", "no device attached",
                                                "no device attached"}));
  EXPECT_TRUE(service.requests().empty());
}

TEST_F(UserDevicesTest, ListsTheDevicesWithTheCurrentOneMarked) {
  service.addDevice(OwnDevicesService::device("dev-2", "computer", "MacBook Pro"),
                    "2027-01-08T10:00:00.000Z");
  service.setSwaps(json{{"limit", 4}, {"days", 30}, {"used", 1}});
  auto zelk = attachedClient();
  const Listed listed = list(*zelk);
  ASSERT_TRUE(listed.devices);
  EXPECT_FALSE(listed.error);
  EXPECT_EQ(listed.thread, mainThread);
  EXPECT_EQ(listed.devices->deviceID, OwnDevicesService::kDevice);
  ASSERT_EQ(listed.devices->devices.size(), 2u);
  const ZelkUserDevice& mine = listed.devices->devices[0];
  const ZelkUserDevice& other = listed.devices->devices[1];
  EXPECT_TRUE(mine.current);
  EXPECT_FALSE(mine.trustedUntil);
  EXPECT_EQ(mine.device.lastAccess->geolocation->city, "Berlin");
  EXPECT_FALSE(other.current);
  EXPECT_EQ(other.device.info.device->model, "MacBook Pro");
  EXPECT_EQ(other.trustedUntil, iso8601Full().date("2027-01-08T10:00:00.000Z"));
  ASSERT_TRUE(listed.devices->swaps);
  EXPECT_EQ(listed.devices->swaps->limit, 4);
  EXPECT_EQ(listed.devices->swaps->used, 1);
  EXPECT_FALSE(listed.devices->swaps->nextChangeAt);

  const auto sent = service.bodies("/v2/access/devices");
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0],
            (json{{"device", OwnDevicesService::kDevice}, {"access", OwnDevicesService::kAccess}}));
  for (const auto& request : service.requests()) {
    if (request.path != "/v2/access/devices") continue;
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.header("Authorization"), "Basic project one:");
  }
}

TEST_F(UserDevicesTest, SigningOutAnotherDeviceLeavesThisOneSignedIn) {
  service.addDevice(OwnDevicesService::device("dev-2", "tablet", "iPad"));
  auto zelk = attachedClient();
  int logouts = 0;
  zelk->onLogoutCurrentDevice = [&] { ++logouts; };
  const SignedOut result =
      signOut([&](auto completion) { zelk->logoutDevice("dev-2", std::move(completion)); });
  ASSERT_TRUE(result.reply);
  EXPECT_FALSE(result.error);
  EXPECT_EQ(result.thread, mainThread);
  EXPECT_EQ(result.reply->deviceID, "dev-2");
  EXPECT_EQ(result.reply->attachedDevices, 1);
  EXPECT_EQ(logouts, 0);
  EXPECT_EQ(zelk->deviceID(), OwnDevicesService::kDevice);
  EXPECT_EQ(service.deviceIDs(), std::vector<std::string>{OwnDevicesService::kDevice});
  EXPECT_EQ(service.bodies("/v2/access/devices/logout").back(),
            (json{{"device", OwnDevicesService::kDevice},
                  {"access", OwnDevicesService::kAccess},
                  {"target", "dev-2"}}));
}

TEST_F(UserDevicesTest, SigningOutThisDeviceEndsItsSessionAsADetachDoes) {
  auto zelk = attachedClient();
  int logouts = 0;
  zelk->onLogoutCurrentDevice = [&] { ++logouts; };
  bool completed = false;
  zelk->logoutDevice(OwnDevicesService::kDevice, [&](const auto& reply, const auto&) {
    EXPECT_EQ(logouts, 1);  // the host hears of it first
    completed = reply && reply->success;
  });
  ASSERT_TRUE(waitFor([&] { return completed; }));
  EXPECT_EQ(logouts, 1);
  EXPECT_FALSE(zelk->deviceID());
  // With the device forgotten, its access goes too.
  const std::size_t sent = service.requests().size();
  std::optional<ZelkServiceError> error;
  zelk->devices([&](const auto&, const auto& e) { error = e; });
  ASSERT_TRUE(error);
  EXPECT_EQ(error->message, "no device attached");
  EXPECT_EQ(service.requests().size(), sent);
}

// The attach reply lands on the network thread while the host may already be asking: once the
// device is known, a call made at once must find its access too.
TEST_F(UserDevicesTest, ACallMadeTheMomentTheDeviceIsKnownIsSent) {
  for (int round = 0; round < 50; ++round) {
    auto zelk = makeClient();
    zelk->attach();
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!zelk->deviceID() && std::chrono::steady_clock::now() < deadline) {
    }
    ASSERT_TRUE(zelk->deviceID());
    std::optional<ZelkServiceError> refused;
    bool done = false;
    zelk->devices([&](const auto&, const auto& error) {
      if (error && error->message == "no device attached") refused = error;
      done = true;
    });
    EXPECT_FALSE(refused) << "round " << round;
    ASSERT_TRUE(waitFor([&] { return done; }));
  }
}

TEST_F(UserDevicesTest, ACodeIsSentTrimmedAndOnlyWhenThereIsOne) {
  service.addDevice(OwnDevicesService::device("dev-new", "mobile", "Pixel 8"), std::nullopt,
                    "K7QM-2XD9");
  auto zelk = attachedClient();
  std::optional<ZelkServiceError> empty;
  zelk->logoutDeviceWithCode(" \t\n", [&](const auto&, const auto& e) { empty = e; });
  ASSERT_TRUE(empty);
  EXPECT_EQ(empty->message, "no code given");
  EXPECT_TRUE(service.bodies("/v2/access/devices/logout").empty());

  const SignedOut result = signOut(
      [&](auto completion) { zelk->logoutDeviceWithCode("  K7QM-2XD9\n", std::move(completion)); });
  ASSERT_TRUE(result.reply);
  EXPECT_EQ(result.reply->deviceID, "dev-new");
  const json body = service.bodies("/v2/access/devices/logout").back();
  EXPECT_EQ(body["code"], "K7QM-2XD9");
  EXPECT_FALSE(body.contains("target"));
}

TEST_F(UserDevicesTest, RefusalsCarryTheServicesTextStatusAndNextChange) {
  auto zelk = attachedClient();
  auto refusal = [&](auto call) {
    const SignedOut result = signOut(call);
    EXPECT_FALSE(result.reply);
    EXPECT_EQ(result.thread, mainThread);
    return result.error.value_or(ZelkServiceError{"(none)", 0, std::nullopt});
  };
  auto byID = [&](std::string id) {
    return [&zelk, id](auto completion) { zelk->logoutDevice(id, std::move(completion)); };
  };

  const ZelkServiceError unknown = refusal(byID("someone-elses"));
  EXPECT_EQ(unknown.message, "unknown device");
  EXPECT_EQ(unknown.status, 404);
  EXPECT_FALSE(unknown.nextChangeAt);

  const ZelkServiceError code = refusal(
      [&](auto completion) { zelk->logoutDeviceWithCode("AAAA-BBBB", std::move(completion)); });
  EXPECT_EQ(code.message, "unknown code");
  EXPECT_EQ(code.status, 404);

  service.queueReply(409, R"({"error": "You can change devices again on 2027-01-08.",
                              "next_change_at": "2027-01-08T10:00:00.000Z"})");
  const ZelkServiceError capped = refusal(byID("dev-2"));
  EXPECT_EQ(capped.message, "You can change devices again on 2027-01-08.");
  EXPECT_EQ(capped.status, 409);
  EXPECT_EQ(capped.nextChangeAt, iso8601Full().date("2027-01-08T10:00:00.000Z"));

  service.queueReply(429, "Too Many Requests");
  const ZelkServiceError limited = refusal(byID("dev-2"));
  EXPECT_EQ(limited.message, "The service refused the call (HTTP 429)");
  EXPECT_EQ(limited.status, 429);

  service.queueReply(401, R"({"error": "unknown access"})");
  const Listed listed = list(*zelk);
  EXPECT_FALSE(listed.devices);
  ASSERT_TRUE(listed.error);
  EXPECT_EQ(listed.error->message, "unknown access");
  EXPECT_EQ(listed.error->status, 401);
  EXPECT_EQ(listed.thread, mainThread);
}

TEST_F(UserDevicesTest, RepliesThatDoNotDecodeAreReportedWithAMessage) {
  auto zelk = attachedClient();
  service.queueReply(200, R"({"device_id": "dev-current", "devices": {}})");
  StdoutCapture out;
  const Listed listed = list(*zelk);
  ASSERT_TRUE(listed.error);
  EXPECT_EQ(listed.error->message, "Unable to decode devices response");
  const std::string printed = out.take();
  EXPECT_EQ(printed.rfind("[Zelk SDK]: ", 0), 0u) << printed;
  EXPECT_NE(printed.find("devices"), std::string::npos) << printed;

  service.queueReply(200, R"({"success": true})");
  const SignedOut result =
      signOut([&](auto completion) { zelk->logoutDevice("dev-2", std::move(completion)); });
  ASSERT_TRUE(result.error);
  EXPECT_EQ(result.error->message, "Unable to decode logout response");
  EXPECT_EQ(result.error->status, 200);
}

TEST_F(UserDevicesTest, AServiceGoneAwayIsReportedOnTheMainThread) {
  auto zelk = attachedClient();
  // The same client state pointed at a port nobody listens on.
  std::shared_ptr<Zelk> elsewhere;
  {
    ScriptedServer gone([](const ScriptedRequest& request) {
      if (request.path == "/v2/access") {
        return ScriptedReply{200, {}, R"({"success":true,"attached_devices":1,
                                          "device_id":"d","access":"a"})"};
      }
      return ScriptedReply{200, {{"Content-Type", "text/event-stream"}}, "", {}, 0, {}, true};
    });
    elsewhere = makeClient(gone.baseURL());
    elsewhere->attach();
    ASSERT_TRUE(waitFor([&] { return elsewhere->deviceID().has_value(); }));
  }
  StdoutCapture out;
  const Listed listed = list(*elsewhere);
  ASSERT_TRUE(listed.error);
  EXPECT_EQ(listed.error->message, "Could not load the devices");
  EXPECT_EQ(listed.error->status, 0);
  EXPECT_EQ(listed.thread, mainThread);
  const SignedOut result =
      signOut([&](auto completion) { elsewhere->logoutDevice("x", std::move(completion)); });
  ASSERT_TRUE(result.error);
  EXPECT_EQ(result.error->message, "Could not sign the device out");
}

}  // namespace
}  // namespace zelk::testing
