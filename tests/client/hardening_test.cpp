// SPDX-License-Identifier: Apache-2.0
// What a misbehaving service or a careless host must not be able to do to the client: replies
// without end, requests that never finish, bursts of messages, line breaks in IDs and IDs that
// reshape URLs. Each case runs against a scripted service on loopback.
#include "platform/curl_support.hpp"
#include "platform/http_transport.hpp"
#include "support/client_fixture.hpp"
#include "support/scripted_server.hpp"

#include <atomic>
#include <future>
#include <set>

namespace zelk::testing {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

std::string attachReply(const std::string& device, const std::string& access) {
  return json{{"success", true}, {"attached_devices", 1}, {"device_id", device}, {"access", access}}
      .dump();
}

std::string detailsReply(const std::string& id) {
  return json{{"_id", id},
              {"status", "open"},
              {"project", {{"_id", "p1"}, {"name", "Acme"}}},
              {"brand", json::object()},
              {"user", {{"_id", "u1"}}},
              {"channels", json::array()}}
      .dump();
}

std::size_t countLines(const std::string& text) {
  return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

// A client of a service whose answers each test scripts per path.
class ScriptedServiceTest : public ::testing::Test {
 protected:
  using Route = std::function<ScriptedReply(const ScriptedRequest&)>;

  ScriptedReply answer(const ScriptedRequest& request) {
    std::lock_guard lock(routesMutex);
    for (const auto& [prefix, route] : routes) {
      if (request.path.starts_with(prefix)) return route(request);
    }
    return ScriptedReply{404, {}, "{}"};
  }

  void route(std::string prefix, Route handler) {
    std::lock_guard lock(routesMutex);
    routes.emplace_back(std::move(prefix), std::move(handler));
  }

  std::shared_ptr<Zelk> makeClient(std::string clientID = "project one") {
    Platform platform;
    platform.baseURL = server.baseURL();
    platform.mainQueue = loop;
    platform.preferences = PreferencesStore::inMemory();
    platform.deviceFacts = [] { return DeviceFacts{"iPhone", "iOS", "17.2", "VENDOR-1"}; };
    platform.notifications = center;
    return Zelk::create(std::move(clientID), false, std::move(platform));
  }

  template <class Predicate>
  bool waitFor(Predicate predicate, std::chrono::seconds limit = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!loop->runUntil(predicate, 2ms)) {
      if (std::chrono::steady_clock::now() > deadline) return false;
    }
    return true;
  }

  std::vector<ScriptedRequest> requestsUnder(const std::string& prefix) {
    std::vector<ScriptedRequest> found;
    for (auto& request : server.requests()) {
      if (request.path.starts_with(prefix)) found.push_back(std::move(request));
    }
    return found;
  }

  // Identifies and returns the error it reported, with what was printed meanwhile.
  std::pair<std::optional<ZelkError>, std::string> identify(
      Zelk& zelk, std::optional<Metadata> metadata = std::nullopt) {
    StdoutCapture out;
    std::optional<ZelkError> error;
    bool done = false;
    zelk.identify(std::move(metadata), [&](const auto&, const std::optional<ZelkError>& e) {
      loop->post([&, e] { error = e, done = true; });
    });
    EXPECT_TRUE(waitFor([&] { return done; }, 30s));
    return {error, out.take()};
  }

  std::mutex routesMutex;
  std::vector<std::pair<std::string, Route>> routes;
  ScriptedServer server{[this](const ScriptedRequest& request) { return answer(request); }};
  std::shared_ptr<RunLoop> loop = std::make_shared<RunLoop>();
  std::shared_ptr<NotificationCenter> center = std::make_shared<NotificationCenter>(loop);
};

// --- Reply size -----------------------------------------------------------------------------

TEST_F(ScriptedServiceTest, AnEndlessOrOversizedReplyFailsTheCallInsteadOfFillingMemory) {
  auto zelk = makeClient();
  const std::string limit = std::to_string(detail::kMaxReplyBytes);
  // Without an announced length: the transfer is cut off once the limit is passed. With one:
  // refused before the body is read.
  route("/v2/identity", [](const ScriptedRequest&) {
    ScriptedReply reply;
    reply.body = "{\"identity\": \"";
    reply.filler = 64u << 20;
    return reply;
  });
  auto [error, printed] = identify(*zelk);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->message, "Could not identify device");
  EXPECT_EQ(countLines(printed), 1u) << printed;
  EXPECT_TRUE(printed.starts_with("[Zelk SDK]: ")) << printed;
  EXPECT_NE(printed.find("larger than " + limit + " bytes"), std::string::npos) << printed;

