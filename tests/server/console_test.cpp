// SPDX-License-Identifier: Apache-2.0
// The operators' console over HTTP: accounts and set-up links, sessions and their cookies,
// requests from other origins and without their form's token, the brake on guessed passwords,
// what each role may do, and the forms that change only what was changed.

#include <chrono>
#include <memory>
#include <regex>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "server_test_support.hpp"
#include "service/operator_accounts.hpp"

namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using zelk::server::App;
using zelk::testing::Headers;
using zelk::testing::HttpClient;
using zelk::testing::HttpResult;
using zelk::testing::Reply;
using zelk::testing::ServiceClient;
using zelk::testing::TempDir;

std::string formEncode(std::initializer_list<std::pair<std::string, std::string>> fields) {
  std::string out;
  for (const auto& [key, value] : fields) {
    out += out.empty() ? "" : "&";
    out += key + "=";
    for (unsigned char c : value) {
      if (std::isalnum(c)) {
        out += static_cast<char>(c);
      } else {
        char hex[4];
        std::snprintf(hex, sizeof hex, "%%%02X", c);
        out += hex;
      }
    }
  }
  return out;
}

// The value of a hidden field of that name on a page.
std::string hiddenField(const std::string& page, const std::string& name) {
  const std::regex pattern("name=\"" + name + "\" value=\"([^\"]*)\"");
  std::smatch match;
  if (!std::regex_search(page, match, pattern)) return {};
  return match[1];
}

class ConsoleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    app = std::make_unique<App>(zelk::testing::serverConfig(dir.file("zelk.db")));
    std::string error;
    ASSERT_TRUE(app->start(&error)) << error;
    http = std::make_unique<HttpClient>(app->baseURL());
    host = app->baseURL().substr(app->baseURL().find("://") + 3);
  }

  // An operator with a password, as the set-up link sets it.
  void addOperator(const std::string& name, const std::string& role, const std::string& password) {
    ServiceClient admin(app->baseURL(), "none");
    const Reply added = admin.admin("POST", "/admin/operators", {{"name", name}, {"role", role}});
    ASSERT_EQ(added.status, 200) << added.body;
    const std::string token = added.parsed()["setup_token"];
    const auto set = post(
        "/console/setup",
        formEncode(
            {{"operator", name}, {"token", token}, {"password", password}, {"again", password}}));
    ASSERT_EQ(set.status, 200) << set.body;
    ASSERT_NE(set.body.find("Your password is set"), std::string::npos) << set.body;
  }

  HttpResult post(const std::string& path, const std::string& form, Headers headers = {}) {
    auto result = http->Post(path, headers, form, "application/x-www-form-urlencoded");
    if (!result) throw std::runtime_error("request failed: " + path);
    return *result;
  }
  HttpResult get(const std::string& path, Headers headers = {}) {
    auto result = http->Get(path, headers);
    if (!result) throw std::runtime_error("request failed: " + path);
    return *result;
  }

  // Signs in; the session's cookie ("name=value").
  std::string signIn(const std::string& name, const std::string& password) {
    const HttpResult reply =
        post("/console/login", formEncode({{"name", name}, {"password", password}}));
    EXPECT_EQ(reply.status, 303) << reply.body;
    const std::string set = reply.get_header_value("Set-Cookie");
    return set.substr(0, set.find(';'));
  }

  // A page as the operator of `cookie` sees it, and the CSRF token of its forms.
  HttpResult page(const std::string& cookie, const std::string& path) {
    return get(path, {{"Cookie", cookie}});
  }
  HttpResult act(const std::string& cookie, const std::string& csrf,
                 std::initializer_list<std::pair<std::string, std::string>> fields,
                 Headers extra = {}) {
    std::string form = formEncode({{"csrf", csrf}});
    const std::string rest = formEncode(fields);
    if (!rest.empty()) form += "&" + rest;
    extra.emplace_back("Cookie", cookie);
    return post("/console/act", form, extra);
  }

  TempDir dir;
  std::unique_ptr<App> app;
  std::unique_ptr<HttpClient> http;
  std::string host;
};

