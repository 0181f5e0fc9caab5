// SPDX-License-Identifier: Apache-2.0
// The C interface as a host sees it: libzelk-c alone (no C++ API), against the sandbox service
// over loopback. The road of a challenge through the screens' data and actions, then what the
// interface promises when the host gets things wrong.
#include <zelk/zelk.h>

#include "sandbox.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

// The tests hand NULL where the header says a pointer must not be NULL, to see the status.
#if defined(__clang__)
#pragma clang diagnostic ignored "-Wnonnull"
#endif

namespace {

using namespace std::chrono_literals;

// A string the library handed out, released with zelk_string_free.
std::optional<std::string> take(char* text, size_t length) {
  if (text == nullptr) return std::nullopt;
  std::string copy(text, length);
  zelk_string_free(text);
  return copy;
}

std::string lastError() {
  char* message = nullptr;
  size_t length = 0;
  EXPECT_EQ(zelk_last_error(&message, &length), ZELK_OK);
  return take(message, length).value_or("");
}

// Counts the releases of user data, so that each test can check they happen exactly once.
struct Releases {
  std::atomic<int> count{0};
  static void release(void* data) { static_cast<Releases*>(data)->count++; }
};

bool runPredicate(void* data) {
  return (*static_cast<std::function<bool()>*>(data))();
}

class CInterfaceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(sandbox.start(&error)) << error;
    zelk::sandbox::ProjectSettings settings;
    settings.name = "C Road";
    settings.overallLimit = 1;
    settings.mobileLimit = 1;
    settings.tabletLimit = 1;
    settings.computerLimit = 0;
    settings.requireVerification = true;
    settings.showContacts = true;
    sandbox.configureProject("c-road", settings);
    sandbox.configureUser("c-road", "alice", {"alice@example.com", ""});
    ASSERT_EQ(zelk_run_loop_new(&loop), ZELK_OK);
  }

  void TearDown() override {
    for (zelk_client* client : clients) {
      bool idle = false;
      zelk_client_flush(client, 5000, &idle);
      zelk_client_free(client);
    }
    // The last hops of the replies land and the clients go on this thread.
    zelk_run_loop_run(loop, 100);
    zelk_run_loop_free(loop);
  }

  zelk_client* makeClient(const char* model, const char* vendor, const char* clientID = "c-road") {
    const std::string url = sandbox.baseURL();
    zelk_client_options options;
    EXPECT_EQ(zelk_client_options_init(&options), ZELK_OK);
    options.base_url = url.c_str();
    options.base_url_length = url.size();
    options.run_loop = loop;
    options.preferences = ZELK_PREFERENCES_MEMORY;
    options.device_model = model;
    options.device_model_length = ZELK_NUL_TERMINATED;
    options.system_name = "iOS";
    options.system_name_length = ZELK_NUL_TERMINATED;
    options.system_version = "17.2";
    options.system_version_length = ZELK_NUL_TERMINATED;
    options.vendor_id = vendor;
    options.vendor_id_length = ZELK_NUL_TERMINATED;
    zelk_client* client = nullptr;
    EXPECT_EQ(zelk_client_new(clientID, ZELK_NUL_TERMINATED, &options, &client), ZELK_OK)
        << lastError();
    EXPECT_EQ(zelk_client_set_user_id(client, "alice", 5), ZELK_OK);
    clients.push_back(client);
    return client;
  }

  // Runs the loop until `predicate` holds, at most 10 s.
  bool pump(std::function<bool()> predicate) {
    bool satisfied = false;
    EXPECT_EQ(zelk_run_loop_run_until(loop, runPredicate, &predicate, 10000, &satisfied), ZELK_OK)
        << lastError();
    return satisfied;
  }

  static std::optional<std::string> deviceID(zelk_client* client) {
    char* text = nullptr;
    size_t length = 0;
    EXPECT_EQ(zelk_client_device_id(client, &text, &length), ZELK_OK);
    return take(text, length);
  }

  // The element under `parent` (at any depth) whose action is `action`; ZELK_SCREEN_ROOT if none.
  static size_t findAction(zelk_screen* screen, size_t parent, const std::string& action) {
    size_t count = 0;
    EXPECT_EQ(zelk_screen_child_count(screen, parent, &count), ZELK_OK);
    for (size_t i = 0; i < count; ++i) {
      size_t element = 0;
      EXPECT_EQ(zelk_screen_child(screen, parent, i, &element), ZELK_OK);
      char* text = nullptr;
      size_t length = 0;
      EXPECT_EQ(
          zelk_screen_element_text(screen, element, ZELK_ELEMENT_FIELD_ACTION, &text, &length),
          ZELK_OK);
      if (take(text, length) == action) return element;
      const size_t found = findAction(screen, element, action);
      if (found != ZELK_SCREEN_ROOT) return found;
    }
    return ZELK_SCREEN_ROOT;
  }

  struct Shot {
    zelk_screen* screen = nullptr;
    ~Shot() { zelk_screen_free(screen); }
    zelk_screen_kind kind() const {
      zelk_screen_kind kind = ZELK_SCREEN_ENTRY;
      EXPECT_EQ(zelk_screen_kind_of(screen, &kind), ZELK_OK);
      return kind;
    }
    std::string text(zelk_screen_value value) const {
      char* out = nullptr;
      size_t length = 0;
      EXPECT_EQ(zelk_screen_text(screen, value, &out, &length), ZELK_OK) << lastError();
      return take(out, length).value_or("");
    }
    int64_t number(zelk_screen_value value) const {
      int64_t out = -1;
      EXPECT_EQ(zelk_screen_number(screen, value, &out), ZELK_OK) << lastError();
      return out;
    }
    bool perform(const char* action) const {
      bool performed = false;
      EXPECT_EQ(zelk_screen_perform(screen, action, ZELK_NUL_TERMINATED, &performed), ZELK_OK)
          << lastError();
      return performed;
    }
  };

  static std::unique_ptr<Shot> top(zelk_container* container) {
    auto shot = std::make_unique<Shot>();
    EXPECT_EQ(zelk_container_screen(container, &shot->screen), ZELK_OK) << lastError();
    if (shot->screen == nullptr) return nullptr;
    return shot;
  }

  static bool showing(zelk_container* container, zelk_screen_kind kind) {
    auto shot = top(container);
    return shot && shot->kind() == kind;
  }

  static bool visible(zelk_container* container) {
    bool value = false;
    EXPECT_EQ(zelk_container_flag(container, ZELK_CONTAINER_CHALLENGE_VISIBLE, &value), ZELK_OK);
    return value;
  }

  zelk::sandbox::Sandbox sandbox;
  zelk_run_loop* loop = nullptr;
  std::vector<zelk_client*> clients;
};

