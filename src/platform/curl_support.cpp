// SPDX-License-Identifier: Apache-2.0
#include "platform/curl_support.hpp"

#include <mutex>

namespace zelk::detail {

namespace {

// Where the system's own certificate authorities live, so that an extra bundle adds to them
// instead of replacing them.
const char* systemCAPath() {
  const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
  return info->capath != nullptr ? info->capath : "/etc/ssl/certs";
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

}  // namespace zelk::detail
