// SPDX-License-Identifier: Apache-2.0
#include "delivery/courier.hpp"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <ctime>
#include <iostream>
#include <mutex>
#include <stdexcept>

#include <curl/curl.h>
#include <openssl/evp.h>

#include <zelk/version.hpp>

#include "service/ids.hpp"
#include "service/owner_devices.hpp"

namespace zelk::server {
namespace {

using nlohmann::json;

constexpr const char* kDefaultSubject = "Your {{project}} verification code";
constexpr const char* kDefaultText =
    "Your {{project}} verification code is {{code}}.\r\n"
    "\r\n"
    "It is good for {{minutes}} minutes. If you did not ask for it, someone may be trying to\r\n"
    "sign in to your account; you can ignore this message.\r\n";
constexpr const char* kDefaultHTML =
    "<!DOCTYPE html>\r\n"
    "<html><body style=\"font-family: sans-serif\">\r\n"
    "<h1 style=\"color: {{color}}\">{{project}}</h1>\r\n"
    "<p>Your verification code is</p>\r\n"
    "<p style=\"font-size: 2em; font-weight: bold; letter-spacing: 0.2em; color: {{color}}\">"
    "{{code}}</p>\r\n"
    "<p>It is good for {{minutes}} minutes. If you did not ask for it, someone may be trying to "
    "sign in to your account; you can ignore this message.</p>\r\n"
    "</body></html>\r\n";
constexpr const char* kDefaultTextBody =
    R"({"to": "{{to}}", "message": "Your {{project}} verification code is {{code}}"})";

std::string fill(std::string text, const std::map<std::string, std::string>& values) {
  for (const auto& [name, value] : values) {
    const std::string key = "{{" + name + "}}";
    for (auto at = text.find(key); at != std::string::npos; at = text.find(key, at + value.size()))
      text.replace(at, key.size(), value);
  }
  return text;
}

// The inside of a JSON string.
std::string escapeJSON(const std::string& text) {
  const std::string quoted = json(text).dump(-1, ' ', false, json::error_handler_t::replace);
  return quoted.substr(1, quoted.size() - 2);
}

// A colour a style attribute can take as it is: "#" and 3, 4, 6 or 8 hex digits.
std::string safeColor(const std::string& color) {
  const bool ok = color.size() >= 4 && color.size() <= 9 && color[0] == '#' &&
                  std::all_of(color.begin() + 1, color.end(),
                              [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); });
  return ok ? color : "#4F46E5";
}

// Text for a header line: no line breaks, non-ASCII as an RFC 2047 encoded word.
std::string headerText(const std::string& text) {
  std::string clean;
  bool ascii = true;
  for (char c : text) {
    if (c == '\r' || c == '\n') continue;
    if (static_cast<unsigned char>(c) >= 0x80) ascii = false;
    clean += c;
  }
  if (ascii) return clean;
  std::string encoded(4 * ((clean.size() + 2) / 3) + 1, '\0');
  const int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(encoded.data()),
                                     reinterpret_cast<const unsigned char*>(clean.data()),
                                     static_cast<int>(clean.size()));
  encoded.resize(static_cast<std::size_t>(std::max(length, 0)));
  return "=?UTF-8?B?" + encoded + "?=";
}

// A mailbox an address may name: no spaces, line breaks or angle brackets, one "@".
bool plausibleAddress(const std::string& address) {
  if (address.empty() || address.size() > 254) return false;
  if (std::count(address.begin(), address.end(), '@') != 1) return false;
  return std::none_of(address.begin(), address.end(), [](char c) {
    return c == '<' || c == '>' || c == ' ' || c == '\r' || c == '\n' || c == ',' ||
           static_cast<unsigned char>(c) < 0x20;
  });
}

std::string rfc2822Now() {
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  char text[64];
  std::strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S +0000", &utc);
  return text;
}

void initCurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct Easy {
  CURL* handle = curl_easy_init();
  curl_slist* headers = nullptr;
  curl_slist* recipients = nullptr;
  ~Easy() {
    curl_slist_free_all(headers);
    curl_slist_free_all(recipients);
    if (handle) curl_easy_cleanup(handle);
  }
};

std::size_t discard(char*, std::size_t size, std::size_t count, void*) {
  return size * count;
}

// Ends a transfer under way once the worker is told to stop.
int abortWhenStopping(void* stopping, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  return static_cast<const std::atomic<bool>*>(stopping)->load() ? 1 : 0;
}

