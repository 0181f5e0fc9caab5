// SPDX-License-Identifier: Apache-2.0
// What keeps the service from being guessed, flooded or filled up: one-time codes with a
// lifetime, a number of checks and a send rate; the policy at the device limit; the contact
// details a challenge shows; rate limits; devices that went away without a detach. Driven over
// HTTP against a server in this process whose clock the tests move.

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <sys/stat.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "app/settings.hpp"
#include "routes/rate_limits.hpp"
#include "server_test_support.hpp"

namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using zelk::server::App;
using zelk::testing::kUserSecret;
using zelk::testing::Reply;
using zelk::testing::ServiceClient;
using zelk::testing::TempDir;

using zelk::testing::TestClock;

class ProtectionTest : public ::testing::Test {
 protected:
  void SetUp() override { start(zelk::testing::serverConfig()); }

  void start(zelk::server::AppConfig config) {
    config.clock = [this] { return clock.now(); };
    app = std::make_unique<App>(std::move(config));
    std::string error;
    ASSERT_TRUE(app->start(&error)) << error;
  }

  ServiceClient project(const std::string& clientId, json settings = json::object()) {
    return zelk::testing::makeProject(app->baseURL(), clientId, std::move(settings));
  }

  std::string raise(ServiceClient& client, const std::string& clientId, const std::string& user) {
    const Reply reply =
        client.admin("POST", "/admin/challenges", {{"client_id", clientId}, {"user", user}});
    EXPECT_EQ(reply.status, 200) << reply.body;
    return reply.parsed()["challenge"];
  }

  static Reply requestCode(ServiceClient& client, const std::string& challenge) {
    return client.post("/v2/challenge/attempt",
                       json{{"challenge", challenge}, {"action", "verify"}, {"channel", "email"}});
  }
  static Reply resend(ServiceClient& client, const std::string& challenge) {
    return client.post("/v2/challenge/resend", json{{"challenge", challenge}});
  }
  static bool check(ServiceClient& client, const std::string& challenge, const std::string& code) {
    const Reply reply =
        client.post("/v2/challenge/verify", json{{"challenge", challenge}, {"code", code}});
    EXPECT_EQ(reply.status, 200) << reply.body;
    return reply.parsed().at("success").get<bool>();
  }
  static std::string wrong(std::string code) {
    code[0] = code[0] == '9' ? '0' : static_cast<char>(code[0] + 1);
    return code;
  }
  json challengeState(ServiceClient& client, const std::string& clientId, const std::string& user,
                      std::size_t index = 0) {
    const json state =
        client.admin("GET", "/admin/user?client_id=" + clientId + "&user=" + user).parsed();
    return state["challenges"].at(index);
  }

  TestClock clock;
  std::unique_ptr<App> app;
};

TEST_F(ProtectionTest, ACodeTakesFiveChecksAndThenIsVoid) {
  ServiceClient p = project("checks");
  const std::string challenge = raise(p, "checks", "u");
  ASSERT_EQ(requestCode(p, challenge).status, 200);
  const std::string code = *zelk::testing::lastCode(challenge);

  // Four wrong guesses leave room for the right code.
  for (int i = 0; i < 4; ++i) EXPECT_FALSE(check(p, challenge, wrong(code)));
  EXPECT_TRUE(check(p, challenge, code));

  // Five wrong guesses void it: the right code no longer counts.
  clock.advance(30s);
  ASSERT_EQ(resend(p, challenge).status, 200);
  const std::string second = *zelk::testing::lastCode(challenge);
  EXPECT_NE(second, code);
  EXPECT_FALSE(check(p, challenge, code));  // only the last code sent counts
  for (int i = 0; i < 4; ++i) EXPECT_FALSE(check(p, challenge, wrong(second)));
  EXPECT_FALSE(check(p, challenge, second));  // the sixth check, with the right code
  EXPECT_EQ(challengeState(p, "checks", "u")["code_checks"], 5);

  // A new code starts afresh.
  clock.advance(30s);
  ASSERT_EQ(resend(p, challenge).status, 200);
  EXPECT_TRUE(check(p, challenge, *zelk::testing::lastCode(challenge)));
}

TEST_F(ProtectionTest, ARightCodeVerifiesOnceHoweverManyChecksRaceForIt) {
  ServiceClient p = project("once");
  const std::string challenge = raise(p, "once", "u");
  ASSERT_EQ(requestCode(p, challenge).status, 200);
  const std::string code = *zelk::testing::lastCode(challenge);
  std::atomic<int> answered{0}, right{0};
  std::vector<std::thread> checks;
  for (int i = 0; i < 20; ++i) {
    checks.emplace_back([&] {
      ServiceClient client(app->baseURL(), "once");
      const Reply reply =
          client.post("/v2/challenge/verify", json{{"challenge", challenge}, {"code", code}});
      if (reply.status != 200) return;
      ++answered;
      if (reply.parsed()["success"] == true) ++right;
    });
  }
  for (std::thread& check : checks) check.join();
  EXPECT_EQ(answered, 20);
  EXPECT_EQ(right, 1);
  EXPECT_FALSE(check(p, challenge, code));
  const json state = challengeState(p, "once", "u");
  EXPECT_EQ(state["verified"], true);
  EXPECT_TRUE(state["code_expires_at"].is_null()) << state;
  const json audit = p.admin("GET", "/admin/audit?client_id=once").parsed();
  int used = 0;
  for (const json& entry : audit["entries"]) {
    if (entry["kind"] == "code.rejected" && entry["detail"]["reason"] == "code used") ++used;
  }
  EXPECT_EQ(used, 20) << audit;
}

