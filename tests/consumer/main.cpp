// SPDX-License-Identifier: Apache-2.0
// Attaches one device against the service at argv[1] and exits 0 once the reply arrives.
#include <zelk/zelk.hpp>

#include <atomic>
#include <cstdio>

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: consumer BASE_URL\n");
    return 2;
  }
  zelk::Platform platform;
  platform.baseURL = argv[1];
  platform.preferences = zelk::PreferencesStore::inMemory();
  auto client = zelk::Zelk::create("consumer-project", false, platform);
  client->setUserID("consumer-user");

  std::atomic<bool> attached{false};
  client->attach(std::nullopt, [&](const zelk::ZelkAttachResponse& reply) {
    std::printf("attached %s (zelk %s)\n", reply.deviceID.value_or("?").c_str(), ZELK_VERSION);
    attached = reply.success;
  });
  zelk::RunLoop::main()->runUntil([&] { return attached.load(); }, std::chrono::seconds(20));
  return attached ? 0 : 1;
}
