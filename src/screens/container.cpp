// SPDX-License-Identifier: Apache-2.0
#include <zelk/challenge_screens.hpp>
#include <zelk/client.hpp>
#include <zelk/container.hpp>

#include "client/service_client.hpp"

namespace zelk {

ZelkContainer::ZelkContainer(std::shared_ptr<Zelk> zelk)
    : zelk_(zelk),
      mainQueue_(detail::screenClient(*zelk).mainThread()),
      viewModel_(std::make_shared<ChallengeViewModel>()) {}

std::shared_ptr<ZelkContainer> ZelkContainer::create(std::shared_ptr<Zelk> zelk) {
  std::shared_ptr<ZelkContainer> container(new ZelkContainer(zelk));
  // The client holds its challenge receiver weakly: the container lives as long as the host's
  // view (or the client's own presentation) keeps it.
  detail::screenClient(*zelk).setChallengeReceiver(
      [weak = std::weak_ptr(container)](const ChallengeDetails& details) {
        if (auto container = weak.lock()) container->onChallenge(details);
      });
  // The screens go with the challenge: a challenge shown again starts at the entry screen.
  container->viewModel_->subscribe([weak = std::weak_ptr(container)] {
    auto container = weak.lock();
    if (container && !container->viewModel_->challengeVisible()) container->challengeView_.reset();
  });
  zelk->attach(std::nullopt, container->attachReceiver());
  return container;
}

std::shared_ptr<ChallengeView> ZelkContainer::challengeView() {
  if (!viewModel_->challengeVisible()) return nullptr;
  if (!challengeView_) {
    if (auto zelk = zelk_.lock()) challengeView_ = ChallengeView::create(viewModel_, zelk);
  }
  return challengeView_;
}

void ZelkContainer::onChallenge(const ChallengeDetails& details) {
  mainQueue_->post([viewModel = viewModel_, details] {
    // The service may send a challenge again, on every new stream, while it stays open. The one
    // on show keeps its state: the screens the user went through and the channel they chose.
    const auto& shown = viewModel->challengeDetails();
    if (viewModel->challengeVisible() && shown && *shown == details) return;
    viewModel->setChallengeVisible(true);
    viewModel->setChallengeDetails(details);
  });
}

void ZelkContainer::queueAttach(std::weak_ptr<ZelkContainer> weak, MainQueue& queue,
                                const ZelkAttachResponse& response) {
  // The container is reached only on the main thread, so that a reply arriving on the HTTP
  // thread never destroys it there.
  queue.post([weak = std::move(weak), device = response.deviceID] {
    auto container = weak.lock();
    if (container && device) container->viewModel_->setCurrentDeviceID(*device);
  });
}

std::function<void(const ZelkAttachResponse&)> ZelkContainer::attachReceiver() {
  return [weak = weak_from_this(), queue = mainQueue_](const ZelkAttachResponse& response) {
    queueAttach(weak, *queue, response);
  };
}

void ZelkContainer::onAttach(const ZelkAttachResponse& response) {
  queueAttach(weak_from_this(), *mainQueue_, response);
}

void ZelkContainer::setScenePhase(ScenePhase phase) {
  const auto previous = std::exchange(scenePhase_, phase);
  auto zelk = zelk_.lock();
  if (!previous || *previous == phase || !zelk) return;
  if (phase == ScenePhase::active) {
    zelk->attach(std::nullopt, attachReceiver());
  } else {
    zelk->detach();
  }
}

}  // namespace zelk