  {
    std::lock_guard lock(routesMutex);
    routes.clear();
  }
  route("/v2/identity", [](const ScriptedRequest&) {
    return ScriptedReply{200, {}, std::string(detail::kMaxReplyBytes + 1, ' ')};
  });
  std::tie(error, printed) = identify(*zelk);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->message, "Could not identify device");
  EXPECT_NE(printed.find("larger than " + limit + " bytes"), std::string::npos) << printed;
  EXPECT_EQ(zelk->identity(), std::nullopt);
}

TEST_F(ScriptedServiceTest, AReplyJustUnderTheLimitStillArrives) {
  auto zelk = makeClient();
  route("/v2/identity", [](const ScriptedRequest&) {
    std::string body = R"({"identity": "id-1", "confidence": 0.5})";
    body.append(detail::kMaxReplyBytes - body.size(), ' ');
    return ScriptedReply{200, {}, body};
  });
  auto [error, printed] = identify(*zelk);
  EXPECT_FALSE(error) << printed;
  EXPECT_EQ(zelk->identity(), "id-1");
}

TEST_F(ScriptedServiceTest, ServiceCallsDoNotFollowRedirects) {
  auto zelk = makeClient();
  route("/v2/identity", [&](const ScriptedRequest&) {
    return ScriptedReply{302,
                         {{"Location", server.baseURL() + "/v2/elsewhere"}},
                         R"({"identity": "from the redirect", "confidence": 1})"};
  });
  route("/v2/elsewhere", [](const ScriptedRequest&) {
    return ScriptedReply{200, {}, R"({"identity": "elsewhere", "confidence": 1})"};
  });
  identify(*zelk);
  // The redirect's own body is the reply; its target is never asked.
  EXPECT_EQ(zelk->identity(), "from the redirect");
  EXPECT_TRUE(requestsUnder("/v2/elsewhere").empty());
}

// --- Timeouts -------------------------------------------------------------------------------

class TransportTimeoutTest : public ::testing::Test {
 protected:
  detail::HttpResult get(ScriptedServer& server, std::chrono::milliseconds idle,
                         std::chrono::milliseconds deadline) {
    detail::HttpTransport transport;
    detail::HttpRequest request;
    request.url = server.baseURL() + "/slow";
    request.idleTimeout = idle;
    request.deadline = deadline;
    std::promise<detail::HttpResult> promise;
    transport.send(request, [&](detail::HttpResult result) { promise.set_value(result); });
    auto future = promise.get_future();
    EXPECT_EQ(future.wait_for(30s), std::future_status::ready);
    return future.get();
  }
};

TEST_F(TransportTimeoutTest, ARequestThatKeepsMakingProgressIsNotCutOffForBeingSlow) {
  // One byte every 1.1 s: slower than a byte a second, but never idle for the 1.6 s timeout.
  ScriptedServer server([](const ScriptedRequest&) {
    ScriptedReply reply;
    reply.body = "abc";
    reply.trickle = 1100ms;
    return reply;
  });
  const auto result = get(server, 1600ms, 20s);
  EXPECT_EQ(result.error, "");
  EXPECT_EQ(result.data, "abc");
}

