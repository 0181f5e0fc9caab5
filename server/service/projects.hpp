// SPDX-License-Identifier: Apache-2.0
// The projects, held whole: there are few of them, and every request names one. What another
// instance changes is dropped on its notice and read afresh when next needed; a client id that
// is no project is remembered as such for a moment, so that a flood of made-up ids does not
// become a flood of reads.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "storage/records.hpp"

namespace zelk::server {

class ProjectCache {
 public:
  // `rememberUnknown`: whether a client id found to be no project is remembered so for a moment
  // (not with a store other instances write to, where one may become a project any moment).
  explicit ProjectCache(bool rememberUnknown) : rememberUnknown_(rememberUnknown) {}

  // What is known of a client id without a read: the project, that there is none, or nothing.
  struct Held {
    bool known = false;                      // false: read it from the store
    std::shared_ptr<const Project> project;  // nullptr with known: no such project
  };
  Held find(const std::string& clientId) const;
  // What the store said of `clientId`; not taken when a notice dropped it since `generation`.
  void put(const std::string& clientId, std::optional<Project> project, std::uint64_t generation);
  void putAll(const std::vector<Project>& projects, std::uint64_t generation);
  // `clientId`'s settings changed elsewhere ("" : any project's may have): what is held stays in
  // use until it is read afresh, but a read begun before is not taken.
  void changed(const std::string& clientId);
  // Counts changes: a read begun at one generation is stale if another followed.
  std::uint64_t generation() const;
  std::vector<std::shared_ptr<const Project>> all() const;

  // How long a client id that is no project stays known as such, and how many are.
  static constexpr std::chrono::seconds kUnknownFor{2};
  static constexpr std::size_t kMaxUnknown = 10'000;

 private:
  mutable std::shared_mutex mutex_;
  std::unordered_map<std::string, std::shared_ptr<const Project>> projects_;
  std::unordered_map<std::string, std::chrono::steady_clock::time_point> unknown_;
  std::uint64_t generation_ = 0;
  const bool rememberUnknown_;
};

}  // namespace zelk::server
