#include "logger/logger.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "logger/testing.h"
#include "support/temp_dir.h"

namespace velquin::logger {
namespace {

using Json = nlohmann::ordered_json;

std::vector<std::string> read_lines(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) {
    lines.push_back(line);
  }
  return lines;
}

class LoggerTest : public ::testing::Test {
 protected:
  void TearDown() override {
    set_correlation_id(std::nullopt);
    // Leave the process logging somewhere harmless for the next test.
    setup_logging(LoggingOptions{"warning", "/dev/stderr", std::nullopt, std::nullopt, ""});
  }

  LoggingOptions options(std::string level,
                         std::optional<std::string> format = std::nullopt) const {
    LoggingOptions o;
    o.log_level = std::move(level);
    o.app_log_path = (dir.path() / "logs" / "app.log").string();
    o.app_log_format = std::move(format);
    o.audit_log_path = (dir.path() / "audit" / "audit.log").string();
    return o;
  }
  std::filesystem::path app_path() const { return dir.path() / "logs" / "app.log"; }
  std::filesystem::path audit_path() const { return dir.path() / "audit" / "audit.log"; }

  testing::TempDir dir;
};

TEST_F(LoggerTest, PlainLineShowsTimeLevelLoggerAndCorrelationId) {
  setup_logging(options("debug"));
  info("first message");
  set_correlation_id("1b4e28ba-2fa1-41d2-883f-0016d3cca427");
  error("second");

  const auto lines = read_lines(app_path());
  ASSERT_EQ(lines.size(), 2U);
  const std::regex stamp(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,\d{3} )");
  EXPECT_TRUE(std::regex_search(lines[0], stamp)) << lines[0];
  EXPECT_EQ(lines[0].substr(24), "INFO velquin [-] first message");
  EXPECT_EQ(lines[1].substr(24), "ERROR velquin [1b4e28ba-2fa1-41d2-883f-0016d3cca427] second");
}

TEST_F(LoggerTest, JsonLineIsOneObjectWithFixedKeys) {
  setup_logging(options("debug", "json"));
  debug("d \"quoted\"\nnext");
  set_correlation_id("cid");
  warning("w");

  const auto lines = read_lines(app_path());
  ASSERT_EQ(lines.size(), 2U);
  const Json first = Json::parse(lines[0]);
  std::vector<std::string> keys;
  for (const auto& item : first.items()) {
    keys.push_back(item.key());
  }
  EXPECT_EQ(keys,
            (std::vector<std::string>{"time", "level", "logger", "correlation_id", "message"}));
  EXPECT_TRUE(std::regex_match(first["time"].get<std::string>(),
                               std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)")));
  EXPECT_EQ(first["level"], "debug");
  EXPECT_EQ(first["logger"], "velquin");
  EXPECT_TRUE(first["correlation_id"].is_null());
  EXPECT_EQ(first["message"], "d \"quoted\"\nnext");
  const Json second = Json::parse(lines[1]);
  EXPECT_EQ(second["level"], "warning");
  EXPECT_EQ(second["correlation_id"], "cid");
}

struct LevelCase {
  std::string log_level;
  std::optional<std::string> app_level;
  std::vector<std::string> written;  // of debug, info, warning, error
};

class LoggerLevel : public LoggerTest, public ::testing::WithParamInterface<LevelCase> {};

TEST_P(LoggerLevel, FiltersBelowTheEffectiveLevel) {
  LoggingOptions o = options(GetParam().log_level, "json");
  o.app_log_level = GetParam().app_level;
  setup_logging(o);
  debug("debug");
  info("info");
  warning("warning");
  error("error");
  std::vector<std::string> written;
  for (const auto& line : read_lines(app_path())) {
    written.push_back(Json::parse(line)["message"]);
  }
  EXPECT_EQ(written, GetParam().written);
  EXPECT_EQ(enabled(Level::debug), GetParam().written.size() == 4);
}

INSTANTIATE_TEST_SUITE_P(
    Table, LoggerLevel,
    ::testing::Values(LevelCase{"trace", std::nullopt, {"debug", "info", "warning", "error"}},
                      LevelCase{"DEBUG", std::nullopt, {"debug", "info", "warning", "error"}},
                      LevelCase{"info", std::nullopt, {"info", "warning", "error"}},
                      LevelCase{"Warn", std::nullopt, {"warning", "error"}},
                      LevelCase{"warning", std::nullopt, {"warning", "error"}},
                      LevelCase{"error", std::nullopt, {"error"}},
                      LevelCase{"critical", std::nullopt, {}},
                      // The AppLog level wins over LogLevel in both directions.
                      LevelCase{"error", "debug", {"debug", "info", "warning", "error"}},
                      LevelCase{"debug", "warn", {"warning", "error"}}));

TEST_F(LoggerTest, UnknownLogLevelIsRejectedAndKeepsTheOldSetup) {
  setup_logging(options("info"));
  try {
    setup_logging(options("verbose"));
    FAIL() << "no error";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "Invalid LogLevel 'verbose'");
  }
  info("still here");
  EXPECT_EQ(read_lines(app_path()).size(), 1U);
}

TEST_F(LoggerTest, UnopenableLogFileThrowsAndKeepsTheOldSetup) {
  setup_logging(options("info"));
  LoggingOptions bad = options("info");
  dir.write("blocker", "");
  bad.app_log_path = (dir.path() / "blocker" / "app.log").string();
  EXPECT_THROW(setup_logging(bad), std::system_error);
  info("still here");
  EXPECT_EQ(read_lines(app_path()).size(), 1U);
}

TEST_F(LoggerTest, AuditLineHasTimeThenElevenFieldsInOrder) {
  setup_logging(options("warning"));
  AuditRecord r;
  r.source = "127.0.0.1";
  r.user = "alice";
  r.alias = "echo";
  r.duration_ms = 12;
  r.status = 200;
  r.app_code = "success";
  r.correlation_id = "cid";
  r.exit_code = std::int64_t{0};
  r.pid = std::string("-");
  r.container_id = std::monostate{};
  r.image_id = std::string("sha256:abc");
  write_audit(r);

  const auto lines = read_lines(audit_path());
  ASSERT_EQ(lines.size(), 1U);
  const Json j = Json::parse(lines[0]);
  std::vector<std::string> keys;
  for (const auto& item : j.items()) {
    keys.push_back(item.key());
  }
  EXPECT_EQ(keys, (std::vector<std::string>{"time", "source", "user", "alias", "duration_ms",
                                            "status", "app_code", "correlation_id", "exit_code",
                                            "pid", "container_id", "image_id"}));
  EXPECT_TRUE(std::regex_match(j["time"].get<std::string>(),
                               std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)")));
  EXPECT_EQ(
      lines[0].substr(lines[0].find("\"source\"")),
      R"("source":"127.0.0.1","user":"alice","alias":"echo","duration_ms":12,"status":200,)"
      R"("app_code":"success","correlation_id":"cid","exit_code":0,"pid":"-","container_id":null,)"
      R"("image_id":"sha256:abc"})");
}

TEST_F(LoggerTest, NoAuditFileWithoutAuditPath) {
  LoggingOptions o = options("warning");
  o.audit_log_path.clear();
  setup_logging(o);
  LogCapture capture;
  write_audit(AuditRecord{});
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "audit"));
  EXPECT_TRUE(capture.messages(Level::error).empty());
}

