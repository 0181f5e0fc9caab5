// SPDX-License-Identifier: Apache-2.0
// zelk: runs one service call of the client library and prints the decoded reply as JSON.
#include <zelk/zelk.hpp>

#include "challenge.hpp"
#include "http_get.hpp"

#include <nlohmann/json.hpp>

#include <signal.h>
#include <unistd.h>

#include <charconv>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <string_view>

namespace {

using nlohmann::json;

constexpr const char* kUsage = R"(usage: zelk <command> --client-id ID [options]

commands:
  attach     report this device for --user and print the service's reply
  detach     detach --device (required: a new process knows no current device)
  identify   ask the service to recognise this device; the identity is kept for later calls
  listen     open an event stream on --url and print each callback as one line, until
             interrupted or until the stream shuts down
  challenge  attach this device for --user, wait for a challenge and show its screens as text;
             act on them by typing an action's number or name, 'type <code>', 'back' or 'quit'.
             With --walk it goes through the challenge by itself: verification when the project
             asks for it, the code read from the sandbox, the other devices logged out, continue

options:
  --client-id ID     the project's client ID (required)
  --user U           the signed-in user (required for attach, detach and challenge)
  --metadata K=V     metadata to send; repeat for more entries
  --device ID        the device to detach (required for detach)
  --base-url URL     the service's base URL, e.g. http://127.0.0.1:8080
  --ca-file PEM      an extra certificate authority bundle to trust
  --timeout SECONDS  how long to wait for the reply, 1 to 86400 (default 90)
  --vendor-id ID     report this vendor identifier, to act as another device
  --model NAME       report this device model ("iPad..." counts as a tablet)
  --walk             challenge: go through the challenge without a person

listen options:
  --url URL           the stream's URL (required)
  --last-event-id ID  the id to resume from
  --header NAME:VALUE an extra request header; repeat for more
  --debug             also print the stream's debug log lines (state changes)

Exit status: 0 when a reply was decoded, 1 when none was, 2 on a usage error.
)";

struct Options {
  std::string command, clientID;
  std::optional<std::string> user, device;
  std::optional<zelk::Metadata> metadata;
  zelk::Platform platform;
  int timeoutSeconds = 90;
  std::string url, lastEventId;
  zelk::EventSource::Headers headers;
  bool debug = false;
  bool walk = false;
  std::optional<std::string> vendorID, model;
};

[[noreturn]] void usageError(const std::string& message) {
  std::cerr << "zelk: " << message << "\n\n" << kUsage;
  std::exit(2);
}

// A line break or other control character in a value would end up in a header or a URL.
void requirePrintable(std::string_view option, const std::string& value) {
  for (const char c : value) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) {
      usageError(std::string(option) + " must not contain control characters");
    }
  }
}

void requireURL(std::string_view option, const std::string& value) {
  requirePrintable(option, value);
  if (!zelk::cli::isHttpURL(value)) {
    usageError(std::string(option) + " must be an http or https URL, e.g. http://127.0.0.1:8080");
  }
}

int parseTimeout(const std::string& value) {
  int seconds = 0;
  const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), seconds);
  if (error != std::errc() || end != value.data() + value.size() || seconds < 1 ||
      seconds > 86400) {
    usageError("--timeout takes a whole number of seconds from 1 to 86400, not '" + value + "'");
  }
  return seconds;
}

Options parse(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::cout << kUsage;
      std::exit(0);
    }
    if (arg == "--version") {
      std::cout << "zelk " << ZELK_VERSION << "\n";
      std::exit(0);
    }
    if (arg == "--debug" || arg == "--walk") {
      (arg == "--debug" ? options.debug : options.walk) = true;
      continue;
    }
    if (!arg.starts_with("--")) {
      if (!options.command.empty()) usageError("unexpected argument '" + std::string(arg) + "'");
      options.command = arg;
      continue;
    }
    if (i + 1 >= argc) usageError(std::string(arg) + " needs a value");
    const std::string value = argv[++i];
    if (arg == "--client-id") {
      requirePrintable(arg, value);
      options.clientID = value;
    } else if (arg == "--user") {
      requirePrintable(arg, value);
      options.user = value;
    } else if (arg == "--device") {
      requirePrintable(arg, value);
      options.device = value;
    } else if (arg == "--base-url") {
      requireURL(arg, value);
      options.platform.baseURL = value;
    } else if (arg == "--ca-file") {
      options.platform.caFile = value;
    } else if (arg == "--metadata") {
      const auto equals = value.find('=');
      if (equals == std::string::npos) usageError("--metadata takes KEY=VALUE");
      if (!options.metadata) options.metadata.emplace();
      (*options.metadata)[value.substr(0, equals)] = value.substr(equals + 1);
    } else if (arg == "--vendor-id") {
      options.vendorID = value;
    } else if (arg == "--model") {
      options.model = value;
    } else if (arg == "--url") {
      requireURL(arg, value);
      options.url = value;
    } else if (arg == "--last-event-id") {
      requirePrintable(arg, value);
      options.lastEventId = value;
    } else if (arg == "--header") {
      requirePrintable(arg, value);
      const auto colon = value.find(':');
      if (colon == std::string::npos || colon == 0) usageError("--header takes NAME:VALUE");
      const auto start = value.find_first_not_of(' ', colon + 1);
      options.headers[value.substr(0, colon)] =
          start == std::string::npos ? "" : value.substr(start);
    } else if (arg == "--timeout") {
      options.timeoutSeconds = parseTimeout(value);
    } else {
      usageError("unknown option " + std::string(arg));
    }
  }
  if (options.command.empty()) usageError("no command given");
  if (options.command == "listen") {
    if (options.url.empty()) usageError("--url is required");
    return options;
  }
  if (options.command != "attach" && options.command != "detach" && options.command != "identify" &&
      options.command != "challenge") {
    usageError("unknown command '" + options.command + "'");
  }
  if (options.clientID.empty()) usageError("--client-id is required");
  if (options.command != "identify" && !options.user) usageError("--user is required");
  if (options.command == "detach" && !options.device) usageError("--device is required");
  if (options.vendorID || options.model) {
    options.platform.deviceFacts = [vendorID = options.vendorID, model = options.model] {
      zelk::DeviceFacts facts = zelk::currentDeviceFacts();
      if (vendorID) facts.identifierForVendor = vendorID;
      if (model) facts.model = *model;
      return facts;
    };
  }
  return options;
}