TEST_F(TransportTimeoutTest, NoProgressForTheIdleTimeoutEndsTheRequest) {
  ScriptedServer server([](const ScriptedRequest&) {
    ScriptedReply reply;
    reply.body = "late";
    reply.delay = 5s;
    return reply;
  });
  const auto result = get(server, 700ms, 20s);
  EXPECT_EQ(result.error, "The request timed out.");
  EXPECT_FALSE(result.data);
}

TEST_F(TransportTimeoutTest, TheDeadlineEndsARequestThatTricklesForever) {
  // A byte every 100 ms for 20 s: always making progress, never finishing in time.
  ScriptedServer server([](const ScriptedRequest&) {
    ScriptedReply reply;
    reply.body = std::string(200, 'x');
    reply.trickle = 100ms;
    return reply;
  });
  const auto started = std::chrono::steady_clock::now();
  const auto result = get(server, 1s, 1500ms);
  EXPECT_NE(result.error, "");
  EXPECT_FALSE(result.data);
  EXPECT_LT(std::chrono::steady_clock::now() - started, 15s);
}

// --- Connections per host and challenge bursts ----------------------------------------------

TEST(TransportConnectionTest, ABurstOfRequestsToOneHostUsesAtMostSixConnections) {
  ScriptedServer server([](const ScriptedRequest&) {
    ScriptedReply reply;
    reply.body = "ok";
    reply.delay = 40ms;
    return reply;
  });
  detail::HttpTransport transport;
  constexpr int kRequests = 60;
  std::atomic<int> succeeded{0};
  for (int i = 0; i < kRequests; ++i) {
    detail::HttpRequest request;
    request.url = server.baseURL() + "/r" + std::to_string(i);
    transport.send(request, [&](detail::HttpResult result) {
      if (result.error.empty() && result.data == "ok") ++succeeded;
    });
  }
  ASSERT_TRUE(server.waitForRequests(kRequests, 20s));
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  while (transport.inFlight() != 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(5ms);
  }
  EXPECT_EQ(succeeded.load(), kRequests);
  EXPECT_LE(server.mostOpenConnections(), detail::kMaxConnectionsPerHost);
}

TEST_F(ScriptedServiceTest, ABurstOfChallengeMessagesFetchesEachChallengeOnceOnFewConnections) {
  constexpr int kChallenges = 40;
  constexpr int kRepeats = 5;
  std::string events;
  for (int round = 0; round < kRepeats; ++round) {
    for (int i = 0; i < kChallenges; ++i) {
      events += "data: {\"action\":\"challenge\",\"challenge\":{\"_id\":\"c" + std::to_string(i) +
                "\"}}\n\n";
    }
  }
  route("/v2/access/device/", [events](const ScriptedRequest&) {
    ScriptedReply reply;
    reply.headers = {{"Content-Type", "text/event-stream"}};
    reply.body = events;
    reply.keepOpen = true;
    return reply;
  });
  route("/v2/access", [](const ScriptedRequest&) {
    return ScriptedReply{200, {}, attachReply("dev1", "acc1")};
  });
  route("/v2/challenge/", [](const ScriptedRequest& request) {
    ScriptedReply reply;
    reply.body = detailsReply(request.path.substr(std::string("/v2/challenge/").size()));
    reply.delay = 30ms;
    return reply;
  });

  auto zelk = makeClient();
  std::vector<std::string> shown;
  ZelkInternals::of(*zelk).onChallenge = [&](const ChallengeDetails& details) {
    shown.push_back(details._id);
  };
  zelk->setUserID("ann");
  zelk->attach();
  ASSERT_TRUE(waitFor([&] { return shown.size() >= kChallenges; }, 30s));
  // Late duplicates would show up here.
  loop->runUntil([] { return false; }, 300ms);

  const auto fetches = requestsUnder("/v2/challenge/");
  std::set<std::string> fetched;
  for (const auto& request : fetches) fetched.insert(request.path);
  EXPECT_EQ(fetches.size(), static_cast<std::size_t>(kChallenges));
  EXPECT_EQ(fetched.size(), static_cast<std::size_t>(kChallenges));
  EXPECT_EQ(shown.size(), static_cast<std::size_t>(kChallenges));
  // The fetches and the attach share at most six connections; the stream has its own.
  EXPECT_LE(server.mostOpenConnections(), detail::kMaxConnectionsPerHost + 1);
}