TEST_F(LoggerTest, FailedAuditWriteIsLoggedNotThrown) {
  if (!std::filesystem::exists("/dev/full")) {
    GTEST_SKIP() << "/dev/full is not available";
  }
  LoggingOptions o = options("warning");
  o.audit_log_path = "/dev/full";
  setup_logging(o);
  LogCapture capture;
  write_audit(AuditRecord{});
  const auto errors = capture.messages(Level::error);
  ASSERT_EQ(errors.size(), 1U);
  EXPECT_EQ(errors[0].rfind("Audit log write failed: ", 0), 0U) << errors[0];
}

TEST_F(LoggerTest, ReopenAfterRenameWritesToFreshFiles) {
  setup_logging(options("info"));
  info("before");
  write_audit(AuditRecord{});
  std::filesystem::rename(app_path(), dir.path() / "logs" / "app.log.1");
  std::filesystem::rename(audit_path(), dir.path() / "audit" / "audit.log.1");
  info("still old");  // written through the open descriptor, into the moved file
  reopen_logs();
  info("after");
  write_audit(AuditRecord{});

  EXPECT_EQ(read_lines(dir.path() / "logs" / "app.log.1").size(), 2U);
  const auto fresh = read_lines(app_path());
  ASSERT_EQ(fresh.size(), 1U);
  EXPECT_NE(fresh[0].find("after"), std::string::npos);
  EXPECT_EQ(read_lines(dir.path() / "audit" / "audit.log.1").size(), 1U);
  EXPECT_EQ(read_lines(audit_path()).size(), 1U);
}

