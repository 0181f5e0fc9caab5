// SPDX-License-Identifier: Apache-2.0
#include "support/client_fixture.hpp"

namespace zelk::testing {
namespace {

using nlohmann::json;

class DetachTest : public ClientFixture {
 protected:
  std::shared_ptr<Zelk> attachedClient(
      std::string vendorID = "11111111-2222-4333-8444-555555555555", std::string user = "user-1") {
    auto zelk = makeClient("project", platform(phoneFacts(std::move(vendorID))));
    zelk->setUserID(std::move(user));
    zelk->attach();
    EXPECT_TRUE(waitFor([&] { return zelk->deviceID().has_value(); }));
    return zelk;
  }
};

TEST_F(DetachTest, WithoutAUserCompletesAtOnceSilently) {
  auto zelk = makeClient();
  StdoutCapture out;
  bool called = false;
  zelk->detach("dev", [&](const std::optional<ZelkAttachResponse>& reply) {
    called = true;
    EXPECT_FALSE(reply);
  });
  EXPECT_TRUE(called);  // before detach returns
  settle(*zelk);
  EXPECT_EQ(out.take(), "");
  EXPECT_TRUE(sandbox.requests().empty());
}

TEST_F(DetachTest, WithoutADeviceSaysSoAndCompletesAtOnce) {
  auto zelk = makeClient();
  zelk->setUserID("u");
  StdoutCapture out;
  bool called = false;
  zelk->detach(std::nullopt,
               [&](const std::optional<ZelkAttachResponse>& reply) { called = !reply; });
  EXPECT_TRUE(called);
  EXPECT_EQ(out.take(), "[Zelk SDK]: no device to detach\n");
}

// The service also pushes a logout to the detached device's stream; the host hears of it once.
TEST_F(DetachTest, DetachingTheCurrentDeviceLogsItOut) {
  auto zelk = attachedClient();
  const auto device = zelk->deviceID();
  int logouts = 0;
  std::thread::id logoutOn, completedOn;
  zelk->onLogoutCurrentDevice = [&] {
    ++logouts;
    logoutOn = std::this_thread::get_id();
  };
  std::optional<ZelkAttachResponse> reply;
  zelk->detach(std::nullopt, [&](const std::optional<ZelkAttachResponse>& r) {
    EXPECT_EQ(logouts, 1);  // the host callback comes first
    completedOn = std::this_thread::get_id();
    reply = r;
  });
  ASSERT_TRUE(waitFor([&] { return reply.has_value(); }));
  EXPECT_EQ(reply->deviceID, device);
  EXPECT_EQ(logouts, 1);
  EXPECT_EQ(logoutOn, mainThread);
  EXPECT_EQ(completedOn, mainThread);
  EXPECT_FALSE(zelk->deviceID());
  EXPECT_EQ(bodies("/v2/access/detach").back(), (json{{"device", *device}, {"user", "user-1"}}));
}

TEST_F(DetachTest, DetachingAnotherDeviceLeavesThisOneAlone) {
  auto mine = attachedClient("11111111-2222-4333-8444-555555555555");
  auto other = attachedClient("99999999-2222-4333-8444-555555555555");
  ASSERT_NE(mine->deviceID(), other->deviceID());
  int logouts = 0;
  mine->onLogoutCurrentDevice = [&] { ++logouts; };
  std::optional<ZelkAttachResponse> reply;
  mine->detach(other->deviceID(), [&](const auto& r) { reply = r; });
  ASSERT_TRUE(waitFor([&] { return reply.has_value(); }));
  EXPECT_EQ(reply->deviceID, other->deviceID());
  EXPECT_EQ(logouts, 0);
  EXPECT_TRUE(mine->deviceID());
  EXPECT_EQ(bodies("/v2/access/detach").back()["device"], *other->deviceID());
}

TEST_F(DetachTest, AReplyNamingNoDeviceWhileNoneIsKnownCountsAsThisDevice) {
  auto zelk = makeClient();
  zelk->setUserID("u");
  int logouts = 0;
  zelk->onLogoutCurrentDevice = [&] { ++logouts; };
  sandbox.script("detach", 200, R"({"success": true, "attached_devices": 0})");
  bool completed = false;
  zelk->detach("some-device", [&](const auto& reply) { completed = reply.has_value(); });
  ASSERT_TRUE(waitFor([&] { return completed; }));
  EXPECT_EQ(logouts, 1);
}

TEST_F(DetachTest, AnUndecodableReplyIsReportedAndCompletesOnTheHTTPThread) {
  auto zelk = attachedClient();
  StdoutCapture out;
  std::thread::id completedOn;
  bool called = false;
  zelk->detach("unknown-device", [&](const auto& reply) {
    called = !reply;
    completedOn = std::this_thread::get_id();
  });
  settle(*zelk);
  const std::string printed = out.take();
  EXPECT_TRUE(called);
  EXPECT_NE(completedOn, mainThread);
  // The service's refusal says why; that is the line, not the member the reply lacks.
  EXPECT_EQ(printed, "[Zelk SDK]: unknown device\n");
  EXPECT_TRUE(zelk->deviceID());
}

TEST_F(DetachTest, AReplyThatIsNoRefusalEitherIsReportedWithTheDecodingError) {
  auto zelk = attachedClient();
  sandbox.script("detach", 500, R"({"error": 7})");
  StdoutCapture out;
  bool called = false;
  zelk->detach("other-device", [&](const auto& reply) { called = !reply; });
  settle(*zelk);
  const std::string printed = out.take();
  EXPECT_TRUE(called);
  EXPECT_EQ(printed.rfind("[Zelk SDK]: ", 0), 0u) << printed;
  EXPECT_NE(printed.find("attached_devices"), std::string::npos) << printed;
}

// The cap on device changes refuses a detach with a sentence of its own, which is what the
// developer reads.
TEST_F(DetachTest, ARefusalIsReportedWithTheServicesText) {
  auto zelk = attachedClient();
  sandbox.script("detach", 409,
                 R"({"error": "You can change devices again on 2027-01-08.",
                     "next_change_at": "2027-01-08T10:00:00.000Z"})");
  StdoutCapture out;
  bool called = false;
  zelk->detach("other-device", [&](const auto& reply) { called = !reply; });
  settle(*zelk);
  EXPECT_TRUE(called);
  EXPECT_EQ(out.take(), "[Zelk SDK]: You can change devices again on 2027-01-08.\n");
  EXPECT_TRUE(zelk->deviceID());
}

class IdentifyTest : public ClientFixture {};

TEST_F(IdentifyTest, StoresTheIdentityAndSendsItBackOnIdentifyAndAttach) {
  auto zelk = makeClient();
  std::optional<ZelkDeviceIdentity> identity;
  std::thread::id completedOn;
  zelk->identify(Metadata{{"a", "b"}}, [&](const auto& result, const auto& error) {
    EXPECT_FALSE(error);
    identity = result;
    completedOn = std::this_thread::get_id();
  });
  ASSERT_TRUE(waitFor([&] { return identity.has_value(); }));
  EXPECT_EQ(completedOn, mainThread);
  EXPECT_EQ(zelk->identity(), identity->identity);

  const auto first = bodies("/v2/identity");
  ASSERT_EQ(first.size(), 1u);
  EXPECT_EQ(first[0].size(), 3u);
  EXPECT_EQ(first[0]["metadata"], (json{{"a", "b"}}));
  EXPECT_FALSE(first[0].contains("user"));

  bool again = false;
  zelk->identify(std::nullopt,
                 [&](const auto& result, const auto&) { again = result.has_value(); });
  ASSERT_TRUE(waitFor([&] { return again; }));
  const auto second = bodies("/v2/identity").back();
  EXPECT_EQ(second.size(), 4u);
  EXPECT_EQ(second["identity_id"], identity->identity);
  EXPECT_EQ(second["metadata"], json::array());

  zelk->setUserID("u");
  zelk->attach();
  settle(*zelk);
  const auto attach = bodies("/v2/access").back();
  EXPECT_EQ(attach.size(), 7u);
  EXPECT_EQ(attach["identity"], identity->identity);
}

TEST_F(IdentifyTest, AnUndecodableReplyKeepsTheStoredIdentity) {
  preferences->set("dorvi_device_identity", "kept");
  auto zelk = makeClient();
  sandbox.script("identify", 500, R"({"identity": "new"})");
  std::optional<ZelkError> error;
  std::thread::id completedOn;
  zelk->identify(std::nullopt, [&](const auto& result, const auto& e) {
    EXPECT_FALSE(result);
    error = e;
    completedOn = std::this_thread::get_id();
  });
  settle(*zelk);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->message, "Unable to decode device response");
  EXPECT_NE(completedOn, mainThread);
  EXPECT_EQ(zelk->identity(), "kept");
}

