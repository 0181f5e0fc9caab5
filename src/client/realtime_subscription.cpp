// SPDX-License-Identifier: Apache-2.0
#include "client/realtime_subscription.hpp"

#include "client/json_reader.hpp"
#include "client/service_calls.hpp"
#include "client/url_text.hpp"
#include "client/zelk_impl.hpp"
#include "eventsource/event_source_on_loop.hpp"
#include "platform/console.hpp"

#include <algorithm>

namespace zelk {

namespace detail {

namespace {

RealtimeMessage decodeMessage(const nlohmann::json& value, const std::string& path) {
  const ObjectReader object(value, path);
  if (object.requiredString("action") != "challenge") {
    throw DecodeFailure("\"action\" is not a known action");
  }
  RealtimeMessage message;
  message.challengeID =
      object.optional("challenge", [](const nlohmann::json& challenge, const std::string& at) {
        return ObjectReader(challenge, at).requiredString("_id");
      });
  return message;
}

// Receives the stream's calls for a client, without keeping the client alive.
class RealtimeHandler final : public EventHandler {
 public:
  explicit RealtimeHandler(std::weak_ptr<Zelk> zelk) : zelk_(std::move(zelk)) {}

  void onOpened() override {}
  void onClosed() override {}
  void onComment(std::string_view) override {}
  void onMessage(std::string_view, const MessageEvent& event) override {
    if (auto zelk = zelk_.lock()) ZelkInternals::of(*zelk).onRealtimeMessage(event);
  }
  void onError(const StreamError& error) override { printSDKMessage(error.description); }

 private:
  std::weak_ptr<Zelk> zelk_;
};

}  // namespace

std::optional<RealtimeMessage> decodeRealtimeMessage(std::string_view json, std::string* error) {
  return decodeText(json, error, decodeMessage);
}

std::string listenURL(std::string_view baseURL, std::string_view deviceID,
                      std::string_view accessID, std::string_view clientID) {
  // The service's values are encoded as what they are, a path segment and a query value, so that
  // they cannot reshape the URL; the rest is encoded with the query characters as a whole.
  std::string url = percentEncodeQuery(std::string(baseURL) + "/v2/access/device/");
  url.append(percentEncodePathSegment(deviceID));
  url.append("/listen?access=").append(percentEncodeQueryValue(accessID));
  url.append(percentEncodeQuery("&auth=" + basicAuthorization(clientID)));
  return url;
}

}  // namespace detail

void Zelk::Impl::listenToRealtimeEvents(std::optional<std::string> accessId) {
  logoutReported = false;  // a new session of this device
  {
    // The new session's stream may name the challenge again; it is then shown again.
    std::lock_guard lock(mutex);
    challengesDelivered_.clear();
  }
  const auto device = deviceID();
  if (!clientID || !device) return;
  const std::string url = detail::listenURL(baseURL, *device, accessId.value_or(""), *clientID);
  if (!detail::HttpTransport::isValidURL(url)) return;
  EventSource::Config config(std::make_shared<detail::RealtimeHandler>(self), url);
  config.caFile = caFile;
  // One stream at a time: the old one ends and is let go before the new one starts, in one task
  // on the network thread, so that the main thread neither waits for it nor wakes it twice.
  detail::EventSourceOnLoop::replace(eventSource, std::move(config), transport->loop());
}

void Zelk::Impl::onRealtimeMessage(const MessageEvent& event) {
  if (event.data == "\"logout\"") {
    mainQueue->post([weak = self] {
      if (auto zelk = weak.lock()) ZelkInternals::of(*zelk).logOutCurrentDevice();
    });
    return;
  }
  const auto message = detail::decodeRealtimeMessage(event.data);
  if (!message || !message->challengeID) return;
  const std::string id = *message->challengeID;
  {
    std::lock_guard lock(mutex);
    if (challengesFetching_.contains(id) ||
        std::find(challengesDelivered_.begin(), challengesDelivered_.end(), id) !=
            challengesDelivered_.end()) {
      return;
    }
    challengesFetching_.insert(id);
  }
  detail::getChallenge(
      *this, id,
      [weak = self, mainQueue = mainQueue, id](const ChallengeDetails& details) {
        if (auto zelk = weak.lock()) {
          auto& impl = ZelkInternals::of(*zelk);
          std::lock_guard lock(impl.mutex);
          impl.challengesDelivered_.push_back(id);
          if (impl.challengesDelivered_.size() > kRememberedChallenges) {
            impl.challengesDelivered_.pop_front();
          }
        }
        mainQueue->post([weak, details] {
          auto zelk = weak.lock();
          if (!zelk) return;
          auto& impl = ZelkInternals::of(*zelk);
          if (impl.onChallenge) impl.onChallenge(details);
          impl.showChallengeViewControllerIfNeeded(&details);
        });
      },
      [weak = self, id] {
        if (auto zelk = weak.lock()) {
          auto& impl = ZelkInternals::of(*zelk);
          std::lock_guard lock(impl.mutex);
          impl.challengesFetching_.erase(id);
        }
      });
}

}  // namespace zelk
