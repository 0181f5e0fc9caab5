// SPDX-License-Identifier: Apache-2.0
// The time from the sandbox raising a challenge to the client's challenge callback on the main
// queue: the realtime message, the challenge fetch over HTTP and the hop to the main thread.
// Target over 200 challenges on loopback: p50 under 1 ms, p99 under 10 ms.
//
//   challenge_bench [--challenges N]
#include <zelk/zelk.hpp>

#include "client/zelk_impl.hpp"
#include "sandbox.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

int main(int argc, char** argv) {
  using namespace std::chrono_literals;
  using Clock = std::chrono::steady_clock;
  int challenges = 200;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!std::strcmp(argv[i], "--challenges")) challenges = std::stoi(argv[i + 1]);
  }
  zelk::Logs::setSink([](const zelk::Logs::Record&) {});

  zelk::sandbox::Sandbox sandbox;
  if (!sandbox.start()) return 1;
  auto loop = std::make_shared<zelk::RunLoop>();
  zelk::Platform platform;
  platform.baseURL = sandbox.baseURL();
  platform.mainQueue = loop;
  platform.preferences = zelk::PreferencesStore::inMemory();
  platform.notifications = std::make_shared<zelk::NotificationCenter>(loop);
  auto client = zelk::Zelk::create("bench", false, platform);
  client->setUserID("bench-user");
  client->attach();
  if (!loop->runUntil([&] { return client->deviceID().has_value(); }, 10s)) return 1;
  if (!sandbox.waitForStreams(*client->deviceID(), 1, 10s)) return 1;

  int received = 0;
  Clock::time_point arrived;
  zelk::ZelkInternals::of(*client).onChallenge = [&](const zelk::ChallengeDetails&) {
    arrived = Clock::now();
    ++received;
  };
  std::vector<double> micros;
  for (int i = 0; i < challenges; ++i) {
    const auto raised = Clock::now();
    sandbox.raiseChallenge("bench", "bench-user");
    if (!loop->runUntil([&] { return received == i + 1; }, 10s)) {
      std::printf("challenge %d never arrived\n", i);
      return 1;
    }
    micros.push_back(std::chrono::duration<double, std::micro>(arrived - raised).count());
  }
  std::sort(micros.begin(), micros.end());
  const double p50 = micros[micros.size() / 2];
  const double p99 = micros[std::min(micros.size() - 1, micros.size() * 99 / 100)];
  std::printf(
      "challenge raised -> onChallenge on the main queue, %d challenges: p50 %.0f us, "
      "p99 %.0f us (targets 1000 / 10000 us): %s\n",
      challenges, p50, p99, p50 < 1000 && p99 < 10000 ? "within target" : "OVER TARGET");
  return 0;
}
