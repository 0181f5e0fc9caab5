// SPDX-License-Identifier: Apache-2.0
// Where the devices of a challenge were last seen: a GeoIP database written by the test (with
// tests/server/write_geoip_db.pl) places the source addresses of attaches, behind a trusted proxy
// that names them in X-Forwarded-For, and the challenge's device list shows what it placed, kept
// in each store the server has; without a database, or for an address it does not place, nothing
// is shown.

#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "app/settings.hpp"
#include "server/server_test_support.hpp"
#include "storage/scratch_database.hpp"

namespace {

using nlohmann::json;
using zelk::server::App;
using zelk::server::AppConfig;
using zelk::testing::Headers;
using zelk::testing::HttpClient;
using zelk::testing::makeProject;
using zelk::testing::serverConfig;
using zelk::testing::ServiceClient;
using zelk::testing::TempDir;

struct Place {
  std::string network, city, country;
};

// The places of these tests: the proxy itself, two clients behind it in two cities, one placed
// only in its country, as a Country database would; 127.0.0.9 is in none.
const std::vector<Place> kPlaces = {{"127.0.0.1", "Rennes", "FR"},
                                    {"127.0.0.2", "Lyon", "FR"},
                                    {"127.0.0.3", "Zürich", "CH"},
                                    {"127.0.0.4", "", "DE"}};

// Writes a GeoIP database of `places` into `dir`; its path.
std::string writeDatabase(const TempDir& dir, const std::vector<Place>& places) {
  const std::string path = dir.file("places.mmdb");
  std::string command = "perl '" ZELK_GEOIP_WRITER "' '" + path + "'";
  for (const Place& place : places)
    command += " '" + place.network + "' '" + place.city + "' '" + place.country + "'";
  if (std::system(command.c_str()) != 0)
    throw std::runtime_error(
        "cannot write the GeoIP database (is libmaxmind-db-writer-perl, "
        "of scripts/bootstrap.sh, installed?): " +
        command);
  return path;
}

// One server, and ways to attach as the clients behind its proxy.
class Server {
 public:
  explicit Server(AppConfig config) : app_(std::move(config)) {
    std::string error;
    if (!app_.start(&error)) throw std::runtime_error(error);
  }

  App& app() { return app_; }
  std::string baseURL() const { return app_.baseURL(); }

  // Attaches `vendor` of `user` in `project` as the proxy forwarding for `address` would ("":
  // a request of the proxy's own); the device's id.
  std::string attach(const std::string& project, const std::string& user, const std::string& vendor,
                     const std::string& address) {
    HttpClient http(baseURL());
    Headers headers = {{"Authorization", "Basic " + project + ":"}};
    if (!address.empty()) headers.emplace_back("X-Forwarded-For", address);
    const auto reply = http.Post(
        "/v2/access", headers, ServiceClient::attachBody(user, vendor).dump(), "application/json");
    if (!reply || reply->status != 200)
      throw std::runtime_error("attach failed: " + (reply ? reply->body : "no answer"));
    return json::parse(reply->body)["device_id"];
  }

  // The "last_access" of each device in the list of the user's first challenge, by device id;
  // null for a device without one.
  std::map<std::string, json> lastAccess(const std::string& project, const std::string& user) {
    const std::vector<std::string> challenges = app_.service().challenges(project, user);
    if (challenges.empty()) throw std::runtime_error("no challenge was raised");
    HttpClient http(baseURL());
    const auto reply = http.Get("/v2/challenge/" + challenges.front() + "/devices",
                                {{"Authorization", "Basic " + project + ":"}});
    if (!reply || reply->status != 200)
      throw std::runtime_error("no device list: " + (reply ? reply->body : "no answer"));
    std::map<std::string, json> seen;
    for (const json& device : json::parse(reply->body))
      seen[device["_id"]] = device.value("last_access", json());
    return seen;
  }