TEST_F(ConsoleTest, AnOperatorSetsAPasswordOnceSignsInAndOut) {
  ServiceClient admin(app->baseURL(), "none");
  const Reply added = admin.admin("POST", "/admin/operators", {{"name", "ada"}, {"role", "owner"}});
  ASSERT_EQ(added.status, 200) << added.body;
  const std::string token = added.parsed()["setup_token"];

  // A short password is refused and the link still works; once used, it is spent.
  HttpResult set =
      post("/console/setup",
           formEncode(
               {{"operator", "ada"}, {"token", token}, {"password", "short"}, {"again", "short"}}));
  EXPECT_EQ(set.status, 400);
  EXPECT_NE(set.body.find("at least 12 characters"), std::string::npos);
  const std::string password = "correct horse battery";
  set = post(
      "/console/setup",
      formEncode(
          {{"operator", "ada"}, {"token", token}, {"password", password}, {"again", password}}));
  EXPECT_EQ(set.status, 200) << set.body;
  set = post("/console/setup", formEncode({{"operator", "ada"},
                                           {"token", token},
                                           {"password", "another password 1"},
                                           {"again", "another password 1"}}));
  EXPECT_EQ(set.status, 400);
  EXPECT_NE(set.body.find("not valid"), std::string::npos);

  // The cookie is kept from scripts and other sites; over plain HTTP it cannot be Secure.
  HttpResult in = post("/console/login", formEncode({{"name", "ada"}, {"password", password}}));
  ASSERT_EQ(in.status, 303) << in.body;
  const std::string setCookie = in.get_header_value("Set-Cookie");
  EXPECT_NE(setCookie.find("HttpOnly"), std::string::npos);
  EXPECT_NE(setCookie.find("SameSite=Strict"), std::string::npos);
  EXPECT_EQ(setCookie.find("Secure"), std::string::npos);
  const std::string cookie = setCookie.substr(0, setCookie.find(';'));
  HttpResult overview = page(cookie, "/console/");
  ASSERT_EQ(overview.status, 200);
  EXPECT_NE(overview.body.find("devices attached"), std::string::npos);
  EXPECT_NE(overview.get_header_value("Content-Security-Policy").find("default-src 'none'"),
            std::string::npos);

  // Behind a proxy that ends TLS, the cookie is Secure.
  in = post("/console/login", formEncode({{"name", "ada"}, {"password", password}}),
            {{"X-Forwarded-Proto", "https"}});
  EXPECT_NE(in.get_header_value("Set-Cookie").find("; Secure"), std::string::npos);

  // Signed out, the same cookie opens nothing.
  const std::string csrf = hiddenField(overview.body, "csrf");
  const HttpResult out =
      post("/console/logout", formEncode({{"csrf", csrf}}), {{"Cookie", cookie}});
  EXPECT_EQ(out.status, 303);
  EXPECT_EQ(page(cookie, "/console/").status, 303);
  EXPECT_EQ(page(cookie, "/console/").get_header_value("Location"), "/console/login");
  EXPECT_EQ(act(cookie, csrf, {{"action", "make-key"}, {"client_id", "x"}}).status, 401);

  // The operator is listed, without anything secret.
  const Reply listed = admin.admin("GET", "/admin/operators");
  ASSERT_EQ(listed.status, 200);
  EXPECT_EQ(listed.parsed()["operators"][0]["name"], "ada");
  EXPECT_EQ(listed.parsed()["operators"][0]["password_set"], true);
  EXPECT_EQ(listed.body.find("argon2"), std::string::npos);
}

