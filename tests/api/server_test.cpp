// Routing, internal endpoints, request tracking, shutdown and the limits of
// the listener, against an in-process server on a free loopback port.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "api/drain.h"
#include "fake_api.h"
#include "http_client.h"
#include "logger/testing.h"

namespace velquin::testing {
namespace {

using logger::AuditValue;
using logger::Level;

struct RouteCase {
  std::string name;
  std::string method;
  std::string path;
  int status;
  std::string allow;  // expected Allow header of a 405
};

class Routing : public ::testing::TestWithParam<RouteCase> {};

TEST_P(Routing, UnmatchedRequestsAreCountedAndAudited) {
  const auto& c = GetParam();
  FakeModules modules;
  FakeApi server(modules);
  server.start();
  auto reply = http_request(server.port(), c.method, c.path);
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->status, c.status);
  if (!c.allow.empty()) {
    EXPECT_EQ(reply->headers["allow"], c.allow);
  }
  server.shutdown();
  auto audits = modules.audit_records();
  ASSERT_EQ(audits.size(), 1u);
  EXPECT_EQ(audits[0].status, c.status);
  EXPECT_EQ(audits[0].app_code, "service_unavailable");
  EXPECT_EQ(audits[0].user, "-");
  EXPECT_EQ(audits[0].alias, "-");
  EXPECT_EQ(audits[0].pid, AuditValue());
}

INSTANTIATE_TEST_SUITE_P(
    Table, Routing,
    ::testing::Values(RouteCase{"UnknownPath", "GET", "/nope", 404, ""},
                      RouteCase{"BareV1", "POST", "/v1/", 404, ""},
                      RouteCase{"TwoSegments", "POST", "/v1/a/b", 404, ""},
                      RouteCase{"EncodedSlash", "POST", "/v1/a%2Fb", 404, ""},
                      RouteCase{"GetOnExecute", "GET", "/v1/echo", 405, "POST"},
                      RouteCase{"GetOnLogsReopen", "GET", "/internal/logs/reopen", 405, "POST"},
                      RouteCase{"PostOnHealth", "POST", "/internal/health/check", 405, "GET"}),
    [](const auto& test) { return test.param.name; });

TEST(Health, OpenWithoutKeyAndNotAudited) {
  FakeModules modules;
  modules.health.is_current = false;
  FakeApi server(modules);
  server.start();
  auto reply = http_request(server.port(), "GET", "/internal/health/check");
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->status, 200);
  EXPECT_EQ(reply->headers["content-type"], "application/json");
  EXPECT_EQ(json::parse(reply->body),
            json::parse(R"({"last_reload":null,"configuration":"Degraded"})"));
  server.shutdown();
  EXPECT_TRUE(modules.audit_records().empty());
}

TEST(Health, ReportsTheLastReloadInUtc) {
  FakeModules modules;
  modules.health.last_successful_reload =
      std::chrono::system_clock::time_point(std::chrono::seconds(1772366405));
  modules.settings["HealthApiKey"] = "Key1";
  FakeApi server(modules);
  server.start();
  auto reply =
      http_request(server.port(), "GET", "/internal/health/check", "", {{"x-api-key", "Key1"}});
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->status, 200);
  EXPECT_EQ(json::parse(reply->body),
            json::parse(R"({"last_reload":"2026-03-01T12:00:05Z","configuration":"Current"})"));
}

TEST(Health, KeyDifferingInCaseIsRefusedAndAudited) {
  FakeModules modules;
  modules.settings["HealthApiKey"] = "Key1";
  logger::LogCapture logs;
  FakeApi server(modules);
  server.start();
  for (const std::string key : {"key1", ""}) {
    std::map<std::string, std::string> headers;
    if (!key.empty()) {
      headers["X-API-Key"] = key;
    }
    auto reply = http_request(server.port(), "GET", "/internal/health/check", "", headers);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, 401);
    EXPECT_EQ(reply->body, "");
  }
  server.shutdown();
  auto audits = modules.audit_records();
  ASSERT_EQ(audits.size(), 2u);
  EXPECT_EQ(audits[0].app_code, "auth_failed");
  EXPECT_EQ(audits[0].user, "-");
  EXPECT_TRUE(logs.contains(Level::warning, "Unauthorized /internal/health/check from 127.0.0.1"));
}

