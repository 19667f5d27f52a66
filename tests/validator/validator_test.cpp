#include "validator/validator.h"

#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/aliases.h"

namespace velquin::validator {
namespace {

using Json = nlohmann::ordered_json;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
using testing::yaml_alias;

// ---------------------------------------------------------------------------
// Request parameters

const char* const PARAMETERS = R"(
type: process
command: run {{ s | shell }}
parameters:
  s: {required: true, pattern: '[a-z]+', max_length: 4}
  n: {type: integer, min: 1, max: 10}
  f: {type: number, max: 2.5}
  b: {type: boolean}
  c: {choices: [red, green]}
  i: {type: integer, choices: [1, 2]}
  u: {min_length: 2, max_length: 3}
  d: {required: true, default: x}
)";

struct ParameterCase {
  const char* label;
  Json request;
  std::vector<std::string> expected;
};

class ParameterTest : public ::testing::TestWithParam<ParameterCase> {};

TEST_P(ParameterTest, ReportsExactMessagesInOrder) {
  const auto alias = yaml_alias(PARAMETERS);
  EXPECT_THAT(validate_parameters(GetParam().request, *alias),
              ElementsAreArray(GetParam().expected));
}

INSTANTIATE_TEST_SUITE_P(
    Parameters, ParameterTest,
    ::testing::Values(
        ParameterCase{"only_required", {{"s", "abc"}}, {}},
        ParameterCase{"missing_required", Json::object(), {"'s' is required"}},
        ParameterCase{"null_counts_as_missing", {{"s", nullptr}}, {"'s' is required"}},
        ParameterCase{
            "form_texts", {{"s", "ab"}, {"n", "5"}, {"f", "2.5"}, {"b", "true"}, {"i", "2"}}, {}},
        ParameterCase{"json_values", {{"s", "ab"}, {"n", 5}, {"f", 1}, {"b", false}}, {}},
        ParameterCase{"exponent_number", {{"s", "ab"}, {"f", "-1e-3"}}, {}},
        ParameterCase{"integer_shapes", {{"s", "ab"}, {"n", "5.0"}}, {"'n' must be an integer"}},
        ParameterCase{"integer_with_space", {{"s", "ab"}, {"n", " 5"}}, {"'n' must be an integer"}},
        ParameterCase{
            "integer_with_command", {{"s", "ab"}, {"n", "5;id"}}, {"'n' must be an integer"}},
        ParameterCase{"float_for_integer", {{"s", "ab"}, {"n", 5.5}}, {"'n' must be an integer"}},
        ParameterCase{"bool_for_integer", {{"s", "ab"}, {"n", true}}, {"'n' must be an integer"}},
        ParameterCase{"number_words", {{"s", "ab"}, {"f", "nan"}}, {"'f' must be a number"}},
        ParameterCase{"number_inf", {{"s", "ab"}, {"f", "inf"}}, {"'f' must be a number"}},
        ParameterCase{"number_empty", {{"s", "ab"}, {"f", ""}}, {"'f' must be a number"}},
        ParameterCase{"boolean_word", {{"s", "ab"}, {"b", "yes"}}, {"'b' must be a boolean"}},
        ParameterCase{
            "boolean_other_case", {{"s", "ab"}, {"b", "TRUE"}}, {"'b' must be a boolean"}},
        ParameterCase{"number_for_string", {{"s", 5}}, {"'s' must be a string"}},
        ParameterCase{"pattern_must_match_whole_value",
                      {{"s", "abc1"}},
                      {"'s' does not match the required pattern"}},
        ParameterCase{
            "pattern_and_length_both_reported",
            {{"s", "abcd1"}},
            {"'s' does not match the required pattern", "'s' must be at most 4 characters long"}},
        ParameterCase{"newline_does_not_slip_past_pattern",
                      {{"s", "a\nb"}},
                      {"'s' does not match the required pattern"}},
        ParameterCase{"bounds",
                      {{"s", "ab"}, {"n", 0}, {"f", 3}},
                      {"'n' must be at least 1", "'f' must be at most 2.5"}},
        ParameterCase{
            "text_choices", {{"s", "ab"}, {"c", "blue"}}, {"'c' must be one of ['red', 'green']"}},
        ParameterCase{"integer_choices", {{"s", "ab"}, {"i", 3}}, {"'i' must be one of [1, 2]"}},
        ParameterCase{"lengths_count_characters",
                      {{"s", "ab"}, {"u", "é"}},
                      {"'u' must be at least 2 characters long"}},
        ParameterCase{"multibyte_within_limit", {{"s", "ab"}, {"u", "éèê"}}, {}},
        ParameterCase{"unknown_names_in_request_order",
                      {{"zz", 1}, {"s", "ab"}, {"run_dir", "/etc"}, {"it's", 2}},
                      {"unknown parameter 'zz'", "unknown parameter 'run_dir'",
                       "unknown parameter \"it's\""}},
        ParameterCase{"declared_before_unknown",
                      {{"x", 1}, {"n", "a"}},
                      {"'s' is required", "'n' must be an integer", "unknown parameter 'x'"}}),
    [](const auto& param_info) { return std::string(param_info.param.label); });

// A value the command inserts raw where the shell reads a word must be a plain word.
TEST(Parameters, RawInsertionsTakePlainWordsOnly) {
  const auto alias =
      yaml_alias("type: process\ncommand: \"run {{ p }} {{ j | json }} '{{ q }}' {{ n }} "
                 "{{ s | shell }}\"\nparameters:\n  p: {pattern: '(?s).{0,80}'}\n"
                 "  j: {pattern: '(?s).*'}\n  q: {pattern: '(?s).*'}\n  n: {type: number}\n"
                 "  s: {}");
  const std::string tail = " must be a plain word (letters, digits and _ . , : / @ % + = -)";
  EXPECT_THAT(
      validate_parameters(
          Json{{"p", "Az09_.,:/@%+=-"}, {"j", "a"}, {"q", "x;y"}, {"n", "-1.5e+3"}, {"s", "$(id)"}},
          *alias),
      IsEmpty());
  EXPECT_THAT(validate_parameters(Json{{"p", ";touch /tmp/p;"}, {"j", "a b"}, {"n", "x"}}, *alias),
              ElementsAreArray({"'p'" + tail, "'j'" + tail, std::string("'n' must be a number")}));
  // An empty word vanishes and moves the words after it up one place.
  for (const std::string value : {"a b", "a\nb", "$x", "é", "~root", "a*", "'", "[a]", ""}) {
    EXPECT_THAT(validate_parameters(Json{{"p", value}}, *alias), ElementsAreArray({"'p'" + tail}))
        << value;
  }
  // A container command is linted the same way.
  const auto container = yaml_alias("type: container\nimage: busybox\ncommand: echo {{ p }}\n"
                                    "parameters:\n  p: {pattern: '.*'}");
  EXPECT_THAT(validate_parameters(Json{{"p", "a;b"}}, *container),
              ElementsAreArray({"'p'" + tail}));
}

// Unless the operator wrote the empty value: as a choice or as the default.
TEST(Parameters, RawInsertionsTakeAnEmptyValueTheOperatorWrote) {
  const auto alias = yaml_alias("type: process\ncommand: ls {{ f }} {{ g }} -- x\nparameters:\n"
                                "  f: {choices: ['', '-l']}\n  g: {pattern: '.*', default: ''}");
  ASSERT_NE(alias, nullptr);
  Json params = {{"f", ""}};
  apply_defaults(params, *alias);
  EXPECT_THAT(validate_parameters(params, *alias), IsEmpty());
}

TEST(Parameters, NoParametersDeclaredRefusesEverything) {
  const auto alias = yaml_alias("type: process\ncommand: ls");
  EXPECT_THAT(validate_parameters(Json::object(), *alias), IsEmpty());
  EXPECT_THAT(validate_parameters(Json{{"a", 1}}, *alias),
              ElementsAreArray({"unknown parameter 'a'"}));
}

TEST(Parameters, DefaultsFillAbsentAndNullButKeepGivenValues) {
  const auto alias = yaml_alias("type: process\ncommand: ls\nparameters:\n  a: {default: one}\n"
                                "  b: {type: integer, default: 2}\n"
                                "  c: {default: three}\n  d: {}");
  Json filled = {{"b", nullptr}, {"c", "given"}};
  apply_defaults(filled, *alias);
  EXPECT_EQ(filled, (Json{{"b", 2}, {"c", "given"}, {"a", "one"}}));
  Json none;
  apply_defaults(none, *alias);
  EXPECT_EQ(none, (Json{{"a", "one"}, {"b", 2}, {"c", "three"}}));
}

TEST(Parameters, PatternChecksAreSafeFromManyThreads) {
  const auto alias = yaml_alias(PARAMETERS);
  std::vector<std::thread> threads;
  std::vector<int> failures(8, 0);
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) {
        const bool good = (i + t) % 2 == 0;
        const auto errors = validate_parameters(Json{{"s", good ? "abc" : "ab1"}}, *alias);
        if (errors.empty() != good) {
          ++failures[static_cast<std::size_t>(t)];
        }
      }
    });
  }
  for (auto& thread : threads) {
    thread.join();
  }
  EXPECT_THAT(failures, ::testing::Each(0));
}