TEST_F(ConsoleTest, ACookieSentFromAnotherOriginOrAFormWithoutItsTokenIsRefused) {
  addOperator("ada", "owner", "correct horse battery");
  const std::string cookie = signIn("ada", "correct horse battery");
  const std::string csrf = hiddenField(page(cookie, "/console/").body, "csrf");
  ASSERT_FALSE(csrf.empty());
  ServiceClient shop = zelk::testing::makeProject(app->baseURL(), "shop");

  // The right cookie, from a page of another site.
  EXPECT_EQ(page(cookie, "/console/users").status, 200);
  EXPECT_EQ(get("/console/users", {{"Cookie", cookie}, {"Origin", "https://evil.example"}}).status,
            403);
  EXPECT_EQ(get("/console/users", {{"Cookie", cookie}, {"Sec-Fetch-Site", "cross-site"}}).status,
            403);
  EXPECT_EQ(act(cookie, csrf, {{"action", "make-key"}, {"client_id", "shop"}},
                {{"Origin", "https://evil.example"}})
                .status,
            403);
  // The right cookie without the form's token, or with another.
  EXPECT_EQ(post("/console/act", formEncode({{"action", "make-key"}, {"client_id", "shop"}}),
                 {{"Cookie", cookie}})
                .status,
            403);
  std::string other = csrf;
  other[0] = other[0] == '0' ? '1' : '0';
  EXPECT_EQ(act(cookie, other, {{"action", "make-key"}, {"client_id", "shop"}}).status, 403);
  ServiceClient admin(app->baseURL(), "none");
  EXPECT_TRUE(admin.admin("GET", "/admin/keys?client_id=shop").parsed()["keys"].empty());

  // The same post from this origin, with its token, works.
  const HttpResult made = act(cookie, csrf, {{"action", "make-key"}, {"client_id", "shop"}},
                              {{"Origin", "http://" + host}, {"Sec-Fetch-Site", "same-origin"}});
  EXPECT_EQ(made.status, 200) << made.body;
  EXPECT_NE(made.body.find("zk_"), std::string::npos);
  EXPECT_EQ(admin.admin("GET", "/admin/keys?client_id=shop").parsed()["keys"].size(), 1u);
}

TEST_F(ConsoleTest, TenWrongPasswordsMakeTheNextSignInWait) {
  addOperator("ada", "owner", "correct horse battery");
  for (int i = 0; i < 10; ++i) {
    const HttpResult wrong =
        post("/console/login",
             formEncode({{"name", "ada"}, {"password", "wrong guess " + std::to_string(i)}}));
    if (wrong.status == 429) break;  // the brake may come on before the tenth
    EXPECT_EQ(wrong.status, 401);
    EXPECT_NE(wrong.body.find("Wrong name or password."), std::string::npos);
  }
  // Even the right password waits now, and is told for how long.
  const HttpResult next =
      post("/console/login", formEncode({{"name", "ada"}, {"password", "correct horse battery"}}));
  EXPECT_EQ(next.status, 429);
  EXPECT_FALSE(next.get_header_value("Retry-After").empty());
  EXPECT_NE(next.body.find("Too many failed sign-ins"), std::string::npos);
  EXPECT_TRUE(next.get_header_value("Set-Cookie").empty());
  // A name nobody has is braked as well: guessing names tells nothing.
  const HttpResult nobody =
      post("/console/login", formEncode({{"name", "nobody"}, {"password", "whatever it is"}}));
  EXPECT_EQ(nobody.status, 429);  // the same address
}

