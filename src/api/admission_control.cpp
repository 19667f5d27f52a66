#include "api/admission_control.h"

#include "metrics/metrics.h"
#include "support/quoted.h"

namespace velquin::api::detail {

Response too_many_requests(std::int64_t retry_after) {
  Response res = text_response(429, "Too many requests");
  res.headers.emplace_back("Retry-After", std::to_string(retry_after));
  return res;
}

std::optional<Response> check_rate(RateLimiter& limiter, RequestContext& ctx,
                                   const auth::AuthResult& who, const std::string& alias_name) {
  if (!who.rate) {
    return std::nullopt;
  }
  const std::int64_t wait = limiter.take(who.rate_key, *who.rate, std::chrono::steady_clock::now());
  if (wait == 0) {
    return std::nullopt;
  }
  ctx.app_code = std::string(CODE_TOO_MANY_REQUESTS);
  metrics::admission_refused("rate");
  logger::warning("User " + support::quoted(ctx.user_id) + " is over its rate (" + who.rate->text +
                  ") for alias " + support::quoted(alias_name));
  Response res = too_many_requests(wait);
  res.close = true;  // the body stays unread
  return res;
}

std::optional<Response> take_run_slot(RunSlots& slots, RequestContext& ctx,
                                      const alias::Alias& alias_def, executor::RunContext& context,
                                      RunSlots::Lease& lease) {
  const RunSlots::Limits limits{alias_def.concurrency, alias_def.queue,
                                ctx.settings->max_concurrent_runs};
  const auto waited_from = std::chrono::steady_clock::now();
  const auto deadline =
      waited_from + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                        std::chrono::duration<double>(context.time_limit.seconds));
  const std::string name = support::quoted(alias_def.name);
  switch (slots.acquire(alias_def.name, limits, deadline, lease)) {
  case RunSlots::Outcome::granted:
    break;
  case RunSlots::Outcome::alias_full:
    ctx.app_code = std::string(CODE_TOO_MANY_REQUESTS);
    metrics::admission_refused("alias_full");
    logger::warning("Alias " + name + " is at its concurrency (" +
                    std::to_string(*alias_def.concurrency) + ") and its queue (" +
                    std::to_string(alias_def.queue) + ") is full");
    return too_many_requests(1);
  case RunSlots::Outcome::global_full:
    ctx.app_code = std::string(CODE_TOO_MANY_REQUESTS);
    metrics::admission_refused("global_full");
    logger::warning("MaxConcurrentRuns (" + std::to_string(limits.global) + ") reached: alias " +
                    name + " not started");
    return too_many_requests(1);
  case RunSlots::Outcome::timed_out:
    ctx.app_code = std::string(CODE_EXECUTION_TIMEOUT);
    metrics::admission_refused("queue_timeout");
    logger::warning("Alias " + name + " execution timed out: no run slot within " +
                    context.time_limit.text + " seconds");
    return text_response(408, "Execution timed out");
  }
  // The wait counts against the time limit; the rest is the run's.
  const double waited =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - waited_from).count();
  if (waited > 0.001) {
    context.time_limit.seconds = std::max(0.001, context.time_limit.seconds - waited);
  }
  return std::nullopt;
}

}  // namespace velquin::api::detail
