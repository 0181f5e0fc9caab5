// SPDX-License-Identifier: Apache-2.0
#include "sandbox.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <regex>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <nlohmann/json.hpp>

#include "storage/records.hpp"
#include "support/http_client.hpp"
#include "support/raw_connection.hpp"

namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using zelk::sandbox::Event;
using zelk::sandbox::Options;
using zelk::sandbox::ProjectSettings;
using zelk::sandbox::Sandbox;
using zelk::sandbox::UserProfile;
using zelk::testing::chunk;
using zelk::testing::Headers;
using zelk::testing::HttpClient;
using zelk::testing::RawConnection;

const Headers kAuth = {{"Authorization", "Basic proj1:"}};

json attachBody(const std::string& user, const std::string& vendorId,
                const std::string& type = "mobile") {
  return {{"user", user},
          {"library", "swift"},
          {"version", "3.0.2"},
          {"device_info",
           {{"os", {{"name", "Debian GNU/Linux"}, {"version", "12"}}},
            {"device", {{"vendor", "Apple"}, {"model", "Linux"}, {"type", type}}}}},
          {"signals", {{"iosVendorIdentifier", vendorId}}},
          {"metadata", json::object()}};
}

struct Reply {
  int status = 0;
  std::string body;
  json parsed() const { return json::parse(body); }
};

Reply post(HttpClient& client, const std::string& path, const std::string& body,
           const Headers& headers = kAuth) {
  auto result = client.Post(path, headers, body, "application/json");
  if (!result) throw std::runtime_error("request failed");
  return {result->status, result->body};
}

Reply post(HttpClient& client, const std::string& path, const json& body,
           const Headers& headers = kAuth) {
  return post(client, path, body.dump(), headers);
}

class SandboxTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(sandbox.start(&error)) << error;
    connection = std::make_unique<HttpClient>(sandbox.baseURL());
  }

  Sandbox sandbox;
  std::unique_ptr<HttpClient> connection;
  HttpClient& client() { return *connection; }
};

TEST_F(SandboxTest, AttachKeepsOneDevicePerVendorIdentifierAndUser) {
  const json first = post(client(), "/v2/access", attachBody("u1", "vendor-A")).parsed();
  const Reply again = post(client(), "/v2/access", attachBody("u1", "vendor-A"));
  const json other = post(client(), "/v2/access", attachBody("u1", "vendor-B")).parsed();
  const json otherUser = post(client(), "/v2/access", attachBody("u2", "vendor-A")).parsed();

  ASSERT_EQ(again.status, 200);
  const json second = again.parsed();
  EXPECT_TRUE(first["success"].get<bool>());
  EXPECT_EQ(first["device_id"].get<std::string>().rfind("dev_", 0), 0u);
  EXPECT_EQ(second["device_id"], first["device_id"]);
  EXPECT_NE(second["access"], first["access"]);
  EXPECT_EQ(second["attached_devices"], 1);
  EXPECT_EQ(second["default_device_limit"], 3);
  EXPECT_EQ(second["block_over_usage"], false);

  EXPECT_NE(other["device_id"], first["device_id"]);
  EXPECT_EQ(other["attached_devices"], 2);
  EXPECT_NE(otherUser["device_id"], first["device_id"]);
  EXPECT_EQ(otherUser["attached_devices"], 1);

  // Devices belong to a project: the same user and vendor identifier elsewhere is a new device.
  const json elsewhere = post(client(), "/v2/access", attachBody("u1", "vendor-A"),
                              {{"Authorization", "Basic proj2:"}})
                             .parsed();
  EXPECT_NE(elsewhere["device_id"], first["device_id"]);
  EXPECT_EQ(elsewhere["attached_devices"], 1);
}

TEST_F(SandboxTest, AttachRejectsMalformedBodies) {
  json noVendor = attachBody("u1", "v");
  noVendor["signals"] = json::object();
  json numericVendor = attachBody("u1", "v");
  numericVendor["signals"]["iosVendorIdentifier"] = 7;
  json noDeviceInfo = attachBody("u1", "v");
  noDeviceInfo.erase("device_info");
  json badMetadata = attachBody("u1", "v");
  badMetadata["metadata"] = "none";

  for (const std::string& body :
       {std::string("not json"), std::string("[1]"), attachBody("", "v").dump(), noVendor.dump(),
        numericVendor.dump(), noDeviceInfo.dump(), badMetadata.dump()}) {
    const Reply reply = post(client(), "/v2/access", body);
    EXPECT_EQ(reply.status, 400) << body;
    EXPECT_EQ(reply.parsed()["success"], false) << body;
    EXPECT_FALSE(reply.parsed()["error"].get<std::string>().empty()) << body;
  }
  json arrayMetadata = attachBody("u1", "v");
  arrayMetadata["metadata"] = json::array();
  EXPECT_EQ(post(client(), "/v2/access", arrayMetadata).status, 200);
}

TEST_F(SandboxTest, DetachRemovesKnownDevicesOnly) {
  const json a = post(client(), "/v2/access", attachBody("u1", "vendor-A")).parsed();
  post(client(), "/v2/access", attachBody("u1", "vendor-B"));
  const std::string device = a["device_id"];

  const Reply wrongUser =
      post(client(), "/v2/access/detach", json{{"device", device}, {"user", "u2"}});
  EXPECT_EQ(wrongUser.status, 404);
  EXPECT_EQ(wrongUser.parsed(), (json{{"success", false}, {"error", "unknown device"}}));

  const Reply detached =
      post(client(), "/v2/access/detach", json{{"device", device}, {"user", "u1"}});
  ASSERT_EQ(detached.status, 200);
  EXPECT_EQ(detached.parsed(),
            (json{{"success", true}, {"device_id", device}, {"attached_devices", 1}}));

  EXPECT_EQ(post(client(), "/v2/access/detach", json{{"device", device}, {"user", "u1"}}).status,
            404);
  EXPECT_EQ(post(client(), "/v2/access/detach", json{{"user", "u1"}}).status, 400);
  // Attaching the detached vendor identifier again makes a new device.
  EXPECT_NE(post(client(), "/v2/access", attachBody("u1", "vendor-A")).parsed()["device_id"],
            device);
}

TEST_F(SandboxTest, IdentifyIsStablePerVendorIdentifierAndEchoesKnownIdentities) {
  const json request = {{"device_info", json::object()},
                        {"signals", {{"iosVendorIdentifier", "vendor-A"}}},
                        {"metadata", json::array()}};
  const json first = post(client(), "/v2/identity", request).parsed();
  const json second = post(client(), "/v2/identity", request).parsed();
  json otherVendor = request;
  otherVendor["signals"]["iosVendorIdentifier"] = "vendor-B";
  const json other = post(client(), "/v2/identity", otherVendor).parsed();

  const std::string identity = first["identity"];
  EXPECT_EQ(identity.rfind("id_", 0), 0u);
  EXPECT_EQ(second["identity"], identity);
  EXPECT_DOUBLE_EQ(second["confidence"].get<double>(), 0.9);
  EXPECT_NE(other["identity"], identity);

  json known = otherVendor;
  known["identity_id"] = identity;
  EXPECT_EQ(post(client(), "/v2/identity", known).parsed(),
            (json{{"identity", identity}, {"confidence", 1.0}}));
  known["identity_id"] = "id_unknown";
  EXPECT_EQ(post(client(), "/v2/identity", known).parsed()["identity"], other["identity"]);
  EXPECT_EQ(post(client(), "/v2/identity", json{{"device_info", json::object()}}).status, 400);
}

