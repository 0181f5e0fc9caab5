// SPDX-License-Identifier: Apache-2.0
// What an operator does through the admin API: finding users, signing out all of a user's
// devices, a user's own limits, a copy of their records, erasing them, deleting a project, and
// changing a project one setting at a time; every change with its actor in the audit trail.

#include <chrono>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "program_run.hpp"
#include "server_test_support.hpp"

namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using zelk::server::App;
using zelk::testing::Reply;
using zelk::testing::ServiceClient;
using zelk::testing::TempDir;

class OperatorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    app = std::make_unique<App>(zelk::testing::serverConfig(dir.file("zelk.db")));
    std::string error;
    ASSERT_TRUE(app->start(&error)) << error;
  }

  ServiceClient project(const std::string& clientId, json settings = json::object()) {
    return zelk::testing::makeProject(app->baseURL(), clientId, std::move(settings));
  }
  static void contacts(ServiceClient& p, const std::string& clientId, const std::string& user,
                       const std::string& email, const std::string& phone) {
    const Reply reply =
        p.admin("POST", "/admin/users",
                {{"client_id", clientId}, {"user", user}, {"email", email}, {"phone", phone}});
    ASSERT_EQ(reply.status, 200) << reply.body;
  }
  static json user(ServiceClient& p, const std::string& clientId, const std::string& name) {
    return p.admin("GET", "/admin/user?client_id=" + clientId + "&user=" + name).parsed();
  }

  TempDir dir;
  std::unique_ptr<App> app;
};

TEST_F(OperatorTest, UsersAreFoundByIdPrefixEmailOrPhoneAPageAtATime) {
  ServiceClient p = project("shop");
  for (const std::string name : {"anna", "anne", "annika", "bert", "carl"}) p.attach(name, name);
  contacts(p, "shop", "bert", "Bert@Example.com", "+1 555 010 4821");
  ServiceClient other = project("other");
  other.attach("anneliese", "x");

  const auto search = [&](const std::string& query) {
    const Reply reply = p.admin("GET", "/admin/users?client_id=shop&" + query);
    EXPECT_EQ(reply.status, 200) << reply.body;
    return reply.parsed();
  };
  json page = search("q=ann&limit=2");
  ASSERT_EQ(page["users"].size(), 2u) << page;
  EXPECT_EQ(page["users"][0]["user"], "anna");
  EXPECT_EQ(page["users"][0]["devices"], 1);
  EXPECT_EQ(page["users"][1]["user"], "anne");
  EXPECT_EQ(page["next_after"], "anne");
  page = search("q=ann&limit=2&after=anne");
  ASSERT_EQ(page["users"].size(), 1u) << page;  // never a user of another project
  EXPECT_EQ(page["users"][0]["user"], "annika");
  EXPECT_TRUE(page["next_after"].is_null());
  // A whole e-mail address in any case, or a phone number.
  page = search("q=bert%40example.COM");
  ASSERT_EQ(page["users"].size(), 1u) << page;
  EXPECT_EQ(page["users"][0]["email"], "Bert@Example.com");
  EXPECT_EQ(search("q=%2B1%20555%20010%204821")["users"][0]["user"], "bert");
  EXPECT_EQ(search("q=")["users"].size(), 5u);
  EXPECT_TRUE(search("q=%25")["users"].empty());  // a wildcard is only itself
  EXPECT_EQ(p.admin("GET", "/admin/users?client_id=nobody").status, 404);
}

