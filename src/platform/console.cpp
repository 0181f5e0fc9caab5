// SPDX-License-Identifier: Apache-2.0
#include "platform/console.hpp"

#include <cstdio>
#include <mutex>
#include <string>

namespace zelk::detail {

void printSDKMessage(std::string_view message) {
  static std::mutex mutex;
  std::string line;
  line.reserve(message.size() + 14);
  line.append("[Zelk SDK]: ").append(message).push_back('\n');
  std::lock_guard lock(mutex);
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
}

}  // namespace zelk::detail
