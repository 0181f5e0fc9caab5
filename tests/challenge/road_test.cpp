// SPDX-License-Identifier: Apache-2.0
// The road of a challenge end to end: real clients, each with its own main loop, preferences and
// device facts, against the sandbox service over loopback.
#include <mutex>

#include "service/ids.hpp"
#include "service/service.hpp"
#include "support/client_fixture.hpp"

namespace zelk::testing {
namespace {

using namespace std::chrono_literals;

// Shows nothing; remembers what it was asked to show and completes dismissals at once.
class CountingPresenter final : public ChallengePresenter {
 public:
  bool present(std::shared_ptr<ZelkContainer> container) override {
    presented.push_back(std::move(container));
    return true;
  }
  void dismiss(std::shared_ptr<ZelkContainer>, std::function<void()> completion) override {
    ++dismissals;
    completion();
  }
  std::vector<std::shared_ptr<ZelkContainer>> presented;
  int dismissals = 0;
};

// One device of the test: a client on a main loop of its own.
struct Device {
  std::shared_ptr<RunLoop> loop = std::make_shared<RunLoop>();
  std::shared_ptr<NotificationCenter> center = std::make_shared<NotificationCenter>(loop);
  std::shared_ptr<Zelk> client;
  std::shared_ptr<ZelkContainer> container;
};

class RoadTest : public ClientFixture {
 protected:
  void SetUp() override {
    ClientFixture::SetUp();
    sandbox::ProjectSettings settings;
    settings.name = "Road Project";
    settings.overallLimit = 1;
    settings.primaryColor = "#112233";
    sandbox.configureProject("road", settings);
  }

  // Replies still on their way hop to their device's main loop holding the client, and the
  // client holds that loop: let every hop land before the loops go, so nothing is left queued.
  void TearDown() override {
    for (auto& device : devices) letRepliesLand(*device->client, *device->loop);
    ClientFixture::TearDown();
  }

  Device& addDevice(std::string model, bool useViewController = false,
                    std::shared_ptr<ChallengePresenter> presenter = nullptr) {
    auto device = std::make_unique<Device>();
    Platform p;
    p.baseURL = sandbox.baseURL();
    p.mainQueue = device->loop;
    p.notifications = device->center;
    p.preferences = PreferencesStore::inMemory();
    p.deviceFacts = [model, vendor = randomUUID()] {
      return DeviceFacts{model, "iOS", "17", vendor};
    };
    p.presenter = std::move(presenter);
    device->client = Zelk::create("road", useViewController, p);
    device->client->setUserID("alice");
    devices.push_back(std::move(device));
    return *devices.back();
  }

  // Runs every device's main loop until `predicate` holds (at most 10 s).
  template <class Predicate>
  bool pump(Predicate predicate) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!predicate()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      for (auto& device : devices) device->loop->runUntil(predicate, 1ms);
    }
    return true;
  }

  std::size_t listensOf(const std::string& device) {
    std::size_t count = 0;
    for (const auto& request : sandbox.requests()) {
      count += request.path == "/v2/access/device/" + device + "/listen";
    }
    return count;
  }

  // Waits until the client's stream is a newer one than `old` and open.
  bool newStreamOpen(Device& device, const std::shared_ptr<EventSource>& old) {
    return pump([&] {
      const auto& stream = ZelkInternals::of(*device.client).eventSource;
      return stream && stream != old && stream->readyState() == ReadyState::open;
    });
  }

  std::vector<std::unique_ptr<Device>> devices;
};

TEST_F(RoadTest, AnAttachOverTheLimitChallengesEveryDeviceOfTheUser) {
  Device& phone = addDevice("iPhone");
  phone.container = ZelkContainer::create(phone.client);
  ASSERT_TRUE(pump([&] { return phone.client->deviceID().has_value(); }));
  ASSERT_TRUE(newStreamOpen(phone, nullptr));
  EXPECT_FALSE(phone.container->challengeVisible());

  Device& tablet = addDevice("iPad");
  tablet.container = ZelkContainer::create(tablet.client);
  ASSERT_TRUE(pump(
      [&] { return phone.container->challengeVisible() && tablet.container->challengeVisible(); }));
  const auto& details = *phone.container->viewModel()->challengeDetails();
  EXPECT_EQ(details, *tablet.container->viewModel()->challengeDetails());
  EXPECT_EQ(sandbox.challenges("road", "alice"), std::vector<std::string>{details._id});
  ASSERT_TRUE(details.project);
  EXPECT_EQ(details.project->name, "Road Project");
  ASSERT_TRUE(details.brand && details.brand->primary_color);
  EXPECT_EQ(*details.brand->primary_color, "#112233");
  EXPECT_EQ(phone.container->viewModel()->currentDeviceID(), phone.client->deviceID());
}

