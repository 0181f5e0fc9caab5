// SPDX-License-Identifier: Apache-2.0
#include <zelk/event_source.hpp>
#include <zelk/logs.hpp>

#include "eventsource/event_parser.hpp"
#include "eventsource/event_source_on_loop.hpp"
#include "eventsource/reconnection_timer.hpp"
#include "eventsource/utf8_line_parser.hpp"
#include "platform/curl_loop.hpp"
#include "platform/curl_support.hpp"

#include <strings.h>
#include <algorithm>
#include <atomic>
#include <cmath>
#include <mutex>
#include <utility>
#include <vector>

namespace zelk {

namespace {

using Clock = std::chrono::steady_clock;
using detail::StreamOverflow;

// What the platform reports for a request that gets no byte within its timeout.
constexpr const char* kTimedOut = "The request timed out.";

// Redirects followed within one connection attempt before it fails.
constexpr int kMaxRedirects = 10;

// `reference` (absolute, or relative to `base`) as an absolute URL; nothing when it does not
// parse.
std::optional<std::string> resolve(const std::string& base, const std::string& reference) {
  CURLU* handle = curl_url();
  if (handle == nullptr) return std::nullopt;
  std::optional<std::string> resolved;
  char* url = nullptr;
  if (!reference.empty() && curl_url_set(handle, CURLUPART_URL, base.c_str(), 0) == CURLUE_OK &&
      curl_url_set(handle, CURLUPART_URL, reference.c_str(), 0) == CURLUE_OK &&
      curl_url_get(handle, CURLUPART_URL, &url, 0) == CURLUE_OK) {
    resolved = url;
  }
  curl_free(url);
  curl_url_cleanup(handle);
  return resolved;
}

// The scheme of an absolute URL ("http", "https"), or "" when it does not parse.
std::string schemeOf(const std::string& url) {
  CURLU* handle = curl_url();
  if (handle == nullptr) return {};
  std::string scheme;
  char* part = nullptr;
  if (curl_url_set(handle, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK &&
      curl_url_get(handle, CURLUPART_SCHEME, &part, 0) == CURLUE_OK) {
    scheme = part;
  }
  curl_free(part);
  curl_url_cleanup(handle);
  return scheme;
}

// Receives nothing; stands in for a missing handler so that the stream never calls through null.
class NoHandler final : public EventHandler {
  void onOpened() override {}
  void onClosed() override {}
  void onMessage(std::string_view, const MessageEvent&) override {}
  void onComment(std::string_view) override {}
  void onError(const StreamError&) override {}
};

Clock::duration seconds(double value) {
  if (!(value > 0)) return Clock::duration::zero();
  if (value > 1e9) return std::chrono::hours(24 * 365 * 30);  // "never" for practical purposes
  return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(value));
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

// Passes every call on to the host's handler, first publishing the id of each event so that
// `getLastEventId()` on another thread already reports it while the handler sees the event.
class PublishingHandler final : public EventHandler {
 public:
  PublishingHandler(std::shared_ptr<EventHandler> handler,
                    std::function<void(const std::string&)> publish)
      : handler_(std::move(handler)), publish_(std::move(publish)) {}

  void onOpened() override { handler_->onOpened(); }
  void onClosed() override { handler_->onClosed(); }
  void onMessage(std::string_view type, const MessageEvent& event) override {
    publish_(event.lastEventId);
    handler_->onMessage(type, event);
  }
  void onComment(std::string_view comment) override { handler_->onComment(comment); }
  void onError(const StreamError& error) override { handler_->onError(error); }

 private:
  std::shared_ptr<EventHandler> handler_;
  std::function<void(const std::string&)> publish_;
};

}  // namespace

std::string_view text(ReadyState state) {
  switch (state) {
    case ReadyState::raw:
      return "raw";
    case ReadyState::connecting:
      return "connecting";
    case ReadyState::open:
      return "open";
    case ReadyState::closed:
      return "closed";
    case ReadyState::shutdown:
      return "shutdown";
  }
  return "raw";
}

std::optional<ReadyState> readyStateFromText(std::string_view value) {
  for (auto state : {ReadyState::raw, ReadyState::connecting, ReadyState::open, ReadyState::closed,
                     ReadyState::shutdown}) {
    if (text(state) == value) return state;
  }
  return std::nullopt;
}

EventSource::Config::Config(std::shared_ptr<EventHandler> handler, std::string url)
    : handler(std::move(handler)),
      url(std::move(url)),
      connectionErrorHandler(defaultConnectionErrorHandler) {}

ConnectionErrorAction EventSource::defaultConnectionErrorHandler(const StreamError& error) {
  return error.responseCode() == 204 ? ConnectionErrorAction::shutdown
                                     : ConnectionErrorAction::proceed;
}

// Everything of one stream, used on its loop's thread only; the facade only posts work to it.
struct EventSource::Delegate : std::enable_shared_from_this<Delegate> {
  using Task = std::function<void()>;