TEST_F(SandboxTest, MissingOrMalformedAuthorizationIs401) {
  const std::string body = attachBody("u1", "v").dump();
  for (const char* value : {"", "Basic", "Basic :", "Basic proj1", "Basic proj1:secret",
                            "Basic cHJvajE6", "Bearer proj1:", "basic proj1:"}) {
    Headers headers;
    if (*value) headers.emplace_back("Authorization", value);
    const Reply reply = post(client(), "/v2/access", body, headers);
    EXPECT_EQ(reply.status, 401) << value;
    EXPECT_EQ(reply.parsed(),
              (json{{"success", false}, {"error", "missing or malformed Authorization header"}}))
        << value;
  }
  EXPECT_EQ(sandbox.requests().size(), 8u);  // rejected requests are recorded too
}

TEST_F(SandboxTest, UnknownOperationsAre404) {
  EXPECT_EQ(post(client(), "/v2/nothing", json::object()).status, 404);
  auto get = client().Get("/v2/access", kAuth);
  ASSERT_TRUE(get);
  EXPECT_EQ(get->status, 404);
  EXPECT_EQ(json::parse(get->body), (json{{"success", false}, {"error", "not found"}}));
}

TEST_F(SandboxTest, ScriptedAnswersAreUsedOnceInOrder) {
  sandbox.script("attach", 503, "{\"retry\":true}");
  sandbox.script("attach", 500, "second");
  const std::string body = attachBody("u1", "v").dump();

  const Reply first = post(client(), "/v2/access", body);
  EXPECT_EQ(first.status, 503);
  EXPECT_EQ(first.body, "{\"retry\":true}");
  // Other operations are not affected.
  EXPECT_EQ(post(client(), "/v2/identity",
                 json{{"device_info", json::object()}, {"signals", {{"iosVendorIdentifier", "v"}}}})
                .status,
            200);
  const Reply second = post(client(), "/v2/access", body);
  EXPECT_EQ(second.status, 500);
  EXPECT_EQ(second.body, "second");
  const Reply normal = post(client(), "/v2/access", body);
  EXPECT_EQ(normal.status, 200);
  EXPECT_TRUE(normal.parsed()["success"].get<bool>());

  EXPECT_THROW(sandbox.script("attachh", 500, ""), std::invalid_argument);
}

std::string listenTarget(const std::string& device, const std::string& access,
                         const std::string& auth = "Basic%20proj1%3A") {
  return "/v2/access/device/" + device + "/listen?access=" + access + "&auth=" + auth;
}

std::string listenRequest(const std::string& target, const std::string& extraHeaders = "") {
  return "GET " + target +
         " HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept: text/event-stream\r\n"
         "Accept-Encoding: gzip, deflate, br\r\n" +
         extraHeaders + "\r\n";
}

class SandboxStreamTest : public SandboxTest {
 protected:
  void SetUp() override {
    SandboxTest::SetUp();
    const json attached = post(client(), "/v2/access", attachBody("u1", "vendor-A")).parsed();
    device = attached["device_id"];
    access = attached["access"];
  }

  // A raw connection with a listen request of `device` sent.
  std::unique_ptr<RawConnection> listen(const std::string& extraHeaders = "") {
    auto connection = std::make_unique<RawConnection>(sandbox.port());
    connection->send(listenRequest(listenTarget(device, access), extraHeaders));
    return connection;
  }

  std::string device, access;
};

