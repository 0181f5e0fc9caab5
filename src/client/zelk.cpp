// SPDX-License-Identifier: Apache-2.0
#include <zelk/client.hpp>
#include <zelk/run_loop.hpp>

#include "client/json_reader.hpp"
#include "client/records_json.hpp"
#include "client/url_text.hpp"
#include "client/zelk_impl.hpp"
#include "platform/console.hpp"
#include "platform/curl_loop.hpp"

#include <algorithm>
#include <utility>

namespace zelk {

using nlohmann::json;

namespace {

// The library identifies itself to the service with these fixed values.
constexpr const char* kLibraryName = "swift";
constexpr const char* kLibraryVersion = "3.0.2";

std::shared_ptr<PreferencesStore> defaultPreferences() {
  static const auto store = PreferencesStore::defaultStore();
  return store;
}

// This machine's facts cannot change while the process runs, so the files behind them are read
// once; the vendor identifier stays stable, or is made anew per request when the machine has none.
DeviceFacts cachedDeviceFacts() {
  static const DeviceFacts facts = currentDeviceFacts();
  return facts;
}

json metadataJson(const std::optional<Metadata>& metadata) {
  if (!metadata) return json::array();
  json object = json::object();
  for (const auto& [key, value] : *metadata) object[key] = value;
  return object;
}

}  // namespace

namespace detail {

std::optional<std::string> keyWithControlCharacters(const nlohmann::json& value) {
  if (value.is_object()) {
    for (const auto& [key, member] : value.items()) {
      if (hasControlCharacters(key)) return key;
      if (auto found = keyWithControlCharacters(member)) return found;
    }
  } else if (value.is_array()) {
    for (const auto& member : value) {
      if (auto found = keyWithControlCharacters(member)) return found;
    }
  }
  return std::nullopt;
}

ScreenClient& screenClient(Zelk& zelk) {
  return ZelkInternals::of(zelk);
}

namespace {

// `text` as a JSON string. Printable ASCII without quotes or backslashes, the common case, is
// copied; anything else is left to the JSON library, for its escapes and its UTF-8 check.
void appendJsonString(std::string& out, std::string_view text) {
  const bool plain = std::all_of(text.begin(), text.end(), [](char c) {
    return c >= 0x20 && c < 0x7F && c != '"' && c != '\\';
  });
  if (plain) {
    out.push_back('"');
    out.append(text);
    out.push_back('"');
  } else {
    out.append(json(text).dump());
  }
}

}  // namespace

void writeAttachBody(const AttachBody& body, std::string& out) {
  // The members in the order the JSON library keeps them: by key, byte by byte.
  const DeviceFacts& facts = body.facts;
  const bool tablet = facts.model.find("iPad") != std::string::npos;
  out.append(R"({"device_info":{"device":{"model":)");
  appendJsonString(out, facts.model);
  out.append(R"(,"type":)");
  appendJsonString(out, text(tablet ? ZelkDeviceType::tablet : ZelkDeviceType::mobile));
  out.append(R"(,"vendor":"Apple"},"os":{"name":)");
  appendJsonString(out, facts.systemName);
  out.append(R"(,"version":)");
  appendJsonString(out, facts.systemVersion);
  out.append("}}");
  if (body.identity) {
    out.append(R"(,"identity":)");
    appendJsonString(out, *body.identity);
  }
  out.append(R"(,"library":)");
  appendJsonString(out, kLibraryName);
  out.append(R"(,"metadata":)");
  if (!body.metadata) {
    out.append("[]");
  } else {
    out.push_back('{');
    bool first = true;
    for (const auto& [key, value] : *body.metadata) {
      if (!std::exchange(first, false)) out.push_back(',');
      appendJsonString(out, key);
      out.push_back(':');
      appendJsonString(out, value);
    }
    out.push_back('}');
  }
  out.append(R"(,"signals":{"iosVendorIdentifier":)");
  appendJsonString(out, body.vendorIdentifier);
  out.append(R"(},"user":)");
  appendJsonString(out, body.user);
  out.append(R"(,"version":)");
  appendJsonString(out, kLibraryVersion);
  out.push_back('}');
}

}  // namespace detail

Zelk::Impl::Impl(std::string clientID, bool useViewController, Platform platform)
    : baseURL(platform.baseURL.empty() ? std::string(kDefaultBaseURL)
                                       : std::move(platform.baseURL)),
      clientID(clientID.empty() ? std::nullopt : std::optional(std::move(clientID))),
      useViewController(useViewController),
      mainQueue(platform.mainQueue ? std::move(platform.mainQueue) : RunLoop::main()),
      preferences(platform.preferences ? std::move(platform.preferences) : defaultPreferences()),
      deviceFacts(platform.deviceFacts ? std::move(platform.deviceFacts) : cachedDeviceFacts),
      presenter(std::move(platform.presenter)),
      caFile(std::move(platform.caFile)),
      transport(std::make_shared<detail::HttpTransport>(
          std::make_shared<detail::CurlLoop>("zelk-network"),
          detail::HttpTransport::Options{caFile})) {}

Zelk::Impl::Impl(std::string clientID, const Impl& sharing)
    : baseURL(sharing.baseURL),
      clientID(std::move(clientID)),
      useViewController(false),
      mainQueue(sharing.mainQueue),
      preferences(sharing.preferences),
      deviceFacts(sharing.deviceFacts),
      caFile(sharing.caFile),
      transport(sharing.transport) {}

void Zelk::Impl::httpRequest(HTTPRequestType method, const std::string& url,
                             std::optional<json> body,
                             std::function<void(std::optional<std::string>)> onCompletion) {
  BodyWriter writeBody;
  if (body) {
    writeBody = [&body](std::string& out) {
      if (auto key = detail::keyWithControlCharacters(*body)) {
        detail::printSDKMessage("keys of a request body must not contain control characters.");
        return false;
      }
      try {
        out = body->dump();
      } catch (const json::exception& error) {
        detail::printSDKMessage(error.what());
        return false;
      }
      return true;
    };
  }
  send(method, url, writeBody, std::move(onCompletion));
}

void Zelk::Impl::send(HTTPRequestType method, const std::string& url, const BodyWriter& writeBody,
                      std::function<void(std::optional<std::string>)> onCompletion) {
  exchange(method, url, writeBody,
           [onCompletion = std::move(onCompletion)](detail::HttpResult result) {
             if (onCompletion) onCompletion(std::move(result.data));
           });
}

void Zelk::Impl::postJson(const std::string& url, json body,
                          std::function<void(detail::HttpResult)> onResult) {
  auto writeBody = [&body](std::string& out) {
    if (detail::keyWithControlCharacters(body)) {
      detail::printSDKMessage("keys of a request body must not contain control characters.");
      return false;
    }
    try {
      out = body.dump();
    } catch (const json::exception& error) {
      detail::printSDKMessage(error.what());
      return false;
    }
    return true;
  };
  exchange(HTTPRequestType::post, url, writeBody, std::move(onResult));
}

void Zelk::Impl::exchange(HTTPRequestType method, const std::string& url,
                          const BodyWriter& writeBody,
                          std::function<void(detail::HttpResult)> onResult) {
  auto complete = [&onResult](std::optional<std::string>) {
    if (onResult) onResult(detail::HttpResult{});
  };
  if (!clientID) {
    detail::printSDKMessage("clientID must not be nil.");
    return complete(std::nullopt);
  }
  // A line break in the client ID would end the Authorization header and start one of its own.
  if (detail::hasControlCharacters(*clientID)) {
    detail::printSDKMessage("clientID must not contain control characters.");
    return complete(std::nullopt);
  }
  if (detail::hasControlCharacters(url)) {
    detail::printSDKMessage("the request URL must not contain control characters.");
    return complete(std::nullopt);
  }
  if (!detail::HttpTransport::isValidURL(url)) return complete(std::nullopt);
  std::optional<std::string> body;
  if (writeBody && !writeBody(body.emplace())) return complete(std::nullopt);

  detail::HttpRequest request;
  request.method = method == HTTPRequestType::post ? "POST" : "GET";
  request.url = url;
  request.headers = {"Content-Type: application/json", "Accept: application/json",
                     "Authorization: " + detail::basicAuthorization(*clientID)};
  request.body = std::move(body);
  transport->send(std::move(request), [onResult = std::move(onResult)](detail::HttpResult result) {
    if (!result.error.empty()) detail::printSDKMessage(result.error);
    if (onResult) onResult(std::move(result));
  });
}

json Zelk::Impl::deviceInfo(const DeviceFacts& facts) const {
  const bool tablet = facts.model.find("iPad") != std::string::npos;
  return {{"os", {{"name", facts.systemName}, {"version", facts.systemVersion}}},
          {"device",
           {{"vendor", "Apple"},
            {"model", facts.model},
            {"type", text(tablet ? ZelkDeviceType::tablet : ZelkDeviceType::mobile)}}}};
}

std::string Zelk::Impl::vendorIdentifier(const DeviceFacts& facts) {
  return facts.identifierForVendor ? *facts.identifierForVendor : randomUUID();
}

std::optional<std::string> Zelk::Impl::userID() const {
  std::lock_guard lock(mutex);
  return userID_;
}

std::optional<std::string> Zelk::Impl::deviceID() const {
  std::lock_guard lock(mutex);
  return deviceID_;
}

std::optional<std::string> Zelk::Impl::access() const {
  std::lock_guard lock(mutex);
  return access_;
}

void Zelk::Impl::setCurrentDevice(std::optional<std::string> deviceID,
                                  std::optional<std::string> access) {
  std::lock_guard lock(mutex);
  deviceID_ = std::move(deviceID);
  access_ = std::move(access);
}

Zelk::Zelk(std::string clientID, bool useViewController, Platform platform)
    : impl_(std::make_shared<Impl>(std::move(clientID), useViewController, std::move(platform))) {}

Zelk::Zelk(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}

std::shared_ptr<Zelk> Zelk::Impl::codeRequestClient() {
  if (!codeClient) {
    codeClient.reset(new Zelk(std::make_shared<Impl>(kPlaceholderClientID, *this)));
    codeClient->impl_->self = codeClient;
  }
  return codeClient;
}

Zelk::~Zelk() = default;

std::shared_ptr<Zelk> Zelk::create(std::string clientID, bool useViewController,
                                   Platform platform) {
  auto notifications =
      platform.notifications ? platform.notifications : NotificationCenter::defaultCenter();
  std::shared_ptr<Zelk> zelk(new Zelk(std::move(clientID), useViewController, std::move(platform)));
  zelk->impl_->self = zelk;
  // The registrations hold the client: it lives as long as the notification center.
  notifications->addObserver(AppNotification::willResignActive, [zelk] { zelk->detach(); });
  notifications->addObserver(AppNotification::didBecomeActive, [zelk] { zelk->attach(); });
  return zelk;
}

void Zelk::setUserID(std::optional<std::string> userID) {
  std::lock_guard lock(impl_->mutex);
  impl_->userID_ = std::move(userID);
}

bool Zelk::flush(std::chrono::milliseconds timeout) {
  return impl_->transport->waitUntilIdle(timeout);
}

std::optional<std::string> Zelk::deviceID() const {
  return impl_->deviceID();
}

std::optional<std::string> Zelk::identity() const {
  return impl_->preferences->string(kIdentityKey);
}

void Zelk::attach(std::optional<Metadata> metadata,
                  std::function<void(const ZelkAttachResponse&)> onComplete) {
  const auto userID = impl_->userID();
  if (!userID) {
    detail::printSDKMessage("userID must not be nil.");
    return;
  }
  if (detail::hasControlCharacters(*userID)) {
    detail::printSDKMessage("userID must not contain control characters.");
    return;
  }
  const DeviceFacts facts = impl_->deviceFacts();
  const std::string vendorIdentifier = Impl::vendorIdentifier(facts);
  const std::optional<std::string> identity = impl_->preferences->string(kIdentityKey);
  // The body is written straight into its text: the same bytes as building the JSON object and
  // serialising it, for a fraction of the work.
  auto writeBody = [&](std::string& out) {
    if (metadata) {
      for (const auto& [key, value] : *metadata) {
        if (detail::hasControlCharacters(key)) {
          detail::printSDKMessage("keys of a request body must not contain control characters.");
          return false;
        }
      }
    }
    try {
      detail::writeAttachBody({facts, vendorIdentifier, *userID, identity, metadata}, out);
    } catch (const json::exception& error) {
      detail::printSDKMessage(error.what());
      return false;
    }
    return true;
  };

  impl_->send(HTTPRequestType::post, impl_->baseURL + "/v2/access", writeBody,
              [weakImpl = std::weak_ptr(impl_),
               onComplete = std::move(onComplete)](std::optional<std::string> data) {
                if (!data) return;
                auto reply = ZelkAttachResponse::decode(*data);
                if (!reply) return;
                if (auto impl = weakImpl.lock()) {
                  // The subscription reads the device ID, so it is stored before the hop.
                  // Device and access change together: a call made on another thread in
                  // between must never see the one without the other.
                  impl->setCurrentDevice(reply->deviceID, reply->access);
                  // The hop also carries this reference, so that a client dropped
                  // meanwhile is destroyed on the main thread, never here.
                  auto queue = impl->mainQueue;
                  queue->post([impl = std::move(impl), access = reply->access] {
                    if (impl.use_count() > 1) impl->listenToRealtimeEvents(access);
                  });
                }
                if (onComplete) onComplete(*reply);
              });
}

void Zelk::detach(std::optional<std::string> deviceID,
                  std::function<void(const std::optional<ZelkAttachResponse>&)> completion) {
  detach(std::move(deviceID), std::move(completion), nullptr);
}

void Zelk::detach(std::optional<std::string> deviceID,
                  std::function<void(const std::optional<ZelkAttachResponse>&)> completion,
                  std::function<void(const ZelkServiceError&)> onRefusal) {
  auto complete = [&completion](const std::optional<ZelkAttachResponse>& reply) {
    if (completion) completion(reply);
  };
  const auto userID = impl_->userID();
  if (!userID) return complete(std::nullopt);
  if (detail::hasControlCharacters(*userID)) {
    detail::printSDKMessage("userID must not contain control characters.");
    return complete(std::nullopt);
  }
  const auto device = deviceID ? std::move(deviceID) : impl_->deviceID();
  if (!device) {
    detail::printSDKMessage("no device to detach");
    return complete(std::nullopt);
  }

  impl_->postDetach(
      *device, *userID,
      [weakSelf = weak_from_this(), mainQueue = impl_->mainQueue,
       completion = std::move(completion),
       onRefusal = std::move(onRefusal)](std::optional<ZelkAttachResponse> reply,
                                         std::optional<ZelkServiceError> refusal) mutable {
        if (refusal && onRefusal) onRefusal(*refusal);
        if (!reply) {
          if (completion) completion(std::nullopt);
          return;
        }
        mainQueue->post([weakSelf, reply = std::move(*reply), completion = std::move(completion)] {
          if (auto self = weakSelf.lock()) self->handleDetachReply(reply);
          if (completion) completion(reply);
        });
      });
}

void Zelk::Impl::postDetach(
    const std::string& device, const std::string& user,
    std::function<void(std::optional<ZelkAttachResponse>, std::optional<ZelkServiceError>)>
        completion) {
  json body = {{"device", device}, {"user", user}};
  postJson(baseURL + "/v2/access/detach", std::move(body),
           [completion = std::move(completion)](detail::HttpResult result) {
             // No reply at all (the request failed, or could not be made) ends the call silently.
             if (!result.data) return;
             std::string error;
             auto reply = ZelkAttachResponse::decode(*result.data, &error);
             if (reply) return completion(std::move(reply), std::nullopt);
             // A refusal says why in its "error" text, which tells the developer more than the
             // member the reply lacks.
             auto refusal = detail::decodeRefusal(*result.data, result.status);
             detail::printSDKMessage(refusal ? refusal->message : error);
             completion(std::nullopt, std::move(refusal));
           });
}

void Zelk::Impl::detachDevice(
    const std::string& device,
    std::function<void(const std::optional<ZelkAttachResponse>&)> completion,
    std::function<void(const ZelkServiceError&)> onRefusal) {
  if (auto zelk = self.lock()) zelk->detach(device, std::move(completion), std::move(onRefusal));
}

void Zelk::handleDetachReply(const ZelkAttachResponse& reply) {
  // A reply naming the current device (or none, while no device is known) means this device
  // has been logged out.
  if (reply.deviceID != impl_->deviceID()) return;
  impl_->setCurrentDevice(std::nullopt, std::nullopt);
  impl_->logOutCurrentDevice();
}

void Zelk::Impl::logOutCurrentDevice() {
  if (eventSource) eventSource->stop();
  // The service confirms a detach of this device both in the reply and with a logout message on
  // the stream; the host hears of it once.
  if (!std::exchange(logoutReported, true)) {
    if (auto zelk = self.lock(); zelk && zelk->onLogoutCurrentDevice) zelk->onLogoutCurrentDevice();
  }
  hideChallengeViewControllerIfNeeded();
}

void Zelk::identify(
    std::optional<Metadata> metadata,
    std::function<void(const std::optional<ZelkDeviceIdentity>&, const std::optional<ZelkError>&)>
        onCompletion) {
  const DeviceFacts facts = impl_->deviceFacts();
  json body = {{"device_info", impl_->deviceInfo(facts)},
               {"signals", {{"iosVendorIdentifier", Impl::vendorIdentifier(facts)}}},
               {"metadata", metadataJson(metadata)}};
  if (auto identity = impl_->preferences->string(kIdentityKey)) body["identity_id"] = *identity;

  impl_->httpRequest(
      HTTPRequestType::post, impl_->baseURL + "/v2/identity", std::move(body),
      [preferences = impl_->preferences, mainQueue = impl_->mainQueue,
       onCompletion = std::move(onCompletion)](std::optional<std::string> data) mutable {
        auto fail = [&onCompletion](const char* message) {
          if (onCompletion) onCompletion(std::nullopt, ZelkError{message});
        };
        if (!data) return fail("Could not identify device");
        auto reply = ZelkDeviceIdentity::decode(*data);
        if (!reply) return fail("Unable to decode device response");
        preferences->set(kIdentityKey, reply->identity);
        mainQueue->post([reply = std::move(*reply), onCompletion = std::move(onCompletion)] {
          if (onCompletion) onCompletion(reply, std::nullopt);
        });
      });
}

}  // namespace zelk
