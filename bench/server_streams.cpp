// SPDX-License-Identifier: Apache-2.0
// Idle realtime streams at scale, against whole server processes on loopback.
//
// For each server (subject) in turn, one thread of this process:
//   1. configures a project without device limits and attaches N devices of one user;
//   2. opens one listen stream per device (epoll, client addresses over 127.0.0.2-251);
//   3. memory: the server's VmRSS and PSS with all streams open, less the same after the
//      attaches, per stream;
//   4. idle CPU: the server's user + system time over an idle window with all streams open;
//   5. push to one device: POST /_sandbox/push to a random device, from writing the request to
//      reading the event on that device's stream; p50 and p99 over --pushes samples;
//   6. a message to all: POST /_sandbox/challenge for the user (whose devices are all N), from
//      writing the request until the challenge was read on every stream; median over --rounds.
// Goals for the service: <= 4 KiB per stream, idle CPU only for heartbeats, push p50 <= 50 us
// and p99 <= 500 us, all 19,000 streams reached in <= 200 ms.
//
//   server_streams [--streams N] [--pushes K] [--rounds R] [--idle-seconds S]
//                  [--server PATH] [--sandbox-tool PATH] [--subject 'LABEL=COMMAND ARGS...']
//                  [--node-peer FILE | --no-peer] [--node PATH]
//
// --server runs 'PATH --sandbox --listen 127.0.0.1:0'; --sandbox-tool runs the older
// 'PATH --port 0'; --subject runs any command that prints '... listening on http://IP:PORT'.
// The node:http hub (peers/sse_hub.mjs) runs last unless --no-peer is given.
#include <sys/resource.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <optional>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "load/http_client.hpp"
#include "load/stream_set.hpp"
#include "load/subject.hpp"

namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using zelk::bench::HttpConnection;
using zelk::bench::nowNs;
using zelk::bench::ProcessSample;
using zelk::bench::StreamSet;
using zelk::bench::Subject;

struct SubjectSetup {
  std::string label;
  std::vector<std::string> command;
};

struct Options {
  int streams = 19'000;
  int pushes = 2'000;
  int rounds = 5;
  int idleSeconds = 30;
  int openSeconds = 180;
  std::string clientId = "bench-streams";
  std::string user = "bench-user";
  std::vector<SubjectSetup> subjects;
  std::string nodePeer = ZELK_BENCH_PEERS_DIR "/sse_hub.mjs";
  std::string node = "node";
};

struct Result {
  std::string label;
  std::string error;  // why the run stopped early; the figures gathered until then still count
  int attached = 0;
  double attachPerSecond = 0;
  int opened = 0;
  double openSeconds = 0;
  int lost = 0;
  double rssPerStream = 0;  // KiB
  double pssPerStream = 0;
  long rssKiB = 0;
  double idleCpuPercent = -1;
  std::size_t idleBytes = 0;
  std::vector<double> pushMicros;
  std::vector<double> allLastMillis;    // per round: the last stream reached
  std::vector<double> allMedianMillis;  // per round: half the streams reached
  int allMissed = 0;                    // streams not reached, summed over rounds
  double clientMillisPerRound = 0;      // this process's CPU time per round to all
};

// CPU time of this process so far, in milliseconds: shows whether the reading side kept up.
double ownCpuMillis() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  const auto millis = [](const timeval& t) {
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_usec) / 1e3;
  };
  return millis(usage.ru_utime) + millis(usage.ru_stime);
}

double percentile(std::vector<double> values, double fraction) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const auto rank =
      static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1) + 0.5);
  return values[std::min(rank, values.size() - 1)];
}

std::string vendorId(int index) {
  char text[40];
  std::snprintf(text, sizeof text, "0B0B0B0B-0000-4000-8000-%012X", static_cast<unsigned>(index));
  return text;
}

// The attach body the library sends, for one simulated phone of the user.
std::string attachBody(const Options& options, int index) {
  const json body = {
      {"user", options.user},
      {"library", "swift"},
      {"version", "3.0.2"},
      {"device_info",
       {{"os", {{"name", "iOS"}, {"version", "17.4"}}},
        {"device", {{"vendor", "Apple"}, {"model", "iPhone15,2"}, {"type", "mobile"}}}}},
      {"signals", {{"iosVendorIdentifier", vendorId(index)}}},
      {"metadata", json::array()}};
  return body.dump();
}

std::string authorization(const Options& options) {
  return "Authorization: Basic " + options.clientId + ":\r\n";
}

