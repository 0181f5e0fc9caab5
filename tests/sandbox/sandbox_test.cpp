#include "sandbox.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
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

namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using zelk::sandbox::Event;
using zelk::sandbox::Options;
using zelk::sandbox::Sandbox;

const httplib::Headers kAuth = {{"Authorization", "Basic proj1:"}};

json attachBody(const std::string& user, const std::string& vendorId) {
  return {{"user", user},
          {"library", "swift"},
          {"version", "3.0.2"},
          {"device_info",
           {{"os", {{"name", "Debian GNU/Linux"}, {"version", "12"}}},
            {"device", {{"vendor", "Apple"}, {"model", "Linux"}, {"type", "mobile"}}}}},
          {"signals", {{"iosVendorIdentifier", vendorId}}},
          {"metadata", json::object()}};
}

struct Reply {
  int status = 0;
  std::string body;
  json parsed() const { return json::parse(body); }
};

Reply post(httplib::Client& client, const std::string& path, const std::string& body,
           const httplib::Headers& headers = kAuth) {
  auto result = client.Post(path.c_str(), headers, body, "application/json");
  if (!result) throw std::runtime_error("request failed: " + httplib::to_string(result.error()));
  return {result->status, result->body};
}

Reply post(httplib::Client& client, const std::string& path, const json& body,
           const httplib::Headers& headers = kAuth) {
  return post(client, path, body.dump(), headers);
}

class SandboxTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(sandbox.start(&error)) << error;
    connection = std::make_unique<httplib::Client>(sandbox.baseURL());
  }

  Sandbox sandbox;
  std::unique_ptr<httplib::Client> connection;
  httplib::Client& client() { return *connection; }
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
    httplib::Headers headers;
    if (*value) headers.emplace("Authorization", value);
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

TEST_F(SandboxTest, RecordsRequestsAsReceived) {
  client().set_url_encode(false);
  const std::string body = "{ \"device\" : \"dev_x\",\n \"user\":\"u1\" }";
  httplib::Headers headers = kAuth;
  headers.emplace("X-Trace", "abc def");
  post(client(), "/v2/access/detach?a=1&b=%20c", body, headers);
  post(client(), "/v2/identity", std::string("{}"));

  const auto recorded = sandbox.requests();
  ASSERT_EQ(recorded.size(), 2u);
  EXPECT_EQ(recorded[0].method, "POST");
  EXPECT_EQ(recorded[0].path, "/v2/access/detach");
  EXPECT_EQ(recorded[0].query, "a=1&b=%20c");
  EXPECT_EQ(recorded[0].body, body);
  const auto& h = recorded[0].headers;
  EXPECT_NE(
      std::find(h.begin(), h.end(), std::pair<std::string, std::string>("X-Trace", "abc def")),
      h.end());
  EXPECT_NE(std::find(h.begin(), h.end(),
                      std::pair<std::string, std::string>("Authorization", "Basic proj1:")),
            h.end());
  for (const auto& [name, value] : h) EXPECT_NE(name, "REMOTE_ADDR");
  EXPECT_EQ(recorded[1].path, "/v2/identity");
  EXPECT_EQ(recorded[1].query, "");

  sandbox.clearRequests();
  EXPECT_TRUE(sandbox.requests().empty());
}

TEST_F(SandboxTest, AdminEndpoints) {
  post(client(), "/v2/access", attachBody("u1", "vendor-A"));
  auto listed = client().Get("/_sandbox/requests");
  ASSERT_TRUE(listed);
  const json requests = json::parse(listed->body);
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0]["path"], "/v2/access");
  EXPECT_EQ(json::parse(requests[0]["body"].get<std::string>()), attachBody("u1", "vendor-A"));
  const json& headers = requests[0]["headers"];
  EXPECT_NE(std::find(headers.begin(), headers.end(), json{"Authorization", "Basic proj1:"}),
            headers.end());

  auto state = client().Get("/_sandbox/state");
  ASSERT_TRUE(state);
  const json devices = json::parse(state->body)["projects"]["proj1"]["users"]["u1"]["devices"];
  ASSERT_EQ(devices.size(), 1u);
  EXPECT_EQ(devices[0]["device_info"]["os"]["version"], "12");

  ASSERT_TRUE(client().Delete("/_sandbox/requests"));
  EXPECT_TRUE(sandbox.requests().empty());

  EXPECT_EQ(post(client(), "/_sandbox/script",
                 json{{"operation", "detach"}, {"status", 418}, {"body", "x"}}, {})
                .status,
            200);
  EXPECT_EQ(
      post(client(), "/_sandbox/script", json{{"operation", "nope"}, {"status", 500}}, {}).status,
      400);
  EXPECT_EQ(post(client(), "/_sandbox/script", json{{"operation", "detach"}, {"status", "500"}}, {})
                .status,
            400);
  const Reply scripted = post(client(), "/v2/access/detach", json::object());
  EXPECT_EQ(scripted.status, 418);
  EXPECT_EQ(scripted.body, "x");
}

