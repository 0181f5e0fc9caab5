// SPDX-License-Identifier: Apache-2.0
#include "challenge/challenge_calls.hpp"
#include "support/client_fixture.hpp"

#include <algorithm>
#include <mutex>
#include <thread>
#include <vector>

namespace zelk::testing {
namespace {

using nlohmann::json;

// What a callback received and on which thread, written from the HTTP thread and read from the
// test thread.
template <class T>
class Received {
 public:
  std::function<void(const T&)> callback() {
    return [this](const T& value) {
      std::lock_guard lock(mutex_);
      values_.push_back(value);
      threads_.push_back(std::this_thread::get_id());
    };
  }
  std::size_t count() const {
    std::lock_guard lock(mutex_);
    return values_.size();
  }
  T value(std::size_t i = 0) const {
    std::lock_guard lock(mutex_);
    return values_.at(i);
  }
  std::thread::id thread(std::size_t i = 0) const {
    std::lock_guard lock(mutex_);
    return threads_.at(i);
  }

 private:
  mutable std::mutex mutex_;
  std::vector<T> values_;
  std::vector<std::thread::id> threads_;
};

// The same for callbacks without an argument.
class Signalled : public Received<bool> {
 public:
  std::function<void()> signal() {
    return [record = callback()] { record(true); };
  }
};

std::size_t lineCount(const std::string& text) {
  return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

// Every line of `text` is a message to the developer.
bool allSDKLines(const std::string& text) {
  std::size_t start = 0;
  while (start < text.size()) {
    if (text.compare(start, 12, "[Zelk SDK]: ") != 0) return false;
    const auto end = text.find('\n', start);
    if (end == std::string::npos) return false;
    start = end + 1;
  }
  return true;
}

constexpr const char* kDetails = R"({"_id": "c1", "status": "open",
  "project": {"_id": "p1", "name": "Acme"},
  "brand": {"logo": "https://cdn.example/logo.png", "require_verification": true},
  "user": {"_id": "u1", "email": "ann@example.com"},
  "channels": ["email", "text"]})";

constexpr const char* kDevices = R"([
  {"_id": "d1", "info": {"os": {"name": "iOS", "version": "17.2"}},
   "createdAt": "2024-05-01T08:00:00.000Z", "last_access": {"geolocation": {"city": "Oslo"}}},
  {"_id": "d2", "info": {}}])";

constexpr const char* kLimits = R"({
  "attached_devices": {"total": 4, "devices": {"mobiles": 3, "computers": 1}},
  "default_overall_limit": 3, "computer_device_limit": 1, "tablet_device_limit": 0,
  "mobile_device_limit": 2})";

class ChallengeCallsTest : public ClientFixture {
 protected:
  void SetUp() override {
    ClientFixture::SetUp();
    zelk = makeClient();
  }

  Zelk::Impl& impl() { return ZelkInternals::of(*zelk); }

  // The requests the sandbox received under /v2/challenge/.
  std::vector<sandbox::RecordedRequest> challengeRequests() {
    std::vector<sandbox::RecordedRequest> result;
    for (auto& request : sandbox.requests()) {
      if (request.path.rfind("/v2/challenge/", 0) == 0) result.push_back(std::move(request));
    }
    return result;
  }

  // Starts every call once for challenge `id`, recording what they call back with.
  struct AllCalls {
    Received<ChallengeDetails> challenge;
    Received<std::vector<ZelkDevice>> devices;
    Received<DeviceLimitState> limits;
    Signalled verified;
    Received<ChallengeVerificationResult> checked;
    Signalled resent;
  };
  void callAll(AllCalls& calls, const std::string& id) {
    detail::getChallenge(impl(), id, calls.challenge.callback());
    detail::getChallengeDevices(impl(), id, calls.devices.callback());
    detail::getDeviceLimits(impl(), id, calls.limits.callback());
    detail::verify(impl(), id, ChallengeChannel::email, calls.verified.signal());
    detail::validateCode(impl(), "123456", id, calls.checked.callback());
    detail::resendChallengeCode(impl(), id, calls.resent.signal());
  }

  std::shared_ptr<Zelk> zelk;
};