// ---- The road ------------------------------------------------------------------------------

TEST_F(CInterfaceTest, WalksTheChallengeRoadThroughTheScreensData) {
  // A tablet of alice's is attached first.
  zelk_client* tablet = makeClient("iPad Air", "7D444840-9DC0-11D1-B245-5FFDCE74FAD2");
  std::atomic<int> attachReplies{0};
  ASSERT_EQ(zelk_client_attach(
                tablet, R"({"plan":"pro"})", ZELK_NUL_TERMINATED,
                [](void* data, zelk_attach_response* response) {
                  int64_t attached = 0;
                  bool present = false;
                  EXPECT_EQ(zelk_attach_response_number(response, ZELK_ATTACH_ATTACHED_DEVICES,
                                                        &attached, &present),
                            ZELK_OK);
                  EXPECT_TRUE(present);
                  EXPECT_EQ(attached, 1);
                  (*static_cast<std::atomic<int>*>(data))++;
                },
                &attachReplies, nullptr),
            ZELK_OK);
  // The device ID is kept before the callback runs on the network thread.
  ASSERT_TRUE(pump([&] { return attachReplies.load() == 1; }));
  EXPECT_TRUE(deviceID(tablet).has_value());
  bool tabletLoggedOut = false;
  ASSERT_EQ(
      zelk_client_on_logout(
          tablet, [](void* data) { *static_cast<bool*>(data) = true; }, &tabletLoggedOut, nullptr),
      ZELK_OK);

  // The phone attaches through its container: over the limit, a challenge covers its content.
  zelk_client* phone = makeClient("iPhone", "0A1B2C3D-4E5F-4061-8272-839495A6B7C8");
  zelk_container* container = nullptr;
  ASSERT_EQ(zelk_container_new(phone, &container), ZELK_OK) << lastError();
  int changes = 0;
  Releases subscriberReleases;
  struct Counter {
    int* changes;
    Releases* releases;
  } counter{&changes, &subscriberReleases};
  uint64_t token = 0;
  ASSERT_EQ(
      zelk_container_subscribe(
          container, [](void* data) { (*static_cast<Counter*>(data)->changes)++; }, &counter,
          [](void* data) { Releases::release(static_cast<Counter*>(data)->releases); }, &token),
      ZELK_OK);
  ASSERT_TRUE(pump([&] { return visible(container); }));
  EXPECT_GT(changes, 0);

  zelk_challenge* challenge = nullptr;
  ASSERT_EQ(zelk_container_challenge(container, &challenge), ZELK_OK);
  ASSERT_NE(challenge, nullptr);
  char* text = nullptr;
  size_t length = 0;
  ASSERT_EQ(zelk_challenge_text(challenge, ZELK_CHALLENGE_ID, &text, &length), ZELK_OK);
  const std::string challengeID = take(text, length).value();
  ASSERT_EQ(zelk_challenge_text(challenge, ZELK_CHALLENGE_PROJECT_NAME, &text, &length), ZELK_OK);
  EXPECT_EQ(take(text, length), "C Road");
  ASSERT_EQ(zelk_challenge_json(challenge, &text, &length), ZELK_OK);
  EXPECT_NE(take(text, length).value().find("\"_id\":\"" + challengeID + "\""), std::string::npos);
  zelk_challenge_free(challenge);

  // The entry screen: its title, and the element tree agreeing with the plain text.
  auto entry = top(container);
  ASSERT_TRUE(entry);
  EXPECT_EQ(entry->kind(), ZELK_SCREEN_ENTRY);
  EXPECT_EQ(entry->text(ZELK_SCREEN_NAME), "ChallengeEntryView");
  EXPECT_EQ(entry->text(ZELK_SCREEN_TITLE), "Start your own C Road account today");
  EXPECT_EQ(entry->number(ZELK_SCREEN_VERIFIES_FIRST), 1);
  EXPECT_EQ(entry->number(ZELK_SCREEN_DEPTH), 1);
  const std::string plain = entry->text(ZELK_SCREEN_PLAIN_TEXT);
  EXPECT_NE(plain.find("Verify to continue"), std::string::npos) << plain;
  size_t roots = 0;
  ASSERT_EQ(zelk_screen_child_count(entry->screen, ZELK_SCREEN_ROOT, &roots), ZELK_OK);
  EXPECT_EQ(static_cast<size_t>(std::count(plain.begin(), plain.end(), '\n')), roots);
  const size_t verify = findAction(entry->screen, ZELK_SCREEN_ROOT, "verifyToContinue");
  ASSERT_NE(verify, ZELK_SCREEN_ROOT) << plain;
  int64_t kind = -1, enabled = -1;
  ASSERT_EQ(zelk_screen_element_number(entry->screen, verify, ZELK_ELEMENT_FIELD_KIND, &kind),
            ZELK_OK);
  ASSERT_EQ(zelk_screen_element_number(entry->screen, verify, ZELK_ELEMENT_FIELD_ENABLED, &enabled),
            ZELK_OK);
  EXPECT_EQ(kind, ZELK_ELEMENT_LINK);
  EXPECT_EQ(enabled, 1);
  ASSERT_EQ(
      zelk_screen_element_text(entry->screen, verify, ZELK_ELEMENT_FIELD_TEXT, &text, &length),
      ZELK_OK);
  EXPECT_EQ(take(text, length), "Verify to continue");
  EXPECT_FALSE(entry->perform("noSuchAction"));
  EXPECT_TRUE(entry->perform("verifyToContinue"));

  // The entry snapshot is no longer on top: its actions are refused until a new one is taken.
  bool performed = true;
  EXPECT_EQ(zelk_screen_perform(entry->screen, "verifyToContinue", ZELK_NUL_TERMINATED, &performed),
            ZELK_ERROR_UNAVAILABLE);
  EXPECT_FALSE(performed);

  // Verification by e-mail.
  auto options = top(container);
  ASSERT_TRUE(options);
  ASSERT_EQ(options->kind(), ZELK_SCREEN_VERIFICATION_OPTIONS);
  EXPECT_EQ(options->number(ZELK_SCREEN_DEPTH), 2);
  EXPECT_NE(options->text(ZELK_SCREEN_PLAIN_TEXT).find("alice@example.com"), std::string::npos);
  EXPECT_TRUE(options->perform("requestEmailCode"));
  ASSERT_TRUE(pump([&] { return showing(container, ZELK_SCREEN_VERIFICATION_CODE); }));

  auto code = top(container);
  ASSERT_TRUE(code);
  EXPECT_EQ(code->text(ZELK_SCREEN_MESSAGE),
            "We've sent a code to email. Please enter the code below.");
  const auto sent = sandbox.lastCode(challengeID);
  ASSERT_TRUE(sent);
  // A wrong last character, deleted and typed again, as a person would.
  size_t taken = 0;
  const std::string wrong = sent->substr(0, 5) + (sent->back() == '0' ? "1" : "0");
  ASSERT_EQ(zelk_screen_type_code(code->screen, wrong.data(), wrong.size(), &taken), ZELK_OK);
  EXPECT_EQ(taken, 6u);
  bool deleted = false;
  ASSERT_EQ(zelk_screen_delete_code_character(code->screen, &deleted), ZELK_OK) << lastError();
  EXPECT_TRUE(deleted);
  auto corrected = top(container);
  EXPECT_EQ(corrected->text(ZELK_SCREEN_CODE), sent->substr(0, 5));
  EXPECT_EQ(corrected->number(ZELK_SCREEN_VALID_CODE), 0);
  EXPECT_EQ(corrected->number(ZELK_SCREEN_CODE_FOCUS), 4);  // the focus went back a box
  ASSERT_EQ(zelk_screen_tap_code_box(corrected->screen, 5), ZELK_OK);
  EXPECT_EQ(zelk_screen_tap_code_box(corrected->screen, 6), ZELK_ERROR_OUT_OF_RANGE);
  ASSERT_EQ(zelk_screen_type_code(corrected->screen, &sent->back(), 1, &taken), ZELK_OK);
  EXPECT_EQ(taken, 1u);
  auto full = top(container);
  EXPECT_EQ(full->text(ZELK_SCREEN_CODE), *sent);
  EXPECT_EQ(full->number(ZELK_SCREEN_VALID_CODE), 1);
  EXPECT_TRUE(full->perform("verifyCode"));

  // The device limiter, once loaded: tick the tablet and log it out.
  const auto limiterLoaded = [&] {
    auto shot = top(container);
    if (!shot || shot->kind() != ZELK_SCREEN_DEVICE_LIMITER) return false;
    zelk_device_limit* limit = nullptr;
    EXPECT_EQ(zelk_screen_device_limit(shot->screen, &limit), ZELK_OK);
    zelk_device_limit_free(limit);
    bool loading = true, detaching = true;
    zelk_container_flag(container, ZELK_CONTAINER_LOADING_DEVICES, &loading);
    zelk_container_flag(container, ZELK_CONTAINER_DETACH_LOADING, &detaching);
    return limit != nullptr && !loading && !detaching;
  };
  ASSERT_TRUE(pump(limiterLoaded));
  auto limiter = top(container);
  EXPECT_EQ(limiter->number(ZELK_SCREEN_OVER_LIMIT), 1);
  EXPECT_EQ(limiter->text(ZELK_SCREEN_DEVICES_TO_LOGOUT),
            "To proceed, log out of 1 device from the devices below.");
  zelk_device_limit* limit = nullptr;
  ASSERT_EQ(zelk_screen_device_limit(limiter->screen, &limit), ZELK_OK);
  int64_t total = 0;
  ASSERT_EQ(zelk_device_limit_number(limit, ZELK_LIMIT_ATTACHED_TOTAL, &total, nullptr), ZELK_OK);
  EXPECT_EQ(total, 2);
  zelk_device_limit_free(limit);

  zelk_device_list* devices = nullptr;
  ASSERT_EQ(zelk_container_attached_devices(container, &devices), ZELK_OK);
  size_t count = 0;
  ASSERT_EQ(zelk_device_list_count(devices, &count), ZELK_OK);
  ASSERT_EQ(count, 2u);
  const std::string tabletID = deviceID(tablet).value();
  bool listed = false;
  for (size_t i = 0; i < count; ++i) {
    ASSERT_EQ(zelk_device_list_text(devices, i, ZELK_DEVICE_ID, &text, &length), ZELK_OK);
    if (take(text, length) != tabletID) continue;
    listed = true;
    ASSERT_EQ(zelk_device_list_text(devices, i, ZELK_DEVICE_MODEL, &text, &length), ZELK_OK);
    EXPECT_EQ(take(text, length), "iPad Air");
  }
  EXPECT_TRUE(listed);
  EXPECT_EQ(zelk_device_list_text(devices, count, ZELK_DEVICE_ID, &text, &length),
            ZELK_ERROR_OUT_OF_RANGE);
  zelk_device_list_free(devices);

  ASSERT_EQ(
      zelk_screen_toggle_device(limiter->screen, tabletID.data(), tabletID.size(), &performed),
      ZELK_OK);
  EXPECT_TRUE(performed);
  auto ticked = top(container);
  zelk_device_list* selected = nullptr;
  ASSERT_EQ(zelk_screen_selected_devices(ticked->screen, &selected), ZELK_OK);
  ASSERT_EQ(zelk_device_list_count(selected, &count), ZELK_OK);
  EXPECT_EQ(count, 1u);
  zelk_device_list_free(selected);
  EXPECT_TRUE(ticked->perform("logOut"));

  // The tablet hears of its logout over its stream; the phone's limiter confirms.
  ASSERT_TRUE(pump([&] { return tabletLoggedOut && limiterLoaded(); }));
  auto complete = top(container);
  EXPECT_EQ(complete->number(ZELK_SCREEN_OVER_LIMIT), 0);
  EXPECT_NE(complete->text(ZELK_SCREEN_PLAIN_TEXT).find("Verification complete"),
            std::string::npos);
  // Continue: the challenge goes, the content shows again.
  EXPECT_TRUE(complete->perform("logOut"));
  ASSERT_TRUE(pump([&] { return !visible(container); }));
  auto none = top(container);
  EXPECT_FALSE(none);

  // The subscription ends with its user data released once.
  ASSERT_EQ(zelk_container_unsubscribe(container, token), ZELK_OK);
  EXPECT_EQ(subscriberReleases.count.load(), 1);
  zelk_container_free(container);
}