// A plain TCP connection to the sandbox, to see a response byte for byte as it was sent.
class RawConnection {
 public:
  explicit RawConnection(int port) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    if (fd_ < 0) throw std::runtime_error("socket() failed");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
      throw std::runtime_error("cannot connect to the sandbox");
  }
  ~RawConnection() { close(); }
  RawConnection(const RawConnection&) = delete;
  RawConnection& operator=(const RawConnection&) = delete;

  void send(const std::string& bytes) {
    if (::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(bytes.size()))
      throw std::runtime_error("send() failed");
  }

  // Reads until `done(received())` holds (true), or the peer closes or the deadline passes
  // (false).
  bool readUntil(const std::function<bool(const std::string&)>& done,
                 std::chrono::milliseconds timeout = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      if (done(received_)) return true;
      if (closed_) return false;
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      pollfd watched{fd_, POLLIN, 0};
      const int ready = poll(&watched, 1, static_cast<int>(left.count()));
      if (ready < 0 && errno == EINTR) continue;
      if (ready <= 0) return false;
      char buffer[4096];
      const ssize_t got = recv(fd_, buffer, sizeof buffer, 0);
      if (got <= 0) {
        closed_ = true;
      } else {
        received_.append(buffer, static_cast<std::size_t>(got));
      }
    }
  }
  bool readUntilClosed(std::chrono::milliseconds timeout = 10s) {
    return readUntil([this](const std::string&) { return closed_; }, timeout);
  }
  bool readHead() {
    return readUntil([](const std::string& r) { return r.find("\r\n\r\n") != std::string::npos; });
  }
  // Reads until the body is `expected` or longer; true when it is exactly `expected`.
  bool readBody(const std::string& expected) {
    readUntil([&](const std::string&) { return body().size() >= expected.size(); });
    return body() == expected;
  }

  const std::string& received() const { return received_; }
  std::string head() const { return received_.substr(0, received_.find("\r\n\r\n") + 4); }
  std::string body() const {
    const auto end = received_.find("\r\n\r\n");
    return end == std::string::npos ? std::string() : received_.substr(end + 4);
  }
  bool closedByPeer() const { return closed_; }

  void close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
  std::string received_;
  bool closed_ = false;
};