TEST(LogsReopen, OffWithoutKeyWhateverIsSent) {
  FakeModules modules;
  logger::LogCapture logs;
  FakeApi server(modules);
  server.start();
  for (int i = 0; i < 2; ++i) {
    auto reply =
        http_request(server.port(), "POST", "/internal/logs/reopen", "", {{"X-API-Key", ""}});
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, 404);
  }
  server.shutdown();
  EXPECT_EQ(modules.reopen_calls, 0);
  EXPECT_EQ(logs.messages(Level::warning).size(), 2u);
  EXPECT_TRUE(logs.contains(Level::warning,
                            "/internal/logs/reopen is not enabled: LogsApiKey is not configured"));
  auto audits = modules.audit_records();
  ASSERT_EQ(audits.size(), 2u);
  EXPECT_EQ(audits[0].app_code, "endpoint_not_enabled");
}

TEST(LogsReopen, ReopensOnlyWithTheRightKey) {
  FakeModules modules;
  modules.settings["LogsApiKey"] = "s3cret";
  FakeApi server(modules);
  server.start();
  auto wrong =
      http_request(server.port(), "POST", "/internal/logs/reopen", "", {{"X-API-Key", "S3cret"}});
  ASSERT_TRUE(wrong);
  EXPECT_EQ(wrong->status, 401);
  EXPECT_EQ(modules.reopen_calls, 0);
  auto right =
      http_request(server.port(), "POST", "/internal/logs/reopen", "", {{"X-API-Key", "s3cret"}});
  ASSERT_TRUE(right);
  EXPECT_EQ(right->status, 200);
  EXPECT_EQ(json::parse(right->body), json::parse(R"({"status":"ok"})"));
  EXPECT_EQ(modules.reopen_calls, 1);
  server.shutdown();
  ASSERT_EQ(modules.audit_records().size(), 1u);  // only the failure
}

TEST(Shutdown, WithNothingInFlightStopsAtOnce) {
  FakeModules modules;
  logger::LogCapture logs;
  FakeApi server(modules);
  server.start();
  server.shutdown(30);
  EXPECT_TRUE(logs.contains(Level::info, "Graceful shutdown: waiting for active requests..."));
  EXPECT_TRUE(logs.messages(Level::warning).empty());
  // Nothing listens any more.
  RawClient late(server.port());
  EXPECT_FALSE(late.connected() && late.send("GET /internal/health/check HTTP/1.1\r\n\r\n") &&
               late.read_reply().has_value());
}

TEST(Shutdown, DrainsTheRunningRequestAndRefusesNewOnes) {
  FakeModules modules;
  modules.add_alias("echo", json{{"type", "process"}, {"command", "x"}});
  modules.who = auth::AuthResult{"alice", {"echo"}};
  modules.close_gate();
  logger::LogCapture logs;
  FakeApi server(modules);
  server.start();

  std::optional<HttpReply> running;
  std::thread client([&] { running = http_request(server.port(), "POST", "/v1/echo"); });
  modules.wait_held(1);

  std::atomic<bool> returned{false};
  std::thread stopper([&] {
    server.api().graceful_shutdown(30);
    returned = true;
  });
  // A request during draining is refused, whatever its route.
  std::optional<HttpReply> refused;
  for (;;) {
    refused = http_request(server.port(), "GET", "/internal/health/check");
    if (refused && refused->status == 503) {
      break;
    }
    std::this_thread::yield();
  }
  EXPECT_EQ(refused->body, "Service is shutting down");
  EXPECT_FALSE(returned);

  modules.open_gate();
  client.join();
  stopper.join();
  server.shutdown();
  ASSERT_TRUE(running);
  EXPECT_EQ(running->status, 200);
  EXPECT_TRUE(logs.messages(Level::warning).empty());

  bool saw_refusal = false;
  for (const auto& a : modules.audit_records()) {
    if (a.status == 503) {
      saw_refusal = true;
      EXPECT_EQ(a.app_code, "service_unavailable");
      EXPECT_EQ(a.user, "-");
      EXPECT_EQ(a.exit_code, AuditValue());
    }
  }
  EXPECT_TRUE(saw_refusal);
}

