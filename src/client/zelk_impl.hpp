#pragma once

#include <zelk/client.hpp>

#include "platform/http_transport.hpp"

#include <nlohmann/json.hpp>

#include <functional>
#include <mutex>
#include <optional>
#include <string>

namespace zelk {

/// The two HTTP methods the service uses.
enum class HTTPRequestType { post, get };

/// The client's state and its private operations. Host callbacks live on `Zelk` itself.
struct Zelk::Impl {
  Impl(std::string clientID, bool useViewController, Platform platform);

  /// Sends one service call with the library's headers and hands the raw reply bytes to
  /// `onCompletion` (on the HTTP thread, or at once when the request cannot be made).
  void httpRequest(HTTPRequestType method, const std::string& url,
                   std::optional<nlohmann::json> body,
                   std::function<void(std::optional<std::string>)> onCompletion);

  /// The "device_info" object and the vendor identifier sent with attach and identify.
  nlohmann::json deviceInfo(const DeviceFacts& facts) const;
  static std::string vendorIdentifier(const DeviceFacts& facts);

  /// Called on the main queue after every decoded attach reply; the realtime stream starts here.
  void listenToRealtimeEvents(std::optional<std::string> accessId);

  std::optional<std::string> userID() const;
  std::optional<std::string> deviceID() const;
  void setDeviceID(std::optional<std::string> deviceID);

  const std::string baseURL;
  const std::optional<std::string> clientID;
  const bool useViewController;
  const std::shared_ptr<MainQueue> mainQueue;
  const std::shared_ptr<PreferencesStore> preferences;
  const std::function<DeviceFacts()> deviceFacts;
  detail::HttpTransport transport;

  mutable std::mutex mutex;  // guards the fields below, written and read on several threads
  std::optional<std::string> userID_;
  std::optional<std::string> deviceID_;
  std::optional<std::string> accessID_;  // of the last attach reply
};

/// Reaches a client's private state, for the library's own tools and tests.
struct ZelkInternals {
  static Zelk::Impl& of(Zelk& zelk) { return *zelk.impl_; }
  /// Service calls of `zelk` whose completion has not finished yet.
  static std::size_t requestsInFlight(Zelk& zelk) { return of(zelk).transport.inFlight(); }
};

/// The preferences key of the device identity.
inline constexpr const char* kIdentityKey = "dorvi_device_identity";

/// The service's default base URL.
inline constexpr const char* kDefaultBaseURL = "https://api.zelk.dev";

}  // namespace zelk
