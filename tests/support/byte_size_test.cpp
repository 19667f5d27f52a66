#include "support/byte_size.h"

#include <gtest/gtest.h>

namespace velquin::support {
namespace {

struct SizeCase {
  const char* text;
  std::optional<std::int64_t> bytes;
};

class ByteSize : public ::testing::TestWithParam<SizeCase> {};

TEST_P(ByteSize, ParsesUnitsAndRefusesTheRest) {
  EXPECT_EQ(parse_byte_size(GetParam().text), GetParam().bytes) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, ByteSize,
    ::testing::Values(SizeCase{"4096", 4096}, SizeCase{"256Mi", 268435456},
                      SizeCase{"1.5Gi", 1610612736}, SizeCase{"2k", 2000},
                      SizeCase{"1T", 1000000000000}, SizeCase{"", std::nullopt},
                      SizeCase{"0", std::nullopt}, SizeCase{"256MB", std::nullopt},
                      SizeCase{"-1Mi", std::nullopt}, SizeCase{"1.2.3", std::nullopt},
                      SizeCase{".5G", std::nullopt}, SizeCase{"99999999999Ti", std::nullopt},
                      SizeCase{"Mi", std::nullopt}));

}  // namespace
}  // namespace velquin::support
