// SPDX-License-Identifier: Apache-2.0
#include "routes/admin_routes.hpp"

#include <charconv>

#include "realtime/push.hpp"
#include "routes/json_input.hpp"
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

std::size_t limitOf(const http::Request& req) {
  const std::string text = req.param("limit").value_or("100");
  std::size_t limit = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), limit);
  if (error != std::errc{} || end != text.data() + text.size() || limit < 1 || limit > 1000)
    throw BadRequest{"limit must be a whole number from 1 to 1000"};
  return limit;
}

json outboxJSON(const OutboxMessage& m) {
  // The payload is left out: a pending code's holds the code.
  return {{"id", m.id},
          {"kind", m.kind},
          {"client_id", m.project},
          {"state", outboxStateName(m.state)},
          {"attempts", m.attempts},
          {"created_at", isoTimeMillis(m.createdAt)},
          {m.state == OutboxState::pending ? "next_attempt_at" : "ended_at",
           isoTimeMillis(m.nextAttemptAt)},
          {"last_error", m.lastError}};
}

json summaryJSON(const UserSummary& user) {
  return {
      {"user", user.user}, {"email", user.email}, {"phone", user.phone}, {"devices", user.devices}};
}

json overrideJSON(const std::optional<LimitOverride>& limits) {
  if (!limits) return nullptr;
  json shown = json::object();
  for (auto [key, value] :
       {std::pair{"overall_limit", limits->overall}, std::pair{"mobile_limit", limits->mobile},
        std::pair{"tablet_limit", limits->tablet}, std::pair{"computer_limit", limits->computer}}) {
    if (value) shown[key] = *value;
  }
  shown["until"] =
      limits->until == Clock::time_point{} ? json(nullptr) : json(isoTimeMillis(limits->until));
  return shown;
}

// Who made a change through this API, and from where, as its audit entry tells.
json actorOf(const http::Request& req, json detail = json::object()) {
  detail["actor"] = "admin token";
  detail["source"] = req.peer;
  return detail;
}

json auditJSON(const AuditEntry& entry) {
  return {{"seq", entry.seq},   {"time", isoTimeMillis(entry.at)}, {"client_id", entry.project},
          {"kind", entry.kind}, {"subject", entry.subject},        {"detail", entry.detail}};
}

}  // namespace

