// SPDX-License-Identifier: Apache-2.0
// Users' records held between calls, and the order calls of one user are decided in.
//
// Each user held has a slot: the records as last read or written, and the calls waiting for
// them. A call is decided on the records once nothing of that user is being read or stored:
// the calls that came meanwhile are decided one after the other, in the order they came, and
// what they changed is stored together; only then are they told, and the next calls decided.
// Calls of different users never wait for each other. The slots of idle users are kept in
// least-recently-used order, at most as many as configured: the records of the others are read
// again from the store when next needed.
//
// Copies of records another instance changed are dropped when its notice comes; a notice that
// never came costs a conflict when the changes are stored (the call is then decided again on
// the records read afresh), or a read: a call that does not find what it looks for on records
// held (a device, an access token, a challenge) may ask for them to be read afresh first.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "service/codes.hpp"
#include "service/limits.hpp"
#include "service/outcome.hpp"
#include "service/user_edit.hpp"
#include "storage/store.hpp"

namespace zelk::server {

// What a call is decided with besides the user's records.
struct CallContext {
  CallContext(std::shared_ptr<const Project> held, ProjectSettings effective, RuleContext rulesFrom,
              CodeContext codesFrom)
      : project(std::move(held)),
        settings(std::move(effective)),
        rules{settings, rulesFrom.now, rulesFrom.floor, std::move(rulesFrom.activity)},
        codes{settings,      codesFrom.policy,   codesFrom.key,
              codesFrom.now, codesFrom.channels, codesFrom.destinations} {}
  CallContext(const CallContext&) = delete;
  CallContext& operator=(const CallContext&) = delete;

  std::shared_ptr<const Project> project;  // nullptr: no project answers to the user's client id
  // The project's settings, with the user's own limits in place of the project's.
  const ProjectSettings settings;
  RuleContext rules;  // its settings are `settings`
  CodeContext codes;
};

// A call on one user's records.
struct UserCall {
  // Decides on the records (and may change them through the edit). May run more than once: on
  // the records read afresh, after another instance changed them meanwhile. Returns false when
  // it did not find what it looks for and the records were held from before: they are then
  // read afresh and the call decided again, once, unless the store is not shared.
  std::function<bool(UserEdit& edit, const CallContext& context)> decide;
  // Once what it decided is stored (Failure::none), or could not be.
  std::function<void(Failure failure)> finish;

  int conflicts = 0;
  std::uint64_t wantsLoad = 0;  // decide only on records loaded after this many loads
};

class UserCache {
 public:
  // What the cache needs of the service around it.
  class Backend {
   public:
    virtual ~Backend() = default;
    // Reads a user's records on another thread, after `delay`; `done(nullopt, true)` when the
    // store failed.
    virtual void read(const UserKey& key, std::chrono::milliseconds delay,
                      std::function<void(std::optional<StoredUser> user, bool failed)> done) = 0;
    // Stores a unit on another thread.
    virtual void store(Unit unit, std::function<void(Unit& unit, bool failed)> done) = 0;
    // The context a user's calls are decided in now.
    virtual std::unique_ptr<CallContext> context(const UserRecord& user) = 0;
    // What the store said of the streams of `devices`, and that they are held no more.
    virtual void learned(const std::vector<std::string>& devices,
                         const std::unordered_map<std::string, StreamFacts>& streams) = 0;
    virtual void forgot(const std::vector<std::string>& devices) = 0;
    // Devices just written that the store said nothing of when the records were read.
    virtual void attached(const std::vector<std::string>& devices) = 0;
  };

  // `capacity` users held at most when idle (0: no bound); `shared`: other instances change the
  // records too.
  UserCache(Backend& backend, std::size_t capacity, bool shared);
  ~UserCache();
  UserCache(const UserCache&) = delete;
  UserCache& operator=(const UserCache&) = delete;

  // Queues `call` on the user's records; it is decided on the calling thread at once when they
  // are at hand and nothing of the user is under way.
  void submit(const UserKey& key, std::shared_ptr<UserCall> call);
  // The user a device or challenge id of a held user belongs to.
  std::optional<UserKey> ownerOf(const std::string& id) const;
  // Records just read for a reason of the caller's (a device looked up by id): held unless the
  // user's slot already holds some or is busy.
  void offer(StoredUser user);

  // Another instance changed the user's records to `version`.
  void heard(const UserKey& key, std::uint64_t version);
  // Every record held is to be read afresh.
  void dropAll();

  std::size_t size() const;
  std::uint64_t hits() const { return hits_; }
  std::uint64_t misses() const { return misses_; }
  std::uint64_t evictions() const { return evictions_; }
  std::uint64_t conflicts() const { return conflicts_; }
  // The records held, for the debugging dump (a copy of each).
  std::vector<UserRecord> held() const;

  // How many times a call is decided again after conflicts before it fails. After each, the
  // records are read again after a random pause of up to twice the last, from 1 ms to 16 ms, so
  // that instances racing on one user take turns rather than collide again at once.
  static constexpr int kMaxConflicts = 24;

 private:
  struct Slot {
    UserKey key;
    std::optional<UserRecord> record;
    std::uint64_t loads = 0;  // records loaded into the slot so far
    std::uint64_t epoch = 0;  // of the cache when its records were read
    std::uint64_t heard = 0;  // the newest version another instance told of
    bool busy = false;        // a thread reads, decides or stores for it
    bool fresh = false;       // its records were read and no call decided on them yet
    int conflicts = 0;        // conflicts in a row: the pause before the next read grows
    std::deque<std::shared_ptr<UserCall>> waiting;
    std::vector<std::shared_ptr<UserCall>> storing;
    std::list<Slot*>::iterator lru;
    bool inLru = false;
  };
  struct Shard {
    mutable std::mutex mutex;
    std::unordered_map<UserKey, std::unique_ptr<Slot>, UserKeyHash> slots;
    std::list<Slot*> lru;  // idle slots with records, the most recently used first
  };
  struct IndexShard {
    mutable std::mutex mutex;
    std::unordered_map<std::string, UserKey> owners;
  };

  Shard& shardOf(const UserKey& key);
  IndexShard& indexOf(const std::string& id) const;
  // Decides what waits in `slot`, which the calling thread holds (busy), until nothing does.
  void run(Slot* slot);
  void loaded(Slot* slot, std::optional<StoredUser> user, bool failed, std::uint64_t epoch);
  void stored(Slot* slot, Unit& unit, bool failed);
  // Makes `user` the slot's records.
  void install(Slot* slot, std::optional<StoredUser> user, std::uint64_t epoch);
  // Forgets the slot's records; with `shard` locked.
  void dropLocked(Slot* slot);
  void index(const UserKey& key, const std::vector<std::string>& ids);
  void unindex(const UserKey& key, const std::vector<std::string>& ids);
  static std::vector<std::string> idsOf(const UserRecord& record);

  Backend& backend_;
  const bool shared_;
  std::vector<std::unique_ptr<Shard>> shards_;
  std::size_t shardCapacity_ = 0;  // 0: no bound
  static constexpr std::size_t kIndexShards = 64;
  mutable IndexShard index_[kIndexShards];
  std::atomic<std::uint64_t> epoch_{1};
  std::atomic<std::uint64_t> hits_{0}, misses_{0}, evictions_{0}, conflicts_{0};
  std::atomic<std::size_t> size_{0};
};

}  // namespace zelk::server
