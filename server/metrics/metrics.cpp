// SPDX-License-Identifier: Apache-2.0
#include "metrics/metrics.hpp"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <sys/resource.h>
#include <unistd.h>

#include <zelk/version.hpp>

namespace zelk::server {

void Metrics::Latency::observe(std::chrono::steady_clock::duration took) {
  const auto nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(took).count();
  const double seconds = static_cast<double>(nanos) / 1e9;
  for (std::size_t i = 0; i < kBuckets.size(); ++i) {
    if (seconds <= kBuckets[i]) {
      buckets[i].fetch_add(1, std::memory_order_relaxed);
      break;
    }
  }
  nanoseconds.fetch_add(static_cast<std::uint64_t>(std::max<std::int64_t>(0, nanos)),
                        std::memory_order_relaxed);
  count.fetch_add(1, std::memory_order_relaxed);
}

void Metrics::countRequest(const std::string& route, int status,
                           std::chrono::steady_clock::duration took) {
  const int statusClass = status / 100;
  for (std::size_t i = 0; i < kRoutes.size(); ++i) {
    if (route != kRoutes[i]) continue;
    routeLatency_[i].observe(took);
    if (statusClass >= 0 && statusClass < static_cast<int>(kStatusClasses)) {
      routeCounts_[i][static_cast<std::size_t>(statusClass)].fetch_add(1,
                                                                       std::memory_order_relaxed);
      return;
    }
    std::lock_guard lock(mutex_);
    ++requests_[{route, std::to_string(statusClass) + "xx"}];
    return;
  }
  std::lock_guard lock(mutex_);
  ++requests_[{route, std::to_string(statusClass) + "xx"}];
  otherLatency_[route].observe(took);
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
    {"devices_removed", "Devices detached other than at their own request, by why.", "reason"},
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
  out << "# HELP zelk_http_request_duration_seconds Time from a request read to its answer (for a "
         "stream, to its head), by route.\n"
         "# TYPE zelk_http_request_duration_seconds histogram\n";
  const auto renderLatency = [&out](const std::string& route, const Latency& latency) {
    const std::uint64_t count = latency.count.load(std::memory_order_relaxed);
    if (count == 0) return;
    std::uint64_t below = 0;
    for (std::size_t i = 0; i < kBuckets.size(); ++i) {
      below += latency.buckets[i].load(std::memory_order_relaxed);
      out << "zelk_http_request_duration_seconds_bucket{route=\"" << route << "\",le=\""
          << kBuckets[i] << "\"} " << below << "\n";
    }
    // Counted last, so that no bucket ever exceeds it.
    out << "zelk_http_request_duration_seconds_bucket{route=\"" << route << "\",le=\"+Inf\"} "
        << std::max(count, below) << "\n"
        << "zelk_http_request_duration_seconds_sum{route=\"" << route << "\"} "
        << static_cast<double>(latency.nanoseconds.load(std::memory_order_relaxed)) / 1e9 << "\n"
        << "zelk_http_request_duration_seconds_count{route=\"" << route << "\"} "
        << std::max(count, below) << "\n";
  };
  for (std::size_t i = 0; i < kRoutes.size(); ++i) renderLatency(kRoutes[i], routeLatency_[i]);
  for (const auto& [route, latency] : otherLatency_) renderLatency(route, latency);
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
  out << "# HELP zelk_build_info The version of zelk-server running.\n"
         "# TYPE zelk_build_info gauge\n"
         "zelk_build_info{version=\"" ZELK_VERSION "\"} 1\n";
  appendProcessMetrics(out);
  return out.str();
}

namespace {

// The fields of /proc/self/stat after the program's name, which may hold spaces and
// parentheses: the process state is the first.
std::vector<std::string> statFields() {
  std::ifstream in("/proc/self/stat");
  std::string line;
  std::getline(in, line);
  const auto close = line.rfind(')');
  if (close == std::string::npos) return {};
  std::istringstream rest(line.substr(close + 1));
  std::vector<std::string> fields;
  for (std::string field; rest >> field;) fields.push_back(field);
  return fields;
}

// The time the machine booted, in seconds since the epoch.
std::optional<long long> bootTime() {
  std::ifstream in("/proc/stat");
  for (std::string line; std::getline(in, line);) {
    if (line.starts_with("btime ")) return std::stoll(line.substr(6));
  }
  return std::nullopt;
}

// The process's size and resident set in pages, the first two fields of /proc/self/statm.
std::optional<std::pair<double, double>> memoryPages() {
  std::ifstream in("/proc/self/statm");
  double size = 0;
  double resident = 0;
  if (!(in >> size >> resident)) return std::nullopt;
  return std::pair(size, resident);
}

}  // namespace

void Metrics::appendProcessMetrics(std::ostream& out) {
  const std::vector<std::string> fields = statFields();
  // Counted from the state, field 3 of proc(5): starttime is 22.
  const auto field = [&fields](std::size_t number) -> std::optional<double> {
    if (number < 3 || number - 3 >= fields.size()) return std::nullopt;
    try {
      return std::stod(fields[number - 3]);
    } catch (const std::exception&) {
      return std::nullopt;
    }
  };
  const double ticks = static_cast<double>(::sysconf(_SC_CLK_TCK));
  const double page = static_cast<double>(::sysconf(_SC_PAGESIZE));
  char number[64];
  const auto write = [&out, &number](const char* name, const char* type, const char* help,
                                     double value) {
    std::snprintf(number, sizeof number, "%.17g", value);
    out << "# HELP " << name << " " << help << "\n# TYPE " << name << " " << type << "\n"
        << name << " " << number << "\n";
  };
  // CPU time and memory come from the kernel's own accounts of this process rather than from
  // the stat line, which emulators under a cross build fill with zeros.
  rusage usage{};
  if (::getrusage(RUSAGE_SELF, &usage) == 0) {
    const auto seconds = [](const timeval& time) {
      return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) / 1e6;
    };
    write("process_cpu_seconds_total", "counter", "User and system CPU time spent, in seconds.",
          seconds(usage.ru_utime) + seconds(usage.ru_stime));
  }
  if (const auto pages = memoryPages(); pages && page > 0) {
    write("process_resident_memory_bytes", "gauge", "Resident memory size in bytes.",
          pages->second * page);
    write("process_virtual_memory_bytes", "gauge", "Virtual memory size in bytes.",
          pages->first * page);
  }
  if (const auto start = field(22), boot = std::optional<double>(bootTime());
      start && boot && ticks > 0)
    write("process_start_time_seconds", "gauge",
          "Start time of the process since the epoch, in seconds.", *boot + *start / ticks);
  std::error_code error;
  std::size_t open = 0;
  for (std::filesystem::directory_iterator it("/proc/self/fd", error), end; !error && it != end;
       it.increment(error))
    ++open;
  // The iterator's own descriptor was among them.
  if (!error && open > 0) write("process_open_fds", "gauge", "Open file descriptors.", open - 1);
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
    write("process_max_fds", "gauge", "The most file descriptors the process may open.",
          static_cast<double>(limit.rlim_cur));
}

}  // namespace zelk::server
