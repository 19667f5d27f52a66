// The execute endpoint and the audit record it leaves, over real HTTP with
// faked authentication, configuration, validation and execution.

#include <string>

#include <gtest/gtest.h>

#include "fake_api.h"
#include "http_client.h"
#include "logger/testing.h"

namespace velquin::testing {
namespace {

using logger::AuditValue;
using logger::Level;

const json kProcessAlias = json::parse(R"({"name": "echo", "type": "process", "command": "x"})");
const json kContainerAlias = json::parse(R"({"name": "box", "type": "container", "image": "i"})");

struct ExecuteCase {
  std::string name;
  std::string alias = "echo";  // the alias in the path
  bool authenticated = true;
  std::vector<std::string> allowed{"echo", "box", "ghost"};
  std::string content_type = "application/json";
  std::string body = "{}";
  std::vector<std::string> validation_errors;
  json result = json{{"success", true}, {"stdout", "hello\n"}, {"returncode", 0}, {"pid", 77}};
  validator::ExitStatus exit_status;
  // Expected
  int status = 0;
  std::string reason;
  std::string response_body;
  std::string app_code;
  std::string audit_user = "alice";
  std::string audit_alias = "echo";
  AuditValue pid;
  AuditValue exit_code;
  AuditValue container_id;
  AuditValue image_id;
  std::string log;  // a warning or error text that must appear ("" = none checked)
};

class Execute : public ::testing::TestWithParam<ExecuteCase> {};

TEST_P(Execute, AnswersAuditsAndLogs) {
  const auto& c = GetParam();
  FakeModules modules;
  modules.aliases["echo"] = kProcessAlias;
  modules.aliases["box"] = kContainerAlias;
  if (c.authenticated) {
    modules.who = auth::AuthResult{"alice", c.allowed};
  }
  modules.validation_errors = c.validation_errors;
  modules.result = c.result;
  modules.exit_status = c.exit_status;
  logger::LogCapture logs;
  FakeApi server(modules);
  server.start();

  std::map<std::string, std::string> headers{{"Authorization", "Bearer token"}};
  if (!c.content_type.empty()) {
    headers["Content-Type"] = c.content_type;
  }
  auto reply = http_request(server.port(), "POST", "/v1/" + c.alias, c.body, headers);
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->status, c.status);
  if (!c.reason.empty()) {
    EXPECT_EQ(reply->reason, c.reason);
  }
  EXPECT_EQ(reply->body, c.response_body);
  server.shutdown();

