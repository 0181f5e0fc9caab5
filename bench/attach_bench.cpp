// SPDX-License-Identifier: Apache-2.0
// The cost of one attach against the service on loopback, next to a bare libcurl POST of the same
// body on a reused connection, measured call by call in the same run.
//
// The service runs in its own process: zelk-server --sandbox, started here, or whatever
// ZELK_BENCH_URL names (a base URL such as http://127.0.0.1:8080 of a service in sandbox mode).
//
//   attach_bench                   rounds of attaches and bare POSTs, interleaved, with p50/p99
//   attach_bench --rounds R --calls N
//   attach_bench --server PATH     the zelk-server to start (default: the one built beside this)
//   attach_bench --count attach N  only N attaches (or `bare`), nothing timed: for instruction
//                                  counts, e.g. under valgrind --tool=callgrind
//
// An attach is timed from the call until its callback has run and the main queue has run what
// the reply and the callback posted there (the restart of the stream, the host's own task); the
// main thread waits in its run loop meanwhile, as a host's does. Before the next call the new
// stream is let open, untimed, so that its connection does not fall into the next measurement: an
// app attaches seconds apart, not back to back. A second table times attaches back to back, each
// one replacing a stream still connecting.
//
// Goal: the library adds less than 100 us to the bare POST at p50.
#include <zelk/zelk.hpp>

#include "client/zelk_impl.hpp"
#include "load/subject.hpp"

#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

double micros(Clock::duration duration) {
  return std::chrono::duration<double, std::micro>(duration).count();
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

  explicit Client(const std::string& baseURL) {
    zelk::Platform platform;
    platform.baseURL = baseURL;
    platform.mainQueue = loop;
    platform.preferences = zelk::PreferencesStore::inMemory();
    platform.deviceFacts = facts;
    platform.notifications = std::make_shared<zelk::NotificationCenter>(loop);
    zelk = zelk::Zelk::create("bench-project", false, platform);
    zelk->setUserID("bench-user");
  }

  struct Times {
    double callback = 0;   // call to callback (on the network thread)
    double mainQueue = 0;  // call until the main queue has run what the reply posted
  };

  // One attach; nullopt when it did not succeed. The main thread waits in its run loop, as a
  // host's would, and the callback hops there, as a host's callback that touches its own state
  // would.
  std::optional<Times> attach() {
    bool done = false;
    Clock::time_point calledBack;
    const auto start = Clock::now();
    zelk->attach(std::nullopt, [&](const zelk::ZelkAttachResponse&) {
      calledBack = Clock::now();
      loop->post([&done] { done = true; });
    });
    // The reply posted the stream's restart to the main queue before the callback ran, so once
    // the callback's task has run, so has the restart. No reply within 5 s: a failed attach (the
    // callback runs only with a reply).
    if (!loop->runUntil([&done] { return done; }, 5000ms)) return std::nullopt;
    const auto end = Clock::now();
    return Times{micros(calledBack - start), micros(end - start)};
  }

  // Waits until the stream that the last attach started is open.
  bool waitForStream() {
    const auto deadline = Clock::now() + 5s;
    auto& impl = zelk::ZelkInternals::of(*zelk);
    while (Clock::now() < deadline) {
      if (impl.eventSource && impl.eventSource->readyState() == zelk::ReadyState::open) return true;
      std::this_thread::sleep_for(50us);
    }
    return false;
  }
};

// What the library sends for an attach, posted with libcurl alone on a reused connection.
struct BarePost {
  const std::string body =
      R"({"device_info":{"device":{"model":"iPhone","type":"mobile","vendor":"Apple"},"os":{"name":"iOS","version":"17.2"}},"library":"swift","metadata":[],"signals":{"iosVendorIdentifier":"0A1B2C3D-4E5F-4061-8272-839495A6B7C8"},"user":"bench-user","version":"3.0.2"})";
  const std::string url;
  CURL* easy = curl_easy_init();
  curl_slist* headers = nullptr;
  std::string reply;

  explicit BarePost(const std::string& baseURL) : url(baseURL + "/v2/access") {
    for (const char* header : {"Content-Type: application/json", "Accept: application/json",
                               "Authorization: Basic bench-project:", "Expect:"}) {
      headers = curl_slist_append(headers, header);
    }
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
    post();  // connects
  }
  ~BarePost() {
    curl_slist_free_all(headers);
    curl_easy_cleanup(easy);
  }
  BarePost(const BarePost&) = delete;
  BarePost& operator=(const BarePost&) = delete;

  // The time of one POST in microseconds; nullopt when it failed.
  std::optional<double> post() {
    reply.clear();
    const auto start = Clock::now();
    long status = 0;
    if (curl_easy_perform(easy) != CURLE_OK) return std::nullopt;
    const double took = micros(Clock::now() - start);
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
    if (status != 200) return std::nullopt;
    return took;
  }
};

double percentile(std::vector<double> values, double fraction) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const auto index = static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1));
  return values[index];
}

double median(std::vector<double> values) {
  return percentile(std::move(values), 0.5);
}

struct Series {
  explicit Series(const char* seriesName) : name(seriesName) {}
  const char* name;
  std::vector<double> p50, p99;
  void add(const std::vector<double>& calls) {
    p50.push_back(percentile(calls, 0.5));
    p99.push_back(percentile(calls, 0.99));
  }
};

