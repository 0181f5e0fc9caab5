// SPDX-License-Identifier: Apache-2.0
#include "support/client_fixture.hpp"

namespace zelk::testing {
namespace {

// Remembers what it was asked to show; completes dismissals only when told to.
class RecordingPresenter final : public ChallengePresenter {
 public:
  bool present(std::shared_ptr<ZelkContainer> container) override {
    presented.push_back(container);
    return hasWindow;
  }
  void dismiss(std::shared_ptr<ZelkContainer> container,
               std::function<void()> completion) override {
    dismissed.push_back(container);
    pendingCompletions.push_back(std::move(completion));
  }
  void completeDismissals() {
    for (auto& completion : std::exchange(pendingCompletions, {})) completion();
  }

  bool hasWindow = true;
  std::vector<std::shared_ptr<ZelkContainer>> presented, dismissed;
  std::vector<std::function<void()>> pendingCompletions;
};

ChallengeDetails details(std::string id) {
  ChallengeDetails challenge;
  challenge._id = std::move(id);
  return challenge;
}

TEST(ChallengeViewModelTest, StartsEmptyAndNotifiesAfterEveryWrite) {
  ChallengeViewModel model;
  EXPECT_EQ(model.currentDeviceID(), "");
  EXPECT_TRUE(model.attachedDevices().empty());
  EXPECT_FALSE(model.loadingDevices());
  EXPECT_FALSE(model.detachLoading());
  EXPECT_FALSE(model.challengeVisible());
  EXPECT_FALSE(model.challengeDetails());

  std::vector<bool> seenVisible;
  auto token = model.subscribe([&] { seenVisible.push_back(model.challengeVisible()); });
  model.setChallengeVisible(true);
  model.setChallengeVisible(true);  // the same value still counts as a write
  model.setLoadingDevices(true);
  EXPECT_EQ(seenVisible, (std::vector<bool>{true, true, true}));
  model.unsubscribe(token);
  model.setChallengeVisible(false);
  EXPECT_EQ(seenVisible.size(), 3u);
}

class PresentationTest : public ClientFixture {
 protected:
  std::shared_ptr<Zelk> makePresentingClient(bool useViewController = true) {
    Platform p = platform();
    p.presenter = presenter;
    auto zelk = Zelk::create("project", useViewController, p);
    zelk->setUserID("u");
    return zelk;
  }
  static Zelk::Impl& impl(Zelk& zelk) { return ZelkInternals::of(zelk); }

