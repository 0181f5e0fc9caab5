// SPDX-License-Identifier: Apache-2.0
// A small host application: identifies this device, signs a user in, attaches, goes to the
// background and back, and detaches, printing what happens at each step.
//
//   zelk-example-host --base-url http://127.0.0.1:8080 [--client-id ID] [--user NAME]
#include <zelk/zelk.hpp>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

using namespace std::chrono_literals;

void say(const std::string& line) {
  std::printf("host: %s\n", line.c_str());
  std::fflush(stdout);
}

std::string describe(const zelk::ZelkAttachResponse& reply) {
  return std::string(reply.success ? "success" : "refused") + ", device " +
         reply.deviceID.value_or("(none)") + ", attached devices " +
         std::to_string(reply.attachedDevices);
}

}  // namespace

int main(int argc, char** argv) {
  std::string baseURL, clientID = "demo-project", user = "alice";
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!std::strcmp(argv[i], "--base-url")) baseURL = argv[i + 1];
    if (!std::strcmp(argv[i], "--client-id")) clientID = argv[i + 1];
    if (!std::strcmp(argv[i], "--user")) user = argv[i + 1];
  }

  // This host has no UI toolkit: its main thread drives the library's run loop.
  auto loop = zelk::RunLoop::main();
  zelk::Platform platform;
  platform.baseURL = baseURL;
  platform.preferences = zelk::PreferencesStore::inMemory();  // leave the user's files alone
  auto center = zelk::NotificationCenter::defaultCenter();
  auto client = zelk::Zelk::create(clientID, false, platform);
  client->onLogoutCurrentDevice = [] { say("the library logged this device out"); };

  bool done = false;
  auto step = [&](const char* what) {
    if (!loop->runUntil([&] { return done; }, 10s)) say(std::string("no answer to ") + what);
    done = false;
  };

  say("identifying this device");
  client->identify(std::nullopt, [&](const auto& identity, const auto& error) {
    // Success arrives on the main thread, failures on the library's HTTP thread.
    loop->post([&, identity, error] {
      say(identity ? "identity " + identity->identity + ", confidence " +
                         std::to_string(identity->confidence)
                   : "identify failed: " + error->message);
      done = true;
    });
  });
  step("identify");

  say("signing in " + user + " and attaching");
  client->setUserID(user);
  client->attach(zelk::Metadata{{"plan", "demo"}}, [&](const zelk::ZelkAttachResponse& reply) {
    loop->post([&, reply] {
      say("attached: " + describe(reply));
      done = true;
    });
  });
  step("attach");
  say("the stored identity is " + client->identity().value_or("(none)"));

  say("the application goes to the background");
  center->post(zelk::AppNotification::willResignActive);
  loop->runUntil([&] { return !client->deviceID(); }, 10s);
  say("device ID now " + client->deviceID().value_or("(none)"));

  say("the application is active again");
  center->post(zelk::AppNotification::didBecomeActive);
  loop->runUntil([&] { return client->deviceID().has_value(); }, 10s);
  say("device ID now " + client->deviceID().value_or("(none)"));

  say("detaching this device");
  client->detach(std::nullopt, [&](const std::optional<zelk::ZelkAttachResponse>& reply) {
    say(reply ? "detached: " + describe(*reply) : "detach failed");
    done = true;
  });
  step("detach");
  return client->deviceID() ? 1 : 0;
}
