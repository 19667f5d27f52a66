// API keys and Basic credentials against a users file.

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "auth/auth.h"
#include "support/temp_dir.h"
#include "support/text.h"
#include "test_keys.h"

namespace velquin::auth {
namespace {

using testing::crypt_hash;
using testing::sha256_hex;

constexpr const char* ALICE_KEY =
    "3f9a1c0e7b5d42a8c6e1f0b9d8a7c6e5f4d3c2b1a0f9e8d7c6b5a49382716050";
constexpr const char* CAROL_KEY = "carol-key-with-Mixed-Case";

std::string upper(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return text;
}

std::string basic(const std::string& user_and_password) {
  return "Basic " + support::base64_encode(user_and_password);
}

class CredentialsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    users_yaml_ = new std::string("users:\n"
                                  "  alice:\n"
                                  "    api_key_sha256: " +
                                  sha256_hex(ALICE_KEY) +
                                  "\n"
                                  "    allowed_aliases: [echo, report]\n"
                                  "  bob:\n"
                                  "    password_hash: '" +
                                  crypt_hash("s3cret:with colon", "$y$") +
                                  "'\n"
                                  "    allowed_aliases: [echo]\n"
                                  "  carol:\n"
                                  // Upper-case hex in the file must still match the digest.
                                  "    api_key_sha256: " +
                                  upper(sha256_hex(CAROL_KEY)) +
                                  "\n"
                                  "    password_hash: '" +
                                  crypt_hash("carol-pw", "$2b$") +
                                  "'\n"
                                  "  dave:\n"
                                  "    password_hash: '" +
                                  crypt_hash("dave-pw", "$6$") + "'\n");
  }
  static void TearDownTestSuite() {
    delete users_yaml_;
    users_yaml_ = nullptr;
  }

  void SetUp() override {
    dir_.write("users.yaml", *users_yaml_);
    ASSERT_EQ(auth_.load_auth_config_from(dir_.str()), std::vector<std::string>{});
  }

  std::optional<AuthResult> check(const std::string& header) const {
    return auth_.authenticate_request(RequestCredentials{header, "127.0.0.1"});
  }

  static std::string* users_yaml_;
  velquin::testing::TempDir dir_;
  Auth auth_;
};

std::string* CredentialsTest::users_yaml_ = nullptr;

struct Accepted {
  const char* name;
  std::string header;
  std::string user;
  std::vector<std::string> aliases;
};

void PrintTo(const Accepted& value, std::ostream* out) {
  *out << value.name;
}

class AcceptedTest : public CredentialsTest, public ::testing::WithParamInterface<Accepted> {};

TEST_P(AcceptedTest, IdentifiesTheUser) {
  auto result = check(GetParam().header);
  ASSERT_TRUE(result.has_value());
  EXPECT_EQ(result->user_id, GetParam().user);
  EXPECT_EQ(result->allowed_aliases, GetParam().aliases);
}

INSTANTIATE_TEST_SUITE_P(
    Schemes, AcceptedTest,
    ::testing::Values(
        Accepted{"ApiKey", std::string("Bearer ") + ALICE_KEY, "alice", {"echo", "report"}},
        Accepted{
            "SchemeLowerCase", std::string("bearer ") + ALICE_KEY, "alice", {"echo", "report"}},
        Accepted{
            "SchemeUpperCase", std::string("BEARER ") + ALICE_KEY, "alice", {"echo", "report"}},
        Accepted{"ExtraWhiteSpace",
                 std::string("  Bearer \t ") + ALICE_KEY + "  ",
                 "alice",
                 {"echo", "report"}},
        Accepted{"ApiKeyHashWrittenInUpperCase", std::string("Bearer ") + CAROL_KEY, "carol", {}},
        Accepted{"BasicYescryptPasswordWithColon", basic("bob:s3cret:with colon"), "bob", {"echo"}},
        Accepted{"BasicBcrypt", basic("carol:carol-pw"), "carol", {}},
        Accepted{"BasicSha512", basic("dave:dave-pw"), "dave", {}},
        Accepted{
            "BasicSchemeMixedCase", "bAsIc " + support::base64_encode("dave:dave-pw"), "dave", {}}),
    [](const auto& case_info) { return std::string(case_info.param.name); });