template <class T>
void put(json& object, const char* key, const std::optional<T>& value) {
  object[key] = value ? json(*value) : json(nullptr);
}

json toJson(const zelk::ZelkAttachResponse& reply) {
  json object = {{"success", reply.success}, {"attached_devices", reply.attachedDevices}};
  put(object, "access", reply.access);
  put(object, "device_id", reply.deviceID);
  put(object, "block_over_usage", reply.blockOverUsage);
  put(object, "default_device_limit", reply.defaultDeviceLimit);
  return object;
}

// Prints every callback of the stream as one line on standard output.
class PrintingHandler final : public zelk::EventHandler {
  void onOpened() override { print("opened"); }
  void onClosed() override { print("closed"); }
  void onMessage(std::string_view type, const zelk::MessageEvent& event) override {
    print("message type=" + json(std::string(type)).dump() +
          " id=" + json(event.lastEventId).dump() + " data=" + json(event.data).dump());
  }
  void onComment(std::string_view comment) override {
    print("comment " + json(std::string(comment)).dump());
  }
  void onError(const zelk::StreamError& error) override { print("error " + error.description); }

  static void print(const std::string& line) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
  }
};

int listen(const Options& options) {
  // Signals are taken by this thread alone, which sleeps until one comes: an interruption, or
  // SIGUSR1, which the stream's thread raises when the stream shuts down for good. Blocked here,
  // before the stream's thread starts, they stay blocked in every thread.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  zelk::Logs::setDebugEnabled(options.debug);
  zelk::EventSource::Config config(std::make_shared<PrintingHandler>(), options.url);
  config.lastEventId = options.lastEventId;
  config.headers = options.headers;
  config.caFile = options.platform.caFile;
  config.connectionErrorHandler = [](const zelk::StreamError& error) {
    const auto action = zelk::EventSource::defaultConnectionErrorHandler(error);
    if (action == zelk::ConnectionErrorAction::shutdown) ::kill(::getpid(), SIGUSR1);
    return action;
  };
  zelk::EventSource stream(config);
  stream.start();
  int signal = 0;
  while (sigwait(&signals, &signal) != 0) {
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options options = parse(argc, argv);
  if (options.command == "listen") return listen(options);
  if (options.command == "challenge") {
    return zelk::cli::runChallenge({options.clientID, *options.user, options.platform, options.walk,
                                    std::chrono::seconds(options.timeoutSeconds)});
  }
  auto loop = zelk::RunLoop::main();
  auto zelk = zelk::Zelk::create(options.clientID, false, options.platform);
  zelk->setUserID(options.user);

  std::optional<json> result;
  bool finished = false;  // the call has reported, with or without a reply
  bool reported = false;  // the reason for a missing reply has been printed
  if (options.command == "attach") {
    zelk->attach(options.metadata, [&](const zelk::ZelkAttachResponse& reply) {
      loop->post([&, reply] { result = toJson(reply), finished = true; });
    });
  } else if (options.command == "detach") {
    zelk->detach(options.device, [&](const std::optional<zelk::ZelkAttachResponse>& reply) {
      loop->post([&, reply] {
        if (reply) result = toJson(*reply);
        finished = true;
      });
    });
  } else {
    zelk->identify(options.metadata, [&](const auto& identity, const auto& error) {
      loop->post([&, identity, error] {
        if (identity)
          result = json{{"identity", identity->identity}, {"confidence", identity->confidence}};
        if (error) std::cerr << "zelk: " << error->message << "\n";
        reported = error.has_value();
        finished = true;
      });
    });
  }

  // Attach and detach stay silent when their request fails, so the command also ends once no
  // request is left in flight and nothing more is queued for the main thread.
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(options.timeoutSeconds);
  while (!finished && std::chrono::steady_clock::now() < deadline) {
    loop->runUntil([&] { return finished; }, std::chrono::milliseconds(20));
    if (zelk->flush(std::chrono::milliseconds(0))) {
      loop->runUntil([&] { return finished; }, std::chrono::milliseconds(50));
      break;
    }
  }
  if (!finished && !zelk->flush(std::chrono::milliseconds(0))) {
    std::cerr << "zelk: no reply within " << options.timeoutSeconds << " s\n";
  }
  if (!result) {
    if (!reported) std::cerr << "zelk: no reply could be decoded\n";
    return 1;
  }
  std::cout << result->dump(2) << std::endl;
  return 0;
}
