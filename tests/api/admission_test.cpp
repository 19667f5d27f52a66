// What is decided from a request's head before its body is read, and the cap
// on the body bytes that all connections together may buffer.

#include <cstdio>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "fake_api.h"
#include "http_client.h"
#include "logger/testing.h"

namespace velquin::testing {
namespace {

struct HeadCase {
  std::string name;
  std::string request_line;
  std::optional<auth::AuthResult> who;
  std::map<std::string, std::string> settings;
  int status;
  std::string app_code;
};

void PrintTo(const HeadCase& c, std::ostream* os) {
  *os << c.name;
}

class AnsweredFromTheHead : public ::testing::TestWithParam<HeadCase> {};

// A 15 MiB body is announced and never sent: every answer must come at once,
// without "100 Continue" first, and end the connection.
TEST_P(AnsweredFromTheHead, WithoutReadingTheBody) {
  const auto& c = GetParam();
  FakeModules modules;
  modules.add_alias("echo", json{{"type", "process"}, {"command", "x"}});
  modules.who = c.who;
  modules.settings = c.settings;
  FakeApi server(modules);
  server.start();
  RawClient client(server.port());
  ASSERT_TRUE(client.send(c.request_line +
                          " HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer k\r\n"
                          "Content-Type: application/json\r\nExpect: 100-continue\r\n"
                          "Content-Length: 15728640\r\n\r\n"));
  auto reply = client.read_reply();
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->status, c.status);
  EXPECT_TRUE(client.wait_closed());
  server.shutdown();
  EXPECT_TRUE(modules.executed_params.empty());
  auto audits = modules.audit_records();
  ASSERT_EQ(audits.size(), 1u);
  EXPECT_EQ(audits[0].status, c.status);
  EXPECT_EQ(audits[0].app_code, c.app_code);
}

INSTANTIATE_TEST_SUITE_P(
    Table, AnsweredFromTheHead,
    ::testing::Values(
        HeadCase{"Stranger", "POST /v1/echo", std::nullopt, {}, 401, "auth_failed"},
        HeadCase{"NotAllowed",
                 "POST /v1/echo",
                 auth::AuthResult{"bob", {}},
                 {},
                 403,
                 "alias_not_permitted"},
        HeadCase{"LogsReopenOff",
                 "POST /internal/logs/reopen",
                 std::nullopt,
                 {},
                 404,
                 "endpoint_not_enabled"},
        HeadCase{"LogsReopenWrongKey",
                 "POST /internal/logs/reopen",
                 std::nullopt,
                 {{"LogsApiKey", "s3cret"}},
                 401,
                 "auth_failed"},
        HeadCase{"PostOnHealth",
                 "POST /internal/health/check",
                 std::nullopt,
                 {},
                 405,
                 "service_unavailable"},
        HeadCase{"GetOnExecute", "GET /v1/echo", std::nullopt, {}, 405, "service_unavailable"},
        HeadCase{"UnknownPath", "POST /nope", std::nullopt, {}, 404, "service_unavailable"}),
    [](const auto& test) { return test.param.name; });

std::string upload_head(std::size_t length, bool chunked = false) {
  return std::string("POST /v1/echo HTTP/1.1\r\nHost: x\r\nContent-Type: application/json\r\n") +
         (chunked ? "Transfer-Encoding: chunked\r\n"
                  : "Content-Length: " + std::to_string(length) + "\r\n");
}

void wait_for_audits(const FakeModules& modules, std::size_t n) {
  for (int i = 0; i < 5000 && modules.audit_records().size() < n; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

class BufferedBodies : public ::testing::TestWithParam<bool> {};

// One admitted upload holds 600 of 1000 bytes; a second of 600 bytes, announced
// by Content-Length or by its first chunk, is refused until the first is done.
TEST_P(BufferedBodies, AreCappedAcrossConnections) {
  const bool chunked = GetParam();
  FakeModules modules;
  modules.add_alias("echo",
                    json{{"type", "process"}, {"command", "x"}, {"parameters", {{"a", nullptr}}}});
  modules.who = auth::AuthResult{"alice", {"echo"}};
  api::ServerLimits limits;
  limits.max_buffered_body_bytes = 1000;
  limits.body_timeout = std::chrono::milliseconds(2000);
  logger::LogCapture logs;
  FakeApi server(modules, limits);
  server.start();
  const std::string body = "{\"a\":\"" + std::string(592, 'x') + "\"}";
  ASSERT_EQ(body.size(), 600u);

  RawClient holder(server.port());
  ASSERT_TRUE(holder.send(upload_head(600) + "Expect: 100-continue\r\n\r\n"));
  auto go_on = holder.read_reply();  // sent once the bytes are reserved
  ASSERT_TRUE(go_on);
  ASSERT_EQ(go_on->status, 100);
  ASSERT_TRUE(holder.send(body.substr(0, 10)));

  RawClient second(server.port());
  ASSERT_TRUE(second.send(upload_head(600, chunked) + "\r\n" + (chunked ? "258\r\n" : "")));
  auto busy = second.read_reply();
  ASSERT_TRUE(busy);
  EXPECT_EQ(busy->status, 503);
  EXPECT_EQ(busy->body, "Server busy");
  EXPECT_EQ(busy->headers["retry-after"], "1");
  EXPECT_TRUE(second.wait_closed());

  ASSERT_TRUE(holder.send(body.substr(10)));
  auto done = holder.read_reply();
  ASSERT_TRUE(done);
  EXPECT_EQ(done->status, 200);
  // Given back: the same upload now fits.
  auto again =
      http_request(server.port(), "POST", "/v1/echo", body, {{"Content-Type", "application/json"}});
  ASSERT_TRUE(again);
  EXPECT_EQ(again->status, 200);
  {
    // An upload cut short is still audited and leaves the count of requests in flight.
    RawClient quitter(server.port());
    ASSERT_TRUE(quitter.send(upload_head(600) + "\r\n" + body.substr(0, 10)));
  }
  wait_for_audits(modules, 4);
  server.shutdown(5);
  EXPECT_EQ(logs.messages(logger::Level::warning).size(), 2u);  // busy, cut short
  auto audits = modules.audit_records();
  ASSERT_EQ(audits.size(), 4u);
  EXPECT_EQ(audits[0].status, 503);
  EXPECT_EQ(audits[0].app_code, "service_unavailable");
  EXPECT_EQ(audits[0].user, "alice");
  EXPECT_EQ(audits[3].status, 400);
  EXPECT_EQ(audits[3].app_code, "invalid_request");
  EXPECT_EQ(modules.executed_params.size(), 2u);
}

INSTANTIATE_TEST_SUITE_P(Table, BufferedBodies, ::testing::Values(false, true),
                         [](const auto& test) { return test.param ? "Chunked" : "ContentLength"; });

}  // namespace
}  // namespace velquin::testing
