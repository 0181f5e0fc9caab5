// SPDX-License-Identifier: Apache-2.0
// What the service holds between calls is a cache and nothing more: the same traffic of a
// thousand users, run once with room for ten users' records and once with room for all, gets the
// same answer to every call.
#include <chrono>
#include <cstdint>
#include <future>
#include <map>
#include <random>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "server_test_support.hpp"
#include "service/service.hpp"
#include "storage/store.hpp"

namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using zelk::server::Clock;
using zelk::server::Service;

// Replaces each id the service made by the order it first appeared in, so that two runs whose
// random ids differ can be compared.
class Names {
 public:
  std::string of(const std::string& text) {
    static const std::regex id("(dev|acc|ch|id)_[0-9a-f]{32}");
    std::string out;
    std::sregex_iterator it(text.begin(), text.end(), id), end;
    std::size_t from = 0;
    for (; it != end; ++it) {
      out.append(text, from, static_cast<std::size_t>(it->position()) - from);
      auto [entry, added] = names_.try_emplace(it->str(), names_.size());
      out += it->str(1) + "#" + std::to_string(entry->second);
      from = static_cast<std::size_t>(it->position() + it->length());
    }
    out.append(text, from);
    return out;
  }

 private:
  std::map<std::string, std::size_t> names_;
};

// Runs the traffic against a service holding at most `cacheUsers` users; every answer, named.
std::vector<std::string> run(const std::string& file, std::size_t cacheUsers) {
  // Both runs go by the same time.
  Clock::time_point now = zelk::server::fromMillis(1'900'000'000'000);
  Service::Config config;
  config.cacheUsers = cacheUsers;
  config.codeKey = "one key for both runs";
  config.clock = [&now] { return now; };
  Service service(zelk::server::makeSQLiteStore(file), std::move(config));
  zelk::server::ProjectSettings settings;
  settings.overallLimit = 2;
  settings.livenessGraceSeconds = 300;
  service.configureProject("p", settings);
  zelk::server::ProjectSettings evicting = settings;
  evicting.limitPolicy = zelk::server::LimitPolicy::evictOldest;
  evicting.userSecret = "q's user secret, signed by its backend";
  service.configureProject("q", evicting);

  std::mt19937 random(2026);
  std::vector<std::string> answers;
  Names names;
  // What each user was last told, for the calls that name it.
  struct Known {
    std::string device, access, challenge, code;
  };
  std::map<std::string, Known> known;
  for (int step = 0; step < 4000; ++step) {
    now += 200ms;
    const std::string project = random() % 4 == 0 ? "q" : "p";
    const std::string user = "user-" + std::to_string(random() % 1000);
    Known& last = known[project + "/" + user];
    std::string answer;
    switch (random() % 8) {
      case 0:
      case 1:
      case 2: {
        zelk::server::AttachInput input;
        input.project = project;
        input.user = user;
        input.vendorId = "vendor-" + std::to_string(random() % 4);
        input.deviceInfo = {{"device", {{"type", random() % 3 ? "mobile" : "tablet"}}}};
        if (project == "q")
          input.userSignature = zelk::server::userSignature(evicting.userSecret, user);
        const auto attached = service.attach(std::move(input));
        last.device = attached.deviceId;
        last.access = attached.access;
        if (attached.challenge) last.challenge = attached.challenge->id;
        answer = "attach " + attached.deviceId + " " + attached.access + " " +
                 std::to_string(attached.attachedDevices) + " " +
                 (attached.challenge ? attached.challenge->id : "-") + " evicted " +
                 std::to_string(attached.evicted.size()) + " expired " +
                 std::to_string(attached.expired.size());
        break;
      }
      case 3: {
        const auto detached = service.detach(project, user, last.device);
        answer = "detach " + std::to_string(detached.found) + " " +
                 std::to_string(detached.attachedDevices);
        break;
      }
      case 4: {
        const auto start = service.startListen(project, last.device, last.access, std::nullopt);
        answer = "listen " + std::to_string(static_cast<int>(start.check)) + " " +
                 std::to_string(start.catchUp.size()) + " " + std::to_string(start.upTo);
        break;
      }
      case 5: {
        const auto view = last.challenge.empty() ? std::nullopt : service.userJSON(project, user);
        answer = "user " + (view ? view->dump() : std::string("-"));
        break;
      }
      case 6: {
        if (last.challenge.empty()) break;
        std::promise<void> done;
        service.sendCode(
            project, last.challenge, "email",
            [&](zelk::server::Outcome<zelk::server::SendCodeResult> outcome) {
              if (outcome.value && outcome.value->sent) last.code = outcome.value->sent->code;
              answer = "code " + std::to_string(outcome.value.has_value()) + " " +
                       std::to_string(outcome.value ? static_cast<int>(outcome.value->status) : -1);
              done.set_value();
            });
        done.get_future().wait();
        break;
      }
      case 7: {
        if (last.challenge.empty()) break;
        std::promise<void> done;
        service.checkCode(project, last.challenge, last.code,
                          [&](zelk::server::Outcome<std::optional<bool>> outcome) {
                            answer =
                                "check " + std::to_string(outcome.value.has_value()) + " " +
                                std::to_string(outcome.value && *outcome.value && **outcome.value);
                            done.set_value();
                          });
        done.get_future().wait();
        break;
      }
    }
    if (step % 500 == 499) answer += " swept " + std::to_string(service.sweepIdleDevices().size());
    // When a challenge was raised goes by the wall clock, not the rules' time: left out.
    static const std::regex raisedAt("\"created_at\":\"[^\"]*\"");
    answers.push_back(names.of(std::regex_replace(answer, raisedAt, "")));
  }
  // The last call's user goes back among those held just after its answer.
  auto figures = service.cacheFigures();
  for (int wait = 0; cacheUsers > 0 && figures.users > cacheUsers && wait < 200; ++wait) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    figures = service.cacheFigures();
  }
  if (cacheUsers > 0) {
    EXPECT_LE(figures.users, cacheUsers) << "held beyond the bound";
    EXPECT_GT(figures.evictions, 1000u);
  } else {
    EXPECT_EQ(figures.evictions, 0u);
  }
  return answers;
}

TEST(ServerCache, TenUsersHeldAnswerAsAllUsersHeld) {
  zelk::testing::TempDir dir;
  const auto small = run(dir.file("small.db"), 10);
  const auto whole = run(dir.file("whole.db"), 0);
  ASSERT_EQ(small.size(), whole.size());
  std::size_t attaches = 0;
  for (std::size_t i = 0; i < small.size(); ++i) {
    ASSERT_EQ(small[i], whole[i]) << "call " << i;
    attaches += small[i].rfind("attach", 0) == 0;
  }
  EXPECT_GT(attaches, 1000u);
}

}  // namespace
