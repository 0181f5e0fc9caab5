// SPDX-License-Identifier: Apache-2.0
#include "routes/console_routes.hpp"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <map>
#include <set>

#include "routes/json_input.hpp"
#include "service/ids.hpp"

namespace zelk::server {

std::string_view consoleStyle();

namespace {

using nlohmann::json;

constexpr std::string_view kCookie = "zelk_console";

std::string esc(std::string_view text) {
  return escapeHTML(text);
}

std::string enc(std::string_view text) {
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
}

std::string text(const json& value) {
  if (value.is_string()) return value.get<std::string>();
  if (value.is_null()) return "";
  return value.dump();
}

// A query string made of `pairs`, leaving out the empty ones.
std::string query(std::initializer_list<std::pair<std::string_view, std::string>> pairs) {
  std::string out;
  for (const auto& [key, value] : pairs) {
    if (value.empty()) continue;
    if (!out.empty()) out += '&';
    out.append(key);
    out += '=';
    out += enc(value);
  }
  return out;
}

// The fields of a posted form, read as a query string is.
http::Request formOf(const http::Request& req) {
  http::Request form;
  form.query = req.body;
  return form;
}

std::string cookieOf(const http::Request& req) {
  const std::string header = req.header("Cookie");
  std::string_view rest = header;
  while (!rest.empty()) {
    const auto end = rest.find(';');
    std::string_view part = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view{} : rest.substr(end + 1);
    while (!part.empty() && part.front() == ' ') part.remove_prefix(1);
    if (part.size() > kCookie.size() && part.starts_with(kCookie) && part[kCookie.size()] == '=')
      return std::string(part.substr(kCookie.size() + 1));
  }
  return {};
}

// Whether the request came from a page of another origin: its Origin names another host, or
// the browser says it is cross-site. Such a request is refused whatever cookie it carries.
bool fromElsewhere(const http::Request& req) {
  // A browser that tells says it plainly; others are judged by the Origin they send.
  const std::string site = req.header("Sec-Fetch-Site");
  if (!site.empty()) return site != "same-origin" && site != "none";
  const std::string origin = req.header("Origin");
  if (origin.empty()) return false;
  const auto scheme = origin.find("://");
  if (scheme == std::string::npos) return true;
  return origin.substr(scheme + 3) != req.header("Host");
}

bool overTLS(const http::Request& req, bool tls) {
  return tls || req.header("X-Forwarded-Proto") == "https";
}

void secureHeaders(http::Response& res) {
  res.headers.emplace_back("Content-Security-Policy",
                           "default-src 'none'; style-src 'self'; img-src 'self' data:; "
                           "form-action 'self'; frame-ancestors 'none'; base-uri 'none'");
  res.headers.emplace_back("X-Content-Type-Options", "nosniff");
  // Not "no-referrer": browsers then send "Origin: null" with the console's own forms.
  res.headers.emplace_back("Referrer-Policy", "same-origin");
  res.headers.emplace_back("Cache-Control", "no-store");
}

void html(http::Response& res, int status, std::string body) {
  res.status = status;
  res.contentType = "text/html; charset=utf-8";
  res.body = std::move(body);
  secureHeaders(res);
}

void redirect(http::Response& res, const std::string& to) {
  res.status = 303;
  res.contentType = "text/plain; charset=utf-8";
  res.body = "See " + to + "\n";
  res.headers.emplace_back("Location", to);
  secureHeaders(res);
}

bool can(const SignedIn& who, OperatorRole role) {
  return static_cast<int>(who.role) >= static_cast<int>(role);
}

std::string csrfField(const SignedIn& who) {
  return "<input type=\"hidden\" name=\"csrf\" value=\"" + esc(who.csrf) + "\">";
}

std::string hidden(std::string_view name, std::string_view value) {
  return "<input type=\"hidden\" name=\"" + esc(name) + "\" value=\"" + esc(value) + "\">";
}

// A form posting one action, with its hidden fields, `inputs` shown before the button.
std::string actionForm(const SignedIn& who, std::string_view action,
                       std::initializer_list<std::pair<std::string_view, std::string>> fields,
                       std::string_view button, std::string_view inputs = {}, bool danger = false) {
  const bool wide = inputs.find("class=\"grid\"") != std::string_view::npos;
  std::string out = std::string("<form method=\"post\" action=\"/console/act\" class=\"action") +
                    (wide ? " wide" : "") + "\">" + csrfField(who) + hidden("action", action);
  for (const auto& [name, value] : fields) out += hidden(name, value);
  out += std::string(inputs) + "<button type=\"submit\"" + (danger ? " class=\"danger\"" : "") +
         ">" + esc(button) + "</button></form>";
  return out;
}

std::string labelled(std::string_view label, std::string_view name, std::string_view value = {},
                     std::string_view type = "text", bool required = false) {
  return "<label>" + esc(label) + " <input type=\"" + std::string(type) + "\" name=\"" + esc(name) +
         "\" value=\"" + esc(value) + "\"" + (required ? " required" : "") + "></label>";
}

std::string note(const http::Request& req) {
  const std::string said = req.param("note").value_or("");
  if (said.empty()) return {};
  const bool bad = req.param("bad").value_or("") == "1";
  return std::string("<p class=\"note") + (bad ? " bad" : "") + "\" role=\"status\">" + esc(said) +
         "</p>";
}

std::string layout(std::string_view title, const SignedIn* who, std::string_view body,
                   std::string_view said = {}) {
  std::string out =
      "<!doctype html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
      "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
      "<title>" +
      esc(title) +
      " · zelk console</title><link rel=\"stylesheet\" href=\"/console/style.css\"></head><body>";
  if (who) {
    out +=
        "<header><nav><a href=\"/console/\">Overview</a><a href=\"/console/projects\">Projects</a>"
        "<a href=\"/console/users\">Users</a><a href=\"/console/suspects\">Suspects</a>"
        "<a href=\"/console/outbox\">Outbox</a><a href=\"/console/audit\">Audit log</a></nav>"
        "<div class=\"who\"><span>" +
        esc(who->name) + " (" + operatorRoleName(who->role) +
        ")</span><form method=\"post\" action=\"/console/logout\">" + csrfField(*who) +
        "<button type=\"submit\">Sign out</button></form></div></header>";
  }
  out += "<main><h1>" + esc(title) + "</h1>" + std::string(said) + std::string(body) +
         "</main></body></html>\n";
  return out;
}

std::string errorOf(const json& answer, int status) {
  if (answer.is_object() && answer.contains("error") && answer["error"].is_string())
    return answer["error"].get<std::string>();
  return "The call failed (HTTP " + std::to_string(status) + ").";
}

// A time as the pages show it: "2026-12-09 21:55:01 UTC".
std::string shownTime(const json& value) {
  std::string when = text(value);
  if (when.size() >= 19 && when[10] == 'T') return when.substr(0, 10) + " " + when.substr(11, 8);
  return when;
}

std::string projectPicker(const std::vector<std::string>& ids, const std::string& chosen) {
  std::string out = "<label>Project <select name=\"client_id\">";
  for (const std::string& id : ids)
    out += "<option value=\"" + esc(id) + "\"" + (id == chosen ? " selected" : "") + ">" + esc(id) +
           "</option>";
  return out + "</select></label>";
}

std::string htmlTable(std::initializer_list<std::string_view> heads, const std::string& rows,
                      std::string_view empty) {
  if (rows.empty()) return "<p class=\"empty\">" + esc(empty) + "</p>";
  std::string out = "<div class=\"scroll\"><table><thead><tr>";
  for (std::string_view head : heads) out += "<th>" + esc(head) + "</th>";
  return out + "</tr></thead><tbody>" + rows + "</tbody></table></div>";
}

std::string cell(std::string_view value) {
  return "<td>" + esc(value) + "</td>";
}

// A cell naming a user, linked to their page.
std::string userCell(const std::string& clientId, const std::string& user) {
  return "<td><a href=\"/console/user?" + query({{"client_id", clientId}, {"user", user}}) + "\">" +
         esc(user) + "</a></td>";
}

// The bars of the attaches chart, one a minute, as an inline SVG.
std::string chart(const std::vector<std::size_t>& counts) {
  const std::size_t most = counts.empty() ? 0 : *std::max_element(counts.begin(), counts.end());
  const int width = static_cast<int>(counts.size()) * 5, height = 60;
  std::string out = "<svg class=\"chart\" viewBox=\"0 0 " + std::to_string(width) + " " +
                    std::to_string(height) + "\" role=\"img\" aria-label=\"Attaches per minute\">";
  for (std::size_t i = 0; i < counts.size(); ++i) {
    const int bar = most == 0 ? 0 : static_cast<int>(counts[i] * (height - 2) / most);
    out += "<rect x=\"" + std::to_string(i * 5) + "\" y=\"" + std::to_string(height - bar) +
           "\" width=\"4\" height=\"" + std::to_string(bar) + "\"><title>" +
           std::to_string(counts[i]) + "</title></rect>";
  }
  return out + "</svg>";
}

// The members of a project the edit form shows, and how each is sent back.
enum class Kind { text, number, flag, secret, policy };
struct Field {
  const char* member;
  const char* label;
  Kind kind;
};
constexpr Field kProjectFields[] = {
    {"name", "Name", Kind::text},
    {"overall_limit", "Devices at once, overall", Kind::number},
    {"mobile_limit", "Phones at once", Kind::number},
    {"tablet_limit", "Tablets at once", Kind::number},
    {"computer_limit", "Computers at once", Kind::number},
    {"limit_policy", "Over the limit", Kind::policy},
    {"require_verification", "Verify new devices with a code", Kind::flag},
    {"block_over_usage", "Block use over the limit", Kind::flag},
    {"show_contacts", "Show contact details on challenges", Kind::flag},
    {"liveness_grace", "Liveness grace (seconds)", Kind::number},
    {"logo", "Logo URL", Kind::text},
    {"primary_color", "Primary colour", Kind::text},
    {"webhook_url", "Webhook URL", Kind::text},
    {"webhook_secret", "Webhook secret (blank: unchanged)", Kind::secret},
    {"user_secret", "User secret (blank: unchanged)", Kind::secret},
    {"require_signed_users", "Require signed users", Kind::flag},
    {"new_device_notices", "E-mail users about new devices", Kind::flag},
    {"trusted_device_days", "Days a verified device stays trusted", Kind::number},
    {"device_changes_limit", "Device changes allowed", Kind::number},
    {"device_changes_days", "Over days", Kind::number},
};

std::string fieldInput(const Field& field, const json& value) {
  const std::string name = field.member;
  const std::string current = value.is_boolean() ? (value.get<bool>() ? "true" : "false")
                                                 : (field.kind == Kind::secret ? "" : text(value));
  std::string out = "<label>" + esc(field.label) + " ";
  if (field.kind == Kind::flag || field.kind == Kind::policy) {
    const std::vector<std::string> choices =
        field.kind == Kind::flag ? std::vector<std::string>{"true", "false"}
                                 : std::vector<std::string>{"challenge", "evict_oldest"};
    out += "<select name=\"" + esc(name) + "\">";
    for (const std::string& choice : choices)
      out += "<option value=\"" + choice + "\"" + (choice == current ? " selected" : "") + ">" +
             (choice == "true"    ? "yes"
              : choice == "false" ? "no"
                                  : choice) +
             "</option>";
    out += "</select>";
  } else {
    out += "<input name=\"" + esc(name) + "\" value=\"" + esc(current) + "\"" +
           (field.kind == Kind::number ? " inputmode=\"numeric\"" : "") +
           (field.kind == Kind::secret ? " type=\"password\" autocomplete=\"off\"" : "") + ">";
  }
  out += "</label>";
  if (field.kind != Kind::secret) out += hidden("was." + name, current);
  return out;
}

// A form's value for a member, typed as the admin API takes it; nullopt when it is not a number
// that a number must be.
std::optional<json> typed(const Field& field, const std::string& value) {
  if (field.kind == Kind::flag) return json(value == "true");
  if (field.kind != Kind::number) return json(value);
  long long number = 0;
  if (std::sscanf(value.c_str(), "%lld", &number) != 1 ||
      std::to_string(number) != value)  // no trailing text
    return std::nullopt;
  return json(number);
}

}  // namespace

const std::vector<ConsoleRoutes::Route>& ConsoleRoutes::table() {
  static const std::vector<Route> routes = {
      {"GET", "/console/", &ConsoleRoutes::overview},
      {"GET", "/console/projects", &ConsoleRoutes::projects},
      {"GET", "/console/project", &ConsoleRoutes::project},
      {"GET", "/console/users", &ConsoleRoutes::users},
      {"GET", "/console/user", &ConsoleRoutes::user},
      {"GET", "/console/export", &ConsoleRoutes::exportUser},
      {"GET", "/console/suspects", &ConsoleRoutes::suspects},
      {"GET", "/console/outbox", &ConsoleRoutes::outbox},
      {"GET", "/console/audit", &ConsoleRoutes::audit},
      {"POST", "/console/act", &ConsoleRoutes::act},
      {"POST", "/console/logout", &ConsoleRoutes::signOut},
  };
  return routes;
}

std::vector<std::pair<std::string, std::string>> ConsoleRoutes::routes() {
  std::vector<std::pair<std::string, std::string>> listed = {
      {"GET", "/console/login"},  {"POST", "/console/login"},    {"GET", "/console/setup"},
      {"POST", "/console/setup"}, {"GET", "/console/style.css"},
  };
  for (const Route& route : table()) listed.emplace_back(route.method, route.path);
  return listed;
}

void ConsoleRoutes::handle(const http::Request& req, http::Response& res) {
  const std::string& path = req.path;
  if (path == "/console") return redirect(res, "/console/");
  if (path == "/console/style.css" && req.method == "GET") {
    res.status = 200;
    res.contentType = "text/css; charset=utf-8";
    res.body = std::string(consoleStyle());
    res.headers.emplace_back("Cache-Control", "max-age=3600");
    res.headers.emplace_back("X-Content-Type-Options", "nosniff");
    return;
  }
  if (fromElsewhere(req))
    return html(res, 403,
                layout("Refused", nullptr,
                       "<p>This request came from another site. Open the console directly.</p>"));
  if (path == "/console/login") {
    if (req.method == "POST") return signIn(req, res);
    if (req.method == "GET") return signInPage(req, res, {}, false);
  }
  if (path == "/console/setup") {
    if (req.method == "POST") return setup(req, res);
    if (req.method == "GET") return setupPage(req, res, {});
  }
  const auto& routes = table();
  const auto route = std::find_if(routes.begin(), routes.end(), [&](const Route& each) {
    return each.path == path && each.method == req.method;
  });
  if (route == routes.end())
    return html(res, 404, layout("Not found", nullptr, "<p>There is no such page.</p>"));
  const std::optional<SignedIn> who = accounts_.session(cookieOf(req));
  if (!who) {
    if (req.method == "GET") return redirect(res, "/console/login");
    return html(res, 401,
                layout("Signed out", nullptr,
                       "<p>Your session has ended. <a href=\"/console/login\">Sign in</a> "
                       "again.</p>"));
  }
  if (req.method == "POST" && !sameSecret(formOf(req).param("csrf").value_or(""), who->csrf))
    return html(res, 403,
                layout("Refused", &*who,
                       "<p>This form is out of date or was not sent by this console. Reload the "
                       "page and try again.</p>"));
  try {
    (this->*route->page)(req, res, *who);
  } catch (const BadRequest& bad) {
    html(res, 400, layout("Cannot show this", &*who, "<p>" + esc(bad.error) + "</p>"));
  }
}

std::pair<int, json> ConsoleRoutes::admin(const http::Request& original, const SignedIn& who,
                                          const std::string& method, const std::string& path,
                                          const std::string& query, const json& body) {
  http::Request call;
  call.method = method;
  call.path = path;
  call.query = query;
  call.target = query.empty() ? path : path + "?" + query;
  call.body = body.is_null() ? "" : body.dump();
  call.peer = original.peer;
  http::Response answer;
  admin_.perform(call, answer, "operator " + who.name);
  json parsed = json::parse(answer.body, nullptr, /*allow_exceptions=*/false);
  return {answer.status, std::move(parsed)};
}

std::vector<std::string> ConsoleRoutes::projectIds(const http::Request& req, const SignedIn& who) {
  std::vector<std::string> ids;
  const auto [status, answer] = admin(req, who, "GET", "/admin/projects", "");
  if (status != 200) return ids;
  for (const json& project : answer["projects"]) ids.push_back(text(project["client_id"]));
  std::sort(ids.begin(), ids.end());
  return ids;
}

// --- signing in ---

void ConsoleRoutes::signInPage(const http::Request& req, http::Response& res,
                               const std::string& said, bool bad) {
  const std::string name = formOf(req).param("name").value_or(req.param("operator").value_or(""));
  const std::string shown = said.empty()
                                ? ""
                                : std::string("<p class=\"note") +
                                      (bad ? " bad\" role=\"alert\">" : "\" role=\"status\">") +
                                      esc(said) + "</p>";
  html(res, bad && !said.empty() ? 401 : 200,
       layout("Sign in", nullptr,
              "<form method=\"post\" action=\"/console/login\" class=\"stack\">" +
                  labelled("Name", "name", name, "text", true) +
                  labelled("Password", "password", {}, "password", true) +
                  "<button type=\"submit\">Sign in</button></form>",
              shown));
}

void ConsoleRoutes::signIn(const http::Request& req, http::Response& res) {
  const http::Request form = formOf(req);
  const std::string name = form.param("name").value_or("");
  const std::string password = form.param("password").value_or("");
  auto result = accounts_.signIn(name, password, req.peer);
  if (auto* refusal = std::get_if<OperatorAccounts::Refusal>(&result)) {
    signInPage(req, res, refusal->message, true);
    if (refusal->waitSeconds > 0) {
      res.status = 429;
      res.headers.emplace_back("Retry-After", std::to_string(refusal->waitSeconds));
    }
    return;
  }
  const NewSession& made = std::get<NewSession>(result);
  service_.recordAudit("", "console.sign_in", made.who.name,
                       {{"actor", "operator " + made.who.name}, {"source", req.peer}});
  redirect(res, "/console/");
  res.headers.emplace_back("Set-Cookie", std::string(kCookie) + "=" + made.cookie +
                                             "; Path=/console; HttpOnly; SameSite=Strict" +
                                             (overTLS(req, tls_) ? "; Secure" : ""));
}

void ConsoleRoutes::signOut(const http::Request& req, http::Response& res, const SignedIn& who) {
  accounts_.signOut(who);
  redirect(res, "/console/login");
  res.headers.emplace_back("Set-Cookie", std::string(kCookie) +
                                             "=; Path=/console; HttpOnly; SameSite=Strict; "
                                             "Max-Age=0" +
                                             (overTLS(req, tls_) ? "; Secure" : ""));
}

void ConsoleRoutes::setupPage(const http::Request& req, http::Response& res,
                              const std::string& said) {
  const http::Request& from = req.method == "POST" ? formOf(req) : req;
  const std::string name = from.param("operator").value_or("");
  const std::string token = from.param("token").value_or("");
  html(res, said.empty() ? 200 : 400,
       layout(
           "Set your password", nullptr,
           "<form method=\"post\" action=\"/console/setup\" class=\"stack\">" +
               hidden("operator", name) + hidden("token", token) + "<p>Operator <b>" + esc(name) +
               "</b></p>" +
               labelled("New password (12 characters or more)", "password", {}, "password", true) +
               labelled("Again", "again", {}, "password", true) +
               "<button type=\"submit\">Set password</button></form>",
           said.empty() ? "" : "<p class=\"note bad\" role=\"alert\">" + esc(said) + "</p>"));
}

void ConsoleRoutes::setup(const http::Request& req, http::Response& res) {
  const http::Request form = formOf(req);
  const std::string name = form.param("operator").value_or("");
  const std::string password = form.param("password").value_or("");
  if (password != form.param("again").value_or(""))
    return setupPage(req, res, "The two passwords differ.");
  if (auto problem = accounts_.setPassword(name, form.param("token").value_or(""), password))
    return setupPage(req, res, *problem);
  service_.recordAudit("", "console.password", name,
                       {{"actor", "operator " + name}, {"source", req.peer}});
  signInPage(req, res, "Your password is set. Sign in with it.", false);
}

// --- pages ---

void ConsoleRoutes::overview(const http::Request& req, http::Response& res, const SignedIn& who) {
  const OverviewFigures figures = service_.overview(60);
  std::size_t lastHour = 0;
  for (std::size_t count : figures.attachesByMinute) lastHour += count;
  const auto card = [](std::string_view label, std::size_t value) {
    return "<div class=\"card\"><span class=\"value\">" + std::to_string(value) +
           "</span><span class=\"label\">" + esc(label) + "</span></div>";
  };
  std::string body = "<section class=\"cards\">" + card("devices attached", figures.devices) +
                     card("streams open", figures.streams) +
                     card("challenges raised, 24 h", figures.challengesRaised) +
                     card("challenges verified, 24 h", figures.challengesVerified) +
                     card("codes sent, 24 h", figures.codesSent) +
                     card("outbox waiting", figures.outboxPending) +
                     card("outbox failed", figures.outboxFailed) + "</section>";
  body += "<section><h2>Attaches per minute, last hour</h2>" + chart(figures.attachesByMinute) +
          "<p class=\"hint\">" + std::to_string(lastHour) +
          " devices made their latest attach in the last hour; each counts once, at its "
          "latest.</p></section>";
  std::string rows;
  for (const auto& instance : figures.instances)
    rows += "<tr>" + cell(instance.id) + cell(shownTime(isoTimeMillis(instance.startedAt))) +
            cell(shownTime(isoTimeMillis(instance.beatAt))) + "</tr>";
  body += "<section><h2>Instances alive</h2>" +
          htmlTable({"instance", "started", "last beat"}, rows,
                    "No instance has said it is alive lately.") +
          "</section>";
  html(res, 200, layout("Overview", &who, body, note(req)));
}

void ConsoleRoutes::projects(const http::Request& req, http::Response& res, const SignedIn& who) {
  const auto [status, answer] = admin(req, who, "GET", "/admin/projects", "");
  std::string rows;
  if (status == 200) {
    for (const json& p : answer["projects"]) {
      const std::string id = text(p["client_id"]);
      rows += "<tr><td><a href=\"/console/project?" + query({{"client_id", id}}) + "\">" + esc(id) +
              "</a></td>" + cell(text(p["name"])) + cell(text(p["overall_limit"])) +
              cell(text(p["limit_policy"])) + "</tr>";
    }
  }
  std::string body = htmlTable({"client id", "name", "devices at once", "over the limit"}, rows,
                               "No project yet.");
  if (can(who, OperatorRole::owner)) {
    body +=
        "<section><h2>New project</h2>" +
        actionForm(who, "save-project", {}, "Create",
                   labelled("Client id", "client_id", {}, "text", true) + labelled("Name", "name") +
                       labelled("Devices at once", "overall_limit", "3")) +
        "</section>";
  }
  html(res, 200, layout("Projects", &who, body, note(req)));
}

void ConsoleRoutes::project(const http::Request& req, http::Response& res, const SignedIn& who) {
  const std::string clientId = req.param("client_id").value_or("");
  const auto [status, answer] = admin(req, who, "GET", "/admin/projects", "");
  json found;
  if (status == 200)
    for (const json& p : answer["projects"])
      if (text(p["client_id"]) == clientId) found = p;
  if (found.is_null())
    return html(res, 404, layout("Unknown project", &who, "<p>There is no such project.</p>"));
  const bool owner = can(who, OperatorRole::owner);
  std::string body;
  if (owner) {
    std::string inputs;
    for (const Field& field : kProjectFields) inputs += fieldInput(field, found[field.member]);
    body += "<section><h2>Settings</h2>" +
            actionForm(who, "save-project", {{"client_id", clientId}}, "Save changes",
                       "<div class=\"grid\">" + inputs + "</div>") +
            "</section>";
  } else {
    std::string rows;
    for (const Field& field : kProjectFields)
      rows += "<tr>" + cell(field.label) + cell(text(found[field.member])) + "</tr>";
    body += "<section><h2>Settings</h2>" + htmlTable({"setting", "value"}, rows, "") + "</section>";
  }
  const auto [keyStatus, keys] =
      admin(req, who, "GET", "/admin/keys", query({{"client_id", clientId}}));
  std::string rows;
  if (keyStatus == 200) {
    for (const json& key : keys["keys"]) {
      rows += "<tr>" + cell(text(key["id"])) + cell(shownTime(key["created_at"])) +
              cell(shownTime(key["last_used_at"]));
      rows += owner ? "<td>" +
                          actionForm(who, "revoke-key",
                                     {{"client_id", clientId}, {"id", text(key["id"])}}, "Revoke",
                                     {}, true) +
                          "</td>"
                    : "<td></td>";
      rows += "</tr>";
    }
  }
  body +=
      "<section><h2>Keys for the app's backend</h2><p class=\"hint\">A key may register "
      "and change users' contacts, sign out devices and read a user of this project; two "
      "may be valid at once, so that a key is replaced without a moment with none.</p>" +
      htmlTable({"key", "made", "last used", ""}, rows, "No key.");
  if (owner) body += actionForm(who, "make-key", {{"client_id", clientId}}, "Make a key");
  body += "</section>";
  if (owner) {
    body +=
        "<section><h2>Delete the project</h2><p class=\"hint\">This removes its users, "
        "devices and every record of them. Type the client id to confirm.</p>" +
        actionForm(who, "delete-project", {{"client_id", clientId}}, "Delete project",
                   labelled("Client id", "confirm", {}, "text", true), true) +
        "</section>";
  }
  html(res, 200, layout("Project " + clientId, &who, body, note(req)));
}

void ConsoleRoutes::users(const http::Request& req, http::Response& res, const SignedIn& who) {
  const std::vector<std::string> ids = projectIds(req, who);
  std::string clientId = req.param("client_id").value_or("");
  if (clientId.empty() && !ids.empty()) clientId = ids.front();
  const std::string q = req.param("q").value_or("");
  const std::string after = req.param("after").value_or("");
  std::string body = "<form method=\"get\" action=\"/console/users\" class=\"search\">" +
                     projectPicker(ids, clientId) +
                     labelled("ID prefix, e-mail or phone", "q", q, "search") +
                     "<button type=\"submit\">Search</button></form>";
  if (!clientId.empty()) {
    const auto [status, answer] =
        admin(req, who, "GET", "/admin/users",
              query({{"client_id", clientId}, {"q", q}, {"after", after}, {"limit", "50"}}));
    if (status != 200) {
      body += "<p class=\"note bad\">" + esc(errorOf(answer, status)) + "</p>";
    } else {
      std::string rows;
      for (const json& u : answer["users"]) {
        const std::string id = text(u["user"]);
        rows += "<tr>" + userCell(clientId, id) + cell(text(u["email"])) + cell(text(u["phone"])) +
                cell(text(u["devices"])) + "</tr>";
      }
      body += htmlTable({"user", "e-mail", "phone", "devices"}, rows, "No user matches.");
      if (answer.contains("next_after") && answer["next_after"].is_string())
        body += "<p><a href=\"/console/users?" +
                query({{"client_id", clientId}, {"q", q}, {"after", text(answer["next_after"])}}) +
                "\">Next page</a></p>";
    }
  }
  html(res, 200, layout("Users", &who, body, note(req)));
}

void ConsoleRoutes::user(const http::Request& req, http::Response& res, const SignedIn& who) {
  const std::string clientId = req.param("client_id").value_or("");
  const std::string userId = req.param("user").value_or("");
  const std::optional<json> records = isValidClientId(clientId) && isValidUserName(userId)
                                          ? service_.exportUser(clientId, userId)
                                          : std::nullopt;
  if (!records)
    return html(res, 404, layout("Unknown user", &who, "<p>There is no such user.</p>"));
  const bool acts = can(who, OperatorRole::operator_);
  const std::pair<std::string_view, std::string> ids[] = {{"client_id", clientId},
                                                          {"user", userId}};
  std::string body = "<p>E-mail <b>" + esc(text((*records)["email"])) + "</b> · phone <b>" +
                     esc(text((*records)["phone"])) + "</b></p>";
  std::map<std::string, std::string> firstSeen;
  for (const json& known : (*records)["known_devices"])
    firstSeen[text(known["vendor_identifier"])] = shownTime(known["first_seen_at"]);
  std::string rows;
  for (const json& d : (*records)["devices"]) {
    const std::string id = text(d["device_id"]);
    const json& info = d["device_info"];
    const json& device = info.is_object() && info.contains("device") ? info["device"] : json();
    std::string model = device.is_object() ? text(device.value("model", json())) : "";
    std::string place;
    const json& access =
        info.is_object() && info.contains("last_access") ? info["last_access"] : json();
    if (access.is_object() && access.contains("geolocation") && access["geolocation"].is_object()) {
      const json& geo = access["geolocation"];
      place = text(geo.value("city", json()));
      const std::string country = text(geo.value("country", json()));
      if (!country.empty()) place += (place.empty() ? "" : ", ") + country;
    }
    rows += "<tr>" + cell(id) + cell(text(d["type"])) + cell(model) + cell(place) +
            cell(firstSeen[text(d["vendor_identifier"])]) + cell(shownTime(d["last_seen_at"])) +
            cell(hub_.openStreams(id) > 0 ? "open" : "—");
    if (acts) {
      rows += "<td>" +
              actionForm(who, "logout-device", {ids[0], ids[1], {"device", id}}, "Sign out") +
              actionForm(who, "logout-all-but", {ids[0], ids[1], {"keep", id}},
                         "Sign out all but this") +
              "</td>";
    }
    rows += "</tr>";
  }
  body +=
      "<section><h2>Devices</h2>" + htmlTable({"device", "type", "model", "location", "first seen",
                                               "last seen", "stream here", acts ? "actions" : ""},
                                              rows, "No device attached.");
  if (acts && !(*records)["devices"].empty())
    body += actionForm(who, "logout-all", {ids[0], ids[1]}, "Sign out every device", {}, true);
  body += "</section>";

  rows.clear();
  for (const json& c : (*records)["challenges"])
    rows += "<tr>" + cell(text(c.value("challenge", json()))) +
            cell(text(c.value("reason", json()))) + cell(shownTime(c.value("created_at", json()))) +
            cell(c.value("open", false) ? "yes" : "no") +
            cell(c.value("verified", false) ? "yes" : "no") + "</tr>";
  body += "<section><h2>Challenges</h2>" +
          htmlTable({"challenge", "reason", "raised", "open", "verified"}, rows, "No challenge.") +
          "</section>";

  rows.clear();
  std::size_t codes = 0;
  for (const json& entry : (*records)["audit"]) {
    const std::string kind = text(entry["kind"]);
    if (kind == "code.sent") ++codes;
    std::string detail = entry["detail"].is_object() ? entry["detail"].dump() : "";
    if (detail.size() > 160) detail = detail.substr(0, 157) + "...";
    rows += "<tr>" + cell(shownTime(entry["time"])) + cell(kind) + "<td><code>" + esc(detail) +
            "</code></td></tr>";
  }
  body += "<section><h2>Audit entries</h2><p class=\"hint\">" + std::to_string(codes) +
          " codes sent.</p>" + htmlTable({"time", "event", "detail"}, rows, "No entry.") +
          "</section>";

  if (acts) {
    body +=
        "<section><h2>Limit override</h2><p class=\"hint\">This user's own limits, in place of "
        "the project's. Leave a limit blank to keep the project's.</p>" +
        actionForm(who, "override", {ids[0], ids[1]}, "Set override",
                   "<div class=\"grid\">" + labelled("Overall", "overall_limit") +
                       labelled("Phones", "mobile_limit") + labelled("Tablets", "tablet_limit") +
                       labelled("Computers", "computer_limit") +
                       labelled("For days (blank: until cleared)", "days") + "</div>") +
        actionForm(who, "clear-override", {ids[0], ids[1]}, "Clear override") + "</section>";
    body += "<section><h2>Records</h2><p><a class=\"button\" href=\"/console/export?" +
            query({{"client_id", clientId}, {"user", userId}}) +
            "\">Export as JSON</a></p><p class=\"hint\">Erasing signs out every device and "
            "removes everything stored of the user; audit entries stay, under a one-way "
            "pseudonym. Type the user id to confirm.</p>" +
            actionForm(who, "erase", {ids[0], ids[1]}, "Erase user",
                       labelled("User id", "confirm", {}, "text", true), true) +
            "</section>";
  }
  html(res, 200, layout("User " + userId, &who, body, note(req)));
}

void ConsoleRoutes::exportUser(const http::Request& req, http::Response& res, const SignedIn& who) {
  if (!can(who, OperatorRole::operator_))
    return html(res, 403, layout("Refused", &who, "<p>Viewers cannot export records.</p>"));
  http::Response answer;
  http::Request call;
  call.method = "GET";
  call.path = "/admin/export";
  call.query = req.query;
  call.peer = req.peer;
  admin_.perform(call, answer, "operator " + who.name);
  if (answer.status != 200)
    return html(
        res, answer.status,
        layout("Cannot export", &who,
               "<p>" + esc(errorOf(json::parse(answer.body, nullptr, false), answer.status)) +
                   "</p>"));
  res = std::move(answer);
  res.headers.emplace_back("Content-Disposition", "attachment; filename=\"user-records.json\"");
  res.headers.emplace_back("Cache-Control", "no-store");
}

void ConsoleRoutes::suspects(const http::Request& req, http::Response& res, const SignedIn& who) {
  const std::vector<std::string> ids = projectIds(req, who);
  std::string clientId = req.param("client_id").value_or("");
  if (clientId.empty() && !ids.empty()) clientId = ids.front();
  const std::string days = req.param("days").value_or("7");
  std::string body = "<form method=\"get\" action=\"/console/suspects\" class=\"search\">" +
                     projectPicker(ids, clientId) + labelled("Days", "days", days) +
                     "<button type=\"submit\">Show</button></form>";
  if (!clientId.empty()) {
    const auto [status, answer] =
        admin(req, who, "GET", "/admin/suspects",
              query({{"client_id", clientId}, {"days", days}, {"limit", "50"}}));
    if (status != 200) {
      body += "<p class=\"note bad\">" + esc(errorOf(answer, status)) + "</p>";
    } else {
      std::string rows;
      for (const json& u : answer["users"]) {
        const std::string id = text(u["user"]);
        rows += "<tr>" + userCell(clientId, id) + cell(text(u["challenges"])) +
                cell(text(u["new_devices"])) + cell(text(u["refused_changes"])) + "</tr>";
      }
      body += htmlTable({"user", "challenges", "new devices", "refused changes"}, rows,
                        "Nobody stands out.");
    }
  }
  html(res, 200, layout("Suspects", &who, body, note(req)));
}

void ConsoleRoutes::outbox(const http::Request& req, http::Response& res, const SignedIn& who) {
  const std::string state = req.param("state").value_or("");
  std::string body = "<p class=\"tabs\">";
  for (const auto& [value, label] : {std::pair{"", "all"}, std::pair{"pending", "waiting"},
                                     std::pair{"failed", "failed"}, std::pair{"done", "sent"}})
    body += std::string("<a href=\"/console/outbox") + (*value ? "?state=" : "") + value + "\"" +
            (state == value ? " aria-current=\"page\"" : "") + ">" + label + "</a>";
  body += "</p>";
  const auto [status, answer] =
      admin(req, who, "GET", "/admin/outbox", query({{"state", state}, {"limit", "100"}}));
  if (status != 200) {
    body += "<p class=\"note bad\">" + esc(errorOf(answer, status)) + "</p>";
  } else {
    std::string rows;
    for (const json& m : answer["messages"])
      rows +=
          "<tr>" + cell(text(m["kind"])) + cell(text(m["client_id"])) + cell(text(m["state"])) +
          cell(text(m["attempts"])) + cell(shownTime(m["created_at"])) +
          cell(shownTime(m.contains("next_attempt_at") ? m["next_attempt_at"] : m["ended_at"])) +
          cell(text(m["last_error"])) + "<td>" +
          (can(who, OperatorRole::operator_) && text(m["state"]) == "failed" &&
                   text(m["kind"]) == "webhook"
               ? actionForm(who, "retry-message", {{"id", text(m["id"])}}, "Retry now")
               : std::string()) +
          "</td></tr>";
    body += htmlTable(
        {"kind", "project", "state", "attempts", "made", "next try or ended", "last error", ""},
        rows, "Nothing here.");
  }
  html(res, 200, layout("Outbox", &who, body, note(req)));
}

void ConsoleRoutes::audit(const http::Request& req, http::Response& res, const SignedIn& who) {
  const std::vector<std::string> ids = projectIds(req, who);
  const std::string clientId = req.param("client_id").value_or("");
  const std::string kind = req.param("kind").value_or("");
  const std::string actor = req.param("actor").value_or("");
  const std::string before = req.param("before").value_or("");
  const std::string since = req.param("since").value_or("");  // YYYY-MM-DD: from that day on
  std::string body =
      "<form method=\"get\" action=\"/console/audit\" class=\"search\">"
      "<label>Project <select name=\"client_id\"><option value=\"\">none "
      "(operators' own)</option>";
  for (const std::string& id : ids)
    body += "<option value=\"" + esc(id) + "\"" + (id == clientId ? " selected" : "") + ">" +
            esc(id) + "</option>";
  body += "</select></label>" + labelled("Action", "kind", kind) +
          labelled("Actor", "actor", actor) + labelled("Since", "since", since, "date") +
          "<button type=\"submit\">Filter</button></form>";
  // Filters on the action and the actor read pages of the newest entries until one is full.
  constexpr std::size_t kShown = 100, kRead = 5000;
  std::string rows, cursor = before;
  std::size_t shown = 0, read = 0;
  std::optional<std::string> next;
  while (shown < kShown && read < kRead) {
    const auto [status, answer] =
        admin(req, who, "GET", "/admin/audit",
              query({{"client_id", clientId}, {"before", cursor}, {"limit", "500"}}));
    if (status != 200) {
      body += "<p class=\"note bad\">" + esc(errorOf(answer, status)) + "</p>";
      break;
    }
    bool older = false;
    for (const json& entry : answer["entries"]) {
      ++read;
      cursor = text(entry["seq"]);
      // Newest first: the first entry before the day ends the list.
      if (!since.empty() && text(entry["time"]) < since) {
        older = true;
        break;
      }
      const json& detail = entry["detail"];
      const std::string by = detail.is_object() ? text(detail.value("actor", json())) : "";
      if (!kind.empty() && text(entry["kind"]) != kind) continue;
      if (!actor.empty() && by.find(actor) == std::string::npos) continue;
      std::string shownDetail = detail.is_object() ? detail.dump() : "";
      if (shownDetail.size() > 200) shownDetail = shownDetail.substr(0, 197) + "...";
      rows += "<tr>" + cell(shownTime(entry["time"])) + cell(text(entry["kind"])) +
              cell(text(entry["subject"])) + cell(by) + "<td><code>" + esc(shownDetail) +
              "</code></td></tr>";
      if (++shown == kShown) {
        next = cursor;
        break;
      }
    }
    if (older || answer["next_before"].is_null()) break;
    if (shown < kShown) next = text(answer["next_before"]);
  }
  body += htmlTable({"time", "action", "subject", "actor", "detail"}, rows, "No entry.");
  if (next && shown == kShown)
    body += "<p><a href=\"/console/audit?" +
            query({{"client_id", clientId},
                   {"kind", kind},
                   {"actor", actor},
                   {"since", since},
                   {"before", *next}}) +
            "\">Older entries</a></p>";
  html(res, 200, layout("Audit log", &who, body, note(req)));
}

// --- actions ---

void ConsoleRoutes::act(const http::Request& req, http::Response& res, const SignedIn& who) {
  const http::Request form = formOf(req);
  const auto field = [&](std::string_view name) { return form.param(name).value_or(""); };
  const std::string action = field("action");
  const std::string clientId = field("client_id");
  const std::string userId = field("user");
  static const std::set<std::string> kOwners = {"save-project", "delete-project", "make-key",
                                                "revoke-key"};
  static const std::set<std::string> kOperators = {
      "logout-device",  "logout-all", "logout-all-but", "override",
      "clear-override", "erase",      "retry-message"};
  const bool known = kOwners.contains(action) || kOperators.contains(action);
  if (!known) return html(res, 400, layout("Unknown action", &who, "<p>No such action.</p>"));
  if (!can(who, kOwners.contains(action) ? OperatorRole::owner : OperatorRole::operator_))
    return html(res, 403,
                layout("Refused", &who,
                       std::string("<p>Your role (") + operatorRoleName(who.role) +
                           ") cannot do this.</p>"));

  std::string back = "/console/user?" + query({{"client_id", clientId}, {"user", userId}});
  std::string path, done;
  json body = {{"client_id", clientId}};
  if (action == "logout-device") {
    path = "/admin/logout";
    body["device"] = field("device");
    done = "Signed out the device.";
  } else if (action == "logout-all" || action == "logout-all-but") {
    path = "/admin/logout";
    body["user"] = userId;
    if (action == "logout-all") {
      body["all"] = true;
    } else {
      body["all_but"] = field("keep");
    }
    done = action == "logout-all" ? "Signed out every device." : "Signed out the other devices.";
  } else if (action == "override" || action == "clear-override") {
    path = "/admin/override";
    body["user"] = userId;
    if (action == "clear-override") {
      body["clear"] = true;
    } else {
      for (const char* member :
           {"overall_limit", "mobile_limit", "tablet_limit", "computer_limit", "days"}) {
        const std::string value = field(member);
        if (value.empty()) continue;
        const Field number{member, member, Kind::number};
        const auto parsed = typed(number, value);
        if (!parsed) {
          return redirect(
              res, back + "&" +
                       query({{"note", std::string(member) + " must be a number"}, {"bad", "1"}}));
        }
        body[member] = *parsed;
      }
    }
    done = action == "override" ? "The override is set." : "The override is cleared.";
  } else if (action == "erase") {
    if (field("confirm") != userId)
      return redirect(res,
                      back + "&" + query({{"note", "Type the user id to confirm."}, {"bad", "1"}}));
    path = "/admin/erase";
    body["user"] = userId;
    done = "The user is erased.";
  } else if (action == "save-project") {
    path = "/admin/projects";
    back = "/console/project?" + query({{"client_id", clientId}});
    // Only what was changed goes: a member left as it was shown is not sent.
    for (const Field& each : kProjectFields) {
      const auto value = form.param(each.member);
      if (!value) continue;
      const auto was = form.param(std::string("was.") + each.member);
      if (was && *was == *value) continue;
      if (each.kind == Kind::secret && value->empty()) continue;
      if (each.kind == Kind::number && value->empty()) continue;
      const auto parsed = typed(each, *value);
      if (!parsed)
        return redirect(
            res, back + "&" +
                     query({{"note", std::string(each.label) + ": not a number"}, {"bad", "1"}}));
      body[each.member] = *parsed;
    }
    done = "Saved.";
  } else if (action == "delete-project") {
    path = "/admin/projects/delete";
    body["confirm"] = field("confirm");
    back = "/console/project?" + query({{"client_id", clientId}});
    done = "The project is deleted.";
  } else if (action == "make-key") {
    const auto [status, answer] = admin(req, who, "POST", "/admin/keys", "", body);
    if (status != 200)
      return redirect(res, "/console/project?" + query({{"client_id", clientId},
                                                        {"note", errorOf(answer, status)},
                                                        {"bad", "1"}}));
    // Shown on this page alone, never in an address: it is not kept anywhere it could be read.
    return html(res, 200,
                layout("New key", &who,
                       "<p>The key of <b>" + esc(clientId) +
                           "</b>, shown this once. Give it to the app's backend now.</p>"
                           "<p><code class=\"secret\">" +
                           esc(text(answer["key"])) + "</code></p><p><a href=\"/console/project?" +
                           query({{"client_id", clientId}}) + "\">Back to the project</a></p>"));
  } else if (action == "retry-message") {
    path = "/admin/outbox/retry";
    body = {{"id", field("id")}};
    back = "/console/outbox?state=failed";
    done = "The event is due again.";
  } else if (action == "revoke-key") {
    path = "/admin/keys/revoke";
    body["id"] = field("id");
    back = "/console/project?" + query({{"client_id", clientId}});
    done = "The key is revoked.";
  }
  const auto [status, answer] = admin(req, who, "POST", path, "", body);
  if (status != 200)
    return redirect(res, back + "&" + query({{"note", errorOf(answer, status)}, {"bad", "1"}}));
  if (action == "erase") back = "/console/users?" + query({{"client_id", clientId}});
  if (action == "delete-project") back = "/console/projects?";
  if (answer.contains("delivered") && action.starts_with("logout"))
    done += " " + text(answer["delivered"]) + " open streams told.";
  redirect(res, back + "&" + query({{"note", done}}));
}

}  // namespace zelk::server
