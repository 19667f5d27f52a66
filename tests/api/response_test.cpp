#include <string>

#include <gtest/gtest.h>

#include "api/internal.h"
#include "support/aliases.h"

namespace velquin::api {
namespace {

using executor::RunResult;

RunResult result_with(std::optional<std::int64_t> returncode, executor::FileOutputs outputs) {
  RunResult r;
  r.outcome = RunResult::Outcome::completed;
  r.stdout_text = "out\n";
  r.stderr_text = "err";
  r.returncode = returncode;
  r.file_outputs = std::move(outputs);
  return r;
}

const RunResult kResult = result_with(3, {{"report", "r-text"}, {"%stdout", "lookalike"}});

// An alias of the given definition, with the type and command any needs.
alias::AliasPtr alias_of(const std::string& definition) {
  json def = json::parse(definition);
  def["type"] = "process";
  def["command"] = "x";
  return testing::make_alias(def);
}

struct SourceCase {
  std::string name;
  std::string source;
  RunResult result;
  std::string expected;
};

class ResolveSource : public ::testing::TestWithParam<SourceCase> {};

TEST_P(ResolveSource, IsTotal) {
  const auto def =
      alias_of(json{{"output", {{"single_value", {{"source", GetParam().source}}}}}}.dump());
  EXPECT_EQ(detail::resolve_source(def->output.single_value->source, GetParam().result),
            GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ResolveSource,
    ::testing::Values(SourceCase{"StdOut", "%stdOut", kResult, "out\n"},
                      SourceCase{"StdErr", "%stdErr", kResult, "err"},
                      SourceCase{"ExitCode", "%exitCode", kResult, "3"},
                      SourceCase{"ExitCodeZero", "%exitCode", result_with(0, {}), "0"},
                      SourceCase{"ExitCodeAbsent", "%exitCode", result_with(std::nullopt, {}), "0"},
                      SourceCase{"ExitCodeNegative", "%exitCode", result_with(-9, {}), "-9"},
                      SourceCase{"StdOutAbsent", "%stdOut", RunResult{}, ""},
                      SourceCase{"FileOutput", "report", kResult, "r-text"},
                      // Tokens are exact: a wrong case names a file output instead.
                      SourceCase{"TokenCaseMatters", "%stdout", kResult, "lookalike"},
                      SourceCase{"MissingFileOutput", "other", kResult, ""},
                      SourceCase{"NoFileOutputs", "report", result_with(0, {}), ""},
                      SourceCase{"EmptySource", "", kResult, ""}),
    [](const auto& test) { return test.param.name; });

struct BuildCase {
  std::string name;
  std::string alias;  // JSON of the alias definition
  std::string content_type;
  std::string body;
};

class BuildResponse : public ::testing::TestWithParam<BuildCase> {};

TEST_P(BuildResponse, FollowsTheOutputTemplate) {
  Response res = detail::build_response(*alias_of(GetParam().alias), kResult);
  EXPECT_EQ(res.status, 200);
  EXPECT_TRUE(res.reason.empty());
  EXPECT_EQ(res.content_type, GetParam().content_type);
  EXPECT_EQ(res.body, GetParam().body);
}

INSTANTIATE_TEST_SUITE_P(
    Table, BuildResponse,
    ::testing::Values(
        BuildCase{"NoOutput", R"({})", "text/plain", "out\n"},
        BuildCase{"EmptyOutput", R"({"output": {}})", "text/plain", "out\n"},
        BuildCase{"NullOutput", R"({"output": null})", "text/plain", "out\n"},
        BuildCase{"SingleValueDefaultType",
                  R"({"output": {"single_value": {"source": "%exitCode"}}})", "text/plain", "3"},
        BuildCase{
            "SingleValueTypeVerbatim",
            R"({"output": {"single_value": {"source": "report", "content-type": "text/csv"}}})",
            "text/csv", "r-text"},
        BuildCase{"SingleValueWithoutSource", R"({"output": {"single_value": {}}})", "text/plain",
                  ""},
        BuildCase{"MultipleValues",
                  R"({"output": {"multiple_values": [
                      {"parameter_name": "code", "source": "%exitCode"},
                      {"parameter_name": "out", "source": "%stdOut"},
                      {"parameter_name": "none"},
                      {"parameter_name": "code", "source": "%stdErr"}]}})",
                  "application/json", "{\"code\":\"err\",\"out\":\"out\\n\",\"none\":\"\"}\n"},
        BuildCase{"MultipleValuesEmpty", R"({"output": {"multiple_values": []}})",
                  "application/json", "{}\n"},
        BuildCase{"SingleValueWins",
                  R"({"output": {"multiple_values": [{"parameter_name": "a", "source": "%stdOut"}],
                                 "single_value": {"source": "%stdErr"}}})",
                  "text/plain", "err"}),
    [](const auto& test) { return test.param.name; });

}  // namespace
}  // namespace velquin::api