void common(CURL* c, const DeliveryConfig& config, const std::atomic<bool>& stopping) {
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, static_cast<long>(config.timeout.count()));
  curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, abortWhenStopping);
  curl_easy_setopt(c, CURLOPT_XFERINFODATA, const_cast<std::atomic<bool>*>(&stopping));
  if (!config.caFile.empty()) curl_easy_setopt(c, CURLOPT_CAINFO, config.caFile.c_str());
}

struct Upload {
  const std::string* text;
  std::size_t at = 0;
};

std::size_t readUpload(char* buffer, std::size_t size, std::size_t count, void* data) {
  auto* upload = static_cast<Upload*>(data);
  const std::size_t n = std::min(size * count, upload->text->size() - upload->at);
  std::copy_n(upload->text->data() + upload->at, n, buffer);
  upload->at += n;
  return n;
}

// Posts `body` as JSON; "" on a 2xx answer, else what went wrong.
std::string postJSON(const DeliveryConfig& config, const std::string& url,
                     const std::vector<std::string>& headers, const std::string& body,
                     const std::atomic<bool>& stopping) {
  Easy easy;
  if (!easy.handle) return "cannot start a transfer";
  CURL* c = easy.handle;
  for (const std::string& header : headers)
    easy.headers = curl_slist_append(easy.headers, header.c_str());
  easy.headers = curl_slist_append(easy.headers, "Content-Type: application/json");
  easy.headers = curl_slist_append(easy.headers, "Expect:");
  curl_easy_setopt(c, CURLOPT_URL, url.c_str());
  curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(c, CURLOPT_HTTPHEADER, easy.headers);
  curl_easy_setopt(c, CURLOPT_POSTFIELDS, body.c_str());
  curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
  curl_easy_setopt(c, CURLOPT_USERAGENT, "zelk-server/" ZELK_VERSION);
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, discard);
  common(c, config, stopping);
  const CURLcode result = curl_easy_perform(c);
  if (result != CURLE_OK) return curl_easy_strerror(result);
  long status = 0;
  curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
  if (status < 200 || status > 299) return "answered HTTP " + std::to_string(status);
  return {};
}

std::string sendMail(const DeliveryConfig& config, const std::string& to,
                     const std::string& message, const std::atomic<bool>& stopping) {
  const MailSettings& mail = config.mail;
  Easy easy;
  if (!easy.handle) return "cannot start a transfer";
  CURL* c = easy.handle;
  const std::string from = "<" + mail.from + ">";
  easy.recipients = curl_slist_append(easy.recipients, ("<" + to + ">").c_str());
  Upload upload{&message};
  curl_easy_setopt(c, CURLOPT_URL, mail.url.c_str());
  curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "smtp,smtps");
  curl_easy_setopt(c, CURLOPT_MAIL_FROM, from.c_str());
  curl_easy_setopt(c, CURLOPT_MAIL_RCPT, easy.recipients);
  curl_easy_setopt(c, CURLOPT_READFUNCTION, readUpload);
  curl_easy_setopt(c, CURLOPT_READDATA, &upload);
  curl_easy_setopt(c, CURLOPT_UPLOAD, 1L);
  curl_easy_setopt(c, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(message.size()));
  curl_easy_setopt(c, CURLOPT_USE_SSL,
                   mail.tls == "require" ? CURLUSESSL_ALL
                   : mail.tls == "none"  ? CURLUSESSL_NONE
                                         : CURLUSESSL_TRY);
  if (!mail.user.empty()) {
    curl_easy_setopt(c, CURLOPT_USERNAME, mail.user.c_str());
    curl_easy_setopt(c, CURLOPT_PASSWORD, mail.password.c_str());
  }
  common(c, config, stopping);
  const CURLcode result = curl_easy_perform(c);
  if (result == CURLE_OK) return {};
  long status = 0;
  curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
  std::string why = curl_easy_strerror(result);
  if (status != 0) why += " (the relay answered " + std::to_string(status) + ")";
  return why;
}

// What stays of a code's message once it is done or has failed: never the code.
std::string wipedPayload(const std::string& payload, const std::string& kind) {
  json kept = json::parse(payload, nullptr, false);
  if (!kept.is_object()) return "{}";
  kept.erase("code");
  kept.erase("sealed");
  if (kept.contains("to") && kept["to"].is_string())
    kept["to"] = kind == "text" ? maskPhone(kept["to"].get<std::string>())
                                : maskEmail(kept["to"].get<std::string>());
  return kept.dump(-1, ' ', false, json::error_handler_t::replace);
}

}  // namespace

