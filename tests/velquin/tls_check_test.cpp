#include "velquin/tls_check.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "support/certs.h"
#include "support/temp_dir.h"

namespace velquin::app::detail {
namespace {

using testing::CertOptions;
using testing::make_self_signed;

class ValidateSsl : public ::testing::Test {
 protected:
  testing::TempDir dir;
};

TEST_F(ValidateSsl, MatchingValidPairHasNoErrors) {
  auto files = make_self_signed(dir.path(), "good");
  EXPECT_TRUE(validate_ssl(files.cert, files.key).empty());
}

TEST_F(ValidateSsl, BothFilesMissingGiveTwoEntriesInOrder) {
  auto cert = dir.str() + "/none.crt";
  auto key = dir.str() + "/none.key";
  auto errors = validate_ssl(cert, key);
  ASSERT_EQ(errors.size(), 2u);
  EXPECT_EQ(errors[0].rfind("Cannot load SSL certificate " + cert + ": ", 0), 0u) << errors[0];
  EXPECT_EQ(errors[1].rfind("Cannot load SSL private key " + key + ": ", 0), 0u) << errors[1];
}

TEST_F(ValidateSsl, ExpiredCertificateReportsExpiryInUtc) {
  CertOptions opts;
  opts.not_before_offset_s = -7200;
  opts.not_after_offset_s = -3600;
  auto files = make_self_signed(dir.path(), "old", opts);
  auto errors = validate_ssl(files.cert, files.key);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].rfind("SSL certificate " + files.cert.string() + " has expired (expiry: ", 0),
            0u);
  EXPECT_EQ(errors[0].substr(errors[0].size() - 5), " UTC)");
}

TEST_F(ValidateSsl, KeyOfAnotherCertificateDoesNotMatch) {
  auto a = make_self_signed(dir.path(), "a");
  auto b = make_self_signed(dir.path(), "b");
  auto errors = validate_ssl(a.cert, b.key);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0], "SSL certificate " + a.cert.string() + " and private key " + b.key.string() +
                           " do not match");
}

TEST_F(ValidateSsl, PasswordProtectedKeyIsRefusedWithoutMatchCheck) {
  CertOptions opts;
  opts.encrypt_key = true;
  auto files = make_self_signed(dir.path(), "locked", opts);
  auto errors = validate_ssl(files.cert, files.key);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].rfind("Cannot load SSL private key " + files.key.string() + ": ", 0), 0u);
}

TEST_F(ValidateSsl, ExpiredCertificateWithUnreadableKeyListsKeyErrorFirst) {
  CertOptions opts;
  opts.not_after_offset_s = -60;
  auto files = make_self_signed(dir.path(), "old", opts);
  auto errors = validate_ssl(files.cert, dir.str() + "/missing.key");
  ASSERT_EQ(errors.size(), 2u);
  EXPECT_NE(errors[0].find("Cannot load SSL private key"), std::string::npos);
  EXPECT_NE(errors[1].find("has expired"), std::string::npos);
}

TEST_F(ValidateSsl, NotAPemFileIsACertificateError) {
  auto junk = dir.write("junk.crt", "hello\n");
  auto key = make_self_signed(dir.path(), "k").key;
  auto errors = validate_ssl(junk, key);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].rfind("Cannot load SSL certificate " + junk.string() + ": ", 0), 0u);
}

}  // namespace
}  // namespace velquin::app::detail
