// The `stream` key of an alias definition.

#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "config/alias_parser.h"
#include "support/yaml_value.h"

namespace velquin::config {
namespace {

struct StreamCase {
  const char* yaml;
  std::vector<std::string> errors;
  bool stream = false;
};

class StreamKey : public ::testing::TestWithParam<StreamCase> {};

TEST_P(StreamKey, LoadsOrExplains) {
  const ParsedAlias parsed = parse_alias("a", support::parse_yaml(GetParam().yaml), std::nullopt);
  EXPECT_THAT(parsed.errors, ::testing::ElementsAreArray(GetParam().errors));
  if (GetParam().errors.empty()) {
    ASSERT_NE(parsed.alias, nullptr);
    EXPECT_EQ(parsed.alias->stream, GetParam().stream);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Definitions, StreamKey,
    ::testing::Values(
        StreamCase{"type: process\ncommand: ls", {}, false},
        StreamCase{"type: process\ncommand: ls\nstream: true", {}, true},
        StreamCase{"type: process\ncommand: ls\nstream: false\noutput: {single_value: {source: "
                   "'%stdOut'}}",
                   {},
                   false},
        StreamCase{"type: process\ncommand: ls\nstream: 'yes'", {"stream must be true or false"}},
        StreamCase{"type: container\nimage: busybox\nstream: true",
                   {"stream applies to process aliases only"}},
        StreamCase{"type: process\ncommand: ls\nstream: true\noutput: {single_value: {source: "
                   "'%stdOut'}}",
                   {"stream cannot be combined with an output template"}}));

}  // namespace
}  // namespace velquin::config