TEST_F(ScriptedServiceTest, ReattachingKeepsTheServiceCallsOnTheirConnectionAndEachStreamOnItsOwn) {
  route("/v2/access/device/", [](const ScriptedRequest&) {
    ScriptedReply reply;
    reply.headers = {{"Content-Type", "text/event-stream"}};
    reply.body = ": open\n\n";
    reply.keepOpen = true;
    return reply;
  });
  std::atomic<int> attaches{0};
  route("/v2/access", [&attaches](const ScriptedRequest&) {
    return ScriptedReply{200, {}, attachReply("dev1", "acc" + std::to_string(++attaches))};
  });

  auto zelk = makeClient();
  zelk->setUserID("ann");
  constexpr std::size_t kAttaches = 4;
  for (std::size_t i = 1; i <= kAttaches; ++i) {
    zelk->attach();
    ASSERT_TRUE(waitFor([&] { return requestsUnder("/v2/access/device/").size() == i; }));
    const auto& stream = ZelkInternals::of(*zelk).eventSource;
    ASSERT_TRUE(waitFor([&] { return stream && stream->readyState() == ReadyState::open; }));
  }

  std::vector<int> postConnections, streamConnections;
  for (const auto& request : server.requests()) {
    (request.method == "POST" ? postConnections : streamConnections).push_back(request.connection);
  }
  ASSERT_EQ(postConnections.size(), kAttaches);
  ASSERT_EQ(streamConnections.size(), kAttaches);
  // A stopped stream leaves its connection broken: had the new stream taken the attach's kept-
  // alive connection, every attach would have to wait for a new one.
  for (const int connection : postConnections) EXPECT_EQ(connection, postConnections.front());
  std::set<int> distinct(streamConnections.begin(), streamConnections.end());
  EXPECT_EQ(distinct.size(), kAttaches);
  EXPECT_FALSE(distinct.contains(postConnections.front()));
  // Each stream's query names the access of the attach before it, in order.
  const auto streams = requestsUnder("/v2/access/device/");
  for (std::size_t i = 0; i < kAttaches; ++i) {
    EXPECT_NE(streams[i].query.find("access=acc" + std::to_string(i + 1)), std::string::npos)
        << streams[i].query;
  }
}

TEST(TransportURLTest, RememberedAnswersStillTellURLsApart) {
  // The checks remember their last answers per thread; asked in turns, each URL keeps its own.
  for (int round = 0; round < 3; ++round) {
    EXPECT_TRUE(detail::HttpTransport::isValidURL("http://127.0.0.1:8080/v2/access"));
    EXPECT_FALSE(detail::HttpTransport::isValidURL("ftp://127.0.0.1:8080/v2/access"));
    EXPECT_FALSE(detail::HttpTransport::isValidURL("http://127.0.0.1:8080/v2/access\r\nX: y"));
    EXPECT_FALSE(detail::HttpTransport::isValidURL(""));
    for (int i = 0; i < 6; ++i) {
      EXPECT_TRUE(detail::HttpTransport::isValidURL("https://api.example/v2/" + std::to_string(i)));
    }
    EXPECT_FALSE(detail::HttpTransport::isValidURL("http://[::1/v2/access"));

    EXPECT_EQ(detail::originOf("http://127.0.0.1:8080/v2/access"), "http://127.0.0.1:8080");
    EXPECT_EQ(detail::originOf("http://127.0.0.1:8080/v2/other?x=1"), "http://127.0.0.1:8080");
    EXPECT_EQ(detail::originOf("http://127.0.0.1:8081/v2/access"), "http://127.0.0.1:8081");
    EXPECT_EQ(detail::originOf("https://127.0.0.1/v2/access"), "https://127.0.0.1:443");
    EXPECT_EQ(detail::originOf("http://127.0.0.1?q"), "http://127.0.0.1:80");
    EXPECT_EQ(detail::originOf("http://user@127.0.0.1:8080/"), "http://127.0.0.1:8080");
    EXPECT_EQ(detail::originOf("not a url"), "not a url");
  }
}