// ---- The user's own devices --------------------------------------------------------------------

// What a call about the user's own devices handed its callback, copied out of it.
struct OwnDevicesOutcome {
  int calls = 0;
  std::thread::id thread;
  std::optional<nlohmann::json> devices;
  std::optional<std::string> signedOut;  // the reply's device ID
  std::optional<std::string> message;
  int32_t status = -1;
  std::optional<int64_t> nextChangeAt;

  void takeError(const zelk_service_error* error) {
    if (error == nullptr) return;
    EXPECT_GE(error->size, sizeof(zelk_service_error));
    ASSERT_NE(error->message, nullptr);
    message = std::string(error->message, error->message_length);
    EXPECT_EQ(std::strlen(error->message), error->message_length);
    status = error->status;
    if (error->has_next_change_at) nextChangeAt = error->next_change_at_ms;
  }

  static void listed(void* data, const char* json, size_t length, const zelk_service_error* error) {
    auto* self = static_cast<OwnDevicesOutcome*>(data);
    self->calls++;
    self->thread = std::this_thread::get_id();
    EXPECT_NE(json == nullptr, error == nullptr) << "exactly one of the list and the error";
    if (json != nullptr) self->devices = nlohmann::json::parse(std::string(json, length));
    self->takeError(error);
  }

