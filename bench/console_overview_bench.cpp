// SPDX-License-Identifier: Apache-2.0
// What the console's overview costs over a million devices: the counts over every project, the
// attaches of each of the last 60 minutes and the instances alive, on the SQLite store in a
// temporary file and, when ZELK_BENCH_POSTGRES names a server, on PostgreSQL, side by side in one
// run. The stores hold DEVICES devices of two per user in two projects, attached over the last 30
// days (a hundredth of them in the last hour), a twentieth of them streaming, 20,000 challenges
// and 50,000 audit entries over the last two days, and 1,000 outbox messages. Prints the p50 and
// p99 of 200 overviews; on PostgreSQL twice: right after the filling, and once VACUUM ANALYZE has
// run, as autovacuum leaves a database in service (all-visible pages for index-only scans, and
// the planner's statistics).
//
//   console_overview_bench [DEVICES]      (1,000,000 by default)
//
// Goal: p99 under 100 ms at 1,000,000 devices on both stores.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "storage/scratch_database.hpp"
#include "storage/store.hpp"
#ifdef ZELK_HAVE_POSTGRES
#include "storage/postgres.hpp"
#endif

namespace {

using namespace std::chrono_literals;
using zelk::server::Changes;
using zelk::server::Clock;
using zelk::server::OverviewFigures;
using zelk::server::Store;
using zelk::server::Unit;
using zelk::server::UserKey;

constexpr int kChallenges = 20'000;
constexpr int kAudit = 50'000;
constexpr int kOutbox = 1'000;
constexpr int kAttachMinutes = 60;

// What the stores are filled with, and the overview of it each run must find.
struct Fill {
  Clock::time_point now;
  int devices = 0;
  std::size_t streams = 0;
};

std::string numbered(const char* prefix, int n) {
  char name[32];
  std::snprintf(name, sizeof name, "%s-%07d", prefix, n);
  return name;
}

Fill fill(Store& store, int devices) {
  Fill filled;
  filled.now = zelk::server::fromMillis(zelk::server::toMillis(Clock::now()));
  filled.devices = devices;
  const Clock::time_point now = filled.now;
  std::mt19937 random(7);
  const auto within = [&](std::chrono::milliseconds span) {
    std::uniform_int_distribution<std::int64_t> pick(1, span.count());
    return now - std::chrono::milliseconds(pick(random));
  };
  const int users = (devices + 1) / 2;
  const int challengeEvery = std::max(1, users / kChallenges);
  constexpr int kBatch = 2000;
  std::vector<std::string> streaming;
  for (int first = 0, device = 0; first < users; first += kBatch) {
    std::vector<Unit> units;
    for (int n = first; n < std::min(users, first + kBatch); ++n) {
      Unit& unit = units.emplace_back();
      const std::string project = n % 2 ? "bench-b" : "bench-a";
      unit.user = UserKey{project, numbered("user", n)};
      for (int k = 0; k < 2 && device < devices; ++k, ++device) {
        Changes::DeviceRow& row = unit.changes.devices.emplace_back();
        row.id = numbered("device", device);
        row.vendorId = "vendor-" + row.id;
        row.library = "zelk-cpp";
        row.version = "1.0.0";
        row.identity = "identity-" + row.id;
        row.accesses = "[\"access-" + row.id + "\"]";
        row.attachedAt = device % 100 == 0 ? within(1h) : within(30 * 24h);
        row.lastSeenAt = row.attachedAt;
        if (device % 20 == 0) streaming.push_back(row.id);
      }
      if (n % challengeEvery == 0 && n / challengeEvery < kChallenges) {
        zelk::server::Challenge challenge;
        challenge.id = numbered("challenge", n);
        challenge.project = project;
        challenge.user = unit.user->user;
        challenge.reason = "overall";
        challenge.createdAt = within(48h);
        challenge.verified = challenge.resolved = n % 3 == 0;
        unit.changes.challenges.push_back(challenge);
      }
    }
    store.commit(units);
  }
  for (int first = 0; first < kAudit; first += kBatch) {
    std::vector<Unit> units(1);
    for (int n = first; n < std::min(kAudit, first + kBatch); ++n) {
      const char* kinds[] = {"code.sent", "code.rejected", "rate_limited", "device.evicted"};
      units[0].changes.audit.push_back(
          {0, within(48h), n % 2 ? "bench-b" : "bench-a", kinds[n % 4], numbered("user", n), {}});
    }
    store.commit(units);
  }
  std::vector<Unit> outbox(1);
  for (int n = 0; n < kOutbox; ++n) {
    zelk::server::OutboxMessage message;
    message.id = numbered("message", n);
    message.kind = "email";
    message.project = "bench-a";
    message.payload = "{}";
    message.createdAt = message.nextAttemptAt = within(48h);
    message.state = n % 10 == 0   ? zelk::server::OutboxState::pending
                    : n % 10 == 1 ? zelk::server::OutboxState::failed
                                  : zelk::server::OutboxState::done;
    outbox[0].changes.outbox.push_back(message);
  }
  store.commit(outbox);
  store.beat(now - 1h, now);
  for (std::size_t first = 0; first < streaming.size(); first += kBatch) {
    zelk::server::StreamChanges opened;
    opened.opened.assign(streaming.begin() + static_cast<std::ptrdiff_t>(first),
                         streaming.begin() + static_cast<std::ptrdiff_t>(
                                                 std::min(streaming.size(), first + kBatch)));
    store.writeStreams(opened);
  }
  filled.streams = streaming.size();
  return filled;
}

double percentile(std::vector<double> values, double p) {
  std::sort(values.begin(), values.end());
  return values[static_cast<std::size_t>(p * static_cast<double>(values.size() - 1))];
}

void measure(const std::string& storeName, Store& store, const Fill& filled) {
  std::vector<double> millis;
  OverviewFigures figures;
  for (int i = 0; i < 200; ++i) {
    const auto started = std::chrono::steady_clock::now();
    figures = store.overview(filled.now, filled.now - 24h, kAttachMinutes, filled.now - 90s);
    millis.push_back(
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started)
            .count());
  }
  std::size_t attaches = 0;
  for (const std::size_t count : figures.attachesByMinute) attaches += count;
  if (figures.devices != static_cast<std::size_t>(filled.devices) ||
      figures.streams != filled.streams || figures.instances.size() != 1 ||
      figures.attachesByMinute.size() != kAttachMinutes || attaches == 0 ||
      figures.challengesRaised == 0 || figures.codesSent == 0) {
    std::fprintf(stderr,
                 "console_overview_bench: %s counted %zu devices, %zu streams, %zu instances, %zu "
                 "attaches, %zu challenges, %zu codes\n",
                 storeName.c_str(), figures.devices, figures.streams, figures.instances.size(),
                 attaches, figures.challengesRaised, figures.codesSent);
    std::exit(1);
  }
  std::printf(
      "%-8s devices=%zu streams=%zu attaches(60 min)=%zu challenges=%zu/%zu codes=%zu "
      "outbox=%zu/%zu overviews=200 p50=%.3f ms p99=%.3f ms\n",
      storeName.c_str(), figures.devices, figures.streams, attaches, figures.challengesRaised,
      figures.challengesVerified, figures.codesSent, figures.outboxPending, figures.outboxFailed,
      percentile(millis, 0.5), percentile(millis, 0.99));
}

