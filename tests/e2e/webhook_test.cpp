// Signed deliveries from code forges against the real binary.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <openssl/hmac.h>
#include <sys/stat.h>

#include <ctime>
#include <fstream>
#include <string>

#include "e2e/harness.h"

namespace velquin::e2e {
namespace {

using json = nlohmann::json;

const std::string SECRET = "s3cret";

std::string hmac_hex(const std::string& data) {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  HMAC(EVP_sha256(), SECRET.data(), static_cast<int>(SECRET.size()),
       reinterpret_cast<const unsigned char*>(data.data()), data.size(), out, &length);
  std::string hex;
  for (unsigned int i = 0; i < length; ++i) {
    hex += "0123456789abcdef"[out[i] >> 4];
    hex += "0123456789abcdef"[out[i] & 15];
  }
  return hex;
}

TEST(Webhook, SignedDeliveriesRunRefusalsAreAuditedAndReplaysRefused) {
  Service service;
  service.write_alias_file("deploy.yaml", R"(deploy:
  type: process
  command: echo {{ repo | shell }} {{ event | shell }} {{ ref | shell }}; cat "{{ run_dir }}/event.json"
  parameters:
    repo: {from: /repository/full_name, required: true}
    event: {header: X-GitHub-Event, choices: [push]}
    ref: {from: /ref}
  files:
    - {location: event.json, content: '{{ request_body }}'}
)");
  service.write_auth_file("hooks.yaml", R"(webhooks:
  forge: {scheme: github, secret_file: secrets/forge, allowed_aliases: [deploy]}
  stamp: {scheme: generic, secret_file: secrets/forge, allowed_aliases: [deploy],
          header: X-Signature, timestamp_header: X-Timestamp, tolerance_seconds: 60}
)");
  const auto secret = service.dir() / "auth.d/secrets/forge";
  std::filesystem::create_directories(secret.parent_path());
  { std::ofstream(secret) << SECRET << "\n"; }
  ::chmod(secret.c_str(), 0600);
  service.start();

  // Members the alias does not declare ("extra") are ignored, not refused.
  const std::string body =
      R"({"ref":"refs/heads/main","repository":{"full_name":"octo/repo"},"extra":[1]})";
  const auto github = [&](const std::string& id, const std::string& event,
                          const std::string& signature) {
    return http(service.port(), "POST", "/v1/deploy",
                {{"Content-Type", "application/json"},
                 {"X-GitHub-Event", event},
                 {"X-GitHub-Delivery", id},
                 {"X-Hub-Signature-256", "sha256=" + signature}},
                body);
  };
  const auto generic = [&](std::time_t when) {
    const std::string stamp = std::to_string(when);
    return http(service.port(), "POST", "/v1/deploy",
                {{"Content-Type", "application/json"},
                 {"X-Timestamp", stamp},
                 {"X-Signature", hmac_hex(stamp + "." + body)}},
                body);
  };
  const std::string good = hmac_hex(body);
  std::string wrong = good;
  wrong[0] = wrong[0] == '0' ? '1' : '0';

  const auto pushed = github("d-1", "push", good);
  EXPECT_EQ(pushed.status, 200);
  EXPECT_EQ(pushed.body, "octo/repo push refs/heads/main\n" + body);
  EXPECT_EQ(github("d-1", "push", good).status, 401);   // replayed
  EXPECT_EQ(github("d-2", "push", wrong).status, 401);  // wrong signature
  EXPECT_EQ(github("d-3", "ping", good).status, 400);   // event outside choices
  // d-3 never ran, so its redelivery is no replay.
  EXPECT_EQ(github("d-3", "push", good).status, 200);
  EXPECT_EQ(generic(std::time(nullptr) - 3600).status, 401);  // stale timestamp
  const auto fresh = generic(std::time(nullptr));
  EXPECT_EQ(fresh.status, 200);
  EXPECT_EQ(fresh.body.substr(0, 10), "octo/repo ");
  EXPECT_EQ(service.stop(), 0);

  const auto log = service.app_log();
  EXPECT_THAT(log, ::testing::Not(::testing::HasSubstr(SECRET)));
  const auto audit = service.audit();
  ASSERT_EQ(audit.size(), 7u);
  const std::vector<std::pair<int, std::string>> expected = {
      {200, "success"}, {401, "auth_failed"}, {401, "auth_failed"}, {400, "invalid_parameters"},
      {200, "success"}, {401, "auth_failed"}, {200, "success"}};
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(audit[i]["status"], expected[i].first) << i;
    EXPECT_EQ(audit[i]["app_code"], expected[i].second) << i;
    EXPECT_EQ(audit[i]["user"], expected[i].first == 401 ? "-" : (i == 6 ? "stamp" : "forge")) << i;
  }
}

}  // namespace
}  // namespace velquin::e2e
