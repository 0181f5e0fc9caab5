// SPDX-License-Identifier: Apache-2.0
// The client that QML containers serve.
#pragma once

#include <zelk/client.hpp>

#include <memory>

namespace zelk::qt {

/// The client given to `setClient`; null before. GUI thread.
std::shared_ptr<Zelk> currentClient();

}  // namespace zelk::qt