// Fills the store `open` makes and measures it; then, when there is a `settle`, measures again
// after it ran.
template <class Open>
void run(const char* storeName, Open&& open, int devices, const char* settled = nullptr,
         const std::function<void()>& settle = {}) {
  std::unique_ptr<Store> store = open();
  store->setInstance("bench");
  const auto started = std::chrono::steady_clock::now();
  const Fill filled = fill(*store, devices);
  std::printf("%-8s filled with %d devices in %.0f s\n", storeName, devices,
              std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
  measure(storeName, *store, filled);
  if (!settle) return;
  settle();
  measure(std::string(storeName) + ", " + settled, *store, filled);
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);  // each figure as it is measured
  const int devices = argc > 1 ? std::atoi(argv[1]) : 1'000'000;
  if (devices < 1) {
    std::fprintf(stderr, "usage: console_overview_bench [DEVICES]\n");
    return 2;
  }
  char folder[] = "/tmp/zelk-bench-XXXXXX";
  if (!mkdtemp(folder)) return 1;
  run(
      "sqlite", [&] { return zelk::server::makeSQLiteStore(std::string(folder) + "/zelk.db"); },
      devices);
  std::filesystem::remove_all(folder);
  if (const char* admin = std::getenv("ZELK_BENCH_POSTGRES"); admin && *admin) {
    zelk::server::ScratchDatabase database(admin);
    std::function<void()> vacuum;
#ifdef ZELK_HAVE_POSTGRES
    vacuum = [&] {
      zelk::server::pg::Connection::open(database.url(), zelk::server::pg::whereOf(database.url()))
          ->execute("VACUUM ANALYZE");
    };
#endif
    run(
        "postgres", [&] { return zelk::server::makePostgresStore(database.url(), 4); }, devices,
        "vacuumed", vacuum);
  }
  return 0;
}
