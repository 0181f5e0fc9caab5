// SPDX-License-Identifier: Apache-2.0
#include "routes/admin_routes.hpp"

#include <openssl/crypto.h>

#include "routes/json_input.hpp"
#include "routes/service_routes.hpp"
#include "service/ids.hpp"

namespace zelk::server {
namespace {

using nlohmann::json;

std::string clientIdOf(const json& body) {
  const std::string clientId = requiredString(body, "client_id", /*nonEmpty=*/true, 256);
  if (!isValidClientId(clientId)) throw BadRequest{"client_id must not contain a colon"};
  return clientId;
}

std::string userOf(const json& body) {
  const std::string user = requiredString(body, "user", /*nonEmpty=*/true, 256);
  if (!isValidUserName(user)) throw BadRequest{"user must be at most 256 bytes of text"};
  return user;
}

ProjectSettings settingsOf(const json& body) {
  ProjectSettings settings;
  applyProjectSettings(body, settings);
  return settings;
}

}  // namespace

bool AdminRoutes::authorized(const http::Request& req) const {
  const std::string value = req.header("Authorization");
  constexpr std::string_view kScheme = "Bearer ";
  if (!std::string_view(value).starts_with(kScheme)) return false;
  const std::string_view given = std::string_view(value).substr(kScheme.size());
  return given.size() == token_.size() &&
         CRYPTO_memcmp(given.data(), token_.data(), token_.size()) == 0;
}

void AdminRoutes::handle(const http::Request& req, http::Response& res) {
  if (token_.empty()) return fail(res, 404, "not found");
  if (!authorized(req)) {
    res.headers.emplace_back("WWW-Authenticate", "Bearer");
    return fail(res, 401, "missing or wrong admin token");
  }
  const std::string& path = req.path;
  const bool get = req.method == "GET", post = req.method == "POST";
  try {
    if (path == "/admin/projects" && get) {
      reply(res, 200, {{"projects", service_.projectsJSON()}});
    } else if (path == "/admin/projects" && post) {
      const json body = parseObject(req.body);
      const std::string clientId = clientIdOf(body);
      service_.configureProject(clientId, settingsOf(body));
      json project = settingsJSON(service_.projectSettings(clientId));
      project["client_id"] = clientId;
      reply(res, 200, {{"success", true}, {"project", std::move(project)}});
    } else if (path == "/admin/users" && post) {
      const json body = parseObject(req.body);
      const std::string clientId = clientIdOf(body);
      const std::string user = userOf(body);
      if (!service_.projectConfigured(clientId)) return fail(res, 404, "unknown project");
      UserProfile profile = service_.userProfile(clientId, user);
      if (body.contains("email")) profile.email = optionalString(body, "email", 256);
      if (body.contains("phone")) profile.phone = optionalString(body, "phone", 64);
      service_.configureUser(clientId, user, profile);
      reply(res, 200, *service_.userJSON(clientId, user));
    } else if (path == "/admin/user" && get) {
      const std::string clientId = req.param("client_id").value_or("");
      const std::string user = req.param("user").value_or("");
      const auto found = isValidClientId(clientId) && isValidUserName(user)
                             ? service_.userJSON(clientId, user)
                             : std::nullopt;
      if (!found) return fail(res, 404, "unknown user");
      reply(res, 200, *found);
    } else if (path == "/admin/logout" && post) {
      const json body = parseObject(req.body);
      const std::string clientId = clientIdOf(body);
      const std::string device = requiredString(body, "device", /*nonEmpty=*/true, 64);
      const auto owner =
          isServiceId(device, "dev_") ? service_.ownerOf(clientId, device) : std::nullopt;
      if (!owner) return fail(res, 404, "unknown device");
      const DetachResult result = service_.detach(clientId, *owner, device);
      hub_.forget(device);
      const int delivered = hub_.deliver(result.logout);
      metrics_.countMessages(static_cast<std::uint64_t>(delivered));
      reply(res, 200,
            {{"success", true}, {"device_id", device}, {"user", *owner}, {"delivered", delivered}});
    } else if (path == "/admin/challenges" && post) {
      const json body = parseObject(req.body);
      const std::string clientId = clientIdOf(body);
      const std::string user = userOf(body);
      if (!service_.projectConfigured(clientId)) return fail(res, 404, "unknown project");
      RaisedChallenge raised = service_.raiseChallenge(clientId, user, "manual");
      reply(res, 200, {{"success", true}, {"challenge", raised.id}});
      // A message per device of the user: moved along, never copied.
      res.after = [this, raised = std::move(raised)] {
        announceChallenge(service_, hub_, metrics_, raised);
      };
    } else if (path == "/admin/challenges/resolve" && post) {
      const json body = parseObject(req.body);
      const std::string clientId = clientIdOf(body);
      const std::string challenge = requiredString(body, "challenge", /*nonEmpty=*/true, 64);
      if (!isServiceId(challenge, "ch_") || !service_.resolveChallenge(clientId, challenge))
        return fail(res, 404, "unknown challenge");
      reply(res, 200, {{"success", true}});
    } else {
      fail(res, 404, "not found");
    }
  } catch (const BadRequest& bad) {
    fail(res, 400, bad.error);
  }
}

}  // namespace zelk::server