  static void signedOutDevice(void* data, zelk_attach_response* response,
                              const zelk_service_error* error) {
    auto* self = static_cast<OwnDevicesOutcome*>(data);
    self->calls++;
    self->thread = std::this_thread::get_id();
    EXPECT_NE(response == nullptr, error == nullptr) << "exactly one of the reply and the error";
    if (response != nullptr) {
      char* text = nullptr;
      size_t length = 0;
      EXPECT_EQ(zelk_attach_response_text(response, ZELK_ATTACH_DEVICE_ID, &text, &length),
                ZELK_OK);
      self->signedOut = take(text, length);
    }
    self->takeError(error);
  }
};

class CInterfaceOwnDevicesTest : public CInterfaceTest {
 protected:
  void SetUp() override {
    CInterfaceTest::SetUp();
    zelk::sandbox::ProjectSettings settings;
    settings.name = "Own Devices";
    settings.overallLimit = 5;
    sandbox.configureProject("c-own", settings);
  }

  // A client of `user` on its own device, attached.
  zelk_client* attached(const char* model, const char* vendor, const char* user = "alice") {
    zelk_client* client = makeClient(model, vendor, "c-own");
    EXPECT_EQ(zelk_client_set_user_id(client, user, ZELK_NUL_TERMINATED), ZELK_OK);
    EXPECT_EQ(zelk_client_attach(client, nullptr, 0, nullptr, nullptr, nullptr), ZELK_OK);
    EXPECT_TRUE(pump([&] { return deviceID(client).has_value(); })) << model;
    return client;
  }

  OwnDevicesOutcome list(zelk_client* client) {
    OwnDevicesOutcome outcome;
    EXPECT_EQ(zelk_client_devices(client, OwnDevicesOutcome::listed, &outcome, nullptr), ZELK_OK)
        << lastError();
    EXPECT_TRUE(pump([&] { return outcome.calls > 0; }));
    EXPECT_EQ(outcome.calls, 1);
    return outcome;
  }

  OwnDevicesOutcome signOut(zelk_client* client, const std::string& device) {
    OwnDevicesOutcome outcome;
    EXPECT_EQ(zelk_client_logout_device(client, device.data(), device.size(),
                                        OwnDevicesOutcome::signedOutDevice, &outcome, nullptr),
              ZELK_OK)
        << lastError();
    EXPECT_TRUE(pump([&] { return outcome.calls > 0; }));
    EXPECT_EQ(outcome.calls, 1);
    return outcome;
  }

  const std::thread::id mainThread = std::this_thread::get_id();
};

TEST_F(CInterfaceOwnDevicesTest, AUserListsTheirDevicesAndSignsAnotherOut) {
  zelk_client* phone = attached("iPhone", "21111111-0000-4000-8000-000000000001");
  zelk_client* tablet = attached("iPad Air", "21111111-0000-4000-8000-000000000002");
  zelk_client* bobs = attached("iPhone", "21111111-0000-4000-8000-000000000003", "bob");
  bool tabletLoggedOut = false;
  ASSERT_EQ(
      zelk_client_on_logout(
          tablet, [](void* data) { *static_cast<bool*>(data) = true; }, &tabletLoggedOut, nullptr),
      ZELK_OK);
  const std::string phoneID = deviceID(phone).value();
  const std::string tabletID = deviceID(tablet).value();

  // The list, on the main thread: this device first and marked, the tablet with its model.
  OwnDevicesOutcome listed = list(phone);
  ASSERT_TRUE(listed.devices) << listed.message.value_or("");
  EXPECT_EQ(listed.thread, mainThread);
  const nlohmann::json& reply = *listed.devices;
  EXPECT_EQ(reply.at("device_id"), phoneID);
  ASSERT_EQ(reply.at("devices").size(), 2u) << reply.dump();
  EXPECT_EQ(reply["devices"][0].at("_id"), phoneID);
  EXPECT_EQ(reply["devices"][0].at("current"), true);
  EXPECT_EQ(reply["devices"][1].at("_id"), tabletID);
  EXPECT_EQ(reply["devices"][1].at("current"), false);
  EXPECT_EQ(reply["devices"][1]["info"]["device"].at("model"), "iPad Air");
  EXPECT_TRUE(reply["devices"][1].at("createdAt").is_string());
  EXPECT_FALSE(reply.contains("swaps")) << "the project does not cap device changes";

  // Signing the tablet out from the phone reaches the tablet over its stream.
  ASSERT_TRUE(pump([&] { return sandbox.openStreams(tabletID) > 0; }));
  OwnDevicesOutcome out = signOut(phone, tabletID);
  EXPECT_EQ(out.signedOut, tabletID) << out.message.value_or("");
  EXPECT_EQ(out.thread, mainThread);
  EXPECT_FALSE(out.message);
  EXPECT_TRUE(pump([&] { return tabletLoggedOut; }));
  listed = list(phone);
  ASSERT_TRUE(listed.devices);
  EXPECT_EQ(listed.devices->at("devices").size(), 1u);

  // Bob's device is none of alice's: refused with the service's status and words.
  out = signOut(phone, deviceID(bobs).value());
  EXPECT_FALSE(out.signedOut);
  EXPECT_EQ(out.status, 404);
  EXPECT_EQ(out.message, "unknown device");
  EXPECT_FALSE(out.nextChangeAt);
  EXPECT_EQ(list(bobs).devices.value().at("devices").size(), 1u);

  // The tablet's access was ended with it.
  listed = list(tablet);
  EXPECT_FALSE(listed.devices);
  EXPECT_EQ(listed.status, 401);
  EXPECT_EQ(listed.message, "unknown access");

  // A code the service never sent.
  OwnDevicesOutcome byCode;
  ASSERT_EQ(
      zelk_client_logout_device_with_code(phone, " K7QM-2XD9 ", ZELK_NUL_TERMINATED,
                                          OwnDevicesOutcome::signedOutDevice, &byCode, nullptr),
      ZELK_OK);
  ASSERT_TRUE(pump([&] { return byCode.calls > 0; }));
  EXPECT_EQ(byCode.status, 404);
  EXPECT_EQ(byCode.message, "unknown code");
}

