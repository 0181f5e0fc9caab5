// SPDX-License-Identifier: Apache-2.0
// The operators' console under /console/: pages rendered here, forms posted back, no script.
// Everything a page shows or changes goes through the admin API's own handlers, in the name of
// the signed-in operator, so that the console and the API never differ.
//   GET  /console/login, POST /console/login        sign in (name and password)
//   POST /console/logout                            sign out
//   GET  /console/setup?operator=&token=, POST      set a password with a set-up link
//   GET  /console/                                  overview
//   GET  /console/projects, /console/project?client_id=
//   GET  /console/users?client_id=&q=&after=, /console/user?client_id=&user=
//   GET  /console/export?client_id=&user=           the user's records, as a JSON download
//   GET  /console/suspects?client_id=&days=, /console/outbox?state=, /console/audit?...
//   POST /console/act                               one of the actions, by its "action" field
//   GET  /console/style.css
// A session is a cookie (HttpOnly, SameSite=Strict, Secure when the request came over TLS) that
// ends when idle; every form carries the session's CSRF token; a request sent from another
// origin is refused whatever it carries. Viewers see no action and are refused one (403).
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "http/message.hpp"
#include "realtime/hub.hpp"
#include "routes/admin_routes.hpp"
#include "service/operator_accounts.hpp"
#include "service/service.hpp"

namespace zelk::server {

class ConsoleRoutes {
 public:
  ConsoleRoutes(Service& service, AdminRoutes& admin, OperatorAccounts& accounts, Hub& hub,
                bool tls)
      : service_(service), admin_(admin), accounts_(accounts), hub_(hub), tls_(tls) {}

  // Off the server's loop: signing in hashes a password, and the pages read the store.
  void handle(const http::Request& req, http::Response& res);
  // Every route answered here, as method and path.
  static std::vector<std::pair<std::string, std::string>> routes();

 private:
  using Page = void (ConsoleRoutes::*)(const http::Request&, http::Response&, const SignedIn&);
  struct Route {
    std::string_view method, path;
    Page page;
  };
  static const std::vector<Route>& table();

  // The sign-in form, with `note` above it: a refusal when `bad`.
  void signInPage(const http::Request& req, http::Response& res, const std::string& note, bool bad);
  void signIn(const http::Request& req, http::Response& res);
  void setupPage(const http::Request& req, http::Response& res, const std::string& note);
  void setup(const http::Request& req, http::Response& res);

  void overview(const http::Request& req, http::Response& res, const SignedIn& who);
  void projects(const http::Request& req, http::Response& res, const SignedIn& who);
  void project(const http::Request& req, http::Response& res, const SignedIn& who);
  void users(const http::Request& req, http::Response& res, const SignedIn& who);
  void user(const http::Request& req, http::Response& res, const SignedIn& who);
  void exportUser(const http::Request& req, http::Response& res, const SignedIn& who);
  void suspects(const http::Request& req, http::Response& res, const SignedIn& who);
  void outbox(const http::Request& req, http::Response& res, const SignedIn& who);
  void audit(const http::Request& req, http::Response& res, const SignedIn& who);
  void act(const http::Request& req, http::Response& res, const SignedIn& who);
  void signOut(const http::Request& req, http::Response& res, const SignedIn& who);

  // One call of the admin API in the operator's name: its status and JSON answer.
  std::pair<int, nlohmann::json> admin(const http::Request& original, const SignedIn& who,
                                       const std::string& method, const std::string& path,
                                       const std::string& query, const nlohmann::json& body = {});
  // The configured projects' client ids, for the pickers.
  std::vector<std::string> projectIds(const http::Request& req, const SignedIn& who);

  Service& service_;
  AdminRoutes& admin_;
  OperatorAccounts& accounts_;
  Hub& hub_;
  const bool tls_;
};

}  // namespace zelk::server
