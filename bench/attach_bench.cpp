// SPDX-License-Identifier: Apache-2.0
// The cost of one attach round trip against the sandbox service on loopback, next to a bare
// libcurl POST of the same body on a reused connection, and the library's resident memory.
//
// Target: the library adds well under 10 % or 100 us per round trip, whichever is larger.
#include <zelk/zelk.hpp>

#include "sandbox.hpp"

#include <benchmark/benchmark.h>
#include <curl/curl.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <map>
#include <string>

namespace {

using namespace std::chrono_literals;

zelk::sandbox::Sandbox& sandbox() {
  static zelk::sandbox::Sandbox* server = [] {
    auto* s = new zelk::sandbox::Sandbox();
    if (!s->start()) std::abort();
    return s;
  }();
  return *server;
}

zelk::DeviceFacts facts() {
  return {"iPhone", "iOS", "17.2", "0A1B2C3D-4E5F-4061-8272-839495A6B7C8"};
}

long residentKiB() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return 0;
}

struct Client {
  std::shared_ptr<zelk::RunLoop> loop = std::make_shared<zelk::RunLoop>();
  std::shared_ptr<zelk::Zelk> zelk;

  Client() {
    zelk::Platform platform;
    platform.baseURL = sandbox().baseURL();
    platform.mainQueue = loop;
    platform.preferences = zelk::PreferencesStore::inMemory();
    platform.deviceFacts = facts;
    platform.notifications = std::make_shared<zelk::NotificationCenter>(loop);
    zelk = zelk::Zelk::create("bench-project", false, platform);
    zelk->setUserID("bench-user");
  }

  // One attach, waiting for its reply on the HTTP thread.
  bool attach() {
    std::atomic<int> done{0};
    zelk->attach(std::nullopt, [&](const zelk::ZelkAttachResponse&) {
      done = 1;
      done.notify_one();
    });
    done.wait(0);
    loop->runUntil([] { return false; }, 0ms);  // drains what the reply posted to the main thread
    return true;
  }
};

void BM_AttachRoundTrip(benchmark::State& state) {
  Client client;
  client.attach();  // connects
  for (auto _ : state) client.attach();
  sandbox().clearRequests();
}
BENCHMARK(BM_AttachRoundTrip)->UseRealTime()->MinTime(2.0);

// What the library sends for an attach, posted with libcurl alone.
void BM_BareCurlPost(benchmark::State& state) {
  const std::string body =
      R"({"device_info":{"device":{"model":"iPhone","type":"mobile","vendor":"Apple"},"os":{"name":"iOS","version":"17.2"}},"library":"swift","metadata":[],"signals":{"iosVendorIdentifier":"0A1B2C3D-4E5F-4061-8272-839495A6B7C8"},"user":"bench-user","version":"3.0.2"})";
  const std::string url = sandbox().baseURL() + "/v2/access";
  CURL* easy = curl_easy_init();
  curl_slist* headers = nullptr;
  for (const char* header : {"Content-Type: application/json", "Accept: application/json",
                             "Authorization: Basic bench-project:", "Expect:"}) {
    headers = curl_slist_append(headers, header);
  }
  std::string reply;
  curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
  curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(easy, CURLOPT_POSTFIELDS, body.c_str());
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, &reply);
  curl_easy_setopt(
      easy, CURLOPT_WRITEFUNCTION,
      +[](char* data, std::size_t size, std::size_t count, void* user) {
        static_cast<std::string*>(user)->append(data, size * count);
        return size * count;
      });
  curl_easy_perform(easy);
  for (auto _ : state) {
    reply.clear();
    if (curl_easy_perform(easy) != CURLE_OK) state.SkipWithError("request failed");
  }
  curl_slist_free_all(headers);
  curl_easy_cleanup(easy);
  sandbox().clearRequests();
}
BENCHMARK(BM_BareCurlPost)->UseRealTime()->MinTime(2.0);

// The resident memory that one client adds to the process once it has attached.
void BM_ResidentMemoryAfterAttach(benchmark::State& state) {
  for (auto _ : state) {
    const long before = residentKiB();
    Client client;
    client.attach();
    state.counters["rss_kib"] = static_cast<double>(residentKiB());
    state.counters["client_kib"] = static_cast<double>(residentKiB() - before);
  }
}
BENCHMARK(BM_ResidentMemoryAfterAttach)->Iterations(1);

// Prints the per-call overhead of the library against the bare POST after the runs.
class OverheadReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const auto& run : runs) times_[run.benchmark_name()] = run.GetAdjustedRealTime();
    ConsoleReporter::ReportRuns(runs);
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    const auto zelk = times_.find("BM_AttachRoundTrip/min_time:2.000/real_time");
    const auto bare = times_.find("BM_BareCurlPost/min_time:2.000/real_time");
    if (zelk == times_.end() || bare == times_.end()) return;
    const double overheadUs = (zelk->second - bare->second) / 1000.0;
    const double allowedUs = std::max(0.10 * bare->second / 1000.0, 100.0);
    std::printf(
        "attach overhead over a bare libcurl POST: %.1f us (%.1f %%); allowed %.1f us: %s\n",
        overheadUs, 100.0 * overheadUs * 1000.0 / bare->second, allowedUs,
        overheadUs < allowedUs ? "within target" : "OVER TARGET");
  }

 private:
  std::map<std::string, double> times_;  // nanoseconds per iteration
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  OverheadReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
}
