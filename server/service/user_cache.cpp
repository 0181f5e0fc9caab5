// SPDX-License-Identifier: Apache-2.0
#include "service/user_cache.hpp"

#include <algorithm>
#include <functional>
#include <iterator>
#include <random>

namespace zelk::server {

UserCache::UserCache(Backend& backend, std::size_t capacity, bool shared)
    : backend_(backend), shared_(shared) {
  // Enough shards that threads seldom meet, few enough that each holds a fair share of a small
  // cache.
  const std::size_t shards = capacity == 0 ? 64 : std::clamp<std::size_t>(capacity / 64, 1, 64);
  for (std::size_t i = 0; i < shards; ++i) shards_.push_back(std::make_unique<Shard>());
  if (capacity > 0) shardCapacity_ = std::max<std::size_t>(1, (capacity + shards - 1) / shards);
}

UserCache::~UserCache() = default;

UserCache::Shard& UserCache::shardOf(const UserKey& key) {
  return *shards_[UserKeyHash()(key) % shards_.size()];
}

UserCache::IndexShard& UserCache::indexOf(const std::string& id) const {
  return index_[std::hash<std::string>()(id) % kIndexShards];
}

std::vector<std::string> UserCache::idsOf(const UserRecord& record) {
  std::vector<std::string> ids;
  ids.reserve(record.devices.size() + record.challenges.size());
  for (const Device& device : record.devices) ids.push_back(device.id);
  for (const Challenge& challenge : record.challenges) ids.push_back(challenge.id);
  return ids;
}

void UserCache::index(const UserKey& key, const std::vector<std::string>& ids) {
  for (const std::string& id : ids) {
    IndexShard& shard = indexOf(id);
    std::lock_guard lock(shard.mutex);
    shard.owners.insert_or_assign(id, key);
  }
}

void UserCache::unindex(const UserKey& key, const std::vector<std::string>& ids) {
  for (const std::string& id : ids) {
    IndexShard& shard = indexOf(id);
    std::lock_guard lock(shard.mutex);
    const auto found = shard.owners.find(id);
    if (found != shard.owners.end() && found->second == key) shard.owners.erase(found);
  }
}

std::optional<UserKey> UserCache::ownerOf(const std::string& id) const {
  IndexShard& shard = indexOf(id);
  std::lock_guard lock(shard.mutex);
  const auto found = shard.owners.find(id);
  if (found == shard.owners.end()) return std::nullopt;
  return found->second;
}

void UserCache::submit(const UserKey& key, std::shared_ptr<UserCall> call) {
  Shard& shard = shardOf(key);
  Slot* slot = nullptr;
  {
    std::lock_guard lock(shard.mutex);
    auto& held = shard.slots[key];
    if (!held) {
      held = std::make_unique<Slot>();
      held->key = key;
    }
    slot = held.get();
    slot->waiting.push_back(std::move(call));
    if (slot->busy) return;
    slot->busy = true;
    if (slot->inLru) {
      shard.lru.erase(slot->lru);
      slot->inLru = false;
    }
  }
  run(slot);
}

void UserCache::dropLocked(Slot* slot) {
  if (!slot->record) return;
  const std::vector<std::string> ids = idsOf(*slot->record);
  std::vector<std::string> devices;
  for (const Device& device : slot->record->devices) devices.push_back(device.id);
  slot->record.reset();
  --size_;
  unindex(slot->key, ids);
  backend_.forgot(devices);
}

void UserCache::install(Slot* slot, std::optional<StoredUser> user, std::uint64_t epoch) {
  std::unordered_map<std::string, StreamFacts> streams;
  if (user) {
    slot->record = std::move(user->record);
    streams = std::move(user->streams);
  } else {
    slot->record.emplace();
    slot->record->key = slot->key;
    // Nothing is stored of the user (an operator erased them, say): no version heard of before
    // is still to come, and the user's versions count from the start again.
    slot->heard = 0;
  }
  ++slot->loads;
  slot->fresh = true;
  ++size_;
  slot->epoch = epoch;
  index(slot->key, idsOf(*slot->record));
  std::vector<std::string> devices;
  for (const Device& device : slot->record->devices) devices.push_back(device.id);
  backend_.learned(devices, streams);
}

void UserCache::offer(StoredUser user) {
  const UserKey key = user.record.key;
  Shard& shard = shardOf(key);
  std::lock_guard lock(shard.mutex);
  auto& held = shard.slots[key];
  if (!held) {
    held = std::make_unique<Slot>();
    held->key = key;
  }
  Slot* slot = held.get();
  if (slot->busy || slot->record || user.record.version < slot->heard) {
    if (!slot->busy && !slot->record && slot->waiting.empty()) shard.slots.erase(key);
    return;
  }
  install(slot, std::move(user), epoch_);
  ++misses_;
  shard.lru.push_front(slot);
  slot->lru = shard.lru.begin();
  slot->inLru = true;
  // Held, it may take the place of the least recently used.
  while (shardCapacity_ > 0 && shard.lru.size() > shardCapacity_) {
    Slot* oldest = shard.lru.back();
    shard.lru.pop_back();
    oldest->inLru = false;
    dropLocked(oldest);
    ++evictions_;
    const UserKey gone = oldest->key;
    shard.slots.erase(gone);
  }
}

void UserCache::run(Slot* slot) {
  Shard& shard = shardOf(slot->key);
  for (;;) {
    std::deque<std::shared_ptr<UserCall>> batch;
    bool load = false;
    {
      std::lock_guard lock(shard.mutex);
      if (slot->record && (slot->heard > slot->record->version || slot->epoch < epoch_))
        dropLocked(slot);
      if (slot->waiting.empty()) {
        slot->busy = false;
        if (!slot->record) {
          const UserKey gone = slot->key;
          shard.slots.erase(gone);
          return;
        }
        shard.lru.push_front(slot);
        slot->lru = shard.lru.begin();
        slot->inLru = true;
        while (shardCapacity_ > 0 && shard.lru.size() > shardCapacity_) {
          Slot* oldest = shard.lru.back();
          shard.lru.pop_back();
          oldest->inLru = false;
          dropLocked(oldest);
          ++evictions_;
          const UserKey gone = oldest->key;
          shard.slots.erase(gone);
        }
        return;
      }
      if (slot->record && slot->waiting.front()->wantsLoad > slot->loads) dropLocked(slot);
      if (!slot->record) {
        load = true;
      } else {
        batch.swap(slot->waiting);
      }
    }
    if (load) {
      ++misses_;
      const std::uint64_t epoch = epoch_;
      std::chrono::milliseconds pause{0};
      if (slot->conflicts > 0) {
        const int most = 1 << std::min(slot->conflicts - 1, 4);
        thread_local std::minstd_rand random{std::random_device()()};
        pause =
            std::chrono::milliseconds(1 + static_cast<int>(random() % static_cast<unsigned>(most)));
      }
      backend_.read(slot->key, pause,
                    [this, slot, epoch](std::optional<StoredUser> user, bool failed) {
                      loaded(slot, std::move(user), failed, epoch);
                    });
      return;
    }
    // Calls decided on records held from before, without a read of their own.
    if (!slot->fresh) hits_ += batch.size();
    slot->fresh = false;

    const std::unique_ptr<CallContext> context = backend_.context(*slot->record);
    UserEdit edit(*slot->record);
    std::vector<std::shared_ptr<UserCall>> decided;
    std::deque<std::shared_ptr<UserCall>> again;
    for (auto& call : batch) {
      const bool found = call->decide(edit, *context);
      if (!found && shared_ && call->wantsLoad == 0) {
        call->wantsLoad = slot->loads + 1;
        again.push_back(std::move(call));
      } else {
        decided.push_back(std::move(call));
      }
    }
    if (!again.empty()) {
      std::lock_guard lock(shard.mutex);
      slot->waiting.insert(slot->waiting.begin(), std::make_move_iterator(again.begin()),
                           std::make_move_iterator(again.end()));
    }
    if (edit.changed()) {
      Unit unit;
      unit.user = slot->key;
      unit.baseVersion = slot->record->version;
      unit.changes = edit.finish();
      slot->storing = std::move(decided);
      backend_.store(std::move(unit), [this, slot](Unit& stored, bool failed) {
        this->stored(slot, stored, failed);
      });
      return;
    }
    for (const auto& call : decided) call->finish(Failure::none);
  }
}

void UserCache::loaded(Slot* slot, std::optional<StoredUser> user, bool failed,
                       std::uint64_t epoch) {
  if (failed) {
    std::deque<std::shared_ptr<UserCall>> waiting;
    {
      std::lock_guard lock(shardOf(slot->key).mutex);
      waiting.swap(slot->waiting);
    }
    for (const auto& call : waiting) call->finish(Failure::unavailable);
  } else {
    std::lock_guard lock(shardOf(slot->key).mutex);
    install(slot, std::move(user), epoch);
  }
  run(slot);
}

void UserCache::stored(Slot* slot, Unit& unit, bool failed) {
  std::vector<std::shared_ptr<UserCall>> calls = std::move(slot->storing);
  slot->storing.clear();
  if (failed || unit.conflict) {
    {
      std::lock_guard lock(shardOf(slot->key).mutex);
      // What is held went ahead of the store: it is read afresh.
      dropLocked(slot);
      if (!failed) {
        ++conflicts_;
        ++slot->conflicts;
        std::deque<std::shared_ptr<UserCall>> again;
        for (auto& call : calls) {
          if (++call->conflicts <= kMaxConflicts) again.push_back(call);
        }
        slot->waiting.insert(slot->waiting.begin(), again.begin(), again.end());
      }
    }
    for (const auto& call : calls) {
      if (failed || call->conflicts > kMaxConflicts) call->finish(Failure::unavailable);
    }
    run(slot);
    return;
  }
  slot->record->version = unit.baseVersion + 1;
  slot->conflicts = 0;
  std::vector<std::string> added, devices;
  for (const auto& row : unit.changes.devices) {
    added.push_back(row.id);
    devices.push_back(row.id);
  }
  backend_.attached(devices);
  for (const auto& challenge : unit.changes.challenges) added.push_back(challenge.id);
  index(slot->key, added);
  unindex(slot->key, unit.changes.removedDevices);
  backend_.forgot(unit.changes.removedDevices);
  for (const auto& call : calls) call->finish(Failure::none);
  run(slot);
}

void UserCache::heard(const UserKey& key, std::uint64_t version) {
  Shard& shard = shardOf(key);
  std::lock_guard lock(shard.mutex);
  const auto found = shard.slots.find(key);
  if (found == shard.slots.end()) return;
  Slot* slot = found->second.get();
  slot->heard = std::max(slot->heard, version);
  if (slot->busy || !slot->record || slot->record->version >= version) return;
  // Idle: dropped at once.
  if (slot->inLru) {
    shard.lru.erase(slot->lru);
    slot->inLru = false;
  }
  dropLocked(slot);
  shard.slots.erase(found);
}

void UserCache::dropAll() {
  ++epoch_;
  for (const auto& shard : shards_) {
    std::lock_guard lock(shard->mutex);
    for (auto it = shard->slots.begin(); it != shard->slots.end();) {
      Slot* slot = it->second.get();
      if (slot->busy) {
        ++it;
        continue;
      }
      if (slot->inLru) {
        shard->lru.erase(slot->lru);
        slot->inLru = false;
      }
      dropLocked(slot);
      it = shard->slots.erase(it);
    }
  }
}

std::size_t UserCache::size() const {
  return size_;
}

std::vector<UserRecord> UserCache::held() const {
  std::vector<UserRecord> records;
  for (const auto& shard : shards_) {
    std::lock_guard lock(shard->mutex);
    for (const auto& [key, slot] : shard->slots) {
      if (slot->record && !slot->busy) records.push_back(*slot->record);
    }
  }
  return records;
}

}  // namespace zelk::server