TEST_F(OperatorTest, AllOfAUsersDevicesOrAllButOneAreSignedOutThroughTheirStreams) {
  ServiceClient p = project("shop", {{"overall_limit", 10}});
  const json phone = p.attach("u", "phone");
  const json tablet = p.attach("u", "tablet");
  const json laptop = p.attach("u", "laptop");
  zelk::testing::RawConnection stream(app->port());
  stream.send(p.listenRequest(tablet["device_id"], tablet["access"]));
  ASSERT_TRUE(stream.readHead());
  ASSERT_TRUE(app->hub().waitForStreams(tablet["device_id"], 1, 10s));

  Reply reply = p.admin("POST", "/admin/logout",
                        {{"client_id", "shop"}, {"user", "u"}, {"all_but", phone["device_id"]}});
  ASSERT_EQ(reply.status, 200) << reply.body;
  EXPECT_EQ(reply.parsed()["devices"], json({tablet["device_id"], laptop["device_id"]}));
  EXPECT_EQ(reply.parsed()["delivered"], 1);
  EXPECT_TRUE(stream.readUntil(
      [](const std::string& read) { return read.find("data: \"logout\"") != std::string::npos; },
      10s));
  ASSERT_EQ(user(p, "shop", "u")["devices"].size(), 1u);

  reply = p.admin("POST", "/admin/logout", {{"client_id", "shop"}, {"user", "u"}, {"all", true}});
  ASSERT_EQ(reply.status, 200) << reply.body;
  EXPECT_TRUE(user(p, "shop", "u")["devices"].empty());
  EXPECT_EQ(p.admin("POST", "/admin/logout", {{"client_id", "shop"}, {"user", "u"}}).status, 400);
  EXPECT_EQ(
      p.admin("POST", "/admin/logout", {{"client_id", "shop"}, {"user", "ghost"}, {"all", true}})
          .status,
      404);

  // Every change names who made it and from where; no answer holds an access token.
  const json entries = p.admin("GET", "/admin/audit?client_id=shop").parsed()["entries"];
  ASSERT_FALSE(entries.empty());
  EXPECT_EQ(entries[0]["kind"], "admin.logout");
  EXPECT_EQ(entries[0]["detail"]["actor"], "admin token");
  EXPECT_EQ(entries[0]["detail"]["source"], "127.0.0.1");
  p.attach("u", "phone");
  const std::string shown = p.admin("GET", "/admin/user?client_id=shop&user=u").body;
  EXPECT_EQ(shown.find("acc_"), std::string::npos) << shown;
}

TEST_F(OperatorTest, AUsersOwnLimitTakesThePlaceOfTheProjectsUntilCleared) {
  ServiceClient p = project("shop", {{"overall_limit", 1}});
  p.attach("vip", "phone");
  Reply reply =
      p.admin("POST", "/admin/override",
              {{"client_id", "shop"}, {"user", "vip"}, {"overall_limit", 2}, {"days", 7}});
  ASSERT_EQ(reply.status, 200) << reply.body;
  EXPECT_EQ(reply.parsed()["limits"]["overall_limit"], 2);
  EXPECT_TRUE(reply.parsed()["limits"]["until"].is_string());
  p.attach("vip", "laptop");  // a second device: no challenge
  EXPECT_TRUE(app->service().challenges("shop", "vip").empty());
  p.attach("vip", "tablet");  // a third is over the user's own limit
  ASSERT_EQ(app->service().challenges("shop", "vip").size(), 1u);
  // Another user has the project's limit.
  p.attach("plain", "one");
  p.attach("plain", "two");
  EXPECT_EQ(app->service().challenges("shop", "plain").size(), 1u);

  ASSERT_EQ(
      p.admin("POST", "/admin/override", {{"client_id", "shop"}, {"user", "vip"}, {"clear", true}})
          .status,
      200);
  EXPECT_EQ(p.admin("POST", "/admin/override", {{"client_id", "shop"}, {"user", "vip"}}).status,
            400);
  EXPECT_EQ(p.admin("POST", "/admin/override",
                    {{"client_id", "shop"}, {"user", "ghost"}, {"overall_limit", 5}})
                .status,
            404);
}

