// SPDX-License-Identifier: Apache-2.0
// The operator's API under /admin/, answered only with "Authorization: Bearer <admin token>":
//   GET  /admin/projects                  every configured project
//   POST /admin/projects                  creates or replaces a project: {"client_id", "name",
//        "overall_limit", "mobile_limit", "tablet_limit", "computer_limit", "logo",
//        "primary_color", "require_verification", "block_over_usage", "limit_policy",
//        "show_contacts", "liveness_grace", "webhook_url", "webhook_secret", "user_secret",
//        "require_signed_users", "new_device_notices", "trusted_device_days",
//        "device_changes_limit", "device_changes_days", "replace"}; an existing project changes
//        only in the members sent, unless "replace" is true (then the members left out take
//        their defaults); the secrets stay either way (they are never shown back);
//        "evict_oldest" and "require_signed_users" need a "user_secret"
//   POST /admin/projects/delete           {"client_id", "confirm"}: removes the project with its
//        users, devices and records; "confirm" repeats the client id
//   POST /admin/users                     {"client_id", "user", "email", "phone"}
//   GET  /admin/users?client_id=&q=&after=&limit=   users whose id begins with q or whose e-mail
//        address (any case) or phone number is q, by id: {"users": [{"user", "email", "phone",
//        "devices"}], "next_after"}
//   GET  /admin/user?client_id=&user=     a user's contact details, devices and challenges (never
//        an access token)
//   GET  /admin/export?client_id=&user=   all of that, the devices remembered, the device changes
//        and the audit entries about the user
//   POST /admin/erase                     {"client_id", "user"}: signs out every device of the
//        user and removes everything stored of them; their audit entries stay, under a one-way
//        pseudonym
//   POST /admin/override                  {"client_id", "user", "overall_limit", "mobile_limit",
//        "tablet_limit", "computer_limit", "days"} or {"client_id", "user", "clear": true}: the
//        user's own limits, in place of the project's, for "days" or until cleared
//   POST /admin/logout                    {"client_id", "device"}: detaches the device and
//        sends it the logout order; {"client_id", "user", "all": true} or {"client_id", "user",
//        "all_but": device}: every device of the user, or every one but that
//   POST /admin/challenges                {"client_id", "user"}: raises a challenge by hand
//   POST /admin/challenges/resolve        {"client_id", "challenge"}: closes it
//   GET  /admin/outbox?state=&limit=      codes and webhook events to send, sent or failed,
//        newest first (never a code): {"messages": [{"id", "kind", "client_id", "state",
//        "attempts", "created_at", "next_attempt_at" or "ended_at", "last_error"}]}
//   POST /admin/outbox/retry              {"id"}: a failed webhook event is sent again now (a
//        failed code never is: its code is gone); 404 for no failed webhook event of that id
//   GET  /admin/suspects?client_id=&days=&limit=  the users most worth a look over the last days
//        (7 by default): {"users": [{"user", "challenges", "new_devices", "refused_changes"}]}
//   GET  /admin/keys?client_id=           the project's keys: {"keys": [{"id", "created_at",
//        "last_used_at"}]}
//   POST /admin/keys                      {"client_id"}: a new key, {"id", "key"}, the key shown
//        this once; 409 when the project has two already
//   POST /admin/keys/revoke               {"client_id", "id"}: the key stops working at once
//   GET  /admin/operators                 the console's operators: {"operators": [{"name",
//        "role", "created_at", "password_set"}]}
//   POST /admin/operators                 {"name", "role"}: adds an operator ("owner",
//        "operator" or "viewer"), or gives one a new role; either way a set-up token, shown this
//        once, that sets their password within a day: {"name", "role", "setup_token",
//        "setup_until"}; their sessions end
//   GET  /admin/audit?client_id=&before=&limit=   security events, newest first:
//        {"entries": [{"seq", "time", "client_id", "kind", "subject", "detail"}],
//        "next_before"}; "next_before" (null on the last page) is the "before" of the next page
// Every change made here is recorded in the audit trail, with "actor" and "source" (the
// peer's address) in its detail.
// A project's key ("Bearer zk_...") may call POST /admin/users, GET /admin/user and POST
// /admin/logout for its own project, nothing else (403).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "http/message.hpp"
#include "metrics/metrics.hpp"
#include "realtime/hub.hpp"
#include "service/operator_accounts.hpp"
#include "service/service.hpp"

