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

}  // namespace

// Who made a change through this API, and from where, as its audit entry tells.
json AdminRoutes::actorOf(const Caller& caller, const http::Request& req, json detail) {
  detail["actor"] = caller.actor;
  detail["source"] = req.peer;
  return detail;
}

namespace {

json auditJSON(const AuditEntry& entry) {
  return {{"seq", entry.seq},   {"time", isoTimeMillis(entry.at)}, {"client_id", entry.project},
          {"kind", entry.kind}, {"subject", entry.subject},        {"detail", entry.detail}};
}

}  // namespace

std::optional<AdminRoutes::Caller> AdminRoutes::callerOf(const http::Request& req) const {
  const std::string value = req.header("Authorization");
  constexpr std::string_view kScheme = "Bearer ";
  if (!std::string_view(value).starts_with(kScheme)) return std::nullopt;
  const std::string given = value.substr(kScheme.size());
  if (sameSecret(given, token_)) return Caller{"admin token", ""};
  // A project's key, looked up in the store on every request: a key revoked on one instance is
  // refused by every other at once.
  if (!isProjectKey(given)) return std::nullopt;
  const std::optional<ProjectKey> key = service_.projectKey(given);
  if (!key) return std::nullopt;
  return Caller{"key " + key->id, key->project};
}

const std::vector<AdminRoutes::Route>& AdminRoutes::table() {
  // What a project's key may do: register and change users' contacts, sign out devices and read
  // a user, of its own project.
  static const std::vector<Route> routes = {
      {"GET", "/admin/projects", &AdminRoutes::listProjects, false},
      {"POST", "/admin/projects", &AdminRoutes::putProject, false},
      {"POST", "/admin/projects/delete", &AdminRoutes::deleteProject, false},
      {"POST", "/admin/users", &AdminRoutes::putUser, true},
      {"GET", "/admin/users", &AdminRoutes::searchUsers, false},
      {"GET", "/admin/user", &AdminRoutes::showUser, true},
      {"GET", "/admin/export", &AdminRoutes::exportUser, false},
      {"POST", "/admin/erase", &AdminRoutes::eraseUser, false},
      {"POST", "/admin/override", &AdminRoutes::override, false},
      {"POST", "/admin/logout", &AdminRoutes::logout, true},
      {"POST", "/admin/challenges", &AdminRoutes::raiseChallenge, false},
      {"POST", "/admin/challenges/resolve", &AdminRoutes::resolveChallenge, false},
      {"GET", "/admin/outbox", &AdminRoutes::outbox, false},
      {"POST", "/admin/outbox/retry", &AdminRoutes::retryMessage, false},
      {"GET", "/admin/audit", &AdminRoutes::audit, false},
      {"GET", "/admin/suspects", &AdminRoutes::suspects, false},
      {"GET", "/admin/keys", &AdminRoutes::listKeys, false},
      {"POST", "/admin/keys", &AdminRoutes::makeKey, false},
      {"POST", "/admin/keys/revoke", &AdminRoutes::revokeKey, false},
      {"GET", "/admin/operators", &AdminRoutes::listOperators, false},
      {"POST", "/admin/operators", &AdminRoutes::addOperator, false},
  };
  return routes;
}

std::vector<std::pair<std::string, std::string>> AdminRoutes::routes() {
  std::vector<std::pair<std::string, std::string>> listed;
  for (const Route& route : table()) listed.emplace_back(route.method, route.path);
  return listed;
}

void AdminRoutes::handle(const http::Request& req, http::Response& res) {
  if (token_.empty()) return fail(res, 404, "not found");
  const std::optional<Caller> caller = callerOf(req);
  if (!caller) {
    res.headers.emplace_back("WWW-Authenticate", "Bearer");
    return fail(res, 401, "missing or wrong admin token");
  }
  dispatch(req, res, *caller);
}

void AdminRoutes::perform(const http::Request& req, http::Response& res, const std::string& actor) {
  dispatch(req, res, Caller{actor, ""});
}

void AdminRoutes::dispatch(const http::Request& req, http::Response& res, const Caller& caller) {
  const auto& routes = table();
  const auto route = std::find_if(routes.begin(), routes.end(), [&](const Route& each) {
    return each.path == req.path && each.method == req.method;
  });
  if (route == routes.end()) return fail(res, 404, "not found");
  try {
    if (!caller.project.empty()) {
      if (!route->forKeys)
        return fail(res, 403,
                    "a project key may register contacts, sign out devices and read a user, "
                    "nothing else");
      const std::string clientId = req.method == "GET"
                                       ? req.param("client_id").value_or("")
                                       : parseObject(req.body).value("client_id", "");
      if (clientId != caller.project) return fail(res, 403, "this key is for another project");
    }
    (this->*route->handler)(req, res, caller);
  } catch (const BadRequest& bad) {
    fail(res, 400, bad.error);
  }
}

