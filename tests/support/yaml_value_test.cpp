#include "support/yaml_value.h"

#include <gtest/gtest.h>

#include <cmath>
#include <system_error>

#include "support/temp_dir.h"

namespace velquin::support {
namespace {

using Json = nlohmann::ordered_json;

struct ScalarCase {
  std::string yaml;
  Json expected;
};

class CoreSchemaScalar : public ::testing::TestWithParam<ScalarCase> {};

TEST_P(CoreSchemaScalar, ResolvesToType) {
  const Json doc = parse_yaml("v: " + GetParam().yaml);
  const Json& v = doc.at("v");
  EXPECT_EQ(v.type(), GetParam().expected.type()) << GetParam().yaml << " -> " << v.dump();
  EXPECT_EQ(v, GetParam().expected) << GetParam().yaml;
}

INSTANTIATE_TEST_SUITE_P(
    Table, CoreSchemaScalar,
    ::testing::Values(
        ScalarCase{"", nullptr}, ScalarCase{"~", nullptr}, ScalarCase{"null", nullptr},
        ScalarCase{"NULL", nullptr}, ScalarCase{"nil", "nil"}, ScalarCase{"true", true},
        ScalarCase{"True", true}, ScalarCase{"FALSE", false}, ScalarCase{"yes", "yes"},
        ScalarCase{"on", "on"}, ScalarCase{"tRUE", "tRUE"}, ScalarCase{"42", 42},
        ScalarCase{"-7", -7}, ScalarCase{"+7", 7}, ScalarCase{"007", 7}, ScalarCase{"0o17", 15},
        ScalarCase{"0x1F", 31}, ScalarCase{"0b11", "0b11"}, ScalarCase{"1_000", "1_000"},
        ScalarCase{"9223372036854775807", std::int64_t{9223372036854775807}},
        ScalarCase{"-9223372036854775808", std::numeric_limits<std::int64_t>::min()},
        ScalarCase{"1.5", 1.5}, ScalarCase{"-.5", -0.5}, ScalarCase{"1.", 1.0},
        ScalarCase{"1e3", 1000.0}, ScalarCase{"2.5E-1", 0.25},
        ScalarCase{".inf", std::numeric_limits<double>::infinity()},
        ScalarCase{"-.Inf", -std::numeric_limits<double>::infinity()}, ScalarCase{"1e", "1e"},
        ScalarCase{".", "."}, ScalarCase{"1.2.3", "1.2.3"}, ScalarCase{"12:30", "12:30"},
        ScalarCase{"'5'", "5"}, ScalarCase{"\"true\"", "true"}, ScalarCase{"'null'", "null"},
        ScalarCase{"''", ""}, ScalarCase{"!!str 5", "5"}, ScalarCase{"!!int \"5\"", 5},
        ScalarCase{"!!float 1", 1.0}, ScalarCase{"hello world", "hello world"}));

TEST(ParseYaml, NanIsAFloat) {
  const Json v = parse_yaml("v: .NaN").at("v");
  ASSERT_TRUE(v.is_number_float());
  EXPECT_TRUE(std::isnan(v.get<double>()));
}

TEST(ParseYaml, MappingsKeepOrderAndLaterDuplicateWins) {
  const Json doc = parse_yaml("b: 1\na: 2\nc: [x, 2, {k: ~}]\nb: 3\n");
  ASSERT_TRUE(doc.is_object());
  std::vector<std::string> keys;
  for (const auto& [key, value] : doc.items()) {
    keys.push_back(key);
  }
  EXPECT_EQ(keys, (std::vector<std::string>{"b", "a", "c"}));
  EXPECT_EQ(doc.at("b"), 3);
  EXPECT_EQ(doc.at("c"), Json::parse(R"(["x", 2, {"k": null}])"));
}

TEST(ParseYaml, ScalarKeysAreTheirText) {
  const Json doc = parse_yaml("1: a\ntrue: b\n'x': c\n");
  EXPECT_EQ(doc.at("1"), "a");
  EXPECT_EQ(doc.at("true"), "b");
  EXPECT_EQ(doc.at("x"), "c");
}

TEST(ParseYaml, EmptyDocumentIsNull) {
  EXPECT_TRUE(parse_yaml("").is_null());
  EXPECT_TRUE(parse_yaml("# only a comment\n").is_null());
}

TEST(ParseYaml, SyntaxErrorCarriesPosition) {
  try {
    parse_yaml("a: [1, 2\nb: c\n");
    FAIL() << "no error";
  } catch (const YamlError& e) {
    EXPECT_NE(std::string(e.what()).find("line"), std::string::npos) << e.what();
  }
  EXPECT_THROW(parse_yaml("v: *missing"), YamlError);
  EXPECT_THROW(parse_yaml("a: b: c"), YamlError);
}

TEST(LoadYamlFile, ReadsFileAndReportsIoErrors) {
  testing::TempDir dir;
  const auto path = dir.write("a.yaml", "name: x\ncount: 3\n");
  const Json doc = load_yaml_file(path.string());
  EXPECT_EQ(doc.at("count"), 3);
  EXPECT_THROW(load_yaml_file((dir.path() / "missing.yaml").string()), std::system_error);
  EXPECT_THROW(load_yaml_file(dir.str()), std::system_error);  // a directory
}

}  // namespace
}  // namespace velquin::support
