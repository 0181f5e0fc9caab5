// SPDX-License-Identifier: Apache-2.0
#include "client/realtime_subscription.hpp"
#include "support/client_fixture.hpp"

namespace zelk::testing {
namespace {

using namespace std::chrono_literals;

TEST(ListenURLTest, EncodesEverythingButTheQueryCharacters) {
  EXPECT_EQ(detail::listenURL("https://api.example.test", "dev 1", "acc", "my app%\xC3\xA9"),
            "https://api.example.test/v2/access/device/dev%201/listen?access=acc&auth=Basic%20my%20"
            "app%25%C3%A9:");
  EXPECT_EQ(detail::listenURL("http://127.0.0.1:8080", "d", "", "p"),
            "http://127.0.0.1:8080/v2/access/device/d/listen?access=&auth=Basic%20p:");
  // The service's values cannot add segments or parameters of their own.
  EXPECT_EQ(detail::listenURL("http://h", "../../evil?x=1", "a&auth=b#f", "p"),
            "http://h/v2/access/device/..%2F..%2Fevil%3Fx=1/listen?access=a%26auth=b%23f&auth="
            "Basic%20p:");
  // Well-formed IDs and tokens go out exactly as before.
  EXPECT_EQ(detail::listenURL("http://h", "dev_1-A.b", "acc+/x==", "p"),
            "http://h/v2/access/device/dev_1-A.b/listen?access=acc+/x==&auth=Basic%20p:");
  EXPECT_EQ(detail::listenURL("http://h", "..", "", "p"),
            "http://h/v2/access/device/%2E%2E/listen?access=&auth=Basic%20p:");
  EXPECT_EQ(detail::percentEncodeQuery("azAZ09-._~!$&'()*+,;=:@/?"), "azAZ09-._~!$&'()*+,;=:@/?");
  EXPECT_EQ(detail::percentEncodeQuery("#[]\"<>\\^`{|}"), "%23%5B%5D%22%3C%3E%5C%5E%60%7B%7C%7D");
}

TEST(RealtimeMessageTest, OnlyChallengeActionsDecode) {
  auto message = detail::decodeRealtimeMessage(
      R"({"action": "challenge", "challenge": {"_id": "c1"}, "x": 1})");
  ASSERT_TRUE(message);
  EXPECT_EQ(message->challengeID, "c1");
  auto bare = detail::decodeRealtimeMessage(R"({"action": "challenge"})");
  ASSERT_TRUE(bare);
  EXPECT_FALSE(bare->challengeID);
  EXPECT_FALSE(detail::decodeRealtimeMessage(R"({"action": "other", "challenge": {"_id": "c1"}})"));
  EXPECT_FALSE(detail::decodeRealtimeMessage(R"({"challenge": {"_id": "c1"}})"));
  EXPECT_FALSE(detail::decodeRealtimeMessage(R"({"action": "challenge", "challenge": {}})"));
  EXPECT_FALSE(detail::decodeRealtimeMessage("logout"));
}

class RealtimeTest : public ClientFixture {
 protected:
  std::shared_ptr<Zelk> attachedClient() {
    auto zelk = makeClient("realtime project");
    zelk->setUserID("u");
    zelk->attach();
    EXPECT_TRUE(waitFor([&] { return zelk->deviceID().has_value(); }));
    device = zelk->deviceID().value_or("");
    // The stream starts on the main loop, after the attach reply.
    EXPECT_TRUE(waitFor([&] {
      const auto& stream = ZelkInternals::of(*zelk).eventSource;
      return stream && stream->readyState() == ReadyState::open;
    }));
    return zelk;
  }

  std::size_t listens() {
    std::size_t count = 0;
    for (const auto& request : sandbox.requests()) count += request.path.ends_with("/listen");
    return count;
  }

  std::string device;
};

TEST_F(RealtimeTest, AttachOpensTheStreamWithTheAccessFromTheReply) {
  auto zelk = attachedClient();
  const auto requests = sandbox.requests();
  auto listen = std::find_if(requests.begin(), requests.end(),
                             [](const auto& r) { return r.path.ends_with("/listen"); });
  ASSERT_NE(listen, requests.end());
  EXPECT_EQ(listen->path, "/v2/access/device/" + device + "/listen");
  EXPECT_NE(listen->query.find("&auth=Basic%20realtime%20project:"), std::string::npos)
      << listen->query;
  for (const auto& [name, value] : listen->headers) EXPECT_NE(name, "Authorization");
}

TEST_F(RealtimeTest, ALogoutMessageLogsOutOnceAndEndsTheStreamForGood) {
  auto zelk = attachedClient();
  int logouts = 0;
  zelk->onLogoutCurrentDevice = [&] { ++logouts; };
  sandbox::Event notLogout;
  notLogout.data = "logout";  // not a JSON string: ignored
  ASSERT_EQ(sandbox.push(device, notLogout), 1);
  sandbox::Event logout;
  logout.type = "ping";  // the type plays no part
  logout.data = "\"logout\"";
  ASSERT_EQ(sandbox.push(device, logout), 1);
  ASSERT_TRUE(waitFor([&] { return logouts == 1; }));
  auto stream = ZelkInternals::of(*zelk).eventSource;
  ASSERT_TRUE(waitFor([&] { return stream->readyState() == ReadyState::shutdown; }));
  EXPECT_TRUE(sandbox.waitForNoStreams(device, 10s));
  loop->runUntil([] { return false; }, 100ms);  // time for a reconnection that must not come
  EXPECT_EQ(listens(), 1u);
  EXPECT_EQ(logouts, 1);
}

TEST_F(RealtimeTest, DetachingThisDeviceStopsTheStream) {
  auto zelk = attachedClient();
  bool done = false;
  zelk->detach(std::nullopt, [&](const auto&) { done = true; });
  ASSERT_TRUE(waitFor([&] { return done; }));
  auto stream = ZelkInternals::of(*zelk).eventSource;
  EXPECT_TRUE(waitFor([&] { return stream->readyState() == ReadyState::shutdown; }));
  EXPECT_TRUE(sandbox.waitForNoStreams(device, 10s));
  EXPECT_EQ(listens(), 1u);
}

TEST_F(RealtimeTest, ANewAttachReplacesTheStream) {
  auto zelk = attachedClient();
  auto first = ZelkInternals::of(*zelk).eventSource;
  zelk->attach();
  ASSERT_TRUE(waitFor([&] { return ZelkInternals::of(*zelk).eventSource != first; }));
  EXPECT_TRUE(waitFor([&] { return first->readyState() == ReadyState::shutdown; }));
  ASSERT_TRUE(waitFor([&] { return listens() == 2; }));
  EXPECT_TRUE(waitFor([&] { return sandbox.openStreams(device) == 1; }));
}

}  // namespace
}  // namespace zelk::testing
