#include "sandbox.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>
#include <httplib.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <nlohmann/json.hpp>

namespace {

using nlohmann::json;
using zelk::sandbox::Options;
using zelk::sandbox::Sandbox;

const httplib::Headers kAuth = {{"Authorization", "Basic proj1:"}};

json attachBody(const std::string& user, const std::string& vendorId) {
  return {{"user", user},
          {"library", "swift"},
          {"version", "3.0.2"},
          {"device_info",
           {{"os", {{"name", "Debian GNU/Linux"}, {"version", "12"}}},
            {"device", {{"vendor", "Apple"}, {"model", "Linux"}, {"type", "mobile"}}}}},
          {"signals", {{"iosVendorIdentifier", vendorId}}},
          {"metadata", json::object()}};
}

struct Reply {
  int status = 0;
  std::string body;
  json parsed() const { return json::parse(body); }
};

Reply post(httplib::Client& client, const std::string& path, const std::string& body,
           const httplib::Headers& headers = kAuth) {
  auto result = client.Post(path.c_str(), headers, body, "application/json");
  if (!result) throw std::runtime_error("request failed: " + httplib::to_string(result.error()));
  return {result->status, result->body};
}

Reply post(httplib::Client& client, const std::string& path, const json& body,
           const httplib::Headers& headers = kAuth) {
  return post(client, path, body.dump(), headers);
}

class SandboxTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(sandbox.start(&error)) << error;
    connection = std::make_unique<httplib::Client>(sandbox.baseURL());
  }

  Sandbox sandbox;
  std::unique_ptr<httplib::Client> connection;
  httplib::Client& client() { return *connection; }
};

TEST_F(SandboxTest, AttachKeepsOneDevicePerVendorIdentifierAndUser) {
  const json first = post(client(), "/v2/access", attachBody("u1", "vendor-A")).parsed();
  const Reply again = post(client(), "/v2/access", attachBody("u1", "vendor-A"));
  const json other = post(client(), "/v2/access", attachBody("u1", "vendor-B")).parsed();
  const json otherUser = post(client(), "/v2/access", attachBody("u2", "vendor-A")).parsed();

  ASSERT_EQ(again.status, 200);
  const json second = again.parsed();
  EXPECT_TRUE(first["success"].get<bool>());
  EXPECT_EQ(first["device_id"].get<std::string>().rfind("dev_", 0), 0u);
  EXPECT_EQ(second["device_id"], first["device_id"]);
  EXPECT_NE(second["access"], first["access"]);
  EXPECT_EQ(second["attached_devices"], 1);
  EXPECT_EQ(second["default_device_limit"], 3);
  EXPECT_EQ(second["block_over_usage"], false);

  EXPECT_NE(other["device_id"], first["device_id"]);
  EXPECT_EQ(other["attached_devices"], 2);
  EXPECT_NE(otherUser["device_id"], first["device_id"]);
  EXPECT_EQ(otherUser["attached_devices"], 1);

  // Devices belong to a project: the same user and vendor identifier elsewhere is a new device.
  const json elsewhere = post(client(), "/v2/access", attachBody("u1", "vendor-A"),
                              {{"Authorization", "Basic proj2:"}})
                             .parsed();
  EXPECT_NE(elsewhere["device_id"], first["device_id"]);
  EXPECT_EQ(elsewhere["attached_devices"], 1);
}

