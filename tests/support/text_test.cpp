#include "support/text.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>

#include "support/digest.h"
#include "support/uuid.h"

namespace velquin::support {
namespace {

struct Utf8Case {
  std::string bytes;
  bool valid;
  std::string replaced;
};

class Utf8 : public ::testing::TestWithParam<Utf8Case> {};

TEST_P(Utf8, ValidityAndReplacement) {
  EXPECT_EQ(is_valid_utf8(GetParam().bytes), GetParam().valid);
  EXPECT_EQ(decode_utf8_replace(GetParam().bytes), GetParam().replaced);
}

const std::string kRepl = "\xef\xbf\xbd";

INSTANTIATE_TEST_SUITE_P(
    Table, Utf8,
    ::testing::Values(Utf8Case{"", true, ""}, Utf8Case{"ascii", true, "ascii"},
                      Utf8Case{"caf\xc3\xa9", true, "caf\xc3\xa9"},
                      Utf8Case{"\xf0\x9f\x98\x80", true, "\xf0\x9f\x98\x80"},
                      Utf8Case{"a\xffz", false, "a" + kRepl + "z"},
                      Utf8Case{"\xc0\xaf", false, kRepl + kRepl},              // overlong
                      Utf8Case{"\xed\xa0\x80", false, kRepl + kRepl + kRepl},  // surrogate
                      Utf8Case{"\xe2\x82", false, kRepl},                      // truncated at end
                      Utf8Case{"\xe2\x82x", false, kRepl + "x"},  // truncated in the middle
                      Utf8Case{"\xf4\x90\x80\x80", false,
                               kRepl + kRepl + kRepl + kRepl}));  // > U+10FFFF

TEST(UniversalNewlines, AllLineEndsBecomeLf) {
  EXPECT_EQ(universal_newlines("a\r\nb\rc\nd\r"), "a\nb\nc\nd\n");
  EXPECT_EQ(universal_newlines("\r\r\n"), "\n\n");
}

TEST(Base64, MatchesKnownVectors) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", ""},        {"f", "Zg=="},          {"fo", "Zm8="},
      {"foo", "Zm9v"}, {"foobar", "Zm9vYmFy"}, {std::string("\0\xff\xfe", 3), "AP/+"}};
  for (const auto& [in, out] : cases) {
    EXPECT_EQ(base64_encode(in), out);
  }
}

TEST(ConstantTimeEqual, ComparesContentAndLength) {
  EXPECT_TRUE(constant_time_equal("", ""));
  EXPECT_TRUE(constant_time_equal("secret", "secret"));
  EXPECT_FALSE(constant_time_equal("secret", "secreT"));
  EXPECT_FALSE(constant_time_equal("secret", "secret2"));
  EXPECT_FALSE(constant_time_equal(std::string_view(), "x"));
  EXPECT_FALSE(constant_time_equal(std::string_view("a\0b", 3), std::string_view("a\0c", 3)));
}

TEST(Sha256, KnownDigests) {
  const std::pair<std::string, std::string> cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {std::string("a\0b", 3), "59b271ae1bbcb1d31d41929817f4b16fb439eb4f31520b5ad1d5ce98920a7138"}};
  for (const auto& [data, hex] : cases) {
    std::string got;
    for (unsigned char byte : sha256(data)) {
      got += "0123456789abcdef"[byte >> 4];
      got += "0123456789abcdef"[byte & 15];
    }
    EXPECT_EQ(got, hex) << data;
  }
}

TEST(Uuid4, CanonicalVersion4AndUnique) {
  const std::regex canonical(
      "^[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$");
  const std::regex hex("^[0-9a-f]{12}4[0-9a-f]{3}[89ab][0-9a-f]{15}$");
  std::set<std::string> seen;
  for (int i = 0; i < 200; ++i) {
    const std::string id = uuid4();
    EXPECT_TRUE(std::regex_match(id, canonical)) << id;
    EXPECT_TRUE(std::regex_match(uuid4_hex(), hex));
    seen.insert(id);
  }
  EXPECT_EQ(seen.size(), 200U);
}

// Run ids become path components: only the canonical form may pass.
TEST(IsUuid, OnlyTheCanonicalFormPasses) {
  EXPECT_TRUE(is_uuid(uuid4()));
  EXPECT_TRUE(is_uuid("0123ABCD-4567-89ab-cdef-0123456789AB"));
  for (const char* bad :
       {"", "../../../../../../../../../../../../", "0123abcd-4567-89ab-cdef-0123456789a",
        "0123abcd-4567-89ab-cdef-0123456789a/", "0123abcd04567-89ab-cdef-0123456789ab",
        "0123abcd-4567-89ab-cdef-0123456789ag"}) {
    EXPECT_FALSE(is_uuid(bad)) << bad;
  }
}

}  // namespace
}  // namespace velquin::support
