// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <curl/curl.h>

#include <memory>
#include <string>

namespace zelk::detail {

/// Initialises libcurl once per process, whichever thread gets here first.
void initCurlOnce();

struct CurlEasyDeleter {
  void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
struct CurlMultiDeleter {
  void operator()(CURLM* multi) const { curl_multi_cleanup(multi); }
};
struct CurlSlistDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using CurlEasy = std::unique_ptr<CURL, CurlEasyDeleter>;
using CurlMulti = std::unique_ptr<CURLM, CurlMultiDeleter>;
using CurlSlist = std::unique_ptr<curl_slist, CurlSlistDeleter>;

/// The library's transport security on one handle: http and https only, certificates and host
/// names verified, nothing below TLS 1.2, and `caFile` (when not empty) trusted besides the
/// system's certificate authorities.
void applySecurity(CURL* easy, const std::string& caFile);

/// "scheme://host:port" of `url` (the default port filled in), or the URL itself when it does
/// not parse, so that an unparsable URL shares its origin with no other.
std::string originOf(const std::string& url);

}  // namespace zelk::detail