// --- Control characters ---------------------------------------------------------------------

TEST_F(ScriptedServiceTest, ControlCharactersInIDsAndKeysAreRefusedBeforeAnythingIsSent) {
  route("/v2/", [](const ScriptedRequest&) { return ScriptedReply{200, {}, "{}"}; });

  auto injected = makeClient("project\r\nX-Injected: yes");
  auto [error, printed] = identify(*injected);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->message, "Could not identify device");
  EXPECT_EQ(printed, "[Zelk SDK]: clientID must not contain control characters.\n");

  auto zelk = makeClient();
  std::tie(error, printed) = identify(*zelk, Metadata{{"plan\nX-Injected", "yes"}});
  ASSERT_TRUE(error);
  EXPECT_EQ(printed, "[Zelk SDK]: keys of a request body must not contain control characters.\n");

  {
    StdoutCapture out;
    zelk->setUserID("ann\r\nX-Injected: yes");
    zelk->attach();
    std::optional<ZelkAttachResponse> detached;
    bool called = false;
    zelk->detach("dev1", [&](const auto& reply) { detached = reply, called = true; });
    EXPECT_TRUE(called);
    EXPECT_FALSE(detached);
    EXPECT_EQ(out.take(),
              "[Zelk SDK]: userID must not contain control characters.\n"
              "[Zelk SDK]: userID must not contain control characters.\n");
  }
  loop->runUntil([] { return false; }, 100ms);
  EXPECT_EQ(server.requestCount(), 0u);
}

// --- IDs from the service in URLs -----------------------------------------------------------

TEST_F(ScriptedServiceTest, IDsFromTheServiceStayOneSegmentOrOneValueOfTheURL) {
  const std::string hostileChallenge = "../x?y=1#z";
  route("/v2/access/device/", [&](const ScriptedRequest&) {
    ScriptedReply reply;
    reply.body = "data: {\"action\":\"challenge\",\"challenge\":{\"_id\":\"" + hostileChallenge +
                 "\"}}\n\ndata: {\"action\":\"challenge\",\"challenge\":{\"_id\":\"c-17_a.b\"}}"
                 "\n\n";
    reply.keepOpen = true;
    return reply;
  });
  route("/v2/access", [](const ScriptedRequest&) {
    return ScriptedReply{200, {}, attachReply("../../evil?x=1", "a&auth=b")};
  });
  route("/v2/challenge/", [](const ScriptedRequest&) { return ScriptedReply{404, {}, "{}"}; });

  StdoutCapture out;
  auto zelk = makeClient("p");
  zelk->setUserID("ann");
  zelk->attach();
  ASSERT_TRUE(waitFor([&] { return requestsUnder("/v2/challenge/").size() >= 2; }));

  const auto listens = requestsUnder("/v2/access/device/");
  ASSERT_EQ(listens.size(), 1u);
  EXPECT_EQ(listens[0].path, "/v2/access/device/..%2F..%2Fevil%3Fx=1/listen");
  EXPECT_EQ(listens[0].query, "access=a%26auth=b&auth=Basic%20p:");
  EXPECT_TRUE(requestsUnder("/v2/evil").empty());

  std::set<std::string> paths;
  for (const auto& request : requestsUnder("/v2/challenge/")) {
    paths.insert(request.path);
    EXPECT_EQ(request.query, "");
  }
  // A plain ID goes in unchanged.
  EXPECT_EQ(paths,
            (std::set<std::string>{"/v2/challenge/..%2Fx%3Fy=1%23z", "/v2/challenge/c-17_a.b"}));
}

}  // namespace
}  // namespace zelk::testing