  // One connection attempt while libcurl works on it. A redirect continues the attempt with a
  // new request to the place it names.
  struct Connection {
    detail::CurlEasy easy;
    detail::CurlSlist headers;
    Delegate* owner = nullptr;
    std::string url;                        // where this request goes
    std::string method;                     // and how
    bool withBody = false;                  // sends config.body
    int redirects = 0;                      // followed so far in this attempt
    std::optional<std::string> redirectTo;  // the reply redirects there
    long redirectStatus = 0;
    Clock::time_point lastActivity;
    bool responseHandled = false;         // the final response's status has been checked
    std::optional<std::string> location;  // the Location of the response being received
    bool cancelled = false;               // ended on purpose: its completion is silent
    std::optional<StreamError> failure;   // ended by us for this reason
    char errorBuffer[CURL_ERROR_SIZE] = {};
  };

  Delegate(EventSource::Config configuration, detail::CurlLoop* loop);

  // The stream, on the loop's thread only.
  void start();
  void stop();
  void retire();  // stop() for good, as the stream is destroyed
  void connect();
  // Sends one request of the current attempt. `redirects` counts the hops that led here.
  void request(std::string url, std::string method, bool withBody, int redirects);
  void followRedirect(const Connection& from);
  void setReadyState(ReadyState state);
  ConnectionErrorAction dispatchError(const StreamError& error);
  bool responseReceived(long status);  // false: cancel the connection
  bool dataReceived(std::string_view chunk);
  void taskCompleted(const std::optional<StreamError>& error, bool cancelled);
  void finish(CURLcode code);
  void cancelConnection();
  void checkIdleTimeout();
  // The request's header lines; `configured` adds the configured headers and transform, which
  // go to the stream's own origin only.
  detail::CurlSlist requestHeaders(bool configured) const;
  void publishLastEventId(const std::string& id);

  static std::size_t onHeader(char* data, std::size_t size, std::size_t count, void* user);
  static std::size_t onData(char* data, std::size_t size, std::size_t count, void* user);

  const EventSource::Config config;
  const Logs logger;
  ReadyState readyState = ReadyState::raw;
  detail::UTF8LineParser utf8LineParser;
  detail::EventParser eventParser;
  detail::ReconnectionTimer reconnectionTimer;
  bool hasSession = false;
  std::unique_ptr<Connection> connection;
  detail::CurlLoop* const loop;  // outlives every task of the stream: the facade holds it

