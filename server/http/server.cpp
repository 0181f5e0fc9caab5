// SPDX-License-Identifier: Apache-2.0
#include "http/server.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include <sys/resource.h>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <boost/asio/bind_executor.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>

namespace zelk::server::http {

namespace net = boost::asio;
namespace ssl = boost::asio::ssl;
namespace beast = boost::beast;
namespace bhttp = boost::beast::http;
using tcp = net::ip::tcp;
using error_code = boost::system::error_code;

namespace {

std::string openSSLError() {
  const unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (code == 0) return "unknown OpenSSL error";
  char text[256];
  ERR_error_string_n(code, text, sizeof text);
  return text;
}

std::string statusLine(int status) {
  const auto reason = bhttp::obsolete_reason(static_cast<bhttp::status>(status));
  std::string line = "HTTP/1.1 " + std::to_string(status) + " ";
  line.append(reason.data(), reason.size());
  if (reason.empty() || reason == "<unknown-status>") line.resize(line.size() - reason.size());
  return line + "\r\n";
}

bool statusHasBody(int status) {
  return status >= 200 && status != 204 && status != 304;
}

std::string renderHead(const Response& res, bool close) {
  std::string head = statusLine(res.status);
  if (!res.contentType.empty() && statusHasBody(res.status))
    head += "Content-Type: " + res.contentType + "\r\n";
  for (const auto& [name, value] : res.headers) head += name + ": " + value + "\r\n";
  if (statusHasBody(res.status))
    head += "Content-Length: " + std::to_string(res.body.size()) + "\r\n";
  if (close) head += "Connection: close\r\n";
  head += "\r\n";
  return head;
}

Response errorResponse(int status, const std::string& message) {
  Response res;
  res.status = status;
  res.body = "{\"success\":false,\"error\":\"" + message + "\"}";
  return res;
}

// A few threads that help the loop thread through a long list of independent writes: run()
// hands out slices of the list to itself and to whichever helpers wake in time, and returns once
// every slice is done.
class FanOut {
 public:
  explicit FanOut(unsigned helpers) {
    for (unsigned i = 0; i < helpers; ++i) threads_.emplace_back([this] { serve(); });
  }
  ~FanOut() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    for (auto& thread : threads_) thread.join();
  }
  FanOut(const FanOut&) = delete;
  FanOut& operator=(const FanOut&) = delete;

  // Calls work(i) once for every i below count, on the calling thread and the helpers.
  void run(std::size_t count, const std::function<void(std::size_t)>& work) {
    {
      std::lock_guard lock(mutex_);
      work_ = &work;
      count_ = count;
      next_.store(0, std::memory_order_relaxed);
      ++round_;
    }
    wake_.notify_all();
    take(work, count);
    std::unique_lock lock(mutex_);
    work_ = nullptr;  // a helper waking from now on finds nothing to do
    done_.wait(lock, [&] { return busy_ == 0; });
  }

 private:
  static constexpr std::size_t kSlice = 32;

  void take(const std::function<void(std::size_t)>& work, std::size_t count) {
    for (;;) {
      const std::size_t begin = next_.fetch_add(kSlice, std::memory_order_relaxed);
      if (begin >= count) return;
      const std::size_t end = std::min(count, begin + kSlice);
      for (std::size_t i = begin; i < end; ++i) work(i);
    }
  }