// Rounds of attaches and bare POSTs, alternating call by call (which one goes first alternates
// too), each round reporting p50 and p99; the medians of the rounds at the end.
bool pairedRounds(Client& client, BarePost& bare, int rounds, int calls, bool waitForStream) {
  Series callback{"attach, call to callback"}, hop{"attach, through the main queue"},
      post{"bare libcurl POST"};
  int failures = 0;
  for (int round = 0; round < rounds; ++round) {
    std::vector<double> callbackTimes, hopTimes, postTimes;
    for (int call = 0; call < calls; ++call) {
      auto timeAttach = [&] {
        auto times = client.attach();
        if (!times || (waitForStream && !client.waitForStream())) {
          ++failures;
          return;
        }
        callbackTimes.push_back(times->callback);
        hopTimes.push_back(times->mainQueue);
      };
      auto timePost = [&] {
        if (auto took = bare.post()) {
          postTimes.push_back(*took);
        } else {
          ++failures;
        }
      };
      if (call % 2 == 0) {
        timeAttach();
        timePost();
      } else {
        timePost();
        timeAttach();
      }
    }
    callback.add(callbackTimes);
    hop.add(hopTimes);
    post.add(postTimes);
    std::printf(
        "  round %d: attach p50 %.1f / p99 %.1f us (to callback %.1f / %.1f); bare POST "
        "p50 %.1f / p99 %.1f us\n",
        round + 1, hop.p50.back(), hop.p99.back(), callback.p50.back(), callback.p99.back(),
        post.p50.back(), post.p99.back());
  }
  std::printf("  median of %d rounds of %d calls each:\n", rounds, calls);
  for (const Series* series : {&hop, &callback, &post}) {
    std::printf("    %-32s p50 %7.1f us   p99 %7.1f us\n", series->name, median(series->p50),
                median(series->p99));
  }
  const double overhead = median(hop.p50) - median(post.p50);
  std::printf("    attach overhead at p50: %.1f us (to callback: %.1f us); goal < 100 us: %s\n",
              overhead, median(callback.p50) - median(post.p50),
              overhead < 100.0 ? "met" : "NOT MET");
  if (failures > 0) std::printf("    %d calls failed and are left out\n", failures);
  return failures == 0;
}

std::string loadAverage() {
  std::ifstream file("/proc/loadavg");
  std::string one, five, fifteen;
  file >> one >> five >> fifteen;
  return one + " " + five + " " + fifteen;
}

struct Arguments {
  int rounds = 5;
  int calls = 400;
  std::string server = ZELK_BENCH_SERVER;
  std::string countWhat;  // "attach" or "bare": only count calls
  int count = 0;
};

Arguments parse(int argc, char** argv) {
  Arguments arguments;
  for (int i = 1; i < argc; ++i) {
    const std::string flag = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) throw std::runtime_error(flag + " needs a value");
      return argv[++i];
    };
    if (flag == "--rounds") {
      arguments.rounds = std::max(1, std::stoi(value()));
    } else if (flag == "--calls") {
      arguments.calls = std::max(1, std::stoi(value()));
    } else if (flag == "--server") {
      arguments.server = value();
    } else if (flag == "--count") {
      arguments.countWhat = value();
      arguments.count = std::max(0, std::stoi(value()));
      if (arguments.countWhat != "attach" && arguments.countWhat != "bare") {
        throw std::runtime_error("--count takes `attach` or `bare` and a number");
      }
    } else {
      throw std::runtime_error("unknown argument " + flag);
    }
  }
  return arguments;
}

int run(const Arguments& arguments) {
  std::unique_ptr<zelk::bench::Subject> server;
  std::string baseURL;
  if (const char* url = std::getenv("ZELK_BENCH_URL"); url != nullptr && *url != '\0') {
    baseURL = url;
  } else {
    server = std::make_unique<zelk::bench::Subject>(
        "zelk-server",
        std::vector<std::string>{arguments.server, "--sandbox", "--listen", "127.0.0.1:0"});
    server->start();
    baseURL = server->baseURL();
  }

  curl_global_init(CURL_GLOBAL_DEFAULT);
  const long before = residentKiB();
  Client client(baseURL);
  if (!client.attach() || !client.waitForStream()) {
    std::fprintf(stderr, "the first attach to %s failed\n", baseURL.c_str());
    return 1;
  }
  const long clientKiB = residentKiB() - before;
  BarePost bare(baseURL);

  if (!arguments.countWhat.empty()) {
    for (int i = 0; i < arguments.count; ++i) {
      const bool ok = arguments.countWhat == "bare"
                          ? bare.post().has_value()
                          : client.attach().has_value() && client.waitForStream();
      if (!ok) return 1;
    }
    return 0;
  }

  std::printf("service %s (its own process), load average %s\n", baseURL.c_str(),
              loadAverage().c_str());
  std::printf("resident memory of one attached client: %ld KiB\n", clientKiB);
  std::printf("attaches, each new stream let open before the next call:\n");
  bool ok = pairedRounds(client, bare, arguments.rounds, arguments.calls, true);
  std::printf("attaches back to back, each replacing a stream still connecting:\n");
  ok = pairedRounds(client, bare, arguments.rounds, arguments.calls, false) && ok;
  std::printf("load average after: %s\n", loadAverage().c_str());
  return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return run(parse(argc, argv));
  } catch (const std::exception& error) {
    std::fprintf(stderr, "attach_bench: %s\n", error.what());
    return 2;
  }
}
