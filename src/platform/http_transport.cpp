// SPDX-License-Identifier: Apache-2.0
#include "platform/http_transport.hpp"

#include "platform/curl_support.hpp"

#include <curl/curl.h>

#include <atomic>
#include <climits>
#include <cstdio>
#include <deque>
#include <mutex>
#include <thread>

namespace zelk::detail {

namespace {

// One request while libcurl works on it.
struct Transfer {
  HttpRequest request;
  std::function<void(HttpResult)> completion;
  CurlEasy easy;
  CurlSlist headers;
  std::string body;
  char errorBuffer[CURL_ERROR_SIZE] = {};
};

std::size_t appendBody(char* data, std::size_t size, std::size_t count, void* user) {
  static_cast<Transfer*>(user)->body.append(data, size * count);
  return size * count;
}

}  // namespace

struct HttpTransport::Worker {
  Options options;
  CurlMulti multi;
  std::mutex mutex;
  std::deque<std::unique_ptr<Transfer>> queued;  // guarded by mutex
  std::atomic<bool> stopping{false};
  std::atomic<std::size_t> inFlight{0};
  std::thread thread;  // started on the first request

  void run();
  void start(std::unique_ptr<Transfer> transfer);
  void finish(CURL* easy, CURLcode code);
  std::vector<std::unique_ptr<Transfer>> running;  // worker thread only
};

HttpTransport::HttpTransport(Options options) : worker_(std::make_shared<Worker>()) {
  initCurlOnce();
  worker_->options = std::move(options);
  worker_->multi.reset(curl_multi_init());
}

HttpTransport::~HttpTransport() {
  worker_->stopping = true;
  std::thread thread;
  {
    std::lock_guard lock(worker_->mutex);
    thread = std::move(worker_->thread);
  }
  if (!thread.joinable()) return;
  curl_multi_wakeup(worker_->multi.get());
  // The last owner may be a completion running on the worker itself: it cannot join itself,
  // so the thread finishes on its own, keeping its state alive through its own reference.
  if (thread.get_id() == std::this_thread::get_id()) {
    thread.detach();
  } else {
    thread.join();
  }
}

void HttpTransport::send(HttpRequest request, std::function<void(HttpResult)> completion) {
  auto transfer = std::make_unique<Transfer>();
  transfer->request = std::move(request);
  transfer->completion = std::move(completion);
  worker_->inFlight.fetch_add(1);
  {
    std::lock_guard lock(worker_->mutex);
    worker_->queued.push_back(std::move(transfer));
    if (!worker_->thread.joinable()) {
      worker_->thread = std::thread([worker = worker_] { worker->run(); });
      return;
    }
  }
  curl_multi_wakeup(worker_->multi.get());
}

std::size_t HttpTransport::inFlight() const {
  return worker_->inFlight.load();
}

bool HttpTransport::isValidURL(const std::string& url) {
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
  return valid;
}

void HttpTransport::Worker::run() {
  while (!stopping) {
    std::deque<std::unique_ptr<Transfer>> batch;
    {
      std::lock_guard lock(mutex);
      batch.swap(queued);
    }
    for (auto& transfer : batch) start(std::move(transfer));

    int active = 0;
    curl_multi_perform(multi.get(), &active);
    int remaining = 0;
    while (CURLMsg* message = curl_multi_info_read(multi.get(), &remaining)) {
      if (message->msg == CURLMSG_DONE) finish(message->easy_handle, message->data.result);
      if (stopping) break;  // a completion dropped the last owner of the transport
    }
    if (stopping) break;
    // Sleeps in the kernel until a socket is ready, a libcurl timer is due or `send` wakes us.
    curl_multi_poll(multi.get(), nullptr, 0, INT_MAX, nullptr);
  }
  for (auto& transfer : running) curl_multi_remove_handle(multi.get(), transfer->easy.get());
  running.clear();
}

void HttpTransport::Worker::start(std::unique_ptr<Transfer> transfer) {
  transfer->easy.reset(curl_easy_init());
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
  curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, transfer->errorBuffer);
  curl_easy_setopt(easy, CURLOPT_PRIVATE, transfer.get());

  applySecurity(easy, options.caFile);

  // Like the platform's request timeout: give up when connecting, or waiting for the next byte,
  // takes longer than the timeout.
  const long timeout = static_cast<long>(request.timeout.count());
  curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT, timeout);
  curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, timeout);

  if (curl_multi_add_handle(multi.get(), easy) != CURLM_OK) {
    std::snprintf(transfer->errorBuffer, CURL_ERROR_SIZE, "could not start the request");
    running.push_back(std::move(transfer));
    finish(easy, CURLE_FAILED_INIT);
    return;
  }
  running.push_back(std::move(transfer));
}

void HttpTransport::Worker::finish(CURL* easy, CURLcode code) {
  curl_multi_remove_handle(multi.get(), easy);
  std::unique_ptr<Transfer> transfer;
  for (auto it = running.begin(); it != running.end(); ++it) {
    if ((*it)->easy.get() == easy) {
      transfer = std::move(*it);
      running.erase(it);
      break;
    }
  }
  if (!transfer) return;

  HttpResult result;
  curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &result.status);
  if (code == CURLE_OK) {
    result.data = std::move(transfer->body);
  } else {
    result.error =
        transfer->errorBuffer[0] != '\0' ? transfer->errorBuffer : curl_easy_strerror(code);
  }
  auto completion = std::move(transfer->completion);
  transfer.reset();
  if (completion) completion(std::move(result));
  inFlight.fetch_sub(1);
}

}  // namespace zelk::detail
