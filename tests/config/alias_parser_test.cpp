// The alias definition format: every message in its order, and what a
// definition that passes becomes.

#include "config/alias_parser.h"

#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/yaml_value.h"

namespace velquin::config {
namespace {

using Json = nlohmann::ordered_json;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

Json yaml(const std::string& text) {
  return support::parse_yaml(text);
}

struct DefinitionCase {
  const char* label;
  const char* yaml;
  std::vector<std::string> expected;
  std::optional<std::int64_t> max_timeout = std::nullopt;
};

class DefinitionTest : public ::testing::TestWithParam<DefinitionCase> {};

TEST_P(DefinitionTest, ReportsExactMessagesInOrder) {
  const ParsedAlias parsed = parse_alias("alias", yaml(GetParam().yaml), GetParam().max_timeout);
  EXPECT_THAT(parsed.errors, ElementsAreArray(GetParam().expected));
  EXPECT_EQ(parsed.alias != nullptr, GetParam().expected.empty());
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
        DefinitionCase{"admission_and_limits",
                       "type: process\ncommand: ls\nconcurrency: 4\nqueue: 8\n"
                       "limits: {memory: 1.5Gi, pids: 10, cpus: 0.5, openFiles: 64}",
                       {}},
        DefinitionCase{"bad_admission",
                       "type: process\ncommand: ls\nconcurrency: 0\nqueue: -1",
                       {"concurrency must be a whole number of runs, 1 or more",
                        "queue must be a whole number of requests, 0 or more"}},
        DefinitionCase{"queue_without_concurrency",
                       "type: process\ncommand: ls\nqueue: 2",
                       {"queue applies only with concurrency"}},
        DefinitionCase{"bad_limits",
                       "type: container\nimage: busybox\nlimits:\n  memory: 256MB\n"
                       "  pids: 1.5\n  cpus: 0\n  openFiles: true\n  swap: 1",
                       {"limits: unknown key 'swap'",
                        "limits.memory must be a size such as '256Mi', not '256MB'",
                        "limits.pids must be a whole number, 1 or more",
                        "limits.openFiles must be a whole number, 1 or more",
                        "limits.cpus must be a positive number of CPUs, such as 0.5"}},
        DefinitionCase{"limits_not_a_mapping",
                       "type: process\ncommand: ls\nlimits: 256Mi",
                       {"limits must be a mapping"}},
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
        DefinitionCase{"preserve_streams_word",
                       "type: process\ncommand: ls\npreserveStreams: 'yes'",
                       {"preserveStreams must be true, false or a list of {stream, filename, "
                        "flatten}"}},
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

INSTANTIATE_TEST_SUITE_P(
    EventParameters, DefinitionTest,
    ::testing::Values(
        DefinitionCase{"event_sources",
                       "type: process\ncommand: echo {{ r | shell }} {{ e | shell }}\n"
                       "parameters: {r: {from: /repository/full_name}, e: {header: X-Event}}\n"
                       "files: [{location: e.json, content: '{{ request_body }}'}]",
                       {}},
        DefinitionCase{"bad_sources",
                       "type: process\ncommand: ls\nparameters: {a: {from: repo}, b: {from: "
                       "/x, header: X-E}, c: {header: 'X E'}, request_body: {}}",
                       {"parameter 'a': from must be a JSON pointer such as "
                        "'/repository/full_name'",
                        "parameter 'b': from and header exclude each other",
                        "parameter 'c': header must be a header name such as 'X-GitHub-Event'",
                        "parameter name 'request_body' is reserved"}},
        DefinitionCase{"request_body_outside_files",
                       "type: process\ncommand: echo {{ request_body | shell }}\n"
                       "environment: {B: '{{ request_body }}'}\n"
                       "files: [{location: '{{ request_body }}', content: x}]",
                       {"command: request_body is allowed only in files[].content",
                        "environment 'B': request_body is allowed only in files[].content",
                        "files[0].location: request_body is allowed only in files[].content"}}),
    [](const auto& param_info) { return std::string(param_info.param.label); });

TEST(Definition, BadPatternNamesTheParameter) {
  const auto errors =
      parse_alias("p", yaml("type: process\ncommand: ls\nparameters:\n  p: {pattern: '(abc'}"),
                  std::nullopt)
          .errors;
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_THAT(errors[0], ::testing::StartsWith("parameter 'p': pattern does not compile: "));
}

TEST(Definition, CompilesExitCodesOnceAtLoad) {
  const auto parsed = parse_alias("a",
                                  yaml("type: process\ncommand: ls\nexitCodes: {3: 422, -9: \"503  "
                                       "Gone Away \", default: \"409\"}"),
                                  std::nullopt);
  ASSERT_THAT(parsed.errors, IsEmpty());
  const alias::ExitCodeMap& map = parsed.alias->exit_codes;
  ASSERT_EQ(map.codes.size(), 2u);
  EXPECT_EQ(map.codes.at(3).status, 422);
  EXPECT_EQ(map.codes.at(3).reason, std::nullopt);
  EXPECT_EQ(map.codes.at(-9).status, 503);
  EXPECT_EQ(map.codes.at(-9).reason, "Gone Away");
  ASSERT_TRUE(map.fallback);
  EXPECT_EQ(map.fallback->status, 409);
  // A hand-written compiled map is taken as it is.
  const auto written = parse_alias(
      "b", yaml("type: process\ncommand: ls\n_exit_code_map: {'4': {status: 299, reason: null}}"),
      std::nullopt);
  ASSERT_THAT(written.errors, IsEmpty());
  EXPECT_EQ(written.alias->exit_codes.codes.at(4).status, 299);
}

TEST(Definition, RejectsMalformedHandWrittenExitCodeMap) {
  EXPECT_THAT(parse_alias("a",
                          yaml("type: process\ncommand: ls\n_exit_code_map: {'3': {status: 42}}"),
                          std::nullopt)
                  .errors,
              ElementsAreArray({"_exit_code_map must map exit statuses or 'default' to {status, "
                                "reason}"}));
}

struct StreamsCase {
  const char* label;
  const char* yaml;
  std::vector<alias::StreamEntry> expected;
};

class StreamsTest : public ::testing::TestWithParam<StreamsCase> {};

TEST_P(StreamsTest, ExpandsPreserveStreams) {
  const auto parsed = parse_alias(
      "a", yaml(std::string("type: process\ncommand: ls\n") + GetParam().yaml), std::nullopt);
  ASSERT_THAT(parsed.errors, IsEmpty());
  const auto& got = parsed.alias->preserve_streams;
  ASSERT_EQ(got.size(), GetParam().expected.size());
  for (std::size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i].stream, GetParam().expected[i].stream);
    EXPECT_EQ(got[i].filename, GetParam().expected[i].filename);
    EXPECT_EQ(got[i].flatten, GetParam().expected[i].flatten);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Values, StreamsTest,
    ::testing::Values(
        StreamsCase{
            "true", "preserveStreams: true", {{"stderr", "", false}, {"stdout", "", false}}},
        StreamsCase{"false", "preserveStreams: false", {}},
        StreamsCase{"absent", "preserveStreams: null", {}},
        StreamsCase{"empty", "preserveStreams: []", {}},
        StreamsCase{"list",
                    "preserveStreams: [{stream: stdout, filename: out.txt}, {stream: stderr, "
                    "flatten: true}]",
                    {{"stdout", "out.txt", false}, {"stderr", "", true}}}),
    [](const auto& param_info) { return std::string(param_info.param.label); });

// What the rest of the service reads, typed once at load.
TEST(Parse, KeepsAdmissionAndLimits) {
  const auto parsed =
      parse_alias("box",
                  yaml("type: process\ncommand: ls\nconcurrency: 4\nqueue: 8\n"
                       "limits: {memory: 1.5Gi, pids: 10, cpus: 0.5, openFiles: 64}"),
                  std::nullopt);
  ASSERT_TRUE(parsed.alias);
  const alias::Alias& a = *parsed.alias;
  EXPECT_EQ(a.concurrency, 4);
  EXPECT_EQ(a.queue, 8);
  EXPECT_EQ(a.limits.memory, 1610612736);
  EXPECT_EQ(a.limits.pids, 10);
  EXPECT_EQ(a.limits.cpus, 0.5);
  EXPECT_EQ(a.limits.open_files, 64);
}

TEST(Parse, BuildsTheTypedAlias) {
  const auto parsed = parse_alias("box", yaml(R"(
type: container
image: busybox
name: other
command: echo {{ n }} '{{ s }}'
timeout: 2.0
environment: {A: '{{ s }}', B: 2.0, C: null}
parameters:
  n: {type: integer, default: 3, min: 1}
  s: {pattern: '.*'}
volumes:
  - {location: /auto}
  - {location: /host, source: /etc/ssl, preserve: yes}
  - {location: /out, source: 'out/{{ n }}/', preserve: Flatten, preservePrefix: p, mode: ro}
output:
  single_value: {source: '%exitCode', content-type: text/csv}
  multiple_values: [{parameter_name: f, source: 'f.txt'}, {parameter_name: c, source: '%custom'}]
)"),
                                  std::nullopt);
  ASSERT_THAT(parsed.errors, IsEmpty());
  const alias::Alias& a = *parsed.alias;
  EXPECT_EQ(a.name, "box");
  ASSERT_NE(a.container(), nullptr);
  EXPECT_EQ(a.container()->image, "busybox");
  const auto& refs = a.container()->command.references();
  ASSERT_EQ(refs.size(), 2u);
  EXPECT_EQ(refs[1].context, tmpl::ShellContext::single_quotes);
  EXPECT_TRUE(a.parameter("n")->raw_word);
  EXPECT_FALSE(a.parameter("s")->raw_word);
  EXPECT_EQ(a.parameter("n")->min->text, "1");
  EXPECT_EQ(a.timeout->text, "2.0");
  ASSERT_EQ(a.environment.size(), 3u);
  EXPECT_EQ(a.environment[1].value.text(), "2.0");
  EXPECT_EQ(a.environment[2].value.text(), "None");
  const auto& v = a.container()->volumes;
  ASSERT_EQ(v.size(), 3u);
  EXPECT_EQ(v[0].kind, alias::VolumeSource::automatic);
  EXPECT_EQ(v[1].kind, alias::VolumeSource::host);
  EXPECT_EQ(v[1].preserve, std::nullopt);  // host paths are never preserved
  EXPECT_EQ(v[2].kind, alias::VolumeSource::run_dir);
  EXPECT_TRUE(v[2].is_dir);
  EXPECT_EQ(v[2].preserve, "flatten");
  EXPECT_EQ(v[2].mode, "ro");
  EXPECT_EQ(a.output.single_value->source.kind, alias::SourceKind::exit_code);
  EXPECT_EQ(a.output.single_value->content_type, "text/csv");
  EXPECT_EQ((*a.output.multiple_values)[1].source.kind, alias::SourceKind::file);
}

}  // namespace
}  // namespace velquin::config