TEST_F(RoadTest, PresentedModeShowsOneScreenForTwoChallengesInARow) {
  // The container's own attach opens a fresh stream; the first challenge is not repeated there.
  sandbox.setRepeatOpenChallenges(false);
  auto presenter = std::make_shared<CountingPresenter>();
  Device& phone = addDevice("iPhone", true, presenter);
  phone.client->attach();
  ASSERT_TRUE(pump([&] { return phone.client->deviceID().has_value(); }));
  ASSERT_TRUE(newStreamOpen(phone, nullptr));

  const auto firstStream = ZelkInternals::of(*phone.client).eventSource;
  const std::string first = sandbox.raiseChallenge("road", "alice");
  ASSERT_TRUE(pump([&] { return presenter->presented.size() == 1; }));
  // The presented container shows the challenge that brought it up, attaches again and
  // receives the next challenge itself.
  auto container = presenter->presented[0];
  ASSERT_TRUE(pump([&] { return container->challengeVisible(); }));
  EXPECT_EQ(container->viewModel()->challengeDetails()->_id, first);
  ASSERT_TRUE(newStreamOpen(phone, firstStream));
  const std::string second = sandbox.raiseChallenge("road", "alice");
  ASSERT_TRUE(pump([&] { return container->viewModel()->challengeDetails()->_id == second; }));
  EXPECT_TRUE(container->challengeVisible());
  EXPECT_EQ(presenter->presented.size(), 1u);
}

TEST_F(RoadTest, ARealtimeLogoutEndsTheSessionForGood) {
  // Counts the streams: the container's fresh one must not hear the challenge again.
  sandbox.setRepeatOpenChallenges(false);
  auto presenter = std::make_shared<CountingPresenter>();
  Device& phone = addDevice("iPhone", true, presenter);
  int logouts = 0;
  phone.client->onLogoutCurrentDevice = [&] { ++logouts; };
  phone.client->attach();
  ASSERT_TRUE(pump([&] { return phone.client->deviceID().has_value(); }));
  const std::string device = *phone.client->deviceID();
  ASSERT_TRUE(newStreamOpen(phone, nullptr));
  const auto firstStream = ZelkInternals::of(*phone.client).eventSource;
  sandbox.raiseChallenge("road", "alice");
  ASSERT_TRUE(pump([&] { return presenter->presented.size() == 1; }));
  ASSERT_TRUE(newStreamOpen(phone, firstStream));  // opened by the container's own attach

  ASSERT_GE(sandbox.pushLogout(device), 1);
  ASSERT_TRUE(pump([&] { return logouts == 1 && presenter->dismissals == 1; }));
  ASSERT_TRUE(pump([&] { return !ZelkInternals::of(*phone.client).challengeViewController; }));
  auto stream = ZelkInternals::of(*phone.client).eventSource;
  ASSERT_TRUE(pump([&] { return stream->readyState() == ReadyState::shutdown; }));
  EXPECT_TRUE(sandbox.waitForNoStreams(device, 10s));
  phone.loop->runUntil([] { return false; }, 100ms);  // a reconnection would come by now
  EXPECT_EQ(listensOf(device), 2u);
  EXPECT_EQ(logouts, 1);
}

// What the host hears from an attach: the reply, on the HTTP thread.
struct AttachReplies {
  void operator()(const ZelkAttachResponse& reply) {
    std::lock_guard lock(mutex);
    replies.push_back(reply);
  }
  std::optional<ZelkAttachResponse> last() {
    std::lock_guard lock(mutex);
    if (replies.empty()) return std::nullopt;
    return replies.back();
  }
  std::size_t count() {
    std::lock_guard lock(mutex);
    return replies.size();
  }
  std::mutex mutex;
  std::vector<ZelkAttachResponse> replies;
};