void AdminRoutes::listProjects(const http::Request&, http::Response& res, const Caller&) {
  reply(res, 200, {{"projects", service_.projectsJSON()}});
}

void AdminRoutes::putProject(const http::Request& req, http::Response& res, const Caller& caller) {
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
  service_.recordAudit(clientId, "admin.project", clientId, actorOf(caller, req, project));
  project["client_id"] = clientId;
  reply(res, 200, {{"success", true}, {"project", std::move(project)}});
}

void AdminRoutes::putUser(const http::Request& req, http::Response& res, const Caller& caller) {
  const json body = parseObject(req.body);
  const std::string clientId = clientIdOf(body);
  const std::string user = userOf(body);
  if (!service_.projectConfigured(clientId)) return fail(res, 404, "unknown project");
  UserProfile profile = service_.userProfile(clientId, user);
  if (body.contains("email")) profile.email = optionalString(body, "email", 256);
  if (body.contains("phone")) profile.phone = optionalString(body, "phone", 64);
  service_.configureUser(clientId, user, profile);
  service_.recordAudit(clientId, "admin.user", user, actorOf(caller, req));
  reply(res, 200, *service_.userJSON(clientId, user));
}

void AdminRoutes::showUser(const http::Request& req, http::Response& res, const Caller&) {
  const std::string clientId = req.param("client_id").value_or("");
  const std::string user = req.param("user").value_or("");
  const auto found = isValidClientId(clientId) && isValidUserName(user)
                         ? service_.userJSON(clientId, user)
                         : std::nullopt;
  if (!found) return fail(res, 404, "unknown user");
  reply(res, 200, *found);
}

void AdminRoutes::searchUsers(const http::Request& req, http::Response& res, const Caller&) {
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
}

