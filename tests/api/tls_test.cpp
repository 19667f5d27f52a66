// HTTPS serving and the certificate details of the "Listening on" line, with
// a self-signed pair made for each test.

#include <cstdio>
#include <string>

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include "fake_api.h"
#include "http_client.h"
#include "logger/testing.h"
#include "support/temp_dir.h"

namespace velquin::testing {
namespace {

struct Pair {
  std::string cert;
  std::string key;
};

// A self-signed EC certificate; san is an OpenSSL extension value or "".
Pair make_pair(const TempDir& dir, const std::string& cn, const std::string& san) {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  X509* cert = X509_new();
  X509_set_version(cert, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
  X509_gmtime_adj(X509_getm_notBefore(cert), 0);
  ASN1_TIME_set_string_X509(X509_getm_notAfter(cert), "20391231120000Z");
  X509_set_pubkey(cert, key);
  X509_NAME* name = X509_get_subject_name(cert);
  X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("Test"), -1, -1, 0);
  if (!cn.empty()) {
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(cn.c_str()), -1, -1, 0);
  }
  X509_set_issuer_name(cert, name);
  if (!san.empty()) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, NID_subject_alt_name, san.c_str());
    X509_add_ext(cert, ext, -1);
    X509_EXTENSION_free(ext);
  }
  X509_sign(cert, key, EVP_sha256());

  Pair pair{(dir.path() / "cert.pem").string(), (dir.path() / "key.pem").string()};
  FILE* f = std::fopen(pair.cert.c_str(), "w");
  PEM_write_X509(f, cert);
  std::fclose(f);
  f = std::fopen(pair.key.c_str(), "w");
  PEM_write_PrivateKey(f, key, nullptr, nullptr, 0, nullptr, nullptr);
  std::fclose(f);
  X509_free(cert);
  EVP_PKEY_free(key);
  return pair;
}

struct DescribeCase {
  std::string name;
  std::string cn;
  std::string san;
  std::string expected;
};

class DescribeCertificate : public ::testing::TestWithParam<DescribeCase> {};

TEST_P(DescribeCertificate, ListsWhatTheCertificateHolds) {
  TempDir dir;
  Pair pair = make_pair(dir, GetParam().cn, GetParam().san);
  EXPECT_EQ(api::describe_certificate(pair.cert), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, DescribeCertificate,
    ::testing::Values(
        DescribeCase{
            "CnSanExpiry", "gw.example", "DNS:gw.example,IP:127.0.0.1,email:a@b,IP:::1",
            ", CN=gw.example, SAN=DNS:gw.example, IP:127.0.0.1, IP:::1, expires 2039-12-31"},
        DescribeCase{"NoSanExtension", "gw.example", "", ", CN=gw.example, expires 2039-12-31"},
        // Without a common name the description stops before it starts.
        DescribeCase{"NoCommonName", "", "DNS:gw.example", ""}),
    [](const auto& test) { return test.param.name; });

TEST(DescribeCertificateFile, UnreadableOrNotPemGivesNothing) {
  TempDir dir;
  EXPECT_EQ(api::describe_certificate((dir.path() / "missing.pem").string()), "");
  EXPECT_EQ(api::describe_certificate(dir.write("junk.pem", "not a certificate").string()), "");
}

TEST(Https, ServesOverTlsAndLogsTheCertificate) {
  TempDir dir;
  Pair pair = make_pair(dir, "localhost", "DNS:localhost,IP:127.0.0.1");
  FakeModules modules;
  modules.settings = {{"SslEnabled", "true"}, {"SslCert", pair.cert}, {"SslKey", pair.key}};
  logger::LogCapture logs;
  FakeApi server(modules);
  server.start();
  EXPECT_TRUE(logs.contains(
      logger::Level::info,
      "Listening on 127.0.0.1:0, SSL enabled, CN=localhost, SAN=DNS:localhost, IP:127.0.0.1, "
      "expires 2039-12-31"));
  auto reply = http_request(server.port(), "GET", "/internal/health/check", "", {}, true);
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->status, 200);
  // A plain-text client gets no answer from a TLS listener.
  auto plain = http_request(server.port(), "GET", "/internal/health/check");
  EXPECT_FALSE(plain && plain->status == 200);
}

TEST(Https, UnusableKeyMakesStartThrow) {
  TempDir dir;
  Pair pair = make_pair(dir, "localhost", "");
  FakeModules modules;
  modules.settings = {{"SslEnabled", "true"},
                      {"SslCert", pair.cert},
                      {"SslKey", dir.write("bad.pem", "garbage").string()}};
  FakeApi server(modules);
  EXPECT_ANY_THROW(server.start());
}

}  // namespace
}  // namespace velquin::testing
