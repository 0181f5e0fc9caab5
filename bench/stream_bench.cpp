// SPDX-License-Identifier: Apache-2.0
// The realtime stream end to end on loopback, beside the floor this machine allows.
//
// 1. Latency: the sandbox pushes 2,000 events, each stamped with the time of the push, to two
//    readers of the same device: an EventSource and a bare socket that only looks for the end of
//    each event. Target: p50 within 1.5x of the bare reader's, p99 no worse than the bare
//    reader's (the scheduler of a small VM dominates the tail).
// 2. Idle cost: the stream's thread over 20 s with the stream open and silent. Target: under
//    1 ms of CPU time and no periodic wake-ups.
//
//   stream_bench [--events N] [--idle-seconds S]
#include <zelk/zelk.hpp>

#include "sandbox.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <dirent.h>
#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

std::int64_t nowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
      .count();
}

// Latencies in microseconds, one per event, from the push stamp carried in the event's data.
class Latencies {
 public:
  void add(std::string_view data) {
    const std::int64_t stamp = std::strtoll(std::string(data).c_str(), nullptr, 10);
    std::lock_guard lock(mutex_);
    values_.push_back(static_cast<double>(nowNs() - stamp) / 1000.0);
  }
  std::size_t size() {
    std::lock_guard lock(mutex_);
    return values_.size();
  }
  double percentile(double p) {
    std::lock_guard lock(mutex_);
    if (values_.empty()) return 0;
    std::vector<double> sorted = values_;
    std::sort(sorted.begin(), sorted.end());
    return sorted[std::min(sorted.size() - 1, static_cast<std::size_t>(p * sorted.size()))];
  }

 private:
  std::mutex mutex_;
  std::vector<double> values_;
};

class TimingHandler final : public zelk::EventHandler {
 public:
  explicit TimingHandler(Latencies& latencies) : latencies_(latencies) {}
  void onOpened() override { opened = true; }
  void onClosed() override {}
  void onMessage(std::string_view, const zelk::MessageEvent& event) override {
    latencies_.add(event.data);
  }
  void onComment(std::string_view) override {}
  void onError(const zelk::StreamError&) override {}
  std::atomic<bool> opened{false};

 private:
  Latencies& latencies_;
};

// Reads the stream with recv() and finds each event's "data: " line by hand: the least work any
// reader of the same bytes can do.
void rawReader(int port, const std::string& target, Latencies& latencies, std::size_t events,
               std::atomic<bool>& connected) {
  const int sock = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
  if (connect(sock, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) std::abort();
  const std::string request =
      "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + "Accept: text/event-stream\r\n\r\n";
  send(sock, request.data(), request.size(), 0);
  connected = true;
  std::string buffer;
  char chunk[16384];
  std::size_t seen = 0;
  while (seen < events) {
    const ssize_t n = recv(sock, chunk, sizeof chunk, 0);
    if (n <= 0) break;
    buffer.append(chunk, static_cast<std::size_t>(n));
    std::size_t at;
    while ((at = buffer.find("data: ")) != std::string::npos) {
      const std::size_t end = buffer.find('\n', at);
      if (end == std::string::npos) break;
      latencies.add(std::string_view(buffer).substr(at + 6, end - at - 6));
      buffer.erase(0, end + 1);
      ++seen;
    }
  }
  close(sock);
}

struct ThreadCost {
  double cpuMs = 0;
  long voluntarySwitches = 0;
};

// CPU time and voluntary context switches so far of the threads of this process named `name`.
ThreadCost threadCost(const std::string& name) {
  ThreadCost cost;
  DIR* tasks = opendir("/proc/self/task");
  while (dirent* entry = readdir(tasks)) {
    if (entry->d_name[0] == '.') continue;
    const std::string dir = std::string("/proc/self/task/") + entry->d_name;
    std::string comm;
    std::getline(std::ifstream(dir + "/comm"), comm);
    if (comm != name) continue;
    std::string stat;
    std::getline(std::ifstream(dir + "/stat"), stat);
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::string skip;
    for (int i = 0; i < 11; ++i) fields >> skip;  // fields 3 to 13
    long utime = 0, stime = 0;
    fields >> utime >> stime;
    cost.cpuMs += 1000.0 * static_cast<double>(utime + stime) / sysconf(_SC_CLK_TCK);
    std::ifstream status(dir + "/status");
    for (std::string line; std::getline(status, line);) {
      if (line.rfind("voluntary_ctxt_switches:", 0) == 0)
        cost.voluntarySwitches += std::stol(line.substr(24));
    }
  }
  closedir(tasks);
  return cost;
}

}  // namespace

