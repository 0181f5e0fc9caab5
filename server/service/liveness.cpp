// SPDX-License-Identifier: Apache-2.0
#include "service/liveness.hpp"

#include <algorithm>
#include <functional>

namespace zelk::server {

Liveness::Liveness(std::string self, Clock::time_point startedAt,
                   std::chrono::milliseconds silentAfter)
    : self_(std::move(self)), startedAt_(startedAt), silentAfter_(silentAfter) {}

Liveness::Shard& Liveness::shardOf(const std::string& device) const {
  return shards_[std::hash<std::string>()(device) % kShards];
}

void Liveness::tidy(Shard& shard, std::unordered_map<std::string, Facts>::iterator it) {
  const Facts& facts = it->second;
  if (!facts.held && facts.openHere == 0 && !facts.unwritten) shard.devices.erase(it);
}

void Liveness::opened(const std::string& device) {
  bool first = false;
  {
    Shard& shard = shardOf(device);
    std::lock_guard lock(shard.mutex);
    Facts& facts = shard.devices[device];
    first = ++facts.openHere == 1;
    // An end not written yet need not be any more.
    if (first) facts.unwritten = false;
  }
  if (!first) return;
  std::lock_guard lock(pendingMutex_);
  // Opened again before its end was written: the end need not be.
  ended_.erase(device);
  opened_.insert(device);
}

void Liveness::ended(const std::string& device, Clock::time_point at) {
  {
    Shard& shard = shardOf(device);
    std::lock_guard lock(shard.mutex);
    const auto it = shard.devices.find(device);
    if (it == shard.devices.end() || it->second.openHere == 0) return;
    Facts& facts = it->second;
    if (--facts.openHere > 0) return;
    facts.endedAt = std::max(facts.endedAt, at);
    facts.unwritten = true;
  }
  std::lock_guard lock(pendingMutex_);
  // Opened and ended before either was written: only the end is.
  opened_.erase(device);
  ended_[device] = at;
}

int Liveness::openHere(const std::string& device) const {
  Shard& shard = shardOf(device);
  std::lock_guard lock(shard.mutex);
  const auto it = shard.devices.find(device);
  return it == shard.devices.end() ? 0 : it->second.openHere;
}

void Liveness::apply(Facts& facts, const Recent& notice) const {
  auto& hosts = facts.hosts;
  if (notice.opened) {
    if (std::find(hosts.begin(), hosts.end(), notice.sender) == hosts.end())
      hosts.push_back(notice.sender);
    return;
  }
  std::erase(hosts, notice.sender);
  facts.endedAt = std::max(facts.endedAt, notice.endedAt);
}

void Liveness::learn(const std::vector<std::string>& devices,
                     const std::unordered_map<std::string, StreamFacts>& facts) {
  std::lock_guard recent(recentMutex_);
  for (const std::string& device : devices) {
    Shard& shard = shardOf(device);
    std::lock_guard lock(shard.mutex);
    Facts& held = shard.devices[device];
    held.held = true;
    held.hosts.clear();
    if (const auto stored = facts.find(device); stored != facts.end()) {
      for (const std::string& host : stored->second.hosts) {
        if (host != self_) held.hosts.push_back(host);
      }
      held.endedAt = std::max(held.endedAt, stored->second.endedAt);
    }
    // What the others said since may be newer than what was read.
    if (const auto heard = recent_.find(device); heard != recent_.end()) {
      for (const Recent& notice : heard->second) apply(held, notice);
    }
  }
}

void Liveness::hold(const std::vector<std::string>& devices) {
  for (const std::string& device : devices) {
    Shard& shard = shardOf(device);
    {
      // Most are attached again, held already: no need to look at what was heard.
      std::lock_guard lock(shard.mutex);
      const auto it = shard.devices.find(device);
      if (it != shard.devices.end() && it->second.held) continue;
    }
    std::lock_guard recent(recentMutex_);
    std::lock_guard lock(shard.mutex);
    Facts& held = shard.devices[device];
    if (held.held) continue;
    held.held = true;
    // What the others said of it since it was attached.
    if (const auto heard = recent_.find(device); heard != recent_.end()) {
      for (const Recent& notice : heard->second) apply(held, notice);
    }
  }
}

void Liveness::forget(const std::vector<std::string>& devices) {
  for (const std::string& device : devices) {
    Shard& shard = shardOf(device);
    std::lock_guard lock(shard.mutex);
    const auto it = shard.devices.find(device);
    if (it == shard.devices.end()) continue;
    it->second.held = false;
    it->second.hosts.clear();
    tidy(shard, it);
  }
}

void Liveness::streamsChanged(const std::string& sender, const StreamChanges& changes) {
  if (sender == self_) return;
  const auto now = std::chrono::steady_clock::now();
  std::lock_guard recent(recentMutex_);
  while (!recentOrder_.empty() && recentOrder_.front().first < now - kRecentFor) {
    auto& list = recent_[recentOrder_.front().second];
    std::erase_if(list, [&](const Recent& r) { return r.heard < now - kRecentFor; });
    if (list.empty()) recent_.erase(recentOrder_.front().second);
    recentOrder_.pop_front();
  }
  const auto hear = [&](const std::string& device, Recent notice) {
    recent_[device].push_back(notice);
    recentOrder_.emplace_back(now, device);
    Shard& shard = shardOf(device);
    std::lock_guard lock(shard.mutex);
    const auto it = shard.devices.find(device);
    if (it != shard.devices.end()) apply(it->second, notice);
  };
  for (const std::string& device : changes.opened) hear(device, {now, sender, true, {}});
  for (const auto& [device, at] : changes.ended) hear(device, {now, sender, false, at});
}

void Liveness::beats(std::vector<InstanceBeat> beats) {
  const auto now = Clock::now();
  std::lock_guard lock(beatsMutex_);
  beats_.clear();
  othersStarted_.reset();
  for (InstanceBeat& beat : beats) {
    if (beat.id != self_ && now - beat.beatAt < silentAfter_)
      othersStarted_ = std::min(othersStarted_.value_or(beat.startedAt), beat.startedAt);
    std::string id = beat.id;
    beats_.emplace(std::move(id), std::move(beat));
  }
}

bool Liveness::alive(const std::string& instance, Clock::time_point wallNow) const {
  const auto beat = beats_.find(instance);
  // One not heard of yet started after the last look at the beats: it is new, not gone.
  if (beat == beats_.end()) return true;
  return wallNow - beat->second.beatAt < silentAfter_;
}

Activity Liveness::activity(const std::string& device) const {
  Facts facts;
  {
    Shard& shard = shardOf(device);
    std::lock_guard lock(shard.mutex);
    const auto it = shard.devices.find(device);
    if (it == shard.devices.end()) return {};
    if (it->second.openHere > 0) return {true, {}};
    facts = it->second;
  }
  Activity activity{false, facts.endedAt};
  if (facts.hosts.empty()) return activity;
  const auto now = Clock::now();
  std::lock_guard lock(beatsMutex_);
  for (const std::string& host : facts.hosts) {
    if (alive(host, now)) return {true, {}};
    // Its instance went away: the stream ended at that instance's last beat.
    activity.endedAt = std::max(activity.endedAt, beats_.at(host).beatAt);
  }
  return activity;
}

Clock::time_point Liveness::floor() const {
  std::lock_guard lock(beatsMutex_);
  return othersStarted_ ? std::min(startedAt_, *othersStarted_) : startedAt_;
}

StreamChanges Liveness::takeChanges() {
  StreamChanges changes;
  {
    std::lock_guard lock(pendingMutex_);
    changes.opened.assign(opened_.begin(), opened_.end());
    changes.ended.assign(ended_.begin(), ended_.end());
    opened_.clear();
    ended_.clear();
  }
  return changes;
}

void Liveness::written(const StreamChanges& changes) {
  for (const auto& [device, at] : changes.ended) {
    Shard& shard = shardOf(device);
    std::lock_guard lock(shard.mutex);
    const auto it = shard.devices.find(device);
    if (it == shard.devices.end()) continue;
    it->second.unwritten = false;
    tidy(shard, it);
  }
}

void Liveness::putBack(StreamChanges changes) {
  std::lock_guard lock(pendingMutex_);
  for (std::string& device : changes.opened) {
    if (!ended_.contains(device)) opened_.insert(std::move(device));
  }
  for (auto& [device, at] : changes.ended) {
    if (!opened_.contains(device)) ended_.emplace(std::move(device), at);
  }
}

void Liveness::forgetOthers() {
  for (Shard& shard : shards_) {
    std::lock_guard lock(shard.mutex);
    for (auto& [device, facts] : shard.devices) facts.hosts.clear();
  }
}

}  // namespace zelk::server