// --- What goes on the wire ---

TEST_F(ChallengeCallsTest, FetchesGetTheirPathsWithoutABody) {
  Received<ChallengeDetails> challenge;
  Received<std::vector<ZelkDevice>> devices;
  Received<DeviceLimitState> limits;
  detail::getChallenge(impl(), "c-17", challenge.callback());
  settle(*zelk);
  detail::getChallengeDevices(impl(), "c-17", devices.callback());
  settle(*zelk);
  detail::getDeviceLimits(impl(), "c-17", limits.callback());
  settle(*zelk);

  const auto requests = challengeRequests();
  ASSERT_EQ(requests.size(), 3u);
  const char* paths[] = {"/v2/challenge/c-17", "/v2/challenge/c-17/devices",
                         "/v2/challenge/c-17/device-limit"};
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(requests[i].method, "GET");
    EXPECT_EQ(requests[i].path, paths[i]);
    EXPECT_EQ(requests[i].query, "");
    EXPECT_EQ(requests[i].body, "");
  }
}

TEST_F(ChallengeCallsTest, TheIdentifierStaysOnePathSegmentWhateverItHolds) {
  Received<std::vector<ZelkDevice>> devices;
  Received<ChallengeDetails> challenge;
  Received<DeviceLimitState> limits;
  detail::getChallengeDevices(impl(), "a/b%41", devices.callback());
  settle(*zelk);
  detail::getChallenge(impl(), "c1?x=y", challenge.callback());
  settle(*zelk);
  detail::getDeviceLimits(impl(), "..", limits.callback());
  settle(*zelk);
  detail::getChallenge(impl(), "c 1#f", challenge.callback());
  settle(*zelk);

  const auto requests = challengeRequests();
  ASSERT_EQ(requests.size(), 4u);
  EXPECT_EQ(requests[0].path, "/v2/challenge/a%2Fb%2541/devices");
  EXPECT_EQ(requests[1].path, "/v2/challenge/c1%3Fx=y");
  EXPECT_EQ(requests[1].query, "");
  EXPECT_EQ(requests[2].path, "/v2/challenge/%2E%2E/device-limit");
  EXPECT_EQ(requests[3].path, "/v2/challenge/c%201%23f");
}

TEST_F(ChallengeCallsTest, VerifyPostsTheChallengeTheActionAndTheChannel) {
  for (const auto channel : {ChallengeChannel::text, ChallengeChannel::email}) {
    sandbox.clearRequests();
    Signalled done;
    detail::verify(impl(), "c-9", channel, done.signal());
    settle(*zelk);
    EXPECT_EQ(done.count(), 1u);
    const auto requests = challengeRequests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].method, "POST");
    EXPECT_EQ(requests[0].path, "/v2/challenge/attempt");
    EXPECT_EQ(json::parse(requests[0].body),
              (json{{"challenge", "c-9"}, {"action", "verify"}, {"channel", text(channel)}}));
  }
}

TEST_F(ChallengeCallsTest, ValidateCodePostsTheChallengeAndTheCode) {
  Received<ChallengeVerificationResult> checked;
  detail::validateCode(impl(), "A1B2C3", "c-9", checked.callback());
  settle(*zelk);
  const auto requests = challengeRequests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].method, "POST");
  EXPECT_EQ(requests[0].path, "/v2/challenge/verify");
  EXPECT_EQ(json::parse(requests[0].body), (json{{"challenge", "c-9"}, {"code", "A1B2C3"}}));
}

TEST_F(ChallengeCallsTest, ResendPostsOnlyTheChallenge) {
  Signalled done;
  detail::resendChallengeCode(impl(), "c-9", done.signal());
  settle(*zelk);
  EXPECT_EQ(done.count(), 1u);
  const auto requests = challengeRequests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].method, "POST");
  EXPECT_EQ(requests[0].path, "/v2/challenge/resend");
  EXPECT_EQ(json::parse(requests[0].body), (json{{"challenge", "c-9"}}));
}

// --- Replies that decode ---

