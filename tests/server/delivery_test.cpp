// SPDX-License-Identifier: Apache-2.0
// What leaves the service: codes by e-mail through a real local SMTP server and by text message
// through a provider's HTTP API, signed webhook events to a receiver on loopback, retried with
// backoff from the outbox; and the audit trail of security events.
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "delivery/courier.hpp"
#include "server/server_test_support.hpp"
#include "support/child_process.hpp"
#include "support/scripted_server.hpp"

namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using zelk::server::App;
using zelk::server::AppConfig;
using zelk::testing::kUserSecret;
using zelk::testing::Reply;
using zelk::testing::ScriptedReply;
using zelk::testing::ScriptedRequest;
using zelk::testing::ScriptedServer;
using zelk::testing::ServiceClient;
using zelk::testing::TempDir;

const std::string kSecret = "whsec-0123456789abcdef0123456789";

// Waits for `done` for up to ten seconds, looking every 10 ms.
template <typename Done>
bool eventually(Done done) {
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

// A Python script that serves on a loopback port (the SMTP server of scripts/smtp_sink.py, the
// HTTPS receiver beside this file), in a process of its own for the test's length, writing what
// it receives to `folder`.
class SmtpSink {
 public:
  explicit SmtpSink(const std::string& folder, std::vector<std::string> options = {},
                    const std::string& script = ZELK_SMTP_SINK)
      : folder_(folder), process_(arguments(script, folder, std::move(options)), SIGTERM) {
    if (std::sscanf(process_.readLine().c_str(), "port %d", &port_) != 1)
      throw std::runtime_error(script + " did not start (is python3-aiosmtpd installed?)");
  }
  std::string url(const std::string& scheme = "smtp") const {
    return scheme + "://127.0.0.1:" + std::to_string(port_);
  }
  // The message numbered `n` (from 1) as it arrived; "" when it has not.
  std::string message(int n, const char* extension = ".eml") const {
    std::ifstream in(folder_ + "/" + std::to_string(n) + extension, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }
  int refused() const {
    std::ifstream in(folder_ + "/refused");
    int count = 0;
    in >> count;
    return count;
  }

 private:
  static std::vector<std::string> arguments(const std::string& script, const std::string& folder,
                                            std::vector<std::string> options) {
    std::vector<std::string> args = {"/usr/bin/python3", script, folder};
    args.insert(args.end(), options.begin(), options.end());
    return args;
  }

  std::string folder_;
  zelk::testing::ChildProcess process_;
  int port_ = 0;
};

// Codes by e-mail go through `sink`.
void mailThrough(AppConfig& config, const SmtpSink& sink) {
  config.delivery.mail.url = sink.url();
  config.delivery.mail.from = "codes@zelk.test";
}

// A server whose outbox tries again after 20, 40, 80 ms, three times at most.
AppConfig quickConfig() {
  AppConfig config = zelk::testing::serverConfig();
  config.delivery.retryBase = 20ms;
  config.delivery.retryMax = 80ms;
  config.delivery.maxAttempts = 3;
  config.delivery.poll = 20ms;
  config.delivery.timeout = 5s;
  return config;
}

std::unique_ptr<App> startApp(AppConfig config) {
  auto app = std::make_unique<App>(std::move(config));
  std::string error;
  if (!app->start(&error)) throw std::runtime_error(error);
  return app;
}

std::string raise(ServiceClient& client, const std::string& clientId, const std::string& user) {
  const Reply reply =
      client.admin("POST", "/admin/challenges", {{"client_id", clientId}, {"user", user}});
  EXPECT_EQ(reply.status, 200) << reply.body;
  return reply.parsed().value("challenge", "");
}

Reply requestCode(ServiceClient& client, const std::string& challenge, const std::string& channel) {
  return client.post("/v2/challenge/attempt",
                     json{{"challenge", challenge}, {"action", "verify"}, {"channel", channel}});
}

json outbox(ServiceClient& client, const std::string& state) {
  return client.admin("GET", "/admin/outbox?state=" + state).parsed()["messages"];
}

std::string metricLine(App& app, const std::string& kind, const std::string& result) {
  ServiceClient client(app.baseURL(), "metrics");
  const std::string text = client.get("/metrics").body;
  const std::string key =
      "zelk_outbox_deliveries_total{kind=\"" + kind + "\",result=\"" + result + "\"} ";
  const auto at = text.find(key);
  if (at == std::string::npos) return "";
  return text.substr(at + key.size(), text.find('\n', at) - at - key.size());
}

// The signature check of the README, run as it stands there with the shell and openssl.
std::string signatureByTheReadme(const std::string& timestamp, const std::string& body) {
  TempDir dir;
  const std::string file = dir.file("body.json");
  std::ofstream(file, std::ios::binary) << body;
  const std::string command = "export ZELK_WEBHOOK_SECRET='" + kSecret + "' timestamp='" +
                              timestamp + "' body_file='" + file + "'; " +
                              "{ printf '%s.' \"$timestamp\"; cat \"$body_file\"; } | openssl dgst "
                              "-sha256 -hmac \"$ZELK_WEBHOOK_SECRET\" | sed 's/^.* //'";
  FILE* out = popen(command.c_str(), "r");
  if (!out) return "";
  char line[256] = {};
  const bool read = std::fgets(line, sizeof line, out) != nullptr;
  pclose(out);
  std::string text = read ? line : "";
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

class ServerWebhooks : public ::testing::Test {
 protected:
  // The receiver answers each request with the next status of `statuses_`, then 200.
  ScriptedServer receiver{[this](const ScriptedRequest&) {
    std::lock_guard lock(mutex_);
    ScriptedReply reply;
    if (!statuses_.empty()) {
      reply.status = statuses_.front();
      statuses_.erase(statuses_.begin());
    }
    return reply;
  }};
  void failNext(std::vector<int> statuses) {
    std::lock_guard lock(mutex_);
    statuses_ = std::move(statuses);
  }
  ServiceClient project(App& app, const std::string& clientId, json settings = json::object()) {
    settings["webhook_url"] = receiver.baseURL() + "/hooks/zelk";
    settings["webhook_secret"] = kSecret;
    return zelk::testing::makeProject(app.baseURL(), clientId, std::move(settings));
  }
  std::vector<json> events() const {
    std::vector<json> bodies;
    for (const ScriptedRequest& request : receiver.requests())
      bodies.push_back(json::parse(request.body));
    return bodies;
  }

  std::mutex mutex_;
  std::vector<int> statuses_;
};

TEST_F(ServerWebhooks, DeviceAndChallengeEventsArriveSignedAndVerifyByTheReadme) {
  auto app = startApp(quickConfig());
  ServiceClient p = project(*app, "hooks", {{"overall_limit", 1}});
  const json first = p.attach("ann", "vendor-1");
  p.attach("ann", "vendor-2");  // over the limit: a challenge
  const Reply detached =
      p.post("/v2/access/detach", json{{"user", "ann"}, {"device", first["device_id"]}});
  ASSERT_EQ(detached.status, 200) << detached.body;
  ASSERT_TRUE(receiver.waitForRequests(4, 10s)) << receiver.requestCount();

  std::multiset<std::string> types;
  std::set<std::string> ids;
  for (const ScriptedRequest& request : receiver.requests()) {
    const json event = json::parse(request.body);
    types.insert(event.at("type").get<std::string>());
    ids.insert(event.at("id").get<std::string>());
    EXPECT_EQ(event.at("project"), "hooks");
    EXPECT_EQ(event.at("user"), "ann");
    EXPECT_TRUE(event.at("created_at").is_string());
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.path, "/hooks/zelk");
    EXPECT_EQ(request.header("Content-Type").value_or(""), "application/json");
    EXPECT_EQ(request.header("Zelk-Event-Id").value_or(""), event["id"]);
    const std::string timestamp = request.header("Zelk-Timestamp").value_or("");
    const std::string signature = request.header("Zelk-Signature").value_or("");
    ASSERT_FALSE(timestamp.empty());
    const long long age = std::chrono::duration_cast<std::chrono::seconds>(
                              std::chrono::system_clock::now().time_since_epoch())
                              .count() -
                          std::stoll(timestamp);
    EXPECT_LE(std::abs(age), 60);
    EXPECT_EQ(signature,
              "sha256=" + zelk::server::webhookSignature(kSecret, timestamp, request.body));
    EXPECT_EQ(signature, "sha256=" + signatureByTheReadme(timestamp, request.body));
    // A body changed on the way no longer matches.
    EXPECT_NE(signature, "sha256=" + signatureByTheReadme(timestamp, request.body + " "));
    if (event["type"] == "challenge.raised") {
      EXPECT_EQ(event["challenge"]["reason"], "overall");
    }
    if (event["type"] == "device.detached") {
      EXPECT_EQ(event["device"]["id"], first["device_id"]);
      EXPECT_EQ(event["reason"], "detach");
    }
  }
  EXPECT_EQ(types, (std::multiset<std::string>{"device.attached", "device.attached",
                                               "challenge.raised", "device.detached"}));
  EXPECT_EQ(ids.size(), 4u) << "each event has an id of its own";
  // The secret is never shown back.
  const json projects = p.admin("GET", "/admin/projects").parsed();
  EXPECT_EQ(projects.dump().find(kSecret), std::string::npos) << projects.dump();
}

TEST_F(ServerWebhooks, AReceiverThatFailsTwiceGetsTheEventAThirdTimeOnce) {
  auto app = startApp(quickConfig());
  ServiceClient p = project(*app, "retry");
  failNext({500, 503});
  raise(p, "retry", "bob");
  ASSERT_TRUE(receiver.waitForRequests(3, 10s)) << receiver.requestCount();
  ASSERT_TRUE(eventually([&] { return !outbox(p, "done").empty(); }));

  const auto bodies = events();
  ASSERT_EQ(bodies.size(), 3u);
  EXPECT_EQ(bodies[0]["id"], bodies[1]["id"]);
  EXPECT_EQ(bodies[1]["id"], bodies[2]["id"]);
  const json done = outbox(p, "done");
  ASSERT_EQ(done.size(), 1u) << done.dump();
  EXPECT_EQ(done[0]["attempts"], 3);
  EXPECT_EQ(done[0]["id"], bodies[0]["id"]);
  EXPECT_TRUE(outbox(p, "pending").empty());
  EXPECT_EQ(metricLine(*app, "webhook", "retry"), "2");
  EXPECT_EQ(metricLine(*app, "webhook", "sent"), "1");
  // Done is done: no fourth delivery however long one waits (ten times the longest backoff).
  std::this_thread::sleep_for(800ms);
  EXPECT_EQ(receiver.requestCount(), 3u);
}

TEST_F(ServerWebhooks, AReceiverThatKeepsFailingIsReportedAfterTheLastAttempt) {
  auto app = startApp(quickConfig());
  ServiceClient p = project(*app, "broken");
  failNext({500, 500, 500});
  raise(p, "broken", "cy");
  ASSERT_TRUE(eventually([&] { return !outbox(p, "failed").empty(); }));
  const json failed = outbox(p, "failed");
  EXPECT_EQ(failed[0]["attempts"], 3);
  EXPECT_EQ(failed[0]["kind"], "webhook");
  EXPECT_NE(failed[0]["last_error"].get<std::string>().find("500"), std::string::npos);
  EXPECT_EQ(metricLine(*app, "webhook", "failed"), "1");
  EXPECT_EQ(receiver.requestCount(), 3u);
}

TEST_F(ServerWebhooks, ADeviceLeftWithoutAStreamPastItsGraceFiresDeviceDetached) {
  std::atomic<long long> offset{0};
  AppConfig config = quickConfig();
  const auto start = zelk::server::Clock::now();
  config.clock = [&] { return start + std::chrono::seconds(offset.load()); };
  auto app = startApp(std::move(config));
  ServiceClient p = project(*app, "idle", {{"liveness_grace", 60}});
  const json device = p.attach("dee", "vendor-1");
  ASSERT_TRUE(receiver.waitForRequests(1, 10s));
  offset = 61;
  app->sweepIdleDevices();
  ASSERT_TRUE(receiver.waitForRequests(2, 10s));
  const json event = events().back();
  EXPECT_EQ(event["type"], "device.detached");
  EXPECT_EQ(event["reason"], "idle");
  EXPECT_EQ(event["device"]["id"], device["device_id"]);
}

TEST_F(ServerWebhooks, AnEvictionIsItsOwnEvent) {
  auto app = startApp(quickConfig());
  ServiceClient p = project(
      *app, "evict",
      {{"overall_limit", 1}, {"limit_policy", "evict_oldest"}, {"user_secret", kUserSecret}});
  const json old = p.attach("eve", "vendor-1");
  p.attach("eve", "vendor-2");
  ASSERT_TRUE(receiver.waitForRequests(3, 10s));
  std::map<std::string, json> byType;
  for (const json& event : events()) byType[event["type"]] = event;
  ASSERT_TRUE(byType.contains("device.evicted"));
  EXPECT_EQ(byType["device.evicted"]["device"]["id"], old["device_id"]);
}

TEST_F(ServerWebhooks, AnOperatorsLogoutAndClosingByHandAreToldAsTheirOwn) {
  auto app = startApp(quickConfig());
  ServiceClient p = project(*app, "operator");
  const json device = p.attach("kai", "vendor-1");
  const std::string challenge = raise(p, "operator", "kai");
  const json close = {{"client_id", "operator"}, {"challenge", challenge}};
  ASSERT_EQ(p.admin("POST", "/admin/challenges/resolve", close).status, 200);
  ASSERT_EQ(p.admin("POST", "/admin/challenges/resolve", close).status, 200);  // closed already
  ASSERT_EQ(
      p.admin("POST", "/admin/logout", {{"client_id", "operator"}, {"device", device["device_id"]}})
          .status,
      200);
  // Sent one after the other: once the logout's is in, any of the second close would be too.
  ASSERT_TRUE(receiver.waitForRequests(4, 10s));
  std::vector<std::string> types;
  for (const json& event : events()) types.push_back(event["type"]);
  EXPECT_EQ(types, (std::vector<std::string>{"device.attached", "challenge.raised",
                                             "challenge.closed", "device.detached"}));
  const std::vector<json> told = events();
  EXPECT_EQ(told[2]["challenge"]["id"], challenge);
  EXPECT_EQ(told[2]["challenge"]["reason"], "operator");
  EXPECT_EQ(told[3]["reason"], "operator");
  EXPECT_EQ(told[3]["device"]["id"], device["device_id"]);
}

TEST(ServerOutbox, AProjectWithoutAWebhookQueuesNothing) {
  auto app = startApp(quickConfig());
  ServiceClient p = zelk::testing::makeProject(app->baseURL(), "quiet");
  p.attach("fay", "vendor-1");
  raise(p, "quiet", "fay");
  EXPECT_TRUE(p.admin("GET", "/admin/outbox").parsed()["messages"].empty());
}

// E-mailed and texted codes.
class ServerCodeDelivery : public ::testing::Test {
 protected:
  ServiceClient project(App& app, const std::string& clientId) {
    ServiceClient p = zelk::testing::makeProject(
        app.baseURL(), clientId, {{"name", "Acme <Portal>"}, {"primary_color", "#112233"}});
    const Reply user = p.admin("POST", "/admin/users",
                               {{"client_id", clientId},
                                {"user", "gus"},
                                {"email", "gus@example.com"},
                                {"phone", "+1 555 010 4821"}});
    EXPECT_EQ(user.status, 200) << user.body;
    return p;
  }
  TempDir dir;
};

TEST_F(ServerCodeDelivery, AnEmailArrivesWithTheCodeInBothTemplatesAndTheCodeLeavesTheOutbox) {
  SmtpSink sink(dir.file("mail"));
  AppConfig config = quickConfig();
  mailThrough(config, sink);
  auto app = startApp(std::move(config));
  ServiceClient p = project(*app, "mail");
  const std::string challenge = raise(p, "mail", "gus");
  ASSERT_EQ(requestCode(p, challenge, "email").status, 200);
  const std::string code = *zelk::testing::lastCode(challenge);

  ASSERT_TRUE(eventually([&] { return !sink.message(1).empty(); }));
  const std::string mail = sink.message(1);
  EXPECT_NE(mail.find("X-Envelope-To: gus@example.com"), std::string::npos) << mail;
  EXPECT_NE(mail.find("From: Acme <Portal> <codes@zelk.test>"), std::string::npos) << mail;
  EXPECT_NE(mail.find("Subject: Your Acme <Portal> verification code"), std::string::npos);
  EXPECT_NE(mail.find("Content-Type: text/plain; charset=utf-8"), std::string::npos);
  EXPECT_NE(mail.find("Content-Type: text/html; charset=utf-8"), std::string::npos);
  EXPECT_NE(mail.find("Your Acme <Portal> verification code is " + code), std::string::npos);
  // In the HTML part the name is escaped, and the brand colour is there.
  EXPECT_NE(mail.find("<h1 style=\"color: #112233\">Acme &lt;Portal&gt;</h1>"), std::string::npos);
  EXPECT_NE(mail.find(">" + code + "</p>"), std::string::npos);
  EXPECT_NE(mail.find("good for 10 minutes"), std::string::npos);

  ASSERT_TRUE(eventually([&] { return !outbox(p, "done").empty(); }));
  EXPECT_EQ(outbox(p, "done")[0]["kind"], "email");
  EXPECT_EQ(metricLine(*app, "email", "sent"), "1");
  // What is left of the message no longer holds the code.
  for (const auto& message : app->service().store().messages(std::nullopt, 10))
    EXPECT_EQ(message.payload.find(code), std::string::npos) << message.payload;
}

// A device new to the account is told to its owner once, with a code the owner's own device
// signs it out with; the first device, a device coming back, and a project that asks for no
// notices tell nothing.
TEST_F(ServerCodeDelivery, ANewDeviceIsToldToItsOwnerOnceAndItsCodeSignsItOut) {
  SmtpSink sink(dir.file("mail"));
  AppConfig config = quickConfig();
  mailThrough(config, sink);
  auto app = startApp(std::move(config));
  ServiceClient p = project(*app, "notices");
  ASSERT_EQ(p.admin("GET", "/admin/projects").parsed()["projects"][0]["new_device_notices"], false);
  const json phone = p.attach("gus", "phone");
  p.attach("gus", "tablet");  // notices are off: nothing is sent
  ASSERT_EQ(p.admin("POST", "/admin/projects",
                    {{"client_id", "notices"}, {"name", "Acme"}, {"new_device_notices", true}})
                .status,
            200);
  p.attach("gus", "phone");  // known devices, again: nothing
  p.attach("gus", "tablet");
  const json laptop = p.attach("gus", "laptop");

  ASSERT_TRUE(eventually([&] { return !sink.message(1).empty(); }));
  const std::string mail = sink.message(1);
  EXPECT_NE(mail.find("X-Envelope-To: gus@example.com"), std::string::npos) << mail;
  EXPECT_NE(mail.find("Subject: A new device signed in to your Acme account"), std::string::npos)
      << mail;
  EXPECT_NE(mail.find("Test, mobile"), std::string::npos) << mail;
  const std::string lead = "sign that device out:\r\n\r\n  ";
  const auto at = mail.find(lead);
  ASSERT_NE(at, std::string::npos) << mail;
  const std::string code = mail.substr(at + lead.size(), 9);
  ASSERT_EQ(code.size(), 9u);
  EXPECT_EQ(code[4], '-') << code;

  // The laptop leaves and comes back, as an app does going to the background: no second notice.
  ASSERT_EQ(
      p.post("/v2/access/detach", json{{"device", laptop["device_id"]}, {"user", "gus"}}).status,
      200);
  const json again = p.attach("gus", "laptop");
  p.attach("gus", "watch");
  ASSERT_TRUE(eventually([&] { return !sink.message(2).empty(); }));
  EXPECT_NE(sink.message(2).find("A new device signed in"), std::string::npos);
  EXPECT_EQ(sink.message(3), "");

  // The code, typed in lower case without its dash on the phone, signs the laptop out, once.
  std::string typed;
  for (char c : code) {
    if (c != '-') typed += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  const json byCode = {
      {"device", phone["device_id"]}, {"access", phone["access"]}, {"code", typed}};
  Reply reply = p.post("/v2/access/devices/logout", byCode);
  ASSERT_EQ(reply.status, 200) << reply.body;
  EXPECT_EQ(reply.parsed()["device_id"], again["device_id"]);
  reply = p.post("/v2/access/devices/logout", byCode);
  EXPECT_EQ(reply.status, 404);
  EXPECT_EQ(reply.parsed()["error"], "unknown code");
  // The outbox keeps neither the code nor the whole address once the notice is sent.
  for (const auto& message : app->service().store().messages(std::nullopt, 10)) {
    EXPECT_EQ(message.payload.find(code), std::string::npos) << message.payload;
    if (message.kind == "notice" && message.state != zelk::server::OutboxState::pending) {
      EXPECT_EQ(message.payload.find("gus@example.com"), std::string::npos) << message.payload;
    }
  }
}

// One address given to many users (by mistake, or to flood it) gets no more codes than one
// user's would, whatever its case.
TEST_F(ServerCodeDelivery, AnAddressOfManyUsersGetsTheCodesOfOne) {
  SmtpSink sink(dir.file("shared"));
  AppConfig config = quickConfig();
  mailThrough(config, sink);
  config.codes.maxDestinationSendsPerHour = 3;
  auto app = startApp(std::move(config));
  ServiceClient p = project(*app, "shared");
  std::vector<int> statuses;
  for (int i = 0; i < 6; ++i) {
    const std::string user = "user-" + std::to_string(i);
    ASSERT_EQ(p.admin("POST", "/admin/users",
                      {{"client_id", "shared"},
                       {"user", user},
                       {"email", i % 2 ? "Victim@Example.com" : "victim@example.com"}})
                  .status,
              200);
    statuses.push_back(requestCode(p, raise(p, "shared", user), "email").status);
  }
  EXPECT_EQ(statuses, (std::vector<int>{200, 200, 200, 429, 429, 429}));
  ASSERT_TRUE(eventually([&] { return !sink.message(3).empty(); }));
  // Another address is not held back.
  EXPECT_EQ(requestCode(p, raise(p, "shared", "gus"), "email").status, 200);
  ASSERT_TRUE(eventually([&] { return !sink.message(4).empty(); }));
  EXPECT_NE(sink.message(4).find("X-Envelope-To: gus@example.com"), std::string::npos);
  EXPECT_TRUE(sink.message(5).empty());
}

TEST_F(ServerCodeDelivery, ARelayThatRefusesIsTriedAgainAndThenReported) {
  SmtpSink sink(dir.file("refusing"), {"--refuse"});
  AppConfig config = quickConfig();
  mailThrough(config, sink);
  auto app = startApp(std::move(config));
  ServiceClient p = project(*app, "refused");
  const std::string challenge = raise(p, "refused", "gus");
  ASSERT_EQ(requestCode(p, challenge, "email").status, 200);

  ASSERT_TRUE(eventually([&] { return !outbox(p, "failed").empty(); }));
  const json failed = outbox(p, "failed")[0];
  EXPECT_EQ(failed["attempts"], 3);
  EXPECT_NE(failed["last_error"].get<std::string>().find("451"), std::string::npos) << failed;
  EXPECT_EQ(sink.refused(), 3);
  EXPECT_EQ(metricLine(*app, "email", "retry"), "2");
  EXPECT_EQ(metricLine(*app, "email", "failed"), "1");
  const std::string code = *zelk::testing::lastCode(challenge);
  for (const auto& message : app->service().store().messages(std::nullopt, 10))
    EXPECT_EQ(message.payload.find(code), std::string::npos) << message.payload;
}

TEST_F(ServerCodeDelivery, ATextMessageGoesToTheProviderWithItsHeadersAndBody) {
  ScriptedServer provider([](const ScriptedRequest&) { return ScriptedReply{202, {}, "{}"}; });
  AppConfig config = quickConfig();
  config.delivery.text.url = provider.baseURL() + "/messages";
  config.delivery.text.headers = {{"Authorization", "Bearer sms-token"}};
  config.delivery.text.body = R"({"to": "{{to}}", "text": "{{project}}: {{code}}"})";
  auto app = startApp(std::move(config));
  ServiceClient p = project(*app, "texts");
  const std::string challenge = raise(p, "texts", "gus");
  ASSERT_EQ(requestCode(p, challenge, "text").status, 200);
  const std::string code = *zelk::testing::lastCode(challenge);

  ASSERT_TRUE(provider.waitForRequests(1, 10s));
  const ScriptedRequest request = provider.requests()[0];
  EXPECT_EQ(request.path, "/messages");
  EXPECT_EQ(request.header("Authorization").value_or(""), "Bearer sms-token");
  const json body = json::parse(request.body);
  EXPECT_EQ(body["to"], "+1 555 010 4821");
  EXPECT_EQ(body["text"], "Acme <Portal>: " + code);
  ASSERT_TRUE(eventually([&] { return !outbox(p, "done").empty(); }));
}

// A server that reveals no codes to the program, as every one outside the sandbox.
AppConfig deliveringConfig() {
  AppConfig config = quickConfig();
  config.onCodeSent = nullptr;
  return config;
}

std::string metricCodes(App& app, const std::string& outcome) {
  ServiceClient client(app.baseURL(), "metrics");
  const std::string text = client.get("/metrics").body;
  const std::string key = "zelk_codes_total{outcome=\"" + outcome + "\"} ";
  const auto at = text.find(key);
  if (at == std::string::npos) return "";
  return text.substr(at + key.size(), text.find('\n', at) - at - key.size());
}

json channelsOf(ServiceClient& client, const std::string& challenge) {
  return client.get("/v2/challenge/" + challenge).parsed()["channels"];
}

TEST_F(ServerCodeDelivery, OnlyChannelsThatCanReachTheUserAreOfferedAndTaken) {
  // No relay and no provider: no channel, and a code request says why rather than succeed.
  {
    auto app = startApp(deliveringConfig());
    ServiceClient p = project(*app, "norelay");
    const std::string challenge = raise(p, "norelay", "gus");
    EXPECT_EQ(channelsOf(p, challenge), json::array());
    const Reply refused = requestCode(p, challenge, "email");
    EXPECT_EQ(refused.status, 422) << refused.body;
    EXPECT_EQ(refused.parsed()["error"], "no code can be sent: this service sends no e-mail");
    EXPECT_EQ(requestCode(p, challenge, "text").parsed()["error"],
              "no code can be sent: this service sends no text messages");
    EXPECT_EQ(p.post("/v2/challenge/resend", json{{"challenge", challenge}}).status, 422);
    EXPECT_TRUE(outbox(p, "pending").empty());
    EXPECT_TRUE(outbox(p, "failed").empty());
    EXPECT_EQ(metricCodes(*app, "undeliverable"), "3");
    EXPECT_EQ(metricCodes(*app, "queued"), "");
  }
  // A relay: e-mail for a user with an address, nothing for one without.
  SmtpSink sink(dir.file("mail"));
  AppConfig config = deliveringConfig();
  mailThrough(config, sink);
  auto app = startApp(std::move(config));
  ServiceClient p = project(*app, "relay");
  const std::string challenge = raise(p, "relay", "gus");
  EXPECT_EQ(channelsOf(p, challenge), json::array({"email"}));
  EXPECT_EQ(requestCode(p, challenge, "text").status, 422);
  ASSERT_EQ(requestCode(p, challenge, "email").status, 200);
  EXPECT_EQ(metricCodes(*app, "queued"), "1");
  ASSERT_TRUE(eventually([&] { return !outbox(p, "done").empty(); }));
  EXPECT_EQ(metricLine(*app, "email", "sent"), "1");

  p.admin("POST", "/admin/users", {{"client_id", "relay"}, {"user", "hal"}});
  const std::string without = raise(p, "relay", "hal");
  EXPECT_EQ(channelsOf(p, without), json::array());
  EXPECT_EQ(requestCode(p, without, "email").parsed()["error"],
            "no code can be sent: the user has no e-mail address");
}

TEST_F(ServerCodeDelivery, AfterASendFailedForGoodTheUserMayAskAgainAtOnce) {
  SmtpSink sink(dir.file("refusing"), {"--refuse"});
  AppConfig config = deliveringConfig();
  mailThrough(config, sink);
  config.delivery.maxAttempts = 1;
  auto app = startApp(std::move(config));
  ServiceClient p = project(*app, "again");
  const std::string challenge = raise(p, "again", "gus");
  ASSERT_EQ(requestCode(p, challenge, "email").status, 200);
  // Within the resend interval, as long as the code may still arrive.
  ASSERT_TRUE(eventually([&] { return !outbox(p, "failed").empty(); }));
  EXPECT_EQ(metricLine(*app, "email", "failed"), "1");
  const auto asked = [&] { return requestCode(p, challenge, "email").status == 200; };
  EXPECT_TRUE(eventually(asked));
  const json state = p.admin("GET", "/admin/user?client_id=again&user=gus").parsed();
  EXPECT_EQ(state["challenges"][0]["codes_sent"], 2) << state;
}

TEST_F(ServerCodeDelivery, NoCodeIsEverInTheDatabaseFilesInTheClear) {
  SmtpSink sink(dir.file("mail"));
  AppConfig config = quickConfig();
  config.dataFile = dir.file("zelk.db");
  mailThrough(config, sink);
  auto app = startApp(std::move(config));
  ServiceClient p = project(*app, "rest");
  std::vector<std::string> codes;
  for (const std::string user : {"gus", "ida", "jon"}) {
    p.admin("POST", "/admin/users",
            {{"client_id", "rest"}, {"user", user}, {"email", user + "@x.test"}});
    const std::string challenge = raise(p, "rest", user);
    ASSERT_EQ(requestCode(p, challenge, "email").status, 200);
    codes.push_back(*zelk::testing::lastCode(challenge));
  }
  ASSERT_TRUE(eventually([&] { return outbox(p, "done").size() == 3; }));
  ASSERT_TRUE(eventually([&] { return !sink.message(3).empty(); }));
  for (const std::string suffix : {"", "-wal"}) {
    std::ifstream file(dir.file("zelk.db") + suffix, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(file)), {});
    if (suffix.empty()) {
      ASSERT_FALSE(bytes.empty());
    }
    // As a JSON string, the way a payload would have held it.
    for (const std::string& code : codes)
      EXPECT_EQ(bytes.find('"' + code + '"'), std::string::npos) << "zelk.db" << suffix;
  }
}

// A throwaway certificate authority and a certificate for 127.0.0.1 that it signed.
bool makeCertificates(const TempDir& dir) {
  std::ofstream(dir.file("server.ext"))
      << "subjectAltName=IP:127.0.0.1\nbasicConstraints=CA:FALSE\n";
  const std::string key = "-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
  const auto run = [](const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
  };
  return run("openssl req -x509 " + key + " -keyout " + dir.file("ca.key") + " -out " +
             dir.file("ca.pem") + " -days 2 -subj '/CN=zelk test CA'") &&
         run("openssl req " + key + " -keyout " + dir.file("server.key") + " -out " +
             dir.file("server.csr") + " -subj '/CN=127.0.0.1'") &&
         run("openssl x509 -req -in " + dir.file("server.csr") + " -CA " + dir.file("ca.pem") +
             " -CAkey " + dir.file("ca.key") + " -CAcreateserial -out " + dir.file("server.pem") +
             " -days 2 -extfile " + dir.file("server.ext"));
}

TEST_F(ServerCodeDelivery, CodesGoByStartTLSToARelayThatAsksForItAndToAnHTTPSProvider) {
  ASSERT_TRUE(makeCertificates(dir)) << "openssl could not make certificates";
  SmtpSink relay(dir.file("mail"),
                 {"--tls", dir.file("server.pem"), dir.file("server.key"), "--require-starttls"});
  SmtpSink provider(dir.file("texts"), {dir.file("server.pem"), dir.file("server.key")},
                    ZELK_HTTPS_RECEIVER);
  AppConfig config = quickConfig();
  config.codes.resendInterval = 0s;
  config.delivery.caFile = dir.file("ca.pem");
  mailThrough(config, relay);
  config.delivery.mail.tls = "require";
  config.delivery.text.url = provider.url("https") + "/sms";
  auto app = startApp(std::move(config));
  ServiceClient p = project(*app, "tls");
  const std::string challenge = raise(p, "tls", "gus");

  ASSERT_EQ(requestCode(p, challenge, "email").status, 200);
  const std::string mailed = *zelk::testing::lastCode(challenge);
  ASSERT_TRUE(eventually([&] { return !relay.message(1).empty(); }));
  EXPECT_NE(relay.message(1).find("verification code is " + mailed), std::string::npos);

  ASSERT_EQ(requestCode(p, challenge, "text").status, 200);
  const std::string texted = *zelk::testing::lastCode(challenge);
  ASSERT_TRUE(eventually([&] { return !provider.message(1, ".json").empty(); }));
  const json received = json::parse(provider.message(1, ".json"));
  EXPECT_EQ(received["path"], "/sms");
  EXPECT_EQ(json::parse(received["body"].get<std::string>())["message"],
            "Your Acme <Portal> verification code is " + texted);
  ASSERT_TRUE(eventually([&] { return outbox(p, "done").size() == 2; }));
}

TEST(ServerCodeMail, HeaderTextCannotCarryNewHeaders) {
  zelk::server::ProjectSettings project;
  project.name = "Evil\r\nBcc: all@example.com";
  project.primaryColor = "red; background: url(x)";
  zelk::server::MailSettings mail;
  mail.from = "codes@zelk.test";
  const std::string message =
      zelk::server::composeMail(mail, "gus@example.com", project, "123456", 10);
  const std::string headers = message.substr(0, message.find("\r\n\r\n"));
  EXPECT_EQ(headers.find("\r\nBcc:"), std::string::npos) << headers;
  EXPECT_EQ(message.find("url(x)"), std::string::npos);
  EXPECT_NE(message.find("color: #4F46E5"), std::string::npos);
  project.name = "Café";
  EXPECT_NE(zelk::server::composeMail(mail, "gus@example.com", project, "1", 10)
                .find("Subject: =?UTF-8?B?"),
            std::string::npos);
}

// The audit trail.
TEST(ServerAudit, EverySecurityEventIsRecordedAndListedByPage) {
  AppConfig config = quickConfig();
  config.rateLimits.perAddress.perMinute = 1;
  config.rateLimits.perAddress.burst = 20;
  config.codes.resendInterval = 0s;
  auto app = startApp(std::move(config));
  ServiceClient p = zelk::testing::makeProject(
      app->baseURL(), "audit",
      {{"overall_limit", 1}, {"limit_policy", "evict_oldest"}, {"user_secret", kUserSecret}});
  p.attach("hal", "vendor-1");
  p.attach("hal", "vendor-2");  // evicts the first
  const std::string challenge = raise(p, "audit", "hal");
  ASSERT_EQ(requestCode(p, challenge, "email").status, 200);
  std::string code = *zelk::testing::lastCode(challenge);
  code[0] = code[0] == '9' ? '0' : static_cast<char>(code[0] + 1);
  for (int i = 0; i < 5; ++i)
    p.post("/v2/challenge/verify", json{{"challenge", challenge}, {"code", code}});
  // The bucket of 20 runs out.
  int refused = 0;
  for (int i = 0; i < 20; ++i) {
    if (p.post("/v2/challenge/verify", json{{"challenge", challenge}, {"code", code}}).status ==
        429)
      ++refused;
  }
  EXPECT_GT(refused, 1);

  std::multiset<std::string> kinds;
  std::vector<json> entries;
  std::string before;
  for (int page = 0; page < 20; ++page) {
    const Reply reply = p.admin("GET", "/admin/audit?client_id=audit&limit=3" + before);
    ASSERT_EQ(reply.status, 200) << reply.body;
    const json listed = reply.parsed();
    for (const json& entry : listed["entries"]) {
      kinds.insert(entry["kind"].get<std::string>());
      entries.push_back(entry);
    }
    if (listed["next_before"].is_null()) break;
    before = "&before=" + std::to_string(listed["next_before"].get<std::uint64_t>());
  }
  for (const char* kind : {"admin.project", "admin.challenge", "device.evicted", "code.sent",
                           "code.voided", "rate_limited"})
    EXPECT_EQ(kinds.count(kind), 1u) << kind;
  // Five wrong checks, then the checks of a void code until the limits refused them.
  EXPECT_EQ(kinds.count("code.rejected"), 5u + (20u - static_cast<unsigned>(refused)));
  // Newest first, each entry once.
  for (std::size_t i = 1; i < entries.size(); ++i)
    EXPECT_GT(entries[i - 1]["seq"].get<std::uint64_t>(), entries[i]["seq"].get<std::uint64_t>());
  for (const json& entry : entries) {
    EXPECT_EQ(entry["client_id"], "audit");
    EXPECT_TRUE(entry["time"].is_string());
    EXPECT_EQ(entry.dump().find(*zelk::testing::lastCode(challenge)), std::string::npos);
  }
  // Another project's entries stay out.
  zelk::testing::makeProject(app->baseURL(), "other");
  const json other = p.admin("GET", "/admin/audit?client_id=other").parsed()["entries"];
  ASSERT_EQ(other.size(), 1u);
  EXPECT_EQ(other[0]["kind"], "admin.project");
  EXPECT_EQ(p.admin("GET", "/admin/audit?limit=0").status, 400);
  EXPECT_EQ(p.admin("GET", "/admin/outbox?state=lost").status, 400);
}

TEST(ServerAudit, KeepsOnlyTheNewestEntriesOnEveryStore) {
  TempDir dir;
  for (const std::string& data : {std::string(), dir.file("audit.db")}) {
    AppConfig config = quickConfig();
    config.dataFile = data;
    config.audit.keep = 3;
    auto app = startApp(std::move(config));
    ServiceClient p = zelk::testing::makeProject(app->baseURL(), "few");
    for (int i = 0; i < 5; ++i) raise(p, "few", "u" + std::to_string(i));
    const json entries = p.admin("GET", "/admin/audit").parsed()["entries"];
    ASSERT_EQ(entries.size(), 3u) << entries.dump();
    EXPECT_EQ(entries[0]["subject"], "u4");
    EXPECT_EQ(entries[2]["subject"], "u2");
  }
}

}  // namespace
