// SPDX-License-Identifier: Apache-2.0
#include "platform/curl_support.hpp"

#include <mutex>
#include <string_view>

namespace zelk::detail {

namespace {

// Where the system's own certificate authorities live, so that an extra bundle adds to them
// instead of replacing them.
const char* systemCAPath() {
  const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
  return info->capath != nullptr ? info->capath : "/etc/ssl/certs";
}

// "scheme://host:port" of `url` as libcurl parses it, or the URL itself when it does not parse.
std::string parsedOrigin(const std::string& url) {
  CURLU* handle = curl_url();
  if (handle == nullptr) return url;
  std::string origin = url;
  if (curl_url_set(handle, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK) {
    char* scheme = nullptr;
    char* host = nullptr;
    char* port = nullptr;
    if (curl_url_get(handle, CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK &&
        curl_url_get(handle, CURLUPART_HOST, &host, 0) == CURLUE_OK &&
        curl_url_get(handle, CURLUPART_PORT, &port, CURLU_DEFAULT_PORT) == CURLUE_OK) {
      origin = std::string(scheme) + "://" + host + ":" + port;
    }
    curl_free(scheme);
    curl_free(host);
    curl_free(port);
  }
  curl_url_cleanup(handle);
  return origin;
}

}  // namespace

void initCurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

void applySecurity(CURL* easy, const std::string& caFile) {
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
  if (!caFile.empty()) {
    curl_easy_setopt(easy, CURLOPT_CAINFO, caFile.c_str());
    curl_easy_setopt(easy, CURLOPT_CAPATH, systemCAPath());
  }
}

std::string originOf(const std::string& url) {
  // The origin depends on the scheme and the authority alone, which end at the first '/', '?' or
  // '#' after "://". A thread mostly asks about the same few, so its last answer is kept.
  struct Last {
    std::string prefix, origin;
  };
  thread_local Last last;
  std::string_view prefix;
  if (const auto scheme = url.find("://"); scheme != std::string::npos) {
    prefix = std::string_view(url).substr(0, url.find_first_of("/?#", scheme + 3));
    if (!last.prefix.empty() && prefix == last.prefix) return last.origin;
  }
  std::string origin = parsedOrigin(url);
  if (!prefix.empty() && origin != url) last = Last{std::string(prefix), origin};
  return origin;
}

}  // namespace zelk::detail