TEST_F(SandboxTest, AttachRejectsMalformedBodies) {
  json noVendor = attachBody("u1", "v");
  noVendor["signals"] = json::object();
  json numericVendor = attachBody("u1", "v");
  numericVendor["signals"]["iosVendorIdentifier"] = 7;
  json noDeviceInfo = attachBody("u1", "v");
  noDeviceInfo.erase("device_info");
  json badMetadata = attachBody("u1", "v");
  badMetadata["metadata"] = "none";

  for (const std::string& body :
       {std::string("not json"), std::string("[1]"), attachBody("", "v").dump(), noVendor.dump(),
        numericVendor.dump(), noDeviceInfo.dump(), badMetadata.dump()}) {
    const Reply reply = post(client(), "/v2/access", body);
    EXPECT_EQ(reply.status, 400) << body;
    EXPECT_EQ(reply.parsed()["success"], false) << body;
    EXPECT_FALSE(reply.parsed()["error"].get<std::string>().empty()) << body;
  }
  json arrayMetadata = attachBody("u1", "v");
  arrayMetadata["metadata"] = json::array();
  EXPECT_EQ(post(client(), "/v2/access", arrayMetadata).status, 200);
}

TEST_F(SandboxTest, DetachRemovesKnownDevicesOnly) {
  const json a = post(client(), "/v2/access", attachBody("u1", "vendor-A")).parsed();
  post(client(), "/v2/access", attachBody("u1", "vendor-B"));
  const std::string device = a["device_id"];

  const Reply wrongUser =
      post(client(), "/v2/access/detach", json{{"device", device}, {"user", "u2"}});
  EXPECT_EQ(wrongUser.status, 404);
  EXPECT_EQ(wrongUser.parsed(), (json{{"success", false}, {"error", "unknown device"}}));

  const Reply detached =
      post(client(), "/v2/access/detach", json{{"device", device}, {"user", "u1"}});
  ASSERT_EQ(detached.status, 200);
  EXPECT_EQ(detached.parsed(),
            (json{{"success", true}, {"device_id", device}, {"attached_devices", 1}}));

  EXPECT_EQ(post(client(), "/v2/access/detach", json{{"device", device}, {"user", "u1"}}).status,
            404);
  EXPECT_EQ(post(client(), "/v2/access/detach", json{{"user", "u1"}}).status, 400);
  // Attaching the detached vendor identifier again makes a new device.
  EXPECT_NE(post(client(), "/v2/access", attachBody("u1", "vendor-A")).parsed()["device_id"],
            device);
}

TEST_F(SandboxTest, IdentifyIsStablePerVendorIdentifierAndEchoesKnownIdentities) {
  const json request = {{"device_info", json::object()},
                        {"signals", {{"iosVendorIdentifier", "vendor-A"}}},
                        {"metadata", json::array()}};
  const json first = post(client(), "/v2/identity", request).parsed();
  const json second = post(client(), "/v2/identity", request).parsed();
  json otherVendor = request;
  otherVendor["signals"]["iosVendorIdentifier"] = "vendor-B";
  const json other = post(client(), "/v2/identity", otherVendor).parsed();

  const std::string identity = first["identity"];
  EXPECT_EQ(identity.rfind("id_", 0), 0u);
  EXPECT_EQ(second["identity"], identity);
  EXPECT_DOUBLE_EQ(second["confidence"].get<double>(), 0.9);
  EXPECT_NE(other["identity"], identity);

  json known = otherVendor;
  known["identity_id"] = identity;
  EXPECT_EQ(post(client(), "/v2/identity", known).parsed(),
            (json{{"identity", identity}, {"confidence", 1.0}}));
  known["identity_id"] = "id_unknown";
  EXPECT_EQ(post(client(), "/v2/identity", known).parsed()["identity"], other["identity"]);
  EXPECT_EQ(post(client(), "/v2/identity", json{{"device_info", json::object()}}).status, 400);
}

TEST_F(SandboxTest, MissingOrMalformedAuthorizationIs401) {
  const std::string body = attachBody("u1", "v").dump();
  for (const char* value : {"", "Basic", "Basic :", "Basic proj1", "Basic proj1:secret",
                            "Basic cHJvajE6", "Bearer proj1:", "basic proj1:"}) {
    httplib::Headers headers;
    if (*value) headers.emplace("Authorization", value);
    const Reply reply = post(client(), "/v2/access", body, headers);
    EXPECT_EQ(reply.status, 401) << value;
    EXPECT_EQ(reply.parsed(),
              (json{{"success", false}, {"error", "missing or malformed Authorization header"}}))
        << value;
  }
  EXPECT_EQ(sandbox.requests().size(), 8u);  // rejected requests are recorded too
}