std::string webhookSignature(const std::string& secret, const std::string& timestamp,
                             const std::string& body) {
  return hmacSha256Hex(secret, timestamp + "." + body);
}

namespace {

// A message of a plain-text and an HTML part, with its headers, as the relay receives it.
std::string mimeMail(const MailSettings& mail, const std::string& to,
                     const ProjectSettings& project, const std::string& subject,
                     const std::string& text, const std::string& html) {
  const std::string boundary = "zelk-" + newId("");
  std::string message;
  message += "From: " + headerText(project.name) + " <" + mail.from + ">\r\n";
  message += "To: <" + to + ">\r\n";
  message += "Subject: " + headerText(subject) + "\r\n";
  message += "Date: " + rfc2822Now() + "\r\n";
  message += "Message-ID: <" + newId("") + "@zelk-server>\r\n";
  message += "MIME-Version: 1.0\r\n";
  message += "Content-Type: multipart/alternative; boundary=\"" + boundary + "\"\r\n\r\n";
  message += "--" + boundary + "\r\nContent-Type: text/plain; charset=utf-8\r\n";
  message += "Content-Transfer-Encoding: 8bit\r\n\r\n" + text + "\r\n";
  message += "--" + boundary + "\r\nContent-Type: text/html; charset=utf-8\r\n";
  message += "Content-Transfer-Encoding: 8bit\r\n\r\n" + html + "\r\n";
  message += "--" + boundary + "--\r\n";
  return message;
}

// What the notice says of the device: "iPhone 15 (iOS), mobile", where from, and when (UTC).
std::string describedDevice(const json& device) {
  std::string text = device.value("model", "");
  if (const std::string os = device.value("os", ""); !os.empty())
    text += text.empty() ? os : " (" + os + ")";
  const std::string type = device.value("type", "");
  if (text.empty()) return type;
  return type.empty() ? text : text + ", " + type;
}

std::string describedPlace(const json& device) {
  const auto found = device.find("location");
  if (found == device.end() || !found->is_object()) return "";
  const std::string city = found->value("city", ""), country = found->value("country", "");
  if (city.empty() || country.empty()) return city + country;
  return city + ", " + country;
}

std::string describedTime(const json& device) {
  // "2026-12-08T01:02:03.456Z" reads "2026-12-08 01:02 UTC".
  const std::string at = device.value("at", "");
  if (at.size() < 16) return at;
  return at.substr(0, 10) + " " + at.substr(11, 5) + " UTC";
}

}  // namespace

std::string composeMail(const MailSettings& mail, const std::string& to,
                        const ProjectSettings& project, const std::string& code, int minutes) {
  const std::string minutesText = std::to_string(minutes);
  const std::string color = safeColor(project.primaryColor);
  const std::string subject =
      fill(mail.subject.empty() ? kDefaultSubject : mail.subject,
           {{"project", project.name}, {"code", code}, {"minutes", minutesText}, {"color", color}});
  const std::string text =
      fill(mail.text.empty() ? kDefaultText : mail.text,
           {{"project", project.name}, {"code", code}, {"minutes", minutesText}, {"color", color}});
  const std::string html =
      fill(mail.html.empty() ? kDefaultHTML : mail.html, {{"project", escapeHTML(project.name)},
                                                          {"code", code},
                                                          {"minutes", minutesText},
                                                          {"color", color}});
  return mimeMail(mail, to, project, subject, text, html);
}

std::string composeNoticeMail(const MailSettings& mail, const std::string& to,
                              const ProjectSettings& project, const json& device,
                              const std::string& code) {
  const std::string what = describedDevice(device), where = describedPlace(device),
                    when = describedTime(device);
  const std::string color = safeColor(project.primaryColor);
  const std::string subject = "A new device signed in to your " + project.name + " account";
  std::string text =
      "A new device signed in to your " + project.name + " account:\r\n\r\n" + "  " + what + "\r\n";
  if (!where.empty()) text += "  near " + where + "\r\n";
  text += "  " + when + "\r\n\r\n";
  text += "If this was you, there is nothing to do. If not, open " + project.name +
          ", go to your devices and enter this code to sign that device out:\r\n\r\n  " + code +
          "\r\n\r\nThe code is good for 7 days.\r\n";
  std::string html = "<!DOCTYPE html>\r\n<html><body style=\"font-family: sans-serif\">\r\n";
  html += "<h1 style=\"color: " + color + "\">" + escapeHTML(project.name) + "</h1>\r\n";
  html += "<p>A new device signed in to your account:</p>\r\n<p><b>" + escapeHTML(what) + "</b>";
  if (!where.empty()) html += "<br>near " + escapeHTML(where);
  html += "<br>" + escapeHTML(when) + "</p>\r\n";
  html += "<p>If this was you, there is nothing to do. If not, open " + escapeHTML(project.name) +
          ", go to your devices and enter this code to sign that device out:</p>\r\n";
  html += "<p style=\"font-size: 2em; font-weight: bold; letter-spacing: 0.1em; color: " + color +
          "\">" + code + "</p>\r\n<p>The code is good for 7 days.</p>\r\n</body></html>\r\n";
  return mimeMail(mail, to, project, subject, text, html);
}