TEST_F(ChallengeCallsTest, GetChallengeHandsOverTheDetailsOnTheHTTPThread) {
  sandbox.script("challenge", 200, kDetails);
  Received<ChallengeDetails> challenge;
  StdoutCapture out;
  detail::getChallenge(impl(), "c1", challenge.callback());
  ASSERT_TRUE(waitFor([&] { return challenge.count() == 1; }));
  settle(*zelk);
  EXPECT_EQ(out.take(), "");
  EXPECT_EQ(challenge.count(), 1u);
  EXPECT_NE(challenge.thread(), mainThread);
  const ChallengeDetails details = challenge.value();
  EXPECT_EQ(details._id, "c1");
  EXPECT_EQ(details.project, (Project{"p1", "Acme"}));
  EXPECT_EQ(details.brand, (Brand{"https://cdn.example/logo.png", std::nullopt, true}));
  EXPECT_EQ(details.user, (User{"u1", "ann@example.com", std::nullopt}));
  EXPECT_EQ(details.channels,
            (std::vector<ChallengeChannel>{ChallengeChannel::email, ChallengeChannel::text}));
}

TEST_F(ChallengeCallsTest, GetChallengeDevicesHandsOverTheDevicesWithTheirDates) {
  sandbox.script("challenge-devices", 200, kDevices);
  Received<std::vector<ZelkDevice>> devices;
  detail::getChallengeDevices(impl(), "c1", devices.callback());
  ASSERT_TRUE(waitFor([&] { return devices.count() == 1; }));
  EXPECT_NE(devices.thread(), mainThread);
  const auto list = devices.value();
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0].id, "d1");
  EXPECT_EQ(list[0].info.os->version, "17.2");
  EXPECT_EQ(list[0].createdAt, iso8601Full().date("2024-05-01T08:00:00.000Z"));
  EXPECT_EQ(list[0].lastAccess->geolocation->city, "Oslo");
  EXPECT_EQ(list[1].id, "d2");
  EXPECT_FALSE(list[1].createdAt);
}

TEST_F(ChallengeCallsTest, GetDeviceLimitsHandsOverTheLimits) {
  sandbox.script("device-limit", 200, kLimits);
  Received<DeviceLimitState> limits;
  detail::getDeviceLimits(impl(), "c1", limits.callback());
  ASSERT_TRUE(waitFor([&] { return limits.count() == 1; }));
  EXPECT_NE(limits.thread(), mainThread);
  const DeviceLimitState state = limits.value();
  EXPECT_EQ(state.attachedDevices.total, 4);
  EXPECT_EQ(state.attachedDevices.devices, (AttachedDeviceTypes{1, std::nullopt, 3}));
  EXPECT_EQ(state.defaultOverallLimit, 3);
  EXPECT_EQ(state.tabletDeviceLimit, 0);
  EXPECT_EQ(state.mobileDeviceLimit, 2);
}

TEST_F(ChallengeCallsTest, TheHTTPStatusDoesNotMatterToADecodableReply) {
  sandbox.script("challenge", 500, R"({"_id": "c500"})");
  sandbox.script("verify", 403, R"({"success": true})");
  Received<ChallengeDetails> challenge;
  Received<ChallengeVerificationResult> checked;
  detail::getChallenge(impl(), "c500", challenge.callback());
  detail::validateCode(impl(), "000000", "c500", checked.callback());
  ASSERT_TRUE(waitFor([&] { return challenge.count() == 1 && checked.count() == 1; }));
  EXPECT_EQ(challenge.value()._id, "c500");
  EXPECT_TRUE(checked.value().success);
}

TEST_F(ChallengeCallsTest, ValidateCodeHandsOverTheServicesVerdict) {
  for (const bool verdict : {true, false}) {
    sandbox.script("verify", 200, json{{"success", verdict}}.dump());
    Received<ChallengeVerificationResult> checked;
    StdoutCapture out;
    detail::validateCode(impl(), "123456", "c1", checked.callback());
    ASSERT_TRUE(waitFor([&] { return checked.count() == 1; }));
    settle(*zelk);
    EXPECT_EQ(out.take(), "");
    EXPECT_EQ(checked.count(), 1u);
    EXPECT_EQ(checked.value().success, verdict);
    EXPECT_NE(checked.thread(), mainThread);
  }
}