 private:
  App app_;
};

json placed(const std::string& city, const std::string& country) {
  json place = json::object();
  if (!city.empty()) place["city"] = city;
  if (!country.empty()) place["country"] = country;
  return {{"geolocation", place}};
}

// Where a test's servers keep their records: "memory", "sqlite" (a file in the test's folder) or
// "postgres" (a scratch database on the server ZELK_TEST_POSTGRES names, when it is set).
class Store {
 public:
  explicit Store(std::string store) : store_(std::move(store)) {
    if (store_ == "postgres") {
      const char* url = std::getenv("ZELK_TEST_POSTGRES");
      if (url && *url) database_ = std::make_unique<zelk::server::ScratchDatabase>(url);
    }
  }
  // Whether this store can be tried here (PostgreSQL only with ZELK_TEST_POSTGRES).
  bool available() const { return store_ != "postgres" || database_; }
  bool persistent() const { return store_ != "memory"; }

  // The settings of a server on this store (in `dir`) that places attaches by the database at
  // `geoip` ("" : none) and trusts the proxy at 127.0.0.1 when `trustProxy`.
  AppConfig config(const TempDir& dir, const std::string& geoip, bool trustProxy) const {
    AppConfig config = serverConfig(store_ == "sqlite" ? dir.file("records.db") : "");
    if (database_) config.database = database_->url();
    config.geoipDatabase = geoip;
    if (trustProxy) config.rateLimits.trustedProxies = {"127.0.0.1"};
    return config;
  }

