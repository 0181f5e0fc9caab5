// SPDX-License-Identifier: Apache-2.0
// The service's counters, written in the Prometheus text format: requests by route and status
// class, attach latency, messages pushed, open streams and connections.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

namespace zelk::server {

class Metrics {
 public:
  // `route` is one of a few fixed names, never an id.
  void countRequest(const std::string& route, int status);
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

  static constexpr std::array<double, 10> kBuckets = {0.0005, 0.001, 0.0025, 0.005, 0.01,
                                                      0.025,  0.05,  0.1,    0.25,  1.0};

 private:
  // Requests of the routes every server has are counted without a lock or a string built; other
  // routes go to the map.
  static constexpr std::array<const char*, 16> kRoutes = {
      "attach",       "detach",  "identify", "listen", "challenge", "challenge-devices",
      "device-limit", "attempt", "verify",   "resend", "unknown",   "admin",
      "sandbox",      "healthz", "readyz",   "metrics"};
  static constexpr std::size_t kStatusClasses = 6;  // 0xx..5xx
  std::array<std::array<std::atomic<std::uint64_t>, kStatusClasses>, kRoutes.size()> routeCounts_{};
  mutable std::mutex mutex_;
  std::map<std::pair<std::string, std::string>, std::uint64_t> requests_;
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
