// SPDX-License-Identifier: Apache-2.0
#include "support/client_fixture.hpp"

namespace zelk::testing {
namespace {

using nlohmann::json;

std::set<std::string> keys(const json& object) {
  std::set<std::string> result;
  for (const auto& item : object.items()) result.insert(item.key());
  return result;
}

// Upper-case 8-4-4-4-12 hexadecimal, version 4, RFC 4122 variant.
bool isUpperCaseUUID(const std::string& text) {
  if (text.size() != 36) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    const char c = text[i];
    if (dash ? c != '-' : !((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
  }
  return text[14] == '4' && std::string_view("89AB").find(text[19]) != std::string_view::npos;
}

class AttachTest : public ClientFixture {};

TEST_F(AttachTest, WithoutAUserPrintsOncePerCallAndSendsNothing) {
  auto zelk = makeClient();
  StdoutCapture out;
  bool completed = false;
  zelk->attach(std::nullopt, [&](const ZelkAttachResponse&) { completed = true; });
  zelk->attach();
  settle(*zelk);
  EXPECT_EQ(out.take(),
            "[Zelk SDK]: userID must not be nil.\n[Zelk SDK]: userID must not be nil.\n");
  EXPECT_FALSE(completed);
  EXPECT_TRUE(sandbox.requests().empty());
}

TEST_F(AttachTest, SendsTheDeviceFactsWithSixMembersAndStoresTheDeviceID) {
  auto zelk = makeClient();
  zelk->setUserID("user-1");
  std::optional<ZelkAttachResponse> reply;
  std::thread::id completedOn;
  zelk->attach(std::nullopt, [&](const ZelkAttachResponse& r) {
    completedOn = std::this_thread::get_id();
    reply = r;
  });
  ASSERT_TRUE(waitFor([&] { return zelk->deviceID().has_value(); }));
  settle(*zelk);
  ASSERT_TRUE(reply);
  EXPECT_NE(completedOn, mainThread);  // the reply arrives on the HTTP thread
  EXPECT_EQ(zelk->deviceID(), reply->deviceID);
  EXPECT_TRUE(reply->success);

  const auto sent = bodies("/v2/access");
  ASSERT_EQ(sent.size(), 1u);
  const json& body = sent[0];
  EXPECT_EQ(keys(body), (std::set<std::string>{"user", "library", "version", "device_info",
                                               "signals", "metadata"}));
  EXPECT_EQ(body["user"], "user-1");
  EXPECT_EQ(body["library"], "swift");
  EXPECT_EQ(body["version"], "3.0.2");
  EXPECT_EQ(body["device_info"], json::parse(R"({"os": {"name": "iOS", "version": "17.2"},
      "device": {"vendor": "Apple", "model": "iPhone", "type": "mobile"}})"));
  EXPECT_EQ(body["signals"],
            json::parse(R"({"iosVendorIdentifier": "0A1B2C3D-4E5F-4061-8272-839495A6B7C8"})"));
  EXPECT_EQ(body["metadata"], json::array());
}

TEST_F(AttachTest, SendsTheWireHeadersWithTheClientIDUnencoded) {
  auto zelk = makeClient("proj 1%é");
  zelk->setUserID("u");
  zelk->attach();
  settle(*zelk);
  std::vector<sandbox::RecordedRequest> requests;
  for (auto& request : sandbox.requests()) {
    if (request.path == "/v2/access") requests.push_back(std::move(request));
  }
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].method, "POST");
  std::map<std::string, std::string> headers(requests[0].headers.begin(),
                                             requests[0].headers.end());
  EXPECT_EQ(headers["Authorization"], "Basic proj 1%é:");
  EXPECT_EQ(headers["Content-Type"], "application/json");
  EXPECT_EQ(headers["Accept"], "application/json");
}

// The attach body is written without building a JSON object; it must be the very bytes that
// serialising the object gives, escapes and UTF-8 errors included.
TEST(AttachBodyTest, IsByteForByteWhatTheJSONLibraryWritesForTheSameObject) {
  struct Case {
    DeviceFacts facts;
    std::string user;
    std::optional<std::string> identity;
    std::optional<Metadata> metadata;
  };
  const std::vector<Case> cases = {
      {{"iPhone", "iOS", "17.2", "V"}, "user-1", std::nullopt, std::nullopt},
      {{"iPad Pro", "iPadOS", "17.2", "V"}, "ann@example.com", "identity-1", Metadata{}},
      {{"Pixel \xE2\x80\x9C"
        "8"
        "\xE2\x80\x9D",
        "Linux", "6.1", std::nullopt},
       "quote \" backslash \\ slash /",
       "tab\there",
       Metadata{{"plan", "pro"},
                {"path", "C:\\dir"},
                {"say", "\"hi\""},
                {"emoji", "\xF0\x9F\x99\x82"},
                {"ctl", std::string("a\x01\x1f\x7f", 4)},
                {"line\nbreak", "cr\rlf\n"},
                {"", ""},
                {"\xC3\xA9"
                 "t"
                 "\xC3\xA9",
                 "\xC3\xA9"}}},
  };
  for (const auto& c : cases) {
    const std::string vendor = c.facts.identifierForVendor.value_or("FRESH-UUID");
    json expected = {
        {"user", c.user},
        {"library", "swift"},
        {"version", "3.0.2"},
        {"device_info",
         {{"os", {{"name", c.facts.systemName}, {"version", c.facts.systemVersion}}},
          {"device",
           {{"vendor", "Apple"},
            {"model", c.facts.model},
            {"type", c.facts.model.find("iPad") != std::string::npos ? "tablet" : "mobile"}}}}},
        {"signals", {{"iosVendorIdentifier", vendor}}},
        {"metadata", json::array()}};
    if (c.metadata) {
      expected["metadata"] = json::object();
      for (const auto& [key, value] : *c.metadata) expected["metadata"][key] = value;
    }
    if (c.identity) expected["identity"] = *c.identity;
    std::string written;
    detail::writeAttachBody({c.facts, vendor, c.user, c.identity, c.metadata}, written);
    EXPECT_EQ(written, expected.dump());
  }

  // Text that is not UTF-8 fails as the JSON library fails, with its message.
  for (const auto& [user, metadata] : std::vector<std::pair<std::string, std::optional<Metadata>>>{
           {"bad \xFF user", std::nullopt},
           {"user", Metadata{{"key", "bad \xC3"}}},
           {"user", Metadata{{"bad \xE2\x28\xA1 key", "value"}}}}) {
    const DeviceFacts facts{"iPhone", "iOS", "17.2", "V"};
    const std::string vendor = "V";
    json expected = {{"device_info", json::object()}, {"user", user}, {"metadata", json::array()}};
    if (metadata) {
      expected["metadata"] = json::object();
      for (const auto& [key, value] : *metadata) expected["metadata"][key] = value;
    }
    std::string expectedError, writtenError;
    try {
      (void)expected.dump();
    } catch (const json::exception& error) {
      expectedError = error.what();
    }
    try {
      std::string written;
      detail::writeAttachBody({facts, vendor, user, std::nullopt, metadata}, written);
    } catch (const json::exception& error) {
      writtenError = error.what();
    }
    EXPECT_FALSE(expectedError.empty());
    EXPECT_EQ(writtenError, expectedError);
  }
}

TEST_F(AttachTest, MetadataIsAnObjectWhenGivenAndAnArrayWhenNot) {
  auto zelk = makeClient();
  zelk->setUserID("u");
  zelk->attach(Metadata{{"plan", "pro"}, {"seat", "7"}});
  zelk->attach(Metadata{});
  zelk->attach();
  settle(*zelk);
  std::vector<json> metadata;
  for (const auto& body : bodies("/v2/access")) metadata.push_back(body["metadata"]);
  ASSERT_EQ(metadata.size(), 3u);
  EXPECT_EQ(std::count(metadata.begin(), metadata.end(), json{{"plan", "pro"}, {"seat", "7"}}), 1);
  EXPECT_EQ(std::count(metadata.begin(), metadata.end(), json::object()), 1);
  EXPECT_EQ(std::count(metadata.begin(), metadata.end(), json::array()), 1);
}

TEST_F(AttachTest, ReportsATabletOnlyForModelsContainingIPad) {
  for (const auto& [model, type] : std::vector<std::pair<std::string, std::string>>{
           {"iPad Pro", "tablet"}, {"MyiPad", "tablet"}, {"ipad", "mobile"}, {"Linux", "mobile"}}) {
    DeviceFacts facts = phoneFacts();
    facts.model = model;
    auto zelk = makeClient("p", platform(facts));
    zelk->setUserID("u");
    zelk->attach();
    settle(*zelk);
    EXPECT_EQ(bodies("/v2/access").back()["device_info"]["device"]["type"], type) << model;
  }
}

TEST_F(AttachTest, WithoutAVendorIdentifierEachAttachSendsAFreshUUID) {
  DeviceFacts facts = phoneFacts();
  facts.identifierForVendor.reset();
  auto zelk = makeClient("p", platform(facts));
  zelk->setUserID("u");
  zelk->attach();
  zelk->attach();
  settle(*zelk);
  const auto sent = bodies("/v2/access");
  ASSERT_EQ(sent.size(), 2u);
  const std::string first = sent[0]["signals"]["iosVendorIdentifier"];
  const std::string second = sent[1]["signals"]["iosVendorIdentifier"];
  EXPECT_TRUE(isUpperCaseUUID(first)) << first;
  EXPECT_TRUE(isUpperCaseUUID(second)) << second;
  EXPECT_NE(first, second);
}

TEST_F(AttachTest, AnErrorStatusWithADecodableBodyReachesTheCaller) {
  auto zelk = makeClient();
  zelk->setUserID("u");
  sandbox.script("attach", 500,
                 R"({"success": false, "attached_devices": 4, "device_id": "dev-x"})");
  std::optional<ZelkAttachResponse> reply;
  zelk->attach(std::nullopt, [&](const ZelkAttachResponse& r) { reply = r; });
  settle(*zelk);
  ASSERT_TRUE(reply);
  EXPECT_FALSE(reply->success);
  EXPECT_EQ(reply->attachedDevices, 4);
  EXPECT_EQ(zelk->deviceID(), "dev-x");
}

TEST_F(AttachTest, AnUndecodableReplyIsIgnoredSilently) {
  auto zelk = makeClient();
  zelk->setUserID("u");
  zelk->attach();
  ASSERT_TRUE(waitFor([&] { return zelk->deviceID().has_value(); }));
  const auto known = zelk->deviceID();

  sandbox.script("attach", 200, R"({"success": true, "device_id": "other"})");
  StdoutCapture out;
  bool completed = false;
  zelk->attach(std::nullopt, [&](const ZelkAttachResponse&) { completed = true; });
  settle(*zelk);
  EXPECT_EQ(out.take(), "");
  EXPECT_FALSE(completed);
  EXPECT_EQ(zelk->deviceID(), known);
}

TEST_F(AttachTest, AReplyWithoutADeviceIDClearsIt) {
  auto zelk = makeClient();
  zelk->setUserID("u");
  zelk->attach();
  ASSERT_TRUE(waitFor([&] { return zelk->deviceID().has_value(); }));
  sandbox.script("attach", 200, R"({"success": true, "attached_devices": 1})");
  bool completed = false;
  zelk->attach(std::nullopt, [&](const ZelkAttachResponse&) { completed = true; });
  settle(*zelk);
  EXPECT_TRUE(completed);
  EXPECT_FALSE(zelk->deviceID());
}

TEST_F(AttachTest, LifecycleNotificationsDetachAndAttachOncePerTransition) {
  auto zelk = makeClient();
  zelk->setUserID("u");
  zelk->attach(Metadata{{"k", "v"}});
  ASSERT_TRUE(waitFor([&] { return zelk->deviceID().has_value(); }));
  for (int round = 0; round < 2; ++round) {
    center->post(AppNotification::willResignActive);
    ASSERT_TRUE(waitFor([&] { return !zelk->deviceID(); }));
    center->post(AppNotification::didBecomeActive);
    ASSERT_TRUE(waitFor([&] { return zelk->deviceID().has_value(); }));
  }
  settle(*zelk);
  const auto attaches = bodies("/v2/access");
  ASSERT_EQ(attaches.size(), 3u);
  EXPECT_EQ(attaches[2]["metadata"], json::array());  // the automatic attach sends none
  EXPECT_EQ(bodies("/v2/access/detach").size(), 2u);
}

}  // namespace
}  // namespace zelk::testing