  void serve() {
    std::uint64_t seen = 0;
    std::unique_lock lock(mutex_);
    for (;;) {
      wake_.wait(lock, [&] { return stopping_ || (work_ && round_ != seen); });
      if (stopping_) return;
      seen = round_;
      const auto* work = work_;
      const std::size_t count = count_;
      ++busy_;
      lock.unlock();
      take(*work, count);
      lock.lock();
      if (--busy_ == 0) done_.notify_one();
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_, done_;
  const std::function<void(std::size_t)>* work_ = nullptr;
  std::size_t count_ = 0;
  std::atomic<std::size_t> next_{0};
  std::uint64_t round_ = 0;
  int busy_ = 0;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace

// What every connection shares with the server.
struct Server::Impl : std::enable_shared_from_this<Server::Impl> {
  explicit Impl(Handler h) : handler(std::move(h)) {}

  struct SessionBase {
    virtual ~SessionBase() = default;
    virtual void drain() = 0;
    // For a batch of sends (SendBatch). writeQueued() may run on a helper thread while the loop
    // thread waits: it writes what the socket takes at once, and is false when the rest needs
    // the loop, where resumeWrites() then goes on. Each batched connection gets one of the two.
    virtual bool writeQueued() = 0;
    virtual void resumeWrites() = 0;
  };

  Handler handler;
  ServerConfig config;
  std::unique_ptr<net::io_context> io;
  std::unique_ptr<tcp::acceptor> acceptor;
  // The TLS context new connections take; replaced whole by reloadTLS(). A connection's own TLS
  // state holds a reference of OpenSSL's to the context it began with.
  std::shared_ptr<ssl::context> tls;
  mutable std::mutex tlsMutex;
  std::shared_ptr<ssl::context> currentTLS() const {
    std::lock_guard lock(tlsMutex);
    return tls;
  }
  std::vector<std::thread> threads;
  std::atomic<bool> draining{false};
  std::atomic<bool> runningFlag{false};
  int boundPort = 0;

  mutable std::mutex sessionsMutex;
  std::condition_variable sessionsChanged;
  std::unordered_map<SessionBase*, std::weak_ptr<SessionBase>> sessions;
  std::unordered_map<std::string, std::size_t> perAddress;  // connections open, by peer address

  void enroll(const std::shared_ptr<SessionBase>& session) {
    std::lock_guard lock(sessionsMutex);
    sessions.emplace(session.get(), session);
  }
  void leave(SessionBase* session, const std::string& peer) {
    std::lock_guard lock(sessionsMutex);
    sessions.erase(session);
    if (auto it = perAddress.find(peer); it != perAddress.end() && --it->second == 0)
      perAddress.erase(it);
    sessionsChanged.notify_all();
  }
  // Counts one more connection of `peer`; false (and nothing counted) past its cap.
  bool admit(const std::string& peer) {
    const std::size_t cap = config.maxConnectionsPerAddress;
    const bool capped = cap > 0 && !(config.uncapped && config.uncapped(peer));
    std::lock_guard lock(sessionsMutex);
    std::size_t& open = perAddress[peer];
    if (capped && open >= cap) {
      if (open == 0) perAddress.erase(peer);
      return false;
    }
    ++open;
    return true;
  }

  void accept();
  // accept() again once `wait` is over: the process is out of file descriptors (or the kernel of
  // memory), and retrying at once would only spin.
  void acceptLater(std::chrono::milliseconds wait);
  std::unique_ptr<net::steady_timer> acceptPause;
  bool acceptStarved = false;  // told once per spell, on the loop
  // Writes what a batch queued on these connections.
  void writeBatch(const std::vector<std::shared_ptr<SessionBase>>& sessions) const;

  // Helps the one loop thread write a message to many streams; none with several loop threads
  // or one core.
  std::unique_ptr<FanOut> fanOut;
  // Fewer streams than this are not worth waking the helpers for.
  static constexpr std::size_t kFanOutFrom = 128;

  // The server whose loop the calling thread runs, if any.
  static thread_local const Impl* loopOfThisThread;
  // Whether the calling thread is this server's one loop thread, where every connection's
  // handlers run.
  bool onOnlyThread() const { return loopOfThisThread == this && config.threads <= 1; }
};

thread_local const Server::Impl* Server::Impl::loopOfThisThread = nullptr;

namespace {

// The connections a SendBatch on this thread queued writes on.
struct PendingWrites {
  bool open = false;
  std::vector<std::shared_ptr<Server::Impl::SessionBase>> sessions;
};
thread_local PendingWrites pending;

using Impl = Server::Impl;

// One connection: reads requests one after the other and writes their answers; an answer that
// opens an event stream turns the connection into a stream that only writes.
template <class Stream>
class Session final : public Impl::SessionBase,
                      public StreamSink,
                      public std::enable_shared_from_this<Session<Stream>> {
 public:
  template <class... Args>
  Session(std::shared_ptr<Impl> server, std::string peer, Args&&... args)
      : server_(std::move(server)),
        stream_(std::forward<Args>(args)...),
        timer_(stream_.get_executor()),
        peer_(std::move(peer)) {}

  ~Session() override { server_->leave(this, peer_); }

  void start() {
    if constexpr (kTLS) {
      arm(server_->config.headerTimeout);
      stream_.async_handshake(ssl::stream_base::server,
                              [self = this->shared_from_this()](error_code error) {
                                self->disarm();
                                if (error) return self->close();
                                self->waitForRequest();
                              });
    } else {
      waitForRequest();
    }
  }

  // StreamSink. A message sent from the connection's own thread (a request on the loop that
  // pushes to streams) is queued and its write started at once, without a trip through the
  // loop's queue.
  void send(std::shared_ptr<const std::string> bytes) override {
    const auto executor = stream_.get_executor();
    if (server_->onOnlyThread()) {
      if (closed_ || finishing_) return;
      queue_.push_back({std::move(bytes), true});
      if (!pending.open) return writeNext();
      if (!batched_) {
        batched_ = true;
        pending.sessions.push_back(this->shared_from_this());
      }
      return;
    }
    net::post(executor, [self = this->shared_from_this(), bytes = std::move(bytes)] {
      if (self->closed_ || self->finishing_) return;
      self->queue_.push_back({std::move(bytes), true});
      self->writeNext();
    });
  }
  void finish() override {
    net::post(stream_.get_executor(), [self = this->shared_from_this()] {
      if (self->closed_) return;
      self->finishing_ = true;
      self->writeNext();
    });
  }
  void abort() override {
    net::post(stream_.get_executor(), [self = this->shared_from_this()] { self->close(); });
  }
  net::any_io_executor executor() override { return stream_.get_executor(); }

  void drain() override {
    net::post(stream_.get_executor(), [self = this->shared_from_this()] {
      if (self->idle_) self->close();
    });
  }

  bool writeQueued() override {
    batched_ = false;
    if constexpr (kTLS) {
      return false;
    } else {
      while (!writing_ && !closed_ && !finished_ && sent_ < queue_.size() &&
             queue_[sent_].chunked) {
        auto buffers = framed(queue_[sent_]);
        error_code error;
        const std::size_t written = stream_.write_some(buffers, error);
        if (error) return false;  // the loop's write meets it again and ends the stream
        if (written < net::buffer_size(buffers)) {
          unwritten_ += written;
          return false;
        }
        unwritten_ = 0;
        popWritten();
      }
      // A write in flight goes on with the rest when it completes.
      return closed_ || writing_ || (sent_ == queue_.size() && !finishing_);
    }
  }

  void resumeWrites() override {
    batched_ = false;
    writeNext();
  }

 private:
  static constexpr bool kTLS = !std::is_same_v<Stream, tcp::socket>;

  struct Piece {
    std::shared_ptr<const std::string> bytes;
    bool chunked = true;
  };

  auto& socket() {
    if constexpr (kTLS) {
      return stream_.next_layer();
    } else {
      return stream_;
    }
  }

  void arm(std::chrono::milliseconds timeout) {
    timedOut_ = false;
    timer_.expires_after(timeout);
    // A wait that expired just as its operation finished must not cut short the next one.
    timer_.async_wait([weak = this->weak_from_this(), armed = ++armed_](error_code error) {
      auto self = weak.lock();
      if (error || !self || armed != self->armed_) return;
      self->timedOut_ = true;
      error_code ignored;
      self->socket().cancel(ignored);
    });
  }

  void disarm() {
    ++armed_;
    timer_.cancel();
  }

  // Waits for the first bytes of the next request, for as long as a kept-alive connection may
  // stay idle.
  void waitForRequest() {
    if (server_->draining) return close();
    if (buffer_.size() > 0) return readRequest();
    idle_ = true;
    arm(server_->config.idleTimeout);
    stream_.async_read_some(buffer_.prepare(2048),
                            [self = this->shared_from_this()](error_code error, std::size_t read) {
                              self->idle_ = false;
                              self->disarm();
                              if (error || read == 0) return self->close();
                              self->buffer_.commit(read);
                              self->readRequest();
                            });
  }

  void readRequest() {
    parser_.emplace();
    parser_->header_limit(static_cast<std::uint32_t>(server_->config.headerLimit));
    parser_->body_limit(server_->config.bodyLimit);
    arm(server_->config.headerTimeout);
    bhttp::async_read(stream_, buffer_, *parser_,
                      [self = this->shared_from_this()](error_code error, std::size_t) {
                        self->disarm();
                        self->onRead(error);
                      });
  }

  void onRead(error_code error) {
    if (error) {
      if (timedOut_) return reject(408, "the request took too long to arrive");
      if (error == bhttp::error::body_limit) return reject(413, "the request body is too large");
      if (error == bhttp::error::header_limit || error == bhttp::error::buffer_overflow)
        return reject(431, "the request head is too large");
      if (error.category() == bhttp::make_error_code(bhttp::error::end_of_stream).category() &&
          error != bhttp::error::end_of_stream && error != bhttp::error::partial_message)
        return reject(400, "malformed request");
      return close();
    }
    auto message = parser_->release();
    parser_.reset();
    Request req;
    req.method = std::string(message.method_string());
    req.target = std::string(message.target());
    const auto question = req.target.find('?');
    req.path = req.target.substr(0, question);
    if (question != std::string::npos) req.query = req.target.substr(question + 1);
    for (const auto& field : message)
      req.headers.emplace_back(std::string(field.name_string()), std::string(field.value()));
    req.body = std::move(message.body());
    req.peer = peer_;
    keepAlive_ = message.keep_alive();

    Response res;
    try {
      server_->handler(req, res);
    } catch (const std::exception& e) {
      res = errorResponse(500, "internal error");
    }
    if (res.stream) return openStream(std::move(res));
    if (res.deferred) {
      auto deferred = std::move(res.deferred);
      // The connection is held until the answer comes, and not a moment after by whatever keeps
      // a copy of the function: the holder is emptied when it is called.
      auto holder = std::make_shared<std::shared_ptr<Session>>(this->shared_from_this());
      deferred(stream_.get_executor(), [holder](Response later) {
        std::shared_ptr<Session> self = std::exchange(*holder, nullptr);
        if (!self) return;
        net::post(self->stream_.get_executor(), [self, later = std::move(later)]() mutable {
          if (later.stream) {
            // A client gone meanwhile gets no stream, which nothing would end.
            if (self->closed_) return;
            return self->openStream(std::move(later));
          }
          self->respond(std::move(later), !self->keepAlive_ || self->server_->draining);
        });
      });
      return;
    }
    respond(std::move(res), !keepAlive_ || server_->draining);
  }

  void reject(int status, const std::string& message) {
    respond(errorResponse(status, message), /*close=*/true);
  }

  void respond(Response res, bool closeAfter) {
    auto text = std::make_shared<std::string>(renderHead(res, closeAfter));
    text->append(res.body);
    net::async_write(stream_, net::buffer(*text),
                     [self = this->shared_from_this(), text, closeAfter,
                      after = std::move(res.after)](error_code error, std::size_t) {
                       if (after) after();
                       if (error || closeAfter) return self->shutdownThenClose();
                       self->waitForRequest();
                     });
  }

  void openStream(Response res) {
    static const auto head = std::make_shared<const std::string>(
        "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nCache-Control: no-cache\r\n"
        "X-Accel-Buffering: no\r\nTransfer-Encoding: chunked\r\n\r\n");
    streaming_ = true;
    if constexpr (!kTLS) {
      // Writes to the stream never wait: what the socket cannot take now is written when it can.
      error_code ignored;
      stream_.non_blocking(true, ignored);
    }
    // A stream reads nothing more: what reading needed goes.
    buffer_ = beast::flat_buffer();
    parser_.reset();
    queue_.push_back({head, false});
    onGone_ = res.stream(this->shared_from_this());
    writeNext();
    watchForHangUp();
  }

  // A stream's client sends nothing more; a read that ends tells that it went away.
  void watchForHangUp() {
    stream_.async_read_some(net::buffer(scratch_),
                            [self = this->shared_from_this()](error_code error, std::size_t) {
                              if (error) return self->close();
                              self->watchForHangUp();
                            });
  }

  void writeNext() {
    for (;;) {
      if (writing_ || closed_) return;
      if (sent_ == queue_.size()) {
        if (!finishing_) return;
        static const auto last = std::make_shared<const std::string>("0\r\n\r\n");
        queue_.push_back({last, false});
        finishing_ = false;
        finished_ = true;
      }
      const Piece& piece = queue_[sent_];
      auto buffers = framed(piece);
      unwritten_ = 0;
      if constexpr (!kTLS) {
        // A message to many streams is written to each socket at once when it takes it whole:
        // no write operation to set up and no completion to run per stream. What the socket
        // does not take, and every failure, goes the asynchronous way, whose completion ends
        // the stream later: this may run inside the hub's lock, which closing would take.
        if (piece.chunked && !finished_) {
          error_code error;
          std::size_t written = stream_.write_some(buffers, error);
          if (!error && written == net::buffer_size(buffers)) {
            popWritten();
            continue;
          }
          if (error) written = 0;
          skip(buffers, written);
        }
      }
      writing_ = true;
      net::async_write(stream_, buffers,
                       [self = this->shared_from_this()](error_code error, std::size_t) {
                         self->writing_ = false;
                         // Closed while writing: the queue was kept for the write; drop it now.
                         if (self->closed_) return self->dropQueue();
                         if (error) return self->close();
                         self->popWritten();
                         if (self->finished_ && self->sent_ == self->queue_.size())
                           return self->shutdownThenClose();
                         self->writeNext();
                       });
      return;
    }
  }

  // What is left to write of `piece`: one gathered write of the chunk's size line, the shared
  // bytes and the chunk's end (the bytes are never copied per stream), less what a batch wrote
  // of it already.
  std::array<net::const_buffer, 3> framed(const Piece& piece) {
    std::array<net::const_buffer, 3> buffers;
    if (piece.chunked) {
      const int length =
          std::snprintf(sizeLine_.data(), sizeLine_.size(), "%zx\r\n", piece.bytes->size());
      buffers[0] = net::buffer(sizeLine_.data(), static_cast<std::size_t>(length));
      buffers[1] = net::buffer(*piece.bytes);
      buffers[2] = net::buffer("\r\n", 2);
    } else {
      buffers[0] = net::buffer(*piece.bytes);  // the others stay empty
    }
    skip(buffers, unwritten_);
    return buffers;
  }

  static void skip(std::array<net::const_buffer, 3>& buffers, std::size_t bytes) {
    for (auto& buffer : buffers) {
      const std::size_t part = std::min(bytes, buffer.size());
      buffer += part;
      bytes -= part;
    }
  }

  // Forgets the piece just written; an idle stream keeps no queue memory.
  void popWritten() {
    queue_[sent_].bytes.reset();
    if (++sent_ < queue_.size()) return;
    sent_ = 0;
    if (queue_.capacity() > 8) {
      std::vector<Piece>().swap(queue_);
    } else {
      queue_.clear();
    }
  }

  void dropQueue() {
    queue_.clear();
    sent_ = 0;
  }

  void shutdownThenClose() {
    error_code ignored;
    socket().shutdown(tcp::socket::shutdown_send, ignored);
    close();
  }

  void close() {
    if (closed_) return;
    closed_ = true;
    error_code ignored;
    disarm();
    socket().close(ignored);
    // A write in flight still reads its piece; its completion drops the queue instead.
    if (!writing_) dropQueue();
    if (onGone_) {
      auto gone = std::move(onGone_);
      onGone_ = nullptr;
      gone();
    }
  }

  std::shared_ptr<Impl> server_;
  Stream stream_;
  net::steady_timer timer_;
  std::string peer_;
  beast::flat_buffer buffer_;
  std::optional<bhttp::request_parser<bhttp::string_body>> parser_;
  bool timedOut_ = false, keepAlive_ = true, idle_ = false;
  std::uint64_t armed_ = 0;
  // Event stream state.
  bool streaming_ = false, writing_ = false, finishing_ = false, finished_ = false, closed_ = false;
  std::vector<Piece> queue_;  // pieces from sent_ on are still to write
  std::size_t sent_ = 0;
  std::size_t unwritten_ = 0;  // bytes of the piece at sent_ a batch already wrote
  bool batched_ = false;       // on the list of the SendBatch open on the loop thread
  std::array<char, 20> sizeLine_{};
  std::array<char, 16> scratch_{};
  std::function<void()> onGone_;
};

}  // namespace

void Server::Impl::accept() {
  // One thread needs no strands: every connection then runs on the loop's own executor, so a
  // handler on the loop may write to any connection directly.
  const auto executor = config.threads > 1 ? net::any_io_executor(net::make_strand(*io))
                                           : net::any_io_executor(io->get_executor());
  acceptor->async_accept(
      executor, [self = shared_from_this()](error_code error, tcp::socket socket) {
        if (!self->acceptor || !self->acceptor->is_open()) return;
        // Told by the errno value alone: accept reports system errors, and the category's own
        // calls are not needed to tell these apart.
        const int code = error.value();
        if (code == EMFILE || code == ENFILE || code == ENOBUFS || code == ENOMEM) {
          if (!self->acceptStarved)
            std::fprintf(stderr,
                         "zelk-server: cannot take new connections: %s; trying again every "
                         "100 ms\n",
                         std::strerror(code));
          self->acceptStarved = true;
          return self->acceptLater(std::chrono::milliseconds(100));
        }
        if (!error && self->acceptStarved) {
          std::fprintf(stderr, "zelk-server: taking new connections again\n");
          self->acceptStarved = false;
        }
        if (!error) {
          error_code ignored;
          socket.set_option(tcp::no_delay(true), ignored);
          std::string peer;
          if (auto endpoint = socket.remote_endpoint(ignored); !ignored)
            peer = endpoint.address().to_string();
          const std::shared_ptr<ssl::context> tls = self->currentTLS();
          if (!self->admit(peer)) {
            if (!tls) {
              static constexpr std::string_view kRefusal =
                  "HTTP/1.1 503 Service Unavailable\r\nContent-Type: application/json\r\n"
                  "Content-Length: 66\r\nRetry-After: 10\r\nConnection: close\r\n\r\n"
                  "{\"error\":\"too many connections from this address\",\"success\":false}";
              // A fresh socket's send buffer takes these bytes at once.
              socket.non_blocking(true, ignored);
              net::write(socket, net::buffer(kRefusal), ignored);
            }
            socket.shutdown(tcp::socket::shutdown_both, ignored);
            socket.close(ignored);
            return self->accept();
          }
          if (tls) {
            auto session = std::make_shared<Session<ssl::stream<tcp::socket>>>(
                self, std::move(peer), std::move(socket), *tls);
            self->enroll(session);
            session->start();
          } else {
            auto session =
                std::make_shared<Session<tcp::socket>>(self, std::move(peer), std::move(socket));
            self->enroll(session);
            session->start();
          }
        }
        self->accept();
      });
}

void Server::Impl::acceptLater(std::chrono::milliseconds wait) {
  if (!acceptPause) acceptPause = std::make_unique<net::steady_timer>(*io);
  acceptPause->expires_after(wait);
  acceptPause->async_wait([self = shared_from_this()](error_code error) {
    if (!error) self->accept();
  });
}

std::size_t quarterOfOpenFiles() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return 0;
  return std::max<std::size_t>(static_cast<std::size_t>(limit.rlim_cur) / 4, 16);
}

void Server::Impl::writeBatch(const std::vector<std::shared_ptr<SessionBase>>& sessions) const {
  if (!fanOut || sessions.size() < kFanOutFrom) {
    for (const auto& session : sessions) session->resumeWrites();
    return;
  }
  // Each element is written by one thread only.
  std::vector<unsigned char> done(sessions.size(), 0);
  fanOut->run(sessions.size(), [&](std::size_t i) { done[i] = sessions[i]->writeQueued(); });
  for (std::size_t i = 0; i < sessions.size(); ++i) {
    if (!done[i]) sessions[i]->resumeWrites();
  }
}

SendBatch::SendBatch() {
  const Server::Impl* loop = Server::Impl::loopOfThisThread;
  if (!loop || !loop->onOnlyThread() || pending.open) return;
  pending.open = true;
  outermost_ = true;
}

SendBatch::~SendBatch() {
  if (!outermost_) return;
  pending.open = false;
  const auto sessions = std::move(pending.sessions);
  pending.sessions.clear();
  Server::Impl::loopOfThisThread->writeBatch(sessions);
}

namespace {

// A server TLS context of `config`'s certificate and key; nullptr with the reason in *error when
// they cannot be loaded or used.
std::shared_ptr<ssl::context> makeTLSContext(const ServerConfig& config, std::string* error) {
  const auto failWith = [&](std::string message) {
    if (error) *error = std::move(message);
    return std::shared_ptr<ssl::context>();
  };
  if (config.tlsCertFile.empty() || config.tlsKeyFile.empty())
    return failWith("a TLS certificate and a TLS key must be given together");
  const int maxVersion = tlsVersionFromName(config.tlsMaxVersion);
  if (maxVersion < 0)
    return failWith("unknown TLS version '" + config.tlsMaxVersion +
                    "' (expected 1.0, 1.1, 1.2 or 1.3)");
  auto tls = std::make_shared<ssl::context>(ssl::context::tls_server);
  SSL_CTX* ctx = tls->native_handle();
  SSL_CTX_set_options(ctx, SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION);
  if (SSL_CTX_use_certificate_chain_file(ctx, config.tlsCertFile.c_str()) != 1)
    return failWith("cannot load TLS certificate " + config.tlsCertFile + ": " + openSSLError());
  if (SSL_CTX_use_PrivateKey_file(ctx, config.tlsKeyFile.c_str(), SSL_FILETYPE_PEM) != 1 ||
      SSL_CTX_check_private_key(ctx) != 1)
    return failWith("cannot use TLS key " + config.tlsKeyFile + ": " + openSSLError());
  if (maxVersion > 0 && maxVersion < TLS1_2_VERSION) {
    // OpenSSL refuses TLS 1.0/1.1 at its default security level (SHA-1 signatures).
    SSL_CTX_set_security_level(ctx, 0);
    SSL_CTX_set_cipher_list(ctx, "DEFAULT:@SECLEVEL=0");
    SSL_CTX_set_min_proto_version(ctx, TLS1_VERSION);
  } else {
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  }
  if (maxVersion > 0 && SSL_CTX_set_max_proto_version(ctx, maxVersion) != 1)
    return failWith("cannot limit TLS to " + config.tlsMaxVersion + ": " + openSSLError());
  return tls;
}

}  // namespace

int tlsVersionFromName(const std::string& name) {
  if (name.empty()) return 0;
  if (name == "1.0") return TLS1_VERSION;
  if (name == "1.1") return TLS1_1_VERSION;
  if (name == "1.2") return TLS1_2_VERSION;
  if (name == "1.3") return TLS1_3_VERSION;
  return -1;
}

Server::Server(Handler handler) : impl_(std::make_shared<Impl>(std::move(handler))) {}

Server::~Server() {
  stop();
}

bool Server::start(const ServerConfig& config, std::string* error) {
  const auto failWith = [&](std::string message) {
    if (error) *error = std::move(message);
    impl_->acceptor.reset();
    {
      std::lock_guard lock(impl_->tlsMutex);
      impl_->tls.reset();
    }
    impl_->io.reset();
    return false;
  };
  if (impl_->io) return failWith("the server is already running");
  impl_->config = config;
  impl_->draining = false;
  impl_->io = std::make_unique<net::io_context>(config.threads);

  const bool useTLS = !config.tlsCertFile.empty() || !config.tlsKeyFile.empty();
  if (useTLS) {
    std::string why;
    std::shared_ptr<ssl::context> tls = makeTLSContext(config, &why);
    if (!tls) return failWith(std::move(why));
    std::lock_guard lock(impl_->tlsMutex);
    impl_->tls = std::move(tls);
  }

  error_code failure;
  const auto address = net::ip::make_address(config.host, failure);
  if (failure) return failWith("cannot listen on " + config.host + ": not an IP address");
  const tcp::endpoint endpoint(address, static_cast<unsigned short>(config.port));
  impl_->acceptor = std::make_unique<tcp::acceptor>(*impl_->io);
  impl_->acceptor->open(endpoint.protocol(), failure);
  if (!failure) impl_->acceptor->set_option(net::socket_base::reuse_address(true), failure);
  if (!failure) impl_->acceptor->bind(endpoint, failure);
  if (!failure) impl_->acceptor->listen(net::socket_base::max_listen_connections, failure);
  if (failure)
    return failWith("cannot listen on " + config.host + ":" + std::to_string(config.port) + ": " +
                    failure.message());
  impl_->boundPort = impl_->acceptor->local_endpoint().port();
  impl_->accept();
  if (const unsigned cores = std::thread::hardware_concurrency(); config.threads <= 1 && cores > 1)
    impl_->fanOut = std::make_unique<FanOut>(std::min(cores - 1, 3u));
  impl_->runningFlag = true;
  for (int i = 0; i < std::max(config.threads, 1); ++i)
    impl_->threads.emplace_back([impl = impl_.get(), io = impl_->io.get()] {
      Impl::loopOfThisThread = impl;
      io->run();
    });
  return true;
}

void Server::stopAccepting() {
  if (!impl_->io) return;
  net::post(*impl_->io, [impl = impl_] {
    error_code ignored;
    if (impl->acceptor) impl->acceptor->close(ignored);
  });
}

bool Server::drain(std::chrono::milliseconds deadline) {
  if (!impl_->io) return true;
  impl_->draining = true;
  stopAccepting();
  std::vector<std::shared_ptr<Impl::SessionBase>> open;
  {
    std::lock_guard lock(impl_->sessionsMutex);
    for (auto& [raw, weak] : impl_->sessions) {
      if (auto session = weak.lock()) open.push_back(std::move(session));
    }
  }
  for (const auto& session : open) session->drain();
  open.clear();
  std::unique_lock lock(impl_->sessionsMutex);
  return impl_->sessionsChanged.wait_for(lock, deadline, [&] { return impl_->sessions.empty(); });
}

void Server::halt() {
  if (!impl_->io) return;
  impl_->io->stop();
  for (auto& thread : impl_->threads) thread.join();
  impl_->threads.clear();
}

void Server::stop() {
  if (!impl_->io) return;
  halt();
  impl_->acceptor.reset();
  impl_->acceptPause.reset();
  // Destroying the loop destroys the handlers it still held, and with them the connections.
  impl_->io.reset();
  {
    std::lock_guard lock(impl_->tlsMutex);
    impl_->tls.reset();
  }
  impl_->fanOut.reset();
  impl_->runningFlag = false;
}

bool Server::running() const {
  return impl_->runningFlag;
}

int Server::port() const {
  return impl_->boundPort;
}

bool Server::tls() const {
  return impl_->currentTLS() != nullptr;
}

bool Server::reloadTLS(std::string* error) {
  if (!impl_->currentTLS()) {
    if (error) *error = "the server does not serve HTTPS";
    return false;
  }
  std::shared_ptr<ssl::context> fresh = makeTLSContext(impl_->config, error);
  if (!fresh) return false;
  std::lock_guard lock(impl_->tlsMutex);
  impl_->tls = std::move(fresh);
  return true;
}

std::size_t Server::connections() const {
  std::lock_guard lock(impl_->sessionsMutex);
  return impl_->sessions.size();
}

namespace {

// Runs a task every period on the loop; the pending wait owns it, so it ends with the loop.
struct Ticker : std::enable_shared_from_this<Ticker> {
  Ticker(net::io_context& io, std::chrono::milliseconds p, std::function<void()> t)
      : timer(io), period(p), task(std::move(t)) {}
  void schedule() {
    timer.expires_after(period);
    timer.async_wait([self = shared_from_this()](error_code error) {
      if (error) return;
      self->task();
      self->schedule();
    });
  }
  net::steady_timer timer;
  std::chrono::milliseconds period;
  std::function<void()> task;
};

}  // namespace

void Server::every(std::chrono::milliseconds period, std::function<void()> task) {
  if (!impl_->io) return;
  std::make_shared<Ticker>(*impl_->io, period, std::move(task))->schedule();
}

}  // namespace zelk::server::http
