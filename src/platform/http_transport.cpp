// SPDX-License-Identifier: Apache-2.0
#include "platform/http_transport.hpp"

#include "platform/curl_loop.hpp"
#include "platform/curl_support.hpp"

#include <curl/curl.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <map>
#include <mutex>
#include <vector>

namespace zelk::detail {

namespace {

using Clock = std::chrono::steady_clock;

// What the platform reports for a request that stopped making progress.
constexpr const char* kTimedOut = "The request timed out.";

// One request while libcurl works on it.
struct Transfer {
  HttpRequest request;
  std::function<void(HttpResult)> completion;
  std::string origin;  // scheme, host and port: what the per-host connection cap counts
  CurlEasy easy;
  CurlSlist headers;
  std::string body;
  bool tooLarge = false;           // the reply outgrew request.maxReplyBytes
  Clock::time_point lastProgress;  // when a byte last moved (or the request started)
  curl_off_t bytesMoved = 0;       // bytes sent and received so far, as libcurl counts them
  char errorBuffer[CURL_ERROR_SIZE] = {};
};

std::size_t appendBody(char* data, std::size_t size, std::size_t count, void* user) {
  auto* transfer = static_cast<Transfer*>(user);
  const std::size_t bytes = size * count;
  transfer->lastProgress = Clock::now();
  if (bytes > transfer->request.maxReplyBytes - transfer->body.size()) {
    transfer->tooLarge = true;
    return 0;  // aborts the transfer before the memory is taken
  }
  transfer->body.append(data, bytes);
  return bytes;
}

int onProgress(void* user, curl_off_t, curl_off_t downloaded, curl_off_t, curl_off_t uploaded) {
  auto* transfer = static_cast<Transfer*>(user);
  if (downloaded + uploaded != transfer->bytesMoved) {
    transfer->bytesMoved = downloaded + uploaded;
    transfer->lastProgress = Clock::now();
  }
  return 0;
}

std::string tooLargeMessage(std::size_t limit) {
  return "The reply is larger than " + std::to_string(limit) + " bytes; the request was abandoned.";
}

}  // namespace

struct HttpTransport::Worker : std::enable_shared_from_this<Worker> {
  Options options;
  CurlLoop* loop = nullptr;  // outlives every task of the worker: the transport holds it
  std::mutex mutex;
  std::deque<std::unique_ptr<Transfer>> queued;  // guarded by mutex
  std::atomic<bool> used{false};                 // a request was ever sent
  std::atomic<bool> dropped{false};              // the transport is gone: completions do not run
  std::atomic<std::size_t> inFlight{0};
  mutable std::mutex idleMutex;
  std::condition_variable idle;  // notified when `inFlight` drops to zero

  void admitQueued();
  void admit(std::unique_ptr<Transfer> transfer);
  void startWaiting(const std::string& origin);
  void start(std::unique_ptr<Transfer> transfer);
  void finish(CURL* easy, CURLcode code);
  Clock::time_point endIdleTransfers();
  void settled(std::size_t count);
  void abandon();