TEST_F(ProtectionTest, AUserHasOneOpenChallengeWhateverTheAttachesOverTheLimit) {
  ServiceClient p = project("one", {{"overall_limit", 1}});
  const json first = p.attach("u", "A");
  for (const std::string vendor : {"B", "C", "D", "E"}) {
    const json reply = p.attach("u", vendor);
    EXPECT_EQ(reply["success"], true);
  }
  const json user = p.admin("GET", "/admin/user?client_id=one&user=u").parsed();
  ASSERT_EQ(user["challenges"].size(), 1u) << user;
  ASSERT_EQ(user["devices"].size(), 5u);
  // The first device over the limit raised it and every device then attached heard of it; the
  // ones that came after told only themselves, so none of the others got a message each time.
  for (const json& device : user["devices"]) {
    EXPECT_EQ(device["last_event_id"], 1) << device;
  }
  EXPECT_EQ(user["devices"][0]["device_id"], first["device_id"]);
  // Once it is closed, the next attach over the limit raises a new one.
  ASSERT_EQ(p.admin("POST", "/admin/challenges/resolve",
                    {{"client_id", "one"}, {"challenge", user["challenges"][0]["challenge"]}})
                .status,
            200);
  p.attach("u", "F");
  EXPECT_EQ(p.admin("GET", "/admin/user?client_id=one&user=u").parsed()["challenges"].size(), 2u);
}

TEST_F(ProtectionTest, AProjectHasNoPerTypeLimitUntilOneIsSet) {
  ServiceClient p = project("types", {{"overall_limit", 5}});
  const json listed = p.admin("GET", "/admin/projects").parsed()["projects"].at(0);
  for (const char* key : {"mobile_limit", "tablet_limit", "computer_limit"})
    EXPECT_EQ(listed[key], 0) << key;
  for (const std::string vendor : {"A", "B", "C", "D", "E"}) p.attach("u", vendor);
  EXPECT_TRUE(p.admin("GET", "/admin/user?client_id=types&user=u").parsed()["challenges"].empty());
  p.attach("u", "F");
  EXPECT_EQ(p.admin("GET", "/admin/user?client_id=types&user=u").parsed()["challenges"].size(), 1u);
}

TEST_F(ProtectionTest, CodesOfAllOfAUsersChallengesShareAnHourlyLimit) {
  auto config = zelk::testing::serverConfig();
  config.codes.maxUserSendsPerHour = 6;
  start(std::move(config));
  ServiceClient p = project("hourly");
  const std::string first = raise(p, "hourly", "u");
  for (int sent = 0; sent < 5; ++sent, clock.advance(30s))
    ASSERT_EQ(requestCode(p, first).status, 200) << sent;
  // Another challenge of the same user: one more code fits in the user's hour, not a second.
  const std::string second = raise(p, "hourly", "u");
  ASSERT_NE(second, first);
  ASSERT_EQ(requestCode(p, second).status, 200);
  clock.advance(30s);
  const Reply refused = requestCode(p, second);
  EXPECT_EQ(refused.status, 429) << refused.body;
  // Another user is not held back.
  EXPECT_EQ(requestCode(p, raise(p, "hourly", "v")).status, 200);
  // The hour after the first code, one more goes out again.
  clock.advance(1h - 180s);
  EXPECT_EQ(requestCode(p, second).status, 200);
}

