#include "support/quoted.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <limits>

#include "support/number_text.h"

namespace velquin::support {
namespace {

struct QuotedCase {
  std::string input;
  std::string expected;
};

class QuotedText : public ::testing::TestWithParam<QuotedCase> {};

TEST_P(QuotedText, MatchesLiteralForm) {
  EXPECT_EQ(quoted(std::string_view(GetParam().input)), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, QuotedText,
    ::testing::Values(QuotedCase{"", "''"}, QuotedCase{"plain", "'plain'"},
                      QuotedCase{"it's", "\"it's\""},            // single quote only: double quotes
                      QuotedCase{"say \"hi\"", "'say \"hi\"'"},  // double quote only: single quotes
                      QuotedCase{"it's \"x\"", "'it\\'s \"x\"'"},  // both: single quotes, escaped
                      QuotedCase{"a\\b", "'a\\\\b'"}, QuotedCase{"l1\nl2\r\t", "'l1\\nl2\\r\\t'"},
                      QuotedCase{std::string("nul\0x", 5), "'nul\\x00x'"},
                      QuotedCase{"\x1b[0m", "'\\x1b[0m'"}, QuotedCase{"del\x7f", "'del\\x7f'"},
                      QuotedCase{"caf\xc3\xa9 \xe2\x9c\x93", "'caf\xc3\xa9 \xe2\x9c\x93'"},
                      QuotedCase{"\"'\\", "'\"\\'\\\\'"}));

TEST(Quoted, JsonValuesUsePythonLikeForms) {
  using Json = nlohmann::ordered_json;
  EXPECT_EQ(quoted(Json(nullptr)), "None");
  EXPECT_EQ(quoted(Json(true)), "True");
  EXPECT_EQ(quoted(Json(false)), "False");
  EXPECT_EQ(quoted(Json(-12)), "-12");
  EXPECT_EQ(quoted(Json(std::numeric_limits<std::uint64_t>::max())), "18446744073709551615");
  EXPECT_EQ(quoted(Json(2.0)), "2.0");
  EXPECT_EQ(quoted(Json::array({1, "a"})), "[1,\"a\"]");
  EXPECT_EQ(quoted(std::int64_t{42}), "42");
  // Messages about a list or mapping never throw for bytes that are not UTF-8.
  const Json bad = Json::array({std::string("a\xff")});
  EXPECT_EQ(quoted(bad), "[\"a\xEF\xBF\xBD\"]");
  EXPECT_EQ(value_text(bad), "[\"a\xEF\xBF\xBD\"]");
}

struct NumberCase {
  double value;
  std::string expected;
};

class NumberText : public ::testing::TestWithParam<NumberCase> {};

TEST_P(NumberText, ShortestRoundTrip) {
  EXPECT_EQ(number_text(GetParam().value), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, NumberText,
    ::testing::Values(NumberCase{2.0, "2.0"}, NumberCase{0.0, "0.0"}, NumberCase{-0.0, "-0.0"},
                      NumberCase{2.5, "2.5"}, NumberCase{0.1, "0.1"},
                      NumberCase{1.0 / 3, "0.3333333333333333"}, NumberCase{0.0001, "0.0001"},
                      NumberCase{0.00001, "1e-05"}, NumberCase{1e-07, "1e-07"},
                      NumberCase{123456789012345.0, "123456789012345.0"},
                      NumberCase{1e15, "1000000000000000.0"}, NumberCase{1e16, "1e+16"},
                      NumberCase{1.5e300, "1.5e+300"}, NumberCase{-2.25e-10, "-2.25e-10"},
                      NumberCase{std::numeric_limits<double>::infinity(), "inf"},
                      NumberCase{-std::numeric_limits<double>::infinity(), "-inf"},
                      NumberCase{std::numeric_limits<double>::quiet_NaN(), "nan"}));

TEST(NumberText, ReadsBackAsTheSameDouble) {
  for (const double v :
       {0.1 + 0.2, 1e-300, 5e-324, 1.7976931348623157e308, 123.456, 9007199254740993.0}) {
    EXPECT_EQ(std::strtod(number_text(v).c_str(), nullptr), v) << number_text(v);
  }
}

}  // namespace
}  // namespace velquin::support