TEST_F(IdentifyTest, AnUnreachableServiceIsReportedWithTheTransportError) {
  sandbox.stop();
  auto zelk = makeClient();
  StdoutCapture out;
  std::optional<ZelkError> error;
  std::thread::id completedOn;
  zelk->identify(std::nullopt, [&](const auto&, const auto& e) {
    error = e;
    completedOn = std::this_thread::get_id();
  });
  settle(*zelk);
  const std::string printed = out.take();
  ASSERT_TRUE(error);
  EXPECT_EQ(error->message, "Could not identify device");
  EXPECT_NE(completedOn, mainThread);
  EXPECT_EQ(printed.rfind("[Zelk SDK]: ", 0), 0u) << printed;
  EXPECT_EQ(std::count(printed.begin(), printed.end(), '\n'), 1) << printed;
}

TEST_F(IdentifyTest, RequestsThatCannotBeMadeFailAtOnce) {
  struct Case {
    std::string clientID, baseURL, printed;
    Metadata metadata;
  };
  const Case cases[] = {
      {"", sandbox.baseURL(), "[Zelk SDK]: clientID must not be nil.\n", {}},
      {"p", "not a url", "", {}},
      {"p", "ftp://127.0.0.1", "", {}},
  };
  for (const auto& c : cases) {
    Platform p = platform();
    p.baseURL = c.baseURL;
    auto zelk = makeClient(c.clientID, p);
    StdoutCapture out;
    std::optional<ZelkError> error;
    zelk->identify(c.metadata, [&](const auto&, const auto& e) { error = e; });
    ASSERT_TRUE(error) << c.baseURL;  // before identify returns
    EXPECT_EQ(error->message, "Could not identify device");
    EXPECT_EQ(out.take(), c.printed);
  }
  EXPECT_TRUE(sandbox.requests().empty());
}

TEST_F(IdentifyTest, MetadataThatIsNotValidUTF8IsRefusedWithAMessage) {
  auto zelk = makeClient();
  StdoutCapture out;
  std::optional<ZelkError> error;
  zelk->identify(Metadata{{"name", "\xff\xfe"}}, [&](const auto&, const auto& e) { error = e; });
  ASSERT_TRUE(error);
  const std::string printed = out.take();
  EXPECT_EQ(printed.rfind("[Zelk SDK]: ", 0), 0u) << printed;
  EXPECT_TRUE(sandbox.requests().empty());
}

TEST_F(IdentifyTest, DroppingTheClientAndItsPlatformFreesEverything) {
  std::weak_ptr<Zelk> watch;
  {
    auto zelk = makeClient();
    watch = zelk;
    zelk->setUserID("u");
    zelk->attach();  // still in flight when everything is dropped
    zelk->identify(std::nullopt, nullptr);
  }
  center.reset();
  loop.reset();
  EXPECT_TRUE(watch.expired());
}

}  // namespace
}  // namespace zelk::testing
