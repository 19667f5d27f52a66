// Signed deliveries: each scheme's signature, the sender entries and replays.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <openssl/hmac.h>
#include <sys/stat.h>

#include <cctype>
#include <map>
#include <string>
#include <vector>

#include "auth/auth.h"
#include "auth/webhook.h"
#include "support/temp_dir.h"
#include "support/text.h"

namespace velquin::auth {
namespace {

using ::testing::ElementsAre;

std::string hmac_hex(const EVP_MD* md, const std::string& key, const std::string& data) {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  HMAC(md, key.data(), static_cast<int>(key.size()),
       reinterpret_cast<const unsigned char*>(data.data()), data.size(), out, &length);
  static const char* digits = "0123456789abcdef";
  std::string hex;
  for (unsigned int i = 0; i < length; ++i) {
    hex += digits[out[i] >> 4];
    hex += digits[out[i] & 15];
  }
  return hex;
}

std::string hex_to_base64(const std::string& hex) {
  std::string bytes;
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    bytes.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return support::base64_encode(bytes);
}

HeaderLookup headers_of(const std::map<std::string, std::string>& headers) {
  return [headers](std::string_view name) -> std::optional<std::string> {
    for (const auto& [key, value] : headers) {
      if (support::to_lower(key) == support::to_lower(name)) {
        return value;
      }
    }
    return std::nullopt;
  };
}

std::string upper(std::string text) {
  for (char& c : text) {
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  return text;
}

const std::string SECRET = "s3cret";
const std::string BODY = R"({"ref":"refs/heads/main"})";
const std::int64_t NOW = 1'700'000'000;
const std::string SIG256 = hmac_hex(EVP_sha256(), SECRET, BODY);

WebhookEntry hook(WebhookScheme scheme) {
  WebhookEntry entry;
  entry.name = "forge";
  entry.scheme = scheme;
  entry.secret = SECRET;
  return entry;
}

WebhookEntry generic(MacEncoding encoding, std::string prefix, std::string timestamp_header = "") {
  WebhookEntry entry = hook(WebhookScheme::generic);
  entry.header = "X-Signature";
  entry.encoding = encoding;
  entry.prefix = std::move(prefix);
  entry.timestamp_header = std::move(timestamp_header);
  return entry;
}

std::string stamped(std::int64_t when) {
  return hmac_hex(EVP_sha256(), SECRET, std::to_string(when) + "." + BODY);
}

struct SignatureCase {
  const char* label;
  WebhookEntry hook;
  std::map<std::string, std::string> headers;
  detail::SignatureCheck expected;
  std::string body = BODY;
};

void PrintTo(const SignatureCase& value, std::ostream* out) {
  *out << value.label;
}

class SignatureTest : public ::testing::TestWithParam<SignatureCase> {};

TEST_P(SignatureTest, ChecksTheExactBytes) {
  const auto& c = GetParam();
  EXPECT_EQ(detail::check_signature(c.hook, headers_of(c.headers), c.body, NOW), c.expected);
}

using detail::SignatureCheck;
const auto gh = WebhookScheme::github;

INSTANTIATE_TEST_SUITE_P(
    Schemes, SignatureTest,
    ::testing::Values(SignatureCase{"github",
                                    hook(gh),
                                    {{"X-Hub-Signature-256", "sha256=" + SIG256}},
                                    SignatureCheck::valid},
                      SignatureCase{"github_upper_hex",
                                    hook(gh),
                                    {{"X-Hub-Signature-256", "sha256=" + upper(SIG256)}},
                                    SignatureCheck::valid},
                      SignatureCase{"github_without_prefix",
                                    hook(gh),
                                    {{"X-Hub-Signature-256", SIG256}},
                                    SignatureCheck::invalid},
                      SignatureCase{"github_other_body",
                                    hook(gh),
                                    {{"X-Hub-Signature-256", "sha256=" + SIG256}},
                                    SignatureCheck::invalid,
                                    BODY + " "},
                      SignatureCase{"github_truncated",
                                    hook(gh),
                                    {{"X-Hub-Signature-256", "sha256=" + SIG256.substr(0, 62)}},
                                    SignatureCheck::invalid},
                      SignatureCase{"github_header_of_gitea",
                                    hook(gh),
                                    {{"X-Gitea-Signature", SIG256}},
                                    SignatureCheck::invalid},
                      SignatureCase{"gitea",
                                    hook(WebhookScheme::gitea),
                                    {{"X-Gitea-Signature", SIG256}},
                                    SignatureCheck::valid},
                      SignatureCase{"gitlab",
                                    hook(WebhookScheme::gitlab),
                                    {{"X-Gitlab-Token", SECRET}},
                                    SignatureCheck::valid},
                      SignatureCase{"gitlab_prefix_of_secret",
                                    hook(WebhookScheme::gitlab),
                                    {{"X-Gitlab-Token", "s3cre"}},
                                    SignatureCheck::invalid},
                      SignatureCase{"generic_hex",
                                    generic(MacEncoding::hex, ""),
                                    {{"X-Signature", SIG256}},
                                    SignatureCheck::valid},
                      SignatureCase{"generic_base64_prefix",
                                    generic(MacEncoding::base64, "v1="),
                                    {{"X-Signature", "v1=" + hex_to_base64(SIG256)}},
                                    SignatureCheck::valid},
                      SignatureCase{"generic_base64_given_hex",
                                    generic(MacEncoding::base64, ""),
                                    {{"X-Signature", SIG256}},
                                    SignatureCheck::invalid},
                      SignatureCase{"generic_fresh_stamp",
                                    generic(MacEncoding::hex, "", "X-Timestamp"),
                                    {{"X-Signature", stamped(NOW - 299)},
                                     {"X-Timestamp", std::to_string(NOW - 299)}},
                                    SignatureCheck::valid},
                      SignatureCase{"generic_stale_stamp",
                                    generic(MacEncoding::hex, "", "X-Timestamp"),
                                    {{"X-Signature", stamped(NOW - 301)},
                                     {"X-Timestamp", std::to_string(NOW - 301)}},
                                    SignatureCheck::stale},
                      SignatureCase{"generic_future_stamp",
                                    generic(MacEncoding::hex, "", "X-Timestamp"),
                                    {{"X-Signature", stamped(NOW + 301)},
                                     {"X-Timestamp", std::to_string(NOW + 301)}},
                                    SignatureCheck::stale},
                      // A fresh timestamp on an old body's MAC does not verify.
                      SignatureCase{"generic_restamped",
                                    generic(MacEncoding::hex, "", "X-Timestamp"),
                                    {{"X-Signature", SIG256}, {"X-Timestamp", std::to_string(NOW)}},
                                    SignatureCheck::invalid},
                      SignatureCase{"generic_stamp_missing",
                                    generic(MacEncoding::hex, "", "X-Timestamp"),
                                    {{"X-Signature", stamped(NOW)}},
                                    SignatureCheck::invalid}),
    [](const auto& param_info) { return std::string(param_info.param.label); });

TEST(DeliveryLog, ForgetsAfterTheWindowAndRefusesAConcurrentDuplicate) {
  detail::DeliveryLog log(std::chrono::hours(24), 2);
  const auto t0 = detail::DeliveryLog::Clock::time_point{} + std::chrono::hours(100);
  EXPECT_FALSE(log.seen("a", t0));
  EXPECT_TRUE(log.record("a", t0));
  EXPECT_FALSE(log.record("a", t0));
  EXPECT_TRUE(log.seen("a", t0 + std::chrono::hours(23)));
  EXPECT_FALSE(log.seen("a", t0 + std::chrono::hours(24)));
  EXPECT_TRUE(log.record("a", t0 + std::chrono::hours(24)));
  // Full: the oldest live id makes room.
  EXPECT_TRUE(log.record("b", t0 + std::chrono::hours(25)));
  EXPECT_TRUE(log.record("c", t0 + std::chrono::hours(25)));
  EXPECT_FALSE(log.seen("a", t0 + std::chrono::hours(25)));
  EXPECT_TRUE(log.seen("c", t0 + std::chrono::hours(25)));
}

class WebhookLoadTest : public ::testing::Test {
 protected:
  void secret(const std::string& name, const std::string& content, mode_t mode = 0600) {
    ::chmod(dir_.write(name, content).c_str(), mode);
  }
  std::vector<std::string> load(const std::string& yaml) {
    dir_.write("hooks.yaml", yaml);
    return auth_.load_auth_config_from(dir_.str());
  }
  velquin::testing::TempDir dir_;
  Auth auth_;
};

struct EntryCase {
  const char* label;
  std::string entry;
  std::vector<std::string> errors;
  mode_t mode = 0600;
};

class WebhookEntryTest : public WebhookLoadTest, public ::testing::WithParamInterface<EntryCase> {};

TEST_P(WebhookEntryTest, ReportsTheProblemAndInstallsNothing) {
  secret("secrets/forge", "s3cret\n", GetParam().mode);
  EXPECT_EQ(load("webhooks:\n  forge: " + GetParam().entry + "\n"), GetParam().errors);
  EXPECT_EQ(auth_.webhooks_empty(), !GetParam().errors.empty());
}

const std::string P = "hooks.yaml: webhook 'forge': ";

INSTANTIATE_TEST_SUITE_P(
    Entries, WebhookEntryTest,
    ::testing::Values(
        EntryCase{"clean", "{scheme: github, secret_file: secrets/forge}", {}},
        EntryCase{"generic",
                  "{scheme: generic, secret_file: secrets/forge, header: X-Sig, "
                  "encoding: base64, prefix: 'v1=', timestamp_header: X-Ts, "
                  "tolerance_seconds: 60, algorithm: sha512}",
                  {}},
        EntryCase{"group_readable",
                  "{scheme: github, secret_file: secrets/forge}",
                  {P + "secret_file 'secrets/forge' must not be readable by group or others "
                       "(mode 0640; use 0600 or 0400)"},
                  0640},
        EntryCase{"missing_secret",
                  "{scheme: gitea, secret_file: secrets/none}",
                  {P + "cannot read secret_file 'secrets/none': No such file or directory"}},
        EntryCase{"no_scheme_no_secret",
                  "{allowed_aliases: [deploy]}",
                  {P + "scheme is required (github, gitlab, gitea or generic)",
                   P + "secret_file is required"}},
        EntryCase{"unknown_scheme",
                  "{scheme: bitbucket, secret_file: secrets/forge}",
                  {P + "scheme must be one of github, gitlab, gitea, generic"}},
        EntryCase{"generic_without_header",
                  "{scheme: generic, secret_file: secrets/forge}",
                  {P + "header is required for the generic scheme"}},
        EntryCase{"generic_key_on_github",
                  "{scheme: github, secret_file: secrets/forge, prefix: 'x'}",
                  {P + "prefix applies to the generic scheme only"}},
        EntryCase{"bad_values",
                  "{scheme: generic, secret_file: secrets/forge, header: 'X Sig', encoding: "
                  "b32, algorithm: md5, tolerance_seconds: 0, secret: x}",
                  {P + "header 'X Sig' is not a header name", P + "encoding must be hex or base64",
                   P + "algorithm must be one of sha256, sha512, sha1",
                   P + "tolerance_seconds must be a whole number of seconds, 1 or more",
                   P + "unknown key 'secret'"}}),
    [](const auto& param_info) { return std::string(param_info.param.label); });

TEST_F(WebhookLoadTest, SharesTheUserNamespaceAndTheTopLevelKeys) {
  secret("forge.key", "s3cret");
  EXPECT_THAT(load("users:\n  forge:\n    api_key_sha256: " + std::string(64, 'a') +
                   "\nwebhooks:\n  forge: {scheme: gitlab, secret_file: forge.key}\n"
                   "hooks: {}\n"),
              ElementsAre("hooks.yaml: unknown key 'hooks' (expected users, jwt or webhooks)",
                          "hooks.yaml: webhook 'forge' has the name of a user (defined in "
                          "hooks.yaml)"));
}

TEST_F(WebhookLoadTest, SecretLosesOneTrailingNewlineAndAFailedReloadKeepsIt) {
  secret("forge.key", "s3cret\n\n");
  ASSERT_THAT(load("webhooks:\n  forge: {scheme: gitlab, secret_file: forge.key, "
                   "allowed_aliases: [deploy]}\n"),
              ::testing::IsEmpty());
  const auto token = [&](const std::string& value) {
    return auth_.verify_webhook(headers_of({{"X-Gitlab-Token", value}}), "").result.has_value();
  };
  EXPECT_TRUE(token("s3cret\n"));
  EXPECT_FALSE(token("s3cret"));
  ::chmod((dir_.path() / "forge.key").c_str(), 0644);
  EXPECT_EQ(load("webhooks:\n  forge: {scheme: gitlab, secret_file: forge.key}\n").size(), 1u);
  EXPECT_TRUE(token("s3cret\n"));
}

TEST_F(WebhookLoadTest, TriesSendersInNameOrderAndRefusesARecordedDelivery) {
  secret("a.key", "first");
  secret("b.key", SECRET);
  ASSERT_THAT(load("webhooks:\n"
                   "  zeta: {scheme: github, secret_file: b.key, allowed_aliases: [deploy]}\n"
                   "  alpha: {scheme: github, secret_file: a.key, allowed_aliases: [other]}\n"),
              ::testing::IsEmpty());
  const auto delivery =
      headers_of({{"X-Hub-Signature-256", "sha256=" + SIG256}, {"X-GitHub-Delivery", "d-1"}});
  EXPECT_TRUE(auth_.webhook_may_sign(delivery, "deploy"));
  EXPECT_FALSE(auth_.webhook_may_sign(delivery, "undeclared"));
  EXPECT_FALSE(auth_.webhook_may_sign(headers_of({}), "deploy"));

  WebhookVerdict first = auth_.verify_webhook(delivery, BODY);
  ASSERT_TRUE(first.result);
  EXPECT_EQ(first.result->user_id, "zeta");
  // Not recorded until its run is admitted: the same delivery may come again.
  EXPECT_TRUE(auth_.verify_webhook(delivery, BODY).result);
  EXPECT_TRUE(auth_.record_delivery(first.delivery_key));
  EXPECT_FALSE(auth_.record_delivery(first.delivery_key));
  WebhookVerdict replay = auth_.verify_webhook(delivery, BODY);
  EXPECT_FALSE(replay.result);
  EXPECT_EQ(replay.reason, "webhook zeta: delivery id already seen");
}

}  // namespace
}  // namespace velquin::auth