TEST_F(SandboxStreamTest, PushedEventsReachEveryOpenStreamAsServerSentEvents) {
  auto first = listen("Last-Event-ID: 41\r\n");
  auto second = std::make_unique<RawConnection>(sandbox.port());
  second->send(listenRequest(listenTarget(device, access, "Basic+proj1:")));
  ASSERT_TRUE(first->readHead()) << first->received();
  ASSERT_TRUE(second->readHead()) << second->received();
  for (const auto* stream : {first.get(), second.get()}) {
    const std::string head = stream->head();
    EXPECT_EQ(head.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << head;
    EXPECT_NE(head.find("Content-Type: text/event-stream\r\n"), std::string::npos) << head;
    EXPECT_NE(head.find("Cache-Control: no-cache\r\n"), std::string::npos) << head;
    EXPECT_NE(head.find("Transfer-Encoding: chunked\r\n"), std::string::npos) << head;
    EXPECT_EQ(head.find("Content-Encoding"), std::string::npos) << head;
  }
  ASSERT_TRUE(sandbox.waitForStreams(device, 2, 10s));
  EXPECT_EQ(sandbox.openStreams(device), 2);
  EXPECT_EQ(sandbox.openStreams("dev_other"), 0);

  Event event;
  event.type = "notice";
  event.id = "42";
  event.data = "first line\nsecond line";
  event.retry = 1500;
  event.comment = "hello";
  EXPECT_EQ(sandbox.push(device, event), 2);
  EXPECT_EQ(sandbox.push("dev_other", event), 0);
  EXPECT_EQ(sandbox.pushRaw(device, "data: raw\r\n\r\n"), 2);

  const std::string expected =
      chunk(
          ": hello\nevent: notice\nid: 42\nretry: 1500\ndata: first line\ndata: second line\n\n") +
      chunk("data: raw\r\n\r\n");
  EXPECT_TRUE(first->readBody(expected)) << first->body();
  EXPECT_TRUE(second->readBody(expected)) << second->body();

  // Listen requests are recorded when they arrive, exactly as sent.
  const auto recorded = sandbox.requests();
  ASSERT_EQ(recorded.size(), 3u);
  const auto& firstListen = recorded[1].query == "access=" + access + "&auth=Basic%20proj1%3A"
                                ? recorded[1]
                                : recorded[2];
  EXPECT_EQ(firstListen.method, "GET");
  EXPECT_EQ(firstListen.path, "/v2/access/device/" + device + "/listen");
  EXPECT_EQ(firstListen.query, "access=" + access + "&auth=Basic%20proj1%3A");
  const auto& h = firstListen.headers;
  EXPECT_NE(
      std::find(h.begin(), h.end(), std::pair<std::string, std::string>("Last-Event-ID", "41")),
      h.end());
}

TEST_F(SandboxStreamTest, EventsAreWrittenFieldByFieldAndLineByLine) {
  auto stream = listen();
  ASSERT_TRUE(sandbox.waitForStreams(device, 1, 10s));

  Event emptyData;
  emptyData.data = "";
  Event lineBreaks;
  lineBreaks.data = "a\r\nb\rc\n";
  lineBreaks.id = "";
  Event commentOnly;
  commentOnly.comment = "keep\nalive";
  for (const Event* event : {&emptyData, &lineBreaks, &commentOnly})
    EXPECT_EQ(sandbox.push(device, *event), 1);
  EXPECT_TRUE(stream->readBody(chunk("data:\n\n") +
                               chunk("id:\ndata: a\ndata: b\ndata: c\ndata:\n\n") +
                               chunk(": keep\n: alive\n")))
      << stream->body();

  Event badType;
  badType.type = "a\nb";
  badType.data = "x";
  Event badId;
  badId.id = "1\r";
  Event badRetry;
  badRetry.retry = -1;
  for (const Event& bad : {Event{}, badType, badId, badRetry})
    EXPECT_THROW(sandbox.push(device, bad), std::invalid_argument);
  EXPECT_THROW(sandbox.pushRaw(device, ""), std::invalid_argument);
}

TEST_F(SandboxStreamTest, EndingStreamsFinishesOrDropsTheResponse) {
  auto finished = listen();
  ASSERT_TRUE(sandbox.waitForStreams(device, 1, 10s));
  Event event;
  event.data = "last";
  EXPECT_EQ(sandbox.push(device, event), 1);
  EXPECT_EQ(sandbox.endStreams(device), 1);
  EXPECT_EQ(sandbox.openStreams(device), 0);
  EXPECT_EQ(sandbox.push(device, event), 0);
  // What was pushed before the end is still written, then the final chunk.
  EXPECT_TRUE(finished->readBody(chunk("data: last\n\n") + "0\r\n\r\n")) << finished->body();
  EXPECT_FALSE(finished->closedByPeer());

  auto dropped = listen();
  ASSERT_TRUE(dropped->readHead());
  ASSERT_TRUE(sandbox.waitForStreams(device, 1, 10s));
  const Reply ended =
      post(client(), "/_sandbox/end-stream", json{{"device", device}, {"abort", true}}, {});
  ASSERT_EQ(ended.status, 200);
  EXPECT_EQ(ended.parsed(), (json{{"success", true}, {"ended", 1}}));
  EXPECT_TRUE(dropped->readUntilClosed());
  EXPECT_EQ(dropped->body(), "");
  EXPECT_TRUE(sandbox.waitForNoStreams(device, 10s));

  // Without a device, every stream ends.
  auto one = listen();
  auto two = listen();
  ASSERT_TRUE(sandbox.waitForStreams(device, 2, 10s));
  EXPECT_EQ(post(client(), "/_sandbox/end-stream", json::object(), {}).parsed()["ended"], 2);
  EXPECT_TRUE(one->readBody("0\r\n\r\n")) << one->body();
  EXPECT_TRUE(two->readBody("0\r\n\r\n")) << two->body();
}

TEST_F(SandboxStreamTest, ScriptedListenAnswersReplaceTheStream) {
  sandbox.script("listen", 204, "");
  sandbox.scriptListen("dev_elsewhere", 500, R"({"error":"down"})");

  auto noContent = client().Get(listenTarget(device, access));
  ASSERT_TRUE(noContent);
  EXPECT_EQ(noContent->status, 204);
  EXPECT_EQ(noContent->body, "");

  // A device's script waits for a listen of that device, before authentication is checked.
  const std::string elsewhere = listenTarget("dev_elsewhere", "acc_none", "none");
  auto failed = client().Get(elsewhere);
  ASSERT_TRUE(failed);
  EXPECT_EQ(failed->status, 500);
  EXPECT_EQ(failed->body, R"({"error":"down"})");
  EXPECT_EQ(failed->get_header_value("Content-Type"), "application/json");
  auto unscripted = client().Get(elsewhere);
  ASSERT_TRUE(unscripted);
  EXPECT_EQ(unscripted->status, 401);

  ASSERT_EQ(
      post(client(), "/_sandbox/script",
           json{{"operation", "listen"}, {"device", device}, {"status", 503}, {"body", "{}"}}, {})
          .status,
      200);
  auto unavailable = client().Get(listenTarget(device, access));
  ASSERT_TRUE(unavailable);
  EXPECT_EQ(unavailable->status, 503);
  EXPECT_EQ(sandbox.openStreams(device), 0);
}

TEST_F(SandboxStreamTest, DripWritesItsBytesInChunksOfTheGivenSizeThenStreams) {
  const std::string bytes = "id: 1\ndata: dripped\n\n";
  sandbox.dripListen("", bytes, 1);
  auto stream = listen();
  std::string expected;
  for (char c : bytes) expected += chunk(std::string(1, c));
  EXPECT_TRUE(stream->readBody(expected)) << stream->body();

  ASSERT_TRUE(sandbox.waitForStreams(device, 1, 10s));
  EXPECT_EQ(sandbox.pushRaw(device, "data: after\n\n"), 1);
  EXPECT_TRUE(stream->readBody(expected + chunk("data: after\n\n"))) << stream->body();

  ASSERT_EQ(post(client(), "/_sandbox/script",
                 json{{"operation", "listen"}, {"drip", "abcdefghij"}, {"chunk", 4}}, {})
                .status,
            200);
  auto larger = listen();
  EXPECT_TRUE(larger->readBody(chunk("abcd") + chunk("efgh") + chunk("ij"))) << larger->body();
}

TEST_F(SandboxStreamTest, EndingADripWritesWhatIsLeftWithoutWaiting) {
  sandbox.dripListen(device, "abc", 1, std::chrono::minutes(10));
  auto stream = listen();
  EXPECT_TRUE(stream->readBody(chunk("a"))) << stream->body();
  ASSERT_TRUE(sandbox.waitForStreams(device, 1, 10s));
  EXPECT_EQ(sandbox.endStreams(device), 1);
  EXPECT_TRUE(stream->readBody(chunk("a") + chunk("b") + chunk("c") + "0\r\n\r\n"))
      << stream->body();
  EXPECT_THROW(sandbox.dripListen(device, "x", 0), std::invalid_argument);
}

TEST_F(SandboxStreamTest, StalledListenSendsTheHeadersAndNothingElse) {
  ASSERT_EQ(post(client(), "/_sandbox/script",
                 json{{"operation", "listen"}, {"device", device}, {"stall", true}}, {})
                .status,
            200);
  auto stream = listen();
  ASSERT_TRUE(stream->readHead()) << stream->received();
  EXPECT_EQ(stream->head().rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
  EXPECT_NE(stream->head().find("Content-Type: text/event-stream\r\n"), std::string::npos);
  ASSERT_TRUE(sandbox.waitForStreams(device, 1, 10s));
  EXPECT_EQ(sandbox.pushRaw(device, "data: lost\n\n"), 0);
  EXPECT_EQ(sandbox.endStreams(device), 1);
  EXPECT_TRUE(stream->readBody("0\r\n\r\n")) << stream->body();
}

TEST_F(SandboxStreamTest, ListenWithBadAuthOrUnknownDeviceIsRefused) {
  const json malformedAuth = {{"success", false}, {"error", "missing or malformed auth parameter"}};
  const std::string path = "/v2/access/device/" + device + "/listen";
  struct Case {
    std::string target;
    Headers headers;
    int status;
    json body;
  };
  const std::vector<Case> cases = {
      {path + "?access=" + access, {}, 401, malformedAuth},
      {path + "?access=" + access, kAuth, 401, malformedAuth},  // the header does not count
      {listenTarget(device, access, "Basic%20proj1"), {}, 401, malformedAuth},
      {listenTarget(device, access, "proj1%3A"), {}, 401, malformedAuth},
      {listenTarget(device, "acc_wrong"),
       {},
       401,
       {{"success", false}, {"error", "unknown access"}}},
      {listenTarget(device, ""), {}, 401, {{"success", false}, {"error", "unknown access"}}},
      {listenTarget("dev_unknown", access),
       {},
       404,
       {{"success", false}, {"error", "unknown device"}}},
      {listenTarget(device, access, "Basic%20proj2%3A"),
       {},
       404,
       {{"success", false}, {"error", "unknown device"}}},
  };
  for (const Case& c : cases) {
    auto result = client().Get(c.target.c_str(), c.headers);
    ASSERT_TRUE(result) << c.target;
    EXPECT_EQ(result->status, c.status) << c.target;
    EXPECT_EQ(result->get_header_value("Content-Type"), "application/json") << c.target;
    EXPECT_EQ(json::parse(result->body), c.body) << c.target;
  }
  EXPECT_EQ(sandbox.openStreams(device), 0);
  EXPECT_EQ(sandbox.requests().size(), 1 + cases.size());

  // An access token from an earlier attach of the device stays good.
  post(client(), "/v2/access", attachBody("u1", "vendor-A"));
  auto stream = listen();
  ASSERT_TRUE(stream->readHead());
  EXPECT_EQ(stream->head().rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << stream->head();
}

TEST_F(SandboxStreamTest, AClientHangingUpEndsItsStream) {
  auto stream = listen();
  ASSERT_TRUE(stream->readHead());
  ASSERT_TRUE(sandbox.waitForStreams(device, 1, 10s));
  stream->close();
  EXPECT_TRUE(sandbox.waitForNoStreams(device, 10s));
}

TEST_F(SandboxStreamTest, StoppingEndsOpenStreamsAndRestartingServesNewOnes) {
  auto open = listen();
  sandbox.stallListen();
  auto stalled = listen();
  ASSERT_TRUE(sandbox.waitForStreams(device, 2, 10s));

  sandbox.stop();  // would hang with a stream writer left waiting
  EXPECT_FALSE(sandbox.running());
  EXPECT_EQ(sandbox.openStreams(device), 0);
  EXPECT_TRUE(open->readUntilClosed());
  EXPECT_TRUE(stalled->readUntilClosed());

  ASSERT_TRUE(sandbox.start());
  auto again = listen();
  ASSERT_TRUE(sandbox.waitForStreams(device, 1, 10s));
  EXPECT_EQ(sandbox.pushRaw(device, "data: back\n\n"), 1);
  EXPECT_TRUE(again->readBody(chunk("data: back\n\n"))) << again->body();
}

TEST(SandboxLifecycle, RestartKeepsPortAndStateAndABusyPortIsAnError) {
  Sandbox sandbox;
  ASSERT_TRUE(sandbox.start());
  const int port = sandbox.port();
  EXPECT_EQ(sandbox.baseURL(), "http://127.0.0.1:" + std::to_string(port));
  HttpClient client(sandbox.baseURL());
  const json before = post(client, "/v2/access", attachBody("u1", "vendor-A")).parsed();

  Options taken;
  taken.port = port;
  Sandbox rival(taken);
  std::string error;
  EXPECT_FALSE(rival.start(&error));
  EXPECT_NE(error.find(std::to_string(port)), std::string::npos) << error;

  sandbox.stop();
  EXPECT_FALSE(sandbox.running());
  HttpClient fresh(sandbox.baseURL());
  EXPECT_FALSE(fresh.Get("/_sandbox/state"));

  ASSERT_TRUE(sandbox.start(&error)) << error;
  EXPECT_EQ(sandbox.port(), port);
  const json after = post(fresh, "/v2/access", attachBody("u1", "vendor-A")).parsed();
  EXPECT_EQ(after["device_id"], before["device_id"]);
}

// A self-signed certificate for 127.0.0.1, written once for all TLS tests.
class SandboxTLSTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    char pattern[] = "/tmp/zelk-sandbox-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir = pattern;
    certFile = (dir / "cert.pem").string();
    keyFile = (dir / "key.pem").string();

    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(EVP_EC_gen("P-256"), EVP_PKEY_free);
    std::unique_ptr<X509, decltype(&X509_free)> cert(X509_new(), X509_free);
    ASSERT_TRUE(key && cert);
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 24 * 3600);
    X509_set_pubkey(cert.get(), key.get());
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("127.0.0.1"), -1, -1, 0);
    X509_set_issuer_name(cert.get(), name);
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, cert.get(), cert.get(), nullptr, nullptr, 0);
    for (auto [nid, value] : {std::pair{NID_subject_alt_name, "IP:127.0.0.1"},
                              std::pair{NID_basic_constraints, "critical,CA:TRUE"}}) {
      X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
      ASSERT_NE(ext, nullptr);
      X509_add_ext(cert.get(), ext, -1);
      X509_EXTENSION_free(ext);
    }
    ASSERT_GT(X509_sign(cert.get(), key.get(), EVP_sha256()), 0);

    FILE* out = std::fopen(certFile.c_str(), "w");
    ASSERT_NE(out, nullptr);
    PEM_write_X509(out, cert.get());
    std::fclose(out);
    out = std::fopen(keyFile.c_str(), "w");
    ASSERT_NE(out, nullptr);
    PEM_write_PrivateKey(out, key.get(), nullptr, nullptr, 0, nullptr, nullptr);
    std::fclose(out);
  }
  static void TearDownTestSuite() { std::filesystem::remove_all(dir); }

  static Options tlsOptions(std::string maxVersion = "") {
    Options options;
    options.tlsCertFile = certFile;
    options.tlsKeyFile = keyFile;
    options.tlsMaxVersion = std::move(maxVersion);
    return options;
  }

  // The TLS version a client offering [minVersion, maxVersion] negotiates; 0 if the handshake
  // fails.
  static int negotiatedVersion(int port, int minVersion, int maxVersion) {
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    SSL_CTX_set_security_level(ctx, 0);
    SSL_CTX_set_cipher_list(ctx, "DEFAULT:@SECLEVEL=0");
    SSL_CTX_set_min_proto_version(ctx, minVersion);
    SSL_CTX_set_max_proto_version(ctx, maxVersion);
    BIO* bio = BIO_new_ssl_connect(ctx);
    BIO_set_conn_hostname(bio, ("127.0.0.1:" + std::to_string(port)).c_str());
    SSL* ssl = nullptr;
    BIO_get_ssl(bio, &ssl);
    const int version = BIO_do_handshake(bio) == 1 ? SSL_version(ssl) : 0;
    BIO_free_all(bio);
    SSL_CTX_free(ctx);
    return version;
  }

  static inline std::filesystem::path dir;
  static inline std::string certFile, keyFile;
};

