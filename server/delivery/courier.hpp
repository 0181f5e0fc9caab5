// SPDX-License-Identifier: Apache-2.0
// The delivery worker: one thread that takes the due messages of the outbox and sends them, codes
// by e-mail (SMTP) or text message (an HTTPS provider's API), events to the project's webhook,
// signed. A message is done on success; otherwise it is tried again after 1, 2, 4 … times
// `retryBase` (at most `retryMax`) until `maxAttempts`, and then it has failed. At least once:
// a message sent whose outcome could not be stored is sent again.
//
// One thread of its own rather than the HTTP server's event loop: a delivery blocks on a relay
// or a receiver for up to `timeout`, which must never hold up a request; messages are sent one
// after another, which a handful a second at most (codes and device events) never outgrows.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "service/service.hpp"

namespace zelk::server {

struct MailSettings {
  std::string url;  // "smtp://host:port" or "smtps://host:port"; "" : no e-mail is sent
  std::string user, password;
  std::string from;  // the sender's address
  // STARTTLS: "try" uses it when the relay offers it, "require" fails without it, "none" never.
  std::string tls = "try";
  // Templates; "{{project}}", "{{code}}", "{{color}}" and "{{minutes}}" are filled in (escaped
  // for HTML in the HTML one). "" : the built-in ones.
  std::string subject, text, html;
};

struct TextSettings {
  std::string url;  // "" : no text message is sent
  std::map<std::string, std::string> headers;
  // The JSON body; "{{to}}", "{{code}}", "{{project}}" and "{{minutes}}" are filled in, escaped
  // for a JSON string. "" : {"to": "{{to}}", "message": "…{{code}}…"}.
  std::string body;
};

struct DeliveryConfig {
  MailSettings mail;
  TextSettings text;
  std::chrono::milliseconds retryBase{1000};
  std::chrono::milliseconds retryMax{std::chrono::minutes(5)};
  int maxAttempts = 8;
  std::chrono::milliseconds timeout{10'000};  // one attempt
  std::chrono::milliseconds poll{1000};       // how often the outbox is looked at unprompted
  std::string caFile;  // certificates to trust besides the system's, for https receivers
  std::chrono::hours keepDone{24}, keepFailed{24 * 30};
};

// The signature of a webhook body sent at `timestamp` (seconds since the epoch): HMAC-SHA256
// under `secret` of "<timestamp>.<body>", in lower-case hex.
std::string webhookSignature(const std::string& secret, const std::string& timestamp,
                             const std::string& body);

// The e-mail a code goes out in, as the relay receives it (headers and a plain-text and an HTML
// part), and the JSON body of a text message; exposed for tests.
std::string composeMail(const MailSettings& mail, const std::string& to,
                        const ProjectSettings& project, const std::string& code, int minutes);
std::string composeText(const TextSettings& text, const std::string& to,
                        const ProjectSettings& project, const std::string& code, int minutes);
// The e-mail that tells the owner of a device new to their account: `device` as the notice's
// payload describes it ("type", "model", "os", "location", "at"), and the code that signs the
// device out from the app's device list.
std::string composeNoticeMail(const MailSettings& mail, const std::string& to,
                              const ProjectSettings& project, const nlohmann::json& device,
                              const std::string& code);

class Courier {
 public:
  // `outcome(kind, result)` counts every attempt: result "sent", "retry" or "failed". Runs on
  // the worker's thread.
  using Outcome = std::function<void(const std::string& kind, const std::string& result)>;
  Courier(Service& service, DeliveryConfig config, Outcome outcome);
  ~Courier();
  Courier(const Courier&) = delete;
  Courier& operator=(const Courier&) = delete;

  void start();
  // Ends the attempt under way, if any (it is tried again after a restart), and the thread.
  void stop();
  // Looks at the outbox now: something was added.
  void wake();

 private:
  void run();
  // Sends one message and writes back what came of it.
  void attempt(OutboxMessage message);
  // "" when sent; else why not, and in *permanent whether trying again is pointless.
  std::string sendWebhook(const OutboxMessage& message, bool* permanent);
  std::string sendCode(const OutboxMessage& message, bool* permanent);
  std::string sendNotice(const OutboxMessage& message, bool* permanent);
  // The code a code message carries; nullopt when there is none this server can read.
  std::optional<std::string> codeOf(const OutboxMessage& message) const;

  Service& service_;
  const DeliveryConfig config_;
  const Outcome outcome_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool woken_ = false;
  bool stopping_ = false;
  std::atomic<bool> aborting_{false};  // read by the transfer under way
  std::thread thread_;
};

}  // namespace zelk::server