  // Shared with other threads.
  std::atomic<ReadyState> publishedState{ReadyState::raw};
  mutable std::mutex lastEventIdMutex;
  std::string lastEventId;
};

namespace {

EventSource::Config checked(EventSource::Config config) {
  if (!config.handler) config.handler = std::make_shared<NoHandler>();
  if (!config.connectionErrorHandler) {
    config.connectionErrorHandler = EventSource::defaultConnectionErrorHandler;
  }
  return config;
}

}  // namespace

EventSource::Delegate::Delegate(EventSource::Config configuration, detail::CurlLoop* loop)
    : config(checked(std::move(configuration))),
      utf8LineParser(config.maxLineBytes),
      eventParser(std::make_shared<PublishingHandler>(
                      config.handler, [this](const std::string& id) { publishLastEventId(id); }),
                  config.lastEventId, config.reconnectTime, config.maxEventBytes),
      reconnectionTimer(config.maxReconnectTime, config.backoffResetThreshold),
      loop(loop),
      lastEventId(config.lastEventId) {
  detail::initCurlOnce();
}

void EventSource::Delegate::setReadyState(ReadyState state) {
  logger.log(LogMessages::stateChange, text(readyState), text(state));
  readyState = state;
  publishedState = state;
}

void EventSource::Delegate::start() {
  if (readyState != ReadyState::raw) {
    logger.log(LogMessages::alreadyStarted);
    return;
  }
  setReadyState(ReadyState::connecting);
  hasSession = true;
  // The idle timeout is checked after every pass of the loop, and bounds how long it sleeps.
  loop->watch(this, [this] {
    checkIdleTimeout();
    return connection ? connection->lastActivity + seconds(config.idleTimeout)
                      : Clock::time_point::max();
  });
  connect();
}

void EventSource::Delegate::stop() {
  const ReadyState previous = readyState;
  setReadyState(ReadyState::shutdown);
  cancelConnection();
  if (previous == ReadyState::open) config.handler->onClosed();
  hasSession = false;
}

void EventSource::Delegate::retire() {
  stop();
  loop->unwatch(this);
}

void EventSource::Delegate::connect() {
  logger.log(LogMessages::starting);
  if (!hasSession || connection) return;
  request(config.url, config.method, config.body.has_value(), 0);
}

void EventSource::Delegate::request(std::string url, std::string method, bool withBody,
                                    int redirects) {
  auto attempt = std::make_unique<Connection>();
  attempt->owner = this;
  attempt->url = std::move(url);
  attempt->method = std::move(method);
  attempt->withBody = withBody;
  attempt->redirects = redirects;
  attempt->easy.reset(curl_easy_init());
  attempt->headers = requestHeaders(detail::originOf(attempt->url) == detail::originOf(config.url));
  attempt->lastActivity = Clock::now();
  CURL* easy = attempt->easy.get();
  curl_easy_setopt(easy, CURLOPT_URL, attempt->url.c_str());
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy, CURLOPT_HTTPHEADER, attempt->headers.get());
  if (attempt->method == "GET") {
    curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
  } else {
    curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, attempt->method.c_str());
  }
  if (withBody && config.body) {
    curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE,
                     static_cast<curl_off_t>(config.body->size()));
    curl_easy_setopt(easy, CURLOPT_POSTFIELDS, config.body->data());
  }
  // A stream holds its connection for as long as it runs and leaves it broken when it is stopped.
  // It opens one of its own, so that it never takes the kept-alive connection the loop's other
  // requests are about to reuse (a client's next service call would otherwise wait for a new
  // connection on every stream restart).
  curl_easy_setopt(easy, CURLOPT_FRESH_CONNECT, 1L);
  // Redirects are followed here, not by libcurl, so that each hop is checked before anything is
  // sent there (see followRedirect).
  curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, onHeader);
  curl_easy_setopt(easy, CURLOPT_HEADERDATA, attempt.get());
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, onData);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, attempt.get());
  curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, attempt->errorBuffer);
  detail::applySecurity(easy, config.caFile);
  connection = std::move(attempt);
  const bool added = loop->add(easy, [weak = weak_from_this(), easy](CURLcode code) {
    auto self = weak.lock();
    if (self && self->connection && self->connection->easy.get() == easy) self->finish(code);
  });
  if (!added) finish(CURLE_FAILED_INIT);
}

// A redirect is followed only where it cannot expose the stream: never from https to plain http
// (plain http is possible only for a stream configured with an http URL, for local development),
// never to another scheme, and never with the configured headers to another origin. Whatever is
// refused fails the attempt like a connection error, and the stream reconnects to its own URL.
void EventSource::Delegate::followRedirect(const Connection& from) {
  const std::string& target = *from.redirectTo;
  const std::string scheme = schemeOf(target);
  if (from.redirects >= kMaxRedirects) {
    return taskCompleted(StreamError::transport(
                             CURLE_TOO_MANY_REDIRECTS,
                             "Maximum (" + std::to_string(kMaxRedirects) + ") redirects followed"),
                         false);
  }
  if ((scheme != "https" && scheme != "http") ||
      (scheme == "http" && schemeOf(from.url) != "http")) {
    return taskCompleted(
        StreamError::transport(CURLE_UNSUPPORTED_PROTOCOL,
                               scheme == "http" ? "Refused a redirect from https to plain http"
                                                : "Refused a redirect to a URL that is not http "
                                                  "or https"),
        false);
  }
  // As browsers do: 303, and 301 or 302 after anything but GET, turn into a GET without a body.
  const bool keepsMethod =
      from.redirectStatus == 307 || from.redirectStatus == 308 ||
      ((from.redirectStatus == 301 || from.redirectStatus == 302) && from.method == "GET");
  request(target, keepsMethod ? from.method : "GET", keepsMethod && from.withBody,
          from.redirects + 1);
}