TEST_F(SandboxTest, UnknownOperationsAre404) {
  EXPECT_EQ(post(client(), "/v2/nothing", json::object()).status, 404);
  auto get = client().Get("/v2/access", kAuth);
  ASSERT_TRUE(get);
  EXPECT_EQ(get->status, 404);
  EXPECT_EQ(json::parse(get->body), (json{{"success", false}, {"error", "not found"}}));
}

TEST_F(SandboxTest, ScriptedAnswersAreUsedOnceInOrder) {
  sandbox.script("attach", 503, "{\"retry\":true}");
  sandbox.script("attach", 500, "second");
  const std::string body = attachBody("u1", "v").dump();

  const Reply first = post(client(), "/v2/access", body);
  EXPECT_EQ(first.status, 503);
  EXPECT_EQ(first.body, "{\"retry\":true}");
  // Other operations are not affected.
  EXPECT_EQ(post(client(), "/v2/identity",
                 json{{"device_info", json::object()}, {"signals", {{"iosVendorIdentifier", "v"}}}})
                .status,
            200);
  const Reply second = post(client(), "/v2/access", body);
  EXPECT_EQ(second.status, 500);
  EXPECT_EQ(second.body, "second");
  const Reply normal = post(client(), "/v2/access", body);
  EXPECT_EQ(normal.status, 200);
  EXPECT_TRUE(normal.parsed()["success"].get<bool>());

  EXPECT_THROW(sandbox.script("attachh", 500, ""), std::invalid_argument);
}

TEST_F(SandboxTest, RecordsRequestsAsReceived) {
  client().set_url_encode(false);
  const std::string body = "{ \"device\" : \"dev_x\",\n \"user\":\"u1\" }";
  httplib::Headers headers = kAuth;
  headers.emplace("X-Trace", "abc def");
  post(client(), "/v2/access/detach?a=1&b=%20c", body, headers);
  post(client(), "/v2/identity", std::string("{}"));

  const auto recorded = sandbox.requests();
  ASSERT_EQ(recorded.size(), 2u);
  EXPECT_EQ(recorded[0].method, "POST");
  EXPECT_EQ(recorded[0].path, "/v2/access/detach");
  EXPECT_EQ(recorded[0].query, "a=1&b=%20c");
  EXPECT_EQ(recorded[0].body, body);
  const auto& h = recorded[0].headers;
  EXPECT_NE(
      std::find(h.begin(), h.end(), std::pair<std::string, std::string>("X-Trace", "abc def")),
      h.end());
  EXPECT_NE(std::find(h.begin(), h.end(),
                      std::pair<std::string, std::string>("Authorization", "Basic proj1:")),
            h.end());
  for (const auto& [name, value] : h) EXPECT_NE(name, "REMOTE_ADDR");
  EXPECT_EQ(recorded[1].path, "/v2/identity");
  EXPECT_EQ(recorded[1].query, "");

  sandbox.clearRequests();
  EXPECT_TRUE(sandbox.requests().empty());
}