TEST_F(ConsoleTest, AViewerSeesNoActionAndIsRefusedOne) {
  addOperator("vic", "viewer", "viewer password 1");
  addOperator("oli", "operator", "operator password 1");
  ServiceClient shop = zelk::testing::makeProject(app->baseURL(), "shop");
  const json device = shop.attach("anna", "phone-1");

  const std::string viewer = signIn("vic", "viewer password 1");
  const HttpResult userPage = page(viewer, "/console/user?client_id=shop&user=anna");
  ASSERT_EQ(userPage.status, 200) << userPage.body;
  EXPECT_NE(userPage.body.find(device["device_id"].get<std::string>()), std::string::npos);
  EXPECT_EQ(userPage.body.find("action=\"/console/act\""), std::string::npos);
  EXPECT_EQ(page(viewer, "/console/export?client_id=shop&user=anna").status, 403);
  const std::string csrf = hiddenField(userPage.body, "csrf");
  EXPECT_EQ(
      act(viewer, csrf, {{"action", "logout-all"}, {"client_id", "shop"}, {"user", "anna"}}).status,
      403);
  ServiceClient admin(app->baseURL(), "none");
  EXPECT_EQ(admin.admin("GET", "/admin/user?client_id=shop&user=anna").parsed()["devices"].size(),
            1u);

  // An operator acts on users, but not on projects.
  const std::string op = signIn("oli", "operator password 1");
  const std::string opCsrf =
      hiddenField(page(op, "/console/user?client_id=shop&user=anna").body, "csrf");
  EXPECT_EQ(
      act(op, opCsrf, {{"action", "save-project"}, {"client_id", "shop"}, {"name", "X"}}).status,
      403);
  const HttpResult out =
      act(op, opCsrf, {{"action", "logout-all"}, {"client_id", "shop"}, {"user", "anna"}});
  EXPECT_EQ(out.status, 303);
  EXPECT_NE(out.get_header_value("Location").find("Signed%20out%20every%20device"),
            std::string::npos);
  EXPECT_TRUE(
      admin.admin("GET", "/admin/user?client_id=shop&user=anna").parsed()["devices"].empty());
  // The audit trail names the operator and the address.
  const json entries = admin.admin("GET", "/admin/audit?client_id=shop").parsed()["entries"];
  bool named = false;
  for (const json& entry : entries)
    if (entry["kind"] == "admin.logout_user" || entry["kind"] == "admin.logout")
      named = named || (entry["detail"]["actor"] == "operator oli" &&
                        entry["detail"]["source"].get<std::string>().starts_with("127."));
  EXPECT_TRUE(named) << entries;
}

TEST_F(ConsoleTest, SavingAProjectSendsOnlyWhatWasChanged) {
  addOperator("ada", "owner", "correct horse battery");
  ServiceClient shop = zelk::testing::makeProject(
      app->baseURL(), "shop", {{"name", "The Shop"}, {"require_verification", true}});
  const std::string cookie = signIn("ada", "correct horse battery");
  const HttpResult form = page(cookie, "/console/project?client_id=shop");
  ASSERT_EQ(form.status, 200) << form.body;
  const std::string csrf = hiddenField(form.body, "csrf");
  // Every field of the form as shown, with the limit changed: what the browser posts.
  const HttpResult saved = act(cookie, csrf,
                               {{"action", "save-project"},
                                {"client_id", "shop"},
                                {"name", hiddenField(form.body, "was.name")},
                                {"was.name", hiddenField(form.body, "was.name")},
                                {"overall_limit", "7"},
                                {"was.overall_limit", hiddenField(form.body, "was.overall_limit")},
                                {"webhook_secret", ""}});
  EXPECT_EQ(saved.status, 303) << saved.body;
  ServiceClient admin(app->baseURL(), "none");
  const json projects = admin.admin("GET", "/admin/projects").parsed()["projects"];
  ASSERT_EQ(projects.size(), 1u);
  EXPECT_EQ(projects[0]["overall_limit"], 7);
  EXPECT_EQ(projects[0]["name"], "The Shop");
  EXPECT_EQ(projects[0]["require_verification"], true);

  // A number that is not one is refused with the field's name, and nothing changes.
  const HttpResult bad = act(
      cookie, csrf, {{"action", "save-project"}, {"client_id", "shop"}, {"overall_limit", "7x"}});
  EXPECT_EQ(bad.status, 303);
  EXPECT_NE(bad.get_header_value("Location").find("bad=1"), std::string::npos);

  // Deleting needs the client id typed again.
  EXPECT_NE(
      act(cookie, csrf, {{"action", "delete-project"}, {"client_id", "shop"}, {"confirm", "shap"}})
          .get_header_value("Location")
          .find("bad=1"),
      std::string::npos);
  EXPECT_EQ(admin.admin("GET", "/admin/projects").parsed()["projects"].size(), 1u);
  act(cookie, csrf, {{"action", "delete-project"}, {"client_id", "shop"}, {"confirm", "shop"}});
  EXPECT_TRUE(admin.admin("GET", "/admin/projects").parsed()["projects"].empty());
}