detail::CurlSlist EventSource::Delegate::requestHeaders(bool configured) const {
  Headers headers;
  if (const std::string& id = eventParser.getLastEventId(); !id.empty()) {
    headers["Last-Event-Id"] = id;
  }
  if (configured) {
    for (const auto& [name, value] : config.headers) headers[name] = value;
    if (config.headerTransform) headers = config.headerTransform(headers);
  }

  // Every request asks for an event stream that no cache may answer, unless its own headers say
  // otherwise.
  auto has = [&headers](std::string_view name) {
    return std::any_of(headers.begin(), headers.end(),
                       [&](const auto& header) { return equalsIgnoringCase(header.first, name); });
  };
  curl_slist* list = nullptr;
  if (!has("Accept")) list = curl_slist_append(list, "Accept: text/event-stream");
  if (!has("Cache-Control")) list = curl_slist_append(list, "Cache-Control: no-cache");
  for (const auto& [name, value] : headers) {
    // "Name;" is libcurl's way of sending a header whose value is empty.
    const std::string line = value.empty() ? name + ";" : name + ": " + value;
    list = curl_slist_append(list, line.c_str());
  }
  list = curl_slist_append(list, "Expect:");
  return detail::CurlSlist(list);
}

ConnectionErrorAction EventSource::Delegate::dispatchError(const StreamError& error) {
  const ConnectionErrorAction action = config.connectionErrorHandler(error);
  if (action == ConnectionErrorAction::proceed) config.handler->onError(error);
  return action;
}

bool EventSource::Delegate::responseReceived(long status) {
  logger.log(LogMessages::initialReplyReceived);
  if (readyState == ReadyState::shutdown) return false;
  if (status >= 200 && status <= 299 && status != 204) {
    reconnectionTimer.markConnected();
    setReadyState(ReadyState::open);
    config.handler->onOpened();
    return true;
  }
  logger.log(LogMessages::unsuccessfulResponse, status);
  if (dispatchError(StreamError::unsuccessfulResponse(static_cast<int>(status))) ==
      ConnectionErrorAction::shutdown) {
    logger.log(LogMessages::shutDownByErrorHandler);
    setReadyState(ReadyState::shutdown);
  }
  return false;
}

bool EventSource::Delegate::dataReceived(std::string_view chunk) {
  const StreamOverflow overflow = detail::feedChunk(utf8LineParser, eventParser, chunk);
  publishLastEventId(eventParser.getLastEventId());  // an id may come without data
  if (overflow == StreamOverflow::none) return true;
  connection->failure = StreamError::limitExceeded(std::string(detail::describe(overflow)));
  return false;
}

void EventSource::Delegate::publishLastEventId(const std::string& id) {
  std::lock_guard lock(lastEventIdMutex);
  if (lastEventId != id) lastEventId = id;
}

std::size_t EventSource::Delegate::onHeader(char* data, std::size_t size, std::size_t count,
                                            void* user) {
  auto* attempt = static_cast<Connection*>(user);
  const std::string_view line(data, size * count);
  attempt->lastActivity = Clock::now();
  if (line.starts_with("HTTP/")) {
    attempt->location.reset();
  } else if (line.size() > 9 && equalsIgnoringCase(line.substr(0, 9), "Location:")) {
    const std::string_view value = line.substr(9);
    const auto begin = value.find_first_not_of(" \t");
    const auto end = value.find_last_not_of(" \t\r\n");
    attempt->location = begin == std::string_view::npos
                            ? std::string()
                            : std::string(value.substr(begin, end - begin + 1));
  } else if (line == "\r\n" || line == "\n") {
    long status = 0;
    curl_easy_getinfo(attempt->easy.get(), CURLINFO_RESPONSE_CODE, &status);
    // A redirect ends this request at once (its body is of no interest); the attempt goes on
    // where it points, if it may.
    if (status >= 300 && status < 400 && attempt->location && !attempt->responseHandled) {
      if (auto target = resolve(attempt->url, *attempt->location)) {
        attempt->redirectTo = std::move(target);
        attempt->redirectStatus = status;
        return 0;
      }
    }
    // Interim replies are not the stream's response.
    const bool final = status >= 200;
    if (final && !attempt->responseHandled) {
      attempt->responseHandled = true;
      if (!attempt->owner->responseReceived(status)) {
        attempt->cancelled = true;
        return 0;
      }
    }
  }
  return size * count;
}

std::size_t EventSource::Delegate::onData(char* data, std::size_t size, std::size_t count,
                                          void* user) {
  auto* attempt = static_cast<Connection*>(user);
  attempt->lastActivity = Clock::now();
  if (!attempt->responseHandled) return size * count;  // not the stream's response
  return attempt->owner->dataReceived({data, size * count}) ? size * count : 0;
}