TEST_F(CInterfaceOwnDevicesTest, AChangeBeyondTheProjectsCapIsRefusedWithTheNextChangesDate) {
  zelk::sandbox::ProjectSettings settings = sandbox.projectSettings("c-own");
  settings.deviceChangesLimit = 1;
  settings.deviceChangesDays = 30;
  sandbox.configureProject("c-own", settings);
  zelk_client* phone = attached("iPhone", "31111111-0000-4000-8000-000000000001");
  zelk_client* tablet = attached("iPad Air", "31111111-0000-4000-8000-000000000002");
  zelk_client* laptop = attached("Laptop", "31111111-0000-4000-8000-000000000003");

  OwnDevicesOutcome listed = list(phone);
  ASSERT_TRUE(listed.devices);
  EXPECT_EQ(listed.devices->at("devices").size(), 3u);
  const nlohmann::json fresh = listed.devices->at("swaps");
  EXPECT_EQ(fresh.at("limit"), 1);
  EXPECT_EQ(fresh.at("days"), 30);
  EXPECT_EQ(fresh.at("used"), 0);
  EXPECT_FALSE(fresh.contains("next_change_at"));

  EXPECT_EQ(signOut(phone, deviceID(tablet).value()).signedOut, deviceID(tablet));
  listed = list(phone);
  ASSERT_TRUE(listed.devices);
  const nlohmann::json used = listed.devices->at("swaps");
  EXPECT_EQ(used.at("used"), 1);
  EXPECT_TRUE(used.at("next_change_at").is_string()) << used.dump();

  const auto now = std::chrono::duration_cast<std::chrono::milliseconds>(
                       std::chrono::system_clock::now().time_since_epoch())
                       .count();
  OwnDevicesOutcome refused = signOut(phone, deviceID(laptop).value());
  EXPECT_FALSE(refused.signedOut);
  EXPECT_EQ(refused.status, 409);
  EXPECT_TRUE(refused.message && !refused.message->empty());
  ASSERT_TRUE(refused.nextChangeAt);
  EXPECT_GT(*refused.nextChangeAt, now + 29LL * 24 * 3600 * 1000);
  EXPECT_LE(*refused.nextChangeAt, now + 31LL * 24 * 3600 * 1000);
}

TEST_F(CInterfaceOwnDevicesTest, WhatFailsBeforeAnythingIsSentIsAnsweredAtOnce) {
  zelk_client* unattached = makeClient("iPhone", nullptr, "c-own");
  Releases releases;
  OwnDevicesOutcome listed;
  struct Both {
    OwnDevicesOutcome* outcome;
    Releases* releases;
  } both{&listed, &releases};
  // Without a current device the answer comes before the call returns, on the calling thread.
  ASSERT_EQ(zelk_client_devices(
                unattached,
                [](void* data, const char* json, size_t length, const zelk_service_error* error) {
                  OwnDevicesOutcome::listed(static_cast<Both*>(data)->outcome, json, length, error);
                },
                &both, [](void* data) { Releases::release(static_cast<Both*>(data)->releases); }),
            ZELK_OK);
  EXPECT_EQ(listed.calls, 1);
  EXPECT_EQ(listed.message, "no device attached");
  EXPECT_EQ(listed.status, 0);
  EXPECT_EQ(releases.count.load(), 1);

  OwnDevicesOutcome out;
  ASSERT_EQ(zelk_client_logout_device(unattached, "dev_1", ZELK_NUL_TERMINATED,
                                      OwnDevicesOutcome::signedOutDevice, &out, nullptr),
            ZELK_OK);
  EXPECT_EQ(out.calls, 1);
  EXPECT_EQ(out.message, "no device attached");

  zelk_client* phone = attached("iPhone", "41111111-0000-4000-8000-000000000001");
  OwnDevicesOutcome empty;
  ASSERT_EQ(
      zelk_client_logout_device(phone, "", 0, OwnDevicesOutcome::signedOutDevice, &empty, nullptr),
      ZELK_OK);
  EXPECT_EQ(empty.calls, 1);
  EXPECT_EQ(empty.message, "no device to sign out");
  OwnDevicesOutcome blank;
  ASSERT_EQ(
      zelk_client_logout_device_with_code(phone, " \t ", ZELK_NUL_TERMINATED,
                                          OwnDevicesOutcome::signedOutDevice, &blank, nullptr),
      ZELK_OK);
  EXPECT_EQ(blank.calls, 1);
  EXPECT_EQ(blank.message, "no code given");

  // The host's mistakes are statuses; the user data goes all the same.
  EXPECT_EQ(zelk_client_devices(phone, nullptr, &releases, Releases::release),
            ZELK_ERROR_NULL_ARGUMENT);
  EXPECT_EQ(lastError(), "zelk_client_devices: on_complete is NULL");
  EXPECT_EQ(zelk_client_logout_device(phone, nullptr, 0, nullptr, &releases, Releases::release),
            ZELK_ERROR_NULL_ARGUMENT);
  EXPECT_EQ(lastError(), "zelk_client_logout_device: device_id is NULL");
  EXPECT_EQ(
      zelk_client_logout_device_with_code(phone, "\xff", 1, nullptr, &releases, Releases::release),
      ZELK_ERROR_INVALID_UTF8);
  EXPECT_EQ(zelk_client_devices(nullptr, OwnDevicesOutcome::listed, &releases, Releases::release),
            ZELK_ERROR_NULL_ARGUMENT);
  EXPECT_EQ(releases.count.load(), 5);
  // A sign-out without a callback is sent all the same.
  const size_t before = sandbox.requests().size();
  EXPECT_EQ(zelk_client_logout_device(phone, "dev_unknown", ZELK_NUL_TERMINATED, nullptr, nullptr,
                                      nullptr),
            ZELK_OK);
  bool idle = false;
  EXPECT_EQ(zelk_client_flush(phone, 5000, &idle), ZELK_OK);
  EXPECT_TRUE(idle);
  bool sent = false;
  const auto requests = sandbox.requests();
  for (size_t i = before; i < requests.size(); ++i) {
    sent = sent || requests[i].path == "/v2/access/devices/logout";
  }
  EXPECT_TRUE(sent);
}

