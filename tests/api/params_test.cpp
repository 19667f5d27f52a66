#include "api/params.h"

#include <string>

#include <gtest/gtest.h>

namespace velquin::api {
namespace {

using json = nlohmann::ordered_json;

struct ParseCase {
  std::string name;
  std::string content_type;
  std::uint64_t declared_length;  // UINT64_MAX: the body's size
  std::string body;
  std::optional<json> params;  // expected parameters, or
  std::string error;           // expected error
};

class ParseParams : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParseParams, YieldsParametersOrOneError) {
  const auto& c = GetParam();
  std::uint64_t length = c.declared_length == UINT64_MAX ? c.body.size() : c.declared_length;
  ParsedParams out = detail::parse_params(c.content_type, length, c.body);
  if (c.params) {
    ASSERT_TRUE(out.params.has_value()) << out.error.value_or("");
    EXPECT_FALSE(out.error.has_value());
    EXPECT_EQ(out.params->dump(), c.params->dump());
  } else {
    ASSERT_TRUE(out.error.has_value()) << out.params->dump();
    EXPECT_FALSE(out.params.has_value());
    EXPECT_EQ(*out.error, c.error);
  }
}

const std::string kMultipartBody =
    "preamble to ignore\r\n"
    "--b=1\r\n"
    "Content-Disposition: form-data; name=\"name\"\r\n"
    "\r\n"
    "alice\r\n"
    "--b=1\r\n"
    "Content-Disposition: form-data; name=\"upload\"; filename=\"a.txt\"\r\n"
    "Content-Type: text/plain\r\n"
    "\r\n"
    "file content\r\n"
    "--b=1\r\n"
    "Content-Disposition: form-data; name=\"note\"\r\n"
    "Content-Type: text/plain; charset=iso-8859-1\r\n"
    "\r\n"
    "caf\xe9\r\nsecond line\r\n"
    "--b=1\r\n"
    "Content-Disposition: form-data; name=\"name\"\r\n"
    "\r\n"
    "bob\r\n"
    "--b=1--\r\n";

INSTANTIATE_TEST_SUITE_P(
    Table, ParseParams,
    ::testing::Values(
        ParseCase{"JsonObject", "application/json", UINT64_MAX, R"({"a": 1, "b": [true, null]})",
                  json::parse(R"({"a": 1, "b": [true, null]})"), ""},
        ParseCase{"JsonWithCharset", "application/json; charset=utf-8", UINT64_MAX, R"({"x":"y"})",
                  json{{"x", "y"}}, ""},
        ParseCase{"JsonEmptyObject", "application/json", UINT64_MAX, "{}", json::object(), ""},
        ParseCase{"JsonList", "application/json", UINT64_MAX, "[]", std::nullopt,
                  "Request body must be a JSON object"},
        ParseCase{"JsonScalar", "application/json", UINT64_MAX, "42", std::nullopt,
                  "Request body must be a JSON object"},
        ParseCase{"JsonNull", "application/json", UINT64_MAX, "null", std::nullopt, "Invalid JSON"},
        ParseCase{"JsonMalformed", "application/json", UINT64_MAX, "{\"a\": ", std::nullopt,
                  "Invalid JSON"},
        ParseCase{"JsonTrailingGarbage", "application/json", UINT64_MAX, "{} x", std::nullopt,
                  "Invalid JSON"},
        ParseCase{"JsonEmptyBody", "application/json", 0, "", std::nullopt, "Invalid JSON"},
        ParseCase{"JsonInvalidUtf8", "application/json", UINT64_MAX, "{\"a\": \"\xff\"}",
                  std::nullopt, "Invalid JSON"},
        ParseCase{"JsonTooDeep", "application/json", UINT64_MAX,
                  "{\"a\":" + std::string(100000, '[') + std::string(100000, ']') + "}",
                  std::nullopt, "Invalid JSON"},
        ParseCase{"JsonBracketsInsideStringsDoNotCount", "application/json", UINT64_MAX,
                  "{\"a\":\"" + std::string(1000, '[') + "\"}", json{{"a", std::string(1000, '[')}},
                  ""},
        ParseCase{"UrlEncoded", "application/x-www-form-urlencoded", UINT64_MAX,
                  "a=1&b=x+y%21&c=&d&e=%zz%4&a=2",
                  json{{"a", "2"}, {"b", "x y!"}, {"c", ""}, {"d", ""}, {"e", "%zz%4"}}, ""},
        ParseCase{"UrlEncodedUtf8AndBadBytes", "application/x-www-form-urlencoded; charset=utf-8",
                  UINT64_MAX, "n=caf%C3%A9&m=%FF",
                  json{{"n", "caf\xc3\xa9"}, {"m", "\xef\xbf\xbd"}}, ""},
        ParseCase{"UrlEncodedEmpty", "application/x-www-form-urlencoded", 0, "", json::object(),
                  ""},
        ParseCase{"Multipart", "multipart/form-data; charset=utf-8; boundary=\"b=1\"", UINT64_MAX,
                  kMultipartBody, json{{"name", "bob"}, {"note", "caf\xc3\xa9\r\nsecond line"}},
                  ""},
        ParseCase{"MultipartLfOnly", "multipart/form-data; boundary=xyz", UINT64_MAX,
                  "--xyz\nContent-Disposition: form-data; name=\"a\"\n\n1\n--xyz--\n",
                  json{{"a", "1"}}, ""},
        ParseCase{"MultipartWithoutBoundary", "multipart/form-data", UINT64_MAX,
                  "--x\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\n1\r\n--x--\r\n",
                  json::object(), ""},
        ParseCase{"MultipartTruncated", "multipart/form-data; boundary=x", UINT64_MAX,
                  "--x\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\n1\r\n--x\r\n"
                  "Content-Disposition: form-data; name=\"b\"\r\n\r\nno end",
                  json{{"a", "1"}}, ""},
        ParseCase{"TextPlainEmpty", "text/plain", 0, "", json::object(), ""},
        ParseCase{"TextPlainWithBody", "text/plain", UINT64_MAX, "hello", std::nullopt,
                  "Unsupported content type"},
        ParseCase{"NoContentTypeNoBody", "", 0, "", json::object(), ""},
        ParseCase{"NoContentTypeWithBody", "", UINT64_MAX, "a=1", std::nullopt,
                  "Unsupported content type"},
        // Substring tests are exact: an upper-case type is not JSON.
        ParseCase{"TypeMatchIsCaseSensitive", "Application/JSON", UINT64_MAX, "{}", std::nullopt,
                  "Unsupported content type"}),
    [](const auto& test) { return test.param.name; });

TEST(PercentDecode, PlusIsASpaceOnlyInForms) {
  EXPECT_EQ(percent_decode("a+b%2Fc", true), "a b/c");
  EXPECT_EQ(percent_decode("a+b%2Fc", false), "a+b/c");
  EXPECT_EQ(percent_decode("%", false), "%");
  EXPECT_EQ(percent_decode("%4", false), "%4");
  EXPECT_EQ(percent_decode("%41%4g", false), "A%4g");
}

}  // namespace
}  // namespace velquin::api