TEST_F(ConsoleTest, OnlyAFailedWebhookEventIsSentAgain) {
  ServiceClient admin(app->baseURL(), "none");
  const Reply none = admin.admin("POST", "/admin/outbox/retry", {{"id", "evt_nothing"}});
  EXPECT_EQ(none.status, 404);
  EXPECT_EQ(none.parsed()["error"], "no failed webhook event of that id");
  EXPECT_EQ(admin.admin("POST", "/admin/outbox/retry", json::object()).status, 400);
  // From the console, as an operator: the refusal comes back as the page's note.
  addOperator("oli", "operator", "operator password 1");
  const std::string cookie = signIn("oli", "operator password 1");
  const std::string csrf = hiddenField(page(cookie, "/console/outbox").body, "csrf");
  const HttpResult retried = act(cookie, csrf, {{"action", "retry-message"}, {"id", "evt_x"}});
  EXPECT_EQ(retried.status, 303);
  EXPECT_NE(retried.get_header_value("Location").find("bad=1"), std::string::npos);
}

// Sessions and set-up links in time, on a clock of the test's own.
TEST(OperatorAccountsTest, SessionsEndWhenIdleAndLinksWhenOld) {
  auto store = zelk::server::makeMemoryStore();
  auto now = zelk::server::Clock::now();
  zelk::server::OperatorAccounts::Config config;
  config.clock = [&] { return now; };
  zelk::server::OperatorAccounts accounts(*store, config);
  const std::string stale = accounts.add("late", zelk::server::OperatorRole::viewer);
  const std::string token = accounts.add("ada", zelk::server::OperatorRole::operator_);
  now += 25h;
  EXPECT_TRUE(accounts.setPassword("late", stale, "long enough password"));
  now -= 25h;
  ASSERT_FALSE(accounts.setPassword("ada", token, "long enough password"));

  auto made = accounts.signIn("ada", "long enough password", "127.0.0.1");
  ASSERT_TRUE(std::holds_alternative<zelk::server::NewSession>(made));
  const std::string cookie = std::get<zelk::server::NewSession>(made).cookie;
  // Used every 20 minutes, it lasts; left for 30, it ends.
  for (int i = 0; i < 5; ++i) {
    now += 20min;
    const auto who = accounts.session(cookie);
    ASSERT_TRUE(who) << i;
    EXPECT_EQ(who->role, zelk::server::OperatorRole::operator_);
  }
  now += 31min;
  EXPECT_FALSE(accounts.session(cookie));
  EXPECT_FALSE(accounts.session(cookie));  // nor once the clock moves back

  // A new role means a new password: the sessions of the old one end.
  made = accounts.signIn("ada", "long enough password", "127.0.0.1");
  const std::string again = std::get<zelk::server::NewSession>(made).cookie;
  ASSERT_TRUE(accounts.session(again));
  accounts.add("ada", zelk::server::OperatorRole::owner);
  EXPECT_FALSE(accounts.session(again));
  EXPECT_TRUE(std::holds_alternative<zelk::server::OperatorAccounts::Refusal>(
      accounts.signIn("ada", "long enough password", "127.0.0.2")));
}

}  // namespace
