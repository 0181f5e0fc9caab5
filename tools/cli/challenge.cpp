// SPDX-License-Identifier: Apache-2.0
#include "challenge.hpp"

#include "http_get.hpp"

#include <nlohmann/json.hpp>

#include <iostream>
#include <mutex>
#include <thread>
#include <vector>

namespace zelk::cli {

namespace {

using namespace std::chrono_literals;

void printScreen(const ChallengeScreen& screen) {
  std::cout << "\n-- " << screen.name() << "\n" << plainText(screen.elements()) << std::flush;
}

// The actions a person can take on the screen now: the enabled elements' actions, in order.
void collectActions(const std::vector<Element>& elements, std::vector<std::string>& actions) {
  for (const Element& element : elements) {
    if (!element.enabled) continue;
    if (!element.action.empty()) actions.push_back(element.action);
    collectActions(element.children, actions);
  }
}

class Session {
 public:
  explicit Session(const ChallengeOptions& options)
      : options_(options), loop_(std::make_shared<RunLoop>()) {
    Platform platform = options.platform;
    platform.mainQueue = loop_;
    platform.notifications = std::make_shared<NotificationCenter>(loop_);
    zelk_ = Zelk::create(options.clientID, false, platform);
    zelk_->setUserID(options.user);
    zelk_->onLogoutCurrentDevice = [] { std::cout << "\n(the host signs the user out)\n"; };
    zelk_->onCreateNewAccount = [] { std::cout << "\n(the host opens its sign-up)\n"; };
  }

  int run() {
    container_ = ZelkContainer::create(zelk_);
    std::cout << "waiting for a challenge for " << options_.user << "...\n" << std::flush;
    if (!waitFor([&] { return container_->challengeVisible(); })) {
      std::cerr << "zelk: no challenge arrived within " << options_.timeout.count() << " s\n";
      return 1;
    }
    view_ = container_->challengeView();
    return options_.walk ? walk() : interact();
  }

 private:
  template <class Predicate>
  bool waitFor(Predicate predicate) {
    return loop_->runUntil(predicate, options_.timeout);
  }

  bool closed() const { return !container_->challengeVisible(); }

  // Runs `action` on the top screen, printing it first.
  bool act(const std::string& action) {
    std::cout << "> " << action << "\n" << std::flush;
    if (view_->top().perform(action)) return true;
    std::cerr << "zelk: '" << action << "' is not available on this screen\n";
    return false;
  }

  // ---- By hand ------------------------------------------------------------------------------

  int interact() {
    // Standard input is read on a thread of its own; the lines are handled on the main loop.
    auto lines = std::make_shared<std::vector<std::string>>();
    auto mutex = std::make_shared<std::mutex>();
    auto ended = std::make_shared<bool>(false);
    std::thread([lines, mutex, ended, loop = loop_] {
      std::string line;
      while (std::getline(std::cin, line)) {
        std::lock_guard lock(*mutex);
        lines->push_back(line);
        loop->post([] {});
      }
      std::lock_guard lock(*mutex);
      *ended = true;
      loop->post([] {});
    }).detach();

    std::cout << "commands: an action's number or name, 'type <code>', 'back', 'show', 'quit'\n";
    showTop();
    while (!closed()) {
      std::vector<std::string> pending;
      bool inputEnded = false;
      loop_->runUntil(
          [&] {
            std::lock_guard lock(*mutex);
            pending.insert(pending.end(), lines->begin(), lines->end());
            lines->clear();
            inputEnded = *ended;
            return !pending.empty() || inputEnded || closed() || topChanged();
          },
          24h);
      for (const std::string& line : pending) {
        if (!handle(line)) return 0;
      }
      if (closed()) break;
      if (topChanged()) showTop();
      if (inputEnded) return 1;
    }
    std::cout << "\nthe challenge is closed\n";
    return 0;
  }

  bool topChanged() const { return view_->stack().back() != shown_; }

  void showTop() {
    shown_ = view_->stack().back();
    printScreen(*shown_);
    std::vector<std::string> actions;
    collectActions(shown_->elements(), actions);
    std::cout << "actions:";
    for (std::size_t i = 0; i < actions.size(); ++i)
      std::cout << " [" << i + 1 << "] " << actions[i];
    std::cout << (view_->stack().size() > 1 ? " [back]" : "") << "\n> " << std::flush;
  }