// ---- What the host gets wrong -----------------------------------------------------------------

TEST_F(CInterfaceTest, NullHandlesAndPointersFailWithTheirNames) {
  Releases releases;
  EXPECT_EQ(zelk_client_attach(nullptr, nullptr, 0, nullptr, &releases, Releases::release),
            ZELK_ERROR_NULL_ARGUMENT);
  EXPECT_EQ(lastError(), "zelk_client_attach: client is NULL");
  EXPECT_EQ(releases.count.load(), 1);  // released even though the call failed

  zelk_screen* screen = reinterpret_cast<zelk_screen*>(1);
  EXPECT_EQ(zelk_container_screen(nullptr, &screen), ZELK_ERROR_NULL_ARGUMENT);
  EXPECT_EQ(screen, nullptr);  // out-parameters are cleared on failure
  zelk_client* client = makeClient("iPhone", nullptr);
  EXPECT_EQ(zelk_client_device_id(client, nullptr, nullptr), ZELK_ERROR_NULL_ARGUMENT);
  EXPECT_EQ(zelk_client_new(nullptr, 0, nullptr, &client), ZELK_ERROR_NULL_ARGUMENT);
  EXPECT_EQ(zelk_run_loop_run_until(loop, nullptr, nullptr, 0, nullptr), ZELK_ERROR_NULL_ARGUMENT);
  // The frees take NULL quietly.
  zelk_client_free(nullptr);
  zelk_screen_free(nullptr);
  EXPECT_STREQ(zelk_status_name(ZELK_ERROR_NULL_ARGUMENT), "ZELK_ERROR_NULL_ARGUMENT");
  EXPECT_STREQ(zelk_status_name(static_cast<zelk_status>(99)), "ZELK_STATUS_UNKNOWN");
}