  std::shared_ptr<RecordingPresenter> presenter = std::make_shared<RecordingPresenter>();
};

TEST_F(PresentationTest, EmbeddedModeNeverPresents) {
  auto zelk = makePresentingClient(false);
  impl(*zelk).showChallengeViewControllerIfNeeded();
  impl(*zelk).hideChallengeViewControllerIfNeeded();
  EXPECT_TRUE(presenter->presented.empty());
  EXPECT_FALSE(impl(*zelk).challengeViewController);
  EXPECT_TRUE(sandbox.requests().empty());
}

TEST_F(PresentationTest, ShowPresentsOneContainerThatTakesOverChallengesAndAttaches) {
  auto zelk = makePresentingClient();
  impl(*zelk).showChallengeViewControllerIfNeeded();
  impl(*zelk).showChallengeViewControllerIfNeeded();
  ASSERT_EQ(presenter->presented.size(), 1u);
  auto container = presenter->presented[0];
  EXPECT_EQ(impl(*zelk).challengeViewController, container);
  settle(*zelk);
  EXPECT_EQ(bodies("/v2/access").size(), 1u);  // the second show built nothing

  // Challenges now reach the presented container's state.
  impl(*zelk).onChallenge(details("c1"));
  EXPECT_FALSE(container->challengeVisible());  // applied on the main queue
  ASSERT_TRUE(waitFor([&] { return container->challengeVisible(); }));
  EXPECT_EQ(container->viewModel()->challengeDetails()->_id, "c1");
}

TEST_F(PresentationTest, TheContainerOpensOnTheChallengeThatBroughtItUp) {
  auto zelk = makePresentingClient();
  ChallengeDetails challenge = details("c3");
  challenge.project = Project{"p1", "Road Atlas"};
  impl(*zelk).showChallengeViewControllerIfNeeded(&challenge);
  ASSERT_EQ(presenter->presented.size(), 1u);
  auto container = presenter->presented[0];
  // Written as a delivery writes them: on the main queue, visibility first, then the details.
  EXPECT_FALSE(container->challengeVisible());
  std::vector<std::pair<bool, std::string>> writes;
  container->viewModel()->subscribe([&] {
    const auto& shown = container->viewModel()->challengeDetails();
    writes.emplace_back(container->challengeVisible(), shown ? shown->_id : "");
  });
  // The container's own attach may answer within the same turn of the queue and write its device
  // after these two.
  ASSERT_TRUE(waitFor([&] { return writes.size() >= 2; }));
  writes.resize(2);
  EXPECT_EQ(writes, (std::vector<std::pair<bool, std::string>>{{true, ""}, {true, "c3"}}));
  auto view = container->challengeView();
  ASSERT_TRUE(view);
  EXPECT_EQ(view->top().name(), "ChallengeEntryView");
  EXPECT_EQ(view->top().elements()[1].text, "Start your own Road Atlas account today");

  // The same challenge delivered again (as a service does on every new stream while it is
  // open) changes nothing: not even the channel the user chose on the way.
  ASSERT_TRUE(view->top().perform("verifyToContinue"));
  auto chosen = *container->viewModel()->challengeDetails();
  chosen.channels = std::vector{ChallengeChannel::email};
  container->viewModel()->setChallengeDetails(chosen);
  // The container's attach may answer at any time before this; let it land first.
  settle(*zelk);
  const std::size_t before = writes.size();
  impl(*zelk).onChallenge(challenge);
  bool ran = false;
  ZelkInternals::of(*zelk).mainQueue->post([&ran] { ran = true; });
  ASSERT_TRUE(waitFor([&] { return ran; }));
  EXPECT_EQ(writes.size(), before);
  EXPECT_EQ(container->challengeView(), view);
  EXPECT_EQ(view->stack().size(), 2u);
  EXPECT_EQ(container->viewModel()->challengeDetails()->channels, chosen.channels);

  // Another challenge replaces it.
  impl(*zelk).onChallenge(details("c4"));
  ASSERT_TRUE(waitFor([&] { return container->viewModel()->challengeDetails()->_id == "c4"; }));
}

TEST_F(PresentationTest, AChallengeOverTheStreamShowsAtOnceWhenTheServiceDoesNotRepeatIt) {
  sandbox.setRepeatOpenChallenges(false);
  sandbox::ProjectSettings settings;
  settings.name = "Road Atlas";
  sandbox.configureProject("project", settings);
  auto zelk = makePresentingClient();
  zelk->attach();
  ASSERT_TRUE(waitFor([&] { return zelk->deviceID().has_value(); }));
  // The stream opens from the main loop, which only runs while this thread waits in it.
  ASSERT_TRUE(waitFor([&] { return sandbox.openStreams(*zelk->deviceID()) == 1; }));
  const std::string id = sandbox.raiseChallenge("project", "u");

  ASSERT_TRUE(waitFor([&] { return presenter->presented.size() == 1; }));
  auto container = presenter->presented[0];
  ASSERT_TRUE(waitFor([&] { return container->challengeVisible(); }));
  EXPECT_EQ(container->viewModel()->challengeDetails()->_id, id);
  ASSERT_TRUE(container->challengeView());
  EXPECT_EQ(container->challengeView()->top().elements()[1].text,
            "Start your own Road Atlas account today");
  settle(*zelk);
  EXPECT_EQ(bodies("/v2/access").size(), 2u);  // the container attached once more
}

TEST_F(PresentationTest, HideClearsTheContainerOnlyWhenTheDismissalCompletes) {
  auto zelk = makePresentingClient();
  impl(*zelk).hideChallengeViewControllerIfNeeded();  // nothing stored: nothing to do
  EXPECT_TRUE(presenter->dismissed.empty());

  impl(*zelk).showChallengeViewControllerIfNeeded();
  impl(*zelk).hideChallengeViewControllerIfNeeded();
  ASSERT_EQ(presenter->dismissed.size(), 1u);
  EXPECT_TRUE(impl(*zelk).challengeViewController);
  impl(*zelk).showChallengeViewControllerIfNeeded();  // during the dismissal: ignored
  EXPECT_EQ(presenter->presented.size(), 1u);

  presenter->completeDismissals();
  EXPECT_FALSE(impl(*zelk).challengeViewController);
  impl(*zelk).showChallengeViewControllerIfNeeded();
  EXPECT_EQ(presenter->presented.size(), 2u);
  EXPECT_NE(presenter->presented[1], presenter->presented[0]);
}

TEST_F(PresentationTest, WithoutAWindowTheContainerIsKeptUnpresented) {
  presenter->hasWindow = false;
  auto zelk = makePresentingClient();
  impl(*zelk).showChallengeViewControllerIfNeeded();
  EXPECT_TRUE(impl(*zelk).challengeViewController);
  impl(*zelk).showChallengeViewControllerIfNeeded();
  EXPECT_EQ(presenter->presented.size(), 1u);
  // Nothing is on screen, so hiding completes by itself without asking the presenter.
  impl(*zelk).hideChallengeViewControllerIfNeeded();
  EXPECT_TRUE(presenter->dismissed.empty());
  ASSERT_TRUE(waitFor([&] { return !impl(*zelk).challengeViewController; }));
}

class ContainerTest : public ClientFixture {};

TEST_F(ContainerTest, TakesOverChallengesAndRecordsTheAttachedDevice) {
  auto zelk = makeClient();
  zelk->setUserID("u");
  bool hostSawChallenge = false;
  ZelkInternals::of(*zelk).onChallenge = [&](const ChallengeDetails&) { hostSawChallenge = true; };
  auto container = ZelkContainer::create(zelk);
  EXPECT_FALSE(container->challengeVisible());
  ASSERT_TRUE(waitFor([&] { return !container->viewModel()->currentDeviceID().empty(); }));
  EXPECT_EQ(container->viewModel()->currentDeviceID(), zelk->deviceID());
  EXPECT_EQ(bodies("/v2/access").size(), 1u);

  ZelkInternals::of(*zelk).onChallenge(details("c7"));
  ASSERT_TRUE(waitFor([&] { return container->challengeVisible(); }));
  EXPECT_FALSE(hostSawChallenge);
  EXPECT_EQ(container->viewModel()->challengeDetails()->_id, "c7");
}

TEST_F(ContainerTest, AnAttachReplyWithoutADeviceKeepsTheCurrentOne) {
  auto zelk = makeClient();
  zelk->setUserID("u");
  auto container = ZelkContainer::create(zelk);
  ASSERT_TRUE(waitFor([&] { return !container->viewModel()->currentDeviceID().empty(); }));
  const std::string known = container->viewModel()->currentDeviceID();
  ZelkAttachResponse reply;
  container->onAttach(reply);
  settle(*zelk);
  EXPECT_EQ(container->viewModel()->currentDeviceID(), known);
}

TEST_F(ContainerTest, ScenePhaseChangesDetachAndAttach) {
  auto zelk = makeClient();
  zelk->setUserID("u");
  auto container = ZelkContainer::create(zelk);
  container->setScenePhase(ScenePhase::active);  // the phase in force when shown: no action
  ASSERT_TRUE(waitFor([&] { return zelk->deviceID().has_value(); }));
  settle(*zelk);
  ASSERT_EQ(bodies("/v2/access").size(), 1u);

  container->setScenePhase(ScenePhase::inactive);
  ASSERT_TRUE(waitFor([&] { return !zelk->deviceID(); }));
  container->setScenePhase(ScenePhase::background);  // already detached: nothing to detach
  container->setScenePhase(ScenePhase::active);
  ASSERT_TRUE(waitFor([&] { return zelk->deviceID().has_value(); }));
  settle(*zelk);
  EXPECT_EQ(bodies("/v2/access").size(), 2u);
  EXPECT_EQ(bodies("/v2/access/detach").size(), 1u);
  EXPECT_EQ(container->viewModel()->currentDeviceID(), zelk->deviceID());
}

}  // namespace
}  // namespace zelk::testing
