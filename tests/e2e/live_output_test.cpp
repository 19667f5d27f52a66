// Live output through the real binary. Every wait is a handshake on what the
// client has read, never a guess at how long the command takes.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "e2e/harness.h"
#include "support/fd.h"
#include "support/processes.h"
#include "support/scope_exit.h"

namespace velquin::e2e {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

// A streaming request on a connection of its own, read as it arrives.
class LiveClient {
 public:
  LiveClient(unsigned short port, const std::string& alias, bool events) {
    fd_.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd_.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      throw std::runtime_error("connect failed");
    }
    const std::string request = "POST /v1/" + alias + " HTTP/1.1\r\nHost: x\r\n" +
                                "Authorization: Bearer " + kApiKey + "\r\n" +
                                (events ? "Accept: text/event-stream\r\n" : "") +
                                "Connection: close\r\nContent-Length: 0\r\n\r\n";
    ::send(fd_.get(), request.data(), request.size(), MSG_NOSIGNAL);
  }

  // The body received so far without its chunk framing; the trailers follow
  // it as sent.
  std::string body() const {
    std::string out;
    std::size_t at = received.find("\r\n\r\n");
    at = at == std::string::npos ? at : at + 4;
    while (at != std::string::npos) {
      const std::size_t eol = received.find("\r\n", at);
      if (eol == std::string::npos) {
        break;
      }
      const std::size_t size = std::stoul(received.substr(at, eol - at), nullptr, 16);
      if (size == 0) {
        return out + received.substr(eol + 2);
      }
      if (received.size() < eol + 2 + size + 2) {
        break;
      }
      out += received.substr(eol + 2, size);
      at = eol + 2 + size + 2;
    }
    return out;
  }

  // Reads until the body holds `text` or the connection ends; the guard only
  // keeps a broken service from hanging the suite.
  bool read_until(const std::string& text) {
    const auto guard = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (body().find(text) == std::string::npos) {
      pollfd p{fd_.get(), POLLIN, 0};
      if (std::chrono::steady_clock::now() > guard || ::poll(&p, 1, 100) < 0) {
        return false;
      }
      if (p.revents == 0) {
        continue;
      }
      char buf[4096];
      const ssize_t n = ::read(fd_.get(), buf, sizeof buf);
      if (n <= 0) {
        return false;
      }
      received.append(buf, static_cast<std::size_t>(n));
    }
    return true;
  }

  void close() { fd_.reset(); }

  std::string received;

 private:
  support::UniqueFd fd_;
};

ServiceOptions options(std::vector<std::string> aliases) {
  ServiceOptions opts;
  opts.allowed_aliases = std::move(aliases);
  return opts;
}

TEST(LiveOutput, LinesArriveWhileTheCommandRuns) {
  Service service(options({"gate"}));
  const fs::path sentinel = service.dir() / "sentinel";
  service.write_alias_file("gate.yaml", "gate:\n  type: process\n  stream: true\n  timeout: 60\n"
                                        "  command: \"echo one; until [ -e " +
                                            sentinel.string() +
                                            " ]; do sleep 0.05; done; echo two\"\n");
  service.start();
  LiveClient client(service.port(), "gate", true);
  ASSERT_TRUE(client.read_until("data: one\n\n")) << client.received;
  EXPECT_THAT(client.body(), Not(HasSubstr("two")));
  std::ofstream(sentinel).put('\n');
  ASSERT_TRUE(client.read_until("event: exit\n")) << client.received;
  ASSERT_TRUE(client.read_until("}\n\n"));
  EXPECT_THAT(client.body(),
              HasSubstr("event: stdout\ndata: one\n\nevent: stdout\ndata: two\n\nevent: exit\n"
                        "data: {\"exit_code\": 0, \"status\": 200, \"reason\": \"OK\", "
                        "\"timed_out\": false}\n\n"));
  EXPECT_THAT(client.received, HasSubstr("Content-Type: text/event-stream\r\n"));
  EXPECT_EQ(service.stop(), 0);
}

