// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <zelk/export.hpp>
#include <zelk/platform.hpp>
#include <zelk/records.hpp>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace zelk {

/// Extra key-value data the host sends with attach and identify.
using Metadata = std::map<std::string, std::string>;

/// The client a host application creates once to protect its user accounts.
///
/// Threads: the host calls it from its main thread (attach, detach and identify may be called
/// from any thread and return at once). Service replies arrive on the library's HTTP thread
/// (the client's one network thread, which also runs its realtime stream); each callback below
/// says where it runs. Messages to the developer are single lines on
/// standard output beginning "[Zelk SDK]: ", unless the host routes them elsewhere with
/// `Logs::setSink`. No call throws.
///
/// Service calls: at most six run at once (the rest wait their turn); a call fails when its
/// reply is larger than 4 MiB, when it makes no progress for 60 s, or when it has not finished
/// after 120 s, and the failure is reported like any transport failure. A client ID, user ID or
/// metadata key holding a control character (a line break, say) fails every call that would
/// send it, at once, with a "[Zelk SDK]: " line and nothing sent. IDs the service hands out are
/// percent-encoded where they go into URLs.
class ZELK_EXPORT Zelk : public std::enable_shared_from_this<Zelk> {
 public:
  /// Makes a client for the project `clientID` and registers it for the two application lifecycle
  /// notifications: the current device is detached when the application will resign active and
  /// attached again when it becomes active. The registrations keep the client alive as long as
  /// the notification center lives. Makes no request.
  static std::shared_ptr<Zelk> create(std::string clientID, bool useViewController = false,
                                      Platform platform = {});
  ~Zelk();
  Zelk(const Zelk&) = delete;
  Zelk& operator=(const Zelk&) = delete;

  /// Sets (or clears) the signed-in user. Nothing else happens.
  void setUserID(std::optional<std::string> userID);

  /// Reports this device to the service for the current user. Without a user, prints
  /// "[Zelk SDK]: userID must not be nil." and does nothing else. `onComplete` receives the
  /// decoded reply on the HTTP thread, whatever its status; it is not called when the request
  /// fails or the reply does not decode.
  void attach(std::optional<Metadata> metadata = std::nullopt,
              std::function<void(const ZelkAttachResponse&)> onComplete = nullptr);

  /// Detaches `deviceID`, or the current device when none is given. `completion` gets nothing at
  /// once when there is no user or no device, nothing on the HTTP thread when the reply does not
  /// decode, and the reply on the main thread otherwise; it is not called when the request fails.
  /// When the reply names the current device, the client forgets its device ID and calls
  /// `onLogoutCurrentDevice` on the main thread before `completion`.
  void detach(std::optional<std::string> deviceID = std::nullopt,
              std::function<void(const std::optional<ZelkAttachResponse>&)> completion = nullptr);

  /// Asks the service to recognise this device and stores the identity it returns. `onCompletion`
  /// always runs once with exactly one of its arguments: the identity on the main thread, or a
  /// `ZelkError` ("Could not identify device", "Unable to decode device response") on the HTTP
  /// thread.
  void identify(
      std::optional<Metadata> metadata,
      std::function<void(const std::optional<ZelkDeviceIdentity>&, const std::optional<ZelkError>&)>
          onCompletion);

  /// What `devices` hands over: exactly one of the user's devices and a `ZelkError`.
  using DevicesCompletion = std::function<void(const std::optional<ZelkUserDevices>&,
                                               const std::optional<ZelkServiceError>&)>;
  /// What the sign-outs hand over: exactly one of the service's reply (its `deviceID` the
  /// device signed out) and a `ZelkServiceError`.
  using LogoutCompletion = std::function<void(const std::optional<ZelkAttachResponse>&,
                                              const std::optional<ZelkServiceError>&)>;

