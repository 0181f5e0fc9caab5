// SPDX-License-Identifier: Apache-2.0
// GET /openapi.json: the document the service describes itself with, checked against the
// service that serves it. Every route it describes is one the server answers, with the
// credentials it says and one of the statuses and content types it lists; every route the server
// has is in it.
#include <cctype>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <zelk/version.hpp>

#include "routes/admin_routes.hpp"
#include "routes/operations.hpp"
#include "server_test_support.hpp"

namespace {

using nlohmann::json;
using zelk::server::App;
using zelk::testing::Headers;
using zelk::testing::HttpClient;
using zelk::testing::HttpResult;

constexpr const char* kClientId = "openapi-test";

// A route as the document names it: "GET" and the path with its {parameters}.
using Route = std::pair<std::string, std::string>;

std::string upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

// Percent-encodes everything but unreserved characters, for a query value.
std::string encoded(const std::string& text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (std::isalnum(byte) || c == '-' || c == '_' || c == '.' || c == '~') {
      out += c;
    } else {
      out += '%';
      out += kHex[byte >> 4];
      out += kHex[byte & 15];
    }
  }
  return out;
}

// The path with each {parameter} filled in by a value no record has.
std::string filledPath(const std::string& path) {
  return std::regex_replace(path, std::regex(R"(\{([^}/]+)\})"), "openapi-test-$1");
}

// What a security scheme of the document stands for, as this test holds it for its project.
std::string credentialFor(const std::string& scheme) {
  if (scheme == "clientId" || scheme == "streamClientId")
    return "Basic " + std::string(kClientId) + ":";
  if (scheme == "streamAccess") return "no-such-access";
  if (scheme == "adminToken") return zelk::testing::kAdminToken;
  return "";
}

// The refusals that mean the credentials were not taken: the document told them wrong.
bool refusesCredentials(const std::string& error) {
  return error == "missing or malformed Authorization header" ||
         error == "missing or malformed auth parameter" ||
         error == "missing or wrong admin token" || error == "unknown client id";
}

class OpenAPIDocument : public ::testing::Test {
 protected:
  void SetUp() override {
    app = std::make_unique<App>(zelk::testing::serverConfig());
    std::string error;
    ASSERT_TRUE(app->start(&error)) << error;
    zelk::testing::makeProject(app->baseURL(), kClientId);
    served = HttpClient(app->baseURL()).Get("/openapi.json").value_or(HttpResult{});
    ASSERT_EQ(served.status, 200) << served.body;
    doc = json::parse(served.body, nullptr, /*allow_exceptions=*/false);
    ASSERT_TRUE(doc.is_object()) << "GET /openapi.json is not a JSON object";
    ASSERT_TRUE(doc.contains("paths") && doc["paths"].is_object());
  }

  // The object a "$ref" names within the document, or `node` itself when it is none.
  const json& resolved(const json& node) const {
    if (!node.is_object() || !node.contains("$ref")) return node;
    const std::string ref = node["$ref"];
    EXPECT_TRUE(ref.starts_with("#/")) << ref;
    return resolved(doc.at(json::json_pointer(ref.substr(1))));
  }

  std::vector<Route> documented() const {
    std::vector<Route> routes;
    for (const auto& [path, item] : doc["paths"].items()) {
      for (const auto& [method, operation] : item.items()) {
        if (method == "parameters" || method == "summary" || method == "description") continue;
        routes.emplace_back(upper(method), path);
      }
    }
    return routes;
  }

  const json& operation(const Route& route) const {
    std::string method = route.first;
    for (char& c : method) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return doc["paths"][route.second][method];
  }

  // Sends `route` the way its operation says to authorise it, with its required parameters and
  // no body.
  HttpResult send(const Route& route) const {
    const json& op = operation(route);
    std::vector<std::string> query;
    Headers headers;
    for (const json& each : op.value("parameters", json::array())) {
      const json& parameter = resolved(each);
      if (parameter.value("in", "") != "query" || !parameter.value("required", false)) continue;
      const json& schema = parameter.value("schema", json::object());
      const std::string value = schema.value("type", "") == "integer"
                                    ? std::to_string(schema.value("minimum", 1))
                                    : "openapi-test";
      query.push_back(parameter["name"].get<std::string>() + "=" + value);
    }
    const json& security = op.contains("security") ? op["security"] : doc.value("security", json());
    if (security.is_array() && !security.empty()) {
      for (const auto& [name, scopes] : security[0].items()) {
        const json& scheme = doc.at("components").at("securitySchemes").at(name);
        const std::string credential = credentialFor(name);
        EXPECT_FALSE(credential.empty()) << "no credential for the security scheme " << name;
        if (scheme.value("type", "") == "http" && scheme.value("scheme", "") == "bearer") {
          headers.emplace_back("Authorization", "Bearer " + credential);
        } else if (scheme.value("type", "") == "apiKey" && scheme.value("in", "") == "header") {
          headers.emplace_back(scheme["name"].get<std::string>(), credential);
        } else if (scheme.value("type", "") == "apiKey" && scheme.value("in", "") == "query") {
          query.push_back(scheme["name"].get<std::string>() + "=" + encoded(credential));
        } else {
          ADD_FAILURE() << "the security scheme " << name << " is of a kind this test cannot send";
        }
      }
    }
    std::string target = filledPath(route.second);
    for (std::size_t i = 0; i < query.size(); ++i) target += (i ? "&" : "?") + query[i];
    HttpClient http(app->baseURL());
    std::optional<HttpResult> result;
    if (route.first == "GET") {
      result = http.Get(target, headers);
    } else if (route.first == "POST") {
      result = http.Post(target, headers, "", "application/json");
    } else {
      ADD_FAILURE() << route.first << " " << route.second << ": a method this test cannot send";
    }
    return result.value_or(HttpResult{});
  }

