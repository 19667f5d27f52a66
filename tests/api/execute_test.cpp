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

using executor::RunResult;
using Outcome = RunResult::Outcome;

const json kProcessAlias = json::parse(
    R"({"type": "process", "command": "x", "parameters": {"a": null, "password": null}})");
const json kContainerAlias = json::parse(R"({"type": "container", "image": "i"})");
// A required parameter, and an exit status mapped with a reason.
const json kStrictAlias =
    json::parse(R"({"type": "process", "command": "x", "parameters": {"x": {"required": true}}})");
const json kMappedAlias =
    json::parse(R"({"type": "process", "command": "x", "exitCodes": {"3": "422 Bad Input"}})");

RunResult result_of(Outcome outcome, std::optional<std::int64_t> returncode,
                    std::optional<std::int64_t> pid, std::string error = "") {
  RunResult r;
  r.outcome = outcome;
  r.returncode = returncode;
  r.pid = pid;
  r.stdout_text = outcome == Outcome::completed ? "hello\n" : "";
  r.error = std::move(error);
  return r;
}

struct ExecuteCase {
  std::string name;
  std::string alias = "echo";  // the alias in the path
  bool authenticated = true;
  std::vector<std::string> allowed{"echo", "box", "ghost", "strict", "mapped", "it's"};
  std::string content_type = "application/json";
  std::string body = "{}";
  RunResult result = result_of(Outcome::completed, 0, 77);
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
  modules.add_alias("echo", kProcessAlias);
  modules.add_alias("box", kContainerAlias);
  modules.add_alias("strict", kStrictAlias);
  modules.add_alias("mapped", kMappedAlias);
  if (c.authenticated) {
    modules.who = auth::AuthResult{"alice", c.allowed};
  }
  modules.result = c.result;
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
    auto c = make("AliasNotFoundQuotedName", 404, "Alias \"it's\" not found", "alias_not_found");
    c.alias = "it's";
    c.audit_alias = "it's";
    c.log = "Alias \"it's\" not found";
    out.push_back(c);
  }
  {
    auto c = make("ParametersRejected", 400,
                  "{\"errors\":[\"'x' is required\",\"unknown parameter 'y'\"]}\n",
                  "invalid_parameters");
    c.alias = "strict";
    c.audit_alias = "strict";
    c.body = "{\"y\": 1}";
    c.pid = std::string("-");
    c.exit_code = std::string("-");
    c.log =
        "Parameter validation failed for alias 'strict': 'x' is required; unknown parameter 'y'";
    out.push_back(c);
  }
  {
    // A timeout wins over a failure.
    auto c = make("TimedOut", 408, "Execution timed out", "execution_timeout");
    c.result = result_of(Outcome::timed_out, std::nullopt, 9, "after 5s");
    c.pid = std::int64_t{9};
    c.exit_code = std::string("-");
    c.log = "Alias 'echo' execution timed out: after 5s";
    out.push_back(c);
  }
  {
    auto c = make("TimedOutWithoutPid", 408, "Execution timed out", "execution_timeout");
    c.result = result_of(Outcome::timed_out, std::nullopt, std::nullopt);
    c.pid = std::string("-");
    c.exit_code = std::string("-");
    out.push_back(c);
  }
  {
    // The executor's error text stays in the log, never in the answer.
    auto c = make("ExecutionFailed", 500, "Internal server error", "processing_failed");
    c.result = result_of(Outcome::failed, 1, std::nullopt, "secret detail");
    c.pid = std::string("-");
    c.exit_code = std::int64_t{1};
    c.log = "Alias 'echo' failed: secret detail";
    out.push_back(c);
  }
  {
    auto c = make("MappedReason", 422, "hello\n", "execution_failed");
    c.alias = "mapped";
    c.audit_alias = "mapped";
    c.reason = "Bad Input";
    c.result = result_of(Outcome::completed, 3, 5);
    c.pid = std::int64_t{5};
    c.exit_code = std::int64_t{3};
    out.push_back(c);
  }
  {
    auto c = make("ContainerIdentifiers", 200, "hello\n", "success");
    c.alias = "box";
    c.audit_alias = "box";
    c.result = result_of(Outcome::completed, 0, std::nullopt);
    c.result.container_id = "abc123";
    c.result.image_id = "";
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
  modules.add_alias("echo", kProcessAlias);
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
  modules.add_alias("my alias", kProcessAlias);
  modules.who = auth::AuthResult{"alice", {"my alias"}};
  FakeApi server(modules);
  server.start();
  auto reply = http_request(server.port(), "POST", "/v1/my%20alias?x=1");
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->status, 200);
}

TEST(ExecuteFailure, ExceptionGivesGeneric500AuditedWithCodeSoFar) {
  FakeModules modules;
  modules.add_alias("echo", kProcessAlias);
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