  auto audits = modules.audit_records();
  ASSERT_EQ(audits.size(), 1u);
  const auto& a = audits[0];
  EXPECT_EQ(a.status, c.status);
  EXPECT_EQ(a.app_code, c.app_code);
  EXPECT_EQ(a.user, c.audit_user);
  EXPECT_EQ(a.alias, c.audit_alias);
  EXPECT_EQ(a.source, "127.0.0.1");
  EXPECT_EQ(a.pid, c.pid);
  EXPECT_EQ(a.exit_code, c.exit_code);
  EXPECT_EQ(a.container_id, c.container_id);
  EXPECT_EQ(a.image_id, c.image_id);
  EXPECT_EQ(a.correlation_id.size(), 36u);
  if (!c.log.empty()) {
    EXPECT_TRUE(logs.contains(Level::warning, c.log) || logs.contains(Level::error, c.log))
        << c.log;
  }
  ASSERT_EQ(modules.credentials.size(), 1u);
  EXPECT_EQ(modules.credentials[0].authorization, "Bearer token");
}

ExecuteCase make(std::string name, int status, std::string body, std::string app_code) {
  ExecuteCase c;
  c.name = std::move(name);
  c.status = status;
  c.response_body = std::move(body);
  c.app_code = std::move(app_code);
  return c;
}

std::vector<ExecuteCase> cases() {
  std::vector<ExecuteCase> out;
  {
    auto c = make("Success", 200, "hello\n", "success");
    c.pid = std::int64_t{77};
    c.exit_code = std::int64_t{0};
    out.push_back(c);
  }
  {
    // An unauthenticated caller never learns whether the alias exists.
    auto c = make("UnauthenticatedUnknownAlias", 401, "", "auth_failed");
    c.alias = "nope";
    c.authenticated = false;
    c.audit_user = "-";
    c.audit_alias = "-";
    c.log = "Authentication failed for alias 'nope'";
    out.push_back(c);
  }
  {
    auto c = make("NotAllowedUnknownAlias", 403, "", "alias_not_permitted");
    c.alias = "nope";
    c.audit_alias = "nope";
    c.log = "User 'alice' not permitted to access alias 'nope'";
    out.push_back(c);
  }
  {
    auto c = make("NoAllowedAliases", 403, "", "alias_not_permitted");
    c.allowed = {};
    out.push_back(c);
  }
  {
    // The body is checked before the alias is looked up.
    auto c = make("BadBodyBeforeMissingAlias", 400, "Invalid JSON", "invalid_request");
    c.alias = "ghost";
    c.audit_alias = "ghost";
    c.body = "{";
    c.log = "Invalid request body for alias 'ghost': Invalid JSON";
    out.push_back(c);
  }
  {
    auto c = make("JsonList", 400, "Request body must be a JSON object", "invalid_request");
    c.body = "[]";
    out.push_back(c);
  }
  {
    auto c = make("AliasNotFound", 404, "Alias 'ghost' not found", "alias_not_found");
    c.alias = "ghost";
    c.audit_alias = "ghost";
    c.log = "Alias 'ghost' not found";
    out.push_back(c);
  }
  {
    auto c = make("ParametersRejected", 400,
                  "{\"errors\":[\"'x' is required\",\"unknown parameter 'y'\"]}\n",
                  "invalid_parameters");
    c.validation_errors = {"'x' is required", "unknown parameter 'y'"};
    c.pid = std::string("-");
    c.exit_code = std::string("-");
    c.log = "Parameter validation failed for alias 'echo': 'x' is required; unknown parameter 'y'";
    out.push_back(c);
  }
  {
    // A timeout wins over a failure.
    auto c = make("TimedOut", 408, "Execution timed out", "execution_timeout");
    c.result = json{{"success", false}, {"timed_out", true}, {"error", "after 5s"}, {"pid", 9}};
    c.pid = std::int64_t{9};
    c.exit_code = std::string("-");
    c.log = "Alias 'echo' execution timed out: after 5s";
    out.push_back(c);
  }
  {
    auto c = make("TimedOutWithoutPid", 408, "Execution timed out", "execution_timeout");
    c.result = json{{"success", false}, {"timed_out", true}};
    c.pid = std::string("-");
    c.exit_code = std::string("-");
    out.push_back(c);
  }
  {
    auto c = make("ExecutorRejectsParameters", 400, "{\"errors\":[\"bad user\"]}\n",
                  "invalid_parameters");
    c.result = json{{"success", false}, {"validation_error", true}, {"errors", {"bad user"}}};
    c.pid = std::string("-");
    c.exit_code = std::string("-");
    c.log = "Parameter validation failed for alias 'echo' (executor): bad user";
    out.push_back(c);
  }
  {
    // The executor's error text stays in the log, never in the answer.
    auto c = make("ExecutionFailed", 500, "Internal server error", "processing_failed");
    c.result = json{{"success", false}, {"error", "secret detail"}, {"returncode", 1},
                    {"pid", nullptr}};
    c.pid = std::string("-");
    c.exit_code = std::int64_t{1};
    c.log = "Alias 'echo' failed: secret detail";
    out.push_back(c);
  }
  {
    auto c = make("MappedReason", 422, "hello\n", "execution_failed");
    c.reason = "Bad Input";
    c.result = json{{"success", true}, {"stdout", "hello\n"}, {"returncode", 3}, {"pid", 5}};
    c.exit_status = validator::ExitStatus{422, "Bad Input"};
    c.pid = std::int64_t{5};
    c.exit_code = std::int64_t{3};
    out.push_back(c);
  }
  {
    // Without a reason the status stays 200, whatever the resolver said.
    auto c = make("MappedWithoutReason", 200, "hello\n", "execution_failed");
    c.exit_status = validator::ExitStatus{404, std::nullopt};
    c.pid = std::int64_t{77};
    c.exit_code = std::int64_t{0};
    out.push_back(c);
  }
  {
    auto c = make("ContainerIdentifiers", 200, "hello\n", "success");
    c.alias = "box";
    c.audit_alias = "box";
    c.result = json{{"success", true}, {"stdout", "hello\n"}, {"returncode", 0},
                    {"container_id", "abc123"}, {"image_id", ""}};
    c.container_id = std::string("abc123");
    c.image_id = std::string("-");
    c.exit_code = std::int64_t{0};
    out.push_back(c);
  }
  {
    auto c = make("FormBody", 200, "hello\n", "success");
    c.content_type = "application/x-www-form-urlencoded";
    c.body = "a=1";
    c.pid = std::int64_t{77};
    c.exit_code = std::int64_t{0};
    out.push_back(c);
  }
  {
    auto c = make("UnsupportedType", 400, "Unsupported content type", "invalid_request");
    c.content_type = "text/plain";
    c.body = "hi";
    out.push_back(c);
  }
  return out;
}

INSTANTIATE_TEST_SUITE_P(Table, Execute, ::testing::ValuesIn(cases()),
                         [](const auto& test) { return test.param.name; });

TEST(ExecuteBody, NoBodyNoTypeReachesTheExecutorWithNoParameters) {
  FakeModules modules;
  modules.aliases["echo"] = kProcessAlias;
  modules.who = auth::AuthResult{"alice", {"echo"}};
  FakeApi server(modules);
  server.start();
  RawClient client(server.port());
  // No Content-Length, no chunking: an empty body, answered at once.
  ASSERT_TRUE(client.send("POST /v1/echo HTTP/1.1\r\nHost: x\r\n\r\n"));
  auto reply = client.read_reply();
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->status, 200);
  ASSERT_EQ(modules.executed_params.size(), 1u);
  EXPECT_EQ(modules.executed_params[0], json::object());
}

