// SPDX-License-Identifier: Apache-2.0
// The client, its options and calls; the process-wide logs, texts and dates.
#include "client.hpp"

#include "container.hpp"
#include "records.hpp"
#include "support.hpp"

#include <zelk/date.hpp>
#include <zelk/localization.hpp>
#include <zelk/logs.hpp>
#include <zelk/platform.hpp>
#include <zelk/preferences.hpp>

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstring>

namespace zelk::capi {

namespace {

// Shows a client's own challenge container through the host's functions.
class HostPresenter final : public ChallengePresenter {
 public:
  HostPresenter(zelk_present_fn present, zelk_dismiss_fn dismiss, UserDataPtr user,
                std::shared_ptr<MainQueue> queue)
      : present_(present), dismiss_(dismiss), user_(std::move(user)), queue_(std::move(queue)) {}

  bool present(std::shared_ptr<ZelkContainer> container) override {
    if (present_ == nullptr) return false;
    zelk_container* handle = makeContainer(std::move(container), queue_);
    InCallback hook;
    return present_(user_->get(), handle);
  }

  void dismiss(std::shared_ptr<ZelkContainer> container,
               std::function<void()> completion) override {
    if (dismiss_ == nullptr) {
      if (completion) completion();
      return;
    }
    zelk_container* handle = makeContainer(std::move(container), queue_);
    zelk_task* task = makeTask(std::move(completion), queue_);
    InCallback hook;
    dismiss_(user_->get(), handle, task);
  }

 private:
  zelk_present_fn present_;
  zelk_dismiss_fn dismiss_;
  UserDataPtr user_;
  std::shared_ptr<MainQueue> queue_;
};

// The options as this library knows them: the host's bytes, as many as it gave, over defaults.
zelk_client_options readOptions(const zelk_client_options* given) {
  zelk_client_options options;
  zelk_client_options_init(&options);
  if (given == nullptr) return options;
  constexpr std::size_t first = offsetof(zelk_client_options, base_url);
  if (given->size < first) {
    raise(ZELK_ERROR_INVALID_ARGUMENT,
          "zelk_client_new: options.size is too small: initialise the options with "
          "zelk_client_options_init");
  }
  if (given->size > sizeof(zelk_client_options)) {
    // Members of a newer header that this library does not know must be left at zero.
    const auto* bytes = reinterpret_cast<const unsigned char*>(given);
    for (std::size_t at = sizeof(zelk_client_options); at < given->size; ++at) {
      if (bytes[at] != 0) {
        raise(ZELK_ERROR_INVALID_ARGUMENT,
              "zelk_client_new: options has members this library version does not know");
      }
    }
  }
  std::memcpy(&options, given, std::min(given->size, sizeof(zelk_client_options)));
  options.size = sizeof(zelk_client_options);
  return options;
}

std::string optionText(const char* text, std::size_t length, const char* what) {
  const auto value = readText(text, length, "zelk_client_new", what, true);
  return value ? std::string(*value) : std::string();
}

std::optional<Metadata> readMetadata(const char* text, std::size_t length, const char* function) {
  const auto value = readText(text, length, function, "metadata_json", true);
  if (!value) return std::nullopt;
  const auto parsed = nlohmann::json::parse(*value, nullptr, false);
  if (!parsed.is_object()) {
    raise(ZELK_ERROR_INVALID_ARGUMENT,
          std::string(function) + ": metadata_json is not a JSON object");
  }
  Metadata metadata;
  for (const auto& [key, member] : parsed.items()) {
    if (!member.is_string()) {
      raise(ZELK_ERROR_INVALID_ARGUMENT,
            std::string(function) + ": metadata member \"" + key + "\" is not a text");
    }
    metadata[key] = member.get<std::string>();
  }
  return metadata;
}

std::shared_ptr<ClientHandle> needClient(zelk_client* client, const char* function) {
  return need<ClientHandle>(client, Kind::client, function, "client");
}

// A host callback without arguments, as a function the library keeps.
std::function<void()> notifier(zelk_notify_fn callback, UserDataPtr user) {
  if (callback == nullptr) return nullptr;
  return [callback, user = std::move(user)] {
    InCallback hook;
    callback(user->get());
  };
}

// Hands a refusal to the host in the C shape; `out` points into `error`, which must outlive it.
zelk_service_error serviceError(const ZelkServiceError& error) {
  zelk_service_error out{};
  out.size = sizeof(out);
  out.message = error.message.c_str();
  out.message_length = error.message.size();
  out.status = static_cast<std::int32_t>(error.status);
  out.has_next_change_at = error.nextChangeAt.has_value();
  out.next_change_at_ms = error.nextChangeAt ? error.nextChangeAt->time_since_epoch().count() : 0;
  return out;
}

// The list of the user's devices as one JSON text, the device records in the same shape as
// zelk_device_list_json writes them.
std::string userDevicesJson(const ZelkUserDevices& reply) {
  const auto& dates = iso8601Full();
  nlohmann::json devices = nlohmann::json::array();
  for (const ZelkUserDevice& entry : reply.devices) {
    nlohmann::json device = nlohmann::json::parse(entry.device.toJson());
    device["current"] = entry.current;
    if (entry.trustedUntil) device["trusted_until"] = dates.string(*entry.trustedUntil);
    devices.push_back(std::move(device));
  }
  nlohmann::json object = {{"device_id", reply.deviceID}, {"devices", std::move(devices)}};
  if (reply.swaps) {
    nlohmann::json swaps = {
        {"limit", reply.swaps->limit}, {"days", reply.swaps->days}, {"used", reply.swaps->used}};
    if (reply.swaps->nextChangeAt) {
      swaps["next_change_at"] = dates.string(*reply.swaps->nextChangeAt);
    }
    object["swaps"] = std::move(swaps);
  }
  return object.dump();
}

// A sign-out's completion as the library calls it, over the host's callback (absent: none).
Zelk::LogoutCompletion logoutCompletion(zelk_logout_device_fn callback, UserDataPtr user) {
  if (callback == nullptr) return nullptr;
  return [callback, user = std::move(user)](const std::optional<ZelkAttachResponse>& reply,
                                            const std::optional<ZelkServiceError>& error) {
    if (reply) {
      ScopedHandle<zelk_attach_response> response(Kind::attachResponse,
                                                  std::make_shared<ZelkAttachResponse>(*reply));
      InCallback hook;
      callback(user->get(), response.get(), nullptr);
      return;
    }
    const ZelkServiceError failure = error.value_or(ZelkServiceError{"no reply", 0, std::nullopt});
    const zelk_service_error given = serviceError(failure);
    InCallback hook;
    callback(user->get(), nullptr, &given);
  };
}

}  // namespace

}  // namespace zelk::capi