  // The loop's thread only.
  bool watching = false;
  bool abandoned = false;
  std::vector<std::unique_ptr<Transfer>> running;
  std::map<std::string, std::deque<std::unique_ptr<Transfer>>> waiting;  // by origin, in order
  std::map<std::string, long> runningPerOrigin;
  // Handles of finished requests, reset and kept for the next ones: making a handle costs more
  // than resetting one. At most one per connection a host may have.
  std::vector<CurlEasy> spareHandles;
};

HttpTransport::HttpTransport(Options options)
    : HttpTransport(std::make_shared<CurlLoop>("zelk-http"), std::move(options)) {}

HttpTransport::HttpTransport(std::shared_ptr<CurlLoop> loop, Options options)
    : loop_(std::move(loop)), worker_(std::make_shared<Worker>()) {
  initCurlOnce();
  worker_->options = std::move(options);
  worker_->loop = loop_.get();
}

HttpTransport::~HttpTransport() {
  if (!worker_->used) return;
  worker_->dropped = true;
  // On the loop's own thread this may run inside a libcurl callback, where no transfer may be
  // removed: the rest is left to the next task, and `dropped` keeps completions from running.
  if (loop_->onLoopThread()) {
    loop_->post([worker = worker_] { worker->abandon(); });
  } else {
    loop_->runAndWait([worker = worker_] { worker->abandon(); });
  }
}

void HttpTransport::send(HttpRequest request, std::function<void(HttpResult)> completion) {
  auto transfer = std::make_unique<Transfer>();
  transfer->request = std::move(request);
  transfer->completion = std::move(completion);
  worker_->used = true;
  worker_->inFlight.fetch_add(1);
  {
    std::lock_guard lock(worker_->mutex);
    worker_->queued.push_back(std::move(transfer));
  }
  loop_->post([worker = worker_] { worker->admitQueued(); });
}

std::size_t HttpTransport::inFlight() const {
  return worker_->inFlight.load();
}

bool HttpTransport::waitUntilIdle(std::chrono::milliseconds timeout) const {
  if (loop_->onLoopThread()) return worker_->inFlight.load() == 0;
  std::unique_lock lock(worker_->idleMutex);
  return worker_->idle.wait_for(lock, timeout, [this] { return worker_->inFlight.load() == 0; });
}

bool HttpTransport::isValidURL(const std::string& url) {
  // A client asks again and again about the same few URLs (every attach posts to the same one,
  // between the stream URLs that change each time): the last few found valid on this thread are
  // not parsed again. The most recent one comes first.
  thread_local std::array<std::string, 4> recentlyValid;
  if (!url.empty()) {
    const auto found = std::find(recentlyValid.begin(), recentlyValid.end(), url);
    if (found != recentlyValid.end()) {
      std::rotate(recentlyValid.begin(), found, found + 1);
      return true;
    }
  }
  initCurlOnce();
  CURLU* handle = curl_url();
  if (handle == nullptr) return false;
  bool valid = curl_url_set(handle, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK;
  if (valid) {
    char* scheme = nullptr;
    valid = curl_url_get(handle, CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK &&
            (std::string_view(scheme) == "http" || std::string_view(scheme) == "https");
    curl_free(scheme);
  }
  curl_url_cleanup(handle);
  if (valid) {
    std::rotate(recentlyValid.begin(), recentlyValid.end() - 1, recentlyValid.end());
    recentlyValid.front() = url;
  }
  return valid;
}

void HttpTransport::Worker::admitQueued() {
  if (abandoned) return;
  if (!watching) {
    watching = true;
    loop->watch(this, [this] { return endIdleTransfers(); });
  }
  std::deque<std::unique_ptr<Transfer>> batch;
  {
    std::lock_guard lock(mutex);
    batch.swap(queued);
  }
  for (auto& transfer : batch) {
    if (abandoned) return;
    admit(std::move(transfer));
  }
}

void HttpTransport::Worker::abandon() {
  abandoned = true;
  loop->unwatch(this);
  for (auto& transfer : running) loop->remove(transfer->easy.get());
  running.clear();
  waiting.clear();
  runningPerOrigin.clear();
  {
    std::lock_guard lock(mutex);
    queued.clear();
  }
  settled(inFlight.load());
}

void HttpTransport::Worker::settled(std::size_t count) {
  std::lock_guard lock(idleMutex);
  if (inFlight.fetch_sub(count) == count) idle.notify_all();
}

void HttpTransport::Worker::admit(std::unique_ptr<Transfer> transfer) {
  transfer->origin = originOf(transfer->request.url);
  long& count = runningPerOrigin[transfer->origin];
  if (count >= kMaxConnectionsPerHost) {
    waiting[transfer->origin].push_back(std::move(transfer));
    return;
  }
  ++count;
  start(std::move(transfer));
}

void HttpTransport::Worker::startWaiting(const std::string& origin) {
  auto it = waiting.find(origin);
  if (it == waiting.end()) return;
  std::unique_ptr<Transfer> next = std::move(it->second.front());
  it->second.pop_front();
  if (it->second.empty()) waiting.erase(it);
  ++runningPerOrigin[origin];
  start(std::move(next));
}

Clock::time_point HttpTransport::Worker::endIdleTransfers() {
  const auto now = Clock::now();
  std::vector<CURL*> idle;
  auto due = Clock::time_point::max();
  for (const auto& transfer : running) {
    const auto idleAt = transfer->lastProgress + transfer->request.idleTimeout;
    if (now >= idleAt) {
      std::snprintf(transfer->errorBuffer, CURL_ERROR_SIZE, "%s", kTimedOut);
      idle.push_back(transfer->easy.get());
    } else {
      due = std::min(due, idleAt);
    }
  }
  for (CURL* easy : idle) {
    if (abandoned) break;
    finish(easy, CURLE_OPERATION_TIMEDOUT);
  }
  // A transfer started by a completion above is checked on the next pass.
  return idle.empty() ? due : now;
}

void HttpTransport::Worker::start(std::unique_ptr<Transfer> transfer) {
  if (spareHandles.empty()) {
    transfer->easy.reset(curl_easy_init());
  } else {
    transfer->easy = std::move(spareHandles.back());
    spareHandles.pop_back();
  }
  CURL* easy = transfer->easy.get();
  const HttpRequest& request = transfer->request;

  curl_slist* headers = nullptr;
  for (const auto& header : request.headers) headers = curl_slist_append(headers, header.c_str());
  headers = curl_slist_append(headers, "Expect:");  // send bodies at once, without a round trip
  transfer->headers.reset(headers);

  curl_easy_setopt(easy, CURLOPT_URL, request.url.c_str());
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
  if (request.method == "GET") {
    curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
  } else if (request.method == "POST") {
    curl_easy_setopt(easy, CURLOPT_POST, 1L);
  } else {
    curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, request.method.c_str());
  }
  if (request.body) {
    curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE,
                     static_cast<curl_off_t>(request.body->size()));
    curl_easy_setopt(easy, CURLOPT_POSTFIELDS, request.body->data());
  } else if (request.method == "POST") {
    curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t{0});
    curl_easy_setopt(easy, CURLOPT_POSTFIELDS, "");
  }
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, appendBody);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, transfer.get());
  // A reply that announces a length over the limit is refused before its body is read.
  curl_easy_setopt(easy, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(request.maxReplyBytes));
  curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, onProgress);
  curl_easy_setopt(easy, CURLOPT_XFERINFODATA, transfer.get());
  curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, transfer->errorBuffer);
  curl_easy_setopt(easy, CURLOPT_PRIVATE, transfer.get());

  applySecurity(easy, options.caFile);

  // Like the platform's request timeout, the idle timeout ends a request that makes no progress
  // (checked by the worker loop); the deadline bounds the whole request however it trickles.
  curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(request.idleTimeout.count()));
  curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, static_cast<long>(request.deadline.count()));
  transfer->lastProgress = Clock::now();

  running.push_back(std::move(transfer));
  if (!loop->add(easy, [worker = shared_from_this(), easy](CURLcode code) {
        worker->finish(easy, code);
      })) {
    std::snprintf(running.back()->errorBuffer, CURL_ERROR_SIZE, "could not start the request");
    finish(easy, CURLE_FAILED_INIT);
  }
}

