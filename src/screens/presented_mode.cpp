// SPDX-License-Identifier: Apache-2.0
#include <zelk/container.hpp>

#include "client/zelk_impl.hpp"  // the client's own presented screen

namespace zelk {

void Zelk::Impl::showChallengeViewControllerIfNeeded(const ChallengeDetails* challenge) {
  if (!useViewController || challengeViewController) return;
  auto zelk = self.lock();
  if (!zelk) return;
  // At most one container of the client's own exists at a time; it is stored before it is shown,
  // and stays stored even when there is nowhere to show it.
  challengeViewController = ZelkContainer::create(zelk);
  // The window the user cannot close opens on the challenge that brought it up, delivered as any
  // other through the container's own handler, rather than waiting for the service to send it
  // again on the stream that the container's attach opens. A later delivery of the same
  // challenge writes the same values again.
  if (challenge) challengeViewController->onChallenge(*challenge);
  challengePresented = presenter && presenter->present(challengeViewController);
}

void Zelk::Impl::hideChallengeViewControllerIfNeeded() {
  if (!useViewController || !challengeViewController) return;
  // The container is forgotten only once the dismissal has completed, so a challenge that arrives
  // meanwhile is not shown.
  auto completion = [weak = self] {
    if (auto zelk = weak.lock()) {
      ZelkInternals::of(*zelk).challengeViewController.reset();
      ZelkInternals::of(*zelk).challengePresented = false;
    }
  };
  if (challengePresented) {
    presenter->dismiss(challengeViewController, completion);
  } else {
    mainQueue->post(completion);  // nothing on screen: the dismissal completes at once
  }
}

}  // namespace zelk