  std::unique_ptr<App> app;
  HttpResult served;
  json doc;
};

TEST_F(OpenAPIDocument, IsServedAsTheFileItIsBuiltFrom) {
  EXPECT_EQ(served.get_header_value("Content-Type"), "application/json");
  EXPECT_TRUE(std::regex_match(doc.value("openapi", ""), std::regex(R"(3\.1\.\d+)")))
      << doc.value("openapi", "");
  // The version is the service's: it changes with the routes' releases.
  EXPECT_EQ(doc["info"].value("version", ""), ZELK_VERSION)
      << "info.version in server/openapi.json must follow the project's version (CMakeLists.txt)";
  std::ifstream file(ZELK_OPENAPI_DOCUMENT, std::ios::binary);
  ASSERT_TRUE(file) << ZELK_OPENAPI_DOCUMENT;
  std::ostringstream text;
  text << file.rdbuf();
  EXPECT_EQ(served.body, text.str());
}

TEST_F(OpenAPIDocument, EveryRouteItDescribesIsAnsweredWithAStatusItLists) {
  const std::vector<Route> routes = documented();
  ASSERT_GE(routes.size(), 30u);
  for (const Route& route : routes) {
    SCOPED_TRACE(route.first + " " + route.second);
    const HttpResult answer = send(route);
    ASSERT_NE(answer.status, 0) << "no answer";
    const json body = json::parse(answer.body, nullptr, /*allow_exceptions=*/false);
    const std::string error = body.is_object() ? body.value("error", "") : "";
    // The server's answer for a path it has no route for.
    EXPECT_FALSE(answer.status == 404 && error == "not found") << answer.body;
    EXPECT_FALSE(refusesCredentials(error)) << answer.body;
    const json& responses = operation(route)["responses"];
    const std::string status = std::to_string(answer.status);
    std::string listed;
    for (const std::string& key : {status, status.substr(0, 1) + "XX", std::string("default")}) {
      if (responses.contains(key)) {
        listed = key;
        break;
      }
    }
    ASSERT_FALSE(listed.empty()) << "status " << status << " is not listed: " << answer.body;
    const json& response = resolved(responses[listed]);
    const std::string contentType = answer.get_header_value("Content-Type");
    const std::string mediaType = contentType.substr(0, contentType.find(';'));
    if (!response.contains("content")) {
      EXPECT_TRUE(answer.body.empty()) << answer.body;
    } else {
      EXPECT_TRUE(response["content"].contains(mediaType))
          << mediaType << " is not listed for " << status;
    }
    // A refusal the document gives as an error object says what was wrong.
    const json& schema = response.contains("content") && response["content"].contains(mediaType)
                             ? response["content"][mediaType].value("schema", json())
                             : json();
    if (schema == json{{"$ref", "#/components/schemas/Error"}}) {
      EXPECT_FALSE(error.empty()) << answer.body;
    }
  }
}

TEST_F(OpenAPIDocument, EveryRouteOfTheServerIsInIt) {
  const std::vector<Route> routes = documented();
  const std::set<Route> described(routes.begin(), routes.end());
  EXPECT_EQ(described.size(), routes.size());

  // The service's routes under /v2/: every operation, each reached by a route described.
  std::set<std::string> reached;
  for (const Route& route : routes) {
    if (!route.second.starts_with("/v2/")) continue;
    zelk::server::http::Request req;
    req.method = route.first;
    req.path = filledPath(route.second);
    req.target = req.path;
    const auto call = zelk::server::callOf(req);
    EXPECT_TRUE(call.has_value()) << route.first << " " << route.second << " is no operation";
    if (call) reached.insert(std::string(zelk::server::operationName(call->operation)));
  }
  std::set<std::string> operations;
  for (int i = 0;; ++i) {
    const std::string_view name =
        zelk::server::operationName(static_cast<zelk::server::Operation>(i));
    if (name.empty()) break;
    operations.insert(std::string(name));
  }
  EXPECT_GE(operations.size(), 12u);
  EXPECT_EQ(reached, operations);

  // The admin API's, from its own table, and no others under /admin/.
  std::set<Route> admin;
  for (const auto& [method, path] : zelk::server::AdminRoutes::routes())
    admin.emplace(method, path);
  EXPECT_GE(admin.size(), 18u);
  std::set<Route> describedAdmin;
  for (const Route& route : described) {
    if (route.second.starts_with("/admin/")) describedAdmin.insert(route);
  }
  EXPECT_EQ(describedAdmin, admin);

  // The rest are the health routes and the document itself.
  std::set<Route> others;
  for (const Route& route : described) {
    if (!route.second.starts_with("/v2/") && !route.second.starts_with("/admin/"))
      others.insert(route);
  }
  const std::set<Route> expected = {
      {"GET", "/healthz"}, {"GET", "/readyz"}, {"GET", "/metrics"}, {"GET", "/openapi.json"}};
  EXPECT_EQ(others, expected);
}

}  // namespace