void configureProject(HttpConnection& control, const Options& options) {
  const json project = {{"client_id", options.clientId},
                        {"name", "Streams bench"},
                        {"overall_limit", 1'000'000},
                        {"mobile_limit", 0},
                        {"tablet_limit", 0},
                        {"computer_limit", 0},
                        {"block_over_usage", false}};
  const auto reply = control.request("POST", "/_sandbox/project", project.dump());
  if (reply.status / 100 != 2)
    throw std::runtime_error("POST /_sandbox/project answered " + std::to_string(reply.status) +
                             ": " + reply.body.substr(0, 200));
}

// Attaches the N devices one after another on one connection; returns the listen targets.
std::vector<std::string> attachDevices(HttpConnection& control, const Options& options,
                                       std::vector<std::string>& devices) {
  std::vector<std::string> targets;
  const std::string auth = authorization(options);
  const std::string authQuery = zelk::bench::percentEncode("Basic " + options.clientId + ":");
  for (int index = 0; index < options.streams; ++index) {
    const auto reply = control.request("POST", "/v2/access", attachBody(options, index), auth);
    const json answer = json::parse(reply.body, nullptr, false);
    if (reply.status != 200 || !answer.is_object() || !answer.contains("device_id") ||
        !answer["device_id"].is_string() || !answer.contains("access") ||
        !answer["access"].is_string())
      throw std::runtime_error("attach " + std::to_string(index) + " answered " +
                               std::to_string(reply.status) + ": " + reply.body.substr(0, 200));
    const std::string device = answer["device_id"];
    devices.push_back(device);
    targets.push_back(
        "/v2/access/device/" + zelk::bench::percentEncode(device) + "/listen?access=" +
        zelk::bench::percentEncode(answer["access"].get<std::string>()) + "&auth=" + authQuery);
  }
  return targets;
}

void measurePushes(Result& result, HttpConnection& control, StreamSet& streams,
                   const std::vector<std::string>& devices, const Options& options) {
  constexpr int kWarmUp = 100;
  std::mt19937 random(12345);
  std::uniform_int_distribution<int> pick(0, static_cast<int>(devices.size()) - 1);
  control.reconnect();
  for (int sample = 0; sample < kWarmUp + options.pushes; ++sample) {
    int index = pick(random);
    for (int tries = 0; !streams.isOpen(index) && tries < 1000; ++tries) index = pick(random);
    if (!streams.isOpen(index)) throw std::runtime_error("no open stream left to push to");
    streams.discard(index);
    const std::string data = "zb-" + std::to_string(sample);
    const json body = {{"device", devices[static_cast<std::size_t>(index)]}, {"data", data}};
    const std::string text = body.dump();
    const std::int64_t sent = nowNs();
    control.send("POST", "/_sandbox/push", text);
    const std::int64_t arrived = streams.waitFor(index, data + "\n", 5s);
    const auto reply = control.receive();
    if (reply.status != 200)
      throw std::runtime_error("POST /_sandbox/push answered " + std::to_string(reply.status) +
                               ": " + reply.body.substr(0, 200));
    if (arrived == 0) throw std::runtime_error("a pushed event did not arrive within 5 s");
    if (sample >= kWarmUp) result.pushMicros.push_back(static_cast<double>(arrived - sent) / 1e3);
  }
}

void measureBroadcasts(Result& result, HttpConnection& control, StreamSet& streams,
                       const Options& options) {
  const json body = {{"client_id", options.clientId}, {"user", options.user}};
  for (int round = 0; round < options.rounds; ++round) {
    streams.drain(200ms);
    streams.drainNow();
    control.reconnect();
    const std::int64_t sent = nowNs();
    control.send("POST", "/_sandbox/challenge", body.dump());
    const auto arrivals = streams.waitForAll("challenge", 20s);
    const auto reply = control.receive();
    if (reply.status != 200)
      throw std::runtime_error("POST /_sandbox/challenge answered " + std::to_string(reply.status) +
                               ": " + reply.body.substr(0, 200));
    std::vector<double> millis;
    for (const auto arrived : arrivals) {
      if (arrived == 0) {
        ++result.allMissed;
      } else {
        millis.push_back(static_cast<double>(arrived - sent) / 1e6);
      }
    }
    if (millis.empty()) throw std::runtime_error("the challenge reached no stream within 20 s");
    result.allLastMillis.push_back(*std::max_element(millis.begin(), millis.end()));
    result.allMedianMillis.push_back(percentile(millis, 0.5));
  }
}

