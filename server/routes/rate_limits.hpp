// SPDX-License-Identifier: Apache-2.0
// Token buckets that keep one client id or one source address from flooding the service: each
// key has a bucket of `burst` tokens that refills at `perMinute` tokens a minute, and a request
// takes one. The source address is the peer's, or, when the peer is a trusted proxy, the last
// address of X-Forwarded-For that is not one. Thread-safe; the number of buckets is bounded.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace zelk::server {

struct RateLimit {
  double perMinute = 0;  // 0: no limit
  double burst = 0;      // tokens a bucket holds; 0: perMinute
};

struct RateLimitConfig {
  RateLimit perClient;
  RateLimit perAddress;
  // Peers whose X-Forwarded-For is believed: addresses ("10.0.0.7", "::1") or networks in CIDR
  // notation ("10.0.0.0/8", "fd00::/8").
  std::vector<std::string> trustedProxies;
};

// One address or network of a trusted proxy list; nullopt when `text` is neither.
struct AddressRange {
  std::vector<std::uint8_t> bytes;  // 4 or 16
  int prefix = 0;
  bool contains(std::string_view address) const;
};
std::optional<AddressRange> parseAddressRange(std::string_view text);

class RateLimiter {
 public:
  using Clock = std::chrono::steady_clock;
  // Throws std::invalid_argument for a trusted proxy that is neither an address nor a network.
  explicit RateLimiter(RateLimitConfig config, std::function<Clock::time_point()> clock = {});

  bool active() const {
    return config_.perClient.perMinute > 0 || config_.perAddress.perMinute > 0;
  }

  // The address a request comes from: `peer`, or what `forwardedFor` says when `peer` is a
  // trusted proxy.
  std::string sourceAddress(const std::string& peer, std::string_view forwardedFor) const;
  // Whether `address` is one of the trusted proxies.
  bool trusted(std::string_view address) const;

  // Takes a token from the buckets of `clientId` ("" : none) and `address`; when one is empty,
  // takes nothing and returns what ran out ("client" or "address") and when to try again.
  struct Refusal {
    std::string scope;
    std::chrono::seconds retryAfter{1};
  };
  std::optional<Refusal> admit(const std::string& clientId, const std::string& address);

  // Buckets kept at most; full ones are dropped first when there are more.
  static constexpr std::size_t kMaxBuckets = 100'000;

 private:
  struct Bucket {
    double tokens = 0;
    Clock::time_point updated;
  };
  // Refills `bucket`; whether a token is there to take.
  static bool refill(Bucket& bucket, const RateLimit& limit, Clock::time_point now);
  static std::chrono::seconds waitFor(const Bucket& bucket, const RateLimit& limit);
  Bucket& bucketLocked(std::unordered_map<std::string, Bucket>& buckets, const std::string& key,
                       const RateLimit& limit, Clock::time_point now);

  RateLimitConfig config_;
  std::vector<AddressRange> trusted_;
  std::function<Clock::time_point()> clock_;
  std::mutex mutex_;
  std::unordered_map<std::string, Bucket> clients_, addresses_;
};

}  // namespace zelk::server