struct Refused {
  const char* name;
  std::string header;
};

void PrintTo(const Refused& value, std::ostream* out) {
  *out << value.name;
}

class RefusedTest : public CredentialsTest, public ::testing::WithParamInterface<Refused> {};

TEST_P(RefusedTest, IsNotAuthenticated) {
  EXPECT_FALSE(check(GetParam().header).has_value());
}

INSTANTIATE_TEST_SUITE_P(
    Credentials, RefusedTest,
    ::testing::Values(
        Refused{"NoHeader", ""}, Refused{"SchemeOnly", "Bearer"},
        Refused{"SchemeAndSpaces", "Bearer    "}, Refused{"NoScheme", ALICE_KEY},
        Refused{"UnknownScheme", std::string("Token ") + ALICE_KEY},
        Refused{"WrongKey",
                "Bearer 3f9a1c0e7b5d42a8c6e1f0b9d8a7c6e5f4d3c2b1a0f9e8d7c6b5a49382716051"},
        Refused{"KeyDifferingOnlyInCase", "Bearer " + upper(ALICE_KEY)},
        Refused{"KeyWithExtraCharacter", std::string("Bearer ") + ALICE_KEY + "0"},
        Refused{"KeyPrefix", "Bearer 3f9a1c0e"},
        // The stored hash is not the key.
        Refused{"HashGivenAsKey", "Bearer " + sha256_hex(ALICE_KEY)},
        Refused{"KeySplitBySpace",
                "Bearer 3f9a1c0e7b5d42a8c6e1f0b9d8a7c6e5 f4d3c2b1a0f9e8d7c6b5a49382716050"},
        Refused{"KeyGivenAsBasic", "Basic " + std::string(ALICE_KEY)},
        Refused{"WrongPassword", basic("bob:s3cret")},
        Refused{"PasswordCaseDiffers", basic("dave:DAVE-PW")},
        Refused{"EmptyPassword", basic("dave:")}, Refused{"UnknownUser", basic("mallory:dave-pw")},
        Refused{"UserNameCaseDiffers", basic("Dave:dave-pw")},
        Refused{"UserWithoutPassword", basic("alice:anything")},
        Refused{"NoColon", basic("davedave-pw")},
        // A NUL would end the C string that crypt sees, leaving "dave-pw".
        Refused{"PasswordWithNul", basic(std::string("dave:dave-pw\0tail", 17))},
        Refused{"BasicNotBase64", "Basic !!!not-base64!!!"},
        Refused{"BasicBadPadding", "Basic " + support::base64_encode("dave:dave-pw") + "="},
        Refused{"BasicEmpty", "Basic "}, Refused{"ApiKeyGivenToBasicUser", "Bearer dave-pw"}),
    [](const auto& case_info) { return std::string(case_info.param.name); });

TEST(AuthWithoutLoad, RefusesEverythingAndReportsEmpty) {
  Auth auth;
  EXPECT_TRUE(auth.users_empty());
  EXPECT_TRUE(auth.public_keys_empty());
  EXPECT_FALSE(auth.authenticate_request({std::string("Bearer ") + ALICE_KEY, ""}).has_value());
  EXPECT_FALSE(auth.authenticate_request({basic("a:b"), ""}).has_value());
}

// The documented example credentials must match the hashes shipped next to them.
TEST(ExampleCredentials, DocumentedKeyAndPasswordAreAccepted) {
  Auth auth;
  ASSERT_EQ(auth.load_auth_config_from(std::string(VELQUIN_SOURCE_DIR) + "/examples/auth.d"),
            std::vector<std::string>{});
  auto op = auth.authenticate_request(
      {"Bearer d2e7072ed56263673761a796c19da9db437a8d0041d69bad84fda4cd1d75add5", ""});
  ASSERT_TRUE(op.has_value());
  EXPECT_EQ(op->user_id, "operator");
  auto viewer = auth.authenticate_request({basic("viewer:change-me-example"), ""});
  ASSERT_TRUE(viewer.has_value());
  EXPECT_EQ(viewer->user_id, "viewer");
}

}  // namespace
}  // namespace velquin::auth
