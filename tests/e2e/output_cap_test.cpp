// MaxOutputSize through the real binary: a flood on stdout and a huge sparse
// file output end as ordinary failed runs, with the output named in the log.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "e2e/harness.h"

namespace velquin::e2e {
namespace {

using ::testing::HasSubstr;

TEST(OutputCap, FailsTheRunAndNamesTheOutput) {
  ServiceOptions opts;
  opts.allowed_aliases = {"flood", "sparse"};
  Service service(opts);
  service.write_alias_file("caps.yaml", R"(
flood:
  type: process
  command: "head -c 400000000 /dev/zero"
sparse:
  type: process
  command: "truncate -s 400000000 {{ run_dir }}/big"
  output:
    single_value:
      source: big
)");
  service.start();
  for (const auto& [alias, logged] :
       {std::pair{"flood", "stdout exceeded MaxOutputSize (67108864 bytes)"},
        std::pair{"sparse", "output 'big' exceeded MaxOutputSize (67108864 bytes)"}}) {
    auto r = service.execute(alias);
    EXPECT_EQ(r.status, 500) << alias;
    EXPECT_EQ(r.body, "Internal server error");
    const auto audit = service.audit().back();
    EXPECT_EQ(audit["app_code"], "processing_failed");
    EXPECT_THAT(service.app_log(),
                HasSubstr("ERROR velquin [" + audit["correlation_id"].get<std::string>() +
                          "] Process execution error: " + logged));
  }
  EXPECT_EQ(service.stop(), 0);
}

}  // namespace
}  // namespace velquin::e2e