TEST_F(OperatorTest, AUserIsExportedAndThenErasedLeavingOnlyAPseudonymInTheTrail) {
  ServiceClient p = project("shop", {{"overall_limit", 1}});
  contacts(p, "shop", "gus", "gus@example.com", "+1 555 010 4821");
  const json phone = p.attach("gus", "phone");
  p.attach("gus", "laptop");  // a challenge
  p.attach("ida", "phone");

  Reply reply = p.admin("GET", "/admin/export?client_id=shop&user=gus");
  ASSERT_EQ(reply.status, 200) << reply.body;
  const json exported = reply.parsed();
  EXPECT_EQ(exported["email"], "gus@example.com");
  EXPECT_EQ(exported["devices"].size(), 2u);
  EXPECT_EQ(exported["challenges"].size(), 1u);
  EXPECT_EQ(exported["known_devices"].size(), 2u);
  EXPECT_FALSE(exported["audit"].empty());
  EXPECT_EQ(reply.body.find("acc_"), std::string::npos);

  zelk::testing::RawConnection stream(app->port());
  stream.send(p.listenRequest(phone["device_id"], phone["access"]));
  ASSERT_TRUE(stream.readHead());
  ASSERT_TRUE(app->hub().waitForStreams(phone["device_id"], 1, 10s));
  reply = p.admin("POST", "/admin/erase", {{"client_id", "shop"}, {"user", "gus"}});
  ASSERT_EQ(reply.status, 200) << reply.body;
  EXPECT_TRUE(stream.readUntil(
      [](const std::string& read) { return read.find("data: \"logout\"") != std::string::npos; },
      10s));
  EXPECT_EQ(p.admin("GET", "/admin/user?client_id=shop&user=gus").status, 404);
  EXPECT_EQ(p.admin("POST", "/admin/erase", {{"client_id", "shop"}, {"user", "gus"}}).status, 404);
  EXPECT_EQ(user(p, "shop", "ida")["devices"].size(), 1u);

  // The trail keeps what happened under a pseudonym that is not the id.
  const json entries = p.admin("GET", "/admin/audit?client_id=shop&limit=1000").parsed()["entries"];
  std::string pseudonym;
  for (const json& entry : entries) {
    EXPECT_NE(entry["subject"], "gus") << entry;
    EXPECT_EQ(entry["detail"].dump().find("\"gus\""), std::string::npos) << entry;
    if (entry["subject"].get<std::string>().starts_with("erased:")) pseudonym = entry["subject"];
  }
  EXPECT_FALSE(pseudonym.empty());
  // Coming back, the user is new.
  p.attach("gus", "phone");
  EXPECT_EQ(user(p, "shop", "gus")["email"], "");
  EXPECT_TRUE(app->service().challenges("shop", "gus").empty());

  // Nothing of the contacts is left in the database file.
  app.reset();
  std::ifstream file(dir.file("zelk.db"), std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  ASSERT_FALSE(bytes.empty());
  EXPECT_EQ(bytes.find("gus@example.com"), std::string::npos);
  EXPECT_EQ(bytes.find("555 010 4821"), std::string::npos);
}

TEST_F(OperatorTest, AProjectChangesOneSettingAtATimeAndIsDeletedOnlyByItsId) {
  ServiceClient p =
      project("shop", {{"name", "Shop"}, {"overall_limit", 5}, {"require_verification", true}});
  // Only the limit changes.
  Reply reply = p.admin("POST", "/admin/projects", {{"client_id", "shop"}, {"overall_limit", 2}});
  ASSERT_EQ(reply.status, 200) << reply.body;
  json project = reply.parsed()["project"];
  EXPECT_EQ(project["overall_limit"], 2);
  EXPECT_EQ(project["name"], "Shop");
  EXPECT_EQ(project["require_verification"], true);
  // A replace takes the defaults for what it leaves out.
  reply = p.admin("POST", "/admin/projects",
                  {{"client_id", "shop"}, {"overall_limit", 4}, {"replace", true}});
  project = reply.parsed()["project"];
  EXPECT_EQ(project["overall_limit"], 4);
  EXPECT_EQ(project["name"], "shop");
  EXPECT_EQ(project["require_verification"], false);

  p.attach("u", "phone");
  EXPECT_EQ(
      p.admin("POST", "/admin/projects/delete", {{"client_id", "shop"}, {"confirm", "shp"}}).status,
      400);
  reply = p.admin("POST", "/admin/projects/delete", {{"client_id", "shop"}, {"confirm", "shop"}});
  ASSERT_EQ(reply.status, 200) << reply.body;
  EXPECT_TRUE(p.admin("GET", "/admin/projects").parsed()["projects"].empty());
  EXPECT_EQ(p.admin("GET", "/admin/user?client_id=shop&user=u").status, 404);
  EXPECT_EQ(p.post("/v2/access", ServiceClient::attachBody("u", "phone")).status, 401);
  EXPECT_EQ(p.admin("POST", "/admin/projects/delete", {{"client_id", "shop"}, {"confirm", "shop"}})
                .status,
            404);
}

TEST_F(OperatorTest, AProjectKeyDoesTheBackendsThreeThingsForItsProjectAloneUntilRevoked) {
  ServiceClient p = project("shop");
  project("other");
  const json phone = p.attach("u", "phone");
  Reply reply = p.admin("POST", "/admin/keys", {{"client_id", "shop"}});
  ASSERT_EQ(reply.status, 200) << reply.body;
  const std::string key = reply.parsed()["key"], id = reply.parsed()["id"];
  EXPECT_TRUE(key.starts_with("zk_"));
  // A second key may be made to rotate to, a third not.
  reply = p.admin("POST", "/admin/keys", {{"client_id", "shop"}});
  ASSERT_EQ(reply.status, 200) << reply.body;
  const std::string next = reply.parsed()["key"];
  EXPECT_EQ(p.admin("POST", "/admin/keys", {{"client_id", "shop"}}).status, 409);
  const std::string listed = p.admin("GET", "/admin/keys?client_id=shop").body;
  EXPECT_EQ(json::parse(listed)["keys"].size(), 2u);
  EXPECT_EQ(listed.find(key), std::string::npos);  // shown once, never again

  zelk::testing::HttpClient http(app->baseURL());
  const auto call = [&](const std::string& bearer, const std::string& method,
                        const std::string& path, const json& body = json::object()) {
    const zelk::testing::Headers headers = {{"Authorization", "Bearer " + bearer}};
    auto result = method == "GET" ? http.Get(path, headers)
                                  : http.Post(path, headers, body.dump(), "application/json");
    return result ? result->status : 0;
  };
  EXPECT_EQ(call(key, "POST", "/admin/users",
                 {{"client_id", "shop"}, {"user", "u"}, {"email", "u@example.com"}}),
            200);
  EXPECT_EQ(call(key, "GET", "/admin/user?client_id=shop&user=u"), 200);
  EXPECT_EQ(
      call(key, "POST", "/admin/logout", {{"client_id", "shop"}, {"device", phone["device_id"]}}),
      200);
  // Nothing else, and nothing of another project.
  EXPECT_EQ(call(key, "GET", "/admin/projects"), 403);
  EXPECT_EQ(call(key, "POST", "/admin/keys", {{"client_id", "shop"}}), 403);
  EXPECT_EQ(call(key, "GET", "/admin/export?client_id=shop&user=u"), 403);
  EXPECT_EQ(call(key, "POST", "/admin/users", {{"client_id", "other"}, {"user", "u"}}), 403);
  EXPECT_EQ(call(key, "GET", "/admin/user?client_id=other&user=u"), 403);
  const json entries = p.admin("GET", "/admin/audit?client_id=shop").parsed()["entries"];
  EXPECT_EQ(entries[0]["kind"], "admin.logout");
  EXPECT_EQ(entries[0]["detail"]["actor"], "key " + id);

  ASSERT_EQ(p.admin("POST", "/admin/keys/revoke", {{"client_id", "shop"}, {"id", id}}).status, 200);
  EXPECT_EQ(call(key, "GET", "/admin/user?client_id=shop&user=u"), 401);
  EXPECT_EQ(call(next, "GET", "/admin/user?client_id=shop&user=u"), 200);
  EXPECT_EQ(call("zk_" + std::string(64, '0'), "GET", "/admin/user?client_id=shop&user=u"), 401);
  EXPECT_EQ(p.admin("POST", "/admin/keys/revoke", {{"client_id", "shop"}, {"id", id}}).status, 404);
}

TEST_F(OperatorTest, SuspectsAreTheUsersWhoseDevicesChangeTheMost) {
  ServiceClient p = project("shop", {{"overall_limit", 1}, {"device_changes_limit", 1}});
  p.attach("calm", "phone");
  json current = p.attach("sharer", "one");
  for (const std::string vendor : {"two", "three"}) {
    const json next = p.attach("sharer", vendor);
    p.post("/v2/access/detach", json{{"device", current["device_id"]}, {"user", "sharer"}});
    current = next;
  }
  p.attach("busy", "a");
  p.attach("busy", "b");
  const Reply reply = p.admin("GET", "/admin/suspects?client_id=shop&days=1");
  ASSERT_EQ(reply.status, 200) << reply.body;
  const json users = reply.parsed()["users"];
  ASSERT_GE(users.size(), 2u) << users;
  EXPECT_EQ(users[0]["user"], "sharer");
  EXPECT_EQ(users[0]["refused_changes"], 1);
  EXPECT_EQ(users[0]["challenges"], 2);
  EXPECT_EQ(users[0]["new_devices"], 3);
  EXPECT_EQ(users[1]["user"], "busy");
  EXPECT_EQ(p.admin("GET", "/admin/suspects?client_id=shop&days=0").status, 400);
}

// The admin commands, as docs/operating.md shows them, do what their routes do.
TEST_F(OperatorTest, TheAdminCommandsDoWhatTheirRoutesDo) {
  ServiceClient p = project("cli", {{"overall_limit", 1}});
  p.attach("carol", "phone");
  const std::string tokenFile = dir.file("admin-token");
  std::ofstream(tokenFile) << zelk::testing::kAdminToken << "\n";
  const auto admin = [&](std::vector<std::string> args) {
    args.insert(args.begin(), {"admin", "--url", app->baseURL(), "--token-file", tokenFile});
    const zelk::testing::ProgramRun run = zelk::testing::runProgram(args);
    EXPECT_EQ(run.status, 0) << args[5] << ": " << run.out << run.err;
    return json::parse(run.out, nullptr, false);
  };
  json out = admin({"project", "--client-id", "cli", "--trusted-device-days", "30"});
  EXPECT_EQ(out["project"]["overall_limit"], 1);  // the rest as it was
  EXPECT_EQ(out["project"]["trusted_device_days"], 30);
  EXPECT_EQ(admin({"users", "--client-id", "cli", "--q", "car"})["users"][0]["user"], "carol");
  admin(
      {"override", "--client-id", "cli", "--user", "carol", "--overall-limit", "2", "--days", "3"});
  p.attach("carol", "laptop");
  EXPECT_TRUE(app->service().challenges("cli", "carol").empty());
  EXPECT_EQ(admin({"export", "--client-id", "cli", "--user", "carol"})["devices"].size(), 2u);
  const json key = admin({"make-key", "--client-id", "cli"});
  EXPECT_EQ(admin({"keys", "--client-id", "cli"})["keys"][0]["id"], key["id"]);
  admin({"revoke-key", "--client-id", "cli", "--id", key["id"]});
  EXPECT_TRUE(admin({"keys", "--client-id", "cli"})["keys"].empty());
  EXPECT_EQ(admin({"suspects", "--client-id", "cli", "--days", "1"})["users"][0]["user"], "carol");
  EXPECT_EQ(
      admin({"logout", "--client-id", "cli", "--user", "carol", "--all", "true"})["devices"].size(),
      2u);
  admin({"erase", "--client-id", "cli", "--user", "carol"});
  admin({"delete-project", "--client-id", "cli", "--confirm", "cli"});
  EXPECT_TRUE(admin({"projects"})["projects"].empty());
}

}  // namespace
