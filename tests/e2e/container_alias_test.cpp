// Container aliases through the real binary and a real Docker Engine.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "e2e/harness.h"

namespace velquin::e2e {
namespace {

using ::testing::HasSubstr;
using json = nlohmann::json;

const char* kImage = "velquin-test/busybox:latest";

bool container_exists(const std::string& short_id) {
  return command_output("docker ps -a --no-trunc -q 2>/dev/null").find(short_id) !=
         std::string::npos;
}

std::string aliases() {
  std::string image = kImage;
  return R"(
cecho:
  type: container
  image: )" +
         image + R"(
  command: "echo {{ message | shell }}"
  parameters:
    message:
      type: string
      default: hello
streams:
  type: container
  image: )" +
         image + R"(
  command: "sh -c 'echo out; echo err >&2; exit 3'"
  exitCodes:
    3: "422 Bad Input"
  output:
    multiple_values:
      - parameter_name: out
        source: "%stdOut"
      - parameter_name: err
        source: "%stdErr"
      - parameter_name: code
        source: "%exitCode"
csleep:
  type: container
  image: )" +
         image + R"(
  command: "sleep 30"
  timeout: 1
noimage:
  type: container
  image: velquin-test/does-not-exist:latest
  command: "true"
volumes:
  type: container
  image: )" +
         image + R"(
  command: "sh -c 'cat /in/auto.txt /in/param.txt /host/marker; mkdir -p /out/sub; echo x > /out/sub/f.txt; ln -s ../../../sentinel.txt /out/leak.txt'"
  parameters:
    message:
      type: string
      default: from-param
  volumes:
    - location: /in/auto.txt
      content: "automatic\n"
    - source: param.txt
      location: /in/param.txt
      content: "{{ message }}\n"
      mode: ro
    - source: )" +
         std::string(VELQUIN_SOURCE_DIR) + R"(/tests/e2e/data
      location: /host
    - source: out/
      location: /out
      preserve: true
  output:
    multiple_values:
      - parameter_name: stdout
        source: "%stdOut"
      - parameter_name: dir
        source: out/
      - parameter_name: leak
        source: out/leak.txt
)";
}

class ContainerAlias : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    const char* flag = std::getenv("VELQUIN_TEST_DOCKER");
    if (flag != nullptr && std::string(flag) == "0") {
      return;
    }
    ServiceOptions opts;
    opts.allowed_aliases = {"echo", "cecho", "streams", "csleep", "noimage", "volumes"};
    service_ = new Service(opts);
    service_->write_alias_file("containers.yaml", aliases());
    service_->start();
  }
  static void TearDownTestSuite() {
    if (service_ != nullptr) {
      service_->stop();
      delete service_;
      service_ = nullptr;
    }
  }
  void SetUp() override {
    if (service_ == nullptr) {
      GTEST_SKIP() << "VELQUIN_TEST_DOCKER=0: no Docker Engine for this run";
    }
  }
  static Service* service_;
};
Service* ContainerAlias::service_ = nullptr;

TEST_F(ContainerAlias, EchoThroughAContainer) {
  auto r = service_->execute("cecho", json{{"message", "hi there; $(id)"}});
  EXPECT_EQ(r.status, 200) << r.body;
  EXPECT_EQ(r.body, "hi there; $(id)\n");
  auto rec = service_->audit().back();
  EXPECT_EQ(rec["app_code"], "success");
  EXPECT_EQ(rec["exit_code"], 0);
  ASSERT_TRUE(rec["container_id"].is_string());
  EXPECT_EQ(rec["container_id"].get<std::string>().size(), 12u);
  EXPECT_TRUE(rec["image_id"].is_string());
  EXPECT_TRUE(rec["pid"].is_null());
  EXPECT_FALSE(container_exists(rec["container_id"]));
}

TEST_F(ContainerAlias, StreamsApartAndExitStatusMapped) {
  auto r = service_->execute("streams");
  EXPECT_EQ(r.status, 422);
  EXPECT_EQ(r.reason, "Bad Input");
  EXPECT_EQ(json::parse(r.body), (json{{"out", "out\n"}, {"err", "err\n"}, {"code", "3"}}));
}

TEST_F(ContainerAlias, TimeOutLeavesNoContainer) {
  auto r = service_->execute("csleep");
  EXPECT_EQ(r.status, 408);
  auto rec = service_->audit().back();
  EXPECT_EQ(rec["app_code"], "execution_timeout");
  ASSERT_TRUE(rec["container_id"].is_string());
  EXPECT_FALSE(container_exists(rec["container_id"]));
}

TEST_F(ContainerAlias, MissingImageIsAProcessingFailure) {
  auto r = service_->execute("noimage");
  EXPECT_EQ(r.status, 500);
  EXPECT_EQ(r.body, "Internal server error");
  EXPECT_EQ(service_->audit().back()["app_code"], "processing_failed");
  EXPECT_THAT(service_->app_log(), HasSubstr("Container image not found: "));
}

TEST_F(ContainerAlias, EveryVolumeKindAndPreservation) {
  // The planted link climbs from <run dir>/out to this sentinel in the test's own directory.
  std::ofstream(service_->dir() / "sentinel.txt") << "sentinel content";
  auto r = service_->execute("volumes", json{{"message", "rendered"}});
  ASSERT_EQ(r.status, 200) << r.body;
  auto body = json::parse(r.body);
  EXPECT_EQ(body["stdout"], "automatic\nrendered\nhost marker\n");
  EXPECT_FALSE(body["dir"].get<std::string>().empty());
  // A link the container planted must not make the service read a host file.
  EXPECT_EQ(body["leak"], "");
  auto cid = service_->audit().back()["correlation_id"].get<std::string>();
  auto preserved = service_->dir() / "logs" / cid / "sub" / "f.txt";
  EXPECT_EQ(testing::read_file(preserved), "x\n");
  EXPECT_FALSE(std::filesystem::exists(service_->dir() / "logs" / cid / "leak.txt"));
  EXPECT_THAT(service_->app_log(), HasSubstr("Volume preserve failed: "));
  EXPECT_EQ(std::filesystem::directory_iterator(service_->dir() / "shared"),
            std::filesystem::directory_iterator());
}

TEST(ContainerRefresh, AlwaysPullsFromTheLocalRegistry) {
  const char* flag = std::getenv("VELQUIN_TEST_DOCKER");
  if (flag != nullptr && std::string(flag) == "0") {
    GTEST_SKIP() << "VELQUIN_TEST_DOCKER=0: no Docker Engine for this run";
  }
  ServiceOptions opts;
  opts.allowed_aliases = {"echo", "pulled"};
  opts.config_lines = {"RefreshImage always"};
  Service s(opts);
  s.write_alias_file(
      "pulled.yaml",
      "pulled:\n  type: container\n  image: 127.0.0.1:5000/velquin-test/busybox:latest\n"
      "  command: echo pulled\n");
  s.start();
  auto r = s.execute("pulled");
  EXPECT_EQ(r.status, 200) << r.body;
  EXPECT_EQ(r.body, "pulled\n");
  EXPECT_EQ(s.stop(), 0);
}

}  // namespace
}  // namespace velquin::e2e