Result run(const SubjectSetup& setup, const Options& options) {
  Result result;
  result.label = setup.label;
  Subject subject(setup.label, setup.command);
  bool started = false;
  try {
    subject.start();
    started = true;
    HttpConnection control(subject.endpoint());
    configureProject(control, options);

    std::vector<std::string> devices;
    const std::int64_t attachStart = nowNs();
    const auto targets = attachDevices(control, options, devices);
    result.attached = static_cast<int>(devices.size());
    result.attachPerSecond = result.attached / (static_cast<double>(nowNs() - attachStart) / 1e9);

    // A sandbox records every service request, so the figure per stream includes the record of
    // its listen request. Forgetting the records here would not help: the streams would then
    // reuse the memory of the attaches' records, and count for less than they cost.
    std::this_thread::sleep_for(500ms);
    const ProcessSample before = zelk::bench::sampleProcess(subject.pid());
    StreamSet streams(subject.endpoint());
    const std::int64_t openStart = nowNs();
    result.opened = streams.open(targets, std::chrono::seconds(options.openSeconds));
    result.openSeconds = static_cast<double>(nowNs() - openStart) / 1e9;
    if (result.opened < static_cast<int>(targets.size()))
      std::cerr << setup.label << ": " << targets.size() - static_cast<std::size_t>(result.opened)
                << " streams did not open; first reason: " << streams.firstError() << "\n";
    if (result.opened == 0) throw std::runtime_error("no stream opened");

    streams.drain(1500ms);
    const ProcessSample open = zelk::bench::sampleProcess(subject.pid());
    result.rssKiB = open.rssKiB;
    result.rssPerStream = static_cast<double>(open.rssKiB - before.rssKiB) / result.opened;
    result.pssPerStream = static_cast<double>(open.pssKiB - before.pssKiB) / result.opened;

    const ProcessSample idleStart = zelk::bench::sampleProcess(subject.pid());
    result.idleBytes = streams.drain(std::chrono::seconds(options.idleSeconds));
    const ProcessSample idleEnd = zelk::bench::sampleProcess(subject.pid());
    result.idleCpuPercent = 100.0 * static_cast<double>(idleEnd.cpuTicks - idleStart.cpuTicks) /
                            static_cast<double>(zelk::bench::clockTicksPerSecond()) /
                            options.idleSeconds;

    measurePushes(result, control, streams, devices, options);
    const double cpuBefore = ownCpuMillis();
    measureBroadcasts(result, control, streams, options);
    if (!result.allLastMillis.empty())
      result.clientMillisPerRound =
          (ownCpuMillis() - cpuBefore) / static_cast<double>(result.allLastMillis.size());
    result.lost = streams.lost();
  } catch (const std::exception& error) {
    result.error = error.what();
    if (started && !subject.running()) result.error += "\n" + subject.logTail();
  }
  return result;
}

std::string loadAverage() {
  std::ifstream in("/proc/loadavg");
  std::string one, five, fifteen;
  in >> one >> five >> fifteen;
  return one + " " + five + " " + fifteen;
}

void print(const std::vector<Result>& results, int requested) {
  std::printf("\n%d streams requested; load average now %s; %u cores\n", requested,
              loadAverage().c_str(), std::thread::hardware_concurrency());
  std::printf("%-16s %7s %8s %6s %9s %9s %9s %8s %8s %8s %8s %13s\n", "subject", "open", "attach/s",
              "open s", "RSS KiB/s", "PSS KiB/s", "idle CPU%", "push p50", "p99", "all p50", "all",
              "(min-max)");
  std::printf("%-16s %7s %8s %6s %9s %9s %9s %8s %8s %8s %8s %13s\n", "", "", "", "", "per strm",
              "per strm", "", "us", "us", "ms", "ms", "ms");
  for (const auto& r : results) {
    const double pushP50 = percentile(r.pushMicros, 0.5);
    const double pushP99 = percentile(r.pushMicros, 0.99);
    const double allMedian = percentile(r.allLastMillis, 0.5);
    const double halfMedian = percentile(r.allMedianMillis, 0.5);
    char range[40] = "-";
    if (!r.allLastMillis.empty())
      std::snprintf(range, sizeof range, "%.0f-%.0f",
                    *std::min_element(r.allLastMillis.begin(), r.allLastMillis.end()),
                    *std::max_element(r.allLastMillis.begin(), r.allLastMillis.end()));
    std::printf("%-16s %7d %8.0f %6.1f %9.2f %9.2f %9.2f %8.0f %8.0f %8.1f %8.1f %13s\n",
                r.label.c_str(), r.opened, r.attachPerSecond, r.openSeconds, r.rssPerStream,
                r.pssPerStream, r.idleCpuPercent, pushP50, pushP99, halfMedian, allMedian, range);
  }
  for (const auto& r : results) {
    std::printf(
        "%s: server RSS %ld KiB with the streams open; %zu bytes on idle streams; "
        "%zu pushes, %zu rounds to all (this process: %.0f ms CPU per round, drains included); "
        "%d streams ended early; %d missed a round\n",
        r.label.c_str(), r.rssKiB, r.idleBytes, r.pushMicros.size(), r.allLastMillis.size(),
        r.clientMillisPerRound, r.lost, r.allMissed);
    if (!r.error.empty()) std::printf("%s: stopped early: %s\n", r.label.c_str(), r.error.c_str());
  }
}

