// SPDX-License-Identifier: Apache-2.0
#include "support/client_fixture.hpp"

#include <curl/curl.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace zelk::testing {
namespace {

namespace fs = std::filesystem;

// A throwaway certificate authority and a server certificate for 127.0.0.1 that it signed.
class Certificates {
 public:
  Certificates() {
    char pattern[] = "/tmp/zelk-tls-XXXXXX";
    dir_ = mkdtemp(pattern);
    std::ofstream(dir_ / "server.ext")
        << "subjectAltName=IP:127.0.0.1\nbasicConstraints=CA:FALSE\n";
    const std::string d = dir_.string();
    const std::string key = "-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
    ok_ = run("openssl req -x509 " + key + " -keyout " + d + "/ca.key -out " + d +
              "/ca.pem -days 2 -subj '/CN=zelk test CA'") &&
          run("openssl req " + key + " -keyout " + d + "/server.key -out " + d +
              "/server.csr -subj '/CN=127.0.0.1'") &&
          run("openssl x509 -req -in " + d + "/server.csr -CA " + d + "/ca.pem -CAkey " + d +
              "/ca.key -CAcreateserial -out " + d + "/server.pem -days 2 -extfile " + d +
              "/server.ext");
  }
  ~Certificates() { fs::remove_all(dir_); }

  bool ok() const { return ok_; }
  std::string ca() const { return (dir_ / "ca.pem").string(); }
  sandbox::Options serverOptions(std::string maxVersion = "") const {
    sandbox::Options options;
    options.tlsCertFile = (dir_ / "server.pem").string();
    options.tlsKeyFile = (dir_ / "server.key").string();
    options.tlsMaxVersion = std::move(maxVersion);
    return options;
  }

 private:
  static bool run(const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
  }
  fs::path dir_;
  bool ok_ = false;
};

class TLSTest : public ClientFixture {
 protected:
  void SetUp() override { ASSERT_TRUE(certificates.ok()) << "openssl could not make certificates"; }

  // Identifies against `server` and returns what the call reported and printed.
  std::pair<std::optional<ZelkError>, std::string> identify(sandbox::Sandbox& server,
                                                            std::string caFile) {
    Platform p = platform();
    p.baseURL = server.baseURL();
    p.caFile = std::move(caFile);
    auto zelk = makeClient("tls project", p);
    StdoutCapture out;
    std::optional<ZelkError> error;
    std::atomic<bool> done{false};  // failures complete on the HTTP thread
    zelk->identify(std::nullopt, [&](const auto&, const auto& e) {
      error = e;
      done = true;
    });
    EXPECT_TRUE(waitFor([&] { return done.load(); }));
    return {error, out.take()};
  }

  Certificates certificates;
};

TEST_F(TLSTest, TrustsAServerSignedByTheGivenAuthorityAndNoOtherwise) {
  sandbox::Sandbox server(certificates.serverOptions());
  std::string startError;
  ASSERT_TRUE(server.start(&startError)) << startError;
  ASSERT_EQ(server.baseURL().rfind("https://", 0), 0u);

  auto [trusted, trustedOutput] = identify(server, certificates.ca());
  EXPECT_FALSE(trusted) << trusted->message;
  EXPECT_EQ(trustedOutput, "");
  EXPECT_EQ(server.requests().size(), 1u);

  auto [untrusted, untrustedOutput] = identify(server, "");
  ASSERT_TRUE(untrusted);
  EXPECT_EQ(untrusted->message, "Could not identify device");
  EXPECT_EQ(untrustedOutput.rfind("[Zelk SDK]: ", 0), 0u) << untrustedOutput;
  EXPECT_NE(untrustedOutput.find("certificate"), std::string::npos) << untrustedOutput;
  EXPECT_EQ(server.requests().size(), 1u);  // the second request never got through
}

// Whether a client that allows TLS 1.1 completes a handshake with the server: proves that the
// server below really offers that version, so that the refusal is the library's doing.
bool handshakeWithTLS11(const std::string& url, const std::string& ca) {
  CURL* easy = curl_easy_init();
  curl_easy_setopt(easy, CURLOPT_URL, (url + "/_sandbox/requests").c_str());
  curl_easy_setopt(easy, CURLOPT_CAINFO, ca.c_str());
  curl_easy_setopt(
      easy, CURLOPT_SSLVERSION,
      static_cast<long>(CURL_SSLVERSION_TLSv1_1) | static_cast<long>(CURL_SSLVERSION_MAX_TLSv1_1));
  curl_easy_setopt(easy, CURLOPT_SSL_CIPHER_LIST, "DEFAULT:@SECLEVEL=0");
  curl_easy_setopt(
      easy, CURLOPT_WRITEFUNCTION,
      +[](char*, std::size_t size, std::size_t count, void*) { return size * count; });
  const CURLcode code = curl_easy_perform(easy);
  curl_easy_cleanup(easy);
  return code == CURLE_OK;
}

TEST_F(TLSTest, RefusesAServerThatOffersOnlyTLS11) {
  sandbox::Sandbox server(certificates.serverOptions("1.1"));
  std::string startError;
  ASSERT_TRUE(server.start(&startError)) << startError;
  ASSERT_TRUE(handshakeWithTLS11(server.baseURL(), certificates.ca()));

  auto [error, output] = identify(server, certificates.ca());
  ASSERT_TRUE(error);
  EXPECT_EQ(error->message, "Could not identify device");
  EXPECT_EQ(output.rfind("[Zelk SDK]: ", 0), 0u) << output;
  EXPECT_EQ(std::count(output.begin(), output.end(), '\n'), 1) << output;
  EXPECT_TRUE(server.requests().empty());
}

}  // namespace
}  // namespace zelk::testing
