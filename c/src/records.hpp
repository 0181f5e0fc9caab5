// SPDX-License-Identifier: Apache-2.0
// Records as handles: plain values, immutable once handed out, readable from any thread.
#pragma once

#include <zelk/zelk.h>
#include <zelk/challenge.hpp>
#include <zelk/records.hpp>

#include <memory>
#include <vector>

namespace zelk::capi {

using DeviceList = std::vector<ZelkDevice>;

zelk_device_list* makeDeviceList(DeviceList devices);
zelk_challenge* makeChallenge(const ChallengeDetails& details);
zelk_device_limit* makeDeviceLimit(const DeviceLimitState& state);

}  // namespace zelk::capi