namespace zelk::server {

class AdminRoutes {
 public:
  // An empty `token` turns the admin API off: every admin route answers 404.
  AdminRoutes(Service& service, Hub& hub, Metrics& metrics, OperatorAccounts& accounts,
              std::string token)
      : service_(service),
        hub_(hub),
        metrics_(metrics),
        accounts_(accounts),
        token_(std::move(token)) {}

  void handle(const http::Request& req, http::Response& res);
  // Answers `req` as for the admin token, in the name of `actor` (who the audit entries name):
  // the console's calls, made for an operator it signed in.
  void perform(const http::Request& req, http::Response& res, const std::string& actor);
  // Every route answered here, as method and path.
  static std::vector<std::pair<std::string, std::string>> routes();

 private:
  // Who calls: the admin token (any project), or a project's key (its project alone).
  struct Caller {
    std::string actor;    // "admin token" or "key key_..."
    std::string project;  // "" for the admin token
  };
  using Handler = void (AdminRoutes::*)(const http::Request&, http::Response&, const Caller&);
  struct Route {
    std::string_view method, path;
    Handler handler;
    bool forKeys;  // a project's key may call it
  };
  static const std::vector<Route>& table();
  void dispatch(const http::Request& req, http::Response& res, const Caller& caller);
  std::optional<Caller> callerOf(const http::Request& req) const;
  static nlohmann::json actorOf(const Caller& caller, const http::Request& req,
                                nlohmann::json detail = nlohmann::json::object());

  void listProjects(const http::Request& req, http::Response& res, const Caller& caller);
  void putProject(const http::Request& req, http::Response& res, const Caller& caller);
  void deleteProject(const http::Request& req, http::Response& res, const Caller& caller);
  void putUser(const http::Request& req, http::Response& res, const Caller& caller);
  void searchUsers(const http::Request& req, http::Response& res, const Caller& caller);
  void showUser(const http::Request& req, http::Response& res, const Caller& caller);
  void exportUser(const http::Request& req, http::Response& res, const Caller& caller);
  void eraseUser(const http::Request& req, http::Response& res, const Caller& caller);
  void override(const http::Request& req, http::Response& res, const Caller& caller);
  void logout(const http::Request& req, http::Response& res, const Caller& caller);
  void logoutUser(const http::Request& req, http::Response& res, const Caller& caller);
  void raiseChallenge(const http::Request& req, http::Response& res, const Caller& caller);
  void resolveChallenge(const http::Request& req, http::Response& res, const Caller& caller);
  void outbox(const http::Request& req, http::Response& res, const Caller& caller);
  void retryMessage(const http::Request& req, http::Response& res, const Caller& caller);
  void audit(const http::Request& req, http::Response& res, const Caller& caller);
  void suspects(const http::Request& req, http::Response& res, const Caller& caller);
  void listKeys(const http::Request& req, http::Response& res, const Caller& caller);
  void makeKey(const http::Request& req, http::Response& res, const Caller& caller);
  void revokeKey(const http::Request& req, http::Response& res, const Caller& caller);
  void listOperators(const http::Request& req, http::Response& res, const Caller& caller);
  void addOperator(const http::Request& req, http::Response& res, const Caller& caller);

  Service& service_;
  Hub& hub_;
  Metrics& metrics_;
  OperatorAccounts& accounts_;
  const std::string token_;
};

}  // namespace zelk::server
