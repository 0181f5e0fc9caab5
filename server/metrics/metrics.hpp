// SPDX-License-Identifier: Apache-2.0
// The service's counters, written in the Prometheus text format: requests by route and status
// class, request latency by route, attach latency, messages pushed, open streams and
// connections, the process's own figures and the build.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace zelk::server {

class Metrics {
 public:
  // `route` is one of a few fixed names, one per route of the route table, never an id; `took`
  // is the time from the request read to its answer (to the head of a stream).
  void countRequest(const std::string& route, int status, std::chrono::steady_clock::duration took);
  void observeAttach(std::chrono::steady_clock::duration took);
  // A message committed through a shared store, from when it was sent (on any instance) to when
  // this instance wrote it to a stream.
  void observeNotifyLag(std::chrono::system_clock::duration lag);
  void countMessages(std::uint64_t count) { messages_ += count; }
  // One security event: a code queued, revealed, refused, undeliverable, accepted or rejected
  // ("codes", outcome), a request
  // refused by a rate limit ("rate_limited", scope), a device logged out at the limit or left
  // idle too long ("devices_removed", reason), an attach refused at the limit ("attach_blocked",
  // "").
  void countEvent(const std::string& family, const std::string& label);
  // One delivery attempt from the outbox: kind "email", "text" or "webhook", result "sent",
  // "retry" or "failed".
  void countDelivery(const std::string& kind, const std::string& result);

  struct Gauges {
    std::size_t openStreams = 0;
    std::size_t connections = 0;
    std::optional<std::size_t> devices;  // as last counted; left out before the first count
    // The users' records held between calls, and how the cache fared.
    std::size_t cachedUsers = 0;
    std::uint64_t cacheReads = 0, cacheHits = 0, cacheEvictions = 0, commitConflicts = 0;
  };
  std::string render(const Gauges& gauges) const;
  // The process's CPU time, memory, file descriptors and start time from /proc/self, under the
  // names Prometheus's own clients give them.
  static void appendProcessMetrics(std::ostream& out);

  static constexpr std::array<double, 10> kBuckets = {0.0005, 0.001, 0.0025, 0.005, 0.01,
                                                      0.025,  0.05,  0.1,    0.25,  1.0};

 private:
  // Requests of the routes every server has are counted without a lock or a string built; other
  // routes go to the map.
  static constexpr std::array<const char*, 26> kRoutes = {
      // The service's,
      "attach", "detach", "identify", "listen", "challenge", "challenge-devices", "device-limit",
      "attempt", "verify", "resend", "devices", "devices-logout", "unknown",
      // the admin API's,
      "admin/projects", "admin/users", "admin/user", "admin/logout", "admin/challenges",
      "admin/challenges/resolve", "admin/outbox", "admin/audit", "admin",
      // and the others.
      "sandbox", "healthz", "readyz", "metrics"};
  static constexpr std::size_t kStatusClasses = 6;  // 0xx..5xx
  std::array<std::array<std::atomic<std::uint64_t>, kStatusClasses>, kRoutes.size()> routeCounts_{};
  mutable std::mutex mutex_;
  std::map<std::pair<std::string, std::string>, std::uint64_t> requests_;
  // Request latency of each route: how many fell in each bucket (not yet cumulative), how many
  // in all and their sum in nanoseconds; routes outside kRoutes in the map.
  struct Latency {
    std::array<std::atomic<std::uint64_t>, kBuckets.size()> buckets{};
    std::atomic<std::uint64_t> count{0}, nanoseconds{0};
    void observe(std::chrono::steady_clock::duration took);
  };
  std::array<Latency, kRoutes.size()> routeLatency_{};
  std::map<std::string, Latency> otherLatency_;
  std::array<std::uint64_t, kBuckets.size()> attachBuckets_{};
  std::uint64_t attachCount_ = 0;
  double attachSum_ = 0;
  std::array<std::uint64_t, kBuckets.size()> lagBuckets_{};
  std::uint64_t lagCount_ = 0;
  double lagSum_ = 0;
  std::atomic<std::uint64_t> messages_{0};
  std::map<std::pair<std::string, std::string>, std::uint64_t> events_;
  std::map<std::pair<std::string, std::string>, std::uint64_t> deliveries_;
};

}  // namespace zelk::server
