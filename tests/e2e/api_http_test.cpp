// HTTP behaviour of the real binary: answers, audit lines, limits and the
// graceful stop.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <signal.h>

#include <string>
#include <thread>

#include "api/http_client.h"
#include "e2e/harness.h"

namespace velquin::e2e {
namespace {

using ::testing::HasSubstr;
using json = nlohmann::json;

ServiceOptions with_keys() {
  ServiceOptions options;
  options.config_lines = {"HealthApiKey health-key", "LogsApiKey logs-key"};
  return options;
}

TEST(ApiHttp, ExecuteAnswersAndAudits) {
  Service service;
  service.start();
  auto ok = service.execute("echo", json{{"message", "hi there"}});
  EXPECT_EQ(ok.status, 200);
  EXPECT_EQ(ok.body, "hi there\n");
  EXPECT_EQ(ok.header("Content-Type"), "text/plain");

  auto outsider = service.execute("echo", json::object(), kOtherKey);
  EXPECT_EQ(outsider.status, 403);
  auto nobody = service.execute("missing", json::object(), "wrong");
  EXPECT_EQ(nobody.status, 401);
  auto bad = http(
      service.port(), "POST", "/v1/echo",
      {{"Authorization", std::string("Bearer ") + kApiKey}, {"Content-Type", "application/json"}},
      "[]");
  EXPECT_EQ(bad.status, 400);
  EXPECT_EQ(bad.body, "Request body must be a JSON object");
  EXPECT_EQ(service.stop(), 0);

  auto audit = service.audit();
  ASSERT_EQ(audit.size(), 4u);
  EXPECT_EQ(audit[0]["status"], 200);
  EXPECT_EQ(audit[0]["app_code"], "success");
  EXPECT_EQ(audit[0]["user"], "tester");
  EXPECT_EQ(audit[0]["alias"], "echo");
  EXPECT_EQ(audit[0]["exit_code"], 0);
  EXPECT_TRUE(audit[0]["pid"].is_number_integer());
  EXPECT_EQ(audit[0]["source"], "127.0.0.1");
  EXPECT_EQ(audit[1]["app_code"], "alias_not_permitted");
  EXPECT_EQ(audit[1]["user"], "outsider");
  EXPECT_EQ(audit[2]["app_code"], "auth_failed");
  EXPECT_EQ(audit[2]["alias"], "-");
  EXPECT_TRUE(audit[2]["pid"].is_null());
  EXPECT_EQ(audit[3]["app_code"], "invalid_request");
}

TEST(ApiHttp, InternalEndpointsAuditOnlyFailures) {
  Service service(with_keys());
  service.start();
  auto health =
      http(service.port(), "GET", "/internal/health/check", {{"X-API-Key", "health-key"}});
  EXPECT_EQ(health.status, 200);
  auto body = json::parse(health.body);
  EXPECT_EQ(body["configuration"], "Current");
  EXPECT_TRUE(body["last_reload"].is_string());
  EXPECT_EQ(
      http(service.port(), "GET", "/internal/health/check", {{"X-API-Key", "HEALTH-KEY"}}).status,
      401);
  EXPECT_EQ(
      http(service.port(), "POST", "/internal/logs/reopen", {{"X-API-Key", "logs-key"}}).status,
      200);
  EXPECT_EQ(http(service.port(), "GET", "/internal/logs/reopen").status, 405);
  EXPECT_EQ(http(service.port(), "GET", "/nowhere").status, 404);
  EXPECT_EQ(service.stop(), 0);

  auto audit = service.audit();
  ASSERT_EQ(audit.size(), 3u);
  EXPECT_EQ(audit[0]["status"], 401);
  EXPECT_EQ(audit[0]["app_code"], "auth_failed");
  EXPECT_EQ(audit[1]["status"], 405);
  EXPECT_EQ(audit[2]["status"], 404);
  EXPECT_EQ(audit[2]["app_code"], "service_unavailable");
  EXPECT_THAT(service.app_log(), HasSubstr("Unauthorized /internal/health/check from 127.0.0.1"));
}

TEST(ApiHttp, OversizedBodyIsRefusedAndServiceGoesOn) {
  Service service;
  service.start();
  auto big = http_raw(service.port(),
                      "POST /v1/echo HTTP/1.1\r\nHost: x\r\nContent-Type: application/json\r\n"
                      "Content-Length: 17825792\r\n\r\n");
  EXPECT_EQ(big.status, 413);
  EXPECT_EQ(service.execute("echo").status, 200);
  EXPECT_EQ(service.stop(), 0);
}

// The sharp check: a stranger announcing 15 MiB and sending none of it is
// answered 401 at once, and never gets "100 Continue".
TEST(ApiHttp, StrangerIsAnsweredFromTheHeaders) {
  Service service;
  service.start();
  auto reply = http_raw(service.port(),
                        "POST /v1/echo HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer wrong\r\n"
                        "Content-Type: application/json\r\nExpect: 100-continue\r\n"
                        "Content-Length: 15728640\r\n\r\n");
  EXPECT_EQ(reply.status, 401);
  EXPECT_EQ(service.stop(), 0);
  auto audit = service.audit();
  ASSERT_EQ(audit.size(), 1u);
  EXPECT_EQ(audit[0]["status"], 401);
  EXPECT_EQ(audit[0]["app_code"], "auth_failed");
}

TEST(ApiHttp, BufferedBodiesAreCapped) {
  ServiceOptions options;
  options.config_lines = {"MaxBufferedBodyBytes 65536"};
  Service service(options);
  service.start();
  const std::string body = "{\"message\":\"" + std::string(59986, 'x') + "\"}";
  const std::string head =
      std::string("POST /v1/echo HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer ") + kApiKey +
      "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
      "\r\n";
  testing::RawClient holder(service.port());
  ASSERT_TRUE(holder.send(head + "Expect: 100-continue\r\n\r\n"));
  auto go_on = holder.read_reply();  // once the body's bytes are reserved
  ASSERT_TRUE(go_on);
  ASSERT_EQ(go_on->status, 100);
  ASSERT_TRUE(holder.send(body.substr(0, 100)));

  auto busy = http_raw(service.port(), head + "\r\n");
  EXPECT_EQ(busy.status, 503);
  EXPECT_EQ(busy.body, "Server busy");
  EXPECT_EQ(busy.header("Retry-After"), "1");

  ASSERT_TRUE(holder.send(body.substr(100)));
  auto done = holder.read_reply();
  ASSERT_TRUE(done);
  EXPECT_EQ(done->status, 200);
  EXPECT_EQ(service.stop(), 0);
  auto audit = service.audit();
  ASSERT_EQ(audit.size(), 2u);
  EXPECT_EQ(audit[0]["status"], 503);
  EXPECT_EQ(audit[0]["app_code"], "service_unavailable");
  EXPECT_EQ(audit[0]["user"], "tester");
  EXPECT_EQ(audit[1]["status"], 200);
}

TEST(ApiHttp, ListeningLineAndGracefulStop) {
  Service service;
  service.start();
  EXPECT_TRUE(service.wait_for_log("Listening on 127.0.0.1:" + std::to_string(service.port()) +
                                   ", SSL disabled"));
  EXPECT_EQ(service.stop(SIGTERM), 0);
  EXPECT_THAT(service.app_log(), HasSubstr("Graceful shutdown: waiting for active requests..."));
}

}  // namespace
}  // namespace velquin::e2e
