// SPDX-License-Identifier: Apache-2.0
// What an operator's user search costs over a project of many users: by id prefix, by a whole
// e-mail address (in any case) and by phone number, a page of 50, on the SQLite store in a
// temporary file and, when ZELK_BENCH_POSTGRES names a server, on PostgreSQL, side by side in
// one run. Prints each kind's p50 and p99 over its searches.
//
//   user_search_bench [USERS]      (1,000,000 by default)
//
// Goal: p99 under 50 ms at 1,000,000 users on both stores.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "storage/scratch_database.hpp"
#include "storage/store.hpp"

namespace {

using zelk::server::Store;
using zelk::server::Unit;
using zelk::server::UserKey;

std::string userName(int n) {
  char name[32];
  std::snprintf(name, sizeof name, "user-%07d", n);
  return name;
}

void fill(Store& store, int users) {
  constexpr int kBatch = 2000;
  for (int first = 0; first < users; first += kBatch) {
    std::vector<Unit> units;
    for (int n = first; n < std::min(users, first + kBatch); ++n) {
      Unit& unit = units.emplace_back();
      unit.user = UserKey{"bench", userName(n)};
      unit.changes.profile = {"User." + std::to_string(n) + "@Example.com",
                              "+1 555 " + std::to_string(1'000'000 + n)};
    }
    store.commit(units);
  }
}

double percentile(std::vector<double> values, double p) {
  std::sort(values.begin(), values.end());
  return values[static_cast<std::size_t>(p * static_cast<double>(values.size() - 1))];
}

void measure(const char* storeName, Store& store, int users) {
  std::mt19937 random(7);
  std::uniform_int_distribution<int> pick(0, users - 1);
  struct Kind {
    const char* name;
    std::string (*query)(int);
  };
  const Kind kinds[] = {
      {"id prefix", [](int n) { return userName(n).substr(0, 11); }},
      {"e-mail", [](int n) { return "user." + std::to_string(n) + "@example.COM"; }},
      {"phone", [](int n) { return "+1 555 " + std::to_string(1'000'000 + n); }},
  };
  for (const Kind& kind : kinds) {
    std::vector<double> millis;
    for (int i = 0; i < 1000; ++i) {
      const std::string query = kind.query(pick(random));
      const auto started = std::chrono::steady_clock::now();
      const auto found = store.searchUsers("bench", query, "", 50);
      millis.push_back(
          std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started)
              .count());
      if (found.empty()) {
        std::fprintf(stderr, "user_search_bench: %s found nothing for %s\n", kind.name,
                     query.c_str());
        std::exit(1);
      }
    }
    std::printf("%-8s %-9s users=%d searches=1000 p50=%.3f ms p99=%.3f ms\n", storeName, kind.name,
                users, percentile(millis, 0.5), percentile(millis, 0.99));
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);  // each figure as it is measured
  const int users = argc > 1 ? std::atoi(argv[1]) : 1'000'000;
  if (users < 1) {
    std::fprintf(stderr, "usage: user_search_bench [USERS]\n");
    return 2;
  }
  char folder[] = "/tmp/zelk-bench-XXXXXX";
  if (!mkdtemp(folder)) return 1;
  {
    auto sqlite = zelk::server::makeSQLiteStore(std::string(folder) + "/zelk.db");
    sqlite->setInstance("bench");
    const auto started = std::chrono::steady_clock::now();
    fill(*sqlite, users);
    std::printf("sqlite   filled with %d users in %.0f s\n", users,
                std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
    measure("sqlite", *sqlite, users);
  }
  std::filesystem::remove_all(folder);
  if (const char* admin = std::getenv("ZELK_BENCH_POSTGRES"); admin && *admin) {
    zelk::server::ScratchDatabase database(admin);
    auto postgres = zelk::server::makePostgresStore(database.url(), 4);
    postgres->setInstance("bench");
    const auto started = std::chrono::steady_clock::now();
    fill(*postgres, users);
    std::printf("postgres filled with %d users in %.0f s\n", users,
                std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
    measure("postgres", *postgres, users);
  }
  return 0;
}