  /// Lists the signed-in user's devices, the current one marked `current`, with the project's
  /// cap on device changes when it has one. The current device (the device ID and the access of
  /// the last attach reply) vouches for the call. `onCompletion` always runs once: without a
  /// current device at once, before `devices` returns, with the `ZelkServiceError` "no device
  /// attached"; otherwise on the main thread with the list, or with a `ZelkServiceError` holding
  /// the service's refusal ("unknown access" for a device detached meanwhile, `status` 401;
  /// "unknown device", 404), "Could not load the devices" (no reply; the transport's reason is
  /// printed) or "Unable to decode devices response" (the decoding error is printed).
  void devices(DevicesCompletion onCompletion);

  /// Signs out `deviceID`, one of the signed-in user's devices, vouched for by the current
  /// device as for `devices`. When the reply names the current device, the client forgets its
  /// device ID and calls `onLogoutCurrentDevice` first, as `detach` does. `onCompletion` always
  /// runs once: at once with "no device attached" (no current device) or "no device to sign
  /// out" (an empty `deviceID`); otherwise on the main thread with the reply, or with a
  /// `ZelkServiceError` holding the service's refusal: "unknown device" (404, not a device of this
  /// user), "unknown access" (401), the service's sentence with `nextChangeAt` set (409, the
  /// project's cap on device changes is used up), or a 429 refusal; "Could not sign the device
  /// out" when no reply came, "Unable to decode logout response" when it did not decode.
  void logoutDevice(std::string deviceID, LogoutCompletion onCompletion);

  /// Signs out the device named by `code`, the short code of a new-device e-mail ("K7QM-2XD9";
  /// surrounding white space is dropped, the rest is sent as typed). As `logoutDevice`, with
  /// "no code given" at once for a code of white space only and "unknown code" (404) for a code
  /// the service does not know.
  void logoutDeviceWithCode(std::string_view code, LogoutCompletion onCompletion);

  /// Waits until every service call this client has sent (its challenge screens' calls
  /// included) has completed and its callback has returned, or until `timeout` has passed, for
  /// a host that is about to exit. True when none is left in flight; false on timeout, when the
  /// calls still pending go on as before (nothing is cancelled). Callbacks that hop to the main
  /// thread have only been queued there: the main thread runs them once it runs its queue again.
  /// Call it from any thread but the library's HTTP thread; from there it does not wait, and
  /// only reports whether nothing is in flight (a callback that is running counts).
  bool flush(std::chrono::milliseconds timeout);

  /// The service's ID of this device, from the last attach reply. Safe from any thread.
  std::optional<std::string> deviceID() const;

  /// The device identity kept in the preferences store, if any.
  std::optional<std::string> identity() const;

  /// Host callbacks: set and read them on the main thread. The library never calls
  /// `onLimitExceeded`; it calls the other two on the main thread.
  std::function<void(std::int64_t)> onLimitExceeded;
  /// Called when the service logs this device out (a realtime "logout" message, or a detach
  /// that names this device, or the user logging it out from a challenge): sign the user out.
  std::function<void()> onLogoutCurrentDevice;
  /// Called when the user chooses to create an account of their own on a challenge's entry
  /// screen: show the host's sign-up.
  std::function<void()> onCreateNewAccount;

  struct Impl;

 private:
  Zelk(std::string clientID, bool useViewController, Platform platform);
  explicit Zelk(std::shared_ptr<Impl> impl);
  void handleDetachReply(const ZelkAttachResponse& reply);  // main thread
  // `detach`, also handing a refusal of the service to `onRefusal` (on the HTTP thread, before
  // `completion`).
  void detach(std::optional<std::string> deviceID,
              std::function<void(const std::optional<ZelkAttachResponse>&)> completion,
              std::function<void(const ZelkServiceError&)> onRefusal);
  // Posts a sign-out naming its device by `key` ("target" or "code") with `value`.
  void sendLogout(const char* key, std::string value, LogoutCompletion onCompletion);

  std::shared_ptr<Impl> impl_;
  friend struct Impl;
  friend struct ZelkInternals;
};

}  // namespace zelk
