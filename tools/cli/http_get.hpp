// SPDX-License-Identifier: Apache-2.0
// The command's own small HTTP needs, outside the library's calls to the service.
#pragma once

#include <chrono>
#include <optional>
#include <string>

namespace zelk::cli {

// Whether `url` is an absolute http or https URL.
bool isHttpURL(const std::string& url);

// The body of a GET to `url` that answered 200, or nothing. Blocks for at most `timeout`;
// `caFile`, when not empty, is trusted besides the system's certificate authorities.
std::optional<std::string> httpGet(const std::string& url, const std::string& caFile,
                                   std::chrono::seconds timeout);

}  // namespace zelk::cli
