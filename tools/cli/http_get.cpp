// SPDX-License-Identifier: Apache-2.0
#include "http_get.hpp"

#include <curl/curl.h>

#include <cstring>

namespace zelk::cli {

bool isHttpURL(const std::string& url) {
  CURLU* handle = curl_url();
  char* scheme = nullptr;
  const bool parsed = handle != nullptr &&
                      curl_url_set(handle, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK &&
                      curl_url_get(handle, CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK;
  const bool http =
      parsed && (std::strcmp(scheme, "http") == 0 || std::strcmp(scheme, "https") == 0);
  curl_free(scheme);
  curl_url_cleanup(handle);
  return http;
}

std::optional<std::string> httpGet(const std::string& url, const std::string& caFile,
                                   std::chrono::seconds timeout) {
  CURL* easy = curl_easy_init();
  if (easy == nullptr) return std::nullopt;
  std::string body;
  curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, static_cast<long>(timeout.count() * 1000));
  if (!caFile.empty()) curl_easy_setopt(easy, CURLOPT_CAINFO, caFile.c_str());
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, &body);
  curl_easy_setopt(
      easy, CURLOPT_WRITEFUNCTION, +[](char* data, std::size_t size, std::size_t count, void* out) {
        static_cast<std::string*>(out)->append(data, size * count);
        return size * count;
      });
  long status = 0;
  const bool ok = curl_easy_perform(easy) == CURLE_OK &&
                  curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status) == CURLE_OK &&
                  status == 200;
  curl_easy_cleanup(easy);
  if (!ok) return std::nullopt;
  return body;
}

}  // namespace zelk::cli