TEST_F(LoggerTest, ReopenFailureThrows) {
  setup_logging(options("info"));
  std::filesystem::remove_all(dir.path() / "logs");
  dir.write("logs", "now a file");
  EXPECT_THROW(reopen_logs(), std::system_error);
}

TEST_F(LoggerTest, ConcurrentWritersNeverInterleaveLines) {
  setup_logging(options("info", "json"));
  constexpr int kThreads = 8;
  constexpr int kLines = 300;
  const std::string payload(300, 'x');
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      set_correlation_id("thread-" + std::to_string(t));
      for (int i = 0; i < kLines; ++i) {
        info(payload);
        AuditRecord r;
        r.correlation_id = "thread-" + std::to_string(t);
        r.alias = payload;
        write_audit(r);
        if (t == 0 && i % 100 == 50) {
          reopen_logs();
        }
      }
    });
  }
  for (auto& thread : threads) {
    thread.join();
  }
  for (const auto& path : {app_path(), audit_path()}) {
    const auto lines = read_lines(path);
    ASSERT_EQ(lines.size(), static_cast<std::size_t>(kThreads * kLines)) << path;
    std::map<std::string, int> per_thread;
    for (const auto& line : lines) {
      const Json j = Json::parse(line);  // throws on a torn line
      ++per_thread[j["correlation_id"].get<std::string>()];
    }
    EXPECT_EQ(per_thread.size(), static_cast<std::size_t>(kThreads));
    for (const auto& [id, count] : per_thread) {
      EXPECT_EQ(count, kLines) << id;
    }
  }
}

TEST(CorrelationId, IsPerThread) {
  set_correlation_id("main-id");
  std::string seen_in_thread = "unset";
  std::thread([&] { seen_in_thread = get_correlation_id(); }).join();
  EXPECT_EQ(seen_in_thread, "");
  EXPECT_EQ(get_correlation_id(), "main-id");
  set_correlation_id(std::nullopt);
  EXPECT_EQ(get_correlation_id(), "");
}

TEST(LogCaptureTest, SeesEveryLevelAndRestoresFiltering) {
  setup_logging(LoggingOptions{"error", "/dev/null", std::nullopt, std::nullopt, ""});
  EXPECT_FALSE(enabled(Level::debug));
  {
    LogCapture capture;
    debug("d");
    info("i");
    warning("w");
    error("e");
    EXPECT_EQ(
        capture.records(),
        (std::vector<std::pair<Level, std::string>>{
            {Level::debug, "d"}, {Level::info, "i"}, {Level::warning, "w"}, {Level::error, "e"}}));
    EXPECT_TRUE(capture.contains(Level::warning, "w"));
    EXPECT_FALSE(capture.contains(Level::error, "w"));
    capture.clear();
    EXPECT_TRUE(capture.records().empty());
  }
  EXPECT_FALSE(enabled(Level::debug));
  setup_logging(LoggingOptions{"warning", "/dev/stderr", std::nullopt, std::nullopt, ""});
}

}  // namespace
}  // namespace velquin::logger
