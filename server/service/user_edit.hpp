// SPDX-License-Identifier: Apache-2.0
// What the rules change of one user's records while they decide, gathered for the store: the
// rules change the records in place and say what they touched; finish() turns that into the
// rows to write, each device and challenge once however often it was touched.
#pragma once

#include <set>
#include <string>

#include "storage/records.hpp"
#include "storage/store.hpp"

namespace zelk::server {

class UserEdit {
 public:
  explicit UserEdit(UserRecord& user) : user_(user) {}

  UserRecord& user() { return user_; }
  const UserRecord& user() const { return user_; }
  Changes& changes() { return changes_; }

  void touchDevice(const std::string& id) { devices_.insert(id); }
  void touchChallenge(const std::string& id) { challenges_.insert(id); }
  void profileChanged() { touched_ = true; }
  // Sends `data` to `device` as its next message: kept for a stream that resumes, and with it
  // the older ones it no longer keeps let go. Returns the message's delivery.
  Delivery send(Device& device, const std::string& data, Clock::time_point sentAt);
  // Removes device `id` (which the user must have), remembering it for a stream that comes
  // back: `logoutId` is the event id of its logout order there.
  void removeDevice(const std::string& id, std::uint64_t logoutId, Clock::time_point at);

  // Whether anything was changed.
  bool changed() const;
  // The changes to write: every touched device and challenge as it is now.
  Changes finish();

 private:
  UserRecord& user_;
  Changes changes_;
  std::set<std::string> devices_, challenges_;
  bool touched_ = false;
};

// Adds the webhook event `type` about `subject` to the outbox when the project has a webhook.
void addEvent(Changes& changes, const std::string& project, const ProjectSettings& settings,
              const char* type, nlohmann::json subject);
// Adds a security event to the audit trail.
void addAudit(Changes& changes, const std::string& project, std::string kind, std::string subject,
              nlohmann::json detail = nlohmann::json::object());

}  // namespace zelk::server
