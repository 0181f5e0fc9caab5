// SPDX-License-Identifier: Apache-2.0
// What the C interface adds over the C++ API, side by side in one run against a service on
// loopback (ZELK_BENCH_URL, a zelk-server in sandbox mode; bench/bindings_compare.sh starts one
// and runs the JVM and Python measures after this one):
//
//   - an attach, from the call until the host's main thread knows of the reply (the callback
//     sets a flag and stops the loop the main thread waits in), C++ and C alternating call by
//     call, in rounds, with p50 and p99 per round and the medians of the rounds;
//   - a call that does no I/O (the device ID), C++ and C, in nanoseconds per call;
//   - the memory of one client: the resident set's growth for 200 clients made one way, then
//     200 the other, divided by 200 (a client's network thread starts with its first call, so
//     none runs here).
//
//   bindings_bench [--rounds R] [--calls N]
#include <zelk/zelk.h>
#include <zelk/zelk.hpp>

#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

double micros(Clock::duration duration) {
  return std::chrono::duration<double, std::micro>(duration).count();
}

double percentile(std::vector<double> values, double fraction) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1))];
}

long residentKiB() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return 0;
}

const char* kVendor = "0A1B2C3D-4E5F-4061-8272-839495A6B7C8";

struct CppClient {
  std::shared_ptr<zelk::RunLoop> loop = std::make_shared<zelk::RunLoop>();
  std::shared_ptr<zelk::Zelk> zelk;
  std::atomic<bool> done{false};

  explicit CppClient(const std::string& url) {
    zelk::Platform platform;
    platform.baseURL = url;
    platform.mainQueue = loop;
    platform.preferences = zelk::PreferencesStore::inMemory();
    platform.deviceFacts = [] { return zelk::DeviceFacts{"iPhone", "iOS", "17.2", kVendor}; };
    platform.notifications = std::make_shared<zelk::NotificationCenter>(loop);
    zelk = zelk::Zelk::create("bench-bindings", false, platform);
    zelk->setUserID("bench-user");
  }

  double attach() {
    done = false;
    const auto start = Clock::now();
    zelk->attach(std::nullopt, [this](const zelk::ZelkAttachResponse&) {
      done = true;
      loop->stop();
    });
    if (!loop->runUntil([this] { return done.load(); }, 5000ms)) return -1;
    return micros(Clock::now() - start);
  }
  void settle() { loop->runUntil([] { return false; }, 2ms); }
};

struct CClient {
  zelk_run_loop* loop = nullptr;
  zelk_client* client = nullptr;
  std::atomic<bool> done{false};

  explicit CClient(const std::string& url) {
    zelk_run_loop_new(&loop);
    zelk_client_options options;
    zelk_client_options_init(&options);
    options.base_url = url.c_str();
    options.base_url_length = url.size();
    options.run_loop = loop;
    options.preferences = ZELK_PREFERENCES_MEMORY;
    options.device_model = "iPhone";
    options.device_model_length = ZELK_NUL_TERMINATED;
    options.system_name = "iOS";
    options.system_name_length = ZELK_NUL_TERMINATED;
    options.system_version = "17.2";
    options.system_version_length = ZELK_NUL_TERMINATED;
    options.vendor_id = kVendor;
    options.vendor_id_length = ZELK_NUL_TERMINATED;
    if (zelk_client_new("bench-bindings", ZELK_NUL_TERMINATED, &options, &client) != ZELK_OK) {
      std::fprintf(stderr, "bindings_bench: zelk_client_new failed\n");
      std::exit(1);
    }
    zelk_client_set_user_id(client, "bench-user", ZELK_NUL_TERMINATED);
  }
  ~CClient() {
    zelk_client_flush(client, 5000, nullptr);
    zelk_client_free(client);
    zelk_run_loop_run(loop, 50);
    zelk_run_loop_free(loop);
  }

  double attach() {
    done = false;
    const auto start = Clock::now();
    zelk_client_attach(
        client, nullptr, 0,
        [](void* data, zelk_attach_response*) {
          auto* self = static_cast<CClient*>(data);
          self->done = true;
          zelk_run_loop_stop(self->loop);
        },
        this, nullptr);
    bool satisfied = false;
    zelk_run_loop_run_until(
        loop, [](void* data) { return static_cast<CClient*>(data)->done.load(); }, this, 5000,
        &satisfied);
    if (!satisfied) return -1;
    return micros(Clock::now() - start);
  }
  void settle() { zelk_run_loop_run(loop, 2); }
};

