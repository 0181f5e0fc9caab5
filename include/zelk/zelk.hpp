// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <zelk/challenge.hpp>
#include <zelk/challenge_screens.hpp>
#include <zelk/challenge_view_model.hpp>
#include <zelk/client.hpp>
#include <zelk/color.hpp>
#include <zelk/container.hpp>
#include <zelk/date.hpp>
#include <zelk/device_facts.hpp>
#include <zelk/event_handler.hpp>
#include <zelk/event_source.hpp>
#include <zelk/localization.hpp>
#include <zelk/logs.hpp>
#include <zelk/main_queue.hpp>
#include <zelk/notification_center.hpp>
#include <zelk/observers.hpp>
#include <zelk/otp_input.hpp>
#include <zelk/platform.hpp>
#include <zelk/preferences.hpp>
#include <zelk/records.hpp>
#include <zelk/run_loop.hpp>
#include <zelk/screen.hpp>
#include <zelk/version.hpp>
#include <zelk/your_devices.hpp>

/// \file
/// Includes every public header of the library; a host may include only the ones it uses.

/// The zelk client library: the `Zelk` client, its records and platform services, the realtime
/// event stream, and the challenge state and screens. Threads are stated on every class.
namespace zelk {}
