// SPDX-License-Identifier: Apache-2.0
#include <zelk/event_source.hpp>
#include <zelk/logs.hpp>

#include "support/client_fixture.hpp"

#include "support/http_client.hpp"

#include <condition_variable>
#include <mutex>

namespace zelk::testing {
namespace {

using namespace std::chrono_literals;

// Records every handler call as one line, for tests that wait on them from another thread.
class RecordingHandler final : public EventHandler {
 public:
  void onOpened() override { add("opened"); }
  void onClosed() override { add("closed"); }
  void onMessage(std::string_view type, const MessageEvent& event) override {
    add("message " + std::string(type) + " id=" + event.lastEventId + " data=" + event.data);
  }
  void onComment(std::string_view comment) override { add("comment" + std::string(comment)); }
  void onError(const StreamError& error) override {
    std::lock_guard lock(mutex_);
    errors_.push_back(error);
    calls_.push_back("error");
    changed_.notify_all();
  }

  std::vector<std::string> calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
  }
  std::vector<StreamError> errors() const {
    std::lock_guard lock(mutex_);
    return errors_;
  }
  // Waits until `call` has been seen `count` times.
  bool waitFor(const std::string& call, int count = 1) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(
        lock, 10s, [&] { return std::count(calls_.begin(), calls_.end(), call) >= count; });
  }

 private:
  void add(std::string call) {
    std::lock_guard lock(mutex_);
    calls_.push_back(std::move(call));
    changed_.notify_all();
  }
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> calls_;
  std::vector<StreamError> errors_;
};

class EventSourceTest : public ClientFixture {
 protected:
  void SetUp() override {
    ClientFixture::SetUp();
    // A device of its own, attached without a client, so that no other stream listens to it.
    zelk::testing::HttpClient service(sandbox.baseURL());
    auto reply =
        service.Post("/v2/access", {{"Authorization", "Basic stream project:"}},
                     R"({"user": "u", "device_info": {}, "signals": {"iosVendorIdentifier": "V"},
            "metadata": []})",
                     "application/json");
    ASSERT_TRUE(reply && reply->status == 200);
    const auto attached = ZelkAttachResponse::decode(reply->body);
    ASSERT_TRUE(attached && attached->deviceID && attached->access);
    device = *attached->deviceID;
    url = sandbox.baseURL() + "/v2/access/device/" + device +
          "/listen?access=" + *attached->access + "&auth=Basic%20stream%20project:";
    Logs::setDebugEnabled(true);
    Logs::setSink([this](const Logs::Record& record) {
      std::lock_guard lock(logMutex);
      logLines.emplace_back(record.message);
    });
  }

  void TearDown() override {
    Logs::setSink(nullptr);
    Logs::setDebugEnabled(false);
  }

  // A configuration with delays short enough for tests.
  EventSource::Config config() {
    EventSource::Config config(handler, url);
    config.reconnectTime = 0.02;
    config.maxReconnectTime = 0.05;
    return config;
  }

  std::vector<std::string> logs() {
    std::lock_guard lock(logMutex);
    return logLines;
  }

  std::vector<sandbox::RecordedRequest> listens() {
    std::vector<sandbox::RecordedRequest> result;
    for (auto& request : sandbox.requests()) {
      if (request.path.ends_with("/listen")) result.push_back(std::move(request));
    }
    return result;
  }

  static std::optional<std::string> header(const sandbox::RecordedRequest& request,
                                           std::string_view name) {
    for (const auto& [key, value] : request.headers) {
      if (key == name) return value;
    }
    return std::nullopt;
  }

  std::string device, url;
  std::shared_ptr<RecordingHandler> handler = std::make_shared<RecordingHandler>();
  std::mutex logMutex;
  std::vector<std::string> logLines;
};