void AdminRoutes::override(const http::Request& req, http::Response& res, const Caller& caller) {
  const json body = parseObject(req.body);
  const std::string clientId = clientIdOf(body);
  const std::string user = userOf(body);
  std::optional<LimitOverride> limits;
  if (!optionalBool(body, "clear").value_or(false)) {
    limits.emplace();
    for (auto [key, field] :
         {std::pair{"overall_limit", &limits->overall}, std::pair{"mobile_limit", &limits->mobile},
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
                       actorOf(caller, req, {{"limits", overrideJSON(limits)}}));
  reply(res, 200, {{"success", true}, {"limits", overrideJSON(limits)}});
}

void AdminRoutes::exportUser(const http::Request& req, http::Response& res, const Caller& caller) {
  const std::string clientId = req.param("client_id").value_or("");
  const std::string user = req.param("user").value_or("");
  auto records = isValidClientId(clientId) && isValidUserName(user)
                     ? service_.exportUser(clientId, user)
                     : std::nullopt;
  if (!records) return fail(res, 404, "unknown user");
  service_.recordAudit(clientId, "admin.export", user, actorOf(caller, req));
  reply(res, 200, *records);
}

void AdminRoutes::eraseUser(const http::Request& req, http::Response& res, const Caller& caller) {
  const json body = parseObject(req.body);
  const std::string clientId = clientIdOf(body);
  const std::string user = userOf(body);
  const auto logouts = service_.eraseUser(clientId, user);
  if (!logouts) return fail(res, 404, "unknown user");
  // Recorded after the erasure, under no user: it is the one entry that names nobody.
  service_.recordAudit(clientId, "admin.erase", "",
                       actorOf(caller, req, {{"devices", logouts->size()}}));
  const auto delivered = pushLogouts(hub_, metrics_, *logouts, "operator");
  reply(res, 200, {{"success", true}, {"delivered", delivered}});
}

void AdminRoutes::deleteProject(const http::Request& req, http::Response& res,
                                const Caller& caller) {
  const json body = parseObject(req.body);
  const std::string clientId = clientIdOf(body);
  if (optionalString(body, "confirm", 256) != clientId)
    throw BadRequest{"confirm must repeat the client_id of the project to delete"};
  if (!service_.deleteProject(clientId)) return fail(res, 404, "unknown project");
  service_.recordAudit("", "admin.project_deleted", clientId, actorOf(caller, req));
  reply(res, 200, {{"success", true}});
}

void AdminRoutes::raiseChallenge(const http::Request& req, http::Response& res,
                                 const Caller& caller) {
  const json body = parseObject(req.body);
  const std::string clientId = clientIdOf(body);
  const std::string user = userOf(body);
  if (!service_.projectConfigured(clientId)) return fail(res, 404, "unknown project");
  RaisedChallenge raised = service_.raiseChallenge(clientId, user, "manual");
  service_.recordAudit(clientId, "admin.challenge", user,
                       actorOf(caller, req, {{"challenge", raised.id}}));
  reply(res, 200, {{"success", true}, {"challenge", raised.id}});
  // A message per device of the user: moved along, never copied.
  res.after = [this, raised = std::move(raised)] {
    announceChallenge(hub_, metrics_, raised, service_.repeatOpenChallenges());
  };
}

void AdminRoutes::resolveChallenge(const http::Request& req, http::Response& res,
                                   const Caller& caller) {
  const json body = parseObject(req.body);
  const std::string clientId = clientIdOf(body);
  const std::string challenge = requiredString(body, "challenge", /*nonEmpty=*/true, 64);
  if (!isServiceId(challenge, "ch_") || !service_.resolveChallenge(clientId, challenge))
    return fail(res, 404, "unknown challenge");
  service_.recordAudit(clientId, "admin.resolve", challenge, actorOf(caller, req));
  reply(res, 200, {{"success", true}});
}

void AdminRoutes::outbox(const http::Request& req, http::Response& res, const Caller&) {
  std::optional<OutboxState> state;
  if (const auto name = req.param("state"); name && !name->empty()) {
    state = outboxStateFromName(*name);
    if (!state) throw BadRequest{"state must be pending, done or failed"};
  }
  json list = json::array();
  for (const OutboxMessage& m : service_.store().messages(state, limitOf(req)))
    list.push_back(outboxJSON(m));
  reply(res, 200, {{"messages", std::move(list)}});
}

void AdminRoutes::retryMessage(const http::Request& req, http::Response& res,
                               const Caller& caller) {
  const json body = parseObject(req.body);
  const std::string id = requiredString(body, "id", /*nonEmpty=*/true, 128);
  if (!service_.retryWebhook(id)) return fail(res, 404, "no failed webhook event of that id");
  service_.recordAudit("", "admin.outbox_retry", id, actorOf(caller, req));
  reply(res, 200, {{"success", true}, {"id", id}});
}

void AdminRoutes::audit(const http::Request& req, http::Response& res, const Caller&) {
  const std::string project = req.param("client_id").value_or("");
  std::uint64_t before = 0;
  if (const auto text = req.param("before"); text && !text->empty()) {
    const auto [end, error] = std::from_chars(text->data(), text->data() + text->size(), before);
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
}

void AdminRoutes::logout(const http::Request& req, http::Response& res, const Caller& caller) {
  if (!parseObject(req.body).contains("device")) return logoutUser(req, res, caller);
  const json body = parseObject(req.body);
  const std::string clientId = clientIdOf(body);
  const std::string device = requiredString(body, "device", /*nonEmpty=*/true, 64);
  const auto owner =
      isServiceId(device, "dev_") ? service_.ownerOf(clientId, device) : std::nullopt;
  if (!owner) return fail(res, 404, "unknown device");
  const DetachResult result = service_.detach(clientId, *owner, device, /*byOperator=*/true);
  if (!result.found) return fail(res, 404, "unknown device");
  service_.recordAudit(clientId, "admin.logout", device, actorOf(caller, req, {{"user", *owner}}));
  const auto delivered = pushLogouts(hub_, metrics_, {result.logout}, "operator");
  reply(res, 200,
        {{"success", true}, {"device_id", device}, {"user", *owner}, {"delivered", delivered}});
}

// Every device of a user, or every one but the device kept.
void AdminRoutes::logoutUser(const http::Request& req, http::Response& res, const Caller& caller) {
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
                       actorOf(caller, req, {{"devices", devices}, {"kept", keep}}));
  const auto delivered = pushLogouts(hub_, metrics_, logouts, "operator");
  reply(res, 200, {{"success", true}, {"devices", std::move(devices)}, {"delivered", delivered}});
}

namespace {

// The client id a GET names, for a project that is configured.
std::optional<std::string> projectOf(const http::Request& req, Service& service) {
  const std::string clientId = req.param("client_id").value_or("");
  if (!isValidClientId(clientId) || !service.projectConfigured(clientId)) return std::nullopt;
  return clientId;
}

}  // namespace

void AdminRoutes::suspects(const http::Request& req, http::Response& res, const Caller&) {
  const auto clientId = projectOf(req, service_);
  if (!clientId) return fail(res, 404, "unknown project");
  int days = 7;
  if (const auto text = req.param("days"); text && !text->empty()) {
    const auto [end, error] = std::from_chars(text->data(), text->data() + text->size(), days);
    if (error != std::errc{} || end != text->data() + text->size() || days < 1 || days > 365)
      throw BadRequest{"days must be a whole number from 1 to 365"};
  }
  json list = json::array();
  for (const SuspectCounts& user : service_.suspects(*clientId, days, limitOf(req)))
    list.push_back({{"user", user.user},
                    {"challenges", user.challenges},
                    {"new_devices", user.newDevices},
                    {"refused_changes", user.refusedChanges}});
  reply(res, 200, {{"users", std::move(list)}});
}

void AdminRoutes::listKeys(const http::Request& req, http::Response& res, const Caller&) {
  const auto clientId = projectOf(req, service_);
  if (!clientId) return fail(res, 404, "unknown project");
  json list = json::array();
  for (const ProjectKey& key : service_.projectKeys(*clientId)) {
    list.push_back({{"id", key.id},
                    {"created_at", isoTimeMillis(key.createdAt)},
                    {"last_used_at", key.lastUsedAt == Clock::time_point{}
                                         ? json(nullptr)
                                         : json(isoTimeMillis(key.lastUsedAt))}});
  }
  reply(res, 200, {{"keys", std::move(list)}});
}

void AdminRoutes::makeKey(const http::Request& req, http::Response& res, const Caller& caller) {
  const json body = parseObject(req.body);
  const std::string clientId = clientIdOf(body);
  if (!service_.projectConfigured(clientId)) return fail(res, 404, "unknown project");
  auto made = service_.makeProjectKey(clientId);
  if (!made)
    return fail(res, 409,
                "the project has two keys already: revoke the older one once the new one is in "
                "use");
  service_.recordAudit(clientId, "admin.key_made", made->first.id, actorOf(caller, req));
  reply(res, 200, {{"id", made->first.id}, {"key", made->second}});
}

void AdminRoutes::revokeKey(const http::Request& req, http::Response& res, const Caller& caller) {
  const json body = parseObject(req.body);
  const std::string clientId = clientIdOf(body);
  const std::string id = requiredString(body, "id", /*nonEmpty=*/true, 64);
  if (!service_.revokeProjectKey(clientId, id)) return fail(res, 404, "unknown key");
  service_.recordAudit(clientId, "admin.key_revoked", id, actorOf(caller, req));
  reply(res, 200, {{"success", true}});
}

}  // namespace zelk::server

namespace zelk::server {

void AdminRoutes::listOperators(const http::Request&, http::Response& res, const Caller&) {
  json list = json::array();
  for (const OperatorAccount& account : accounts_.list())
    list.push_back({{"name", account.name},
                    {"role", account.role},
                    {"created_at", isoTimeMillis(account.createdAt)},
                    {"password_set", !account.passwordHash.empty()}});
  reply(res, 200, {{"operators", std::move(list)}});
}

void AdminRoutes::addOperator(const http::Request& req, http::Response& res, const Caller& caller) {
  const json body = parseObject(req.body);
  const std::string name = requiredString(body, "name", /*nonEmpty=*/true, 64);
  if (!OperatorAccounts::validName(name))
    throw BadRequest{"name must be 1 to 64 letters, digits, '.', '_', '-' or '@'"};
  const auto role = operatorRoleNamed(requiredString(body, "role", /*nonEmpty=*/true, 16));
  if (!role) throw BadRequest{"role must be owner, operator or viewer"};
  const std::string token = accounts_.add(name, *role);
  const std::optional<OperatorAccount> account = accounts_.find(name);
  service_.recordAudit("", "admin.operator", name,
                       actorOf(caller, req, {{"role", operatorRoleName(*role)}}));
  reply(res, 200,
        {{"name", name},
         {"role", operatorRoleName(*role)},
         {"setup_token", token},
         {"setup_until", account ? json(isoTimeMillis(account->setupUntil)) : json(nullptr)}});
}

}  // namespace zelk::server