TEST_F(RoadTest, ABlockingProjectTellsTheHostAndAttachesNothingAtTheLimit) {
  auto settings = sandbox.projectSettings("road");
  settings.limitPolicy = sandbox::LimitPolicy::block;
  sandbox.configureProject("road", settings);
  Device& phone = addDevice("iPhone");
  auto phoneReplies = std::make_shared<AttachReplies>();
  phone.client->attach(std::nullopt, [phoneReplies](const auto& r) { (*phoneReplies)(r); });
  ASSERT_TRUE(pump([&] { return phoneReplies->last().has_value(); }));
  EXPECT_TRUE(phoneReplies->last()->success);

  Device& tablet = addDevice("iPad");
  auto tabletReplies = std::make_shared<AttachReplies>();
  tablet.client->attach(std::nullopt, [tabletReplies](const auto& r) { (*tabletReplies)(r); });
  ASSERT_TRUE(pump([&] { return tabletReplies->last().has_value(); }));
  const ZelkAttachResponse refused = *tabletReplies->last();
  EXPECT_FALSE(refused.success);
  EXPECT_EQ(refused.blockOverUsage, std::optional<bool>(true));
  EXPECT_EQ(refused.attachedDevices, 1);
  EXPECT_EQ(refused.defaultDeviceLimit, std::optional<std::int64_t>(1));
  EXPECT_FALSE(tablet.client->deviceID());
  // No challenge: the host decides.
  EXPECT_TRUE(sandbox.challenges("road", "alice").empty());
  // The device that was there stays; its own attach still goes through.
  phone.client->attach(std::nullopt, [phoneReplies](const auto& r) { (*phoneReplies)(r); });
  ASSERT_TRUE(pump([&] { return phoneReplies->count() == 2; }));
  EXPECT_TRUE(phoneReplies->last()->success);
  EXPECT_EQ(phoneReplies->last()->deviceID, phone.client->deviceID());
}

TEST_F(RoadTest, AnEvictingProjectLogsTheLeastRecentlyActiveDeviceOut) {
  auto settings = sandbox.projectSettings("road");
  settings.limitPolicy = sandbox::LimitPolicy::evictOldest;
  settings.overallLimit = 2;
  // Only users the app's backend vouched for are evicted: it hands the app their signature.
  settings.userSecret = "the road backend's secret";
  sandbox.configureProject("road", settings);
  const Metadata signedAlice = {
      {"user_signature", zelk::server::hmacSha256Hex(settings.userSecret, "alice")}};
  int logouts[3] = {0, 0, 0};
  const auto attachAndListen = [&](const std::string& model, int index) -> Device& {
    Device& device = addDevice(model);
    device.client->onLogoutCurrentDevice = [&logouts, index] { ++logouts[index]; };
    device.client->attach(signedAlice);
    EXPECT_TRUE(pump([&] { return device.client->deviceID().has_value(); }));
    EXPECT_TRUE(newStreamOpen(device, nullptr));
    return device;
  };
  Device& first = attachAndListen("iPhone", 0);
  const std::string firstID = *first.client->deviceID();
  Device& second = attachAndListen("iPad", 1);
  // The first device is active again: now the second is the least recently active one.
  first.client->attach(signedAlice);
  ASSERT_TRUE(pump([&] { return listensOf(firstID) >= 2; }));
  const std::string secondID = *second.client->deviceID();

  Device& third = attachAndListen("MacBook", 2);
  ASSERT_TRUE(pump([&] { return logouts[1] == 1; }));
  EXPECT_EQ(logouts[0], 0);
  EXPECT_EQ(logouts[2], 0);
  EXPECT_TRUE(sandbox.challenges("road", "alice").empty());
  const auto user = sandbox.state().userJSON("road", "alice");
  ASSERT_TRUE(user);
  std::vector<std::string> ids;
  for (const auto& device : (*user)["devices"]) ids.push_back(device["device_id"]);
  EXPECT_EQ(ids, (std::vector<std::string>{firstID, *third.client->deviceID()}));
  EXPECT_TRUE(sandbox.waitForNoStreams(secondID, 10s));
}

}  // namespace
}  // namespace zelk::testing