std::string composeText(const TextSettings& text, const std::string& to,
                        const ProjectSettings& project, const std::string& code, int minutes) {
  return fill(text.body.empty() ? kDefaultTextBody : text.body,
              {{"to", escapeJSON(to)},
               {"code", code},
               {"project", escapeJSON(project.name)},
               {"minutes", std::to_string(minutes)}});
}

Courier::Courier(Service& service, DeliveryConfig config, Outcome outcome)
    : service_(service), config_(std::move(config)), outcome_(std::move(outcome)) {
  initCurlOnce();
}

Courier::~Courier() {
  stop();
}

void Courier::start() {
  std::lock_guard lock(mutex_);
  if (thread_.joinable()) return;
  stopping_ = false;
  aborting_ = false;
  thread_ = std::thread([this] { run(); });
}

void Courier::stop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    aborting_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void Courier::wake() {
  {
    std::lock_guard lock(mutex_);
    woken_ = true;
  }
  wake_.notify_all();
}

void Courier::run() {
  Store& store = service_.store();
  auto lastPurge = std::chrono::steady_clock::time_point{};
  for (;;) {
    {
      std::lock_guard lock(mutex_);
      if (stopping_) return;
      woken_ = false;
    }
    std::optional<Clock::time_point> next;
    try {
      if (std::chrono::steady_clock::now() - lastPurge > std::chrono::minutes(10)) {
        lastPurge = std::chrono::steady_clock::now();
        const auto now = Clock::now();
        store.purgeMessages(now - config_.keepDone, now - config_.keepFailed);
      }
      const std::vector<OutboxMessage> due = store.dueMessages(Clock::now(), 16);
      for (const OutboxMessage& message : due) {
        {
          std::lock_guard lock(mutex_);
          if (stopping_) return;
        }
        attempt(message);
      }
      if (due.size() == 16) continue;  // more may be due
      next = store.nextDue();
    } catch (const std::exception& error) {
      std::cerr << "zelk-server: outbox: " << error.what() << std::endl;
    }
    std::unique_lock lock(mutex_);
    auto until = std::chrono::steady_clock::now() + config_.poll;
    if (next) {
      const auto wait = std::max(Clock::duration::zero(), *next - Clock::now());
      until = std::min(until,
                       std::chrono::steady_clock::now() +
                           std::chrono::duration_cast<std::chrono::steady_clock::duration>(wait));
    }
    wake_.wait_until(lock, until, [&] { return stopping_ || woken_; });
  }
}

void Courier::attempt(OutboxMessage message) {
  ++message.attempts;
  bool permanent = false;
  std::string error;
  try {
    if (message.kind == "webhook") {
      error = sendWebhook(message, &permanent);
    } else if (message.kind == "email" || message.kind == "text") {
      error = sendCode(message, &permanent);
    } else if (message.kind == "notice") {
      error = sendNotice(message, &permanent);
    } else {
      error = "unknown kind of message";
      permanent = true;
    }
  } catch (const std::exception& failure) {
    error = failure.what();
  }
  // Cut short by stop(): left as it was, to be sent after the restart.
  if (!error.empty() && aborting_) return;
  const auto now = Clock::now();
  std::string result;
  if (error.empty()) {
    message.state = OutboxState::done;
    message.lastError.clear();
    message.nextAttemptAt = now;  // when it ended
    result = "sent";
  } else if (permanent || message.attempts >= config_.maxAttempts) {
    message.state = OutboxState::failed;
    message.lastError = error;
    message.nextAttemptAt = now;
    result = "failed";
  } else {
    message.lastError = error;
    auto wait = config_.retryBase;
    for (int i = 1; i < message.attempts && wait < config_.retryMax; ++i) wait *= 2;
    message.nextAttemptAt = now + std::min(wait, config_.retryMax);
    result = "retry";
  }
  const bool code = message.kind != "webhook";
  std::optional<std::string> undelivered;
  if (code && message.state == OutboxState::failed) undelivered = codeOf(message);
  if (code && message.state != OutboxState::pending)
    message.payload = wipedPayload(message.payload, message.kind);
  service_.store().updateMessage(message);
  if (outcome_) outcome_(message.kind, result);
  if (undelivered && message.kind != "notice") {
    // The user heard nothing: the code is void, and asking for another is not held back by it.
    const json payload = json::parse(message.payload, nullptr, false);
    if (payload.is_object() && payload.contains("challenge") && payload["challenge"].is_string())
      service_.codeUndelivered(payload["challenge"].get<std::string>(), *undelivered);
  }
}