std::vector<std::string> words(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> out;
  for (std::string word; in >> word;) out.push_back(word);
  return out;
}

int usage(const std::string& message) {
  std::cerr << "server_streams: " << message << "\n"
            << "usage: server_streams [--streams N] [--pushes K] [--rounds R] [--idle-seconds S]\n"
               "         [--server PATH] [--sandbox-tool PATH] [--subject 'LABEL=CMD ARGS...']\n"
               "         [--node-peer FILE | --no-peer] [--node PATH]\n";
  return 2;
}

std::optional<int> positive(const std::string& text) {
  char* end = nullptr;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || value <= 0 || value > 1'000'000) return std::nullopt;
  return static_cast<int>(value);
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  bool peer = true;
  for (int i = 1; i < argc; ++i) {
    const std::string flag = argv[i];
    if (flag == "--no-peer") {
      peer = false;
      continue;
    }
    static const std::vector<std::string> kFlags = {
        "--streams",      "--pushes",  "--rounds",    "--idle-seconds", "--server",
        "--sandbox-tool", "--subject", "--node-peer", "--node"};
    if (std::find(kFlags.begin(), kFlags.end(), flag) == kFlags.end())
      return usage("unknown option '" + flag + "'");
    if (i + 1 >= argc) return usage(flag + " needs a value");
    const std::string value = argv[++i];
    if (flag == "--streams" || flag == "--pushes" || flag == "--rounds" ||
        flag == "--idle-seconds") {
      const auto number = positive(value);
      if (!number) return usage(flag + " takes a positive number");
      (flag == "--streams"  ? options.streams
       : flag == "--pushes" ? options.pushes
       : flag == "--rounds" ? options.rounds
                            : options.idleSeconds) = *number;
    } else if (flag == "--server") {
      options.subjects.push_back({"zelk-server", {value, "--sandbox", "--listen", "127.0.0.1:0"}});
    } else if (flag == "--sandbox-tool") {
      options.subjects.push_back({"zelk-sandbox", {value, "--port", "0"}});
    } else if (flag == "--subject") {
      const auto eq = value.find('=');
      if (eq == std::string::npos || eq == 0) return usage("--subject takes 'LABEL=COMMAND ARGS'");
      options.subjects.push_back({value.substr(0, eq), words(value.substr(eq + 1))});
      if (options.subjects.back().command.empty()) return usage("--subject needs a command");
    } else if (flag == "--node-peer") {
      options.nodePeer = value;
    } else if (flag == "--node") {
      options.node = value;
    } else {
      return usage("unknown option '" + flag + "'");
    }
  }
  if (peer) options.subjects.push_back({"node:http hub", {options.node, options.nodePeer}});
  if (options.subjects.empty()) return usage("nothing to measure");

  // Every stream costs this process one descriptor, and the server started from here (which
  // inherits the limit) one more.
  rlimit files{};
  getrlimit(RLIMIT_NOFILE, &files);
  files.rlim_cur = files.rlim_max;
  setrlimit(RLIMIT_NOFILE, &files);
  const auto allowed = static_cast<long long>(files.rlim_cur) - 64;
  if (options.streams > allowed) {
    std::cerr << "server_streams: only " << files.rlim_cur << " descriptors allowed; measuring "
              << allowed << " streams\n";
    options.streams = static_cast<int>(allowed);
  }

  std::printf("load average at start %s\n", loadAverage().c_str());
  std::vector<Result> results;
  for (const auto& setup : options.subjects) {
    std::fprintf(stderr, "measuring %s ...\n", setup.label.c_str());
    results.push_back(run(setup, options));
    // Lets the kernel finish with the closed connections before the next subject.
    std::this_thread::sleep_for(2s);
  }
  print(results, options.streams);
  bool failed = false;
  for (const auto& r : results) failed = failed || !r.error.empty();
  return failed ? 1 : 0;
}
