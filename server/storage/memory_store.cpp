// SPDX-License-Identifier: Apache-2.0
#include <algorithm>
#include <deque>
#include <mutex>

#include "storage/store.hpp"

namespace zelk::server {
namespace {

class MemoryStore final : public Store {
 public:
  std::string describe() const override { return "memory"; }
  Dataset load() override { return {}; }

  void commit(const Changes& changes) override {
    if (changes.outbox.empty() && changes.audit.empty()) return;
    std::lock_guard lock(mutex_);
    writeLocked(changes);
  }

  void commitAll(const std::vector<Changes>& batch) override {
    std::lock_guard lock(mutex_);
    for (const Changes& changes : batch) writeLocked(changes);
  }

  std::vector<OutboxMessage> dueMessages(Clock::time_point now, std::size_t max) override {
    std::lock_guard lock(mutex_);
    std::vector<OutboxMessage> due;
    for (const OutboxMessage& message : outbox_) {
      if (message.state == OutboxState::pending && message.nextAttemptAt <= now)
        due.push_back(message);
    }
    std::stable_sort(due.begin(), due.end(), [](const auto& a, const auto& b) {
      return a.nextAttemptAt < b.nextAttemptAt;
    });
    if (due.size() > max) due.resize(max);
    return due;
  }

  std::optional<Clock::time_point> nextDue() override {
    std::lock_guard lock(mutex_);
    std::optional<Clock::time_point> next;
    for (const OutboxMessage& message : outbox_) {
      if (message.state == OutboxState::pending && (!next || message.nextAttemptAt < *next))
        next = message.nextAttemptAt;
    }
    return next;
  }

  void updateMessage(const OutboxMessage& message) override {
    std::lock_guard lock(mutex_);
    for (OutboxMessage& kept : outbox_) {
      if (kept.id == message.id) kept = message;
    }
  }

  std::vector<OutboxMessage> messages(std::optional<OutboxState> state, std::size_t max) override {
    std::lock_guard lock(mutex_);
    std::vector<OutboxMessage> found;
    for (auto it = outbox_.rbegin(); it != outbox_.rend() && found.size() < max; ++it) {
      if (!state || it->state == *state) found.push_back(*it);
    }
    return found;
  }

  void purgeMessages(Clock::time_point doneBefore, Clock::time_point failedBefore) override {
    std::lock_guard lock(mutex_);
    std::erase_if(outbox_, [&](const OutboxMessage& m) {
      return (m.state == OutboxState::done && m.nextAttemptAt < doneBefore) ||
             (m.state == OutboxState::failed && m.nextAttemptAt < failedBefore);
    });
  }

  void setAuditRetention(AuditRetention retention) override {
    std::lock_guard lock(mutex_);
    retention_ = retention;
  }

  std::vector<AuditEntry> auditEntries(const std::string& project, std::uint64_t before,
                                       std::size_t max) override {
    std::lock_guard lock(mutex_);
    std::vector<AuditEntry> found;
    for (auto it = audit_.rbegin(); it != audit_.rend() && found.size() < max; ++it) {
      if ((before == 0 || it->seq < before) && (project.empty() || it->project == project))
        found.push_back(*it);
    }
    return found;
  }

 private:
  void writeLocked(const Changes& changes) {
    outbox_.insert(outbox_.end(), changes.outbox.begin(), changes.outbox.end());
    for (AuditEntry entry : changes.audit) {
      entry.seq = ++lastSeq_;
      audit_.push_back(std::move(entry));
    }
    if (changes.audit.empty()) return;
    while (audit_.size() > retention_.keep) audit_.pop_front();
    const auto oldest = Clock::now() - retention_.maxAge;
    while (!audit_.empty() && audit_.front().at < oldest) audit_.pop_front();
  }

  std::mutex mutex_;
  std::vector<OutboxMessage> outbox_;
  std::deque<AuditEntry> audit_;
  std::uint64_t lastSeq_ = 0;
  AuditRetention retention_;
};

}  // namespace

std::unique_ptr<Store> makeMemoryStore() {
  return std::make_unique<MemoryStore>();
}

}  // namespace zelk::server