TEST(Shutdown, TimeLimitReportsTheRequestsStillActive) {
  FakeModules modules;
  modules.add_alias("echo", json{{"type", "process"}, {"command", "x"}});
  modules.who = auth::AuthResult{"alice", {"echo"}};
  modules.close_gate();
  logger::LogCapture logs;
  FakeApi server(modules);
  server.start();
  std::optional<HttpReply> running;
  std::thread client([&] { running = http_request(server.port(), "POST", "/v1/echo"); });
  modules.wait_held(1);

  server.shutdown(0.2);  // start() has returned
  EXPECT_TRUE(
      logs.contains(Level::warning, "Shutdown timeout (0.2s) with 1 requests still active"));
  modules.open_gate();
  client.join();
  // A request already inside its handler still gets its answer.
  ASSERT_TRUE(running);
  EXPECT_EQ(running->status, 200);
}

TEST(Shutdown, WholeTimeoutIsPrintedAsInteger) {
  FakeModules modules;
  modules.add_alias("echo", json{{"type", "process"}, {"command", "x"}});
  modules.who = auth::AuthResult{"alice", {"echo"}};
  modules.close_gate();
  logger::LogCapture logs;
  FakeApi server(modules);
  server.start();
  std::thread client([&] { http_request(server.port(), "POST", "/v1/echo"); });
  modules.wait_held(1);
  server.shutdown(0);
  modules.open_gate();
  client.join();
  EXPECT_TRUE(logs.contains(Level::warning, "Shutdown timeout (0s) with 1 requests still active"));
}

// A request whose head arrived before the drain began, but that was not yet
// counted when the drain found nothing to wait for: it must be refused, not
// served behind the drain's back (at exit it would be cut off).
TEST(Shutdown, NoRequestIsAdmittedOnceTheDrainHasCountedZero) {
  FakeModules modules;
  FakeApi server(modules);
  std::promise<void> arrived;
  std::promise<void> open;
  std::shared_future<void> opened = open.get_future().share();
  api::detail::AdmissionGate::set(server.api(), [&, first = std::make_shared<std::once_flag>()] {
    std::call_once(*first, [&] {
      arrived.set_value();
      opened.wait();
    });
  });
  server.start();
  std::optional<HttpReply> reply;
  std::thread client([&] { reply = http_request(server.port(), "GET", "/internal/health/check"); });
  ASSERT_EQ(arrived.get_future().wait_for(std::chrono::seconds(20)), std::future_status::ready);

  server.api().graceful_shutdown(5);  // nothing counted: returns at once
  open.set_value();
  client.join();
  server.shutdown();
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->status, 503);
  EXPECT_EQ(reply->body, "Service is shutting down");
}

std::uint16_t free_port() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  socklen_t len = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  ::close(fd);
  return ntohs(addr.sin_port);
}

TEST(Start, EmptyAddressListensOnEveryInterface) {
  FakeModules modules;
  const std::uint16_t port = free_port();
  modules.settings = {{"ListenAddress", ""}, {"ListenPort", std::to_string(port)}};
  logger::LogCapture logs;
  FakeApi server(modules);
  server.start(true);
  EXPECT_EQ(server.port(), port);
  EXPECT_TRUE(logs.contains(Level::info,
                            "Listening on 0.0.0.0:" + std::to_string(port) + ", SSL disabled"));
  EXPECT_EQ(http_request(port, "GET", "/internal/health/check")->status, 200);
}

