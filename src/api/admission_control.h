#pragma once

// Who may start a run now: the caller's rate, the alias's slots and queue,
// and the service-wide run cap. Each refusal is the request's answer.

#include <optional>
#include <string>

#include "api/internal.h"
#include "api/rate_limiter.h"
#include "api/run_slots.h"

namespace velquin::api::detail {

inline constexpr std::string_view CODE_TOO_MANY_REQUESTS = "too_many_requests";

// 429 "Too many requests", with Retry-After in whole seconds.
Response too_many_requests(std::int64_t retry_after);

// Before the body: nullopt when the caller is within its rate.
std::optional<Response> check_rate(RateLimiter& limiter, RequestContext& ctx,
                                   const auth::AuthResult& who, const std::string& alias_name);

// After validation: nullopt when the run may start, holding `lease` to its
// end; the time spent waiting is taken off the run's time limit.
std::optional<Response> take_run_slot(RunSlots& slots, RequestContext& ctx,
                                      const alias::Alias& alias_def, executor::RunContext& context,
                                      RunSlots::Lease& lease);

}  // namespace velquin::api::detail
