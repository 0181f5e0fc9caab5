// SPDX-License-Identifier: Apache-2.0
// The operator's API under /admin/, answered only with "Authorization: Bearer <admin token>":
//   GET  /admin/projects                  every configured project
//   POST /admin/projects                  creates or replaces a project: {"client_id", "name",
//        "overall_limit", "mobile_limit", "tablet_limit", "computer_limit", "logo",
//        "primary_color", "require_verification", "block_over_usage"}; members left out take
//        their defaults
//   POST /admin/users                     {"client_id", "user", "email", "phone"}
//   GET  /admin/user?client_id=&user=     a user's contact details, devices and challenges
//   POST /admin/logout                    {"client_id", "device"}: detaches the device and
//        sends it the logout order
//   POST /admin/challenges                {"client_id", "user"}: raises a challenge by hand
//   POST /admin/challenges/resolve        {"client_id", "challenge"}: closes it
#pragma once

#include <string>

#include "http/message.hpp"
#include "realtime/hub.hpp"
#include "routes/metrics.hpp"
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
