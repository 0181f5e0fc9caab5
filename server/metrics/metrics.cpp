// SPDX-License-Identifier: Apache-2.0
#include "metrics/metrics.hpp"

#include <algorithm>
#include <sstream>

namespace zelk::server {

void Metrics::countRequest(const std::string& route, int status) {
  const int statusClass = status / 100;
  if (statusClass >= 0 && statusClass < static_cast<int>(kStatusClasses)) {
    for (std::size_t i = 0; i < kRoutes.size(); ++i) {
      if (route == kRoutes[i]) {
        routeCounts_[i][static_cast<std::size_t>(statusClass)].fetch_add(1,
                                                                         std::memory_order_relaxed);
        return;
      }
    }
  }
  std::lock_guard lock(mutex_);
  ++requests_[{route, std::to_string(statusClass) + "xx"}];
}

void Metrics::countEvent(const std::string& family, const std::string& label) {
  std::lock_guard lock(mutex_);
  ++events_[{family, label}];
}

namespace {

struct EventFamily {
  const char* family;
  const char* help;
  const char* label;  // nullptr: none
};

constexpr EventFamily kEventFamilies[] = {
    {"codes",
     "One-time codes queued for delivery, revealed to the program (sandbox), refused (too soon "
     "or too many), undeliverable (no channel reaches the user), accepted and rejected; "
     "zelk_outbox_deliveries_total tells which went out.",
     "outcome"},
    {"rate_limited", "Requests refused by a rate limit, by what it counts.", "scope"},
    {"devices_removed", "Devices the service detached itself, by why.", "reason"},
    {"attach_blocked", "Attaches refused because the user is at the device limit.", nullptr},
};

}  // namespace

void Metrics::observeAttach(std::chrono::steady_clock::duration took) {
  const double seconds = std::chrono::duration<double>(took).count();
  std::lock_guard lock(mutex_);
  for (std::size_t i = 0; i < kBuckets.size(); ++i) {
    if (seconds <= kBuckets[i]) ++attachBuckets_[i];
  }
  ++attachCount_;
  attachSum_ += seconds;
}

void Metrics::observeNotifyLag(std::chrono::system_clock::duration lag) {
  // Clocks of two machines may disagree a little: a message from the future took no time.
  const double seconds = std::max(0.0, std::chrono::duration<double>(lag).count());
  std::lock_guard lock(mutex_);
  for (std::size_t i = 0; i < kBuckets.size(); ++i) {
    if (seconds <= kBuckets[i]) ++lagBuckets_[i];
  }
  ++lagCount_;
  lagSum_ += seconds;
}

void Metrics::countDelivery(const std::string& kind, const std::string& result) {
  std::lock_guard lock(mutex_);
  ++deliveries_[{kind, result}];
}

std::string Metrics::render(const Gauges& gauges) const {
  std::ostringstream out;
  std::lock_guard lock(mutex_);
  auto requests = requests_;
  for (std::size_t i = 0; i < kRoutes.size(); ++i) {
    for (std::size_t status = 0; status < kStatusClasses; ++status) {
      const std::uint64_t count = routeCounts_[i][status].load(std::memory_order_relaxed);
      if (count > 0) requests[{kRoutes[i], std::to_string(status) + "xx"}] += count;
    }
  }
  out << "# HELP zelk_http_requests_total HTTP requests answered, by route and status class.\n"
         "# TYPE zelk_http_requests_total counter\n";
  for (const auto& [key, count] : requests) {
    out << "zelk_http_requests_total{route=\"" << key.first << "\",status=\"" << key.second
        << "\"} " << count << "\n";
  }
  out << "# HELP zelk_attach_duration_seconds Time to answer an attach.\n"
         "# TYPE zelk_attach_duration_seconds histogram\n";
  for (std::size_t i = 0; i < kBuckets.size(); ++i)
    out << "zelk_attach_duration_seconds_bucket{le=\"" << kBuckets[i] << "\"} " << attachBuckets_[i]
        << "\n";
  out << "zelk_attach_duration_seconds_bucket{le=\"+Inf\"} " << attachCount_ << "\n"
      << "zelk_attach_duration_seconds_sum " << attachSum_ << "\n"
      << "zelk_attach_duration_seconds_count " << attachCount_ << "\n";
  if (lagCount_ > 0) {
    // Only an instance on a shared store has any.
    out << "# HELP zelk_notify_lag_seconds Time from a message sent on any instance to its "
           "write to a stream here, through the store's notices.\n"
           "# TYPE zelk_notify_lag_seconds histogram\n";
    for (std::size_t i = 0; i < kBuckets.size(); ++i)
      out << "zelk_notify_lag_seconds_bucket{le=\"" << kBuckets[i] << "\"} " << lagBuckets_[i]
          << "\n";
    out << "zelk_notify_lag_seconds_bucket{le=\"+Inf\"} " << lagCount_ << "\n"
        << "zelk_notify_lag_seconds_sum " << lagSum_ << "\n"
        << "zelk_notify_lag_seconds_count " << lagCount_ << "\n";
  }
  out << "# HELP zelk_messages_pushed_total Realtime messages written to open streams.\n"
         "# TYPE zelk_messages_pushed_total counter\n"
      << "zelk_messages_pushed_total " << messages_.load() << "\n";
  out << "# HELP zelk_open_streams Realtime streams open now.\n"
         "# TYPE zelk_open_streams gauge\n"
      << "zelk_open_streams " << gauges.openStreams << "\n";
  out << "# HELP zelk_http_connections HTTP connections open now.\n"
         "# TYPE zelk_http_connections gauge\n"
      << "zelk_http_connections " << gauges.connections << "\n";
  if (gauges.devices) {
    out << "# HELP zelk_attached_devices Devices attached, in every project, as last counted.\n"
           "# TYPE zelk_attached_devices gauge\n"
        << "zelk_attached_devices " << *gauges.devices << "\n";
  }
  out << "# HELP zelk_cache_users Users whose records this instance holds between calls.\n"
         "# TYPE zelk_cache_users gauge\n"
      << "zelk_cache_users " << gauges.cachedUsers << "\n"
      << "# HELP zelk_cache_reads_total Users' records read from the store for want of a copy.\n"
         "# TYPE zelk_cache_reads_total counter\n"
      << "zelk_cache_reads_total " << gauges.cacheReads << "\n"
      << "# HELP zelk_cache_hits_total Calls decided on a user's records held from before.\n"
         "# TYPE zelk_cache_hits_total counter\n"
      << "zelk_cache_hits_total " << gauges.cacheHits << "\n"
      << "# HELP zelk_cache_evictions_total Users' records let go to keep the cache in bounds.\n"
         "# TYPE zelk_cache_evictions_total counter\n"
      << "zelk_cache_evictions_total " << gauges.cacheEvictions << "\n"
      << "# HELP zelk_commit_conflicts_total Changes not written because another instance "
         "changed the user first, and decided again.\n"
         "# TYPE zelk_commit_conflicts_total counter\n"
      << "zelk_commit_conflicts_total " << gauges.commitConflicts << "\n";
  out << "# HELP zelk_outbox_deliveries_total Attempts to deliver codes and webhook events, by "
         "kind and result (sent, retry, failed).\n"
         "# TYPE zelk_outbox_deliveries_total counter\n";
  for (const auto& [key, count] : deliveries_) {
    out << "zelk_outbox_deliveries_total{kind=\"" << key.first << "\",result=\"" << key.second
        << "\"} " << count << "\n";
  }
  for (const EventFamily& family : kEventFamilies) {
    const std::string name = std::string("zelk_") + family.family + "_total";
    out << "# HELP " << name << " " << family.help << "\n# TYPE " << name << " counter\n";
    bool any = false;
    for (const auto& [key, count] : events_) {
      if (key.first != family.family) continue;
      any = true;
      out << name;
      if (family.label) out << "{" << family.label << "=\"" << key.second << "\"}";
      out << " " << count << "\n";
    }
    if (!any && !family.label) out << name << " 0\n";
  }
  return out.str();
}

}  // namespace zelk::server