TEST_F(CInterfaceTest, TextsThatAreNotUTF8AreRefused) {
  zelk_client* client = makeClient("iPhone", nullptr);
  for (const char* bad :
       {"\xC3\x28", "\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "abc\xE2\x82"}) {
    EXPECT_EQ(zelk_client_set_user_id(client, bad, std::strlen(bad)), ZELK_ERROR_INVALID_UTF8)
        << bad;
  }
  EXPECT_EQ(lastError(), "zelk_client_set_user_id: user_id is not valid UTF-8");
  zelk_client* other = nullptr;
  EXPECT_EQ(zelk_client_new("\xFF", 1, nullptr, &other), ZELK_ERROR_INVALID_UTF8);
  EXPECT_EQ(other, nullptr);
  // Well-formed text of every length of sequence passes, an explicit length may hold a NUL.
  EXPECT_EQ(zelk_client_set_user_id(client, "\x41\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", 10),
            ZELK_OK);
  EXPECT_EQ(zelk_client_set_user_id(client, "a\0b", 3), ZELK_OK);

  // Metadata must be a JSON object of texts.
  EXPECT_EQ(
      zelk_client_attach(client, "{\"plan\":", ZELK_NUL_TERMINATED, nullptr, nullptr, nullptr),
      ZELK_ERROR_INVALID_ARGUMENT);
  EXPECT_EQ(
      zelk_client_attach(client, "{\"seats\":3}", ZELK_NUL_TERMINATED, nullptr, nullptr, nullptr),
      ZELK_ERROR_INVALID_ARGUMENT);
  EXPECT_EQ(lastError(), "zelk_client_attach: metadata member \"seats\" is not a text");
  EXPECT_EQ(zelk_client_identify(client, "[]", 2, nullptr, nullptr, nullptr),
            ZELK_ERROR_INVALID_ARGUMENT);
}

TEST_F(CInterfaceTest, FreedAndMistypedHandlesAreRefused) {
  zelk_client* client = makeClient("iPhone", nullptr);
  zelk_client_free(client);
  clients.clear();
  EXPECT_EQ(zelk_client_set_user_id(client, "bob", 3), ZELK_ERROR_INVALID_HANDLE);
  char* text = nullptr;
  EXPECT_EQ(zelk_client_device_id(client, &text, nullptr), ZELK_ERROR_INVALID_HANDLE);
  zelk_client_free(client);  // a second free is ignored

  // A handle of one type is not taken for another.
  zelk_run_loop* other = nullptr;
  ASSERT_EQ(zelk_run_loop_new(&other), ZELK_OK);
  EXPECT_EQ(zelk_client_set_user_id(reinterpret_cast<zelk_client*>(other), "bob", 3),
            ZELK_ERROR_INVALID_HANDLE);
  zelk_run_loop_free(other);
  EXPECT_EQ(zelk_run_loop_stop(other), ZELK_ERROR_INVALID_HANDLE);
  // Nor is a value that never was a handle.
  EXPECT_EQ(zelk_run_loop_stop(reinterpret_cast<zelk_run_loop*>(0x12345)),
            ZELK_ERROR_INVALID_HANDLE);

  // A record handed to a callback lives as long as the callback.
  zelk_client* live = makeClient("iPhone", nullptr);
  zelk_attach_response* kept = nullptr;
  ASSERT_EQ(zelk_client_attach(
                live, nullptr, 0,
                [](void* data, zelk_attach_response* response) {
                  *static_cast<zelk_attach_response**>(data) = response;
                },
                &kept, nullptr),
            ZELK_OK);
  ASSERT_TRUE(pump([&] { return deviceID(live).has_value(); }));
  zelk_client_flush(live, 5000, nullptr);
  ASSERT_NE(kept, nullptr);
  EXPECT_EQ(zelk_attach_response_text(kept, ZELK_ATTACH_DEVICE_ID, &text, nullptr),
            ZELK_ERROR_INVALID_HANDLE);
}

TEST_F(CInterfaceTest, CallbacksThatCallBackInGetAStatus) {
  zelk_client* tablet = makeClient("iPad Air", "7D444840-9DC0-11D1-B245-5FFDCE74FAD2");
  zelk_client_attach(tablet, nullptr, 0, nullptr, nullptr, nullptr);
  ASSERT_TRUE(pump([&] { return deviceID(tablet).has_value(); }));

  // In the attach reply, on the network thread: sending again is fine, waiting is not.
  zelk_client* phone = makeClient("iPhone", "0A1B2C3D-4E5F-4061-8272-839495A6B7C8");
  struct Seen {
    zelk_client* client = nullptr;
    std::atomic<int> flush{-1}, attach{-1};
  } seen;
  seen.client = phone;
  ASSERT_EQ(zelk_client_attach(
                phone, nullptr, 0,
                [](void* data, zelk_attach_response*) {
                  auto* s = static_cast<Seen*>(data);
                  if (s->flush.load() != -1) return;
                  s->flush = zelk_client_flush(s->client, 1000, nullptr);
                  s->attach = zelk_client_attach(s->client, nullptr, 0, nullptr, nullptr, nullptr);
                },
                &seen, nullptr),
            ZELK_OK);
  ASSERT_TRUE(pump([&] { return seen.attach.load() != -1; }));
  EXPECT_EQ(seen.flush.load(), ZELK_ERROR_REENTRANT);
  EXPECT_EQ(seen.attach.load(), ZELK_OK);

  // In a container's change notice, on the main thread: reading is fine, acting is not, and a
  // free waits until the library is done.
  zelk_container* container = nullptr;
  ASSERT_EQ(zelk_container_new(phone, &container), ZELK_OK);
  struct Inside {
    zelk_container* container;
    zelk_run_loop* loop;
    zelk_client* client;
    int screen = -1, back = -1, run = -1, newContainer = -1;
    bool freed = false;
  } inside{container, loop, phone};
  ASSERT_EQ(zelk_container_subscribe(
                container,
                [](void* data) {
                  auto* in = static_cast<Inside*>(data);
                  if (in->freed) return;
                  zelk_screen* screen = nullptr;
                  in->screen = zelk_container_screen(in->container, &screen);
                  if (screen == nullptr) return;
                  zelk_screen_free(screen);
                  bool popped = false;
                  in->back = zelk_container_back(in->container, &popped);
                  in->run = zelk_run_loop_run(in->loop, 0);
                  zelk_container* other = nullptr;
                  in->newContainer = zelk_container_new(in->client, &other);
                  zelk_container_free(in->container);
                  in->freed = true;
                },
                &inside, nullptr, nullptr),
            ZELK_OK);
  ASSERT_TRUE(pump([&] { return inside.freed; }));
  EXPECT_EQ(inside.screen, ZELK_OK);
  EXPECT_EQ(inside.back, ZELK_ERROR_REENTRANT);
  EXPECT_EQ(inside.run, ZELK_ERROR_REENTRANT);
  EXPECT_EQ(inside.newContainer, ZELK_ERROR_REENTRANT);
  // The freed container is refused from now on.
  bool value = false;
  EXPECT_EQ(zelk_container_flag(container, ZELK_CONTAINER_CHALLENGE_VISIBLE, &value),
            ZELK_ERROR_INVALID_HANDLE);

  // A predicate may not run the loop it is checked for.
  struct Nested {
    zelk_run_loop* loop;
    zelk_status status = ZELK_OK;
  } nested{loop};
  bool satisfied = false;
  ASSERT_EQ(zelk_run_loop_run_until(
                loop,
                [](void* data) {
                  auto* n = static_cast<Nested*>(data);
                  n->status = zelk_run_loop_run(n->loop, 0);
                  return true;
                },
                &nested, 1000, &satisfied),
            ZELK_OK);
  EXPECT_TRUE(satisfied);
  EXPECT_EQ(nested.status, ZELK_ERROR_REENTRANT);
}

// A loopback server that accepts connections and never answers.
class SilentServer {
 public:
  SilentServer() {
    socket_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(socket_, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    ::listen(socket_, 8);
    socklen_t size = sizeof(address);
    ::getsockname(socket_, reinterpret_cast<sockaddr*>(&address), &size);
    port_ = ntohs(address.sin_port);
  }
  ~SilentServer() { ::close(socket_); }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }

 private:
  int socket_;
  int port_ = 0;
};

TEST_F(CInterfaceTest, AClientFreedWithARequestInFlightReleasesItsCallbacks) {
  SilentServer server;
  const std::string url = server.url();
  zelk_client_options options;
  zelk_client_options_init(&options);
  options.base_url = url.c_str();
  options.base_url_length = url.size();
  options.run_loop = loop;
  options.preferences = ZELK_PREFERENCES_MEMORY;
  zelk_client* client = nullptr;
  ASSERT_EQ(zelk_client_new("c-road", ZELK_NUL_TERMINATED, &options, &client), ZELK_OK);
  ASSERT_EQ(zelk_client_set_user_id(client, "alice", 5), ZELK_OK);
  Releases releases;
  std::atomic<int> calls{0};
  struct Call {
    Releases* releases;
    std::atomic<int>* calls;
  } call{&releases, &calls};
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(zelk_client_attach(
                  client, nullptr, 0,
                  [](void* data, zelk_attach_response*) { (*static_cast<Call*>(data)->calls)++; },
                  &call, [](void* data) { Releases::release(static_cast<Call*>(data)->releases); }),
              ZELK_OK);
  }
  bool idle = true;
  ASSERT_EQ(zelk_client_flush(client, 200, &idle), ZELK_OK);
  EXPECT_FALSE(idle);        // the server holds them
  zelk_client_free(client);  // on the main thread: the client goes at once
  ASSERT_TRUE(pump([&] { return releases.count.load() == 3; }));
  EXPECT_EQ(calls.load(), 0);
}

TEST_F(CInterfaceTest, MainThreadCallsFromAnotherThreadAreRefused) {
  zelk_client* client = makeClient("iPhone", nullptr);
  zelk_status made = ZELK_OK, logout = ZELK_OK, user = ZELK_ERROR_INTERNAL;
  std::thread([&] {
    zelk_container* container = nullptr;
    made = zelk_container_new(client, &container);
    logout = zelk_client_on_logout(client, nullptr, nullptr, nullptr);
    user = zelk_client_set_user_id(client, "bob", 3);  // any thread
  }).join();
  EXPECT_EQ(made, ZELK_ERROR_WRONG_THREAD);
  EXPECT_EQ(logout, ZELK_ERROR_WRONG_THREAD);
  EXPECT_EQ(user, ZELK_OK);
}