TEST(ExecuteBody, PercentEncodedAliasNameIsDecoded) {
  FakeModules modules;
  modules.aliases["my alias"] = kProcessAlias;
  modules.who = auth::AuthResult{"alice", {"my alias"}};
  FakeApi server(modules);
  server.start();
  auto reply = http_request(server.port(), "POST", "/v1/my%20alias?x=1");
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->status, 200);
}

TEST(ExecuteFailure, ExceptionGivesGeneric500AuditedWithCodeSoFar) {
  FakeModules modules;
  modules.aliases["echo"] = kProcessAlias;
  modules.who = auth::AuthResult{"alice", {"echo"}};
  modules.execute_throws = true;
  logger::LogCapture logs;
  FakeApi server(modules);
  server.start();
  auto reply = http_request(server.port(), "POST", "/v1/echo", "{\"password\": \"hunter2\"}",
                            {{"Content-Type", "application/json"}});
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->status, 500);
  EXPECT_EQ(reply->body.find("exploded"), std::string::npos);
  // The server keeps serving after the failure.
  EXPECT_EQ(http_request(server.port(), "POST", "/v1/echo")->status, 500);
  server.shutdown();
  auto audits = modules.audit_records();
  ASSERT_EQ(audits.size(), 2u);
  EXPECT_EQ(audits[0].status, 500);
  EXPECT_EQ(audits[0].app_code, "service_unavailable");
  EXPECT_EQ(audits[0].pid, AuditValue(std::string("-")));
  bool logged = false;
  for (const auto& [level, message] : logs.records()) {
    EXPECT_EQ(message.find("hunter2"), std::string::npos) << message;
    if (level == Level::error && message.find("executor exploded") != std::string::npos) {
      logged = true;
    }
  }
  EXPECT_TRUE(logged);
}

}  // namespace
}  // namespace velquin::testing