TEST_F(EventSourceTest, AConnectionClosedByTheServerIsReopenedAfterTheBackoff) {
  EventSource stream(config());
  stream.start();
  ASSERT_TRUE(handler->waitFor("opened"));
  EXPECT_EQ(stream.readyState(), ReadyState::open);
  ASSERT_EQ(sandbox.endStreams(device), 1);
  ASSERT_TRUE(handler->waitFor("opened", 2));
  stream.stop();
  ASSERT_TRUE(handler->waitFor("closed", 2));

  const auto lines = logs();
  const std::vector<std::string> expected = {
      "State: raw -> connecting",  "Starting EventSource client",     "Initial reply received",
      "State: connecting -> open", "Connection unexpectedly closed.", "State: open -> closed"};
  ASSERT_GE(lines.size(), expected.size() + 2);
  EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + expected.size()), expected);
  const std::string& waiting = lines[expected.size()];
  ASSERT_EQ(waiting.rfind("Waiting ", 0), 0u) << waiting;
  const double delay = std::stod(waiting.substr(8));
  EXPECT_GE(delay, 0.02);  // first attempt: between base and twice the base
  EXPECT_LE(delay, 0.04);
  EXPECT_EQ(lines[expected.size() + 1], "Starting EventSource client");
  EXPECT_EQ(handler->calls(), (std::vector<std::string>{"opened", "closed", "opened", "closed"}));
}

TEST_F(EventSourceTest, A204ReplyEndsTheStreamForGoodWithoutAnError) {
  sandbox.scriptListen(device, 204, "");
  EventSource stream(config());
  stream.start();
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (stream.readyState() != ReadyState::shutdown &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(1ms);
  }
  ASSERT_EQ(stream.readyState(), ReadyState::shutdown);
  std::this_thread::sleep_for(200ms);  // several reconnection delays: none may follow
  EXPECT_EQ(listens().size(), 1u);
  EXPECT_TRUE(handler->calls().empty());
  const auto lines = logs();
  EXPECT_NE(std::find(lines.begin(), lines.end(), "Unsuccessful response: 204"), lines.end());
  EXPECT_NE(std::find(lines.begin(), lines.end(),
                      "Connection has been explicitly shut down by error handler"),
            lines.end());
}

TEST_F(EventSourceTest, A500ReplyIsReportedAndRetried) {
  sandbox.scriptListen(device, 500, R"({"error": "boom"})");
  EventSource stream(config());
  stream.start();
  ASSERT_TRUE(handler->waitFor("opened"));
  EXPECT_EQ(handler->calls().front(), "error");
  ASSERT_EQ(handler->errors().size(), 1u);
  EXPECT_EQ(handler->errors()[0].responseCode(), 500);
  EXPECT_EQ(listens().size(), 2u);
  const auto lines = logs();
  // The cancelled request is silent: no "Connection error" line.
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const auto& l) { return l.rfind("Connection error", 0) == 0; }),
            0);
}

TEST_F(EventSourceTest, AStreamSilentForTheIdleTimeoutFailsAndReconnects) {
  sandbox.stallListen(device);
  auto settings = config();
  settings.idleTimeout = 0.2;
  EventSource stream(settings);
  stream.start();
  ASSERT_TRUE(handler->waitFor("opened", 2));  // the stalled stream, then the next one
  const auto errors = handler->errors();
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].kind, StreamError::Kind::transport);
  const auto lines = logs();
  EXPECT_NE(std::find(lines.begin(), lines.end(), "Connection error: The request timed out."),
            lines.end());
}

TEST_F(EventSourceTest, AnErrorHandlerCanShutTheStreamDown) {
  auto settings = config();
  settings.connectionErrorHandler = [](const StreamError&) {
    return ConnectionErrorAction::shutdown;
  };
  EventSource stream(settings);
  stream.start();
  ASSERT_TRUE(handler->waitFor("opened"));
  sandbox.endStreams(device, /*abort=*/true);
  ASSERT_TRUE(handler->waitFor("closed"));
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(stream.readyState(), ReadyState::shutdown);
  EXPECT_EQ(handler->calls(), (std::vector<std::string>{"opened", "closed"}));
  EXPECT_EQ(listens().size(), 1u);
}