TEST_F(SandboxTLSTest, ServesHTTPSWithAVerifiableCertificate) {
  Sandbox sandbox(tlsOptions());
  std::string error;
  ASSERT_TRUE(sandbox.start(&error)) << error;
  ASSERT_EQ(sandbox.baseURL().rfind("https://127.0.0.1:", 0), 0u);

  HttpClient client(sandbox.baseURL());
  client.setCAFile(certFile);
  const Reply reply = post(client, "/v2/access", attachBody("u1", "vendor-A"));
  EXPECT_EQ(reply.status, 200);
  EXPECT_TRUE(reply.parsed()["success"].get<bool>());
  EXPECT_EQ(sandbox.requests().size(), 1u);
  EXPECT_EQ(negotiatedVersion(sandbox.port(), TLS1_2_VERSION, TLS1_3_VERSION), TLS1_3_VERSION);
}

TEST_F(SandboxTLSTest, MaxVersionLimitsWhatTheServerSpeaks) {
  Sandbox modern(tlsOptions("1.2"));
  ASSERT_TRUE(modern.start());
  EXPECT_EQ(negotiatedVersion(modern.port(), TLS1_VERSION, TLS1_3_VERSION), TLS1_2_VERSION);
  EXPECT_EQ(negotiatedVersion(modern.port(), TLS1_3_VERSION, TLS1_3_VERSION), 0);

  Sandbox old(tlsOptions("1.0"));
  ASSERT_TRUE(old.start());
  EXPECT_EQ(negotiatedVersion(old.port(), TLS1_VERSION, TLS1_3_VERSION), TLS1_VERSION);
  EXPECT_EQ(negotiatedVersion(old.port(), TLS1_2_VERSION, TLS1_3_VERSION), 0);
}

