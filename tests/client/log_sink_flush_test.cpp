// SPDX-License-Identifier: Apache-2.0
#include <zelk/logs.hpp>

#include "support/client_fixture.hpp"
#include "support/scripted_server.hpp"

#include <atomic>
#include <mutex>
#include <vector>

namespace zelk::testing {
namespace {

using namespace std::chrono_literals;

struct Seen {
  Logs::Level level;
  std::string category;
  std::string message;
};

// Installs a sink for the test's duration and restores the default one after it.
class CollectingSink {
 public:
  CollectingSink() {
    Logs::setSink([this](const Logs::Record& record) {
      std::lock_guard lock(mutex_);
      seen_.push_back({record.level, std::string(record.category), std::string(record.message)});
    });
  }
  ~CollectingSink() { Logs::setSink(nullptr); }
  std::vector<Seen> seen() const {
    std::lock_guard lock(mutex_);
    return seen_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<Seen> seen_;
};

class LogSinkTest : public ClientFixture {};

TEST_F(LogSinkTest, DeveloperLinesAndStreamRecordsReachTheHostsSinkInsteadOfTheConsole) {
  auto zelk = makeClient();
  StdoutCapture out;
  std::vector<Seen> seen;
  {
    CollectingSink sink;
    zelk->attach();  // no user
    Logs().log(LogMessages::starting);
    settle(*zelk);
    seen = sink.seen();
  }
  EXPECT_EQ(out.take(), "");
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].category, Logs::sdkCategory);
  EXPECT_EQ(seen[0].level, Logs::Level::warn);
  EXPECT_EQ(seen[0].message, "userID must not be nil.");
  EXPECT_EQ(seen[1].category, Logs::category);
  EXPECT_EQ(seen[1].message, "Starting EventSource client");

  // Without the host's sink the line is back on standard output.
  StdoutCapture again;
  zelk->attach();
  settle(*zelk);
  EXPECT_EQ(again.take(), "[Zelk SDK]: userID must not be nil.\n");
}

TEST_F(LogSinkTest, ATransportFailureIsOneRecordOnTheHTTPThread) {
  Platform p = platform();
  p.baseURL = "http://127.0.0.1:1";  // nothing listens there
  auto zelk = makeClient("project one", p);
  zelk->setUserID("user-1");
  CollectingSink sink;
  zelk->attach();
  ASSERT_TRUE(zelk->flush(10s));
  const auto seen = sink.seen();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].category, Logs::sdkCategory);
  EXPECT_FALSE(seen[0].message.empty());
}

class FlushTest : public ClientFixture {};

TEST_F(FlushTest, ReturnsOnceEveryCallHasCompletedAndItsCallbackReturned) {
  auto zelk = makeClient();
  EXPECT_TRUE(zelk->flush(0ms));  // nothing sent yet
  zelk->setUserID("user-1");
  std::atomic<int> attached{0};
  std::atomic<int> identified{0};
  zelk->attach(std::nullopt, [&](const ZelkAttachResponse&) { ++attached; });
  zelk->identify(std::nullopt, [&](const auto&, const auto&) { ++identified; });
  ASSERT_TRUE(zelk->flush(10s));
  EXPECT_EQ(attached.load(), 1);
  // Identify's success hops to the main thread: flush has queued it there, not run it.
  EXPECT_EQ(identified.load(), 0);
  ASSERT_TRUE(waitFor([&] { return identified.load() == 1; }));
}

TEST_F(FlushTest, GivesUpOnAReplyThatDoesNotComeAndCancelsNothing) {
  ScriptedServer slow([&](const ScriptedRequest&) {
    ScriptedReply reply;
    reply.body = R"({"success":true,"attached_devices":1,"device_id":"dev-9"})";
    reply.delay = 1500ms;
    return reply;
  });
  Platform p = platform();
  p.baseURL = slow.baseURL();
  auto zelk = makeClient("project one", p);
  zelk->setUserID("user-1");
  std::atomic<int> attached{0};
  zelk->attach(std::nullopt, [&](const ZelkAttachResponse&) { ++attached; });
  ASSERT_TRUE(slow.waitForRequests(1, 10s));
  EXPECT_FALSE(zelk->flush(1ms));
  EXPECT_TRUE(zelk->flush(10s));
  EXPECT_EQ(attached.load(), 1);
}

}  // namespace
}  // namespace zelk::testing
