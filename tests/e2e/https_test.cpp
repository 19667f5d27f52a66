// HTTPS through the real binary with a self-signed pair.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>

#include "e2e/harness.h"
#include "support/certs.h"

namespace velquin::e2e {
namespace {

using ::testing::HasSubstr;

TEST(Https, ServesWithTheConfiguredPairAndDescribesIt) {
  Service probe;  // only for a directory to hold the pair
  testing::CertOptions opts;
  opts.common_name = "gateway.test";
  opts.dns_names = {"localhost"};
  opts.ip_addresses = {"127.0.0.1"};
  auto files = testing::make_self_signed(probe.dir(), "tls", opts);

  ServiceOptions service_opts;
  service_opts.config_lines = {"SslEnabled true", "SslCert " + files.cert.string(),
                               "SslKey " + files.key.string()};
  Service s(service_opts);
  s.start();
  auto url = "https://127.0.0.1:" + std::to_string(s.port());
  auto out = command_output(
      "curl -s --cacert " + files.cert.string() +
      " -o - -w ' %{http_code}' -X POST -H 'Authorization: Bearer " + std::string(kApiKey) +
      "' -H 'Content-Type: application/json' -d '{\"message\":\"tls\"}' " + url + "/v1/echo");
  EXPECT_EQ(out, "tls\n 200");
  // TLS below 1.2 is refused.
  auto old = command_output("curl -s -k --tls-max 1.1 -o /dev/null -w '%{http_code}' " + url +
                            "/internal/health/check");
  EXPECT_EQ(old, "000");
  EXPECT_EQ(s.stop(), 0);
  EXPECT_THAT(
      s.app_log(),
      HasSubstr("Listening on 127.0.0.1:" + std::to_string(s.port()) +
                ", SSL enabled, CN=gateway.test, SAN=DNS:localhost, IP:127.0.0.1, expires "));
}

}  // namespace
}  // namespace velquin::e2e