void EventSource::Delegate::checkIdleTimeout() {
  if (!connection || Clock::now() - connection->lastActivity < seconds(config.idleTimeout)) return;
  loop->remove(connection->easy.get());
  connection.reset();
  taskCompleted(StreamError::transport(CURLE_OPERATION_TIMEDOUT, kTimedOut), false);
}

void EventSource::Delegate::finish(CURLcode code) {
  loop->remove(connection->easy.get());
  const std::unique_ptr<Connection> ended = std::move(connection);
  if (ended->cancelled) return taskCompleted(std::nullopt, true);
  if (ended->redirectTo) return followRedirect(*ended);
  if (ended->failure) return taskCompleted(ended->failure, false);
  if (code == CURLE_OK) return taskCompleted(std::nullopt, false);
  const std::string description =
      ended->errorBuffer[0] != '\0' ? ended->errorBuffer : curl_easy_strerror(code);
  taskCompleted(StreamError::transport(code, description), false);
}

void EventSource::Delegate::cancelConnection() {
  if (!connection) return;
  loop->remove(connection->easy.get());
  connection.reset();
  // A cancelled connection completes silently, but still leaves nothing half-parsed behind.
  utf8LineParser.closeAndReset();
  eventParser.reset();
}

void EventSource::Delegate::taskCompleted(const std::optional<StreamError>& error, bool cancelled) {
  utf8LineParser.closeAndReset();
  const double baseDelay = eventParser.reset();
  if (readyState == ReadyState::shutdown) return;

  if (error && !cancelled) {
    logger.log(LogMessages::connectionError, error->description);
    if (dispatchError(*error) == ConnectionErrorAction::shutdown) {
      logger.log(LogMessages::shutDownByErrorHandler);
      if (readyState == ReadyState::open) config.handler->onClosed();
      setReadyState(ReadyState::shutdown);
      return;
    }
  } else if (!error && !cancelled) {
    logger.log(LogMessages::unexpectedlyClosed);
  }
  if (readyState == ReadyState::open) config.handler->onClosed();
  setReadyState(ReadyState::closed);
  const double delay = reconnectionTimer.reconnectDelay(baseDelay);
  logger.log(LogMessages::waitingBeforeReconnecting, delay);
  loop->postAfter(seconds(delay), [weak = weak_from_this()] {
    if (auto self = weak.lock()) self->connect();
  });
}

EventSource::EventSource(Config config)
    : EventSource(std::move(config), std::make_shared<detail::CurlLoop>("ESDelegateQueue")) {}

EventSource::EventSource(Config config, std::shared_ptr<detail::CurlLoop> loop)
    : loop_(std::move(loop)),
      delegate_(std::make_shared<Delegate>(std::move(config), loop_.get())) {}

EventSource::~EventSource() {
  if (!used_) return;
  auto retire = [delegate = delegate_] { delegate->retire(); };
  // From inside a handler call the stream may be in the middle of a libcurl callback, where its
  // transfer cannot be removed: it stops after the call instead.
  if (loop_->onLoopThread()) {
    loop_->post(retire);
  } else {
    loop_->runAndWait(retire);
  }
}

void EventSource::start() {
  used_ = true;
  loop_->post([weak = std::weak_ptr(delegate_)] {
    if (auto delegate = weak.lock()) delegate->start();
  });
}

void EventSource::stop() {
  used_ = true;
  loop_->post([delegate = delegate_] { delegate->stop(); });
}

void detail::EventSourceOnLoop::replace(std::shared_ptr<EventSource>& stream,
                                        EventSource::Config config,
                                        const std::shared_ptr<CurlLoop>& loop) {
  std::shared_ptr<EventSource> next = make(std::move(config), loop);
  next->used_ = true;
  std::shared_ptr<EventSource> old = std::exchange(stream, next);
  loop->post([old = std::move(old), delegate = std::weak_ptr(next->delegate_)]() mutable {
    if (old) {
      old->delegate_->retire();
      // Retired here already: its destructor has nothing left to post.
      old->used_ = false;
      old.reset();
    }
    if (auto started = delegate.lock()) started->start();
  });
}

std::optional<std::string> EventSource::getLastEventId() const {
  std::lock_guard lock(delegate_->lastEventIdMutex);
  return delegate_->lastEventId;
}

ReadyState EventSource::readyState() const {
  return delegate_->publishedState.load();
}

}  // namespace zelk
