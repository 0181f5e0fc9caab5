// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <zelk/challenge.hpp>
#include <zelk/client.hpp>
#include <zelk/event_source.hpp>

#include "client/service_client.hpp"
#include "platform/http_transport.hpp"

#include <nlohmann/json.hpp>

#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>

namespace zelk {

class ZelkContainer;

namespace detail {

/// Whether `text` holds a C0 control character or DEL: such a text must never reach a header,
/// a URL or a JSON key, where a line break would let it forge a header or a request.
inline bool hasControlCharacters(std::string_view text) {
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) return true;
  }
  return false;
}

/// The first object key in `value` (at any depth) that holds a control character, if any.
std::optional<std::string> keyWithControlCharacters(const nlohmann::json& value);

/// What an attach posts: the device facts, the signals, the user and the metadata.
struct AttachBody {
  const DeviceFacts& facts;
  const std::string& vendorIdentifier;
  const std::string& user;
  const std::optional<std::string>& identity;
  const std::optional<std::map<std::string, std::string>>& metadata;
};

/// Appends `body` to `out` as JSON, byte for byte as the JSON library writes the same object
/// (members in key order, the same escapes), without building the object first. Throws the JSON
/// library's exception for a text that is not valid UTF-8, as the library does.
void writeAttachBody(const AttachBody& body, std::string& out);

}  // namespace detail

/// The client's state and its private operations. Host callbacks live on `Zelk` itself.
struct Zelk::Impl final : detail::ScreenClient {
  Impl(std::string clientID, bool useViewController, Platform platform);
  /// A client's state that sends through `transport` instead of a transport of its own.
  Impl(std::string clientID, const Impl& sharing);

  /// Sends one service call with the library's headers and hands the raw reply bytes to
  /// `onCompletion` (on the HTTP thread, or at once when the request cannot be made).
  void httpRequest(HTTPRequestType method, const std::string& url,
                   std::optional<nlohmann::json> body,
                   std::function<void(std::optional<std::string>)> onCompletion) override;

  /// Writes a request body into its argument; false, having printed why, when there is none to
  /// send.
  using BodyWriter = std::function<bool(std::string&)>;
  /// `httpRequest` with a body written by `writeBody` (none when it is empty), once the request
  /// has passed the checks before it.
  void send(HTTPRequestType method, const std::string& url, const BodyWriter& writeBody,
            std::function<void(std::optional<std::string>)> onCompletion);
  /// `send`, handing over the whole result: the reply bytes with the HTTP status. A request
  /// that cannot be made completes at once with neither.
  void exchange(HTTPRequestType method, const std::string& url, const BodyWriter& writeBody,
                std::function<void(detail::HttpResult)> onResult);
  /// POSTs `body` to `url` through `exchange`, after the same checks as `httpRequest`.
  void postJson(const std::string& url, nlohmann::json body,
                std::function<void(detail::HttpResult)> onResult);

  /// POSTs `body` (the current device and its access, plus `extra`) to `path` for one of the
  /// calls about the user's own devices. False, sending nothing, without a current device and
  /// access.
  bool postAsCurrentDevice(const char* path, nlohmann::json extra,
                           std::function<void(detail::HttpResult)> onResult);

  /// Detaches `device`, handing `completion` the decoded reply or the service's refusal (both
  /// absent when no reply arrived), on the HTTP thread. Prints "[Zelk SDK]: " lines for
  /// replies that do not decode, with the service's "error" text when it gave one.
  void postDetach(
      const std::string& device, const std::string& user,
      std::function<void(std::optional<ZelkAttachResponse>, std::optional<ZelkServiceError>)>
          completion);

  const std::string& serviceURL() const override { return baseURL; }
  const std::shared_ptr<MainQueue>& mainThread() const override { return mainQueue; }
  std::shared_ptr<Zelk> codeRequests() override { return codeRequestClient(); }
  void setChallengeReceiver(std::function<void(const ChallengeDetails&)> receiver) override {
    onChallenge = std::move(receiver);
  }
  void hideChallenge() override { hideChallengeViewControllerIfNeeded(); }
  void detachDevice(const std::string& device,
                    std::function<void(const std::optional<ZelkAttachResponse>&)> completion,
                    std::function<void(const ZelkServiceError&)> onRefusal) override;

