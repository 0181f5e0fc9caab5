// SPDX-License-Identifier: Apache-2.0
#pragma once

// A zelk-server in this process for the server's own tests, and ways to talk to it.

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "app/app.hpp"
#include "service/ids.hpp"
#include "support/http_client.hpp"
#include "support/raw_connection.hpp"

namespace zelk::testing {

inline const std::string kAdminToken = "0123456789abcdef0123456789abcdef-test-token";
// A project's user secret, as tests set it for projects whose users the app's backend signs.
inline const std::string kUserSecret = "the backend signs its users with this";

// A folder of its own under the temporary directory, removed with it.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "zelk-server-test-XXXXXX");
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  std::string file(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

// A clock the test moves by hand, from a fixed start.
class TestClock {
 public:
  server::Clock::time_point now() const {
    return start_ + std::chrono::milliseconds(offsetMillis_.load());
  }
  void advance(std::chrono::milliseconds by) { offsetMillis_ += by.count(); }

 private:
  const server::Clock::time_point start_ = server::Clock::now();
  std::atomic<long long> offsetMillis_{0};
};

// The codes the servers of these tests sent, by challenge: what a delivery would have carried.
class CodeBook {
 public:
  void put(const std::string& challenge, const std::string& code) {
    std::lock_guard lock(mutex_);
    codes_[challenge] = code;
  }
  std::optional<std::string> last(const std::string& challenge) const {
    std::lock_guard lock(mutex_);
    const auto code = codes_.find(challenge);
    if (code == codes_.end()) return std::nullopt;
    return code->second;
  }

 private:
  mutable std::mutex mutex_;
  std::map<std::string, std::string> codes_;
};

inline CodeBook& codeBook() {
  static CodeBook book;
  return book;
}

inline std::optional<std::string> lastCode(const std::string& challenge) {
  return codeBook().last(challenge);
}

inline server::AppConfig serverConfig(std::string dataFile = {}) {
  server::AppConfig config;
  config.onCodeSent = [](const server::SentCode& sent) {
    codeBook().put(sent.challenge, sent.code);
  };
  config.adminToken = kAdminToken;
  config.dataFile = std::move(dataFile);
  return config;
}

struct Reply {
  int status = 0;
  std::string body;
  nlohmann::json parsed() const { return nlohmann::json::parse(body); }
};

// Talks to one server as one project.
class ServiceClient {
 public:
  ServiceClient(const std::string& baseURL, std::string clientId)
      : http_(baseURL), clientId_(std::move(clientId)) {}

  Reply post(const std::string& path, const nlohmann::json& body) {
    return post(path, body.dump());
  }
  Reply post(const std::string& path, const std::string& body) {
    auto result =
        http_.Post(path, {{"Authorization", "Basic " + clientId_ + ":"}}, body, "application/json");
    if (!result) throw std::runtime_error("request failed: " + path);
    return {result->status, result->body};
  }
  Reply get(const std::string& path) {
    auto result = http_.Get(path, {{"Authorization", "Basic " + clientId_ + ":"}});
    if (!result) throw std::runtime_error("request failed: " + path);
    return {result->status, result->body};
  }
  Reply admin(const std::string& method, const std::string& path, const nlohmann::json& body = {}) {
    const Headers headers = {{"Authorization", "Bearer " + kAdminToken}};
    auto result = method == "GET" ? http_.Get(path, headers)
                                  : http_.Post(path, headers, body.dump(), "application/json");
    if (!result) throw std::runtime_error("request failed: " + path);
    return {result->status, result->body};
  }

  // Attaches `vendor` of `user`; the answer's device id and access token. Signed as the app's
  // backend would sign the user, once signUsersWith() gave the project's user secret.
  nlohmann::json attach(const std::string& user, const std::string& vendor) {
    nlohmann::json body = attachBody(user, vendor);
    sign(body);
    const Reply reply = post("/v2/access", body);
    if (reply.status != 200) throw std::runtime_error("attach failed: " + reply.body);
    return reply.parsed();
  }
  void signUsersWith(std::string secret) { userSecret_ = std::move(secret); }
  // Adds the signature of the attach body's user, once signUsersWith() gave the secret.
  void sign(nlohmann::json& body) const {
    if (!userSecret_.empty())
      body["metadata"]["user_signature"] =
          zelk::server::hmacSha256Hex(userSecret_, body.at("user").get<std::string>());
  }

  static nlohmann::json attachBody(const std::string& user, const std::string& vendor) {
    return {{"user", user},
            {"device_info", {{"device", {{"type", "mobile"}, {"model", "Test"}}}}},
            {"signals", {{"iosVendorIdentifier", vendor}}},
            {"metadata", nlohmann::json::object()}};
  }

  std::string listenRequest(const std::string& device, const std::string& access,
                            const std::string& extraHeaders = "") const {
    std::string auth;
    for (char c : clientId_) auth += c == ' ' ? std::string("%20") : std::string(1, c);
    return "GET /v2/access/device/" + device + "/listen?access=" + access + "&auth=Basic%20" +
           auth + "%3A HTTP/1.1\r\nHost: 127.0.0.1\r\n" + extraHeaders + "\r\n";
  }

 private:
  HttpClient http_;
  std::string clientId_;
  std::string userSecret_;
};

// A client of project `clientId`, which is first created or replaced through the admin API
// with `settings`.
inline ServiceClient makeProject(const std::string& baseURL, const std::string& clientId,
                                 nlohmann::json settings = nlohmann::json::object()) {
  ServiceClient client(baseURL, clientId);
  settings["client_id"] = clientId;
  const Reply reply = client.admin("POST", "/admin/projects", settings);
  EXPECT_EQ(reply.status, 200) << reply.body;
  if (settings.contains("user_secret")) client.signUsersWith(settings["user_secret"]);
  return client;
}

}  // namespace zelk::testing