// ---------------------------------------------------------------------------
// Exit statuses

struct ExitCase {
  const char* label;
  bool with_map;
  std::optional<std::int64_t> returncode;
  int status;
  std::optional<std::string> reason;
};

class ExitStatusTest : public ::testing::TestWithParam<ExitCase> {};

TEST_P(ExitStatusTest, Resolves) {
  const auto def = yaml_alias(
      "type: process\ncommand: ls\nexitCodes: {3: 422, 4: \"409 Already There\", 5: 200, -9: 504, "
      "default: 503}");
  const auto& c = GetParam();
  const ExitStatus result =
      resolve_exit_status(c.with_map ? def->exit_codes : alias::ExitCodeMap{}, c.returncode);
  EXPECT_EQ(result.status, c.status);
  EXPECT_EQ(result.reason, c.reason);
}

INSTANTIATE_TEST_SUITE_P(
    Statuses, ExitStatusTest,
    ::testing::Values(ExitCase{"zero_is_ok", true, 0, 200, std::nullopt},
                      ExitCase{"absent_is_ok", true, std::nullopt, 200, std::nullopt},
                      ExitCase{"listed_gets_standard_phrase", true, 3, 422,
                               "Unprocessable Content"},
                      ExitCase{"listed_with_reason", true, 4, 409, "Already There"},
                      ExitCase{"listed_as_ok", true, 5, 200, std::nullopt},
                      ExitCase{"signal", true, -9, 504, "Gateway Timeout"},
                      ExitCase{"default_for_unlisted", true, 1, 503, "Service Unavailable"},
                      ExitCase{"no_map_zero", false, 0, 200, std::nullopt},
                      ExitCase{"no_map_failure", false, 2, 500, "Internal Server Error"}),
    [](const auto& param_info) { return std::string(param_info.param.label); });

TEST(ExitStatus, DefaultNeverAppliesToZeroButAListedZeroDoes) {
  const auto def = yaml_alias("type: process\ncommand: ls\nexitCodes: {default: 400}");
  EXPECT_EQ(resolve_exit_status(def->exit_codes, 0).status, 200);

  const auto zero = yaml_alias("type: process\ncommand: ls\nexitCodes: {0: 299}");
  const auto result = resolve_exit_status(zero->exit_codes, 0);
  EXPECT_EQ(result.status, 299);
  EXPECT_EQ(result.reason, "Success");
}

TEST(ExitStatus, UnlistedFailureWithoutDefaultIsAServerError) {
  const auto def = yaml_alias("type: process\ncommand: ls\nexitCodes: {3: 422}");
  const auto result = resolve_exit_status(def->exit_codes, 7);
  EXPECT_EQ(result.status, 500);
  EXPECT_EQ(result.reason, "Internal Server Error");
}

}  // namespace
}  // namespace velquin::validator
