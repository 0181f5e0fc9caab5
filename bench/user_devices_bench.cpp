// SPDX-License-Identifier: Apache-2.0
// What one attach costs the service as the user's devices grow: an attach of a device already
// there, over the project's limit with the user's challenge open (the case that once wrote a
// message for every device of the user), for users of 2, 100 and 1,000 devices, side by side in
// one run, on the SQLite store in a temporary file.
//
//   user_devices_bench --benchmark_repetitions=9 --benchmark_report_aggregates_only=true
//
// Goal: at 1,000 devices within twice the time at 2.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "service/service.hpp"
#include "storage/store.hpp"

namespace {

using zelk::server::AttachInput;
using zelk::server::Service;

AttachInput deviceOf(const std::string& user, int number) {
  AttachInput input;
  input.project = "bench";
  input.user = user;
  input.vendorId = "vendor-" + std::to_string(number);
  input.deviceInfo = {{"device", {{"type", "mobile"}, {"model", "Bench"}}}};
  return input;
}

void AttachWithDevices(benchmark::State& state) {
  const int devices = static_cast<int>(state.range(0));
  char folder[] = "/tmp/zelk-bench-XXXXXX";
  if (!mkdtemp(folder)) {
    state.SkipWithError("no temporary folder");
    return;
  }
  {
    Service::Config config;
    config.maxDevicesPerUser = 0;
    Service service(zelk::server::makeSQLiteStore(std::string(folder) + "/zelk.db"),
                    std::move(config));
    zelk::server::ProjectSettings settings;
    settings.overallLimit = 1;
    service.configureProject("bench", settings);
    for (int i = 0; i < devices; ++i) service.attach(deviceOf("user", i));
    int next = 0;
    for (auto _ : state) {
      const auto result = service.attach(deviceOf("user", next));
      benchmark::DoNotOptimize(result.deviceId);
      next = (next + 1) % devices;
    }
  }
  std::filesystem::remove_all(folder);
}

BENCHMARK(AttachWithDevices)
    ->Arg(2)
    ->Arg(100)
    ->Arg(1000)
    ->Unit(benchmark::kMicrosecond)
    ->MinTime(1.0);

}  // namespace

BENCHMARK_MAIN();
