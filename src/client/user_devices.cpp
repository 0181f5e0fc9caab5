// SPDX-License-Identifier: Apache-2.0
// The calls through which the signed-in user sees and signs out their own devices. The current
// device vouches for them with the access of its last attach reply.
#include <zelk/client.hpp>

#include "client/records_json.hpp"
#include "client/zelk_impl.hpp"
#include "platform/console.hpp"

#include <string_view>
#include <utility>

namespace zelk {

using nlohmann::json;

namespace {

constexpr const char* kNoDevice = "no device attached";

ZelkServiceError serviceError(std::string message, long status = 0) {
  ZelkServiceError error;
  error.message = std::move(message);
  error.status = status;
  return error;
}

bool succeeded(const detail::HttpResult& result) {
  return result.status >= 200 && result.status < 300;
}

// What a reply that is not the record asked for means: the service's refusal when it says why,
// else a note of the status (or of the missing reply).
ZelkServiceError failure(const detail::HttpResult& result, const char* unreachable) {
  if (!result.data) return serviceError(unreachable);
  if (auto refusal = detail::decodeRefusal(*result.data, result.status)) return *refusal;
  return serviceError("The service refused the call (HTTP " + std::to_string(result.status) + ")",
                      result.status);
}

std::string_view trimmed(std::string_view text) {
  constexpr std::string_view kSpace = " \t\r\n\v\f";
  const auto first = text.find_first_not_of(kSpace);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(kSpace) - first + 1);
}

}  // namespace

bool Zelk::Impl::postAsCurrentDevice(const char* path, json extra,
                                     std::function<void(detail::HttpResult)> onResult) {
  std::optional<std::string> device, accessID;
  {
    std::lock_guard lock(mutex);
    device = deviceID_;
    accessID = access_;
  }
  if (!device || !accessID) return false;
  json body = {{"device", *device}, {"access", *accessID}};
  for (auto& [key, value] : extra.items()) body[key] = std::move(value);
  postJson(baseURL + path, std::move(body), std::move(onResult));
  return true;
}

void Zelk::devices(DevicesCompletion onCompletion) {
  auto finish = [mainQueue = impl_->mainQueue, onCompletion](
                    std::optional<ZelkUserDevices> reply, std::optional<ZelkServiceError> error) {
    mainQueue->post([onCompletion, reply = std::move(reply), error = std::move(error)] {
      if (onCompletion) onCompletion(reply, error);
    });
  };
  const bool sent = impl_->postAsCurrentDevice(
      "/v2/access/devices", json::object(), [finish](detail::HttpResult result) {
        if (!succeeded(result) || !result.data) {
          return finish(std::nullopt, failure(result, "Could not load the devices"));
        }
        std::string error;
        auto reply = ZelkUserDevices::decode(*result.data, &error);
        if (!reply) {
          detail::printSDKMessage(error);
          return finish(std::nullopt,
                        serviceError("Unable to decode devices response", result.status));
        }
        finish(std::move(reply), std::nullopt);
      });
  if (!sent && onCompletion) onCompletion(std::nullopt, serviceError(kNoDevice));
}

void Zelk::logoutDevice(std::string deviceID, LogoutCompletion onCompletion) {
  if (deviceID.empty()) {
    if (onCompletion) onCompletion(std::nullopt, serviceError("no device to sign out"));
    return;
  }
  sendLogout("target", std::move(deviceID), std::move(onCompletion));
}

void Zelk::logoutDeviceWithCode(std::string_view code, LogoutCompletion onCompletion) {
  const std::string_view typed = trimmed(code);
  if (typed.empty()) {
    if (onCompletion) onCompletion(std::nullopt, serviceError("no code given"));
    return;
  }
  sendLogout("code", std::string(typed), std::move(onCompletion));
}

void Zelk::sendLogout(const char* key, std::string value, LogoutCompletion onCompletion) {
  auto finish = [weakSelf = weak_from_this(), mainQueue = impl_->mainQueue, onCompletion](
                    std::optional<ZelkAttachResponse> reply,
                    std::optional<ZelkServiceError> error) {
    mainQueue->post([weakSelf, onCompletion, reply = std::move(reply), error = std::move(error)] {
      // Signing out the device asking ends its session, as a detach of it does.
      if (auto self = weakSelf.lock(); self && reply && reply->success && reply->deviceID &&
                                       reply->deviceID == self->impl_->deviceID()) {
        self->handleDetachReply(*reply);
      }
      if (onCompletion) onCompletion(reply, error);
    });
  };
  const bool sent = impl_->postAsCurrentDevice(
      "/v2/access/devices/logout", json{{key, std::move(value)}},
      [finish](detail::HttpResult result) {
        if (!succeeded(result) || !result.data) {
          return finish(std::nullopt, failure(result, "Could not sign the device out"));
        }
        std::string error;
        auto reply = ZelkAttachResponse::decode(*result.data, &error);
        if (!reply) {
          detail::printSDKMessage(error);
          return finish(std::nullopt,
                        serviceError("Unable to decode logout response", result.status));
        }
        finish(std::move(reply), std::nullopt);
      });
  if (!sent && onCompletion) onCompletion(std::nullopt, serviceError(kNoDevice));
}

}  // namespace zelk
