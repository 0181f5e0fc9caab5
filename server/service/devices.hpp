// SPDX-License-Identifier: Apache-2.0
// The device rules, as plain functions over one user's records: attach, detach, the detach of
// devices gone quiet past their grace, logout orders, and what a stream being opened writes
// first.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "service/limits.hpp"
#include "service/user_edit.hpp"

namespace zelk::server {

// A challenge just raised, and the message each device of its user is to hear.
struct RaisedChallenge {
  std::string id;
  std::vector<Delivery> deliveries;
};

struct AttachInput {
  std::string project;  // the client id
  std::string user;
  std::string vendorId;
  nlohmann::json deviceInfo = nlohmann::json::object();
  nlohmann::json metadata = nlohmann::json::object();
  std::string library, version, identity;
  // Where the attach came from: nullopt when the server has no GeoIP database (the device keeps
  // what it had), an unknown Location when the database does not place the address.
  std::optional<Location> location;
  // What the app sent as the user's signature, when it sent one.
  std::optional<std::string> userSignature;
  // Whether the signature is right: set by the service, from the project's user secret.
  bool signedUser = false;
  // Devices the user may have attached at once, whatever the project's limits; 0: no bound.
  std::size_t maxDevices = 0;
};

struct AttachResult {
  std::string deviceId;
  std::string access;
  std::size_t attachedDevices = 0;
  bool blockOverUsage = false;
  int defaultDeviceLimit = 0;
  std::optional<RaisedChallenge> challenge;  // set when the attach took the user over a limit
  // The project blocks attaches at the limit and this one was refused: nothing was attached.
  bool blocked = false;
  // The user has `maxDevices` attached already and this attach of another was refused.
  bool full = false;
  // The logout orders of the devices the attach pushed out (the project evicts at the limit).
  std::vector<Delivery> evicted;
  // The logout orders of the user's devices gone quiet past their grace, detached first.
  std::vector<Delivery> expired;
};

struct DetachResult {
  bool found = false;
  std::string deviceId;
  std::size_t attachedDevices = 0;
  Delivery logout;  // the logout order for the streams the removed device still has open
  // Refused, the device kept: it would change the user's devices once more than the project's
  // cap allows; a change is allowed again then.
  std::optional<Clock::time_point> refusedUntil;
};

// loggedOut: the device was detached; the stream is to write its logout order (the catch-up)
// and end, or end at once when it resumes after that order.
enum class ListenCheck { ok, unknownDevice, unknownAccess, loggedOut };

// What a stream that is being opened writes first.
struct ListenStart {
  ListenCheck check = ListenCheck::unknownDevice;
  // The messages the stream writes before anything else: what it missed when it resumes, the
  // newest open challenge of the user when it is fresh.
  std::vector<Delivery> catchUp;
  // Messages up to this id are known to the stream once the catch-up is written.
  std::uint64_t upTo = 0;
};

// The data of a challenge notice and of a logout order.
std::string challengeNoticeData(const std::string& challengeId);
std::string logoutData();

// What the app's backend sends as the signature of `user` under the project's user secret: the
// HMAC-SHA256 of the user id, in lower-case hex.
std::string userSignature(const std::string& secret, const std::string& user);

enum class Signature { none, right, wrong };
// How the attach of `input.user` is signed. A signature counts only when the project has a user
// secret.
Signature checkSignature(const ProjectSettings& settings, const AttachInput& input);

// Attaches (or refreshes) the device `input.vendorId` of the user; takes `input` over: its
// documents become the device's without a copy. Devices gone quiet past their grace are
// detached first; then the project's limit policy decides.
AttachResult attachDevice(UserEdit& edit, AttachInput input, const RuleContext& context);
// Detaches device `deviceId`; found is false when the user has none of that id. `why` is what
// the webhook event tells: "detach" (the device asked), "operator" or "owner" (another device
// of the user signed it out).
DetachResult detachDevice(UserEdit& edit, const std::string& deviceId, const RuleContext& context,
                          const char* why = "detach");
// Detaches the devices whose grace is over, as a detach would; their logout orders.
std::vector<Delivery> expireDevices(UserEdit& edit, const RuleContext& context);
// Sends the logout order to device `deviceId`, keeping it for a stream that resumes; nullopt
// when the user has no such device.
std::optional<Delivery> sendLogout(UserEdit& edit, const std::string& deviceId,
                                   Clock::time_point now);

// Checks a listen request of a device of `user` and works out what the stream writes first.
// `resumeAfter` is the stream's Last-Event-ID when it has one this device's messages can
// continue from. A fresh stream hears the user's newest open challenge when
// `repeatOpenChallenges`.
ListenStart listenStart(const UserRecord& user, const std::string& deviceId,
                        const std::string& access, std::optional<std::uint64_t> resumeAfter,
                        bool repeatOpenChallenges);
// The same for a device detached lately, of `project`.
ListenStart listenDetached(const DetachedDevice& detached, const std::string& project,
                           const std::string& access, std::optional<std::uint64_t> resumeAfter);

}  // namespace zelk::server