TEST(Start, PortZeroMeansEighty) {
  FakeModules modules;
  modules.settings = {{"ListenAddress", "127.0.0.1"}, {"ListenPort", "0"}};
  logger::LogCapture logs;
  FakeApi server(modules);
  try {
    server.start(true);  // may be refused without the right to bind port 80
  } catch (const std::exception&) {
  }
  EXPECT_TRUE(logs.contains(Level::info, "Listening on 127.0.0.1:80, SSL disabled"));
}

TEST(Start, AddressInUseThrows) {
  FakeModules modules;
  FakeApi first(modules);
  first.start();
  modules.settings = {{"ListenAddress", "127.0.0.1"}, {"ListenPort", std::to_string(first.port())}};
  FakeApi second(modules);
  EXPECT_ANY_THROW(second.start(true));
}

TEST(Shutdown, BeforeStartMakesStartReturn) {
  FakeModules modules;
  api::API api(modules.services());
  api.graceful_shutdown(0);
  api.start_on("127.0.0.1", 0);  // returns at once
  SUCCEED();
}

TEST(Limits, OversizedBodyIs413AndTheServerStillAnswers) {
  FakeModules modules;
  modules.add_alias("echo", json{{"type", "process"}, {"command", "x"}});
  modules.who = auth::AuthResult{"alice", {"echo"}};
  FakeApi server(modules);
  server.start();
  {
    RawClient client(server.port());
    ASSERT_TRUE(client.send("POST /v1/echo HTTP/1.1\r\nHost: x\r\nContent-Type: "
                            "application/json\r\nContent-Length: 17825792\r\n\r\n"));
    auto reply = client.read_reply();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, 413);
  }
  {
    // Chunked bodies are held to the same limit.
    RawClient client(server.port());
    ASSERT_TRUE(client.send("POST /v1/echo HTTP/1.1\r\nHost: x\r\nContent-Type: "
                            "application/json\r\nTransfer-Encoding: chunked\r\n\r\n"));
    std::string chunk(1 << 20, 'a');
    char size[32];
    std::snprintf(size, sizeof size, "%zx\r\n", chunk.size());
    bool sent = true;
    for (int i = 0; i < 17 && sent; ++i) {
      sent = client.send(size + chunk + "\r\n");
    }
    auto reply = client.read_reply();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, 413);
  }
  EXPECT_EQ(http_request(server.port(), "POST", "/v1/echo")->status, 200);
  server.shutdown();
  EXPECT_TRUE(modules.executed_params.size() == 1u);
  auto audits = modules.audit_records();
  ASSERT_EQ(audits.size(), 3u);
  EXPECT_EQ(audits[0].status, 413);
}

TEST(Limits, TooManyHeadersIs431) {
  FakeModules modules;
  FakeApi server(modules);
  server.start();
  RawClient client(server.port());
  std::string request = "GET /internal/health/check HTTP/1.1\r\nHost: x\r\n";
  for (int i = 0; i < 200; ++i) {
    request += "X-H" + std::to_string(i) + ": v\r\n";
  }
  ASSERT_TRUE(client.send(request + "\r\n"));
  auto reply = client.read_reply();
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->status, 431);
}

TEST(Limits, SlowClientsDoNotBlockOthersAndAreCutByTheDeadline) {
  FakeModules modules;
  api::ServerLimits limits;
  limits.header_timeout = std::chrono::milliseconds(500);
  FakeApi server(modules, limits);
  server.start();
  std::vector<std::unique_ptr<RawClient>> slow;
  for (int i = 0; i < 50; ++i) {
    slow.push_back(std::make_unique<RawClient>(server.port()));
    ASSERT_TRUE(slow.back()->send("GET /internal/health/che"));
  }
  auto reply = http_request(server.port(), "GET", "/internal/health/check");
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->status, 200);
  for (auto& client : slow) {
    EXPECT_TRUE(client->wait_closed());
  }
}

