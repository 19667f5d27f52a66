#include "config/config.h"

#include <gtest/gtest.h>

namespace velquin::config {
namespace {

struct AppLogCase {
  std::string value;
  std::optional<std::string> path;
  std::optional<std::string> level;
  std::optional<std::string> format;
  std::vector<std::string> errors;
};

class AppLog : public ::testing::TestWithParam<AppLogCase> {};

TEST_P(AppLog, ParsesValue) {
  const auto& c = GetParam();
  const AppLogSpec spec = parse_app_log(c.value);
  EXPECT_EQ(spec.path, c.path);
  EXPECT_EQ(spec.level, c.level);
  EXPECT_EQ(spec.format, c.format);
  EXPECT_EQ(spec.errors, c.errors);
}

const std::nullopt_t none = std::nullopt;

INSTANTIATE_TEST_SUITE_P(
    Table, AppLog,
    ::testing::Values(
        AppLogCase{"/var/log/app.log", "/var/log/app.log", none, none, {}},
        AppLogCase{"app.log DEBUG JSON", "app.log", "debug", "json", {}},
        AppLogCase{"app.log json info", "app.log", "info", "json", {}},
        AppLogCase{"app.log level=warn format=plain", "app.log", "warn", "plain", {}},
        AppLogCase{"app.log level=WARNING format=Json", "app.log", "warning", "json", {}},
        AppLogCase{" \tapp.log \t critical ", "app.log", "critical", none, {}},
        AppLogCase{"app.log level=debug info",
                   "app.log",
                   "debug",
                   none,
                   {"AppLog: bare 'info' conflicts with explicit level= specification"}},
        AppLogCase{"app.log format=json PLAIN",
                   "app.log",
                   none,
                   "json",
                   {"AppLog: bare 'PLAIN' conflicts with explicit format= specification"}},
        AppLogCase{"app.log info level=debug",
                   "app.log",
                   "info",
                   none,
                   {"AppLog: conflicting level specifications"}},
        AppLogCase{"app.log level=info level=info",
                   "app.log",
                   "info",
                   none,
                   {"AppLog: conflicting level specifications"}},
        AppLogCase{"app.log plain format=json",
                   "app.log",
                   none,
                   "plain",
                   {"AppLog: conflicting format specifications"}},
        AppLogCase{"app.log info debug",
                   "app.log",
                   "info",
                   none,
                   {"AppLog: duplicate level specification"}},
        AppLogCase{"app.log json plain",
                   "app.log",
                   none,
                   "json",
                   {"AppLog: duplicate format specification"}},
        AppLogCase{
            "app.log level=verbose", "app.log", none, none, {"AppLog: unknown level 'verbose'"}},
        AppLogCase{"app.log level=", "app.log", none, none, {"AppLog: unknown level ''"}},
        AppLogCase{"app.log level=it's", "app.log", none, none, {"AppLog: unknown level \"it's\""}},
        AppLogCase{"app.log format=xml", "app.log", none, none, {"AppLog: unknown format 'xml'"}},
        AppLogCase{"app.log =x", "app.log", none, none, {"AppLog: unknown parameter key ''"}},
        AppLogCase{"app.log colour=red",
                   "app.log",
                   none,
                   none,
                   {"AppLog: unknown parameter key 'colour'"}},
        AppLogCase{
            "app.log Level=info", "app.log", none, none, {"AppLog: unknown parameter key 'Level'"}},
        AppLogCase{"app.log text",
                   "app.log",
                   none,
                   none,
                   {"AppLog: unrecognized token 'text' (expected level or format)"}},
        AppLogCase{"a=b debug", "a=b", "debug", none, {}},
        AppLogCase{"   ", none, none, none, {"AppLog: value is empty"}},
        AppLogCase{"", none, none, none, {"AppLog: value is empty"}},
        // Several problems in one value, in token order; the first values stay.
        AppLogCase{"app.log Info x=1 debug level=error json junk",
                   "app.log",
                   "info",
                   "json",
                   {"AppLog: unknown parameter key 'x'", "AppLog: duplicate level specification",
                    "AppLog: conflicting level specifications",
                    "AppLog: unrecognized token 'junk' (expected level or format)"}}));

}  // namespace
}  // namespace velquin::config
