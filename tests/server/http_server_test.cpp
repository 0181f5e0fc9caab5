// SPDX-License-Identifier: Apache-2.0
// The HTTP server's event streams when a message goes to many of them at once: what the loop
// thread sends inside a batch reaches every stream whole and in order, also the streams whose
// sockets take only part of it, and a stream that went away costs the others nothing.
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "http/server.hpp"
#include "support/raw_connection.hpp"

namespace {

using namespace std::chrono_literals;
using zelk::server::http::Request;
using zelk::server::http::Response;
using zelk::server::http::SendBatch;
using zelk::server::http::Server;
using zelk::server::http::ServerConfig;
using zelk::server::http::StreamSink;
using zelk::testing::chunk;
using zelk::testing::RawConnection;

// Opens a stream on GET /stream. POST /send sends, from the loop thread and inside one SendBatch
// when the query says batch=1, the messages its body lists a line each as "K SIZE STREAMS":
// message K of SIZE bytes to the first STREAMS streams opened (0: to all). Answers once they are
// handed over.
class Broadcaster {
 public:
  Broadcaster() : server_([this](const Request& req, Response& res) { handle(req, res); }) {
    ServerConfig config;
    std::string error;
    started_ = server_.start(config, &error);
    EXPECT_TRUE(started_) << error;
  }

  ~Broadcaster() {
    // The connections the streams hold go before the loop they belong to.
    server_.halt();
    std::lock_guard lock(mutex_);
    sinks_.clear();
  }
  Broadcaster(const Broadcaster&) = delete;
  Broadcaster& operator=(const Broadcaster&) = delete;

  int port() const { return server_.port(); }

  std::size_t openStreams() {
    std::lock_guard lock(mutex_);
    return sinks_.size();
  }

  // The bytes message `k` of `size` is made of.
  static std::string message(int k, std::size_t size) {
    return "id: " + std::to_string(k) +
           "\ndata: " + std::string(size, static_cast<char>('a' + k % 26)) + "\n\n";
  }

 private:
  void handle(const Request& req, Response& res) {
    if (req.path == "/stream") {
      res.stream = [this](std::shared_ptr<StreamSink> sink) {
        std::lock_guard lock(mutex_);
        sinks_.push_back(std::move(sink));
        return std::function<void()>([] {});
      };
      return;
    }
    std::vector<std::shared_ptr<StreamSink>> sinks;
    {
      std::lock_guard lock(mutex_);
      sinks = sinks_;
    }
    std::optional<SendBatch> open;
    if (req.param("batch") == "1") open.emplace();
    std::istringstream lines(req.body);
    int k = 0;
    std::size_t size = 0, streams = 0;
    while (lines >> k >> size >> streams) {
      auto bytes = std::make_shared<const std::string>(message(k, size));
      if (streams == 0 || streams > sinks.size()) streams = sinks.size();
      for (std::size_t i = 0; i < streams; ++i) sinks[i]->send(bytes);
    }
    open.reset();
    res.body = "{}";
  }

