// SPDX-License-Identifier: Apache-2.0
#include <zelk/challenge_screens.hpp>

#include <algorithm>

namespace zelk {

std::shared_ptr<ChallengeView> ChallengeView::create(std::shared_ptr<ChallengeViewModel> viewModel,
                                                     std::shared_ptr<Zelk> zelk) {
  std::shared_ptr<ChallengeView> view(new ChallengeView());
  view->self_ = view;
  view->push(ChallengeEntryView::create(std::move(viewModel), std::move(zelk)));
  return view;
}

ChallengeView::~ChallengeView() {
  for (std::size_t i = 0; i < stack_.size(); ++i) {
    stack_[i]->unsubscribe(tokens_[i]);
    stack_[i]->disappeared();
  }
}

void ChallengeView::push(std::shared_ptr<ChallengeScreen> screen) {
  stack_.push_back(screen);
  tokens_.push_back(screen->subscribe([weak = self_, raw = screen.get()] {
    if (auto view = weak.lock()) view->screenChanged(raw);
  }));
  screen->appeared();
  notify();
}

void ChallengeView::popTo(std::size_t size) {
  while (stack_.size() > size) {
    const auto popped = stack_.back();
    popped->unsubscribe(tokens_.back());
    stack_.pop_back();
    tokens_.pop_back();
    popped->disappeared();
  }
}

bool ChallengeView::back() {
  if (stack_.size() < 2) return false;
  popTo(stack_.size() - 1);
  stack_.back()->linkDismissed();
  notify();
  return true;
}

void ChallengeView::screenChanged(const ChallengeScreen* screen) {
  // A link that activates on the top screen pushes its destination; one that deactivates under
  // the top (the screen reset it itself) pops everything above it.
  const auto at = std::find_if(stack_.begin(), stack_.end(),
                               [screen](const auto& entry) { return entry.get() == screen; });
  if (at == stack_.end()) return;
  const auto index = static_cast<std::size_t>(at - stack_.begin());
  const auto& destination = screen->destination();
  if (index + 1 == stack_.size()) {
    if (destination) push(destination);
    return;
  }
  if (stack_[index + 1] == destination) return;
  popTo(index + 1);
  if (destination) {
    push(destination);
  } else {
    notify();
  }
}

ChallengeView::Token ChallengeView::subscribe(Observer observer) {
  return observers_.add(std::move(observer));
}

void ChallengeView::unsubscribe(Token token) {
  observers_.remove(token);
}

void ChallengeView::notify() {
  // An observer may drop the last other owner of this view; keep it for the call.
  const auto keep = self_.lock();
  observers_.notify();
}

}  // namespace zelk