TEST_F(SandboxTLSTest, StreamsEndWhenAClientSaysGoodbyeAndHangsUp) {
  Sandbox sandbox(tlsOptions());
  ASSERT_TRUE(sandbox.start());
  HttpClient client(sandbox.baseURL());
  client.setCAFile(certFile);
  const json attached = post(client, "/v2/access", attachBody("u1", "vendor-A")).parsed();
  const std::string device = attached["device_id"];

  SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
  BIO* bio = BIO_new_ssl_connect(ctx);
  BIO_set_conn_hostname(bio, ("127.0.0.1:" + std::to_string(sandbox.port())).c_str());
  ASSERT_EQ(BIO_do_handshake(bio), 1);
  const std::string request = listenRequest(listenTarget(device, attached["access"]));
  ASSERT_EQ(BIO_write(bio, request.data(), static_cast<int>(request.size())),
            static_cast<int>(request.size()));
  std::string head;
  char buffer[1024];
  while (head.find("\r\n\r\n") == std::string::npos) {
    const int got = BIO_read(bio, buffer, sizeof buffer);
    ASSERT_GT(got, 0);
    head.append(buffer, static_cast<std::size_t>(got));
  }
  EXPECT_EQ(head.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << head;
  ASSERT_TRUE(sandbox.waitForStreams(device, 1, 10s));

  // The close_notify alert stays unread in front of the end of the connection.
  SSL* ssl = nullptr;
  BIO_get_ssl(bio, &ssl);
  SSL_shutdown(ssl);
  // Freeing the BIO would otherwise wait for the server's own close_notify.
  SSL_set_shutdown(ssl, SSL_SENT_SHUTDOWN | SSL_RECEIVED_SHUTDOWN);
  BIO_free_all(bio);
  SSL_CTX_free(ctx);
  EXPECT_TRUE(sandbox.waitForNoStreams(device, 10s));
}

TEST_F(SandboxTLSTest, BadTLSSettingsFailToStart) {
  std::string error;
  EXPECT_FALSE(Sandbox(tlsOptions("1.4")).start(&error));
  EXPECT_NE(error.find("1.4"), std::string::npos) << error;
  Options missingKey = tlsOptions();
  missingKey.tlsKeyFile = (dir / "missing.pem").string();
  EXPECT_FALSE(Sandbox(missingKey).start(&error));
  EXPECT_NE(error.find("missing.pem"), std::string::npos) << error;
}

// Device limits and challenges.

Reply get(HttpClient& client, const std::string& path, const Headers& headers = kAuth) {
  auto result = client.Get(path, headers);
  if (!result) throw std::runtime_error("request failed");
  return {result->status, result->body};
}

// The challenge notice and the logout order as they appear in a listen stream's body, under
// their event id.
std::string challengeChunk(const std::string& challenge, int id) {
  return chunk("id: " + std::to_string(id) +
               "\ndata: {\"action\":\"challenge\",\"challenge\":{\"_id\":\"" + challenge +
               "\"}}\n\n");
}
std::string logoutChunk(int id) {
  return chunk("id: " + std::to_string(id) + "\ndata: \"logout\"\n\n");
}

// Challenges heard once: a device without an open stream hears of a new challenge on its next
// stream only.
class SandboxChallengeTest : public SandboxTest {
 protected:
  void SetUp() override {
    SandboxTest::SetUp();
    sandbox.setRepeatOpenChallenges(false);
  }

  struct Attached {
    std::string device, access;
    json reply;
  };

  Attached attach(const std::string& user, const std::string& vendorId,
                  const std::string& type = "mobile") {
    const Reply reply = post(client(), "/v2/access", attachBody(user, vendorId, type));
    if (reply.status != 200) throw std::runtime_error("attach failed: " + reply.body);
    const json parsed = reply.parsed();
    return {parsed["device_id"], parsed["access"], parsed};
  }

  // An open listen stream of `device`, opened with `access`, its headers read.
  std::unique_ptr<RawConnection> listen(const std::string& device, const std::string& access) {
    const int before = sandbox.openStreams(device);
    auto connection = std::make_unique<RawConnection>(sandbox.port());
    connection->send(listenRequest(listenTarget(device, access)));
    if (!connection->readHead()) throw std::runtime_error("no stream: " + connection->received());
    if (!sandbox.waitForStreams(device, before + 1, 10s))
      throw std::runtime_error("the stream was not registered");
    return connection;
  }
  std::unique_ptr<RawConnection> listen(const Attached& attached) {
    return listen(attached.device, attached.access);
  }

  // Configures proj1 through the admin endpoint.
  void configure(json settings) {
    settings["client_id"] = "proj1";
    const Reply reply = post(client(), "/_sandbox/project", settings, {});
    if (reply.status != 200) throw std::runtime_error("configure failed: " + reply.body);
  }

  // The number of notices kept for `device` once it reaches `count`, or what it is after two
  // seconds. The other devices hear of a challenge only after the attach answer is out, so a
  // notice may be kept a moment after the reply arrives.
  int keptFor(const std::string& device, int count = 1) {
    int kept = 0;
    for (int attempt = 0; attempt < 200 && kept < count; ++attempt) {
      if (attempt > 0) std::this_thread::sleep_for(10ms);
      const json state = json::parse(get(client(), "/_sandbox/state", {}).body);
      kept = state["kept_messages"].value(device, 0);
    }
    return kept;
  }
};

TEST_F(SandboxChallengeTest, AnAttachOverTheOverallLimitRaisesAChallengeThatEveryDeviceHears) {
  configure({{"overall_limit", 2}});
  const Attached a = attach("u1", "vendor-A");
  const Attached b = attach("u1", "vendor-B");
  EXPECT_EQ(b.reply["default_device_limit"], 2);
  EXPECT_TRUE(sandbox.challenges("proj1", "u1").empty());
  auto streamA = listen(a);

  const Attached c = attach("u1", "vendor-C");
  EXPECT_EQ(c.reply["success"], true);
  EXPECT_EQ(c.reply["attached_devices"], 3);
  const auto raised = sandbox.challenges("proj1", "u1");
  ASSERT_EQ(raised.size(), 1u);
  const std::string challenge = raised[0];
  EXPECT_TRUE(std::regex_match(challenge, std::regex("ch_[0-9a-f]+"))) << challenge;

  // A listening device hears of it at once; the others on their next stream.
  EXPECT_TRUE(streamA->readBody(challengeChunk(challenge, 1))) << streamA->body();
  auto streamB = listen(b);
  auto streamC = listen(c);
  EXPECT_TRUE(streamB->readBody(challengeChunk(challenge, 1))) << streamB->body();
  EXPECT_TRUE(streamC->readBody(challengeChunk(challenge, 1))) << streamC->body();

  // Each device hears of it once: a second stream gets only what is pushed afterwards.
  auto secondB = listen(b);
  ASSERT_EQ(sandbox.pushRaw(b.device, "data: after\n\n"), 2);
  EXPECT_TRUE(secondB->readBody(chunk("data: after\n\n"))) << secondB->body();

  // Another user of the project is not affected, nor the same user in another project.
  attach("u2", "vendor-D");
  post(client(), "/v2/access", attachBody("u1", "vendor-E"), {{"Authorization", "Basic proj2:"}});
  EXPECT_TRUE(sandbox.challenges("proj1", "u2").empty());
  EXPECT_TRUE(sandbox.challenges("proj2", "u1").empty());
  EXPECT_EQ(sandbox.challenges("proj1", "u1").size(), 1u);
}

TEST_F(SandboxChallengeTest, TheAttachingDeviceHearsOfItOnTheStreamOpenedWithItsNewAccess) {
  configure({{"overall_limit", 1}});
  const Attached first = attach("u1", "vendor-A");
  auto oldStream = listen(first);
  const Attached other = attach("u1", "vendor-B");
  ASSERT_EQ(sandbox.challenges("proj1", "u1").size(), 1u);
  const std::string firstChallenge = sandbox.challenges("proj1", "u1")[0];
  // Heard by the open stream and kept for the other device before the next one is raised.
  EXPECT_TRUE(oldStream->readBody(challengeChunk(firstChallenge, 1))) << oldStream->body();
  EXPECT_EQ(keptFor(other.device), 1);

  // Attaching again while over the limit joins the open challenge, and the attaching device
  // hears it again: on its open stream, and on the stream opened with the access that attach
  // handed out, but not on one opened with an older access.
  const Attached again = attach("u1", "vendor-A");
  ASSERT_EQ(again.device, first.device);
  ASSERT_EQ(sandbox.challenges("proj1", "u1"), std::vector<std::string>{firstChallenge});
  EXPECT_TRUE(
      oldStream->readBody(challengeChunk(firstChallenge, 1) + challengeChunk(firstChallenge, 2)))
      << oldStream->body();
  auto withOldAccess = listen(first);
  auto withNewAccess = listen(again);
  EXPECT_TRUE(withNewAccess->readBody(challengeChunk(firstChallenge, 2))) << withNewAccess->body();
  ASSERT_EQ(sandbox.pushRaw(first.device, "data: after\n\n"), 3);
  EXPECT_TRUE(withOldAccess->readBody(chunk("data: after\n\n"))) << withOldAccess->body();

  // The other device, without a stream, hears it once on its next one: an attach that joins a
  // challenge tells no other device.
  auto otherStream = listen(other);
  EXPECT_TRUE(otherStream->readBody(challengeChunk(firstChallenge, 1))) << otherStream->body();
}

TEST_F(SandboxChallengeTest, PerTypeLimitsCountOnlyDevicesOfTheAttachedType) {
  configure(
      {{"overall_limit", 10}, {"tablet_limit", 1}, {"computer_limit", 0}, {"mobile_limit", 1}});
  attach("u1", "tablet-1", "tablet");
  attach("u1", "mobile-1", "mobile");
  for (const char* vendor : {"computer-1", "computer-2", "computer-3"})
    attach("u1", vendor, "computer");
  EXPECT_TRUE(sandbox.challenges("proj1", "u1").empty());  // a limit of 0 is no limit

  attach("u1", "tablet-2", "tablet");
  auto raised = sandbox.challenges("proj1", "u1");
  ASSERT_EQ(raised.size(), 1u);
  EXPECT_EQ(json::parse(get(client(), "/_sandbox/challenge/" + raised[0], {}).body)["reason"],
            "tablet");

  // Any type other than tablet or computer counts as a mobile: over the mobile limit as well,
  // the attach joins the challenge that is open, one per user.
  attach("u1", "odd-1", "Tablet");
  EXPECT_EQ(sandbox.challenges("proj1", "u1"), raised);
  const json limits = get(client(), "/v2/challenge/" + raised[0] + "/device-limit").parsed();
  EXPECT_EQ(limits["attached_devices"]["devices"]["mobiles"], 2) << limits;
}

TEST_F(SandboxChallengeTest, DeviceLimitAndDevicesDescribeTheChallengedUser) {
  configure(
      {{"overall_limit", 4}, {"mobile_limit", 2}, {"tablet_limit", 1}, {"computer_limit", 5}});
  const Attached phone = attach("u1", "phone", "mobile");
  attach("u1", "watch", "watch");
  attach("u1", "tablet", "tablet");
  const Attached laptop = attach("u1", "laptop", "computer");
  attach("u2", "elsewhere", "computer");
  const std::string challenge = sandbox.raiseChallenge("proj1", "u1");

  const Reply limits = get(client(), "/v2/challenge/" + challenge + "/device-limit");
  ASSERT_EQ(limits.status, 200) << limits.body;
  EXPECT_EQ(limits.parsed(),
            (json{{"attached_devices",
                   {{"total", 4}, {"devices", {{"computers", 1}, {"tablets", 1}, {"mobiles", 2}}}}},
                  {"default_overall_limit", 4},
                  {"computer_device_limit", 5},
                  {"tablet_device_limit", 1},
                  {"mobile_device_limit", 2}}));

  const Reply listed = get(client(), "/v2/challenge/" + challenge + "/devices");
  ASSERT_EQ(listed.status, 200) << listed.body;
  const json devices = listed.parsed();
  ASSERT_TRUE(devices.is_array());
  ASSERT_EQ(devices.size(), 4u);
  EXPECT_EQ(devices[0]["_id"], phone.device);
  EXPECT_EQ(devices[1]["info"]["device"]["type"], "mobile");  // reported as "watch"
  EXPECT_EQ(devices[3]["_id"], laptop.device);
  EXPECT_EQ(devices[3]["info"],
            (json{{"os", {{"name", "Debian GNU/Linux"}, {"version", "12"}}},
                  {"device", {{"vendor", "Apple"}, {"model", "Linux"}, {"type", "computer"}}}}));
  const std::regex date(R"(\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}\.\d{3}Z)");
  for (const json& device : devices) {
    EXPECT_TRUE(std::regex_match(device["createdAt"].get<std::string>(), date)) << device;
    EXPECT_TRUE(std::regex_match(device["updatedAt"].get<std::string>(), date)) << device;
    EXPECT_GE(device["updatedAt"], device["createdAt"]);
    // The service does not know where a device was: nothing is made up for it.
    EXPECT_FALSE(device.contains("last_access")) << device;
  }

  // Detaching a device shows in both; attaching again keeps the creation stamp.
  ASSERT_EQ(
      post(client(), "/v2/access/detach", json{{"device", phone.device}, {"user", "u1"}}).status,
      200);
  attach("u1", "laptop", "computer");
  const json after = get(client(), "/v2/challenge/" + challenge + "/devices").parsed();
  ASSERT_EQ(after.size(), 3u);
  EXPECT_EQ(after[2]["_id"], laptop.device);
  EXPECT_EQ(after[2]["createdAt"], devices[3]["createdAt"]);
  EXPECT_GE(after[2]["updatedAt"], devices[3]["updatedAt"]);
  EXPECT_EQ(
      get(client(), "/v2/challenge/" + challenge + "/device-limit").parsed()["attached_devices"],
      (json{{"total", 3}, {"devices", {{"computers", 1}, {"tablets", 1}, {"mobiles", 1}}}}));
}

TEST_F(SandboxChallengeTest, TheGeolocationHookPlacesADeviceInTheDeviceList) {
  configure({{"overall_limit", 1}});
  const Attached phone = attach("u1", "phone");
  const Attached laptop = attach("u1", "laptop", "computer");
  const Attached other = attach("u1", "other");
  const std::string challenge = sandbox.challenges("proj1", "u1").at(0);
  const auto place = [&](json body) { return post(client(), "/_sandbox/geolocation", body, {}); };
  const auto lastAccess = [&] {
    std::map<std::string, json> seen;
    const json devices = get(client(), "/v2/challenge/" + challenge + "/devices").parsed();
    for (const json& device : devices) seen[device["_id"]] = device.value("last_access", json());
    return seen;
  };

  const Reply placed = place({{"device", phone.device}, {"city", "Lyon"}, {"country", "FR"}});
  ASSERT_EQ(placed.status, 200) << placed.body;
  EXPECT_EQ(placed.parsed()["geolocation"], (json{{"city", "Lyon"}, {"country", "FR"}}));
  ASSERT_EQ(place({{"device", laptop.device}, {"country", "NO"}}).status, 200);
  auto seen = lastAccess();
  EXPECT_EQ(seen[phone.device], (json{{"geolocation", {{"city", "Lyon"}, {"country", "FR"}}}}));
  // Only what is known: a country without a city, and nothing for a device never placed.
  EXPECT_EQ(seen[laptop.device], (json{{"geolocation", {{"country", "NO"}}}}));
  EXPECT_TRUE(seen[other.device].is_null()) << seen[other.device];

  // A place outlives the attaches of a sandbox without a GeoIP database, and "" forgets it.
  attach("u1", "phone");
  EXPECT_EQ(lastAccess()[phone.device]["geolocation"]["city"], "Lyon");
  ASSERT_EQ(place({{"device", phone.device}, {"city", ""}, {"country", nullptr}}).status, 200);
  EXPECT_TRUE(lastAccess()[phone.device].is_null());

  EXPECT_EQ(place({{"device", "dev_unknown"}, {"city", "Oslo"}}).status, 404);
  EXPECT_EQ(place({{"device", laptop.device}, {"country", "Norway"}}).status, 400);
  EXPECT_EQ(place({{"device", laptop.device}, {"country", "no"}}).status, 400);
  EXPECT_EQ(place({{"city", "Oslo"}}).status, 400);
  EXPECT_EQ(lastAccess()[laptop.device], (json{{"geolocation", {{"country", "NO"}}}}));
}

TEST_F(SandboxChallengeTest, ChallengeDetailsCarryTheProjectBrandAndUser) {
  const std::string bare = sandbox.raiseChallenge("proj1", "u1");
  EXPECT_EQ(get(client(), "/v2/challenge/" + bare).parsed(),
            (json{{"_id", bare},
                  {"project", {{"_id", "proj1"}, {"name", "proj1"}}},
                  {"brand", {{"primary_color", "#4F46E5"}, {"require_verification", false}}},
                  {"user", {{"_id", "u1"}}},
                  {"channels", {"email", "text"}},
                  {"status", "open"}}));

  ProjectSettings settings;
  settings.name = "Acme Notes";
  settings.logo = "https://cdn.example.com/acme.png";
  settings.primaryColor = "#112233";
  settings.requireVerification = true;
  settings.overallLimit = 5;
  sandbox.configureProject("proj1", settings);
  sandbox.configureUser("proj1", "u1", UserProfile{"ada@example.com", "+33 6 12 34 56 78"});
  const json details = get(client(), "/v2/challenge/" + bare).parsed();
  EXPECT_EQ(details["project"], (json{{"_id", "proj1"}, {"name", "Acme Notes"}}));
  EXPECT_EQ(details["brand"], (json{{"logo", "https://cdn.example.com/acme.png"},
                                    {"primary_color", "#112233"},
                                    {"require_verification", true}}));
  // The account owner's contact details are masked unless the project shows them whole.
  EXPECT_EQ(details["user"], (json{{"_id", "u1"},
                                   {"email", "a\u2022\u2022\u2022a@example.com"},
                                   {"phone", "\u2022\u2022\u2022\u2022 5678"}}));
  settings.showContacts = true;
  sandbox.configureProject("proj1", settings);
  EXPECT_EQ(get(client(), "/v2/challenge/" + bare).parsed()["user"],
            (json{{"_id", "u1"}, {"email", "ada@example.com"}, {"phone", "+33 6 12 34 56 78"}}));
  EXPECT_EQ(attach("u1", "vendor-A").reply["default_device_limit"], 5);
  EXPECT_EQ(sandbox.projectSettings("proj1").name, "Acme Notes");
  EXPECT_EQ(sandbox.projectSettings("proj9").name, "proj9");

  EXPECT_THROW(sandbox.configureProject("", {}), std::invalid_argument);
  settings.tabletLimit = -1;
  EXPECT_THROW(sandbox.configureProject("proj1", settings), std::invalid_argument);
  EXPECT_THROW(sandbox.configureUser("proj1", "", {}), std::invalid_argument);
  EXPECT_THROW(sandbox.raiseChallenge("", "u1"), std::invalid_argument);
}

TEST_F(SandboxChallengeTest, CodesAreSentCheckedAndResent) {
  const std::string challenge = sandbox.raiseChallenge("proj1", "u1");
  const auto verify = [&](const std::string& code) {
    const Reply reply =
        post(client(), "/v2/challenge/verify", json{{"challenge", challenge}, {"code", code}});
    EXPECT_EQ(reply.status, 200) << reply.body;
    return reply.parsed()["success"].get<bool>();
  };
  EXPECT_FALSE(sandbox.lastCode(challenge));
  EXPECT_FALSE(verify(""));
  EXPECT_FALSE(verify("000000"));

  const Reply sent =
      post(client(), "/v2/challenge/attempt",
           json{{"challenge", challenge}, {"action", "verify"}, {"channel", "text"}});
  ASSERT_EQ(sent.status, 200) << sent.body;
  EXPECT_EQ(sent.parsed()["success"], true);
  const auto code = sandbox.lastCode(challenge);
  ASSERT_TRUE(code);
  EXPECT_TRUE(std::regex_match(*code, std::regex(R"(\d{6})"))) << *code;
  const json revealed = get(client(), "/_sandbox/challenge/" + challenge, {}).parsed();
  EXPECT_EQ(revealed["code"], *code);
  EXPECT_EQ(revealed["channel"], "text");
  EXPECT_EQ(revealed["verified"], false);

  std::string wrong = *code;
  wrong[0] = wrong[0] == '9' ? '0' : static_cast<char>(wrong[0] + 1);
  EXPECT_FALSE(verify(wrong));
  EXPECT_TRUE(verify(*code));
  EXPECT_EQ(get(client(), "/_sandbox/challenge/" + challenge, {}).parsed()["verified"], true);

  // A code may be resent 30 s after the last one at the earliest; until then the last one stays.
  const Reply resent = post(client(), "/v2/challenge/resend", json{{"challenge", challenge}});
  ASSERT_EQ(resent.status, 429) << resent.body;
  EXPECT_EQ(resent.parsed()["success"], false);
  const auto newCode = sandbox.lastCode(challenge);
  ASSERT_TRUE(newCode);
  EXPECT_EQ(*newCode, *code);
  EXPECT_FALSE(verify(*code));  // it verified once
  const json after = get(client(), "/_sandbox/challenge/" + challenge, {}).parsed();
  EXPECT_EQ(after["codes_sent"], 1);
  EXPECT_EQ(after["code_checks"], 2);
  EXPECT_EQ(after["channel"], "text");

  for (const json& bad : {json{{"action", "verify"}, {"channel", "email"}},
                          json{{"challenge", challenge}, {"action", "call"}, {"channel", "email"}},
                          json{{"challenge", challenge}, {"action", "verify"}, {"channel", "sms"}},
                          json{{"challenge", challenge}, {"channel", "email"}}}) {
    EXPECT_EQ(post(client(), "/v2/challenge/attempt", bad).status, 400) << bad;
  }
  EXPECT_EQ(post(client(), "/v2/challenge/verify", json{{"challenge", challenge}}).status, 400);
  EXPECT_EQ(post(client(), "/v2/challenge/resend", json::object()).status, 400);
  EXPECT_EQ(*sandbox.lastCode(challenge), *newCode);  // refused calls change nothing
}

TEST_F(SandboxChallengeTest, ChallengesBelongToTheirProject) {
  const std::string challenge = sandbox.raiseChallenge("proj1", "u1");
  ASSERT_EQ(post(client(), "/v2/challenge/attempt",
                 json{{"challenge", challenge}, {"action", "verify"}, {"channel", "email"}})
                .status,
            200);
  const auto code = sandbox.lastCode(challenge);
  ASSERT_TRUE(code);

  const Headers other = {{"Authorization", "Basic proj2:"}};
  for (const std::string& path :
       {"/v2/challenge/" + challenge, "/v2/challenge/" + challenge + "/devices",
        "/v2/challenge/" + challenge + "/device-limit", std::string("/v2/challenge/ch_unknown")}) {
    const Reply reply = get(client(), path, other);
    EXPECT_EQ(reply.status, 404) << path;
    EXPECT_EQ(reply.parsed(), (json{{"success", false}, {"error", "unknown challenge"}})) << path;
    EXPECT_EQ(get(client(), path, {}).status, 401) << path;
  }
  EXPECT_EQ(
      post(client(), "/v2/challenge/verify", json{{"challenge", challenge}, {"code", *code}}, other)
          .status,
      404);
  EXPECT_EQ(post(client(), "/v2/challenge/attempt",
                 json{{"challenge", challenge}, {"action", "verify"}, {"channel", "email"}}, other)
                .status,
            404);
  EXPECT_EQ(post(client(), "/v2/challenge/resend", json{{"challenge", challenge}}, other).status,
            404);
  EXPECT_EQ(*sandbox.lastCode(challenge), *code);  // untouched by the other project
  EXPECT_EQ(get(client(), "/v2/challenge/" + challenge + "/elsewhere").status, 404);
  EXPECT_EQ(get(client(), "/_sandbox/challenge/ch_unknown", {}).status, 404);
}

TEST_F(SandboxChallengeTest, DetachAndAdminLogoutSendTheLogoutOrder) {
  const Attached a = attach("u1", "vendor-A");
  const Attached b = attach("u1", "vendor-B");
  auto streamA = listen(a);
  auto streamB = listen(b);

  EXPECT_EQ(sandbox.pushLogout(b.device), 1);
  EXPECT_TRUE(streamB->readBody(logoutChunk(1))) << streamB->body();
  const Reply admin = post(client(), "/_sandbox/logout", json{{"device", b.device}}, {});
  ASSERT_EQ(admin.status, 200) << admin.body;
  EXPECT_EQ(admin.parsed(), (json{{"success", true}, {"delivered", 1}}));
  EXPECT_TRUE(streamB->readBody(logoutChunk(1) + logoutChunk(2))) << streamB->body();
  EXPECT_EQ(post(client(), "/_sandbox/logout", json::object(), {}).status, 400);

  ASSERT_EQ(post(client(), "/v2/access/detach", json{{"device", a.device}, {"user", "u1"}}).status,
            200);
  EXPECT_TRUE(streamA->readBody(logoutChunk(1))) << streamA->body();
  // Only the detached device hears it.
  ASSERT_EQ(sandbox.pushRaw(b.device, "data: after\n\n"), 1);
  EXPECT_TRUE(streamB->readBody(logoutChunk(1) + logoutChunk(2) + chunk("data: after\n\n")))
      << streamB->body();
}

TEST_F(SandboxChallengeTest, ADetachedDeviceDropsTheNoticesKeptForIt) {
  configure({{"overall_limit", 1}});
  const Attached a = attach("u1", "vendor-A");
  attach("u1", "vendor-B");  // raises a challenge, kept for vendor-A's next stream
  EXPECT_EQ(keptFor(a.device), 1);
  ASSERT_EQ(post(client(), "/v2/access/detach", json{{"device", a.device}, {"user", "u1"}}).status,
            200);
  const json state = json::parse(get(client(), "/_sandbox/state", {}).body);
  EXPECT_FALSE(state["kept_messages"].contains(a.device)) << state["kept_messages"];
}

TEST(SandboxDates, AreWrittenWithMillisecondsInUTC) {
  std::tm when{};
  when.tm_year = 2026 - 1900;
  when.tm_mon = 11;
  when.tm_mday = 8;
  when.tm_hour = 1;
  when.tm_min = 2;
  when.tm_sec = 3;
  const auto time = zelk::server::Clock::from_time_t(timegm(&when)) + 456ms + 789us;
  EXPECT_EQ(zelk::server::isoTimeMillis(time), "2026-12-08T01:02:03.456Z");
  EXPECT_EQ(zelk::server::isoTimeMillis(zelk::server::Clock::from_time_t(timegm(&when))),
            "2026-12-08T01:02:03.000Z");
}

}  // namespace