int main(int argc, char** argv) {
  std::size_t events = 2000;
  int idleSeconds = 20;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!std::strcmp(argv[i], "--events")) events = std::stoul(argv[i + 1]);
    if (!std::strcmp(argv[i], "--idle-seconds")) idleSeconds = std::stoi(argv[i + 1]);
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
  std::optional<zelk::ZelkAttachResponse> reply;
  std::atomic<bool> attached{false};
  client->attach(std::nullopt, [&](const zelk::ZelkAttachResponse& r) {
    reply = r;
    attached = true;
  });
  loop->runUntil([&] { return attached.load(); }, 10s);
  if (!attached || !reply->deviceID || !reply->access) return 1;
  const std::string device = *reply->deviceID;
  const std::string target =
      "/v2/access/device/" + device + "/listen?access=" + *reply->access + "&auth=Basic%20bench:";
  // The client's own stream is one more reader of the device; it only adds load, equally.
  sandbox.waitForStreams(device, 1, 10s);

  Latencies library, floor;
  auto handler = std::make_shared<TimingHandler>(library);
  zelk::EventSource stream(zelk::EventSource::Config(handler, sandbox.baseURL() + target));
  stream.start();
  std::atomic<bool> rawConnected{false};
  std::thread raw(rawReader, sandbox.port(), target, std::ref(floor), events,
                  std::ref(rawConnected));
  sandbox.waitForStreams(device, 3, 10s);

  for (std::size_t i = 0; i < events; ++i) {
    zelk::sandbox::Event event;
    event.data = std::to_string(nowNs());
    sandbox.push(device, event);
    std::this_thread::sleep_for(1ms);
  }
  raw.join();
  const auto deadline = Clock::now() + 10s;
  while (library.size() < events && Clock::now() < deadline) std::this_thread::sleep_for(1ms);

  const double p50 = library.percentile(0.50), p99 = library.percentile(0.99);
  const double floor50 = floor.percentile(0.50), floor99 = floor.percentile(0.99);
  std::printf(
      "latency over %zu events (us): EventSource p50 %.1f p99 %.1f | bare socket p50 %.1f "
      "p99 %.1f\n",
      library.size(), p50, p99, floor50, floor99);
  std::printf("  p50 ratio %.2f (target <= 1.5): %s; p99 %s the floor's\n", p50 / floor50,
              p50 <= 1.5 * floor50 ? "within target" : "OVER TARGET",
              p99 <= floor99 ? "no worse than" : "WORSE than");

  // Idle: the stream stays open and silent.
  const ThreadCost before = threadCost("ESDelegateQueue");
  std::this_thread::sleep_for(std::chrono::seconds(idleSeconds));
  const ThreadCost after = threadCost("ESDelegateQueue");
  const double cpu = after.cpuMs - before.cpuMs;
  const long switches = after.voluntarySwitches - before.voluntarySwitches;
  std::printf(
      "idle streams over %d s: %.2f ms CPU, %ld voluntary context switches (target: under "
      "1 ms, no periodic wake-ups): %s\n",
      idleSeconds, cpu, switches, cpu < 1.0 && switches <= 2 ? "within target" : "OVER TARGET");
  stream.stop();
  return 0;
}
