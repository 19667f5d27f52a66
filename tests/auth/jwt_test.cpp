// Bearer tokens signed with generated keys, checked against pinned public keys.

#include <gtest/gtest.h>

#include <openssl/pem.h>

#include <chrono>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "auth/auth.h"
#include "auth/codec.h"
#include "auth/jwt.h"
#include "auth/loader.h"
#include "support/certs.h"
#include "support/temp_dir.h"
#include "test_keys.h"

namespace velquin::auth {
namespace {

using nlohmann::json;
using testing::assemble_jwt;
using testing::base64url;
using testing::shared_key;
using testing::sign_jwt;

double now_seconds() {
  using namespace std::chrono;
  return duration<double>(system_clock::now().time_since_epoch()).count();
}

// Claims that the fixture's settings accept.
json valid_claims() {
  double now = now_seconds();
  return {{"sub", "carol"},
          {"iss", "https://idp.example"},
          {"aud", "velquin"},
          {"iat", static_cast<long long>(now)},
          {"exp", static_cast<long long>(now) + 600},
          {"velquin_aliases", {"echo", "report"}}};
}

// Two RSA keys pinned to different algorithms, so "pinned for this key" is
// distinguishable from "pinned for some key".
class JwtTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_.write("keys/rsa.pem", shared_key("RSA").public_pem());
    dir_.write("keys/ec256.pem", shared_key("P-256").public_pem());
    dir_.write("jwt.yaml", "jwt:\n"
                           "  public_keys:\n"
                           "    - file: keys/rsa.pem\n"
                           "      algorithms: [RS256]\n"
                           "    - pem: |\n" +
                               indent(second_rsa().public_pem(), 8) +
                               "      algorithms: [RS384, RS512]\n"
                               "    - file: keys/ec256.pem\n"
                               "      algorithms: [ES256]\n"
                               "    - pem: |\n" +
                               indent(shared_key("P-384").public_pem(), 8) +
                               "      algorithms: [ES384]\n"
                               "    - pem: |\n" +
                               indent(shared_key("ED25519").public_pem(), 8) +
                               "      algorithms: [EdDSA]\n"
                               "  issuer: https://idp.example\n"
                               "  audience: velquin\n");
    ASSERT_EQ(auth_.load_auth_config_from(dir_.str()), std::vector<std::string>{});
    auto outcome = detail::load_auth_dir(dir_.str());
    ASSERT_TRUE(outcome.data);
    data_ = outcome.data;
  }

  static const testing::TestKey& second_rsa() {
    static const testing::TestKey key = testing::make_key("RSA");
    return key;
  }

  static std::string indent(const std::string& text, int spaces) {
    std::string out;
    std::string pad(static_cast<std::size_t>(spaces), ' ');
    std::size_t start = 0;
    while (start < text.size()) {
      auto end = text.find('\n', start);
      out += pad + text.substr(start, end - start) + "\n";
      start = end == std::string::npos ? text.size() : end + 1;
    }
    return out;
  }

  std::optional<AuthResult> check(const std::string& token) const {
    return auth_.authenticate_request(RequestCredentials{"Bearer " + token, "127.0.0.1"});
  }

  velquin::testing::TempDir dir_;
  Auth auth_;
  std::shared_ptr<const AuthData> data_;
};

struct Signer {
  const char* alg;
  const char* key_type;
};

void PrintTo(const Signer& value, std::ostream* out) {
  *out << value.alg;
}

class JwtAlgorithmTest : public JwtTest, public ::testing::WithParamInterface<Signer> {
 protected:
  const testing::TestKey& key() const {
    std::string alg = GetParam().alg;
    return alg == "RS384" || alg == "RS512" ? second_rsa() : shared_key(GetParam().key_type);
  }
};

TEST_P(JwtAlgorithmTest, AcceptsTokenSignedWithPinnedKey) {
  auto result = check(sign_jwt(key(), GetParam().alg, valid_claims()));
  ASSERT_TRUE(result.has_value());
  EXPECT_EQ(result->user_id, "carol");
  EXPECT_EQ(result->allowed_aliases, (std::vector<std::string>{"echo", "report"}));
}

TEST_P(JwtAlgorithmTest, RefusesTokenSignedWithAnotherKeyOfTheSameType) {
  std::string type = GetParam().key_type;
  auto intruder = testing::make_key(type);
  auto outcome = detail::verify_jwt(sign_jwt(intruder, GetParam().alg, valid_claims()), data_->jwt,
                                    now_seconds());
  EXPECT_FALSE(outcome.result.has_value());
  EXPECT_EQ(outcome.reason, "signature does not verify");
}

