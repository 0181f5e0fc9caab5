// SPDX-License-Identifier: Apache-2.0
#include "routes/rate_limits.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <iterator>
#include <stdexcept>

#include <arpa/inet.h>

namespace zelk::server {
namespace {

// The bytes of an IPv4 or IPv6 address in text; an IPv4-mapped IPv6 address gives its IPv4
// bytes, so that "::ffff:10.0.0.1" matches "10.0.0.0/8".
std::optional<std::vector<std::uint8_t>> addressBytes(std::string_view text) {
  const std::string address(text);
  std::uint8_t buffer[16];
  if (inet_pton(AF_INET, address.c_str(), buffer) == 1)
    return std::vector<std::uint8_t>(buffer, buffer + 4);
  if (inet_pton(AF_INET6, address.c_str(), buffer) == 1) {
    static constexpr std::uint8_t kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    if (std::equal(kMapped, kMapped + 12, buffer))
      return std::vector<std::uint8_t>(buffer + 12, buffer + 16);
    return std::vector<std::uint8_t>(buffer, buffer + 16);
  }
  return std::nullopt;
}

std::string_view trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

}  // namespace

std::optional<AddressRange> parseAddressRange(std::string_view text) {
  text = trim(text);
  const auto slash = text.find('/');
  const auto bytes = addressBytes(text.substr(0, slash));
  if (!bytes) return std::nullopt;
  AddressRange range{*bytes, static_cast<int>(bytes->size() * 8)};
  if (slash != std::string_view::npos) {
    const std::string_view prefix = text.substr(slash + 1);
    int bits = -1;
    const auto [end, error] = std::from_chars(prefix.data(), prefix.data() + prefix.size(), bits);
    if (error != std::errc{} || end != prefix.data() + prefix.size() || bits < 0 ||
        bits > range.prefix)
      return std::nullopt;
    range.prefix = bits;
  }
  return range;
}

bool AddressRange::contains(std::string_view address) const {
  const auto other = addressBytes(trim(address));
  if (!other || other->size() != bytes.size()) return false;
  for (int bit = 0; bit < prefix; ++bit) {
    const auto index = static_cast<std::size_t>(bit / 8);
    const int mask = 0x80 >> (bit % 8);
    if (((*other)[index] & mask) != (bytes[index] & mask)) return false;
  }
  return true;
}

RateLimiter::RateLimiter(RateLimitConfig config, std::function<Clock::time_point()> clock)
    : config_(std::move(config)), clock_(std::move(clock)) {
  for (const std::string& proxy : config_.trustedProxies) {
    auto range = parseAddressRange(proxy);
    if (!range)
      throw std::invalid_argument("trusted proxy '" + proxy +
                                  "' is neither an IP address nor a network in CIDR notation");
    trusted_.push_back(std::move(*range));
  }
  for (RateLimit* limit : {&config_.perClient, &config_.perAddress}) {
    if (limit->burst <= 0) limit->burst = limit->perMinute;
  }
}

bool RateLimiter::trusted(std::string_view address) const {
  return std::any_of(trusted_.begin(), trusted_.end(),
                     [&](const AddressRange& range) { return range.contains(address); });
}

std::string RateLimiter::sourceAddress(const std::string& peer,
                                       std::string_view forwardedFor) const {
  // From the peer leftwards, as long as the hop that added an entry is a trusted proxy.
  std::string source = peer;
  std::string_view rest = forwardedFor;
  while (trusted(source) && !trim(rest).empty()) {
    const auto comma = rest.rfind(',');
    const std::string_view entry =
        trim(comma == std::string_view::npos ? rest : rest.substr(comma + 1));
    if (!addressBytes(entry)) break;
    source = std::string(entry);
    rest = comma == std::string_view::npos ? std::string_view() : rest.substr(0, comma);
  }
  return source;
}

bool RateLimiter::refill(Bucket& bucket, const RateLimit& limit, Clock::time_point now) {
  const double minutes =
      std::chrono::duration<double, std::ratio<60>>(now - bucket.updated).count();
  if (minutes > 0) {
    bucket.tokens = std::min(limit.burst, bucket.tokens + minutes * limit.perMinute);
    bucket.updated = now;
  }
  return bucket.tokens >= 1;
}

std::chrono::seconds RateLimiter::waitFor(const Bucket& bucket, const RateLimit& limit) {
  const double seconds = (1 - bucket.tokens) * 60 / limit.perMinute;
  return std::chrono::seconds(std::max<long long>(1, static_cast<long long>(std::ceil(seconds))));
}

RateLimiter::Bucket& RateLimiter::bucketLocked(std::unordered_map<std::string, Bucket>& buckets,
                                               const std::string& key, const RateLimit& limit,
                                               Clock::time_point now) {
  auto found = buckets.find(key);
  if (found != buckets.end()) return found->second;
  if (buckets.size() >= kMaxBuckets) {
    // Full buckets hold nothing a new one would not: drop them.
    for (auto it = buckets.begin(); it != buckets.end();) {
      refill(it->second, limit, now);
      it = it->second.tokens >= limit.burst ? buckets.erase(it) : std::next(it);
    }
    // Still full: a flood of new keys. The oldest half goes; their keys start afresh.
    if (buckets.size() >= kMaxBuckets) {
      std::vector<Clock::time_point> times;
      times.reserve(buckets.size());
      for (const auto& entry : buckets) times.push_back(entry.second.updated);
      auto middle = times.begin() + static_cast<std::ptrdiff_t>(times.size() / 2);
      std::nth_element(times.begin(), middle, times.end());
      const auto cut = *middle;
      std::erase_if(buckets, [&](const auto& entry) { return entry.second.updated <= cut; });
    }
  }
  return buckets.emplace(key, Bucket{limit.burst, now}).first->second;
}

std::optional<RateLimiter::Refusal> RateLimiter::admit(const std::string& clientId,
                                                       const std::string& address) {
  if (!active()) return std::nullopt;
  const auto now = clock_ ? clock_() : Clock::now();
  std::lock_guard lock(mutex_);
  Bucket* client = nullptr;
  Bucket* source = nullptr;
  // Both are looked at before either is taken from: a refused request costs nothing.
  if (config_.perAddress.perMinute > 0 && !address.empty()) {
    source = &bucketLocked(addresses_, address, config_.perAddress, now);
    if (!refill(*source, config_.perAddress, now))
      return Refusal{"address", waitFor(*source, config_.perAddress)};
  }
  if (config_.perClient.perMinute > 0 && !clientId.empty()) {
    client = &bucketLocked(clients_, clientId, config_.perClient, now);
    if (!refill(*client, config_.perClient, now))
      return Refusal{"client", waitFor(*client, config_.perClient)};
  }
  if (source) source->tokens -= 1;
  if (client) client->tokens -= 1;
  return std::nullopt;
}

}  // namespace zelk::server
