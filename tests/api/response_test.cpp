#include <string>

#include <gtest/gtest.h>

#include "api/internal.h"

namespace velquin::api {
namespace {

const json kResult = json::parse(R"({
  "success": true, "stdout": "out\n", "stderr": "err", "returncode": 3,
  "file_outputs": {"report": "r-text", "%stdout": "lookalike"}
})");

struct SourceCase {
  std::string name;
  std::string source;
  json result;
  std::string expected;
};

class ResolveSource : public ::testing::TestWithParam<SourceCase> {};

TEST_P(ResolveSource, IsTotal) {
  EXPECT_EQ(_resolve_source(GetParam().source, GetParam().result), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ResolveSource,
    ::testing::Values(
        SourceCase{"StdOut", "%stdOut", kResult, "out\n"},
        SourceCase{"StdErr", "%stdErr", kResult, "err"},
        SourceCase{"ExitCode", "%exitCode", kResult, "3"},
        SourceCase{"ExitCodeZero", "%exitCode", json{{"returncode", 0}}, "0"},
        SourceCase{"ExitCodeAbsent", "%exitCode", json::object(), "0"},
        SourceCase{"ExitCodeNull", "%exitCode", json{{"returncode", nullptr}}, "0"},
        SourceCase{"ExitCodeNegative", "%exitCode", json{{"returncode", -9}}, "-9"},
        SourceCase{"StdOutAbsent", "%stdOut", json::object(), ""},
        SourceCase{"FileOutput", "report", kResult, "r-text"},
        // Tokens are exact: a wrong case names a file output instead.
        SourceCase{"TokenCaseMatters", "%stdout", kResult, "lookalike"},
        SourceCase{"MissingFileOutput", "other", kResult, ""},
        SourceCase{"NoFileOutputs", "report", json{{"stdout", "x"}}, ""},
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
  Response res = _build_response(json::parse(GetParam().alias), kResult);
  EXPECT_EQ(res.status, 200);
  EXPECT_TRUE(res.reason.empty());
  EXPECT_EQ(res.content_type, GetParam().content_type);
  EXPECT_EQ(res.body, GetParam().body);
}

INSTANTIATE_TEST_SUITE_P(
    Table, BuildResponse,
    ::testing::Values(
        BuildCase{"NoOutput", R"({"type": "process"})", "text/plain", "out\n"},
        BuildCase{"EmptyOutput", R"({"output": {}})", "text/plain", "out\n"},
        BuildCase{"NullOutput", R"({"output": null})", "text/plain", "out\n"},
        BuildCase{"SingleValueDefaultType", R"({"output": {"single_value": {"source": "%exitCode"}}})",
                  "text/plain", "3"},
        BuildCase{"SingleValueTypeVerbatim",
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