  /// The "device_info" object and the vendor identifier sent with attach and identify.
  nlohmann::json deviceInfo(const DeviceFacts& facts) const;
  static std::string vendorIdentifier(const DeviceFacts& facts);

  /// (Re)opens the realtime stream of the current device. Main thread.
  void listenToRealtimeEvents(std::optional<std::string> accessId);
  /// Handles one realtime message. The stream's thread.
  void onRealtimeMessage(const MessageEvent& event);

  /// Ends this device's session after a logout, whichever way it came: stops the stream, tells
  /// the host (once per attached session) and hides the client's own challenge screen. Main
  /// thread.
  void logOutCurrentDevice();

  /// Presents a challenge container of the client's own in presented mode, showing `challenge`
  /// (the challenge just delivered, when there is one) from the start. Main thread.
  void showChallengeViewControllerIfNeeded(const ChallengeDetails* challenge = nullptr);
  /// Dismisses it again. Main thread.
  void hideChallengeViewControllerIfNeeded();

  /// The client through which verification-code requests go: made on first use and kept, with
  /// the placeholder client ID, this client's platform and transport, and no lifecycle
  /// observers. Main thread.
  std::shared_ptr<Zelk> codeRequestClient();

  std::optional<std::string> userID() const;
  std::optional<std::string> deviceID() const;
  /// The access of the current device from the last attach reply; forgotten with the device.
  std::optional<std::string> access() const;
  /// Sets the current device and its access in one step.
  void setCurrentDevice(std::optional<std::string> deviceID, std::optional<std::string> access);

  const std::string baseURL;
  const std::optional<std::string> clientID;
  const bool useViewController;
  const std::shared_ptr<MainQueue> mainQueue;
  const std::shared_ptr<PreferencesStore> preferences;
  const std::function<DeviceFacts()> deviceFacts;
  const std::shared_ptr<ChallengePresenter> presenter;
  const std::string caFile;
  const std::shared_ptr<detail::HttpTransport> transport;  // shared with `codeRequestClient`
  std::weak_ptr<Zelk> self;                                // the client this state belongs to

  // Main thread only.
  std::shared_ptr<EventSource> eventSource;
  std::function<void(const ChallengeDetails&)> onChallenge;
  std::shared_ptr<ZelkContainer> challengeViewController;
  bool challengePresented = false;   // the presenter showed `challengeViewController`
  bool logoutReported = false;       // the host heard of a logout since the last attach reply
  std::shared_ptr<Zelk> codeClient;  // see codeRequestClient()

  mutable std::mutex mutex;  // guards the fields below, written and read on several threads
  std::optional<std::string> userID_;
  std::optional<std::string> deviceID_;
  std::optional<std::string> access_;
  // Challenge messages may repeat, in bursts: each challenge is fetched once at a time, and one
  // already handed to the host is not fetched again until the next stream session. The last
  // `kRememberedChallenges` handed over are remembered, oldest first.
  std::set<std::string> challengesFetching_;
  std::deque<std::string> challengesDelivered_;
  static constexpr std::size_t kRememberedChallenges = 64;
};

/// Reaches a client's private state, for the library's own tools and tests.
struct ZelkInternals {
  static Zelk::Impl& of(Zelk& zelk) { return *zelk.impl_; }
  /// Service calls of `zelk` whose completion has not finished yet.
  static std::size_t requestsInFlight(Zelk& zelk) { return of(zelk).transport->inFlight(); }
};

/// The preferences key of the device identity.
inline constexpr const char* kIdentityKey = "dorvi_device_identity";

/// The client ID of the client that sends verification-code requests.
inline constexpr const char* kPlaceholderClientID = "5B3F2E9A-7C41-4D8E-9A06-1F2C3B4D5E6F";

/// The service's default base URL.
inline constexpr const char* kDefaultBaseURL = "https://api.zelk.dev";

}  // namespace zelk
