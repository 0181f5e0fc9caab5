// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <zelk/main_queue.hpp>

#include <nlohmann/json.hpp>

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace zelk {

/// The two HTTP methods the service uses.
enum class HTTPRequestType { post, get };

class Zelk;
struct ChallengeDetails;
struct ZelkAttachResponse;
struct ZelkServiceError;

namespace detail {

/// What the layers above the client see of it: where the service is, one way to call it, and
/// the host's main queue.
class ServiceClient {
 public:
  virtual ~ServiceClient() = default;

  /// The service's base URL, without a trailing slash.
  virtual const std::string& serviceURL() const = 0;

  /// Sends one service call with the library's headers and hands the raw reply bytes to
  /// `onCompletion` (on the HTTP thread, or at once when the request cannot be made).
  virtual void httpRequest(HTTPRequestType method, const std::string& url,
                           std::optional<nlohmann::json> body,
                           std::function<void(std::optional<std::string>)> onCompletion) = 0;

  /// The host's main queue.
  virtual const std::shared_ptr<MainQueue>& mainThread() const = 0;
};

/// The client as the challenge screens use it. Main thread.
class ScreenClient : public ServiceClient {
 public:
  /// The client through which verification-code requests go (kept alive by the caller).
  virtual std::shared_ptr<Zelk> codeRequests() = 0;
  /// Hands every challenge the client receives to `receiver` (on the main thread), replacing
  /// the receiver before.
  virtual void setChallengeReceiver(std::function<void(const ChallengeDetails&)> receiver) = 0;
  /// Takes down the challenge screen the client presented itself, if any.
  virtual void hideChallenge() = 0;
  /// `Zelk::detach` of `device`, also handing a refusal of the service to `onRefusal` (on the
  /// HTTP thread, before `completion`).
  virtual void detachDevice(
      const std::string& device,
      std::function<void(const std::optional<ZelkAttachResponse>&)> completion,
      std::function<void(const ZelkServiceError&)> onRefusal) = 0;
};

/// The screen side of `zelk`.
ScreenClient& screenClient(Zelk& zelk);

}  // namespace detail

}  // namespace zelk
