// The admission and run-limit entries of an alias definition.

#include <cmath>

#include "config/alias_checks.h"
#include "support/byte_size.h"
#include "support/quoted.h"

namespace velquin::config::detail {

namespace {

const std::set<std::string_view> LIMIT_KEYS = {"memory", "pids", "cpus", "openFiles"};

// A whole number from YAML: an integer, never a boolean or a fraction.
std::optional<std::int64_t> whole(const Json& value) {
  if (value.is_number_integer()) {
    return value.get<std::int64_t>();
  }
  return std::nullopt;
}

}  // namespace

void DefinitionChecker::admission(const Json& alias_cfg) {
  const Json* concurrency = given(alias_cfg, "concurrency");
  if (concurrency != nullptr) {
    const auto n = whole(*concurrency);
    if (!n || *n < 1) {
      error("concurrency must be a whole number of runs, 1 or more");
    } else {
      out_.concurrency = *n;
    }
  }
  if (const Json* queue = given(alias_cfg, "queue")) {
    const auto n = whole(*queue);
    if (!n || *n < 0) {
      error("queue must be a whole number of requests, 0 or more");
    } else if (concurrency == nullptr) {
      // Without a concurrency there is never anything to wait for.
      error("queue applies only with concurrency");
    } else {
      out_.queue = *n;
    }
  }
}

void DefinitionChecker::limits(const Json& alias_cfg) {
  const Json* limits = given(alias_cfg, "limits");
  if (limits == nullptr) {
    return;
  }
  if (!limits->is_object()) {
    error("limits must be a mapping");
    return;
  }
  unknown_keys(*limits, LIMIT_KEYS, "limits: ");
  alias::RunLimits& out = out_.limits;
  if (const Json* memory = given(*limits, "memory")) {
    std::optional<std::int64_t> bytes;
    if (memory->is_string()) {
      bytes = support::parse_byte_size(memory->get_ref<const std::string&>());
    } else if (const auto n = whole(*memory); n && *n > 0) {
      bytes = n;
    }
    if (!bytes) {
      error("limits.memory must be a size such as '256Mi', not " + support::quoted(*memory));
    }
    out.memory = bytes;
  }
  for (const auto& [key, field] : {std::pair{"pids", &out.pids}, {"openFiles", &out.open_files}}) {
    if (const Json* value = given(*limits, key)) {
      const auto n = whole(*value);
      if (!n || *n < 1) {
        error(std::string("limits.") + key + " must be a whole number, 1 or more");
      } else {
        *field = *n;
      }
    }
  }
  if (const Json* cpus = given(*limits, "cpus")) {
    const double n = is_plain_number(*cpus) ? cpus->get<double>() : 0;
    if (!(n > 0) || !std::isfinite(n) || n > 1e6) {
      error("limits.cpus must be a positive number of CPUs, such as 0.5");
    } else {
      out.cpus = n;
    }
  }
}

}  // namespace velquin::config::detail
