// SPDX-License-Identifier: Apache-2.0
// The road of a challenge, with two devices of one user in one process: the phone attaches, the
// tablet attaches over the account's limit, the service raises a challenge that reaches both
// containers over their realtime streams, and logging the phone out from the tablet (as the
// device limiter does) makes the service push a logout to the phone.
//
//   zelk-example-challenge --base-url URL [--client-id ID] [--user NAME]
// The project should allow one device only (the demo script configures the sandbox so).
#include <zelk/zelk.hpp>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

using namespace std::chrono_literals;

void say(const std::string& who, const std::string& line) {
  std::printf("%-7s %s\n", (who + ":").c_str(), line.c_str());
  std::fflush(stdout);
}

struct Device {
  std::string name;
  std::shared_ptr<zelk::Zelk> client;
  std::shared_ptr<zelk::ZelkContainer> container;
  bool loggedOut = false;
};

std::unique_ptr<Device> makeDevice(const std::string& name, const std::string& model,
                                   const std::string& baseURL, const std::string& clientID,
                                   const std::string& user,
                                   const std::shared_ptr<zelk::RunLoop>& loop) {
  auto device = std::make_unique<Device>();
  device->name = name;
  zelk::Platform platform;
  platform.baseURL = baseURL;
  platform.mainQueue = loop;
  platform.preferences = zelk::PreferencesStore::inMemory();
  platform.notifications = std::make_shared<zelk::NotificationCenter>(loop);
  platform.deviceFacts = [model, vendor = zelk::randomUUID()] {
    return zelk::DeviceFacts{model, "iOS", "17.2", vendor};
  };
  device->client = zelk::Zelk::create(clientID, false, platform);
  device->client->setUserID(user);
  device->client->onLogoutCurrentDevice = [d = device.get()] {
    d->loggedOut = true;
    say(d->name, "the service logged this device out; the host signs the user out");
  };
  // The host wraps its content in a container: it attaches and receives the challenges.
  device->container = zelk::ZelkContainer::create(device->client);
  device->container->viewModel()->subscribe([d = device.get()] {
    const auto& model = *d->container->viewModel();
    if (model.challengeVisible() && model.challengeDetails()) {
      const auto& details = *model.challengeDetails();
      say(d->name, "challenge " + details._id + " covers the content (project \"" +
                       (details.project ? details.project->name : std::string("?")) + "\")");
    }
  });
  return device;
}

}  // namespace

int main(int argc, char** argv) {
  std::string baseURL, clientID = "demo-project", user = "alice";
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!std::strcmp(argv[i], "--base-url")) baseURL = argv[i + 1];
    if (!std::strcmp(argv[i], "--client-id")) clientID = argv[i + 1];
    if (!std::strcmp(argv[i], "--user")) user = argv[i + 1];
  }
  auto loop = std::make_shared<zelk::RunLoop>();

  auto phone = makeDevice("phone", "iPhone", baseURL, clientID, user, loop);
  if (!loop->runUntil([&] { return phone->client->deviceID().has_value(); }, 10s)) {
    say("phone", "could not attach");
    return 1;
  }
  say("phone", "attached as " + *phone->client->deviceID());

  auto tablet = makeDevice("tablet", "iPad Air", baseURL, clientID, user, loop);
  const bool challenged = loop->runUntil(
      [&] { return phone->container->challengeVisible() && tablet->container->challengeVisible(); },
      10s);
  say("tablet", "attached as " + tablet->client->deviceID().value_or("(none)"));
  if (!challenged) {
    say("demo", "no challenge arrived: does the project allow one device only?");
    return 1;
  }

  say("tablet", "logs the phone out, as the device limiter does");
  tablet->client->detach(phone->container->viewModel()->currentDeviceID(),
                         [](const std::optional<zelk::ZelkAttachResponse>& reply) {
                           if (reply) {
                             say("tablet", "service now counts " +
                                               std::to_string(reply->attachedDevices) +
                                               " attached device(s)");
                           }
                         });
  if (!loop->runUntil([&] { return phone->loggedOut; }, 10s)) {
    say("demo", "the phone was not logged out");
    return 1;
  }
  loop->runUntil([] { return false; }, 200ms);
  return 0;
}