TEST_F(SandboxTest, AdminEndpoints) {
  post(client(), "/v2/access", attachBody("u1", "vendor-A"));
  auto listed = client().Get("/_sandbox/requests");
  ASSERT_TRUE(listed);
  const json requests = json::parse(listed->body);
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0]["path"], "/v2/access");
  EXPECT_EQ(json::parse(requests[0]["body"].get<std::string>()), attachBody("u1", "vendor-A"));
  const json& headers = requests[0]["headers"];
  EXPECT_NE(std::find(headers.begin(), headers.end(), json{"Authorization", "Basic proj1:"}),
            headers.end());

  auto state = client().Get("/_sandbox/state");
  ASSERT_TRUE(state);
  const json devices = json::parse(state->body)["projects"]["proj1"]["users"]["u1"]["devices"];
  ASSERT_EQ(devices.size(), 1u);
  EXPECT_EQ(devices[0]["device_info"]["os"]["version"], "12");

  ASSERT_TRUE(client().Delete("/_sandbox/requests"));
  EXPECT_TRUE(sandbox.requests().empty());

  EXPECT_EQ(post(client(), "/_sandbox/script",
                 json{{"operation", "detach"}, {"status", 418}, {"body", "x"}}, {})
                .status,
            200);
  EXPECT_EQ(
      post(client(), "/_sandbox/script", json{{"operation", "nope"}, {"status", 500}}, {}).status,
      400);
  EXPECT_EQ(post(client(), "/_sandbox/script", json{{"operation", "detach"}, {"status", "500"}}, {})
                .status,
            400);
  const Reply scripted = post(client(), "/v2/access/detach", json::object());
  EXPECT_EQ(scripted.status, 418);
  EXPECT_EQ(scripted.body, "x");
}

TEST(SandboxLifecycle, RestartKeepsPortAndStateAndABusyPortIsAnError) {
  Sandbox sandbox;
  ASSERT_TRUE(sandbox.start());
  const int port = sandbox.port();
  EXPECT_EQ(sandbox.baseURL(), "http://127.0.0.1:" + std::to_string(port));
  httplib::Client client(sandbox.baseURL());
  const json before = post(client, "/v2/access", attachBody("u1", "vendor-A")).parsed();

  Options taken;
  taken.port = port;
  Sandbox rival(taken);
  std::string error;
  EXPECT_FALSE(rival.start(&error));
  EXPECT_NE(error.find(std::to_string(port)), std::string::npos) << error;

  sandbox.stop();
  EXPECT_FALSE(sandbox.running());
  httplib::Client fresh(sandbox.baseURL());
  EXPECT_FALSE(fresh.Get("/_sandbox/state"));

  ASSERT_TRUE(sandbox.start(&error)) << error;
  EXPECT_EQ(sandbox.port(), port);
  const json after = post(fresh, "/v2/access", attachBody("u1", "vendor-A")).parsed();
  EXPECT_EQ(after["device_id"], before["device_id"]);
}