// Nanoseconds per call of `call`, the median of 5 runs of `count` calls.
double nanosPerCall(const std::function<void()>& call, int count) {
  std::vector<double> runs;
  for (int run = 0; run < 5; ++run) {
    const auto start = Clock::now();
    for (int i = 0; i < count; ++i) call();
    runs.push_back(std::chrono::duration<double, std::nano>(Clock::now() - start).count() /
                   count);
  }
  return percentile(runs, 0.5);
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = 5, calls = 200;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!std::strcmp(argv[i], "--rounds")) rounds = std::atoi(argv[i + 1]);
    if (!std::strcmp(argv[i], "--calls")) calls = std::atoi(argv[i + 1]);
  }
  const char* url = std::getenv("ZELK_BENCH_URL");
  if (url == nullptr) {
    std::fprintf(stderr, "bindings_bench: set ZELK_BENCH_URL to a zelk-server in sandbox mode\n");
    return 2;
  }
  zelk::Logs::setSink([](const zelk::Logs::Record&) {});  // the C++ copy of the library
  zelk_set_log_sink([](void*, zelk_log_level, const char*, size_t, const char*, size_t) {}, nullptr,
                    nullptr);  // and the one inside libzelk-c
  {
    CppClient cpp(url);
    CClient c(url);
    cpp.attach();  // connections and the device are made before timing
    c.attach();
    std::vector<double> cppP50, cppP99, cP50, cP99;
    for (int round = 0; round < rounds; ++round) {
      std::vector<double> cppTimes, cTimes;
      for (int call = 0; call < calls; ++call) {
        const bool cppFirst = (call + round) % 2 == 0;
        for (int side = 0; side < 2; ++side) {
          if ((side == 0) == cppFirst) {
            const double t = cpp.attach();
            cpp.settle();
            if (t >= 0) cppTimes.push_back(t);
          } else {
            const double t = c.attach();
            c.settle();
            if (t >= 0) cTimes.push_back(t);
          }
        }
      }
      cppP50.push_back(percentile(cppTimes, 0.5));
      cppP99.push_back(percentile(cppTimes, 0.99));
      cP50.push_back(percentile(cTimes, 0.5));
      cP99.push_back(percentile(cTimes, 0.99));
      std::printf("round %d: attach C++ p50 %.0f us p99 %.0f us | C p50 %.0f us p99 %.0f us\n",
                  round + 1, cppP50.back(), cppP99.back(), cP50.back(), cP99.back());
    }
    std::printf("attach, median of %d rounds of %d: C++ p50 %.0f us, p99 %.0f us; "
                "C interface p50 %.0f us, p99 %.0f us\n",
                rounds, calls, percentile(cppP50, 0.5), percentile(cppP99, 0.5),
                percentile(cP50, 0.5), percentile(cP99, 0.5));

    const double cppCall = nanosPerCall([&] { (void)cpp.zelk->deviceID(); }, 200000);
    const double cCall = nanosPerCall(
        [&] {
          char* id = nullptr;
          zelk_client_device_id(c.client, &id, nullptr);
          zelk_string_free(id);
        },
        200000);
    std::printf("device ID, a call without I/O: C++ %.0f ns, C interface %.0f ns per call\n",
                cppCall, cCall);
    cpp.zelk->flush(5s);
    cpp.settle();
  }

  // Memory per client: C++ first, then C, each after the other's are gone.
  constexpr int kClients = 200;
  const std::string base = url;
  long cppKiB = 0, cKiB = 0;
  {
    auto loop = std::make_shared<zelk::RunLoop>();
    malloc_trim(0);
    const long before = residentKiB();
    std::vector<std::shared_ptr<zelk::Zelk>> made;
    std::vector<std::shared_ptr<zelk::NotificationCenter>> centers;
    for (int i = 0; i < kClients; ++i) {
      zelk::Platform platform;
      platform.baseURL = base;
      platform.mainQueue = loop;
      platform.preferences = zelk::PreferencesStore::inMemory();
      centers.push_back(std::make_shared<zelk::NotificationCenter>(loop));
      platform.notifications = centers.back();
      made.push_back(zelk::Zelk::create("bench-bindings", false, platform));
    }
    cppKiB = residentKiB() - before;
  }
  {
    zelk_run_loop* loop = nullptr;
    zelk_run_loop_new(&loop);
    malloc_trim(0);
    const long before = residentKiB();
    std::vector<zelk_client*> made;
    for (int i = 0; i < kClients; ++i) {
      zelk_client_options options;
      zelk_client_options_init(&options);
      options.base_url = base.c_str();
      options.base_url_length = base.size();
      options.run_loop = loop;
      options.preferences = ZELK_PREFERENCES_MEMORY;
      zelk_client* client = nullptr;
      zelk_client_new("bench-bindings", ZELK_NUL_TERMINATED, &options, &client);
      made.push_back(client);
    }
    cKiB = residentKiB() - before;
    for (zelk_client* client : made) zelk_client_free(client);
    zelk_run_loop_free(loop);
  }
  std::printf("memory per client (%d made, resident set): C++ %.1f KiB, C interface %.1f KiB\n",
              kClients, static_cast<double>(cppKiB) / kClients,
              static_cast<double>(cKiB) / kClients);
  return 0;
}