TEST(LiveOutput, ClientThatHangsUpEndsTheWholeRun) {
  Service service(options({"hang"}));
  service.write_alias_file("hang.yaml", R"(
hang:
  type: process
  stream: true
  timeout: 600
  environment: {VQ_MARK: live-hangup}
  files: [{location: in.txt, content: x}]
  command: "echo first; setsid sleep 600 & sleep 600"
)");
  service.start();
  // Whatever the outcome, nothing of the run outlives the test.
  support::ScopeExit sweep([] { testing::kill_marked("VQ_MARK=live-hangup"); });
  LiveClient client(service.port(), "hang", false);
  ASSERT_TRUE(client.read_until("first\n")) << client.received;
  EXPECT_THAT(testing::marked_processes("VQ_MARK=live-hangup"), Not(IsEmpty()));
  client.close();
  ASSERT_TRUE(service.wait_for_log("Client disconnected from streaming alias 'hang'"))
      << service.app_log();
  EXPECT_THAT(testing::marked_processes("VQ_MARK=live-hangup"), IsEmpty());
  EXPECT_EQ(service.stop(), 0);  // the audit line is written by now
  EXPECT_THAT(service.audit().back()["app_code"], "processing_failed");
  EXPECT_TRUE(fs::is_empty(service.dir() / "shared")) << "a run directory was left behind";
}

struct OutcomeCase {
  const char* alias;
  bool events;
  const char* expected;  // in the raw response
  int audit_status;
  const char* app_code;
  std::vector<const char*> also = {};  // elsewhere in the body
};

class LiveOutcome : public ::testing::TestWithParam<OutcomeCase> {};

// The status line says 200; the outcome travels in the body and the audit.
TEST_P(LiveOutcome, ReportsTheMappedOutcome) {
  Service service(options({"mapped", "late"}));
  service.write_alias_file("outcomes.yaml", R"(
mapped:
  type: process
  stream: true
  command: printf 'a\377b\r\nc'; echo oops >&2; exit 3
  exitCodes: {3: "422 Bad Input"}
late:
  type: process
  stream: true
  timeout: 1
  command: "echo started; sleep 30"
)");
  service.start();
  const OutcomeCase& c = GetParam();
  LiveClient client(service.port(), c.alias, c.events);
  EXPECT_TRUE(client.read_until(c.expected)) << client.body();
  for (const char* part : c.also) {
    EXPECT_THAT(client.body(), HasSubstr(part));
  }
  EXPECT_THAT(client.received, HasSubstr("HTTP/1.1 200 OK\r\n"));
  EXPECT_EQ(service.stop(), 0);
  const auto audit = service.audit().back();
  EXPECT_EQ(audit["status"], c.audit_status);
  EXPECT_EQ(audit["app_code"], c.app_code);
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, LiveOutcome,
    ::testing::Values(
        OutcomeCase{"mapped", false,
                    "a\xEF\xBF\xBD"
                    "b\ncVelquin-Exit-Code: 3\r\nVelquin-Status: 422\r\n\r\n",
                    422, "execution_failed"},
        // stdout and stderr are two pipes: their events may come in either order.
        OutcomeCase{"mapped",
                    true,
                    "event: exit\ndata: {\"exit_code\": 3, "
                    "\"status\": 422, \"reason\": \"Bad Input\", \"timed_out\": false}\n\n",
                    422,
                    "execution_failed",
                    {"event: stdout\ndata: c\n\n", "event: stderr\ndata: oops\n\n"}},
        OutcomeCase{"late", true,
                    "data: started\n\nevent: exit\ndata: {\"exit_code\": null, \"status\": 408, "
                    "\"reason\": \"Request Timeout\", \"timed_out\": true}\n\n",
                    408, "execution_timeout"}),
    [](const auto& param_info) {
      return std::string(param_info.param.alias) +
             (param_info.param.events ? "_events" : "_chunked");
    });

}  // namespace
}  // namespace velquin::e2e
