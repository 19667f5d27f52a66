#include "validator/validator.h"

#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/yaml_value.h"

namespace velquin::validator {
namespace {

using Json = nlohmann::ordered_json;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

Json yaml(const std::string& text) {
  return support::parse_yaml(text);
}

// ---------------------------------------------------------------------------
// Alias definitions

struct DefinitionCase {
  const char* label;
  const char* yaml;
  std::vector<std::string> expected;
  std::optional<std::int64_t> max_timeout = std::nullopt;
};

class DefinitionTest : public ::testing::TestWithParam<DefinitionCase> {};

TEST_P(DefinitionTest, ReportsExactMessagesInOrder) {
  Json def = yaml(GetParam().yaml);
  def["name"] = "alias";
  EXPECT_THAT(validate_alias_definition(def, GetParam().max_timeout),
              ElementsAreArray(GetParam().expected));
}

const char* const LINT_X =
    "command inserts parameter 'x' unquoted; write {{ x | shell }} or restrict it with pattern "
    "or choices";

INSTANTIATE_TEST_SUITE_P(
    Definitions, DefinitionTest,
    ::testing::Values(
        DefinitionCase{"minimal_process", "type: process\ncommand: df -h", {}},
        DefinitionCase{"minimal_container", "type: container\nimage: busybox\nnetwork: bridge", {}},
        DefinitionCase{
            "missing_type", "command: ls", {"type is required: 'process' or 'container'"}},
        DefinitionCase{"type_is_case_sensitive",
                       "type: Process\ncommand: ls",
                       {"type must be 'process' or 'container', not 'Process'"}},
        DefinitionCase{
            "process_without_command", "type: process", {"command must be a non-empty text"}},
        DefinitionCase{"container_without_image",
                       "type: container\ncommand: ls",
                       {"image must be a non-empty text"}},
        DefinitionCase{"misspelt_key",
                       "type: process\ncomand: ls",
                       {"unknown key 'comand'", "command must be a non-empty text"}},
        DefinitionCase{"unquoted_string_parameter",
                       "type: process\ncommand: echo {{ x }}\nparameters:\n  x: {type: string}",
                       {LINT_X}},
        DefinitionCase{"untyped_parameter_is_a_string",
                       "type: process\ncommand: echo {{ x }} {{x}}\nparameters:\n  x: {}",
                       {LINT_X}},
        DefinitionCase{"json_filter_is_not_shell_quoting",
                       "type: process\ncommand: echo {{ x | json }}\nparameters:\n  x: {}",
                       {LINT_X}},
        DefinitionCase{
            "container_command_is_linted_too",
            "type: container\nimage: busybox\ncommand: echo {{ x }}\nparameters:\n  x: {}",
            {LINT_X}},
        DefinitionCase{"shell_filter_passes",
                       "type: process\ncommand: echo {{ x | shell }}\nparameters:\n  x: {}",
                       {}},
        DefinitionCase{
            "pattern_passes",
            "type: process\ncommand: echo {{ x }}\nparameters:\n  x: {pattern: '[a-z]+'}",
            {}},
        DefinitionCase{"choices_pass",
                       "type: process\ncommand: echo {{ x }}\nparameters:\n  x: {choices: [a, b]}",
                       {}},
        DefinitionCase{"typed_parameters_pass",
                       "type: process\ncommand: head -n {{ n }} {{ f }}\nparameters:\n"
                       "  n: {type: integer}\n  f: {type: number}",
                       {}},
        DefinitionCase{"environment_is_not_linted",
                       "type: process\ncommand: echo \"$X\"\nenvironment: {X: '{{ x }}'}\n"
                       "parameters:\n  x: {}",
                       {}},
        DefinitionCase{"quoted_references_pass",
                       "type: process\ncommand: \"echo 'a {{ x | shell }}' \\\"{{ y | json }}\\\" "
                       "# {{ run_dir }}\"\nparameters:\n  x: {}\n  y: {choices: [a]}",
                       {}},
        DefinitionCase{
            "references_where_no_quoting_holds",
            "type: process\ncommand: \"echo $'{{ a | shell }}' `{{ b | shell }}` ${v:-{{ c }}} "
            "# {{ d | shell }}\\ncat <<E\\n{{ e | shell }}\\nE\\necho '{{ f | shell }}\"\n"
            "parameters:\n  a: {}\n  b: {}\n  c: {type: integer}\n  d: {}\n  e: {}\n  f: {}",
            {"command inserts parameter 'a' in $'…'; it cannot be quoted there",
             "command inserts parameter 'b' in backquotes; it cannot be quoted there",
             "command inserts parameter 'c' in ${…}; it cannot be quoted there",
             "command inserts parameter 'd' in a comment; it cannot be quoted there",
             "command inserts parameter 'e' in a here-document; it cannot be quoted there",
             "command inserts parameter 'f' in an unterminated quote; it cannot be quoted there"}},
        DefinitionCase{"refused_context_and_unquoted_both_reported",
                       "type: container\nimage: busybox\ncommand: 'echo {{ x }} # {{ x }}'\n"
                       "parameters:\n  x: {}",
                       {LINT_X, "command inserts parameter 'x' in a comment; it cannot be quoted "
                                "there"}},
        DefinitionCase{
            "raw_choices_and_default_must_be_plain_words",
            "type: process\ncommand: \"ls {{ c }} {{ d | json }} '{{ q }}'\"\nparameters:\n"
            "  c: {choices: [a-b, 'x y', 3]}\n  d: {pattern: '.*', default: 'a;b'}\n"
            "  q: {choices: ['x y']}",
            {"parameter 'c': choice 'x y' is not a plain word (letters, digits and _ . , : / @ % + "
             "= -)",
             "parameter 'c': choice 3 is not a valid string",
             "parameter 'd': invalid default: 'd' must be a plain word (letters, digits and _ . , "
             ": / @ % + = -)"}},
        DefinitionCase{"null_environment_value_is_kept",
                       "type: process\ncommand: env\nenvironment: {A: null, B: ~}",
                       {}},
        DefinitionCase{"undeclared_reference",
                       "type: process\ncommand: echo {{ y | shell }}",
                       {"command references undeclared parameter 'y'"}},
        DefinitionCase{
            "unknown_filter",
            "type: process\ncommand: echo {{ x | upper }}\nparameters:\n  x: {choices: [a]}",
            {"command: unknown template filter 'upper'"}},
        DefinitionCase{"unclosed_template",
                       "type: process\ncommand: echo {{ x",
                       {"command: unclosed '{{' in template"}},
        DefinitionCase{"run_dir_is_reserved",
                       "type: process\ncommand: ls {{ run_dir }}\nparameters:\n  run_dir: {}",
                       {"parameter name 'run_dir' is reserved"}},
        DefinitionCase{"negative_timeout",
                       "type: process\ncommand: ls\ntimeout: -1",
                       {"timeout must be a positive number of seconds"}},
        DefinitionCase{"text_timeout",
                       "type: process\ncommand: ls\ntimeout: '10'",
                       {"timeout must be a positive number of seconds"}},
        DefinitionCase{"zero_timeout_means_default", "type: process\ncommand: ls\ntimeout: 0", {}},
        DefinitionCase{"timeout_over_max",
                       "type: process\ncommand: ls\ntimeout: 120",
                       {"timeout 120 exceeds MaxTimeout 30"},
                       30},
        DefinitionCase{"decimal_timeout_over_max",
                       "type: process\ncommand: ls\ntimeout: 30.5",
                       {"timeout 30.5 exceeds MaxTimeout 30"},
                       30},
        DefinitionCase{"timeout_equal_to_max", "type: process\ncommand: ls\ntimeout: 30", {}, 30},
        DefinitionCase{
            "invalid_default",
            "type: process\ncommand: ls\nparameters:\n  n: {type: integer, max: 10, default: 11}",
            {"parameter 'n': invalid default: 'n' must be at most 10"}},
        DefinitionCase{
            "default_outside_choices",
            "type: process\ncommand: ls\nparameters:\n  c: {choices: [a, b], default: z}",
            {"parameter 'c': invalid default: 'c' must be one of ['a', 'b']"}},
        DefinitionCase{
            "bad_parameter_keys",
            "type: process\ncommand: ls\nparameters:\n"
            "  n: {type: int, requird: true}\n  s: {min: 1}\n  b: {type: boolean, pattern: x}",
            {"parameter 'n': unknown key 'requird'",
             "parameter 'n': type must be one of string, integer, number, boolean",
             "parameter 's': min applies to integer and number parameters only",
             "parameter 'b': pattern applies to string parameters only"}},
        DefinitionCase{
            "choice_of_wrong_type",
            "type: process\ncommand: ls\nparameters:\n  n: {type: integer, choices: [1, x]}",
            {"parameter 'n': choice 'x' is not a valid integer"}},
        DefinitionCase{
            "min_above_max",
            "type: process\ncommand: ls\nparameters:\n  n: {type: number, min: 5, max: 1}",
            {"parameter 'n': min is greater than max"}},
        DefinitionCase{
            "container_keys_on_process",
            "type: process\ncommand: ls\nnetwork: bridge\nvolumes: [{location: /x}]\nimage: ''",
            {"volumes applies to container aliases only",
             "network applies to container aliases only"}},
        DefinitionCase{"process_keys_on_container",
                       "type: container\nimage: busybox\nuser: nobody",
                       {"user applies to process aliases only"}},
        DefinitionCase{"volume_entries",
                       "type: container\nimage: busybox\nvolumes:\n"
                       "  - {location: data, mode: rx}\n"
                       "  - {location: /in, source: '', preserve: maybe}\n"
                       "  - {location: /out, source: 'out/', preserve: Flatten, mode: ro}",
                       {"volumes[0].location must be an absolute path inside the container",
                        "volumes[0].mode must be 'rw' or 'ro'",
                        "volumes[1].source must not be empty; leave it out for an automatic volume",
                        "volumes[1].preserve must be true, false or one of 'none', 'false', "
                        "'flatten', 'yes', 'true'"}},
        DefinitionCase{
            "files_entries",
            "type: process\ncommand: ls\nfiles:\n  - {content: x}\n  - {location: 'a/{{ p }}'}",
            {"files[0].location must be a non-empty text",
             "files[1].location references undeclared parameter 'p'"}},
        DefinitionCase{"environment_entries",
                       "type: process\ncommand: ls\nenvironment: {A: [1], B: 2, C: true, 'D=E': x}",
                       {"environment 'A' must be a text, number or boolean",
                        "environment variable name 'D=E' is not valid"}},
        DefinitionCase{
            "output_entries",
            "type: process\ncommand: ls\noutput:\n"
            "  single_value: {source: '%stdOut', content-type: \"text/plain\\r\\nX: y\"}\n"
            "  multiple_values:\n    - {source: '%exitCode'}\n    - {parameter_name: f, source: "
            "'{{ q }}.txt'}",
            {"output.single_value.content-type must be a non-empty text without control "
             "characters",
             "output.multiple_values[0].parameter_name must be a non-empty text",
             "output.multiple_values[1].source references undeclared parameter 'q'"}},
        DefinitionCase{
            "preserve_streams_entries",
            "type: process\ncommand: ls\npreserveStreams:\n"
            "  - {filename: out.txt}\n  - {stream: stdout, filename: ../x, flatten: yes}",
            {"preserveStreams[0].stream must be 'stdout' or 'stderr'",
             "preserveStreams[1].filename must be a file name without '/'",
             "preserveStreams[1].flatten must be true or false"}},
        DefinitionCase{
            "exit_codes",
            "type: process\ncommand: ls\nexitCodes: {abc: 400, 3: 700, 4: \"422 Bad\\r\\nX\", "
            "5: 101, 6: \"422 Bad Input\", default: 503}",
            {"exitCodes: key 'abc' must be an exit status or 'default'",
             "exitCodes: entry '3' must be an HTTP status from 200 to 599, optionally "
             "followed by a reason",
             "exitCodes: entry '4' must be an HTTP status from 200 to 599, optionally "
             "followed by a reason",
             "exitCodes: entry '5' must be an HTTP status from 200 to 599, optionally "
             "followed by a reason"}}),
    [](const auto& param_info) { return std::string(param_info.param.label); });

TEST(Definition, BadPatternNamesTheParameter) {
  Json def = yaml("type: process\ncommand: ls\nparameters:\n  p: {pattern: '(abc'}");
  const auto errors = validate_alias_definition(def, std::nullopt);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_THAT(errors[0], ::testing::StartsWith("parameter 'p': pattern does not compile: "));
}

TEST(Definition, CompilesExitCodesIntoTheSameCopy) {
  Json def = yaml(
      "type: process\ncommand: ls\nexitCodes: {3: 422, -9: \"503  Gone Away \", default: \"409\"}");
  ASSERT_THAT(validate_alias_definition(def, std::nullopt), IsEmpty());
  const Json expected = {{"3", {{"status", 422}, {"reason", nullptr}}},
                         {"-9", {{"status", 503}, {"reason", "Gone Away"}}},
                         {"default", {{"status", 409}, {"reason", nullptr}}}};
  EXPECT_EQ(def["_exit_code_map"], expected);
}

TEST(Definition, RejectsMalformedHandWrittenExitCodeMap) {
  Json def = yaml("type: process\ncommand: ls\n_exit_code_map: {'3': {status: 42}}");
  EXPECT_THAT(validate_alias_definition(def, std::nullopt),
              ElementsAreArray({"_exit_code_map must map exit statuses or 'default' to {status, "
                                "reason}"}));
}

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
  const Json alias = yaml(PARAMETERS);
  EXPECT_THAT(validate_parameters(GetParam().request, alias),
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
  const Json alias = yaml("type: process\ncommand: \"run {{ p }} {{ j | json }} '{{ q }}' {{ n }} "
                          "{{ s | shell }}\"\nparameters:\n  p: {pattern: '(?s).{0,80}'}\n"
                          "  j: {choices: [a, 'a b']}\n  q: {}\n  n: {type: number}\n  s: {}");
  const std::string tail = " must be a plain word (letters, digits and _ . , : / @ % + = -)";
  EXPECT_THAT(
      validate_parameters(
          Json{{"p", "Az09_.,:/@%+=-"}, {"j", "a"}, {"q", "x;y"}, {"n", "-1.5e+3"}, {"s", "$(id)"}},
          alias),
      IsEmpty());
  EXPECT_THAT(validate_parameters(Json{{"p", ";touch /tmp/p;"}, {"j", "a b"}, {"n", "x"}}, alias),
              ElementsAreArray({"'p'" + tail, "'j'" + tail, std::string("'n' must be a number")}));
  // An empty word vanishes and moves the words after it up one place.
  for (const std::string value : {"a b", "a\nb", "$x", "é", "~root", "a*", "'", "[a]", ""}) {
    EXPECT_THAT(validate_parameters(Json{{"p", value}}, alias), ElementsAreArray({"'p'" + tail}))
        << value;
  }
  // A container command is linted the same way.
  const Json container = yaml("type: container\nimage: busybox\ncommand: echo {{ p }}\n"
                              "parameters:\n  p: {pattern: '.*'}");
  EXPECT_THAT(validate_parameters(Json{{"p", "a;b"}}, container), ElementsAreArray({"'p'" + tail}));
}

// Unless the operator wrote the empty value: as a choice or as the default.
TEST(Parameters, RawInsertionsTakeAnEmptyValueTheOperatorWrote) {
  const Json alias = yaml("type: process\ncommand: ls {{ f }} {{ g }} -- x\nparameters:\n"
                          "  f: {choices: ['', '-l']}\n  g: {pattern: '.*', default: ''}");
  Json definition = alias;
  EXPECT_THAT(validate_alias_definition(definition, std::nullopt), IsEmpty());
  EXPECT_THAT(validate_parameters(apply_defaults(Json{{"f", ""}}, alias), alias), IsEmpty());
}

TEST(Parameters, NoParametersDeclaredRefusesEverything) {
  const Json alias = yaml("type: process\ncommand: ls");
  EXPECT_THAT(validate_parameters(Json::object(), alias), IsEmpty());
  EXPECT_THAT(validate_parameters(Json{{"a", 1}}, alias),
              ElementsAreArray({"unknown parameter 'a'"}));
}

TEST(Parameters, DefaultsFillAbsentAndNullButKeepGivenValues) {
  const Json alias = yaml("type: process\ncommand: ls\nparameters:\n  a: {default: one}\n  b: "
                          "{type: integer, default: 2}\n"
                          "  c: {default: three}\n  d: {}");
  const Json request = {{"b", nullptr}, {"c", "given"}};
  const Json filled = apply_defaults(request, alias);
  EXPECT_EQ(filled, (Json{{"b", 2}, {"c", "given"}, {"a", "one"}}));
  EXPECT_EQ(request, (Json{{"b", nullptr}, {"c", "given"}}));
  EXPECT_EQ(apply_defaults(nullptr, alias), (Json{{"a", "one"}, {"b", 2}, {"c", "three"}}));
}

TEST(Parameters, PatternChecksAreSafeFromManyThreads) {
  const Json alias = yaml(PARAMETERS);
  std::vector<std::thread> threads;
  std::vector<int> failures(8, 0);
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) {
        const bool good = (i + t) % 2 == 0;
        const auto errors = validate_parameters(Json{{"s", good ? "abc" : "ab1"}}, alias);
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
  Json def = yaml(
      "type: process\ncommand: ls\nexitCodes: {3: 422, 4: \"409 Already There\", 5: 200, -9: 504, "
      "default: 503}");
  ASSERT_THAT(validate_alias_definition(def, std::nullopt), IsEmpty());
  const auto& c = GetParam();
  const ExitStatus result =
      resolve_exit_status(c.with_map ? &def["_exit_code_map"] : nullptr, c.returncode);
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
  Json def = yaml("type: process\ncommand: ls\nexitCodes: {default: 400}");
  ASSERT_THAT(validate_alias_definition(def, std::nullopt), IsEmpty());
  EXPECT_EQ(resolve_exit_status(&def["_exit_code_map"], 0).status, 200);

  Json zero = yaml("type: process\ncommand: ls\nexitCodes: {0: 299}");
  ASSERT_THAT(validate_alias_definition(zero, std::nullopt), IsEmpty());
  const auto result = resolve_exit_status(&zero["_exit_code_map"], 0);
  EXPECT_EQ(result.status, 299);
  EXPECT_EQ(result.reason, "Success");
}

TEST(ExitStatus, UnlistedFailureWithoutDefaultIsAServerError) {
  Json def = yaml("type: process\ncommand: ls\nexitCodes: {3: 422}");
  ASSERT_THAT(validate_alias_definition(def, std::nullopt), IsEmpty());
  const auto result = resolve_exit_status(&def["_exit_code_map"], 7);
  EXPECT_EQ(result.status, 500);
  EXPECT_EQ(result.reason, "Internal Server Error");
}

}  // namespace
}  // namespace velquin::validator
