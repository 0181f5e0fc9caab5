// SPDX-License-Identifier: Apache-2.0
// How long the service takes to check a one-time code that is right, wrong in its first digit
// and wrong in its last one. The three medians should agree within noise: a check that returned
// sooner the earlier a guess went wrong would tell an attacker digit by digit how close it was.
// Run with --benchmark_repetitions=20 --benchmark_report_aggregates_only=true and compare the
// medians.
#include <climits>
#include <memory>
#include <string>

#include <benchmark/benchmark.h>

#include "service/service.hpp"
#include "storage/store.hpp"

namespace {

using zelk::server::Service;

struct Fixture {
  Fixture() {
    Service::Config config;
    config.codes.maxChecks = INT_MAX;  // every check compares
    config.codes.lifetime = std::chrono::hours(24);
    service = std::make_unique<Service>(zelk::server::makeMemoryStore(), config);
    challenge = service->raiseChallenge("bench", "u", "manual").id;
    code = service->sendCode("bench", challenge, "email").sent->code;
  }
  std::unique_ptr<Service> service;
  std::string challenge, code;
};

Fixture& fixture() {
  static Fixture f;
  return f;
}

std::string changed(std::string code, std::size_t at) {
  code[at] = code[at] == '9' ? '0' : static_cast<char>(code[at] + 1);
  return code;
}

void BM_CheckRightCode(benchmark::State& state) {
  Fixture& f = fixture();
  for (auto _ : state) benchmark::DoNotOptimize(f.service->checkCode("bench", f.challenge, f.code));
}

void BM_CheckCodeWrongInItsFirstDigit(benchmark::State& state) {
  Fixture& f = fixture();
  const std::string guess = changed(f.code, 0);
  for (auto _ : state) benchmark::DoNotOptimize(f.service->checkCode("bench", f.challenge, guess));
}

void BM_CheckCodeWrongInItsLastDigit(benchmark::State& state) {
  Fixture& f = fixture();
  const std::string guess = changed(f.code, 5);
  for (auto _ : state) benchmark::DoNotOptimize(f.service->checkCode("bench", f.challenge, guess));
}

BENCHMARK(BM_CheckRightCode);
BENCHMARK(BM_CheckCodeWrongInItsFirstDigit);
BENCHMARK(BM_CheckCodeWrongInItsLastDigit);

}  // namespace

BENCHMARK_MAIN();