  std::mutex mutex_;
  std::vector<std::shared_ptr<StreamSink>> sinks_;
  Server server_;
  bool started_ = false;
};

std::string post(int port, const std::string& target, const std::string& body) {
  RawConnection connection(port);
  connection.send("POST " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: " +
                  std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
  connection.readUntilClosed(30s);
  return connection.received();
}

// Checks that each stream read exactly expected[i] after its head.
void expectEveryStreamReads(std::vector<std::unique_ptr<RawConnection>>& streams,
                            const std::vector<std::string>& expected) {
  for (std::size_t i = 0; i < streams.size(); ++i) {
    RawConnection& stream = *streams[i];
    const std::size_t headSize = stream.head().size();
    ASSERT_TRUE(stream.readUntil(
        [&](const std::string& got) { return got.size() >= headSize + expected[i].size(); }, 30s))
        << "stream " << i << " read " << stream.received().size() - headSize << " of "
        << expected[i].size() << " bytes";
    EXPECT_EQ(stream.received().size(), headSize + expected[i].size()) << "stream " << i;
    EXPECT_TRUE(stream.received().compare(headSize, std::string::npos, expected[i]) == 0)
        << "stream " << i << " got other bytes";
  }
}

class ServerBatchedSends : public ::testing::Test {
 protected:
  // Opens `count` streams, enough for the loop to share a batch's writes out.
  void open(std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
      // A small receive buffer: a big message takes several writes to get through.
      streams.push_back(std::make_unique<RawConnection>(server.port(), 4096));
      streams.back()->send("GET /stream HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
      ASSERT_TRUE(streams.back()->readHead());
    }
    for (int i = 0; i < 200 && server.openStreams() < count; ++i) std::this_thread::sleep_for(10ms);
    ASSERT_EQ(server.openStreams(), count);
    expected.assign(count, "");
  }

  // Sends message k of `size` bytes to the first `to` streams (0: all) and notes what they
  // should read; `batch` says whether the sends of this call go in one batch.
  struct Message {
    int k;
    std::size_t size, to;
  };
  void send(bool batch, const std::vector<Message>& messages) {
    std::string body;
    for (const Message& m : messages) {
      body +=
          std::to_string(m.k) + " " + std::to_string(m.size) + " " + std::to_string(m.to) + "\n";
      const std::size_t to = m.to == 0 ? streams.size() : m.to;
      for (std::size_t i = 0; i < to; ++i) expected[i] += chunk(Broadcaster::message(m.k, m.size));
    }
    const std::string answer = post(server.port(), batch ? "/send?batch=1" : "/send?batch=0", body);
    ASSERT_EQ(answer.rfind("HTTP/1.1 200", 0), 0u) << answer;
  }

  Broadcaster server;
  std::vector<std::unique_ptr<RawConnection>> streams;
  std::vector<std::string> expected;
};

TEST_F(ServerBatchedSends, EveryStreamGetsItsMessagesWholeAndInOrderAlsoWhenItsSocketIsFull) {
  ASSERT_NO_FATAL_FAILURE(open(160));
  send(true, {{0, 16, 0}, {1, 16, 0}});
  send(false, {{2, 16, 0}});
  // Megabytes to three streams whose clients do not read yet: what their sockets do not take
  // waits, and so does the small message after it; the others get theirs at once.
  std::vector<Message> mixed{{3, 16, 0}};
  for (int k = 4; k < 10; ++k) mixed.push_back({k, 1024 * 1024, 3});
  mixed.push_back({10, 16, 0});
  send(true, mixed);
  for (std::size_t i = 3; i < streams.size(); ++i) {
    ASSERT_TRUE(streams[i]->readUntil(
        [&](const std::string& got) {
          return got.size() >= streams[i]->head().size() + expected[i].size();
        },
        30s))
        << "stream " << i << " waited for the full ones";
  }
  expectEveryStreamReads(streams, expected);
}

TEST_F(ServerBatchedSends, AStreamThatWentAwayDoesNotKeepTheOthersFromTheirMessages) {
  ASSERT_NO_FATAL_FAILURE(open(140));
  // Every seventh client leaves before the messages.
  for (std::size_t i = 0; i < streams.size(); i += 7) streams[i]->close();
  for (int k = 0; k < 3; ++k) send(true, {{k, 200, 0}});
  std::vector<std::unique_ptr<RawConnection>> staying;
  std::vector<std::string> theirs;
  for (std::size_t i = 0; i < streams.size(); ++i) {
    if (i % 7 == 0) continue;
    staying.push_back(std::move(streams[i]));
    theirs.push_back(expected[i]);
  }
  expectEveryStreamReads(staying, theirs);
}

// One address holding every connection it may: the next is refused with a 503 the client can
// read, others are not, and a connection that ends makes room.
TEST(ServerConnectionCap, AnAddressPastItsCapIsAnswered503AndTheRestGoOn) {
  const auto run = [](bool uncapped) {
    Server server([](const Request&, Response& res) {
      res.status = 200;
      res.body = "ok";
    });
    ServerConfig config;
    config.maxConnectionsPerAddress = 3;
    if (uncapped) config.uncapped = [](const std::string& peer) { return peer == "127.0.0.1"; };
    std::string error;
    EXPECT_TRUE(server.start(config, &error)) << error;
    // Sends a request and waits for its whole answer: "ok" after the head.
    const auto ask = [](RawConnection& connection) {
      const std::size_t from = connection.received().size();
      connection.send("GET / HTTP/1.1\r\nHost: x\r\n\r\n");
      return connection.readUntil([from](const std::string& got) {
        return got.find("\r\n\r\nok", from) != std::string::npos;
      });
    };
    std::vector<std::unique_ptr<RawConnection>> held;
    for (int i = 0; i < 3; ++i) {
      held.push_back(std::make_unique<RawConnection>(server.port()));
      EXPECT_TRUE(ask(*held.back()));
      EXPECT_EQ(held.back()->received().rfind("HTTP/1.1 200", 0), 0u);
    }
    RawConnection fourth(server.port());
    fourth.send("GET / HTTP/1.1\r\nHost: x\r\n\r\n");
    fourth.readUntilClosed(5s);
    const std::string answer = fourth.received();
    if (uncapped) {
      EXPECT_EQ(answer.rfind("HTTP/1.1 200", 0), 0u) << answer;
      server.stop();
      return;
    }
    EXPECT_EQ(answer.rfind("HTTP/1.1 503", 0), 0u) << answer;
    EXPECT_NE(answer.find("too many connections from this address"), std::string::npos);
    // The ones held still answer, and once one of them is gone another may come.
    EXPECT_TRUE(ask(*held[1]));
    held[0]->close();
    bool admitted = false;
    for (int attempt = 0; attempt < 100 && !admitted; ++attempt) {
      RawConnection next(server.port());
      admitted = ask(next) && next.received().rfind("HTTP/1.1 200", 0) == 0;
      if (!admitted) std::this_thread::sleep_for(20ms);
    }
    EXPECT_TRUE(admitted);
    server.stop();
  };
  run(false);
  run(true);
}

}  // namespace
