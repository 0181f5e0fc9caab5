#pragma once

#include <zelk/challenge.hpp>
#include <zelk/challenge_view_model.hpp>
#include <zelk/client.hpp>
#include <zelk/container.hpp>
#include <zelk/date.hpp>
#include <zelk/device_facts.hpp>
#include <zelk/event_handler.hpp>
#include <zelk/event_source.hpp>
#include <zelk/logs.hpp>
#include <zelk/main_queue.hpp>
#include <zelk/notification_center.hpp>
#include <zelk/platform.hpp>
#include <zelk/preferences.hpp>
#include <zelk/records.hpp>
#include <zelk/run_loop.hpp>
#include <zelk/version.hpp>
