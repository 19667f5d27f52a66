#include <memory>
#include <string>

#include <gtest/gtest.h>
#include <re2/re2.h>

#include "config/pattern_cache.h"

namespace velquin::config::detail {
namespace {

TEST(PatternCacheTest, SharesOnePatternWhileItIsInUse) {
  auto first = compiled_pattern("^[a-z ]{1,64}$");
  auto second = compiled_pattern("^[a-z ]{1,64}$");
  ASSERT_TRUE(first->ok());
  EXPECT_EQ(first.get(), second.get());
  EXPECT_NE(first.get(), compiled_pattern("^[a-z ]{1,63}$").get());
  EXPECT_TRUE(RE2::FullMatch("hello", *second));
  EXPECT_FALSE(RE2::FullMatch("Hello", *second));
}

TEST(PatternCacheTest, ReportsTheErrorOfABadPatternEachTime) {
  for (int i = 0; i < 2; ++i) {
    auto re = compiled_pattern("(unclosed");
    EXPECT_FALSE(re->ok());
    EXPECT_EQ(re->error(), "missing ): (unclosed");
  }
}

// A pattern no alias holds any more is freed, not kept for the life of the process.
TEST(PatternCacheTest, HoldsNoPatternOnceItsAliasesAreGone) {
  std::weak_ptr<const re2::RE2> dropped = compiled_pattern("^dropped-[0-9]+$");
  EXPECT_TRUE(dropped.expired());
  EXPECT_TRUE(compiled_pattern("^dropped-[0-9]+$")->ok());
}

}  // namespace
}  // namespace velquin::config::detail