TEST(Limits, AcceptingResumesWhenAConnectionBelowTheLimitEnds) {
  FakeModules modules;
  api::ServerLimits limits;
  limits.max_connections = 2;
  FakeApi server(modules, limits);
  server.start();
  auto first = std::make_unique<RawClient>(server.port());
  RawClient second(server.port());
  ASSERT_TRUE(first->send("GET /internal/health/check HTTP/1.1\r\nHost: x\r\n\r\n"));
  ASSERT_TRUE(first->read_reply());
  ASSERT_TRUE(second.send("GET /internal/health/check HTTP/1.1\r\nHost: x\r\n\r\n"));
  ASSERT_TRUE(second.read_reply());
  // Both keep-alive connections are held open: the third waits in the backlog
  // until one of them goes away.
  RawClient third(server.port());
  ASSERT_TRUE(third.send("GET /internal/health/check HTTP/1.1\r\nHost: x\r\n\r\n"));
  first.reset();
  auto reply = third.read_reply();
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->status, 200);
}

TEST(Connection, KeepAliveServesSeveralRequestsAndCustomReasons) {
  FakeModules modules;
  modules.add_alias(
      "echo", json{{"type", "process"}, {"command", "x"}, {"exitCodes", {{"0", "422 Bad Input"}}}});
  modules.who = auth::AuthResult{"alice", {"echo"}};
  FakeApi server(modules);
  server.start();
  RawClient client(server.port());
  // Two pipelined requests on one connection.
  ASSERT_TRUE(client.send("POST /v1/echo HTTP/1.1\r\nHost: x\r\nContent-Length: 2\r\nContent-Type: "
                          "application/json\r\n\r\n{}"
                          "GET /internal/health/check HTTP/1.1\r\nHost: x\r\n\r\n"));
  auto first = client.read_reply();
  ASSERT_TRUE(first);
  EXPECT_EQ(first->status, 422);
  EXPECT_EQ(first->reason, "Bad Input");
  EXPECT_EQ(first->headers["content-type"], "text/plain");
  auto second = client.read_reply();
  ASSERT_TRUE(second);
  EXPECT_EQ(second->status, 200);
  EXPECT_EQ(second->reason, "OK");
}

TEST(Signals, HandlersRunOnTheServingThreadInOrder) {
  sigset_t mask;
  sigemptyset(&mask);
  sigaddset(&mask, SIGUSR1);
  sigaddset(&mask, SIGUSR2);
  sigset_t old;
  ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &mask, &old), 0);

  FakeModules modules;
  api::API api(modules.services());
  std::vector<int> seen;
  std::thread::id serving_thread;
  std::thread stopper;
  api.set_signal_handlers({{SIGUSR1, [&](int s) { seen.push_back(s); }},
                           {SIGUSR2, [&](int s) {
                              seen.push_back(s);
                              serving_thread = std::this_thread::get_id();
                              stopper = std::thread([&api] { api.graceful_shutdown(0); });
                            }}});
  std::thread::id start_thread;
  std::thread runner([&] {
    start_thread = std::this_thread::get_id();
    api.start_on("127.0.0.1", 0);
  });
  while (api.port() == 0) {
    std::this_thread::yield();
  }
  // Thread-directed, so no other thread of the test binary can take them.
  pthread_kill(runner.native_handle(), SIGUSR1);
  pthread_kill(runner.native_handle(), SIGUSR2);
  runner.join();
  stopper.join();
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  EXPECT_EQ(seen, (std::vector<int>{SIGUSR1, SIGUSR2}));
  EXPECT_EQ(serving_thread, start_thread);
}

}  // namespace
}  // namespace velquin::testing