bool AdminRoutes::authorized(const http::Request& req) const {
  const std::string value = req.header("Authorization");
  constexpr std::string_view kScheme = "Bearer ";
  if (!std::string_view(value).starts_with(kScheme)) return false;
  const std::string_view given = std::string_view(value).substr(kScheme.size());
  return sameSecret(given, token_);
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
      const bool replace = optionalBool(body, "replace").value_or(false);
      ProjectSettings settings;
      if (service_.projectConfigured(clientId)) {
        const ProjectSettings before = service_.projectSettings(clientId);
        // Only the members sent change, unless the whole project is replaced; the secrets are
        // never shown back, so a project sent back as it was read keeps them either way.
        if (!replace) {
          settings = before;
          if (!body.contains("name")) settings.name = before.name == clientId ? "" : before.name;
        }
        settings.webhookSecret = before.webhookSecret;
        settings.userSecret = before.userSecret;
      }
      applyProjectSettings(body, settings);
      checkProjectSettings(settings);
      service_.configureProject(clientId, std::move(settings));
      json project = settingsJSON(service_.projectSettings(clientId));
      service_.recordAudit(clientId, "admin.project", clientId, actorOf(req, project));
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
      service_.recordAudit(clientId, "admin.user", user, actorOf(req));
      reply(res, 200, *service_.userJSON(clientId, user));
    } else if (path == "/admin/user" && get) {
      const std::string clientId = req.param("client_id").value_or("");
      const std::string user = req.param("user").value_or("");
      const auto found = isValidClientId(clientId) && isValidUserName(user)
                             ? service_.userJSON(clientId, user)
                             : std::nullopt;
      if (!found) return fail(res, 404, "unknown user");
      reply(res, 200, *found);
    } else if (path == "/admin/users" && get) {
      const std::string clientId = req.param("client_id").value_or("");
      if (!isValidClientId(clientId) || !service_.projectConfigured(clientId))
        return fail(res, 404, "unknown project");
      const std::string query = req.param("q").value_or("");
      const std::string after = req.param("after").value_or("");
      if (!isValidText(query, 256) || !isValidText(after, 256))
        throw BadRequest{"q and after must be at most 256 bytes of text"};
      const std::size_t limit = limitOf(req);
      json list = json::array();
      const auto found = service_.searchUsers(clientId, query, after, limit);
      for (const UserSummary& user : found) list.push_back(summaryJSON(user));
      json page = {{"users", std::move(list)}};
      page["next_after"] = found.size() == limit ? json(found.back().user) : json(nullptr);
      reply(res, 200, page);
    } else if (path == "/admin/logout" && post && !parseObject(req.body).contains("device")) {
      // Every device of a user, or every one but the device kept.
      const json body = parseObject(req.body);
      const std::string clientId = clientIdOf(body);
      const std::string user = userOf(body);
      const bool all = optionalBool(body, "all").value_or(false);
      const std::string keep = optionalString(body, "all_but", 64);
      if (all == !keep.empty()) throw BadRequest{"give device, all: true or all_but"};
      if (!service_.userJSON(clientId, user)) return fail(res, 404, "unknown user");
      const std::vector<Delivery> logouts = service_.logoutUser(clientId, user, keep);
      json devices = json::array();
      for (const Delivery& logout : logouts) devices.push_back(logout.device);
      service_.recordAudit(clientId, "admin.logout", user,
                           actorOf(req, {{"devices", devices}, {"kept", keep}}));
      const auto delivered = pushLogouts(hub_, metrics_, logouts, "operator");
      reply(res, 200,
            {{"success", true}, {"devices", std::move(devices)}, {"delivered", delivered}});
    } else if (path == "/admin/override" && post) {
      const json body = parseObject(req.body);
      const std::string clientId = clientIdOf(body);
      const std::string user = userOf(body);
      std::optional<LimitOverride> limits;
      if (!optionalBool(body, "clear").value_or(false)) {
        limits.emplace();
        for (auto [key, field] : {std::pair{"overall_limit", &limits->overall},
                                  std::pair{"mobile_limit", &limits->mobile},
                                  std::pair{"tablet_limit", &limits->tablet},
                                  std::pair{"computer_limit", &limits->computer}}) {
          if (const auto limit = optionalInteger(body, key, 0, 1'000'000))
            *field = static_cast<int>(*limit);
        }
        if (!limits->overall && !limits->mobile && !limits->tablet && !limits->computer)
          throw BadRequest{
              "give at least one of overall_limit, mobile_limit, tablet_limit and "
              "computer_limit, or clear: true"};
        if (const auto days = optionalInteger(body, "days", 1, 3650))
          limits->until = Clock::now() + std::chrono::hours(24 * *days);
      }
      if (!service_.setLimitOverride(clientId, user, limits)) return fail(res, 404, "unknown user");
      service_.recordAudit(clientId, "admin.override", user,
                           actorOf(req, {{"limits", overrideJSON(limits)}}));
      reply(res, 200, {{"success", true}, {"limits", overrideJSON(limits)}});
    } else if (path == "/admin/export" && get) {
      const std::string clientId = req.param("client_id").value_or("");
      const std::string user = req.param("user").value_or("");
      auto records = isValidClientId(clientId) && isValidUserName(user)
                         ? service_.exportUser(clientId, user)
                         : std::nullopt;
      if (!records) return fail(res, 404, "unknown user");
      service_.recordAudit(clientId, "admin.export", user, actorOf(req));
      reply(res, 200, *records);
    } else if (path == "/admin/erase" && post) {
      const json body = parseObject(req.body);
      const std::string clientId = clientIdOf(body);
      const std::string user = userOf(body);
      const auto logouts = service_.eraseUser(clientId, user);
      if (!logouts) return fail(res, 404, "unknown user");
      // Recorded after the erasure, under no user: it is the one entry that names nobody.
      service_.recordAudit(clientId, "admin.erase", "",
                           actorOf(req, {{"devices", logouts->size()}}));
      const auto delivered = pushLogouts(hub_, metrics_, *logouts, "operator");
      reply(res, 200, {{"success", true}, {"delivered", delivered}});
    } else if (path == "/admin/projects/delete" && post) {
      const json body = parseObject(req.body);
      const std::string clientId = clientIdOf(body);
      if (optionalString(body, "confirm", 256) != clientId)
        throw BadRequest{"confirm must repeat the client_id of the project to delete"};
      if (!service_.deleteProject(clientId)) return fail(res, 404, "unknown project");
      service_.recordAudit("", "admin.project_deleted", clientId, actorOf(req));
      reply(res, 200, {{"success", true}});
    } else if (path == "/admin/logout" && post) {
      const json body = parseObject(req.body);
      const std::string clientId = clientIdOf(body);
      const std::string device = requiredString(body, "device", /*nonEmpty=*/true, 64);
      const auto owner =
          isServiceId(device, "dev_") ? service_.ownerOf(clientId, device) : std::nullopt;
      if (!owner) return fail(res, 404, "unknown device");
      const DetachResult result = service_.detach(clientId, *owner, device, /*byOperator=*/true);
      if (!result.found) return fail(res, 404, "unknown device");
      service_.recordAudit(clientId, "admin.logout", device, actorOf(req, {{"user", *owner}}));
      const auto delivered = pushLogouts(hub_, metrics_, {result.logout}, "operator");
      reply(res, 200,
            {{"success", true}, {"device_id", device}, {"user", *owner}, {"delivered", delivered}});
    } else if (path == "/admin/challenges" && post) {
      const json body = parseObject(req.body);
      const std::string clientId = clientIdOf(body);
      const std::string user = userOf(body);
      if (!service_.projectConfigured(clientId)) return fail(res, 404, "unknown project");
      RaisedChallenge raised = service_.raiseChallenge(clientId, user, "manual");
      service_.recordAudit(clientId, "admin.challenge", user,
                           actorOf(req, {{"challenge", raised.id}}));
      reply(res, 200, {{"success", true}, {"challenge", raised.id}});
      // A message per device of the user: moved along, never copied.
      res.after = [this, raised = std::move(raised)] {
        announceChallenge(hub_, metrics_, raised, service_.repeatOpenChallenges());
      };
    } else if (path == "/admin/challenges/resolve" && post) {
      const json body = parseObject(req.body);
      const std::string clientId = clientIdOf(body);
      const std::string challenge = requiredString(body, "challenge", /*nonEmpty=*/true, 64);
      if (!isServiceId(challenge, "ch_") || !service_.resolveChallenge(clientId, challenge))
        return fail(res, 404, "unknown challenge");
      service_.recordAudit(clientId, "admin.resolve", challenge, actorOf(req));
      reply(res, 200, {{"success", true}});
    } else if (path == "/admin/outbox" && get) {
      std::optional<OutboxState> state;
      if (const auto name = req.param("state"); name && !name->empty()) {
        state = outboxStateFromName(*name);
        if (!state) throw BadRequest{"state must be pending, done or failed"};
      }
      json list = json::array();
      for (const OutboxMessage& m : service_.store().messages(state, limitOf(req)))
        list.push_back(outboxJSON(m));
      reply(res, 200, {{"messages", std::move(list)}});
    } else if (path == "/admin/audit" && get) {
      const std::string project = req.param("client_id").value_or("");
      std::uint64_t before = 0;
      if (const auto text = req.param("before"); text && !text->empty()) {
        const auto [end, error] =
            std::from_chars(text->data(), text->data() + text->size(), before);
        if (error != std::errc{} || end != text->data() + text->size())
          throw BadRequest{"before must be the seq of an entry"};
      }
      const std::size_t limit = limitOf(req);
      json list = json::array();
      std::uint64_t last = 0;
      const auto entries = service_.store().auditEntries(project, before, limit);
      for (const AuditEntry& entry : entries) {
        list.push_back(auditJSON(entry));
        last = entry.seq;
      }
      json page = {{"entries", std::move(list)}};
      // The next page: the entries before the last one of this page.
      page["next_before"] = entries.size() == limit ? json(last) : json(nullptr);
      reply(res, 200, page);
    } else {
      fail(res, 404, "not found");
    }
  } catch (const BadRequest& bad) {
    fail(res, 400, bad.error);
  }
}

}  // namespace zelk::server
