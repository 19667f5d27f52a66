// MaxOutputSize through the real binary: a flood on stdout and a huge sparse
// file output end as ordinary failed runs, with the output named in the log.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "e2e/harness.h"

namespace velquin::e2e {
namespace {

using ::testing::HasSubstr;
using json = nlohmann::json;

const char* kAliases = R"(
flood:
  type: process
  command: "head -c 400000000 /dev/zero"
sparse:
  type: process
  command: "truncate -s 400000000 {{ run_dir }}/big"
  output:
    single_value:
      source: big
)";

struct CapCase {
  const char* alias;
  const char* logged;
};

class OutputCap : public ::testing::TestWithParam<CapCase> {
 protected:
  static void SetUpTestSuite() {
    ServiceOptions opts;
    opts.allowed_aliases = {"flood", "sparse"};
    service_ = new Service(opts);
    service_->write_alias_file("caps.yaml", kAliases);
    service_->start();
  }
  static void TearDownTestSuite() {
    service_->stop();
    delete service_;
    service_ = nullptr;
  }
  static Service* service_;
};
Service* OutputCap::service_ = nullptr;

TEST_P(OutputCap, FailsTheRunAndNamesTheOutput) {
  auto r = service_->execute(GetParam().alias);
  EXPECT_EQ(r.status, 500);
  EXPECT_EQ(r.body, "Internal server error");
  EXPECT_EQ(service_->audit().back()["app_code"], "processing_failed");
  EXPECT_THAT(service_->app_log(),
              HasSubstr(std::string("ERROR velquin [") +
                        service_->audit().back()["correlation_id"].get<std::string>() +
                        "] Process execution error: " + GetParam().logged));
  EXPECT_TRUE(service_->running());
}

INSTANTIATE_TEST_SUITE_P(
    Outputs, OutputCap,
    ::testing::Values(CapCase{"flood", "stdout exceeded MaxOutputSize (67108864 bytes)"},
                      CapCase{"sparse", "output 'big' exceeded MaxOutputSize (67108864 bytes)"}),
    [](const auto& param_info) { return std::string(param_info.param.alias); });

}  // namespace
}  // namespace velquin::e2e