TEST_P(JwtAlgorithmTest, RefusesEveryFlippedSignatureByte) {
  std::string token = sign_jwt(key(), GetParam().alg, valid_claims());
  auto dot = token.rfind('.');
  auto signature = *detail::base64_decode(token.substr(dot + 1), detail::Base64Alphabet::url);
  for (std::size_t i = 0; i < signature.size(); i += 7) {
    std::string changed = signature;
    changed[i] = static_cast<char>(changed[i] ^ 0x01);
    EXPECT_FALSE(check(token.substr(0, dot + 1) + base64url(changed)).has_value()) << "byte " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Pinned, JwtAlgorithmTest,
                         ::testing::Values(Signer{"RS256", "RSA"}, Signer{"RS384", "RSA"},
                                           Signer{"RS512", "RSA"}, Signer{"ES256", "P-256"},
                                           Signer{"ES384", "P-384"}, Signer{"EdDSA", "ED25519"}),
                         [](const auto& case_info) { return std::string(case_info.param.alg); });

// A token built from the fixture's claims with one change.
struct Refusal {
  const char* name;
  std::function<std::string()> token;
  std::string reason;
};

json with(const char* key, json value) {
  json c = valid_claims();
  c[key] = std::move(value);
  return c;
}

json without(const char* key) {
  json c = valid_claims();
  c.erase(key);
  return c;
}

std::string rs256(const json& c, const json& extra_header = json::object()) {
  return sign_jwt(shared_key("RSA"), "RS256", c, extra_header);
}

// Signs arbitrary segment texts, for payloads that are not JSON.
std::string rs256_raw(const std::string& header_segment, const std::string& payload_segment) {
  std::string input = header_segment + "." + payload_segment;
  return input + "." +
         base64url(testing::internal::sign(shared_key("RSA").key.get(), "RS256", input));
}

const json RS256_HEADER = {{"alg", "RS256"}, {"typ", "JWT"}};

// One test over the whole table: every case needs the fixture's RSA keys, and
// generating them per case would dominate the run time.
const std::vector<Refusal> REFUSALS = {
    Refusal{"AlgNone",
            [] {
              return assemble_jwt({{"alg", "none"}}, valid_claims(), "");
            },
            "algorithm 'none' is not accepted"},
    Refusal{"Hs256WithPublicKeyPemAsSecret",
            [] {
              json header = {{"alg", "HS256"}, {"typ", "JWT"}};
              std::string input = base64url(header.dump()) + "." + base64url(valid_claims().dump());
              return input + "." +
                     base64url(testing::hmac_sha256(shared_key("RSA").public_pem(), input));
            },
            "algorithm 'HS256' is not accepted"},
    Refusal{"AlgNotText",
            [] {
              return assemble_jwt({{"alg", 256}}, valid_claims(), "sig");
            },
            "header has no algorithm"},
    Refusal{"AlgorithmNotPinnedForTheSigningKey",
            [] { return sign_jwt(shared_key("RSA"), "RS384", valid_claims()); },
            "signature does not verify"},
    Refusal{"CurveDoesNotMatchAlgorithm",
            [] { return sign_jwt(shared_key("P-256"), "ES384", valid_claims()); },
            "signature does not verify"},
    Refusal{"TamperedPayload",
            [] {
              std::string token = rs256(valid_claims());
              auto first = token.find('.');
              auto second = token.find('.', first + 1);
              return token.substr(0, first + 1) + base64url(with("sub", "admin").dump()) +
                     token.substr(second);
            },
            "signature does not verify"},
    Refusal{"TamperedHeader",
            [] {
              std::string token = rs256(valid_claims());
              json header = {{"alg", "RS256"}, {"typ", "JWT"}, {"kid", "x"}};
              return base64url(header.dump()) + token.substr(token.find('.'));
            },
            "signature does not verify"},
    Refusal{"TruncatedSignature",
            [] {
              std::string token = sign_jwt(shared_key("P-256"), "ES256", valid_claims());
              return token.substr(0, token.size() - 2);
            },
            "signature does not verify"},
    Refusal{"EmptySignature",
            [] {
              std::string token = rs256(valid_claims());
              return token.substr(0, token.rfind('.') + 1);
            },
            "signature is missing or not base64url"},
    Refusal{"CriticalHeaderExtension",
            [] {
              return rs256(valid_claims(), {{"crit", {"exp"}}});
            },
            "header names critical extensions"},
    Refusal{"Expired", [] { return rs256(with("exp", now_seconds() - 3600)); },
            "token has expired"},
    Refusal{"ExpNotNumber", [] { return rs256(with("exp", "tomorrow")); }, "exp is not a number"},
    Refusal{"NotValidYet", [] { return rs256(with("nbf", now_seconds() + 3600)); },
            "token is not valid yet"},
    Refusal{"WrongAudience", [] { return rs256(with("aud", "other")); }, "audience does not match"},
    Refusal{"AudienceListWithoutUs",
            [] {
              return rs256(with("aud", {"a", "b"}));
            },
            "audience does not match"},
    Refusal{"AudienceMissing", [] { return rs256(without("aud")); }, "audience does not match"},
    Refusal{"WrongIssuer", [] { return rs256(with("iss", "https://evil.example")); },
            "issuer does not match"},
    Refusal{"SubjectMissing", [] { return rs256(without("sub")); },
            "claim 'sub' is not a non-empty text"},
    Refusal{"SubjectNumber", [] { return rs256(with("sub", 42)); },
            "claim 'sub' is not a non-empty text"},
    Refusal{"AliasesNotList", [] { return rs256(with("velquin_aliases", "echo")); },
            "claim 'velquin_aliases' is not a list"},
    Refusal{"AliasesWithNumber",
            [] {
              return rs256(with("velquin_aliases", {"echo", 1}));
            },
            "claim 'velquin_aliases' holds a value that is not a text"},
    Refusal{"HeaderNotJson",
            [] { return rs256_raw(base64url("not json"), base64url(valid_claims().dump())); },
            "header is not a base64url JSON object"},
    Refusal{"HeaderJsonArray",
            [] { return rs256_raw(base64url("[\"RS256\"]"), base64url(valid_claims().dump())); },
            "header is not a base64url JSON object"},
    Refusal{"PayloadNotJson",
            [] { return rs256_raw(base64url(RS256_HEADER.dump()), base64url("garbage")); },
            "payload is not a base64url JSON object"},
    Refusal{"PayloadNotBase64url", [] { return rs256_raw(base64url(RS256_HEADER.dump()), "a"); },
            "payload is not a base64url JSON object"},
    Refusal{"PaddedSegment", [] { return rs256(valid_claims()) + "="; },
            "not three base64url segments"},
    Refusal{"TwoSegments",
            [] {
              std::string token = rs256(valid_claims());
              return token.substr(0, token.rfind('.'));
            },
            "not three base64url segments"},
    Refusal{"EmptyHeaderSegment",
            [] {
              std::string token = rs256(valid_claims());
              return token.substr(token.find('.'));
            },
            "not three base64url segments"}};

TEST_F(JwtTest, RefusesEachBadTokenForItsOwnReason) {
  for (const auto& refusal : REFUSALS) {
    SCOPED_TRACE(refusal.name);
    const std::string token = refusal.token();
    auto outcome = detail::verify_jwt(token, data_->jwt, now_seconds());
    EXPECT_FALSE(outcome.result.has_value());
    EXPECT_EQ(outcome.reason, refusal.reason);
    EXPECT_FALSE(check(token).has_value());
  }
}

TEST_F(JwtTest, AudienceListContainingUsIsAccepted) {
  auto result = check(rs256(with("aud", {"other", "velquin"})));
  ASSERT_TRUE(result.has_value());
  EXPECT_EQ(result->user_id, "carol");
}

TEST_F(JwtTest, MissingAliasesClaimMeansNoAliases) {
  auto result = check(rs256(without("velquin_aliases")));
  ASSERT_TRUE(result.has_value());
  EXPECT_TRUE(result->allowed_aliases.empty());
}

TEST_F(JwtTest, MalformedTokensAreRefusedWithoutThrowing) {
  for (const char* token : {".", "..", "a..", "..c", "\xff.\xfe.\xfd", "e30.e30.", "e30.e30.e30",
                            "eyJhbGciOiJSUzI1NiJ9.e30.AAAA"}) {
    EXPECT_FALSE(check(token).has_value()) << token;
  }
}

// Boundaries of exp and nbf with the default leeway of 30 seconds, at a fixed clock.
struct ClockCase {
  const char* name;
  const char* claim;
  double value;
  double now;
  bool accepted;
};

TEST_F(JwtTest, AppliesLeewayToExpAndNbf) {
  const ClockCase cases[] = {{"ExpInsideLeeway", "exp", 1000, 1029.5, true},
                             {"ExpAtLeewayEnd", "exp", 1000, 1030, false},
                             {"ExpLongPast", "exp", 1000, 5000, false},
                             {"ExpFractional", "exp", 1000.75, 1030.5, true},
                             {"NbfInsideLeeway", "nbf", 1000, 970, true},
                             {"NbfBeforeLeeway", "nbf", 1000, 969.5, false},
                             {"NbfPassed", "nbf", 1000, 2000, true}};
  for (const auto& clock : cases) {
    SCOPED_TRACE(clock.name);
    json c = {{"sub", "carol"}, {"iss", "https://idp.example"}, {"aud", "velquin"}};
    c[clock.claim] = clock.value;
    auto outcome = detail::verify_jwt(rs256(c), data_->jwt, clock.now);
    EXPECT_EQ(outcome.result.has_value(), clock.accepted) << outcome.reason;
  }
}

// Settings built in memory: one RSA key for RS256 only, custom claim names,
// no issuer or audience check, no leeway.
class JwtCustomSettingsTest : public ::testing::Test {
 protected:
  JwtCustomSettingsTest() {
    settings_.public_keys.push_back(PublicKey{shared_key("RSA").key, {JwtAlgorithm::RS256}});
    settings_.user_claim = "email";
    settings_.aliases_claim = "roles";
    settings_.leeway_seconds = 0;
  }
  JwtSettings settings_;
};

TEST_F(JwtCustomSettingsTest, ReadsTheConfiguredClaims) {
  json c = {{"sub", "ignored"},    {"email", "erin@example.org"},
            {"roles", {"deploy"}}, {"velquin_aliases", {"everything"}},
            {"aud", "anyone"},     {"iss", "anybody"}};
  auto outcome = detail::verify_jwt(sign_jwt(shared_key("RSA"), "RS256", c), settings_, 100);
  ASSERT_TRUE(outcome.result.has_value()) << outcome.reason;
  EXPECT_EQ(outcome.result->user_id, "erin@example.org");
  EXPECT_EQ(outcome.result->allowed_aliases, std::vector<std::string>{"deploy"});
}

TEST_F(JwtCustomSettingsTest, ZeroLeewayRefusesAtExp) {
  json c = {{"email", "erin@example.org"}, {"exp", 100}};
  EXPECT_TRUE(detail::verify_jwt(sign_jwt(shared_key("RSA"), "RS256", c), settings_, 99.9).result);
  EXPECT_FALSE(detail::verify_jwt(sign_jwt(shared_key("RSA"), "RS256", c), settings_, 100).result);
}

TEST_F(JwtCustomSettingsTest, AlgorithmPinnedToNoKeyIsRefused) {
  json c = {{"email", "erin@example.org"}};
  for (const char* alg : {"RS512", "ES256"}) {
    const auto& key = std::string(alg) == "ES256" ? shared_key("P-256") : shared_key("RSA");
    auto outcome = detail::verify_jwt(sign_jwt(key, alg, c), settings_, 100);
    EXPECT_FALSE(outcome.result.has_value());
    EXPECT_EQ(outcome.reason, std::string("no public key is pinned to algorithm '") + alg + "'");
  }
}

TEST(JwtWithoutKeys, RefusesEveryToken) {
  JwtSettings settings;
  auto outcome =
      detail::verify_jwt(sign_jwt(shared_key("ED25519"), "EdDSA", {{"sub", "x"}}), settings, 100);
  EXPECT_FALSE(outcome.result.has_value());
}

// An identity provider often publishes a certificate rather than a bare key.
TEST(JwtCertificateKey, KeyFileMayBeACertificate) {
  velquin::testing::TempDir dir;
  auto files = velquin::testing::make_self_signed(dir.path() / "keys", "idp");
  dir.write("jwt.yaml",
            "jwt:\n  public_keys:\n    - file: keys/idp.crt\n      algorithms: [RS256]\n");
  Auth auth;
  ASSERT_EQ(auth.load_auth_config_from(dir.str()), std::vector<std::string>{});

  const std::string key_pem = velquin::testing::read_file(files.key);
  std::unique_ptr<BIO, decltype(&BIO_free)> bio(
      BIO_new_mem_buf(key_pem.data(), static_cast<int>(key_pem.size())), BIO_free);
  testing::TestKey signer{std::shared_ptr<EVP_PKEY>(
      PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr), EVP_PKEY_free)};
  ASSERT_TRUE(signer.key);
  auto result =
      auth.authenticate_request({"Bearer " + sign_jwt(signer, "RS256", {{"sub", "idp-user"}}), ""});
  ASSERT_TRUE(result.has_value());
  EXPECT_EQ(result->user_id, "idp-user");
}

}  // namespace
}  // namespace velquin::auth