// --- Replies that do not decode ---

TEST_F(ChallengeCallsTest, AnUndecodableFetchReplyIsPrintedAndNotHandedOver) {
  struct Case {
    const char* operation;
    int status;
    const char* body;
    const char* named;  // what the printed error must mention
  };
  const Case cases[] = {
      {"challenge", 200, R"({"id": "c1"})", "_id"},
      {"challenge", 200, R"({"_id": "c1", "channels": ["email", "sms"]})", "sms"},
      {"challenge", 404, "<html>not here</html>", "JSON"},
      {"challenge-devices", 200,
       R"([{"_id": "d1", "info": {}, "createdAt": "2024-05-01T08:00:00Z"}])", "createdAt"},
      {"challenge-devices", 200, R"({"devices": []})", "array"},
      {"device-limit", 200,
       R"({"attached_devices": {"total": 1, "devices": {}}, "default_overall_limit": 1,
           "computer_device_limit": 1, "mobile_device_limit": 1})",
       "tablet_device_limit"},
      {"device-limit", 200, "", "JSON"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.operation) + " " + c.body);
    sandbox.script(c.operation, c.status, c.body);
    Received<ChallengeDetails> challenge;
    Received<std::vector<ZelkDevice>> devices;
    Received<DeviceLimitState> limits;
    StdoutCapture out;
    const std::string operation = c.operation;
    if (operation == "challenge") detail::getChallenge(impl(), "c1", challenge.callback());
    if (operation == "challenge-devices")
      detail::getChallengeDevices(impl(), "c1", devices.callback());
    if (operation == "device-limit") detail::getDeviceLimits(impl(), "c1", limits.callback());
    settle(*zelk);
    const std::string printed = out.take();
    EXPECT_EQ(challenge.count() + devices.count() + limits.count(), 0u);
    EXPECT_EQ(lineCount(printed), 1u) << printed;
    EXPECT_TRUE(allSDKLines(printed)) << printed;
    EXPECT_NE(printed.find(c.named), std::string::npos) << printed;
  }
}

TEST_F(ChallengeCallsTest, AnUndecodableVerdictIsPrintedAndCountsAsFailure) {
  for (const char* body : {R"({"verified": true})", R"({"success": "true"})", "", "oops"}) {
    SCOPED_TRACE(body);
    sandbox.script("verify", 200, body);
    Received<ChallengeVerificationResult> checked;
    StdoutCapture out;
    detail::validateCode(impl(), "123456", "c1", checked.callback());
    ASSERT_TRUE(waitFor([&] { return checked.count() == 1; }));
    settle(*zelk);
    const std::string printed = out.take();
    EXPECT_EQ(checked.count(), 1u);
    EXPECT_FALSE(checked.value().success);
    EXPECT_NE(checked.thread(), mainThread);
    EXPECT_EQ(lineCount(printed), 1u) << printed;
    EXPECT_TRUE(allSDKLines(printed)) << printed;
  }
}

TEST_F(ChallengeCallsTest, VerifyAndResendCallBackOnceWhateverTheServiceAnswers) {
  sandbox.script("attempt", 500, "<html>down</html>");
  sandbox.script("resend", 429, "");
  Signalled verified, resent;
  StdoutCapture out;
  detail::verify(impl(), "c1", ChallengeChannel::text, verified.signal());
  detail::resendChallengeCode(impl(), "c1", resent.signal());
  ASSERT_TRUE(waitFor([&] { return verified.count() == 1 && resent.count() == 1; }));
  settle(*zelk);
  EXPECT_EQ(out.take(), "");
  EXPECT_EQ(verified.count(), 1u);
  EXPECT_EQ(resent.count(), 1u);
  EXPECT_NE(verified.thread(), mainThread);
  EXPECT_NE(resent.thread(), mainThread);
}

// --- No reply bytes at all ---