std::optional<std::string> Courier::codeOf(const OutboxMessage& message) const {
  const json payload = json::parse(message.payload, nullptr, false);
  if (!payload.is_object()) return std::nullopt;
  if (auto it = payload.find("sealed"); it != payload.end() && it->is_string())
    return service_.unsealCode(it->get<std::string>());
  // Written by a version that kept the code as it is until it was sent.
  if (auto it = payload.find("code"); it != payload.end() && it->is_string())
    return it->get<std::string>();
  return std::nullopt;
}

std::string Courier::sendWebhook(const OutboxMessage& message, bool* permanent) {
  const ProjectSettings project = service_.projectSettings(message.project);
  if (project.webhookUrl.empty() || project.webhookSecret.empty()) {
    *permanent = true;
    return "the project has no webhook URL and secret";
  }
  const std::string timestamp = std::to_string(
      std::chrono::duration_cast<std::chrono::seconds>(Clock::now().time_since_epoch()).count());
  return postJSON(config_, project.webhookUrl,
                  {"Zelk-Event-Id: " + message.id, "Zelk-Timestamp: " + timestamp,
                   "Zelk-Signature: sha256=" +
                       webhookSignature(project.webhookSecret, timestamp, message.payload)},
                  message.payload, aborting_);
}

std::string Courier::sendCode(const OutboxMessage& message, bool* permanent) {
  *permanent = true;
  const json payload = json::parse(message.payload, nullptr, false);
  const std::optional<std::string> carried = codeOf(message);
  if (!carried) return "the message holds no code this server can read";
  const auto lifetime = service_.codeLifetime();
  if (Clock::now() >= message.createdAt + lifetime) return "the code expired before it was sent";
  const std::string to = payload.value("to", "");
  const std::string& code = *carried;
  const ProjectSettings project = service_.projectSettings(message.project);
  const int minutes = static_cast<int>(std::max<std::int64_t>(
      1, std::chrono::duration_cast<std::chrono::minutes>(lifetime).count()));
  if (message.kind == "email") {
    if (config_.mail.url.empty() || config_.mail.from.empty()) return "no SMTP relay configured";
    if (!plausibleAddress(to)) return "the user has no usable e-mail address";
    *permanent = false;
    return sendMail(config_, to, composeMail(config_.mail, to, project, code, minutes), aborting_);
  }
  if (config_.text.url.empty()) return "no text message provider configured";
  if (to.empty()) return "the user has no phone number";
  std::vector<std::string> headers;
  for (const auto& [name, value] : config_.text.headers) headers.push_back(name + ": " + value);
  *permanent = false;
  return postJSON(config_, config_.text.url, headers,
                  composeText(config_.text, to, project, code, minutes), aborting_);
}

std::string Courier::sendNotice(const OutboxMessage& message, bool* permanent) {
  *permanent = true;
  const json payload = json::parse(message.payload, nullptr, false);
  const std::optional<std::string> code = codeOf(message);
  if (!code || !payload.is_object()) return "the message holds no code this server can read";
  if (Clock::now() >= message.createdAt + kNoticeCodeLifetime)
    return "the code expired before it was sent";
  const std::string to = payload.value("to", "");
  if (config_.mail.url.empty() || config_.mail.from.empty()) return "no SMTP relay configured";
  if (!plausibleAddress(to)) return "the user has no usable e-mail address";
  const json device = payload.contains("device") && payload["device"].is_object()
                          ? payload["device"]
                          : json::object();
  const ProjectSettings project = service_.projectSettings(message.project);
  *permanent = false;
  return sendMail(config_, to, composeNoticeMail(config_.mail, to, project, device, *code),
                  aborting_);
}

}  // namespace zelk::server