// One HTTP chunk of a chunked response body.
std::string chunk(const std::string& bytes) {
  char size[32];
  std::snprintf(size, sizeof size, "%zx", bytes.size());
  return std::string(size) + "\r\n" + bytes + "\r\n";
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
    client().set_url_encode(false);
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

  auto noContent = client().Get(listenTarget(device, access).c_str());
  ASSERT_TRUE(noContent);
  EXPECT_EQ(noContent->status, 204);
  EXPECT_EQ(noContent->body, "");

  // A device's script waits for a listen of that device, before authentication is checked.
  const std::string elsewhere = listenTarget("dev_elsewhere", "acc_none", "none");
  auto failed = client().Get(elsewhere.c_str());
  ASSERT_TRUE(failed);
  EXPECT_EQ(failed->status, 500);
  EXPECT_EQ(failed->body, R"({"error":"down"})");
  EXPECT_EQ(failed->get_header_value("Content-Type"), "application/json");
  auto unscripted = client().Get(elsewhere.c_str());
  ASSERT_TRUE(unscripted);
  EXPECT_EQ(unscripted->status, 401);

  ASSERT_EQ(
      post(client(), "/_sandbox/script",
           json{{"operation", "listen"}, {"device", device}, {"status", 503}, {"body", "{}"}}, {})
          .status,
      200);
  auto unavailable = client().Get(listenTarget(device, access).c_str());
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
    httplib::Headers headers;
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

TEST_F(SandboxStreamTest, AdminPushAndStreamEndpoints) {
  auto stream = listen();
  auto waited =
      client().Get(("/_sandbox/streams?device=" + device + "&count=1&timeout=10000").c_str());
  ASSERT_TRUE(waited);
  EXPECT_EQ(json::parse(waited->body), (json{{"device", device}, {"open", 1}, {"reached", true}}));
  auto listed = client().Get("/_sandbox/streams");
  ASSERT_TRUE(listed);
  EXPECT_EQ(json::parse(listed->body), (json{{"streams", {{device, 1}}}}));

  const Reply pushed = post(client(), "/_sandbox/push",
                            json{{"device", device},
                                 {"event", "limit"},
                                 {"id", "7"},
                                 {"retry", 250},
                                 {"comment", "c"},
                                 {"data", "{\"x\":1}\n2"}},
                            {});
  ASSERT_EQ(pushed.status, 200) << pushed.body;
  EXPECT_EQ(pushed.parsed(), (json{{"success", true}, {"delivered", 1}}));
  EXPECT_EQ(post(client(), "/_sandbox/push", json{{"device", device}, {"raw", ": r\n"}}, {})
                .parsed()["delivered"],
            1);
  EXPECT_EQ(post(client(), "/_sandbox/push", json{{"device", "dev_none"}, {"data", "x"}}, {})
                .parsed()["delivered"],
            0);
  EXPECT_TRUE(stream->readBody(
      chunk(": c\nevent: limit\nid: 7\nretry: 250\ndata: {\"x\":1}\ndata: 2\n\n") + chunk(": r\n")))
      << stream->body();

  for (const json& bad : {json{{"data", "x"}}, json{{"device", device}},
                          json{{"device", device}, {"raw", "x"}, {"data", "y"}},
                          json{{"device", device}, {"raw", ""}},
                          json{{"device", device}, {"event", "a\nb"}, {"data", "x"}},
                          json{{"device", device}, {"data", 5}},
                          json{{"device", device}, {"data", "x"}, {"retry", -1}}}) {
    const Reply refused = post(client(), "/_sandbox/push", bad, {});
    EXPECT_EQ(refused.status, 400) << bad;
    EXPECT_EQ(refused.parsed()["success"], false) << bad;
  }
  for (const json& bad :
       {json{{"operation", "attach"}, {"stall", true}},
        json{{"operation", "attach"}, {"status", 500}, {"device", device}},
        json{{"operation", "listen"}, {"stall", true}, {"drip", "x"}},
        json{{"operation", "listen"}, {"drip", "x"}, {"chunk", 0}},
        json{{"operation", "listen"}, {"status", 200}, {"chunk", 2}},
        json{{"operation", "listen"}, {"stall", true}, {"status", 500}},
        json{{"operation", "listen"}, {"stall", "yes"}}, json{{"operation", "listen"}}}) {
    EXPECT_EQ(post(client(), "/_sandbox/script", bad, {}).status, 400) << bad;
  }
  auto state = client().Get("/_sandbox/state");
  ASSERT_TRUE(state);
  EXPECT_FALSE(json::parse(state->body)["pending_scripts"].contains("listen"));
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
  httplib::Client client(sandbox.baseURL());
  const json before = post(client, "/v2/access", attachBody("u1", "vendor-A")).parsed();

  Options taken;
  taken.port = port;
  Sandbox rival(taken);
  std::string error;
  EXPECT_FALSE(rival.start(&error));
  EXPECT_NE(error.find(std::to_string(port)), std::string::npos) << error;

  sandbox.stop();
  EXPECT_FALSE(sandbox.running());
  httplib::Client fresh(sandbox.baseURL());
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

  httplib::Client client(sandbox.baseURL());
  client.set_ca_cert_path(certFile.c_str());
  client.enable_server_certificate_verification(true);
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
  httplib::Client client(sandbox.baseURL());
  client.set_ca_cert_path(certFile.c_str());
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

}  // namespace