// A self-signed certificate for 127.0.0.1, written once for all TLS tests.
class SandboxTLSTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    char pattern[] = "/tmp/zelk-sandbox-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir = pattern;
    certFile = (dir / "cert.pem").string();
    keyFile = (dir / "key.pem").string();

    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(EVP_EC_gen("P-256"), EVP_PKEY_free);
    std::unique_ptr<X509, decltype(&X509_free)> cert(X509_new(), X509_free);
    ASSERT_TRUE(key && cert);
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 24 * 3600);
    X509_set_pubkey(cert.get(), key.get());
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("127.0.0.1"), -1, -1, 0);
    X509_set_issuer_name(cert.get(), name);
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, cert.get(), cert.get(), nullptr, nullptr, 0);
    for (auto [nid, value] : {std::pair{NID_subject_alt_name, "IP:127.0.0.1"},
                              std::pair{NID_basic_constraints, "critical,CA:TRUE"}}) {
      X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
      ASSERT_NE(ext, nullptr);
      X509_add_ext(cert.get(), ext, -1);
      X509_EXTENSION_free(ext);
    }
    ASSERT_GT(X509_sign(cert.get(), key.get(), EVP_sha256()), 0);

    FILE* out = std::fopen(certFile.c_str(), "w");
    ASSERT_NE(out, nullptr);
    PEM_write_X509(out, cert.get());
    std::fclose(out);
    out = std::fopen(keyFile.c_str(), "w");
    ASSERT_NE(out, nullptr);
    PEM_write_PrivateKey(out, key.get(), nullptr, nullptr, 0, nullptr, nullptr);
    std::fclose(out);
  }
  static void TearDownTestSuite() { std::filesystem::remove_all(dir); }

  static Options tlsOptions(std::string maxVersion = "") {
    Options options;
    options.tlsCertFile = certFile;
    options.tlsKeyFile = keyFile;
    options.tlsMaxVersion = std::move(maxVersion);
    return options;
  }

  // The TLS version a client offering [minVersion, maxVersion] negotiates; 0 if the handshake
  // fails.
  static int negotiatedVersion(int port, int minVersion, int maxVersion) {
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    SSL_CTX_set_security_level(ctx, 0);
    SSL_CTX_set_cipher_list(ctx, "DEFAULT:@SECLEVEL=0");
    SSL_CTX_set_min_proto_version(ctx, minVersion);
    SSL_CTX_set_max_proto_version(ctx, maxVersion);
    BIO* bio = BIO_new_ssl_connect(ctx);
    BIO_set_conn_hostname(bio, ("127.0.0.1:" + std::to_string(port)).c_str());
    SSL* ssl = nullptr;
    BIO_get_ssl(bio, &ssl);
    const int version = BIO_do_handshake(bio) == 1 ? SSL_version(ssl) : 0;
    BIO_free_all(bio);
    SSL_CTX_free(ctx);
    return version;
  }

  static inline std::filesystem::path dir;
  static inline std::string certFile, keyFile;
};

TEST_F(SandboxTLSTest, ServesHTTPSWithAVerifiableCertificate) {
  Sandbox sandbox(tlsOptions());
  std::string error;
  ASSERT_TRUE(sandbox.start(&error)) << error;
  ASSERT_EQ(sandbox.baseURL().rfind("https://127.0.0.1:", 0), 0u);

  httplib::Client client(sandbox.baseURL());
  client.set_ca_cert_path(certFile.c_str());
  client.enable_server_certificate_verification(true);
  const Reply reply = post(client, "/v2/access", attachBody("u1", "vendor-A"));
  EXPECT_EQ(reply.status, 200);
  EXPECT_TRUE(reply.parsed()["success"].get<bool>());
  EXPECT_EQ(sandbox.requests().size(), 1u);
  EXPECT_EQ(negotiatedVersion(sandbox.port(), TLS1_2_VERSION, TLS1_3_VERSION), TLS1_3_VERSION);
}

TEST_F(SandboxTLSTest, MaxVersionLimitsWhatTheServerSpeaks) {
  Sandbox modern(tlsOptions("1.2"));
  ASSERT_TRUE(modern.start());
  EXPECT_EQ(negotiatedVersion(modern.port(), TLS1_VERSION, TLS1_3_VERSION), TLS1_2_VERSION);
  EXPECT_EQ(negotiatedVersion(modern.port(), TLS1_3_VERSION, TLS1_3_VERSION), 0);

  Sandbox old(tlsOptions("1.0"));
  ASSERT_TRUE(old.start());
  EXPECT_EQ(negotiatedVersion(old.port(), TLS1_VERSION, TLS1_3_VERSION), TLS1_VERSION);
  EXPECT_EQ(negotiatedVersion(old.port(), TLS1_2_VERSION, TLS1_3_VERSION), 0);
}

TEST_F(SandboxTLSTest, BadTLSSettingsFailToStart) {
  std::string error;
  EXPECT_FALSE(Sandbox(tlsOptions("1.4")).start(&error));
  EXPECT_NE(error.find("1.4"), std::string::npos) << error;
  Options missingKey = tlsOptions();
  missingKey.tlsKeyFile = (dir / "missing.pem").string();
  EXPECT_FALSE(Sandbox(missingKey).start(&error));
  EXPECT_NE(error.find("missing.pem"), std::string::npos) << error;
}

}  // namespace