TEST_F(ProtectionTest, StoredDocumentsAreBoundedInDepthAndSize) {
  ServiceClient p = project("bounded");
  const auto nested = [](int levels) {
    std::string text;
    for (int i = 0; i < levels; ++i) text += "{\"a\":";
    text += "1";
    for (int i = 0; i < levels; ++i) text += "}";
    return text;
  };
  const auto attach = [&](const std::string& metadata) {
    std::string body = ServiceClient::attachBody("u", "A").dump();
    const std::string empty = "\"metadata\":{}";
    body.replace(body.find(empty), empty.size(), "\"metadata\":" + metadata);
    return p.post("/v2/access", body);
  };
  // The body is one level, so metadata may nest 31 more.
  EXPECT_EQ(attach(nested(31)).status, 200);
  const Reply deep = attach(nested(32));
  EXPECT_EQ(deep.status, 400);
  EXPECT_EQ(deep.parsed()["error"], "metadata nests deeper than 32 levels");
  // What crashed a server on a small stack: tens of thousands of levels in one body.
  const Reply deeper = attach(nested(9000));
  EXPECT_EQ(deeper.status, 400) << deeper.body.substr(0, 200);
  // Brackets in strings are text, not nesting.
  EXPECT_EQ(attach(json{{"note", std::string(100, '[')}}.dump()).status, 200);

  const Reply large = attach(json{{"note", std::string(20'000, 'x')}}.dump());
  EXPECT_EQ(large.status, 400);
  EXPECT_EQ(large.parsed()["error"], "metadata must be at most 16384 bytes as JSON");
  EXPECT_EQ(attach(json{{"note", std::string(16'000, 'x')}}.dump()).status, 200);
  // Nothing else in a body may nest deep either.
  json body = ServiceClient::attachBody("u", "A");
  std::string text = body.dump();
  text.insert(1, "\"extra\":" + nested(40) + ",");
  const Reply extra = p.post("/v2/access", text);
  EXPECT_EQ(extra.status, 400);
  EXPECT_EQ(extra.parsed()["error"], "extra nests deeper than 32 levels");
}

TEST_F(ProtectionTest, ACodeExpiresAfterItsLifetime) {
  ServiceClient p = project("expiry");
  const std::string challenge = raise(p, "expiry", "u");
  ASSERT_EQ(requestCode(p, challenge).status, 200);
  const std::string code = *zelk::testing::lastCode(challenge);
  const json state = challengeState(p, "expiry", "u");
  EXPECT_FALSE(state["code_expires_at"].is_null()) << state;
  clock.advance(10min);
  EXPECT_FALSE(check(p, challenge, code));
  EXPECT_FALSE(challengeState(p, "expiry", "u")["verified"].get<bool>());
}

TEST_F(ProtectionTest, ALifetimeAndLimitsFromTheConfiguration) {
  auto config = zelk::testing::serverConfig();
  config.codes.lifetime = 60s;
  config.codes.maxChecks = 2;
  start(std::move(config));
  ServiceClient p = project("configured");
  const std::string challenge = raise(p, "configured", "u");
  ASSERT_EQ(requestCode(p, challenge).status, 200);
  const std::string code = *zelk::testing::lastCode(challenge);
  clock.advance(59s);
  EXPECT_FALSE(check(p, challenge, wrong(code)));
  EXPECT_TRUE(check(p, challenge, code));
  EXPECT_FALSE(check(p, challenge, code));  // used, and past two checks
  clock.advance(2s);
  ASSERT_EQ(resend(p, challenge).status, 200);
  clock.advance(61s);
  EXPECT_FALSE(check(p, challenge, *zelk::testing::lastCode(challenge)));  // past a minute
}

TEST_F(ProtectionTest, CodesGoOutAtMostEveryThirtySecondsAndFiveTimesAnHour) {
  ServiceClient p = project("sends");
  const std::string challenge = raise(p, "sends", "u");
  ASSERT_EQ(requestCode(p, challenge).status, 200);
  const std::string first = *zelk::testing::lastCode(challenge);

  // Too soon: refused with the time to wait, and the code sent stays good.
  clock.advance(10s);
  const Reply early = resend(p, challenge);
  EXPECT_EQ(early.status, 429) << early.body;
  EXPECT_EQ(early.parsed()["success"], false);
  EXPECT_EQ(zelk::testing::lastCode(challenge), first);
  const Reply early2 = requestCode(p, challenge);  // the library's code request alike
  EXPECT_EQ(early2.status, 429);

  clock.advance(20s);
  ASSERT_EQ(resend(p, challenge).status, 200);
  for (int sent = 3; sent <= 5; ++sent) {
    clock.advance(30s);
    ASSERT_EQ(resend(p, challenge).status, 200) << sent;
  }
  // Five in the hour: the sixth waits until the first is an hour old.
  clock.advance(30s);
  const Reply sixth = resend(p, challenge);
  EXPECT_EQ(sixth.status, 429);
  EXPECT_EQ(challengeState(p, "sends", "u")["codes_sent"], 5);
  clock.advance(1h - 150s - 1s);
  EXPECT_EQ(resend(p, challenge).status, 429);
  clock.advance(1s);
  EXPECT_EQ(resend(p, challenge).status, 200);
  EXPECT_TRUE(check(p, challenge, *zelk::testing::lastCode(challenge)));
}

TEST_F(ProtectionTest, AThousandGuessesInAnHourMeetTheLimits) {
  ServiceClient p = project("guesses");
  const std::string challenge = raise(p, "guesses", "u");
  ASSERT_EQ(requestCode(p, challenge).status, 200);
  // Every guess the attacker makes, resending whenever the service lets it: at most five codes
  // and five checks of each can be compared within the hour.
  int guess = 0, compared = 0;
  for (auto elapsed = 0s; elapsed < 1h && guess < 1000; elapsed += 18s, clock.advance(18s)) {
    resend(p, challenge);
    for (int i = 0; i < 5 && guess < 1000; ++i, ++guess) {
      char text[16];
      std::snprintf(text, sizeof text, "%06d", guess);
      if (check(p, challenge, text)) break;
    }
    compared = challengeState(p, "guesses", "u")["codes_sent"].get<int>() * 5;
  }
  EXPECT_EQ(guess, 1000);
  const json state = challengeState(p, "guesses", "u");
  EXPECT_LE(state["codes_sent"].get<int>(), 5) << state;
  EXPECT_LE(compared, 25);
  EXPECT_EQ(state["checks"], 1000);
}

TEST_F(ProtectionTest, CodesAreKeptUnderTheServerKeyOnly) {
  TempDir dir;
  auto config = zelk::testing::serverConfig(dir.file("zelk.db"));
  config.codeKey = "first key";
  start(config);
  ServiceClient p = project("keyed");
  const std::string challenge = raise(p, "keyed", "u");
  ASSERT_EQ(requestCode(p, challenge).status, 200);
  const std::string code = *zelk::testing::lastCode(challenge);
  const Reply user = p.admin("GET", "/admin/user?client_id=keyed&user=u");
  EXPECT_EQ(user.body.find("\"" + code + "\""), std::string::npos) << user.body;

  // Under another key the code is no longer right: nothing of it is kept but its HMAC.
  app.reset();
  config.codeKey = "second key";
  start(config);
  ServiceClient second(app->baseURL(), "keyed");
  EXPECT_FALSE(check(second, challenge, code));
  app.reset();
  config.codeKey = "first key";
  start(config);
  ServiceClient first(app->baseURL(), "keyed");
  EXPECT_TRUE(check(first, challenge, code));
}

TEST_F(ProtectionTest, TheLimitPolicyIsAProjectSetting) {
  ServiceClient p = project("policy", {{"overall_limit", 1}, {"limit_policy", "block"}});
  EXPECT_EQ(p.admin("GET", "/admin/projects").parsed()["projects"][0]["limit_policy"], "block");
  p.attach("u", "A");
  const Reply refused = p.post("/v2/access", ServiceClient::attachBody("u", "B"));
  ASSERT_EQ(refused.status, 200);
  EXPECT_EQ(refused.parsed(), (json{{"success", false},
                                    {"attached_devices", 1},
                                    {"block_over_usage", true},
                                    {"default_device_limit", 1}}));
  EXPECT_EQ(p.admin("POST", "/admin/projects", {{"client_id", "policy"}, {"limit_policy", "kick"}})
                .status,
            400);
  // Per-type limits go by the same policy: evicting, a second tablet pushes out the first.
  project("policy", {{"overall_limit", 5},
                     {"tablet_limit", 1},
                     {"limit_policy", "evict_oldest"},
                     {"user_secret", kUserSecret}});
  p.signUsersWith(kUserSecret);
  const auto tablet = [&](const std::string& vendor) {
    json body = ServiceClient::attachBody("u", vendor);
    body["device_info"]["device"]["type"] = "tablet";
    p.sign(body);
    return p.post("/v2/access", body).parsed();
  };
  const json first = tablet("T1");
  clock.advance(1s);
  const json second = tablet("T2");
  EXPECT_EQ(second["success"], true);
  EXPECT_EQ(second["attached_devices"], 2);  // the phone and the new tablet
  const json user = p.admin("GET", "/admin/user?client_id=policy&user=u").parsed();
  ASSERT_EQ(user["devices"].size(), 2u) << user;
  EXPECT_EQ(user["devices"][1]["device_id"], second["device_id"]);
  EXPECT_NE(user["devices"][0]["device_id"], first["device_id"]);
  EXPECT_TRUE(user["challenges"].empty());
}

TEST(ContactMasks, KeepOnlyWhatTellsTheOwnerWhichItIs) {
  using zelk::server::maskEmail;
  using zelk::server::maskPhone;
  EXPECT_EQ(maskEmail("alice@example.com"), "a\u2022\u2022\u2022e@example.com");
  EXPECT_EQ(maskEmail("al@example.com"), "a\u2022\u2022\u2022l@example.com");
  EXPECT_EQ(maskEmail("a@example.com"), "a\u2022\u2022\u2022@example.com");
  EXPECT_EQ(maskEmail("\u00e9lo\u00efse@example.com"), "\u00e9\u2022\u2022\u2022e@example.com");
  EXPECT_EQ(maskEmail("l\u00e9a\u00ef@example.com"), "l\u2022\u2022\u2022\u00ef@example.com");
  EXPECT_EQ(maskEmail("no-at-sign"), "n\u2022\u2022\u2022n");
  EXPECT_EQ(maskEmail("@example.com"), "@example.com");
  EXPECT_EQ(maskPhone("+1 555 010 4821"), "\u2022\u2022\u2022\u2022 4821");
  EXPECT_EQ(maskPhone("+33 6 12 34 56 78"), "\u2022\u2022\u2022\u2022 5678");
  EXPECT_EQ(maskPhone("4821"), "\u2022\u2022\u2022\u2022");
  EXPECT_EQ(maskPhone("call me"), "\u2022\u2022\u2022\u2022");
}

TEST_F(ProtectionTest, AChallengeShowsTheContactsMaskedUnlessTheProjectSaysOtherwise) {
  ServiceClient p = project("contacts");
  ASSERT_EQ(p.admin("POST", "/admin/users",
                    {{"client_id", "contacts"},
                     {"user", "u"},
                     {"email", "alice@example.com"},
                     {"phone", "+1 555 010 4821"}})
                .status,
            200);
  const std::string challenge = raise(p, "contacts", "u");
  const json masked = p.get("/v2/challenge/" + challenge).parsed();
  EXPECT_EQ(masked["user"], (json{{"_id", "u"},
                                  {"email", "a\u2022\u2022\u2022e@example.com"},
                                  {"phone", "\u2022\u2022\u2022\u2022 4821"}}));
  // The operator still sees them whole.
  const json user = p.admin("GET", "/admin/user?client_id=contacts&user=u").parsed();
  EXPECT_EQ(user["email"], "alice@example.com");

  project("contacts", {{"show_contacts", true}});
  const json whole = p.get("/v2/challenge/" + challenge).parsed();
  EXPECT_EQ(whole["user"],
            (json{{"_id", "u"}, {"email", "alice@example.com"}, {"phone", "+1 555 010 4821"}}));
  EXPECT_EQ(
      p.admin("POST", "/admin/projects", {{"client_id", "contacts"}, {"show_contacts", "yes"}})
          .status,
      400);
}

TEST_F(ProtectionTest, RequestsPastTheRateAreRefusedUntilTheBucketRefills) {
  auto config = zelk::testing::serverConfig();
  config.rateLimits.perAddress = {60, 3};  // one a second, three at once
  config.rateLimits.perClient = {600, 5};
  start(std::move(config));
  ServiceClient p = project("rates");
  const json identify = {{"device_info", json::object()},
                         {"signals", {{"iosVendorIdentifier", "V"}}}};
  for (int i = 0; i < 3; ++i) EXPECT_EQ(p.post("/v2/identity", identify).status, 200) << i;
  const Reply refused = p.post("/v2/identity", identify);
  EXPECT_EQ(refused.status, 429) << refused.body;
  EXPECT_EQ(refused.parsed()["success"], false);
  // Detach is never held back: it frees a slot.
  EXPECT_EQ(p.post("/v2/access/detach", json{{"device", "dev_0"}, {"user", "u"}}).status, 404);
  const Reply metrics = [&] {
    zelk::testing::HttpClient http(app->baseURL());
    auto result = http.Get("/metrics");
    return Reply{result ? result->status : 0, result ? result->body : ""};
  }();
  EXPECT_NE(metrics.body.find("zelk_rate_limited_total{scope=\"address\"} 1"), std::string::npos)
      << metrics.body;
}

TEST(RateLimiter, RefillsWithTimeAndSaysWhenToComeBack) {
  std::chrono::steady_clock::time_point now{};
  zelk::server::RateLimiter limiter({{60, 2}, {}, {}}, [&] { return now; });
  EXPECT_FALSE(limiter.admit("c", "1.2.3.4"));
  EXPECT_FALSE(limiter.admit("c", "1.2.3.4"));
  const auto refused = limiter.admit("c", "1.2.3.4");
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->scope, "client");
  EXPECT_EQ(refused->retryAfter, 1s);
  EXPECT_FALSE(limiter.admit("other client", "1.2.3.4"));  // a bucket per client id
  now += 1s;
  EXPECT_FALSE(limiter.admit("c", "1.2.3.4"));
  EXPECT_TRUE(limiter.admit("c", "1.2.3.4"));
  now += 10min;  // a full bucket holds no more than its burst
  EXPECT_FALSE(limiter.admit("c", ""));
  EXPECT_FALSE(limiter.admit("c", ""));
  EXPECT_TRUE(limiter.admit("c", ""));
}

TEST(RateLimiter, BelievesForwardedForOnlyFromTrustedProxies) {
  zelk::server::RateLimiter limiter({{}, {60, 1}, {"10.0.0.0/8", "::1"}});
  // Not a proxy: its own address counts, whatever the header says.
  EXPECT_EQ(limiter.sourceAddress("203.0.113.9", "198.51.100.1"), "203.0.113.9");
  // A trusted proxy: the last address it did not add itself.
  EXPECT_EQ(limiter.sourceAddress("10.1.2.3", "198.51.100.1"), "198.51.100.1");
  EXPECT_EQ(limiter.sourceAddress("::1", "198.51.100.7, 10.0.0.2"), "198.51.100.7");
  // A client that forges the header behind a trusted proxy only names itself.
  EXPECT_EQ(limiter.sourceAddress("10.1.2.3", "1.1.1.1, 203.0.113.50"), "203.0.113.50");
  EXPECT_EQ(limiter.sourceAddress("10.1.2.3", "not an address"), "10.1.2.3");
  EXPECT_EQ(limiter.sourceAddress("10.1.2.3", ""), "10.1.2.3");
  EXPECT_EQ(limiter.sourceAddress("::ffff:10.9.9.9", "198.51.100.3"), "198.51.100.3");
  EXPECT_FALSE(limiter.admit("", limiter.sourceAddress("203.0.113.9", "1.1.1.1")));
  EXPECT_TRUE(limiter.admit("", limiter.sourceAddress("203.0.113.9", "2.2.2.2")));
  EXPECT_THROW(zelk::server::RateLimiter({{}, {}, {"10.0.0.0/33"}}), std::invalid_argument);
  EXPECT_THROW(zelk::server::RateLimiter({{}, {}, {"proxy.example"}}), std::invalid_argument);
}

TEST(RateLimitSettings, ComeFromFlagsAndAreOffInTheSandbox) {
  using zelk::server::readSettings;
  const auto server = readSettings({}, {}, false).app.rateLimits;
  EXPECT_GT(server.perClient.perMinute, 0);
  EXPECT_GT(server.perAddress.perMinute, 0);
  const auto sandbox = readSettings({"--sandbox"}, {}, false).app.rateLimits;
  EXPECT_EQ(sandbox.perClient.perMinute, 0);
  EXPECT_EQ(sandbox.perAddress.perMinute, 0);
  const auto set =
      readSettings({"--rate-limit-address", "20", "--trusted-proxies", "127.0.0.1, 10.0.0.0/8"},
                   {{"ZELK_SERVER_RATE_LIMIT_CLIENT", "0"}}, false)
          .app.rateLimits;
  EXPECT_EQ(set.perAddress.perMinute, 20);
  EXPECT_EQ(set.perClient.perMinute, 0);
  EXPECT_EQ(set.trustedProxies, (std::vector<std::string>{"127.0.0.1", "10.0.0.0/8"}));
  EXPECT_THROW(readSettings({"--trusted-proxies", "10.0.0.0/40"}, {}, false),
               std::invalid_argument);
  EXPECT_THROW(readSettings({"--rate-limit-client", "-1"}, {}, false), std::invalid_argument);
}

TEST_F(ProtectionTest, ADeviceWithoutAStreamIsDetachedAfterItsGrace) {
  ServiceClient p = project("live", {{"overall_limit", 1}, {"liveness_grace", 60}});
  const json quiet = p.attach("u", "quiet");
  clock.advance(59s);
  app->sweepIdleDevices();
  EXPECT_EQ(p.admin("GET", "/admin/user?client_id=live&user=u").parsed()["devices"].size(), 1u);
  clock.advance(1s);
  // Past its grace the device no longer holds the slot: the next attach raises no challenge.
  const json next = p.attach("u", "next");
  EXPECT_EQ(next["attached_devices"], 1);
  const json user = p.admin("GET", "/admin/user?client_id=live&user=u").parsed();
  ASSERT_EQ(user["devices"].size(), 1u);
  EXPECT_EQ(user["devices"][0]["device_id"], next["device_id"]);
  EXPECT_TRUE(user["challenges"].empty());
  // Detached as a detach would: its stream, when the app comes back, hears the logout and ends.
  zelk::testing::RawConnection stream(app->port());
  stream.send(p.listenRequest(quiet["device_id"], quiet["access"], "Connection: close\r\n"));
  ASSERT_TRUE(stream.readUntilClosed());
  const std::string& received = stream.received();
  EXPECT_EQ(received.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << received;
  EXPECT_TRUE(received.ends_with(zelk::testing::chunk("id: 1\ndata: \"logout\"\n\n") + "0\r\n\r\n"))
      << received;
}

TEST_F(ProtectionTest, AProjectThatWantsSignedUsersRefusesEveryOtherAttach) {
  EXPECT_EQ(ServiceClient(app->baseURL(), "signed")
                .admin("POST", "/admin/projects",
                       {{"client_id", "signed"}, {"require_signed_users", true}})
                .status,
            400);  // nothing to check signatures with
  ServiceClient p =
      project("signed", {{"require_signed_users", true}, {"user_secret", kUserSecret}});
  const auto attach = [&](const json& metadata) {
    json body = ServiceClient::attachBody("alice", "A");
    body["metadata"] = metadata;
    return p.post("/v2/access", body);
  };
  const std::string right = zelk::server::hmacSha256Hex(kUserSecret, "alice");
  std::string wrong = right;
  wrong[0] = wrong[0] == 'a' ? 'b' : 'a';
  for (const json& metadata :
       {json::object(), json{{"user_signature", ""}}, json{{"user_signature", wrong}},
        json{{"user_signature", zelk::server::hmacSha256Hex(kUserSecret, "bob")}},
        json{
            {"user_signature", zelk::server::hmacSha256Hex("another secret entirely", "alice")}}}) {
    const Reply refused = attach(metadata);
    EXPECT_EQ(refused.status, 401) << metadata;
    EXPECT_EQ(refused.parsed()["error"],
              "the user's signature (metadata.user_signature) is missing or wrong");
  }
  EXPECT_EQ(attach({{"user_signature", 7}}).status, 400);
  const Reply signedIn = attach({{"user_signature", right}, {"plan", "pro"}});
  ASSERT_EQ(signedIn.status, 200) << signedIn.body;
  // The signature vouched for this attach and is not kept with the device.
  const json user = p.admin("GET", "/admin/user?client_id=signed&user=alice").parsed();
  EXPECT_EQ(user["devices"][0]["metadata"], (json{{"plan", "pro"}}));
  // The secret shows as set and nothing more, and a project sent back as it was read keeps it.
  json settings = p.admin("GET", "/admin/projects").parsed()["projects"][0];
  EXPECT_EQ(settings["user_secret"], "\u2022\u2022\u2022\u2022\u2022\u2022\u2022\u2022");
  EXPECT_EQ(settings["require_signed_users"], true);
  settings.erase("user_secret");
  ASSERT_EQ(p.admin("POST", "/admin/projects", settings).status, 200);
  EXPECT_EQ(attach({{"user_signature", right}}).status, 200);
  EXPECT_EQ(p.admin("POST", "/admin/projects", {{"client_id", "signed"}, {"user_secret", "short"}})
                .status,
            400);
}

TEST_F(ProtectionTest, AUserHasAtMostTheDevicesTheServerKeeps) {
  auto config = zelk::testing::serverConfig();
  config.maxDevicesPerUser = 3;
  start(std::move(config));
  ServiceClient p = project("many", {{"overall_limit", 100}});
  std::vector<json> devices;
  for (const char* vendor : {"A", "B", "C"}) devices.push_back(p.attach("u", vendor));
  const Reply refused = p.post("/v2/access", ServiceClient::attachBody("u", "D"));
  EXPECT_EQ(refused.status, 409);
  EXPECT_EQ(refused.parsed()["error"],
            "the user has 3 devices attached, the most the server keeps for one user: detach one "
            "first");
  // A device already attached still comes back, another user is not held back, and once one
  // detaches there is room.
  EXPECT_EQ(p.attach("u", "A")["device_id"], devices[0]["device_id"]);
  EXPECT_EQ(p.post("/v2/access", ServiceClient::attachBody("v", "D")).status, 200);
  EXPECT_EQ(p.admin("GET", "/admin/user?client_id=many&user=u").parsed()["devices"].size(), 3u);
  ASSERT_EQ(
      p.post("/v2/access/detach", json{{"user", "u"}, {"device", devices[1]["device_id"]}}).status,
      200);
  EXPECT_EQ(p.post("/v2/access", ServiceClient::attachBody("u", "D")).status, 200);
}

TEST_F(ProtectionTest, OnlyASignedUserEverEvicts) {
  EXPECT_EQ(ServiceClient(app->baseURL(), "evict")
                .admin("POST", "/admin/projects",
                       {{"client_id", "evict"}, {"limit_policy", "evict_oldest"}})
                .status,
            400);  // no user could ever be signed
  ServiceClient p = project(
      "evict",
      {{"overall_limit", 1}, {"limit_policy", "evict_oldest"}, {"user_secret", kUserSecret}});
  const json real = p.attach("alice", "phone");
  // Someone with the app's public client id attaches as alice, unsigned: challenged, and the
  // real device stays.
  ServiceClient stranger(app->baseURL(), "evict");
  const json unsignedAttach = stranger.attach("alice", "intruder");
  EXPECT_EQ(unsignedAttach["success"], true);
  EXPECT_EQ(app->service().challenges("evict", "alice").size(), 1u);
  json user = p.admin("GET", "/admin/user?client_id=evict&user=alice").parsed();
  ASSERT_EQ(user["devices"].size(), 2u) << user;
  EXPECT_EQ(user["devices"][0]["device_id"], real["device_id"]);
  // A signed attach evicts, the least recently active first.
  clock.advance(1s);
  p.attach("alice", "phone");
  clock.advance(1s);
  const json laptop = p.attach("alice", "laptop");
  user = p.admin("GET", "/admin/user?client_id=evict&user=alice").parsed();
  ASSERT_EQ(user["devices"].size(), 1u) << user;
  EXPECT_EQ(user["devices"][0]["device_id"], laptop["device_id"]);
}

TEST_F(ProtectionTest, AnOpenStreamKeepsADeviceAndItsCloseStartsTheGrace) {
  ServiceClient p = project("streams", {{"overall_limit", 1}, {"liveness_grace", 60}});
  const json kept = p.attach("u", "kept");
  auto stream = std::make_unique<zelk::testing::RawConnection>(app->port());
  stream->send(p.listenRequest(kept["device_id"], kept["access"]));
  ASSERT_TRUE(stream->readHead());
  ASSERT_TRUE(app->hub().waitForStreams(kept["device_id"], 1, 10s));
  const json other = p.attach("u", "other");  // over the limit: a challenge
  const std::string challenge = app->service().challenges("streams", "u").at(0);

  // An hour on, only the device with a stream is listed, and the limits count it alone.
  clock.advance(1h);
  const json devices = p.get("/v2/challenge/" + challenge + "/devices").parsed();
  ASSERT_EQ(devices.size(), 1u) << devices;
  EXPECT_EQ(devices[0]["_id"], kept["device_id"]);
  EXPECT_EQ(
      p.get("/v2/challenge/" + challenge + "/device-limit").parsed()["attached_devices"]["total"],
      1);
  app->sweepIdleDevices();
  json user = p.admin("GET", "/admin/user?client_id=streams&user=u").parsed();
  ASSERT_EQ(user["devices"].size(), 1u);
  EXPECT_EQ(user["challenges"][0]["open"], false);  // back within the limit
  (void)other;

  // Closed without a detach: detached once the grace is over.
  stream.reset();
  ASSERT_TRUE(app->hub().waitForNoStreams(kept["device_id"], 10s));
  clock.advance(59s);
  app->sweepIdleDevices();
  EXPECT_EQ(p.admin("GET", "/admin/user?client_id=streams&user=u").parsed()["devices"].size(), 1u);
  clock.advance(1s);
  app->sweepIdleDevices();
  EXPECT_TRUE(p.admin("GET", "/admin/user?client_id=streams&user=u").parsed()["devices"].empty());
}

TEST(ProtectionStorage, TheDatabaseIsTheOwnersAloneAndServedByOneInstance) {
  TempDir dir;
  const std::string data = dir.file("zelk.db");
  const mode_t before = umask(022);
  App app(zelk::testing::serverConfig(data));
  umask(before);
  ASSERT_TRUE(app.start(nullptr));
  ServiceClient p(app.baseURL(), "own");
  ASSERT_EQ(p.admin("POST", "/admin/projects", {{"client_id", "own"}}).status, 200);
  p.attach("u", "A");
  for (const std::string& file : {data, data + "-wal", data + "-shm"}) {
    struct stat status {};
    ASSERT_EQ(stat(file.c_str(), &status), 0) << file;
    EXPECT_EQ(status.st_mode & 0777, 0600u) << file;
  }
  try {
    App second(zelk::testing::serverConfig(data));
    ADD_FAILURE() << "a second instance opened the file";
  } catch (const zelk::server::StoreError& error) {
    EXPECT_EQ(std::string(error.what()),
              data +
                  " is in use by another zelk-server; one instance serves a SQLite file "
                  "(several instances share a PostgreSQL database)");
  }
  // The first goes on as if nothing happened.
  EXPECT_EQ(p.attach("u", "B")["success"], true);
}

TEST(ProtectionStorage, AFileOfTheFirstSchemaIsBroughtUpToDate) {
  TempDir dir;
  const std::string data = dir.file("zelk.db");
  std::string challenge;
  {
    App app(zelk::testing::serverConfig(data));
    ASSERT_TRUE(app.start(nullptr));
    ServiceClient p(app.baseURL(), "old");
    ASSERT_EQ(
        p.admin("POST", "/admin/projects", {{"client_id", "old"}, {"overall_limit", 1}}).status,
        200);
    p.attach("u", "A");
    p.attach("u", "B");
    challenge = app.service().challenges("old", "u").at(0);
  }
  // Back to the first schema, with a code kept in plain text as it was then, and no row for a
  // user known only from its devices.
  const std::string downgrade =
      "sqlite3 " + data +
      " \"DROP INDEX devices_quiet; DROP INDEX challenges_by_user; DROP INDEX detached_by_time; "
      "DROP INDEX identities_by_vendor; DROP TABLE instances; DROP TABLE stream_hosts; "
      "ALTER TABLE devices DROP COLUMN ended_at; ALTER TABLE devices DROP COLUMN city; "
      "ALTER TABLE devices DROP COLUMN country; ALTER TABLE users DROP COLUMN version; "
      "ALTER TABLE users RENAME COLUMN user_id TO user; "
      "ALTER TABLE devices RENAME COLUMN user_id TO user; "
      "ALTER TABLE challenges RENAME COLUMN user_id TO user; DELETE FROM users; "
      "ALTER TABLE challenges ADD COLUMN code TEXT NOT NULL DEFAULT ''; "
      "UPDATE challenges SET code = '123456'; "
      "ALTER TABLE challenges DROP COLUMN code_hash; ALTER TABLE challenges DROP COLUMN "
      "code_sent_at; ALTER TABLE challenges DROP COLUMN code_checks; ALTER TABLE challenges DROP "
      "COLUMN recent_sends; ALTER TABLE projects DROP COLUMN limit_policy; ALTER TABLE projects "
      "DROP COLUMN show_contacts; ALTER TABLE projects DROP COLUMN liveness_grace; "
      "DROP TABLE detached_devices; ALTER TABLE projects DROP COLUMN webhook_url; ALTER TABLE "
      "projects DROP COLUMN webhook_secret; ALTER TABLE projects DROP COLUMN user_secret; "
      "ALTER TABLE projects DROP COLUMN require_signed_users; DROP TABLE outbox; DROP TABLE "
      "audit; ALTER TABLE projects DROP COLUMN new_device_notices; ALTER TABLE projects DROP "
      "COLUMN trusted_device_days; ALTER TABLE projects DROP COLUMN device_changes_limit; ALTER "
      "TABLE projects DROP COLUMN device_changes_days; ALTER TABLE users DROP COLUMN "
      "device_changes; ALTER TABLE users DROP COLUMN known_devices; ALTER TABLE challenges DROP "
      "COLUMN device_id; DROP INDEX users_by_email; DROP INDEX users_by_phone; DROP INDEX "
      "challenges_by_time; DROP TABLE project_keys; ALTER TABLE users "
      "DROP COLUMN limit_override; DROP TABLE operators; DROP TABLE operator_sessions; "
      "DROP INDEX devices_by_attach; DROP INDEX challenges_by_creation; PRAGMA user_version = "
      "1;\"";
  ASSERT_EQ(std::system(downgrade.c_str()), 0);

  App app(zelk::testing::serverConfig(data));
  ASSERT_TRUE(app.start(nullptr));
  ServiceClient p(app.baseURL(), "old");
  const json project = p.admin("GET", "/admin/projects").parsed()["projects"].at(0);
  EXPECT_EQ(project["limit_policy"], "challenge");
  EXPECT_EQ(project["show_contacts"], false);
  EXPECT_EQ(project["liveness_grace"], 900);
  EXPECT_EQ(project["webhook_url"], "");
  EXPECT_EQ(project["user_secret"], "");
  EXPECT_EQ(project["require_signed_users"], false);
  const json user = p.admin("GET", "/admin/user?client_id=old&user=u").parsed();
  EXPECT_EQ(user["devices"].size(), 2u) << user;
  // The plain code is gone: it checks as no code at all.
  const Reply checked =
      p.post("/v2/challenge/verify", json{{"challenge", challenge}, {"code", "123456"}});
  EXPECT_EQ(checked.parsed()["success"], false);
  app.stop();
  // Not even the column that held it is left.
  FILE* dump = popen(("sqlite3 " + data +
                      " 'SELECT count(*) FROM pragma_table_info(\"challenges\") "
                      "WHERE name = \"code\"'")
                         .c_str(),
                     "r");
  ASSERT_TRUE(dump);
  char line[64] = {};
  const bool read = std::fgets(line, sizeof line, dump) != nullptr;
  pclose(dump);
  EXPECT_TRUE(read);
  EXPECT_EQ(std::string(line), "0\n");
  // The user known only from its devices has its row again, as every user has.
  FILE* users = popen(("sqlite3 " + data + " 'SELECT user_id, version FROM users'").c_str(), "r");
  ASSERT_TRUE(users);
  char row[64] = {};
  const bool any = std::fgets(row, sizeof row, users) != nullptr;
  pclose(users);
  EXPECT_TRUE(any);
  EXPECT_EQ(std::string(row).substr(0, 2), "u|") << row;
}

}  // namespace
