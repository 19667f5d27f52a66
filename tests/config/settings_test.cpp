#include "config/config.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <stdexcept>
#include <system_error>

#include "support/temp_dir.h"

namespace velquin::config {
namespace {

using Values = std::map<std::string, SettingValue>;

// Every test starts with none of the service's variables set.
class SettingsTest : public ::testing::Test {
 protected:
  void SetUp() override { clear_env(); }
  void TearDown() override { clear_env(); }
  static void clear_env() {
    for (const auto& def : PARAM_DEFS) {
      ::unsetenv(detail::key_to_env(def.key).c_str());
    }
  }
  std::string conf(const std::string& content) {
    return dir.write("velquin.conf", content).string();
  }
  std::string missing() const { return (dir.path() / "absent.conf").string(); }

  std::vector<std::string> load_errors(Config& c, const std::string& path,
                                       const std::optional<Overrides>& overrides = std::nullopt) {
    try {
      c.load(path, overrides);
    } catch (const ConfigError& e) {
      return e.errors;
    }
    return {};
  }

  testing::TempDir dir;
};

TEST_F(SettingsTest, DefaultsWithoutAnySource) {
  Config c;
  c.load(missing());
  EXPECT_EQ(c.get("PidFile"), SettingValue(std::string("/run/velquin.pid")));
  EXPECT_EQ(c.get("SharedDir"), SettingValue(std::string("/tmp/velquin/")));
  EXPECT_EQ(c.get("ListenPort"), SettingValue(std::int64_t{80}));
  EXPECT_EQ(c.get("SslEnabled"), SettingValue(false));
  EXPECT_EQ(c.get("AuditLog"), SettingValue(std::string("/var/log/velquin/audit.log")));
  EXPECT_EQ(c.get("AppLog"), SettingValue(std::string("/var/log/velquin/app.log")));
  EXPECT_EQ(c.get("AliasReload"), SettingValue(std::int64_t{30}));
  EXPECT_EQ(c.get("Container"), SettingValue());
  EXPECT_EQ(c.get("MaxTimeout"), SettingValue());
  EXPECT_EQ(c.get("RefreshImage"), SettingValue(std::string("no")));
}

TEST_F(SettingsTest, ConstructedObjectHasDefaultsBeforeLoad) {
  Config c;
  EXPECT_EQ(c.get("ListenPort"), SettingValue());
  EXPECT_EQ(c.get_text("LogLevel"), "warning");
  EXPECT_EQ(c.get_int("ListenPort"), 0);
  EXPECT_FALSE(c.get_bool("SslEnabled"));
}

TEST_F(SettingsTest, UnknownKeyIsAProgrammingError) {
  Config c;
  try {
    c.get("listenport");
    FAIL() << "no error";
  } catch (const std::out_of_range& e) {
    EXPECT_STREQ(e.what(), "Unknown configuration key: 'listenport'");
  }
}

struct KeyEnvCase {
  std::string key;
  std::string env;
};
class KeyToEnv : public ::testing::TestWithParam<KeyEnvCase> {};
TEST_P(KeyToEnv, SplitsAtEveryCapital) {
  EXPECT_EQ(detail::key_to_env(GetParam().key), GetParam().env);
}
INSTANTIATE_TEST_SUITE_P(Table, KeyToEnv,
                         ::testing::Values(KeyEnvCase{"ListenAddress", "VELQUIN_LISTEN_ADDRESS"},
                                           KeyEnvCase{"HealthApiKey", "VELQUIN_HEALTH_API_KEY"},
                                           KeyEnvCase{"ABc", "VELQUIN_A_BC"},
                                           KeyEnvCase{"x", "VELQUIN_X"}));

struct CoerceCase {
  SettingValue raw;
  SettingType type;
  std::optional<SettingValue> expected;  // nullopt: fails with `message`
  std::string message;
};
class Coerce : public ::testing::TestWithParam<CoerceCase> {};

TEST_P(Coerce, ConvertsOrNamesTheProblem) {
  const auto& c = GetParam();
  if (c.expected) {
    EXPECT_EQ(detail::coerce(c.raw, c.type), *c.expected);
  } else {
    try {
      detail::coerce(c.raw, c.type);
      FAIL() << "no error for " << setting_text(c.raw);
    } catch (const std::invalid_argument& e) {
      EXPECT_EQ(std::string(e.what()), c.message);
    }
  }
}

SettingValue txt(const char* s) {
  return std::string(s);
}
SettingValue num(std::int64_t n) {
  return n;
}

INSTANTIATE_TEST_SUITE_P(
    Booleans, Coerce,
    ::testing::Values(CoerceCase{txt("true"), SettingType::boolean, true, ""},
                      CoerceCase{txt("TRUE"), SettingType::boolean, true, ""},
                      CoerceCase{txt("1"), SettingType::boolean, true, ""},
                      CoerceCase{txt("False"), SettingType::boolean, false, ""},
                      CoerceCase{txt("0"), SettingType::boolean, false, ""},
                      CoerceCase{true, SettingType::boolean, true, ""},
                      CoerceCase{txt("yes"), SettingType::boolean, std::nullopt,
                                 "Invalid boolean value: 'yes' (expected true/false/1/0)"},
                      CoerceCase{txt(" true"), SettingType::boolean, std::nullopt,
                                 "Invalid boolean value: ' true' (expected true/false/1/0)"},
                      CoerceCase{txt(""), SettingType::boolean, std::nullopt,
                                 "Invalid boolean value: '' (expected true/false/1/0)"}));

INSTANTIATE_TEST_SUITE_P(
    Integers, Coerce,
    ::testing::Values(
        CoerceCase{txt("8080"), SettingType::integer, num(8080), ""},
        CoerceCase{txt(" -12 "), SettingType::integer, num(-12), ""},
        CoerceCase{txt("1_000"), SettingType::integer, num(1000), ""},
        CoerceCase{txt("9223372036854775807"), SettingType::integer, num(9223372036854775807), ""},
        CoerceCase{txt("-9223372036854775808"), SettingType::integer,
                   num(std::numeric_limits<std::int64_t>::min()), ""},
        CoerceCase{num(5), SettingType::integer, num(5), ""},
        CoerceCase{txt("9223372036854775808"), SettingType::integer, std::nullopt,
                   "Invalid integer value: '9223372036854775808'"},
        CoerceCase{txt("1__0"), SettingType::integer, std::nullopt,
                   "Invalid integer value: '1__0'"},
        CoerceCase{txt("1_"), SettingType::integer, std::nullopt, "Invalid integer value: '1_'"},
        CoerceCase{txt("- 1"), SettingType::integer, std::nullopt, "Invalid integer value: '- 1'"},
        CoerceCase{txt("0x10"), SettingType::integer, std::nullopt,
                   "Invalid integer value: '0x10'"},
        CoerceCase{txt("1.5"), SettingType::integer, std::nullopt, "Invalid integer value: '1.5'"},
        CoerceCase{txt(""), SettingType::integer, std::nullopt, "Invalid integer value: ''"},
        CoerceCase{txt("8080 # web"), SettingType::integer, std::nullopt,
                   "Invalid integer value: '8080 # web'"},
        CoerceCase{txt("it's"), SettingType::integer, std::nullopt,
                   "Invalid integer value: \"it's\""}));

INSTANTIATE_TEST_SUITE_P(Texts, Coerce,
                         ::testing::Values(CoerceCase{txt(" kept as is "), SettingType::text,
                                                      txt(" kept as is "), ""},
                                           CoerceCase{num(3), SettingType::text, txt("3"), ""},
                                           CoerceCase{false, SettingType::text, txt("False"), ""}));

struct IniCase {
  std::string line;
  std::optional<std::pair<std::string, SettingValue>> stored;
  std::string error;  // after "<path>:1: "
};
class IniLine : public SettingsTest, public ::testing::WithParamInterface<IniCase> {};

TEST_P(IniLine, ParsesOneLine) {
  const std::string path = conf(GetParam().line + "\n");
  const IniResult r = detail::parse_ini(path);
  if (GetParam().stored) {
    EXPECT_TRUE(r.errors.empty()) << r.errors.front();
    EXPECT_EQ(r.values, (std::map<std::string, SettingValue>{*GetParam().stored}));
  } else if (GetParam().error.empty()) {
    EXPECT_TRUE(r.errors.empty());
    EXPECT_TRUE(r.values.empty());
  } else {
    EXPECT_TRUE(r.values.empty());
    EXPECT_EQ(r.errors, std::vector<std::string>{path + ":1: " + GetParam().error});
  }
}

const std::string kInvalidLine = "invalid line (expected Key Value, Key=Value or Key = Value)";

INSTANTIATE_TEST_SUITE_P(
    Grammar, IniLine,
    ::testing::Values(
        IniCase{"ListenAddress 127.0.0.1", std::pair{"ListenAddress", txt("127.0.0.1")}, ""},
        IniCase{"ListenAddress=127.0.0.1", std::pair{"ListenAddress", txt("127.0.0.1")}, ""},
        IniCase{"  ListenAddress  =  ::1  ", std::pair{"ListenAddress", txt("::1")}, ""},
        IniCase{"\tListenPort\t8080", std::pair{"ListenPort", num(8080)}, ""},
        IniCase{"SslCert=a=b", std::pair{"SslCert", txt("a=b")}, ""},
        IniCase{"SslCert a=b", std::pair{"SslCert", txt("a=b")}, ""},
        IniCase{"SslCert=", std::pair{"SslCert", txt("")}, ""},
        IniCase{"SslCert =", std::pair{"SslCert", txt("")}, ""},
        IniCase{"SslCert \"/x y\"", std::pair{"SslCert", txt("\"/x y\"")}, ""},
        IniCase{"SslCert /a # not a comment", std::pair{"SslCert", txt("/a # not a comment")}, ""},
        IniCase{"SslEnabled TRUE", std::pair{"SslEnabled", true}, ""},
        IniCase{"  # note", std::nullopt, ""}, IniCase{"", std::nullopt, ""},
        IniCase{"   \t", std::nullopt, ""}, IniCase{"LogLevel", std::nullopt, kInvalidLine},
        IniCase{"=value", std::nullopt, kInvalidLine},
        IniCase{"Foo 1", std::nullopt, "unknown parameter 'Foo'"},
        IniCase{"listenport 1", std::nullopt, "unknown parameter 'listenport'"},
        IniCase{"ListenPort=8080 # web", std::nullopt, "Invalid integer value: '8080 # web'"},
        IniCase{"SslEnabled yes", std::nullopt,
                "Invalid boolean value: 'yes' (expected true/false/1/0)"}));

TEST_F(SettingsTest, IniCountsEveryPhysicalLineWhateverItsEnding) {
  const std::string path = conf("# c\r\n\rFoo 1\r\nBar 2\nLogLevel info\nLogLevel debug\nBaz");
  const IniResult r = detail::parse_ini(path);
  EXPECT_EQ(r.errors, (std::vector<std::string>{path + ":3: unknown parameter 'Foo'",
                                                path + ":4: unknown parameter 'Bar'",
                                                path + ":7: " + kInvalidLine}));
  EXPECT_EQ(r.values,
            (std::map<std::string, SettingValue>{{"LogLevel", txt("debug")}}));  // later line wins
}

TEST_F(SettingsTest, UnreadableFilesRaiseInsteadOfMessages) {
  EXPECT_THROW(detail::parse_ini(missing()), std::system_error);
  EXPECT_THROW(detail::parse_ini(dir.str()), std::system_error);
  EXPECT_THROW(detail::parse_ini(conf("LogLevel \xff\xfe\n")), std::system_error);

  Config c;
  c.load(conf("LogLevel info\n"));
  EXPECT_THROW(c.load(dir.str()), std::system_error);  // exists but is a directory
  EXPECT_EQ(c.get_text("LogLevel"), "info");
}

TEST_F(SettingsTest, PrecedenceIsDefaultFileEnvironmentCommandLine) {
  Config c;
  ::setenv("VELQUIN_LISTEN_ADDRESS", "10.0.0.2", 1);
  ::setenv("VELQUIN_AUTH_RELOAD", "5", 1);
  c.load(conf("ListenAddress 10.0.0.1\nLogLevel info\nAuthReload 7\n"),
         Overrides{{"AuthReload", "9"}, {"AuthReload", "11"}});
  EXPECT_EQ(c.get_text("ListenAddress"), "10.0.0.2");
  EXPECT_EQ(c.get_text("LogLevel"), "info");
  EXPECT_EQ(c.get_int("AuthReload"), 11);
}

TEST_F(SettingsTest, EmptyEnvironmentVariableCountsAsGiven) {
  Config c;
  ::setenv("VELQUIN_LISTEN_PORT", "", 1);
  EXPECT_EQ(load_errors(c, missing()),
            std::vector<std::string>{
                "Environment variable VELQUIN_LISTEN_PORT: Invalid integer value: ''"});
  ::unsetenv("VELQUIN_LISTEN_PORT");
  ::setenv("VELQUIN_HEALTH_API_KEY", "", 1);
  ::setenv("VELQUIN_SHARED_DIR", "", 1);
  c.load(missing());
  EXPECT_EQ(c.get_text("SharedDir"), "");
}

TEST_F(SettingsTest, OverrideErrors) {
  Config c;
  EXPECT_EQ(load_errors(c, missing(), Overrides{{"Bogus", "1"}, {"SslEnabled", "yes"}}),
            (std::vector<std::string>{"Unknown configuration parameter: 'Bogus'",
                                      "Invalid boolean value: 'yes' (expected true/false/1/0)"}));
}

TEST_F(SettingsTest, ErrorsComeInSourceThenCheckOrder) {
  Config c;
  ::setenv("VELQUIN_MAX_TIMEOUT", "x", 1);
  ::setenv("VELQUIN_LISTEN_PORT", "y", 1);  // earlier row of the table than MaxTimeout
  ::setenv("VELQUIN_APP_LOG", "app.log text", 1);
  const std::string path = conf("Nope 1\nSslEnabled 1\nPrefetchImage sometimes\n");
  EXPECT_EQ(
      load_errors(c, path, Overrides{{"Bad", "v"}, {"RefreshImage", "Never"}}),
      (std::vector<std::string>{
          path + ":1: unknown parameter 'Nope'",
          "Environment variable VELQUIN_LISTEN_PORT: Invalid integer value: 'y'",
          "Environment variable VELQUIN_MAX_TIMEOUT: Invalid integer value: 'x'",
          "Unknown configuration parameter: 'Bad'",
          "SslCert is required when SslEnabled is true",
          "SslKey is required when SslEnabled is true",
          "AppLog: unrecognized token 'text' (expected level or format)",
          "RefreshImage: invalid value 'Never' (expected one of ['always', 'no', 'on-start'])",
          "PrefetchImage: invalid value 'sometimes' (expected one of ['no', 'on-config-change', "
          "'on-start'])",
      }));
}

TEST_F(SettingsTest, SslDefaultsPortTo443) {
  Config c;
  c.load(conf("SslEnabled TRUE\nSslCert /c.pem\nSslKey /k.pem\n"));
  EXPECT_EQ(c.get_int("ListenPort"), 443);
  c.load(conf("SslEnabled TRUE\nSslCert /c.pem\nSslKey /k.pem\nListenPort 8443\n"));
  EXPECT_EQ(c.get_int("ListenPort"), 8443);
}

TEST_F(SettingsTest, FailedLoadKeepsEveryValue) {
  Config c;
  c.load(conf("LogLevel debug\nListenPort 81\n"));
  EXPECT_FALSE(load_errors(c, conf("LogLevel info\nListenPort nope\n")).empty());
  EXPECT_EQ(c.get_text("LogLevel"), "debug");
  EXPECT_EQ(c.get_int("ListenPort"), 81);
  // A later clean load starts from the defaults again.
  c.load(missing());
  EXPECT_EQ(c.get_text("LogLevel"), "warning");
}

struct LogPathCase {
  std::string log_dir;  // "<unset>" leaves the default
  std::string audit;
  std::string app;
  std::string want_audit;
  std::string want_app;
};
class LogPaths : public SettingsTest, public ::testing::WithParamInterface<LogPathCase> {};

TEST_P(LogPaths, ResolveAgainstLogDir) {
  const auto& p = GetParam();
  Overrides o{{"AuditLog", p.audit}, {"AppLog", p.app}};
  if (p.log_dir != "<unset>") {
    o.emplace_back("LogDir", p.log_dir);
  }
  Config c;
  c.load(missing(), o);
  EXPECT_EQ(c.get_text("AuditLog"), p.want_audit);
  EXPECT_EQ(c.get_text("AppLog"), p.want_app);
  if (p.log_dir != "<unset>") {
    EXPECT_EQ(c.get_text("LogDir"), p.log_dir);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, LogPaths,
    ::testing::Values(LogPathCase{"/srv/logs", "audit.log", "app.log debug", "/srv/logs/audit.log",
                                  "/srv/logs/app.log debug"},
                      LogPathCase{"/srv/logs/", "a/audit.log", "app.log", "/srv/logs/a/audit.log",
                                  "/srv/logs/app.log"},
                      LogPathCase{"", "audit.log", "app.log", "/var/log/velquin/audit.log",
                                  "/var/log/velquin/app.log"},
                      LogPathCase{"<unset>", "/abs/audit.log", "/dev/stdout", "/abs/audit.log",
                                  "/dev/stdout"},
                      LogPathCase{"/srv", "/dev/stderr", "  app.log   level=info  json  ",
                                  "/dev/stderr", "/srv/app.log level=info  json  "},
                      LogPathCase{"/srv", "", "app.log \t ", "", "/srv/app.log"}));

TEST_F(SettingsTest, WhiteSpaceAppLogIsEmpty) {
  Config c;
  ::setenv("VELQUIN_APP_LOG", "   ", 1);
  EXPECT_EQ(load_errors(c, missing()), std::vector<std::string>{"AppLog: value is empty"});
}

TEST_F(SettingsTest, ImageSettingsAreStoredInLowerCase) {
  Config c;
  c.load(missing(), Overrides{{"RefreshImage", "Always"}, {"PrefetchImage", "ON-CONFIG-CHANGE"}});
  EXPECT_EQ(c.get_text("RefreshImage"), "always");
  EXPECT_EQ(c.get_text("PrefetchImage"), "on-config-change");
  c.load(missing(), Overrides{{"RefreshImage", ""}, {"PrefetchImage", ""}});
  EXPECT_EQ(c.get_text("RefreshImage"), "no");
  EXPECT_EQ(c.get_text("PrefetchImage"), "no");
}

TEST_F(SettingsTest, ContainmentAndByteLimits) {
  Config c;
  c.load(missing());
  EXPECT_EQ(c.get_text("RunContainment"), "auto");
  EXPECT_EQ(c.get_int("MaxOutputSize"), 67108864);
  EXPECT_EQ(c.get_int("MaxBufferedBodyBytes"), 268435456);
  EXPECT_EQ(c.get_int("DrainDelay"), 0);
  c.load(missing(),
         Overrides{{"RunContainment", "CGroup"}, {"MaxOutputSize", "1024"}, {"DrainDelay", "0"}});
  EXPECT_EQ(c.get_text("RunContainment"), "cgroup");
  EXPECT_EQ(c.get_int("MaxOutputSize"), 1024);
  EXPECT_EQ(c.get_int("DrainDelay"), 0);
  EXPECT_EQ(
      load_errors(c, missing(),
                  Overrides{{"RunContainment", "jail"},
                            {"MaxOutputSize", "0"},
                            {"MaxBufferedBodyBytes", "-1"},
                            {"DrainDelay", "-1"}}),
      (std::vector<std::string>{
          "RunContainment: invalid value 'jail' (expected one of ['auto', 'cgroup', 'subreaper'])",
          "MaxOutputSize: invalid value 0 (expected a positive number of bytes)",
          "MaxBufferedBodyBytes: invalid value -1 (expected a positive number of bytes)",
          "DrainDelay: invalid value -1 (expected 0 or more seconds)"}));
  EXPECT_EQ(load_errors(c, missing(), Overrides{{"DrainDelay", "soon"}}),
            (std::vector<std::string>{"Invalid integer value: 'soon'"}));
}

TEST_F(SettingsTest, AdmissionAndDefaultRunLimits) {
  Config c;
  c.load(missing());
  EXPECT_EQ(c.settings()->max_concurrent_runs, 0);
  EXPECT_FALSE(c.settings()->default_memory_limit);
  EXPECT_FALSE(c.settings()->default_pids_limit);
  c.load(missing(), Overrides{{"MaxConcurrentRuns", "8"},
                              {"DefaultMemoryLimit", "512Mi"},
                              {"DefaultPidsLimit", "100"}});
  EXPECT_EQ(c.settings()->max_concurrent_runs, 8);
  EXPECT_EQ(c.settings()->default_memory_limit, 536870912);
  EXPECT_EQ(c.settings()->default_pids_limit, 100);
  EXPECT_EQ(load_errors(c, missing(),
                        Overrides{{"MaxConcurrentRuns", "-1"},
                                  {"DefaultMemoryLimit", "lots"},
                                  {"DefaultPidsLimit", "-5"}}),
            (std::vector<std::string>{
                "MaxConcurrentRuns: invalid value -1 (expected 0 or a positive number)",
                "DefaultPidsLimit: invalid value -5 (expected 0 or a positive number)",
                "DefaultMemoryLimit: invalid value 'lots' (expected a size such as '256Mi')"}));
}

TEST_F(SettingsTest, GetSettingUsesCompatibilityPaths) {
  Config c;
  EXPECT_EQ(c.get_setting("server.port", num(1)), num(1));  // null before load
  c.load(missing(), Overrides{{"ListenPort", "8080"}, {"AuthDir", "/a"}});
  EXPECT_EQ(c.get_setting("server.port"), num(8080));
  EXPECT_EQ(c.get_setting("server.port", num(1)), num(8080));
  EXPECT_EQ(c.get_setting("ListenPort", num(7)), num(7));
  EXPECT_EQ(c.get_setting("auth.auth_directory"), txt("/a"));
  EXPECT_EQ(c.get_setting("no.such.path"), SettingValue());
  for (const auto& compat : detail::COMPAT_PATHS) {
    EXPECT_EQ(c.get_setting(compat.path), c.get(compat.key)) << compat.path;
  }
}

struct ContainerCase {
  SettingValue setting;
  bool expected;
};
class ContainerSetting : public ::testing::TestWithParam<ContainerCase> {};
TEST_P(ContainerSetting, DecidesWithoutDetection) {
  EXPECT_EQ(is_running_in_container(GetParam().setting), GetParam().expected);
}
INSTANTIATE_TEST_SUITE_P(
    Table, ContainerSetting,
    ::testing::Values(ContainerCase{txt("1"), true}, ContainerCase{txt("TRUE"), true},
                      ContainerCase{txt("0"), false}, ContainerCase{txt("auto"), false},
                      ContainerCase{txt(""), false}, ContainerCase{txt(" 1"), false}));

TEST(ContainerDetection, EnvironmentVariableCountsEvenWhenEmpty) {
  const char* old = std::getenv("container");
  const std::optional<std::string> saved = old ? std::optional<std::string>(old) : std::nullopt;
  ::setenv("container", "", 1);
  EXPECT_TRUE(is_running_in_container(SettingValue()));
  if (saved) {
    ::setenv("container", saved->c_str(), 1);
  } else {
    ::unsetenv("container");
  }
}

}  // namespace
}  // namespace velquin::config