 private:
  std::string store_;
  std::unique_ptr<zelk::server::ScratchDatabase> database_;
};

TEST(GeoIPTest, TheDeviceListShowsWhereEachDeviceLastAttachedFromInEveryStore) {
  for (const char* store : {"memory", "sqlite", "postgres"}) {
    SCOPED_TRACE(store);
    Store kept(store);
    if (!kept.available()) continue;
    TempDir dir;
    const std::string geoip = writeDatabase(dir, kPlaces);
    std::string lyon, zurich, germany, nowhere;
    {
      Server server(kept.config(dir, geoip, /*trustProxy=*/true));
      makeProject(server.baseURL(), "geo", {{"overall_limit", 1}});
      lyon = server.attach("geo", "alice", "phone", "127.0.0.2");
      zurich = server.attach("geo", "alice", "laptop", "127.0.0.3");  // over the limit of 1
      germany = server.attach("geo", "alice", "tablet", "127.0.0.4");
      nowhere = server.attach("geo", "alice", "watch", "127.0.0.9");
      auto seen = server.lastAccess("geo", "alice");
      ASSERT_EQ(seen.size(), 4u);
      EXPECT_EQ(seen[lyon], placed("Lyon", "FR"));
      EXPECT_EQ(seen[zurich], placed("Zürich", "CH"));
      EXPECT_EQ(seen[germany], placed("", "DE"));
      EXPECT_TRUE(seen[nowhere].is_null()) << seen[nowhere];

      // The last attach counts: from an address the database does not place, the device shows
      // nowhere rather than where it was before.
      server.attach("geo", "alice", "phone", "127.0.0.9");
      EXPECT_TRUE(server.lastAccess("geo", "alice")[lyon].is_null());
      server.attach("geo", "alice", "phone", "127.0.0.2");
      server.attach("geo", "alice", "laptop", "127.0.0.2");
      seen = server.lastAccess("geo", "alice");
      EXPECT_EQ(seen[lyon], placed("Lyon", "FR"));
      EXPECT_EQ(seen[zurich], placed("Lyon", "FR"));
    }
    if (!kept.persistent()) continue;
    // What was placed is kept with the device: a server started afresh reads it from the store.
    Server again(kept.config(dir, "", /*trustProxy=*/true));
    auto seen = again.lastAccess("geo", "alice");
    EXPECT_EQ(seen[lyon], placed("Lyon", "FR"));
    EXPECT_EQ(seen[zurich], placed("Lyon", "FR"));
    EXPECT_EQ(seen[germany], placed("", "DE"));
    EXPECT_TRUE(seen[nowhere].is_null()) << seen[nowhere];
  }
}

TEST(GeoIPTest, WithoutADatabaseNoDeviceShowsAPlace) {
  TempDir dir;
  Server server(Store("memory").config(dir, "", /*trustProxy=*/true));
  makeProject(server.baseURL(), "geo", {{"overall_limit", 1}});
  server.attach("geo", "alice", "phone", "127.0.0.2");
  server.attach("geo", "alice", "laptop", "127.0.0.3");
  const auto seen = server.lastAccess("geo", "alice");
  ASSERT_EQ(seen.size(), 2u);
  for (const auto& [device, access] : seen) EXPECT_TRUE(access.is_null()) << device << access;
}

TEST(GeoIPTest, OnlyATrustedProxyNamesTheAddressThatIsPlaced) {
  TempDir dir;
  const std::string geoip = writeDatabase(dir, kPlaces);
  // Not trusted, the proxy's X-Forwarded-For names nobody: the proxy's own address is placed.
  Server server(Store("memory").config(dir, geoip, /*trustProxy=*/false));
  makeProject(server.baseURL(), "geo", {{"overall_limit", 1}});
  const std::string phone = server.attach("geo", "alice", "phone", "127.0.0.2");
  const std::string laptop = server.attach("geo", "alice", "laptop", "");
  auto seen = server.lastAccess("geo", "alice");
  EXPECT_EQ(seen[phone], placed("Rennes", "FR"));
  EXPECT_EQ(seen[laptop], placed("Rennes", "FR"));
  // A client that forges the header behind a trusted proxy names only itself: the entry the proxy
  // added, the last, is the one believed.
  Server trusting(Store("memory").config(dir, geoip, /*trustProxy=*/true));
  makeProject(trusting.baseURL(), "geo", {{"overall_limit", 1}});
  const std::string forged = trusting.attach("geo", "bob", "phone", "127.0.0.2, 127.0.0.3");
  trusting.attach("geo", "bob", "laptop", "127.0.0.4");
  EXPECT_EQ(trusting.lastAccess("geo", "bob")[forged], placed("Zürich", "CH"));
}

TEST(GeoIPTest, ADatabaseThatCannotBeOpenedStopsTheStart) {
  TempDir dir;
  AppConfig config = serverConfig();
  config.geoipDatabase = dir.file("missing.mmdb");
  try {
    App app(config);
    ADD_FAILURE() << "a server started without its GeoIP database";
  } catch (const std::runtime_error& error) {
    EXPECT_NE(std::string(error.what()).find(dir.file("missing.mmdb")), std::string::npos)
        << error.what();
    EXPECT_NE(std::string(error.what()).find("No such file"), std::string::npos) << error.what();
  }
  // A file of another kind.
  const std::string records = dir.file("records.db");
  { App sqlite(serverConfig(records)); }
  config.geoipDatabase = records;
  EXPECT_THROW(App app(config), std::runtime_error);
}

TEST(GeoIPTest, TheDatabaseIsAFlagAnEnvironmentVariableOrAConfigurationKey) {
  using zelk::server::readSettings;
  EXPECT_EQ(readSettings({"--geoip-db", "/srv/city.mmdb"}, {}, false).app.geoipDatabase,
            "/srv/city.mmdb");
  EXPECT_EQ(readSettings({}, {{"ZELK_SERVER_GEOIP_DB", "/srv/env.mmdb"}}, false).app.geoipDatabase,
            "/srv/env.mmdb");
  TempDir dir;
  const std::string file = dir.file("zelk-server.conf");
  std::ofstream(file) << "geoip-db = /srv/file.mmdb\n";
  EXPECT_EQ(readSettings({"--config", file}, {}, false).app.geoipDatabase, "/srv/file.mmdb");
  EXPECT_EQ(
      readSettings({"--config", file, "--geoip-db", "/srv/flag.mmdb"}, {}, false).app.geoipDatabase,
      "/srv/flag.mmdb");
  EXPECT_EQ(readSettings({}, {}, false).app.geoipDatabase, "");
  EXPECT_NE(zelk::server::usage(false).find("--geoip-db FILE.mmdb"), std::string::npos);
}

}  // namespace