// ---- The host's own loop --------------------------------------------------------------------

// A host loop: a queue of tasks run by the test thread.
struct HostLoop {
  std::mutex mutex;
  std::vector<zelk_task*> tasks;
  std::thread::id thread = std::this_thread::get_id();
  int released = 0;

  static void post(void* data, zelk_task* task, uint64_t) {
    auto* loop = static_cast<HostLoop*>(data);
    std::lock_guard lock(loop->mutex);
    loop->tasks.push_back(task);
  }
  static bool isMainThread(void* data) {
    return std::this_thread::get_id() == static_cast<HostLoop*>(data)->thread;
  }
  std::vector<zelk_task*> takeAll() {
    std::lock_guard lock(mutex);
    return std::exchange(tasks, {});
  }
};

TEST_F(CInterfaceTest, AHostLoopRunsTheLibrarysTasks) {
  HostLoop host;
  const std::string url = sandbox.baseURL();
  zelk_client_options options;
  zelk_client_options_init(&options);
  options.base_url = url.c_str();
  options.base_url_length = url.size();
  options.post = HostLoop::post;
  options.is_main_thread = HostLoop::isMainThread;
  options.queue_user_data = &host;
  options.free_queue_user_data = [](void* data) { static_cast<HostLoop*>(data)->released++; };
  options.preferences = ZELK_PREFERENCES_MEMORY;
  zelk_client* client = nullptr;
  ASSERT_EQ(zelk_client_new("c-road", ZELK_NUL_TERMINATED, &options, &client), ZELK_OK);
  ASSERT_EQ(zelk_client_set_user_id(client, "carol", 5), ZELK_OK);
  bool loggedOut = false;
  ASSERT_EQ(zelk_client_on_logout(
                client, [](void* data) { *static_cast<bool*>(data) = true; }, &loggedOut, nullptr),
            ZELK_OK);
  ASSERT_EQ(zelk_client_attach(client, nullptr, 0, nullptr, nullptr, nullptr), ZELK_OK);
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (!deviceID(client) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(5ms);
  }
  ASSERT_TRUE(deviceID(client));
  // Detaching this device: the reply hops to the host's loop, which calls the logout there.
  ASSERT_EQ(zelk_client_detach(client, nullptr, 0, nullptr, nullptr, nullptr), ZELK_OK);
  while (!loggedOut && std::chrono::steady_clock::now() < deadline) {
    for (zelk_task* task : host.takeAll()) {
      ASSERT_EQ(zelk_task_run(task), ZELK_OK) << lastError();
      EXPECT_EQ(zelk_task_run(task), ZELK_ERROR_INVALID_HANDLE);  // once only
    }
    std::this_thread::sleep_for(2ms);
  }
  EXPECT_TRUE(loggedOut);
  zelk_client_flush(client, 5000, nullptr);
  zelk_client_free(client);
  for (zelk_task* task : host.takeAll()) zelk_task_free(task);
  EXPECT_EQ(host.released, 1);
}

TEST_F(CInterfaceTest, OptionsAreCheckedAndTheirUserDataReleased) {
  Releases releases;
  zelk_client_options options;
  zelk_client_options_init(&options);
  options.post = HostLoop::post;  // without is_main_thread
  options.queue_user_data = &releases;
  options.free_queue_user_data = Releases::release;
  zelk_client* client = nullptr;
  EXPECT_EQ(zelk_client_new("c-road", ZELK_NUL_TERMINATED, &options, &client),
            ZELK_ERROR_INVALID_ARGUMENT);
  EXPECT_EQ(releases.count.load(), 1);
  options.size = 4;
  EXPECT_EQ(zelk_client_new("c-road", ZELK_NUL_TERMINATED, &options, &client),
            ZELK_ERROR_INVALID_ARGUMENT);
  zelk_client_options_init(&options);
  options.preferences = ZELK_PREFERENCES_FILE;
  EXPECT_EQ(zelk_client_new("c-road", ZELK_NUL_TERMINATED, &options, &client),
            ZELK_ERROR_INVALID_ARGUMENT);
  EXPECT_EQ(lastError(), "zelk_client_new: ZELK_PREFERENCES_FILE needs options.preferences_path");
  EXPECT_EQ(client, nullptr);
}

TEST(CInterfaceTexts, TheLocaliserAndTheBuiltInTranslationsReachTheTexts) {
  struct Entry {
    static void localize(void*, const char* key, size_t length, zelk_text* out) {
      if (std::string(key, length) == "Verify to continue") {
        zelk_text_set(out, "Weiter nach Prüfung", ZELK_NUL_TERMINATED);
      }
    }
  };
  Releases releases;
  ASSERT_EQ(zelk_set_localizer(Entry::localize, &releases, Releases::release), ZELK_OK);
  char* text = nullptr;
  size_t length = 0;
  ASSERT_EQ(zelk_localized("Verify to continue", ZELK_NUL_TERMINATED, &text, &length), ZELK_OK);
  EXPECT_EQ(take(text, length), "Weiter nach Prüfung");
  ASSERT_EQ(zelk_localized("Verify code", ZELK_NUL_TERMINATED, &text, &length), ZELK_OK);
  EXPECT_EQ(take(text, length), "Verify code");  // no entry: the key
  ASSERT_EQ(zelk_use_builtin_translations("fr_FR", ZELK_NUL_TERMINATED), ZELK_OK);
  ASSERT_EQ(zelk_localized("Verify code", ZELK_NUL_TERMINATED, &text, &length), ZELK_OK);
  EXPECT_NE(take(text, length), "Verify code");
  ASSERT_EQ(zelk_stop_builtin_translations(), ZELK_OK);
  ASSERT_EQ(zelk_set_localizer(nullptr, nullptr, nullptr), ZELK_OK);
  EXPECT_EQ(releases.count.load(), 1);
  EXPECT_EQ(zelk_text_set(nullptr, "x", 1), ZELK_ERROR_NULL_ARGUMENT);
  EXPECT_STREQ(zelk_version(), ZELK_VERSION_TEXT);
  EXPECT_EQ(zelk_abi_version(), ZELK_ABI_VERSION);
}

}  // namespace