TEST_F(EventSourceTest, StopBeforeStartIsFinal) {
  EventSource stream(config());
  stream.stop();
  stream.start();
  stream.stop();
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (logs().size() < 3 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(1ms);
  }
  EXPECT_EQ(logs(), (std::vector<std::string>{
                        "State: raw -> shutdown",
                        "start() called on already-started EventSource object. Returning",
                        "State: shutdown -> shutdown"}));
  EXPECT_TRUE(listens().empty());
}

TEST_F(EventSourceTest, ReconnectionsSendTheLastEventId) {
  EventSource stream(config());
  stream.start();
  ASSERT_TRUE(handler->waitFor("opened"));
  sandbox::Event event;
  event.id = "42";
  event.data = "first";
  ASSERT_EQ(sandbox.push(device, event), 1);
  ASSERT_TRUE(handler->waitFor("message message id=42 data=first"));
  EXPECT_EQ(stream.getLastEventId(), "42");
  sandbox.endStreams(device);
  ASSERT_TRUE(handler->waitFor("opened", 2));
  const auto requests = listens();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_FALSE(header(requests[0], "Last-Event-Id"));
  EXPECT_EQ(header(requests[1], "Last-Event-Id"), "42");
  EXPECT_EQ(header(requests[1], "Accept"), "text/event-stream");
  EXPECT_EQ(header(requests[1], "Cache-Control"), "no-cache");
}

TEST_F(EventSourceTest, ConfiguredHeadersWinAndTheTransformSeesTheMergedMap) {
  auto settings = config();
  settings.lastEventId = "from-config";
  settings.headers = {{"Last-Event-Id", "fixed"}, {"X-Extra", "1"}};
  std::mutex seenMutex;
  std::vector<EventSource::Headers> seen;
  settings.headerTransform = [&](const EventSource::Headers& headers) {
    std::lock_guard lock(seenMutex);
    seen.push_back(headers);
    auto result = headers;
    result["X-Transformed"] = "yes";
    return result;
  };
  EventSource stream(settings);
  stream.start();
  ASSERT_TRUE(handler->waitFor("opened"));
  stream.stop();
  ASSERT_TRUE(handler->waitFor("closed"));
  const auto requests = listens();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(header(requests[0], "Last-Event-Id"), "fixed");
  EXPECT_EQ(header(requests[0], "X-Transformed"), "yes");
  std::lock_guard lock(seenMutex);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0], (EventSource::Headers{{"Last-Event-Id", "fixed"}, {"X-Extra", "1"}}));
}

TEST_F(EventSourceTest, EventsDrippedOneByteAtATimeArriveWhole) {
  sandbox.dripListen(
      device,
      ": hi\r\nevent: greeting\r\nid: 7\r\ndata: h\xC3\xA9llo\r\ndata: w\xE2\x82\xACrld"
      "\r\n\r\ndata: second\n\n",
      1);
  EventSource stream(config());
  stream.start();
  ASSERT_TRUE(handler->waitFor("message message id=7 data=second"));
  EXPECT_EQ(handler->calls(),
            (std::vector<std::string>{"opened", "comment hi",
                                      "message greeting id=7 data=h\xC3\xA9llo\nw\xE2\x82\xACrld",
                                      "message message id=7 data=second"}));
}

TEST_F(EventSourceTest, AnOverlongLineEndsTheConnection) {
  auto settings = config();
  settings.maxLineBytes = 1024;
  EventSource stream(settings);
  stream.start();
  ASSERT_TRUE(handler->waitFor("opened"));
  ASSERT_EQ(sandbox.pushRaw(device, "data: " + std::string(4096, 'x')), 1);
  ASSERT_TRUE(handler->waitFor("opened", 2));
  const auto errors = handler->errors();
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].kind, StreamError::Kind::limitExceeded);
  EXPECT_EQ(handler->calls(), (std::vector<std::string>{"opened", "error", "closed", "opened"}));
}

}  // namespace
}  // namespace zelk::testing
