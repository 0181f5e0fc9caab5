// SPDX-License-Identifier: Apache-2.0
// zelk-sandbox: runs the in-memory service until SIGINT or SIGTERM.
#include <csignal>
#include <cstdio>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>

#include <pthread.h>

#include "sandbox.hpp"

namespace {

constexpr const char* kUsage =
    "usage: zelk-sandbox [--host H] [--port N] [--tls-cert PEM --tls-key PEM]\n"
    "                    [--tls-max-version 1.0|1.1|1.2|1.3]\n"
    "\n"
    "Serves the in-memory account-protection service until SIGINT or SIGTERM.\n"
    "The first line of standard output is 'zelk-sandbox listening on <base URL>'.\n"
    "\n"
    "  --host H             address to listen on (default 127.0.0.1)\n"
    "  --port N             port to listen on; 0 picks a free one (default 0)\n"
    "  --tls-cert PEM       certificate (chain) file; with --tls-key, serve HTTPS\n"
    "  --tls-key PEM        private key file\n"
    "  --tls-max-version V  highest TLS version offered\n"
    "  --help               show this help\n"
    "\n"
    "Listen streams: GET /v2/access/device/<id>/listen?access=<access>&auth=Basic%20<client>%3A\n"
    "stays open as a text/event-stream response that receives what is pushed to the device.\n"
    "\n"
    "Challenge calls: GET /v2/challenge/<id>, /v2/challenge/<id>/devices and\n"
    "/v2/challenge/<id>/device-limit; POST /v2/challenge/attempt, verify and resend. Codes are\n"
    "six digits; only the last one sent for a challenge verifies.\n"
    "\n"
    "Challenges: an attach that leaves the user with more devices than the project's overall\n"
    "limit, or than the limit of the attached device's type (0: no limit), raises a challenge\n"
    "and sends data {\"action\":\"challenge\",\"challenge\":{\"_id\":\"<id>\"}} to the open\n"
    "streams of the user's devices (to the next stream of a device with none open). Detach\n"
    "sends data \"logout\" (with the quotes) to the removed device's open streams.\n"
    "\n"
    "Admin endpoints (JSON bodies):\n"
    "  GET/DELETE /_sandbox/requests   the recorded /v2/ requests; DELETE forgets them\n"
    "  GET /_sandbox/state             projects, users, devices with their types, challenges,\n"
    "      identities, pending scripts and messages kept for streams not yet open\n"
    "  POST /_sandbox/project          project settings; members left out keep their values:\n"
    "      {\"client_id\":\"<id>\",\"name\":\"...\",\"overall_limit\":3,\"mobile_limit\":3,\n"
    "       "
    "\"tablet_limit\":3,\"computer_limit\":3,\"logo\":\"<url>\",\"primary_color\":\"#4F46E5\",\n"
    "       \"require_verification\":false,\"block_over_usage\":false}\n"
    "  POST /_sandbox/user             "
    "{\"client_id\":\"<id>\",\"user\":\"<user>\",\"email\":\"...\",\n"
    "      \"phone\":\"...\"}: the user's contact details, shown by challenges\n"
    "  POST /_sandbox/challenge        {\"client_id\":\"<id>\",\"user\":\"<user>\"}: raise a "
    "challenge\n"
    "      by hand and notify the user's devices; answers "
    "{\"success\":true,\"challenge\":\"<id>\"}\n"
    "  GET /_sandbox/challenge/<id>    a challenge's state, with the last code sent (\"code\")\n"
    "  POST /_sandbox/logout           {\"device\":\"<id>\"}: send the logout message to the\n"
    "      device's open streams; answers {\"success\":true,\"delivered\":<streams>}\n"
    "  POST /_sandbox/script           answer the next request of an operation instead:\n"
    "      {\"operation\":\"attach\",\"status\":500,\"body\":\"...\"}; operations: attach, "
    "detach,\n"
    "      identify, listen, challenge, challenge-devices, device-limit, attempt, verify, resend\n"
    "      listen only: \"device\":\"<id>\" (default: any device), and instead of status and\n"
    "      body either \"stall\":true (stream headers, then silence) or \"drip\":\"<bytes>\",\n"
    "      \"chunk\":1, \"interval\":<ms> (written in chunks, then an ordinary stream)\n"
    "  POST /_sandbox/push             queue an event on a device's open streams:\n"
    "      "
    "{\"device\":\"<id>\",\"event\":\"<type>\",\"id\":\"...\",\"data\":\"...\",\"retry\":<ms>,\n"
    "       \"comment\":\"...\"} (all but device optional) or "
    "{\"device\":\"<id>\",\"raw\":\"<bytes>\"};\n"
    "      answers {\"success\":true,\"delivered\":<streams>}\n"
    "  POST /_sandbox/end-stream       {\"device\":\"<id>\",\"abort\":false}: end the device's\n"
    "      streams (all streams without device); abort drops the connections instead\n"
    "  GET /_sandbox/streams           open streams by device; ?device=<id>&count=N&timeout=<ms>\n"
    "      first waits for at least N open streams of the device\n";

int usageError(const std::string& message) {
  std::cerr << "zelk-sandbox: " << message << "\n"
            << "Try 'zelk-sandbox --help'.\n";
  return 2;
}

std::optional<int> parsePort(const std::string& text) {
  if (text.empty() || text.size() > 5) return std::nullopt;
  int port = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    port = port * 10 + (c - '0');
  }
  if (port > 65535) return std::nullopt;
  return port;
}

}  // namespace

int main(int argc, char** argv) {
  zelk::sandbox::Options options;
  for (int i = 1; i < argc; ++i) {
    std::string flag = argv[i];
    std::optional<std::string> value;
    if (const auto eq = flag.find('='); flag.starts_with("--") && eq != std::string::npos) {
      value = flag.substr(eq + 1);
      flag.resize(eq);
    }
    if (flag == "--help" || flag == "-h") {
      if (value) return usageError("--help takes no value");
      std::cout << kUsage;
      return 0;
    }
    if (flag != "--host" && flag != "--port" && flag != "--tls-cert" && flag != "--tls-key" &&
        flag != "--tls-max-version")
      return usageError("unknown option '" + flag + "'");
    if (!value) {
      if (i + 1 >= argc) return usageError(flag + " needs a value");
      value = argv[++i];
    }
    if (flag == "--host") {
      options.host = *value;
    } else if (flag == "--port") {
      const auto port = parsePort(*value);
      if (!port) return usageError("invalid port '" + *value + "'");
      options.port = *port;
    } else if (flag == "--tls-cert") {
      options.tlsCertFile = *value;
    } else if (flag == "--tls-key") {
      options.tlsKeyFile = *value;
    } else {
      options.tlsMaxVersion = *value;
    }
  }

  // Blocked here, the signals are inherited blocked by the server threads and collected below.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  zelk::sandbox::Sandbox sandbox(options);
  std::string error;
  if (!sandbox.start(&error)) {
    std::cerr << "zelk-sandbox: " << error << "\n";
    return 2;
  }
  std::cout << "zelk-sandbox listening on " << sandbox.baseURL() << std::endl;

  int received = 0;
  sigwait(&signals, &received);
  sandbox.stop();
  return 0;
}
