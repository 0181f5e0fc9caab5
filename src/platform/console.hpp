// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string_view>

namespace zelk::detail {

/// Tells the developer about `message` through the log sink (`Logs`): by default "[Zelk SDK]: "
/// followed by `message` as one line on standard output. Lines written from several threads
/// never interleave.
void printSDKMessage(std::string_view message);

}  // namespace zelk::detail
