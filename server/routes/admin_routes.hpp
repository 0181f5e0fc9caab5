// SPDX-License-Identifier: Apache-2.0
// The operator's API under /admin/, answered only with "Authorization: Bearer <admin token>":
//   GET  /admin/projects                  every configured project
//   POST /admin/projects                  creates or replaces a project: {"client_id", "name",
//        "overall_limit", "mobile_limit", "tablet_limit", "computer_limit", "logo",
//        "primary_color", "require_verification", "block_over_usage", "limit_policy",
//        "show_contacts", "liveness_grace", "webhook_url", "webhook_secret", "user_secret",
//        "require_signed_users"}; members left out take their defaults, but for the secrets,
//        which stay (they are never shown back); "evict_oldest" and "require_signed_users"
//        need a "user_secret"
//   POST /admin/users                     {"client_id", "user", "email", "phone"}
//   GET  /admin/user?client_id=&user=     a user's contact details, devices and challenges
//   POST /admin/logout                    {"client_id", "device"}: detaches the device and
//        sends it the logout order
//   POST /admin/challenges                {"client_id", "user"}: raises a challenge by hand
//   POST /admin/challenges/resolve        {"client_id", "challenge"}: closes it
//   GET  /admin/outbox?state=&limit=      codes and webhook events to send, sent or failed,
//        newest first (never a code): {"messages": [{"id", "kind", "client_id", "state",
//        "attempts", "created_at", "next_attempt_at" or "ended_at", "last_error"}]}
//   GET  /admin/audit?client_id=&before=&limit=   security events, newest first:
//        {"entries": [{"seq", "time", "client_id", "kind", "subject", "detail"}],
//        "next_before"}; "next_before" (null on the last page) is the "before" of the next page
// Every change made here is recorded in the audit trail.
#pragma once

#include <string>

#include "http/message.hpp"
#include "metrics/metrics.hpp"
#include "realtime/hub.hpp"
#include "service/service.hpp"

namespace zelk::server {

class AdminRoutes {
 public:
  // An empty `token` turns the admin API off: every admin route answers 404.
  AdminRoutes(Service& service, Hub& hub, Metrics& metrics, std::string token)
      : service_(service), hub_(hub), metrics_(metrics), token_(std::move(token)) {}

  void handle(const http::Request& req, http::Response& res);

 private:
  bool authorized(const http::Request& req) const;

  Service& service_;
  Hub& hub_;
  Metrics& metrics_;
  const std::string token_;
};

}  // namespace zelk::server
