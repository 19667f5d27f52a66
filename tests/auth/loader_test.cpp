// Reading AuthDir: the error texts, file order, and what a failed load leaves in force.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "auth/auth.h"
#include "support/temp_dir.h"
#include "test_keys.h"

namespace velquin::auth {
namespace {

using ::testing::ElementsAre;
using testing::sha256_hex;
using ::testing::StartsWith;

// Shaped like a real yescrypt hash; loading checks the shape only.
constexpr const char* YESCRYPT =
    "$y$j9T$PTvNYRfrYNPkbOqdPargD1$Px43IlIX.aBl1o3ISYSCQPRrN6v5sFtsB.5N2cV4SZ8";

std::string key_hash(const std::string& key) {
  return sha256_hex(key);
}

std::optional<AuthResult> bearer(const Auth& auth, const std::string& token) {
  return auth.authenticate_request(RequestCredentials{"Bearer " + token, ""});
}

class LoaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // EC and Ed25519 keys: generated in microseconds, unlike RSA.
    dir_.write("keys/ec.pem", testing::shared_key("P-256").public_pem());
    dir_.write("keys/private.pem", testing::shared_key("ED25519").private_pem());
  }

  std::vector<std::string> load() { return auth_.load_auth_config_from(dir_.str()); }

  velquin::testing::TempDir dir_;
  Auth auth_;
};

struct BadFile {
  const char* name;
  std::string content;
  std::vector<std::string> errors;
};

void PrintTo(const BadFile& value, std::ostream* out) {
  *out << value.name;
}

class BadFileTest : public LoaderTest, public ::testing::WithParamInterface<BadFile> {};

TEST_P(BadFileTest, ReportsEveryProblemInOrderAndInstallsNothing) {
  dir_.write("users.yaml", GetParam().content);
  EXPECT_EQ(load(), GetParam().errors);
  EXPECT_TRUE(auth_.users_empty());
  EXPECT_TRUE(auth_.public_keys_empty());
}

const std::string ALICE_HASH = key_hash("alice-key");
const std::string EC_FILE = "      - file: keys/ec.pem\n";

std::string jwt_key(const std::string& entry) {
  return "jwt:\n  public_keys:\n" + entry;
}