  // Handles one line typed by the person; false to quit.
  bool handle(const std::string& line) {
    if (line == "quit" || line == "q") return false;
    if (line == "back") {
      view_->back();
    } else if (line.starts_with("type ")) {
      auto* code = dynamic_cast<VerificationCodeView*>(&view_->top());
      if (code) code->input().typeText(line.substr(5));
    } else if (!line.empty() && line != "show") {
      std::vector<std::string> actions;
      collectActions(view_->top().elements(), actions);
      std::string action = line;
      try {
        const std::size_t number = std::stoul(line);
        if (number >= 1 && number <= actions.size()) action = actions[number - 1];
      } catch (const std::exception&) {
      }
      act(action);
      // Let the action's immediate effects land before the screen is shown again.
      loop_->runUntil([] { return false; }, 50ms);
    }
    if (!closed()) showTop();
    return true;
  }

  // ---- Without a person ---------------------------------------------------------------------

  int walk() {
    while (!closed()) {
      ChallengeScreen& top = view_->top();
      // The limiter is shown once its devices have loaded.
      if (!dynamic_cast<DeviceLimiterView*>(&top)) printScreen(top);
      bool moved = false;
      if (auto* options = dynamic_cast<VerificationOptionsView*>(&top)) {
        moved = requestCode(*options);
      } else if (auto* code = dynamic_cast<VerificationCodeView*>(&top)) {
        moved = enterCode(*code);
      } else if (auto* limiter = dynamic_cast<DeviceLimiterView*>(&top)) {
        moved = limit(*limiter);
      } else {
        moved = act("verifyToContinue");
      }
      if (!moved) return 1;
    }
    std::cout << "\nthe challenge is closed\n";
    return 0;
  }

  bool requestCode(VerificationOptionsView& options) {
    std::vector<std::string> actions;
    collectActions(options.elements(), actions);
    if (actions.empty()) {
      std::cerr << "zelk: the user has no e-mail address or phone number to verify with\n";
      return false;
    }
    if (!act(actions.front())) return false;
    return waitFor([&] { return &view_->top() != &options; });
  }

  bool enterCode(VerificationCodeView& screen) {
    const auto code = sandboxCode();
    if (!code) return false;
    std::cout << "(the code from the message: " << *code << ")\n";
    screen.input().typeText(*code);
    printScreen(screen);
    if (!act("verifyCode")) return false;
    if (!waitFor([&] { return !screen.verifying(); })) return false;
    if (!screen.verified()) {
      std::cerr << "zelk: the service rejected the code\n";
      return false;
    }
    return true;
  }

  bool limit(DeviceLimiterView& limiter) {
    const auto& model = *container_->viewModel();
    const auto settled = [&] {
      return limiter.deviceLimitState() && !model.loadingDevices() && !model.detachLoading();
    };
    if (!waitFor(settled)) return false;
    printScreen(limiter);
    if (limiter.isOverDeviceLimit()) {
      for (const ZelkDevice& device : model.attachedDevices()) {
        if (device.id != model.currentDeviceID()) act("toggle:" + device.id);
      }
      if (limiter.selected().empty()) {
        std::cerr << "zelk: only this device is attached, and it is over a limit\n";
        return false;
      }
    }
    if (!act("logOut")) return false;
    return waitFor([&] { return closed() || settled(); });
  }

  // The last code the sandbox sent for the challenge, from its admin endpoint.
  std::optional<std::string> sandboxCode() {
    const std::string url = options_.platform.baseURL + "/_sandbox/challenge/" +
                            container_->viewModel()->challengeDetails()->_id;
    std::optional<std::string> code;
    const auto reply = httpGet(url, options_.platform.caFile, options_.timeout);
    if (reply) {
      const auto state = nlohmann::json::parse(*reply, nullptr, false);
      if (state.is_object() && state.contains("code") && state["code"].is_string()) {
        code = state["code"].get<std::string>();
      }
    }
    if (!code) {
      std::cerr << "zelk: could not read the code from " << url
                << " (is the service the sandbox?)\n";
    }
    return code;
  }

  ChallengeOptions options_;
  std::shared_ptr<RunLoop> loop_;
  std::shared_ptr<Zelk> zelk_;
  std::shared_ptr<ZelkContainer> container_;
  std::shared_ptr<ChallengeView> view_;
  std::shared_ptr<ChallengeScreen> shown_;  // the screen last shown to the person
};

}  // namespace

int runChallenge(const ChallengeOptions& options) {
  Session session(options);
  return session.run();
}

}  // namespace zelk::cli