using namespace zelk;
using namespace zelk::capi;

extern "C" {

zelk_status zelk_client_options_init(zelk_client_options* options) {
  return guarded([&, function = __func__] {
    require(options, function, "options");
    std::memset(static_cast<void*>(options), 0, sizeof(*options));
    options->size = sizeof(*options);
    options->preferences = ZELK_PREFERENCES_DEFAULT;
    return ZELK_OK;
  });
}

zelk_status zelk_client_new(const char* client_id, size_t client_id_length,
                            const zelk_client_options* given, zelk_client** out) {
  clear(out);
  // Whatever happens, the host's user data is released once nothing holds it any more.
  UserDataPtr queueUser, presenterUser;
  if (given != nullptr && given->size >= offsetof(zelk_client_options, free_presenter_user_data) +
                                             sizeof(zelk_free_fn)) {
    queueUser = userData(given->queue_user_data, given->free_queue_user_data);
    presenterUser = userData(given->presenter_user_data, given->free_presenter_user_data);
  } else if (given != nullptr &&
             given->size >=
                 offsetof(zelk_client_options, free_queue_user_data) + sizeof(zelk_free_fn)) {
    queueUser = userData(given->queue_user_data, given->free_queue_user_data);
  }
  return guarded([&, function = __func__] {
    require(out, function, "out");
    const auto id = readText(client_id, client_id_length, function, "client_id");
    const zelk_client_options options = readOptions(given);
    if (!queueUser) queueUser = userData(options.queue_user_data, nullptr);
    if (!presenterUser) presenterUser = userData(options.presenter_user_data, nullptr);

    auto handle = std::make_shared<ClientHandle>();
    if ((options.post == nullptr) != (options.is_main_thread == nullptr)) {
      raise(ZELK_ERROR_INVALID_ARGUMENT,
            "zelk_client_new: options.post and options.is_main_thread go together");
    }
    if (options.post != nullptr && options.run_loop != nullptr) {
      raise(ZELK_ERROR_INVALID_ARGUMENT,
            "zelk_client_new: options name both a run_loop and a post hook");
    }
    if (options.post != nullptr) {
      handle->queue = hookQueue(options.post, options.is_main_thread, queueUser);
    } else if (options.run_loop != nullptr) {
      handle->queue = loopQueue(options.run_loop, function);
    } else {
      handle->queue = mainLoopQueue();
    }

    Platform platform;
    platform.baseURL = optionText(options.base_url, options.base_url_length, "options.base_url");
    platform.mainQueue = handle->queue;
    platform.caFile = optionText(options.ca_file, options.ca_file_length, "options.ca_file");
    switch (options.preferences) {
      case ZELK_PREFERENCES_DEFAULT:
        break;
      case ZELK_PREFERENCES_MEMORY:
        platform.preferences = PreferencesStore::inMemory();
        break;
      case ZELK_PREFERENCES_FILE: {
        const std::string path = optionText(
            options.preferences_path, options.preferences_path_length, "options.preferences_path");
        if (path.empty()) {
          raise(ZELK_ERROR_INVALID_ARGUMENT,
                "zelk_client_new: ZELK_PREFERENCES_FILE needs options.preferences_path");
        }
        platform.preferences = PreferencesStore::file(path);
        break;
      }
      default:
        raise(ZELK_ERROR_INVALID_ARGUMENT, "zelk_client_new: options.preferences is unknown");
    }
    if (options.device_model != nullptr) {
      DeviceFacts facts;
      facts.model =
          optionText(options.device_model, options.device_model_length, "options.device_model");
      facts.systemName =
          optionText(options.system_name, options.system_name_length, "options.system_name");
      facts.systemVersion = optionText(options.system_version, options.system_version_length,
                                       "options.system_version");
      if (options.vendor_id != nullptr) {
        facts.identifierForVendor =
            optionText(options.vendor_id, options.vendor_id_length, "options.vendor_id");
      }
      platform.deviceFacts = [facts] { return facts; };
    }
    if (options.present != nullptr || options.dismiss != nullptr) {
      platform.presenter = std::make_shared<HostPresenter>(options.present, options.dismiss,
                                                           presenterUser, handle->queue);
    }
    handle->center = std::make_shared<NotificationCenter>(handle->queue);
    platform.notifications = handle->center;
    handle->zelk = Zelk::create(std::string(*id), options.use_view_controller, std::move(platform));
    *out = makeHandle<zelk_client>(Kind::client, std::move(handle));
    return ZELK_OK;
  });
}

void zelk_client_free(zelk_client* client) {
  guardedVoid([&] {
    auto object = Registry::instance().erase(client, Kind::client);
    if (!object) return;
    auto queue = std::static_pointer_cast<ClientHandle>(object)->queue;
    releaseOnMainThread(std::move(object), queue);
  });
}

zelk_status zelk_client_set_user_id(zelk_client* client, const char* user_id,
                                    size_t user_id_length) {
  return guarded([&, function = __func__] {
    auto handle = needClient(client, function);
    const auto id = readText(user_id, user_id_length, function, "user_id", true);
    handle->zelk->setUserID(id ? std::optional<std::string>(*id) : std::nullopt);
    return ZELK_OK;
  });
}

zelk_status zelk_client_attach(zelk_client* client, const char* metadata_json,
                               size_t metadata_length, zelk_attach_fn on_complete, void* user_data,
                               zelk_free_fn free_user_data) {
  auto user = userData(user_data, free_user_data);
  return guarded([&, function = __func__] {
    auto handle = needClient(client, function);
    auto metadata = readMetadata(metadata_json, metadata_length, function);
    std::function<void(const ZelkAttachResponse&)> complete;
    if (on_complete != nullptr) {
      complete = [on_complete, user = std::move(user)](const ZelkAttachResponse& reply) {
        ScopedHandle<zelk_attach_response> response(Kind::attachResponse,
                                                    std::make_shared<ZelkAttachResponse>(reply));
        InCallback hook;
        on_complete(user->get(), response.get());
      };
    }
    handle->zelk->attach(std::move(metadata), std::move(complete));
    return ZELK_OK;
  });
}

zelk_status zelk_client_detach(zelk_client* client, const char* device_id, size_t device_id_length,
                               zelk_detach_fn on_complete, void* user_data,
                               zelk_free_fn free_user_data) {
  auto user = userData(user_data, free_user_data);
  return guarded([&, function = __func__] {
    auto handle = needClient(client, function);
    const auto device = readText(device_id, device_id_length, function, "device_id", true);
    std::function<void(const std::optional<ZelkAttachResponse>&)> complete;
    if (on_complete != nullptr) {
      complete = [on_complete,
                  user = std::move(user)](const std::optional<ZelkAttachResponse>& reply) {
        if (!reply) {
          InCallback hook;
          on_complete(user->get(), nullptr);
          return;
        }
        ScopedHandle<zelk_attach_response> response(Kind::attachResponse,
                                                    std::make_shared<ZelkAttachResponse>(*reply));
        InCallback hook;
        on_complete(user->get(), response.get());
      };
    }
    handle->zelk->detach(device ? std::optional<std::string>(*device) : std::nullopt,
                         std::move(complete));
    return ZELK_OK;
  });
}

zelk_status zelk_client_identify(zelk_client* client, const char* metadata_json,
                                 size_t metadata_length, zelk_identify_fn on_complete,
                                 void* user_data, zelk_free_fn free_user_data) {
  auto user = userData(user_data, free_user_data);
  return guarded([&, function = __func__] {
    auto handle = needClient(client, function);
    auto metadata = readMetadata(metadata_json, metadata_length, function);
    handle->zelk->identify(
        std::move(metadata),
        [on_complete, user = std::move(user)](const std::optional<ZelkDeviceIdentity>& identity,
                                              const std::optional<ZelkError>& error) {
          if (on_complete == nullptr) return;
          if (identity) {
            ScopedHandle<zelk_identity> record(Kind::identity,
                                               std::make_shared<ZelkDeviceIdentity>(*identity));
            InCallback hook;
            on_complete(user->get(), record.get(), nullptr, 0);
            return;
          }
          const std::string message = error ? error->message : std::string();
          InCallback hook;
          on_complete(user->get(), nullptr, message.c_str(), message.size());
        });
    return ZELK_OK;
  });
}

zelk_status zelk_client_devices(zelk_client* client, zelk_devices_fn on_complete, void* user_data,
                                zelk_free_fn free_user_data) {
  auto user = userData(user_data, free_user_data);
  return guarded([&, function = __func__] {
    auto handle = needClient(client, function);
    require(on_complete, function, "on_complete");
    handle->zelk->devices(
        [on_complete, user = std::move(user)](const std::optional<ZelkUserDevices>& reply,
                                              const std::optional<ZelkServiceError>& error) {
          if (reply) {
            const std::string json = userDevicesJson(*reply);
            InCallback hook;
            on_complete(user->get(), json.c_str(), json.size(), nullptr);
            return;
          }
          const ZelkServiceError failure =
              error.value_or(ZelkServiceError{"no reply", 0, std::nullopt});
          const zelk_service_error given = serviceError(failure);
          InCallback hook;
          on_complete(user->get(), nullptr, 0, &given);
        });
    return ZELK_OK;
  });
}

zelk_status zelk_client_logout_device(zelk_client* client, const char* device_id,
                                      size_t device_id_length, zelk_logout_device_fn on_complete,
                                      void* user_data, zelk_free_fn free_user_data) {
  auto user = userData(user_data, free_user_data);
  return guarded([&, function = __func__] {
    auto handle = needClient(client, function);
    const auto device = readText(device_id, device_id_length, function, "device_id");
    handle->zelk->logoutDevice(std::string(*device),
                               logoutCompletion(on_complete, std::move(user)));
    return ZELK_OK;
  });
}

zelk_status zelk_client_logout_device_with_code(zelk_client* client, const char* code,
                                                size_t code_length,
                                                zelk_logout_device_fn on_complete, void* user_data,
                                                zelk_free_fn free_user_data) {
  auto user = userData(user_data, free_user_data);
  return guarded([&, function = __func__] {
    auto handle = needClient(client, function);
    const auto typed = readText(code, code_length, function, "code");
    handle->zelk->logoutDeviceWithCode(*typed, logoutCompletion(on_complete, std::move(user)));
    return ZELK_OK;
  });
}

zelk_status zelk_client_flush(zelk_client* client, uint64_t timeout_ms, bool* idle) {
  clear(idle);
  return guarded([&, function = __func__] {
    auto handle = needClient(client, function);
    refuseInsideCallback(function);
    const auto most = static_cast<std::uint64_t>(std::chrono::milliseconds::max().count() / 2);
    const auto timeout = std::chrono::milliseconds(
        static_cast<std::chrono::milliseconds::rep>(std::min(timeout_ms, most)));
    const bool done = handle->zelk->flush(timeout);
    if (idle != nullptr) *idle = done;
    return ZELK_OK;
  });
}

zelk_status zelk_client_device_id(zelk_client* client, char** device_id, size_t* length) {
  clear(device_id);
  clear(length);
  return guarded([&, function = __func__] {
    require(device_id, function, "device_id");
    writeText(needClient(client, function)->zelk->deviceID(), device_id, length);
    return ZELK_OK;
  });
}

zelk_status zelk_client_identity(zelk_client* client, char** identity, size_t* length) {
  clear(identity);
  clear(length);
  return guarded([&, function = __func__] {
    require(identity, function, "identity");
    writeText(needClient(client, function)->zelk->identity(), identity, length);
    return ZELK_OK;
  });
}

zelk_status zelk_client_on_logout(zelk_client* client, zelk_notify_fn callback, void* user_data,
                                  zelk_free_fn free_user_data) {
  auto user = userData(user_data, free_user_data);
  return guarded([&, function = __func__] {
    auto handle = needClient(client, function);
    requireMainThread(*handle->queue, function);
    handle->zelk->onLogoutCurrentDevice = notifier(callback, std::move(user));
    return ZELK_OK;
  });
}

zelk_status zelk_client_on_create_account(zelk_client* client, zelk_notify_fn callback,
                                          void* user_data, zelk_free_fn free_user_data) {
  auto user = userData(user_data, free_user_data);
  return guarded([&, function = __func__] {
    auto handle = needClient(client, function);
    requireMainThread(*handle->queue, function);
    handle->zelk->onCreateNewAccount = notifier(callback, std::move(user));
    return ZELK_OK;
  });
}

zelk_status zelk_client_post_app_event(zelk_client* client, zelk_app_event event) {
  return guarded([&, function = __func__] {
    auto handle = needClient(client, function);
    switch (event) {
      case ZELK_APP_WILL_RESIGN_ACTIVE:
        handle->center->post(AppNotification::willResignActive);
        break;
      case ZELK_APP_DID_BECOME_ACTIVE:
        handle->center->post(AppNotification::didBecomeActive);
        break;
      default:
        raise(ZELK_ERROR_INVALID_ARGUMENT, "zelk_client_post_app_event: unknown event");
    }
    return ZELK_OK;
  });
}

zelk_status zelk_set_log_sink(zelk_log_fn sink, void* user_data, zelk_free_fn free_user_data) {
  auto user = userData(user_data, free_user_data);
  return guarded([&] {
    if (sink == nullptr) {
      Logs::setSink(nullptr);
      return ZELK_OK;
    }
    Logs::setSink([sink, user = std::move(user)](const Logs::Record& record) {
      InCallback hook;
      sink(user->get(), static_cast<zelk_log_level>(record.level), record.category.data(),
           record.category.size(), record.message.data(), record.message.size());
    });
    return ZELK_OK;
  });
}

zelk_status zelk_set_debug_logging(bool enabled) {
  return guarded([&] {
    Logs::setDebugEnabled(enabled);
    return ZELK_OK;
  });
}

zelk_status zelk_set_localizer(zelk_localize_fn localize, void* user_data,
                               zelk_free_fn free_user_data) {
  auto user = userData(user_data, free_user_data);
  return guarded([&] {
    if (localize == nullptr) {
      setLocalizer(nullptr);
      return ZELK_OK;
    }
    setLocalizer([localize, user = std::move(user)](std::string_view key) {
      zelk_text out;
      {
        InCallback hook;
        localize(user->get(), key.data(), key.size(), &out);
      }
      return out.value ? *out.value : std::string(key);
    });
    return ZELK_OK;
  });
}

zelk_status zelk_use_builtin_translations(const char* locale, size_t locale_length) {
  return guarded([&, function = __func__] {
    const auto name = readText(locale, locale_length, function, "locale", true);
    useBuiltinTranslations(name.value_or(std::string_view()));
    return ZELK_OK;
  });
}

zelk_status zelk_stop_builtin_translations(void) {
  return guarded([&] {
    stopBuiltinTranslations();
    return ZELK_OK;
  });
}

zelk_status zelk_localized(const char* key, size_t key_length, char** text, size_t* length) {
  clear(text);
  clear(length);
  return guarded([&, function = __func__] {
    require(text, function, "text");
    const auto name = readText(key, key_length, function, "key");
    writeText(localized(*name), text, length);
    return ZELK_OK;
  });
}

zelk_status zelk_set_date_formatter(zelk_format_date_fn format, void* user_data,
                                    zelk_free_fn free_user_data) {
  auto user = userData(user_data, free_user_data);
  return guarded([&] {
    if (format == nullptr) {
      setDateFormatter(nullptr);
      return ZELK_OK;
    }
    setDateFormatter([format, user = std::move(user)](Date date) {
      zelk_text out;
      {
        InCallback hook;
        format(user->get(), date.time_since_epoch().count(), &out);
      }
      // A formatter that writes nothing gets the service's own format.
      return out.value ? *out.value : iso8601Full().string(date);
    });
    return ZELK_OK;
  });
}

}  // extern "C"