INSTANTIATE_TEST_SUITE_P(
    Users, BadFileTest,
    ::testing::Values(
        BadFile{
            "TopLevelList", "- alice\n- bob\n", {"users.yaml: the top level must be a mapping"}},
        BadFile{"UnknownTopLevelKey",
                "users: {}\ngroups: {}\n",
                {"users.yaml: unknown key 'groups' (expected users, jwt or webhooks)"}},
        BadFile{"UsersAsList",
                "users: [alice]\n",
                {"users.yaml: users must be a mapping of user names to their entries"}},
        BadFile{"UserAsText",
                "users:\n  alice: secret\n",
                {"users.yaml: user 'alice': must be a mapping with api_key_sha256 and/or "
                 "password_hash"}},
        BadFile{"KeyHashTooShort",
                "users:\n  alice:\n    api_key_sha256: abc123\n",
                {"users.yaml: user 'alice': api_key_sha256 must be 64 hex digits"}},
        BadFile{"KeyHashNotHex",
                "users:\n  alice:\n    api_key_sha256: " + ALICE_HASH.substr(0, 63) + "g\n",
                {"users.yaml: user 'alice': api_key_sha256 must be 64 hex digits"}},
        BadFile{"KeyHashNumber",
                "users:\n  alice:\n    api_key_sha256: 12345\n",
                {"users.yaml: user 'alice': api_key_sha256 must be 64 hex digits"}},
        BadFile{"MisspelledKeyAndNothingElse",
                "users:\n  alice:\n    api_key: " + ALICE_HASH + "\n",
                {"users.yaml: user 'alice': unknown key 'api_key'",
                 "users.yaml: user 'alice': needs api_key_sha256 or password_hash"}},
        BadFile{"NeitherKeyNorPassword",
                "users:\n  alice:\n    allowed_aliases: [echo]\n",
                {"users.yaml: user 'alice': needs api_key_sha256 or password_hash"}},
        BadFile{"PlainTextPassword",
                "users:\n  bob:\n    password_hash: hunter2\n",
                {"users.yaml: user 'bob': password_hash must be a crypt(3) hash of yescrypt ($y$), "
                 "bcrypt ($2b$) or sha-512 ($6$)"}},
        BadFile{"Md5CryptHash",
                "users:\n  bob:\n    password_hash: '$1$saltsalt$qjXMvbEw8oaL.CzflDugX/'\n",
                {"users.yaml: user 'bob': password_hash must be a crypt(3) hash of yescrypt ($y$), "
                 "bcrypt ($2b$) or sha-512 ($6$)"}},
        BadFile{"TruncatedYescryptHash",
                "users:\n  bob:\n    password_hash: '" + std::string(YESCRYPT).substr(0, 40) +
                    "'\n",
                {"users.yaml: user 'bob': password_hash must be a crypt(3) hash of yescrypt ($y$), "
                 "bcrypt ($2b$) or sha-512 ($6$)"}},
        BadFile{"AliasesAsText",
                "users:\n  alice:\n    api_key_sha256: " + ALICE_HASH +
                    "\n    allowed_aliases: echo\n",
                {"users.yaml: user 'alice': allowed_aliases must be a list of alias names"}},
        BadFile{"ColonInPasswordUserName",
                "users:\n  'a:b':\n    password_hash: '" + std::string(YESCRYPT) + "'\n",
                {"users.yaml: user 'a:b': a user with a password_hash must not have ':' in the "
                 "name"}},
        BadFile{"SameKeyForTwoUsers",
                "users:\n  alice:\n    api_key_sha256: " + ALICE_HASH +
                    "\n  bob:\n    api_key_sha256: " + ALICE_HASH + "\n",
                {"users.yaml: user 'bob': api_key_sha256 is already used by user 'alice'"}},
        BadFile{"RateWithoutUnit",
                "users:\n  alice:\n    api_key_sha256: " + ALICE_HASH + "\n    rate: 10\n",
                {"users.yaml: user 'alice': rate must be N/second, N/minute or N/hour with N 1 "
                 "or more"}},
        BadFile{"ZeroRateAndBadBurst",
                "users:\n  alice:\n    api_key_sha256: " + ALICE_HASH +
                    "\n    rate: 0/minute\n    burst: 0\n",
                {"users.yaml: user 'alice': rate must be N/second, N/minute or N/hour with N 1 "
                 "or more",
                 "users.yaml: user 'alice': burst must be a whole number of requests, 1 or more"}},
        BadFile{"BurstWithoutRate",
                "users:\n  alice:\n    api_key_sha256: " + ALICE_HASH + "\n    burst: 5\n",
                {"users.yaml: user 'alice': burst applies only with rate"}},
        BadFile{"JwtRateUnknownUnit",
                jwt_key(EC_FILE + "        algorithms: [ES256]\n") + "  rate: 5/day\n",
                {"users.yaml: jwt: rate must be N/second, N/minute or N/hour with N 1 or more"}},
        BadFile{"SeveralProblemsInFileOrder",
                "users:\n  zed:\n    api_key_sha256: nothex\n  amy: {}\n  bob:\n"
                "    password_hash: x\n    colour: red\n",
                {"users.yaml: user 'zed': api_key_sha256 must be 64 hex digits",
                 "users.yaml: user 'amy': needs api_key_sha256 or password_hash",
                 "users.yaml: user 'bob': password_hash must be a crypt(3) hash of yescrypt ($y$), "
                 "bcrypt ($2b$) or sha-512 ($6$)",
                 "users.yaml: user 'bob': unknown key 'colour'"}}),
    [](const auto& case_info) { return std::string(case_info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Jwt, BadFileTest,
    ::testing::Values(
        BadFile{"JwtAsList", "jwt: [keys/ec.pem]\n", {"users.yaml: jwt must be a mapping"}},
        BadFile{"NoPublicKeys",
                "jwt:\n  issuer: https://idp.example\n",
                {"users.yaml: jwt: public_keys is required"}},
        BadFile{"PublicKeysAsMapping",
                "jwt:\n  public_keys: {file: keys/ec.pem}\n",
                {"users.yaml: jwt: public_keys must be a list"}},
        BadFile{
            "KeyAsText",
            "jwt:\n  public_keys: [keys/ec.pem]\n",
            {"users.yaml: jwt: public key 1: must be a mapping with file or pem, and algorithms"}},
        BadFile{"KeyWithoutFileOrPem",
                jwt_key("      - algorithms: [RS256]\n"),
                {"users.yaml: jwt: public key 1: needs exactly one of file or pem"}},
        BadFile{"KeyWithFileAndPem",
                jwt_key(EC_FILE + "        pem: x\n        algorithms: [RS256]\n"),
                {"users.yaml: jwt: public key 1: needs exactly one of file or pem"}},
        BadFile{"AlgorithmsMissing",
                jwt_key(EC_FILE),
                {"users.yaml: jwt: public key 1: algorithms is required"}},
        BadFile{"AlgorithmsEmpty",
                jwt_key(EC_FILE + "        algorithms: []\n"),
                {"users.yaml: jwt: public key 1: algorithms must be a non-empty list"}},
        BadFile{"HmacAlgorithm",
                jwt_key(EC_FILE + "        algorithms: [ES256, HS256]\n"),
                {"users.yaml: jwt: public key 1: unsupported algorithm 'HS256' (supported: RS256, "
                 "RS384, RS512, ES256, ES384, EdDSA)"}},
        BadFile{"NoneAlgorithm",
                jwt_key(EC_FILE + "        algorithms: [none]\n"),
                {"users.yaml: jwt: public key 1: unsupported algorithm 'none' (supported: RS256, "
                 "RS384, RS512, ES256, ES384, EdDSA)"}},
        BadFile{"AlgorithmForAnotherKeyType",
                jwt_key(EC_FILE + "        algorithms: [ES256, RS256, EdDSA]\n"),
                {"users.yaml: jwt: public key 1: algorithm 'RS256' does not fit an EC P-256 key",
                 "users.yaml: jwt: public key 1: algorithm 'EdDSA' does not fit an EC P-256 key"}},
        BadFile{"PemNotAKey",
                jwt_key("      - pem: hello\n        algorithms: [RS256]\n"),
                {"users.yaml: jwt: public key 1: pem holds no PEM public key or certificate"}},
        BadFile{"PrivateKeyFile",
                jwt_key("      - file: keys/private.pem\n        algorithms: [EdDSA]\n"),
                {"users.yaml: jwt: public key 1: key file 'keys/private.pem' holds a private key; "
                 "give only the public key"}},
        BadFile{"MissingKeyFile",
                jwt_key("      - file: keys/missing.pem\n        algorithms: [RS256]\n"),
                {"users.yaml: jwt: public key 1: cannot read key file 'keys/missing.pem': No such "
                 "file or directory"}},
        BadFile{"SecondKeyNumbered",
                jwt_key(EC_FILE + "        algorithms: [ES256]\n      - file: keys/ec.pem\n" +
                        "        algorithms: [ES256]\n        kid: two\n"),
                {"users.yaml: jwt: public key 2: unknown key 'kid'"}},
        BadFile{"NegativeLeeway",
                jwt_key(EC_FILE + "        algorithms: [ES256]\n") + "  leeway_seconds: -1\n",
                {"users.yaml: jwt: leeway_seconds must be a whole number of seconds, 0 or more"}},
        BadFile{"EmptyIssuerAndListAudience",
                jwt_key(EC_FILE + "        algorithms: [ES256]\n") +
                    "  issuer: ''\n  audience: [a, b]\n",
                {"users.yaml: jwt: issuer must be a non-empty text",
                 "users.yaml: jwt: audience must be a non-empty text"}},
        BadFile{"UnknownJwtKey",
                "jwt:\n  algorithm: RS256\n",
                {"users.yaml: jwt: unknown key 'algorithm'",
                 "users.yaml: jwt: public_keys is required"}}),
    [](const auto& case_info) { return std::string(case_info.param.name); });

TEST_F(LoaderTest, InvalidYamlNamesTheFileAndTheParserMessage) {
  dir_.write("users.yaml", "users:\n  alice: [unclosed\n");
  auto errors = load();
  ASSERT_EQ(errors.size(), 1U);
  EXPECT_THAT(errors[0], StartsWith("users.yaml: invalid YAML: "));
}

TEST_F(LoaderTest, ReadsYamlAndYmlFilesInNameOrderAndNothingElse) {
  dir_.write("b.yml", "users:\n  alice:\n    api_key_sha256: " + key_hash("second") + "\n");
  dir_.write("a.yaml", "users:\n  alice:\n    api_key_sha256: " + key_hash("first") + "\n");
  dir_.write("c.yaml", "jwt:\n  public_keys: []\n");
  dir_.write("d.yaml", "jwt:\n  audience: x\n  public_keys: []\n");
  dir_.write("notes.txt", "not: [yaml\n");
  dir_.write("users.yaml.bak", "not: [yaml\n");
  std::filesystem::create_directories(dir_.path() / "sub.yaml");
  EXPECT_THAT(load(), ElementsAre("b.yml: duplicate user 'alice' (first defined in a.yaml)",
                                  "d.yaml: duplicate jwt section (first defined in c.yaml)"));
}

TEST_F(LoaderTest, ErrorsOfAllFilesAreReported) {
  dir_.write("1.yaml", "- not a mapping\n");
  dir_.write("2.yaml", "users:\n  amy: {}\n");
  dir_.write("3.yaml", "");
  dir_.write("4.yaml", "jwt: {}\n");
  EXPECT_THAT(load(), ElementsAre("1.yaml: the top level must be a mapping",
                                  "2.yaml: user 'amy': needs api_key_sha256 or password_hash",
                                  "4.yaml: jwt: public_keys is required"));
}

TEST_F(LoaderTest, CleanLoadInstallsUsersAndKeys) {
  dir_.write("empty.yaml", "");
  dir_.write("comments.yml", "# nothing here yet\n");
  dir_.write(
      "users.yaml",
      "users:\n"
      "  alice:\n"
      "    api_key_sha256: " +
          ALICE_HASH +
          "\n"
          "    password_hash: '" +
          YESCRYPT +
          "'\n"
          "    allowed_aliases: [echo, report]\n"
          "  bob:\n"
          "    password_hash: '$2b$04$abcdefghijklmnopqrstuu5uVfNfIcfK1tD2P9Aiyf6CGDPWCxr7u'\n"
          "    allowed_aliases: []\n"
          "  carl:\n"
          "    password_hash: '$6$rounds=5000$saltsalt$" +
          std::string(86, 'a') + "'\n");
  dir_.write("jwt.yaml", jwt_key(EC_FILE + "        algorithms: [ES256]\n") +
                             "  leeway_seconds: 0\n  issuer: https://idp.example\n");
  EXPECT_EQ(load(), std::vector<std::string>{});
  EXPECT_FALSE(auth_.users_empty());
  EXPECT_FALSE(auth_.public_keys_empty());
  auto alice = bearer(auth_, "alice-key");
  ASSERT_TRUE(alice.has_value());
  EXPECT_EQ(alice->user_id, "alice");
  EXPECT_EQ(alice->allowed_aliases, (std::vector<std::string>{"echo", "report"}));
  EXPECT_FALSE(alice->rate.has_value());
}

TEST_F(LoaderTest, UserRateDefaultsItsBurstToTheCount) {
  dir_.write("users.yaml", "users:\n  alice:\n    api_key_sha256: " + ALICE_HASH +
                               "\n    rate: 10/minute\n" +
                               jwt_key(EC_FILE + "        algorithms: [ES256]\n") +
                               "  rate: 2/second\n  burst: 7\n");
  ASSERT_EQ(load(), std::vector<std::string>{});
  auto alice = bearer(auth_, "alice-key");
  ASSERT_TRUE(alice.has_value());
  EXPECT_EQ(alice->rate, (Rate{10, 60, 10, "10/minute"}));
  EXPECT_EQ(alice->rate_key, "user:alice");
}

TEST_F(LoaderTest, EmptyDirectoryHasNeitherUsersNorKeys) {
  EXPECT_EQ(load(), std::vector<std::string>{});
  EXPECT_TRUE(auth_.users_empty());
  EXPECT_TRUE(auth_.public_keys_empty());
}

TEST_F(LoaderTest, MissingOrWrongDirectoryIsNamed) {
  const std::string missing = (dir_.path() / "nope").string();
  EXPECT_THAT(auth_.load_auth_config_from(missing),
              ElementsAre("AuthDir '" + missing + "' does not exist"));
  const std::string file = dir_.write("plain", "x").string();
  EXPECT_THAT(auth_.load_auth_config_from(file),
              ElementsAre("AuthDir '" + file + "' is not a directory"));
  EXPECT_THAT(auth_.load_auth_config_from(""), ElementsAre("AuthDir is not set"));
}

TEST_F(LoaderTest, FirstLoadWithErrorsLeavesNoUsersEvenTheValidOnes) {
  dir_.write("good.yaml", "users:\n  alice:\n    api_key_sha256: " + ALICE_HASH + "\n");
  dir_.write("keys.yaml", jwt_key(EC_FILE + "        algorithms: [ES256]\n"));
  dir_.write("zbad.yaml", "users:\n  bob: {}\n");
  EXPECT_EQ(load().size(), 1U);
  EXPECT_TRUE(auth_.users_empty());
  EXPECT_TRUE(auth_.public_keys_empty());
  EXPECT_FALSE(bearer(auth_, "alice-key").has_value());
}

TEST_F(LoaderTest, FailedReloadKeepsThePreviousDataAndCleanReloadReplacesIt) {
  dir_.write("users.yaml", "users:\n  alice:\n    api_key_sha256: " + ALICE_HASH + "\n");
  ASSERT_EQ(load(), std::vector<std::string>{});

  dir_.write("users.yaml",
             "users:\n  bob:\n    api_key_sha256: " + key_hash("bob-key") + "\n  broken: {}\n");
  EXPECT_EQ(load().size(), 1U);
  EXPECT_TRUE(bearer(auth_, "alice-key").has_value());
  EXPECT_FALSE(bearer(auth_, "bob-key").has_value());

  std::filesystem::remove(dir_.path() / "users.yaml");
  dir_.write("other.yaml", "users:\n  bob:\n    api_key_sha256: " + key_hash("bob-key") + "\n");
  EXPECT_EQ(load(), std::vector<std::string>{});
  EXPECT_FALSE(bearer(auth_, "alice-key").has_value());
  EXPECT_TRUE(bearer(auth_, "bob-key").has_value());
}

TEST_F(LoaderTest, ReadsTheDirectoryItWasMadeFor) {
  dir_.write("users.yaml", "users:\n  alice:\n    api_key_sha256: " + ALICE_HASH + "\n");
  Auth auth(dir_.str());
  EXPECT_EQ(auth.load_auth_config(), std::vector<std::string>{});
  EXPECT_TRUE(bearer(auth, "alice-key").has_value());
}

// Two directories give the same key to different users; a reader must see one
// of the two complete states, never a user of one with the aliases of the other,
// while failed reloads in between change nothing.
TEST(AuthReload, ConcurrentRequestsSeeOneCompleteSnapshot) {
  velquin::testing::TempDir first;
  velquin::testing::TempDir second;
  velquin::testing::TempDir broken;
  const std::string hash = key_hash("shared-key");
  first.write("users.yaml", "users:\n  alice:\n    api_key_sha256: " + hash +
                                "\n    allowed_aliases: [a1, a2]\n");
  second.write("users.yaml",
               "users:\n  bob:\n    api_key_sha256: " + hash + "\n    allowed_aliases: [b1]\n");
  broken.write("users.yaml", "users:\n  mallory:\n    api_key_sha256: short\n");

  Auth auth;
  ASSERT_EQ(auth.load_auth_config_from(first.str()), std::vector<std::string>{});
  std::atomic<bool> stop{false};
  std::atomic<int> inconsistent{0};
  std::atomic<int> checks{0};
  std::vector<std::thread> readers;
  for (int i = 0; i < 4; ++i) {
    readers.emplace_back([&] {
      while (!stop.load()) {
        auto result = bearer(auth, "shared-key");
        bool ok = result && ((result->user_id == "alice" &&
                              result->allowed_aliases == std::vector<std::string>{"a1", "a2"}) ||
                             (result->user_id == "bob" &&
                              result->allowed_aliases == std::vector<std::string>{"b1"}));
        if (!ok) {
          ++inconsistent;
        }
        ++checks;
      }
    });
  }
  // Keep reloading until the readers have checked many times during the reloads.
  for (int round = 0; round < 150 || checks.load() < 500; ++round) {
    const auto& dir = round % 3 == 0 ? first : round % 3 == 1 ? broken : second;
    auto errors = auth.load_auth_config_from(dir.str());
    EXPECT_EQ(errors.empty(), &dir != &broken);
  }
  stop = true;
  for (auto& reader : readers) {
    reader.join();
  }
  EXPECT_EQ(inconsistent.load(), 0);
}

}  // namespace
}  // namespace velquin::auth
