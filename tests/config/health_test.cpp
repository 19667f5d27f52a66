#include "config/config.h"

#include <gtest/gtest.h>

namespace velquin::config {
namespace {

using Clock = std::chrono::system_clock;

TEST(Health, FreshObjectIsCurrentWithoutTime) {
  Config c;
  const HealthStatus s = c.get_health_status();
  EXPECT_TRUE(s.is_current);
  EXPECT_FALSE(s.last_successful_reload.has_value());
}

TEST(Health, SuccessfulRecordsBeforeStartupAlsoSetTheTime) {
  Config c;
  c.record_alias_reload(true);
  EXPECT_TRUE(c.get_health_status().last_successful_reload.has_value());
}

TEST(Health, FailureFreezesTimeUntilBothKindsRecover) {
  Config c;
  const auto before = Clock::now();
  c.record_startup_success();
  const auto started = c.get_health_status().last_successful_reload;
  ASSERT_TRUE(started.has_value());
  EXPECT_GE(*started, before);

  c.record_alias_reload(false);
  EXPECT_FALSE(c.get_health_status().is_current);
  EXPECT_EQ(c.get_health_status().last_successful_reload, started);

  c.record_auth_reload(true);  // the other kind is still failed
  EXPECT_FALSE(c.get_health_status().is_current);
  EXPECT_EQ(c.get_health_status().last_successful_reload, started);

  c.record_auth_reload(false);
  c.record_alias_reload(true);
  EXPECT_FALSE(c.get_health_status().is_current);  // degraded (authentication)
  EXPECT_EQ(c.get_health_status().last_successful_reload, started);

  c.record_auth_reload(true);
  const HealthStatus recovered = c.get_health_status();
  EXPECT_TRUE(recovered.is_current);
  ASSERT_TRUE(recovered.last_successful_reload.has_value());
  EXPECT_GE(*recovered.last_successful_reload, *started);
}

TEST(Health, StartupSuccessClearsBothFlags) {
  Config c;
  c.record_auth_reload(false);
  c.record_alias_reload(false);
  EXPECT_FALSE(c.get_health_status().last_successful_reload.has_value());
  c.record_startup_success();
  EXPECT_TRUE(c.get_health_status().is_current);
  EXPECT_TRUE(c.get_health_status().last_successful_reload.has_value());
}

}  // namespace
}  // namespace velquin::config