TEST_F(ChallengeCallsTest, WithTheServiceUnreachableOnlyVerifyAndResendCallBack) {
  sandbox.stop();
  AllCalls calls;
  StdoutCapture out;
  callAll(calls, "c1");
  ASSERT_TRUE(waitFor([&] { return calls.verified.count() == 1 && calls.resent.count() == 1; }));
  settle(*zelk);
  const std::string printed = out.take();
  EXPECT_EQ(calls.challenge.count(), 0u);
  EXPECT_EQ(calls.devices.count(), 0u);
  EXPECT_EQ(calls.limits.count(), 0u);
  EXPECT_EQ(calls.checked.count(), 0u);
  EXPECT_EQ(calls.verified.count(), 1u);
  EXPECT_EQ(calls.resent.count(), 1u);
  EXPECT_NE(calls.verified.thread(), mainThread);
  // One transport error per call, and nothing more.
  EXPECT_EQ(lineCount(printed), 6u) << printed;
  EXPECT_TRUE(allSDKLines(printed)) << printed;
}

TEST_F(ChallengeCallsTest, ABaseURLThatDoesNotParseCallsBackOnlyVerifyAndResendAtOnce) {
  zelk = makeClient("project", [&] {
    auto p = platform();
    p.baseURL = "http://127.0.0.1:" + std::to_string(sandbox.port()) + " /api";
    return p;
  }());
  AllCalls calls;
  StdoutCapture out;
  callAll(calls, "c1");
  // The refused writes have called back before returning, on the caller's thread.
  const std::size_t verifiedAtOnce = calls.verified.count();
  const std::size_t resentAtOnce = calls.resent.count();
  settle(*zelk);
  EXPECT_EQ(out.take(), "");
  ASSERT_EQ(verifiedAtOnce, 1u);
  ASSERT_EQ(resentAtOnce, 1u);
  EXPECT_EQ(calls.verified.thread(), mainThread);
  EXPECT_EQ(calls.resent.thread(), mainThread);
  EXPECT_EQ(calls.challenge.count() + calls.devices.count() + calls.limits.count() +
                calls.checked.count(),
            0u);
  EXPECT_EQ(calls.verified.count(), 1u);
  EXPECT_EQ(calls.resent.count(), 1u);
  EXPECT_TRUE(sandbox.requests().empty());
}

TEST_F(ChallengeCallsTest, ABodyThatCannotBeSerialisedIsReportedBeforeSending) {
  const std::string notUTF8 = "c\xff";
  Signalled verified, resent;
  Received<ChallengeVerificationResult> checked;
  StdoutCapture out;
  detail::verify(impl(), notUTF8, ChallengeChannel::email, verified.signal());
  detail::resendChallengeCode(impl(), notUTF8, resent.signal());
  detail::validateCode(impl(), "123456", notUTF8, checked.callback());
  const std::size_t verifiedAtOnce = verified.count();
  const std::size_t resentAtOnce = resent.count();
  settle(*zelk);
  const std::string printed = out.take();
  EXPECT_EQ(lineCount(printed), 3u) << printed;
  EXPECT_TRUE(allSDKLines(printed)) << printed;
  EXPECT_EQ(verifiedAtOnce, 1u);
  EXPECT_EQ(resentAtOnce, 1u);
  EXPECT_EQ(checked.count(), 0u);
  EXPECT_TRUE(challengeRequests().empty());
}

TEST_F(ChallengeCallsTest, WithoutAClientIDEveryCallIsRefusedAtOnce) {
  zelk = makeClient("");
  AllCalls calls;
  StdoutCapture out;
  callAll(calls, "c1");
  const std::size_t verifiedAtOnce = calls.verified.count();
  const std::size_t resentAtOnce = calls.resent.count();
  settle(*zelk);
  const std::string printed = out.take();
  std::string expected;
  for (int i = 0; i < 6; ++i) expected += "[Zelk SDK]: clientID must not be nil.\n";
  EXPECT_EQ(printed, expected);
  EXPECT_EQ(verifiedAtOnce, 1u);
  EXPECT_EQ(resentAtOnce, 1u);
  EXPECT_EQ(calls.challenge.count() + calls.devices.count() + calls.limits.count() +
                calls.checked.count(),
            0u);
  EXPECT_EQ(calls.verified.count(), 1u);
  EXPECT_EQ(calls.resent.count(), 1u);
  EXPECT_TRUE(challengeRequests().empty());
}

}  // namespace
}  // namespace zelk::testing
