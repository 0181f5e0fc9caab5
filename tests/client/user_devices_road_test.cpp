// SPDX-License-Identifier: Apache-2.0
// The user's own devices end to end: real clients, each its own device, against the sandbox
// service over loopback.
#include "support/client_fixture.hpp"

namespace zelk::testing {
namespace {

class UserDevicesRoad : public ClientFixture {
 protected:
  // A client of `user` on the device of `vendorID`, attached, its stream on the way.
  std::shared_ptr<Zelk> attached(const std::string& user, const std::string& vendorID) {
    auto client =
        makeClient("project one", platform(phoneFacts(vendorID), PreferencesStore::inMemory()));
    client->setUserID(user);
    client->attach();
    EXPECT_TRUE(waitFor([&] { return client->deviceID().has_value(); }));
    return client;
  }

  struct Listed {
    std::optional<ZelkUserDevices> devices;
    std::optional<ZelkServiceError> error;
    bool done = false;
  };
  Listed list(Zelk& client) {
    Listed listed;
    client.devices([&](const auto& devices, const auto& error) {
      listed = {devices, error, true};
    });
    EXPECT_TRUE(waitFor([&] { return listed.done; }));
    return listed;
  }

  struct SignedOut {
    std::optional<ZelkAttachResponse> reply;
    std::optional<ZelkServiceError> error;
    bool done = false;
  };
  SignedOut signOut(Zelk& client, const std::string& deviceID) {
    SignedOut out;
    client.logoutDevice(deviceID, [&](const auto& reply, const auto& error) {
      out = {reply, error, true};
    });
    EXPECT_TRUE(waitFor([&] { return out.done; }));
    return out;
  }
};

TEST_F(UserDevicesRoad, AUserSeesTheirDevicesAndSignsAnotherOutThroughItsStream) {
  auto phone = attached("alice", "11111111-0000-4000-8000-000000000001");
  auto tablet = attached("alice", "11111111-0000-4000-8000-000000000002");
  auto bobs = attached("bob", "11111111-0000-4000-8000-000000000003");
  bool tabletLoggedOut = false;
  tablet->onLogoutCurrentDevice = [&] { tabletLoggedOut = true; };
  const std::string tabletID = *tablet->deviceID();

  Listed listed = list(*phone);
  ASSERT_TRUE(listed.devices) << (listed.error ? listed.error->message : "");
  ASSERT_EQ(listed.devices->devices.size(), 2u);
  EXPECT_EQ(listed.devices->deviceID, *phone->deviceID());
  EXPECT_TRUE(listed.devices->devices[0].current);
  EXPECT_EQ(listed.devices->devices[0].device.id, *phone->deviceID());
  EXPECT_FALSE(listed.devices->devices[1].current);
  EXPECT_EQ(listed.devices->devices[1].device.id, tabletID);
  EXPECT_EQ(listed.devices->devices[1].device.info.device->model, "iPhone");

  // Wait for the tablet's stream, then sign it out from the phone: the stream tells it.
  ASSERT_TRUE(
      waitFor([&] { return sandbox.waitForStreams(tabletID, 1, std::chrono::milliseconds(0)); }));
  SignedOut out = signOut(*phone, tabletID);
  ASSERT_TRUE(out.reply) << (out.error ? out.error->message : "");
  EXPECT_EQ(out.reply->deviceID, tabletID);
  EXPECT_TRUE(waitFor([&] { return tabletLoggedOut; }));
  EXPECT_EQ(list(*phone).devices->devices.size(), 1u);

  // Bob's device is no device of alice's.
  out = signOut(*phone, *bobs->deviceID());
  ASSERT_TRUE(out.error);
  EXPECT_EQ(out.error->status, 404);
  EXPECT_EQ(out.error->message, "unknown device");
  EXPECT_EQ(list(*bobs).devices->devices.size(), 1u);

  // The tablet heard its logout on the stream; asking with the access it had is refused.
  listed = list(*tablet);
  ASSERT_TRUE(listed.error);
  EXPECT_EQ(listed.error->status, 401);
  EXPECT_EQ(listed.error->message, "unknown access");
}

}  // namespace
}  // namespace zelk::testing