void HttpTransport::Worker::finish(CURL* easy, CURLcode code) {
  loop->remove(easy);
  std::unique_ptr<Transfer> transfer;
  for (auto it = running.begin(); it != running.end(); ++it) {
    if ((*it)->easy.get() == easy) {
      transfer = std::move(*it);
      running.erase(it);
      break;
    }
  }
  if (!transfer) return;
  if (--runningPerOrigin[transfer->origin] <= 0) runningPerOrigin.erase(transfer->origin);
  startWaiting(transfer->origin);

  HttpResult result;
  curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &result.status);
  if (code == CURLE_OK) {
    result.data = std::move(transfer->body);
  } else if (transfer->tooLarge || code == CURLE_FILESIZE_EXCEEDED) {
    result.error = tooLargeMessage(transfer->request.maxReplyBytes);
  } else {
    result.error =
        transfer->errorBuffer[0] != '\0' ? transfer->errorBuffer : curl_easy_strerror(code);
  }
  auto completion = std::move(transfer->completion);
  if (transfer->easy && spareHandles.size() < static_cast<std::size_t>(kMaxConnectionsPerHost)) {
    curl_easy_reset(transfer->easy.get());
    spareHandles.push_back(std::move(transfer->easy));
  }
  transfer.reset();
  if (completion && !dropped) completion(std::move(result));
  if (!abandoned) settled(1);  // abandoning settled the whole count already
}

}  // namespace zelk::detail
