#include "metrics/metrics.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <utility>

namespace velquin::metrics {
namespace {

// Upper bounds in seconds: from a quick `echo` to the longest time-outs.
constexpr std::array<double, 15> kBuckets = {0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1,
                                             2.5,   5,    10,    30,   60,  120,  300};

struct Histogram {
  std::array<std::uint64_t, kBuckets.size()> buckets{};  // not cumulative
  std::uint64_t count = 0;
  double sum = 0;
};

struct State {
  std::mutex lock;
  std::map<std::pair<int, std::string>, std::uint64_t, std::less<>> requests;  // guarded by lock
  std::map<std::string, Histogram, std::less<>> runs;                          // guarded by lock
  std::map<std::pair<std::string, std::string>, std::uint64_t> reloads;        // guarded by lock
  std::map<std::string, std::int64_t, std::less<>> queued;                     // guarded by lock
  std::map<std::string, std::uint64_t, std::less<>> refusals;                  // guarded by lock
  std::string version = "unknown";                                             // guarded by lock
  double start_seconds = 0;                                                    // guarded by lock
  std::atomic<std::int64_t> runs_in_flight{0};
  std::atomic<std::uint64_t> audit_failures{0};
  std::atomic<std::uint64_t> app_log_failures{0};
};

// Touched by request threads, the reloader and the loggers; never freed, so
// that a logger writing during exit still finds it.
State& state() {
  static auto* s = new State;
  return *s;
}

std::string number(double value) {
  char buf[64];
  const int n = std::snprintf(buf, sizeof buf, "%.17g", value);
  return {buf, static_cast<std::size_t>(n)};
}

// A label value in double quotes, with the format's three escapes.
std::string label(std::string_view value) {
  std::string out = "\"";
  for (char c : value) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '"') {
      out += "\\\"";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out + "\"";
}

void header(std::string& out, const char* name, const char* type, const char* help) {
  out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

}  // namespace

void record_request(int status, std::string_view app_code) {
  auto& s = state();
  std::lock_guard lock(s.lock);
  ++s.requests[{status, std::string(app_code)}];
}

void run_started() {
  ++state().runs_in_flight;
}

std::int64_t runs_in_flight() {
  return state().runs_in_flight.load();
}

void run_finished(std::string_view alias, std::chrono::steady_clock::duration took) {
  auto& s = state();
  --s.runs_in_flight;
  if (alias.empty()) {
    return;  // the alias went away with a reload before the run began
  }
  const double seconds = std::chrono::duration<double>(took).count();
  std::lock_guard lock(s.lock);
  auto it = s.runs.find(alias);
  if (it == s.runs.end()) {
    it = s.runs.emplace(std::string(alias), Histogram{}).first;
  }
  Histogram& h = it->second;
  for (std::size_t i = 0; i < kBuckets.size(); ++i) {
    if (seconds <= kBuckets[i]) {
      ++h.buckets[i];
      break;
    }
  }
  ++h.count;
  h.sum += seconds;
}

void queue_entered(std::string_view alias) {
  auto& s = state();
  std::lock_guard lock(s.lock);
  auto it = s.queued.find(alias);
  if (it == s.queued.end()) {
    it = s.queued.emplace(std::string(alias), 0).first;
  }
  ++it->second;
}

void queue_left(std::string_view alias) {
  auto& s = state();
  std::lock_guard lock(s.lock);
  if (const auto it = s.queued.find(alias); it != s.queued.end()) {
    --it->second;
  }
}

void admission_refused(std::string_view reason) {
  auto& s = state();
  std::lock_guard lock(s.lock);
  auto it = s.refusals.find(reason);
  if (it == s.refusals.end()) {
    it = s.refusals.emplace(std::string(reason), 0).first;
  }
  ++it->second;
}

void record_reload(std::string_view kind, bool success) {
  auto& s = state();
  std::lock_guard lock(s.lock);
  ++s.reloads[{std::string(kind), success ? "success" : "failure"}];
}

void audit_write_failed() {
  ++state().audit_failures;
}
void app_log_write_failed() {
  ++state().app_log_failures;
}

void set_process_info(std::chrono::system_clock::time_point started, std::string version) {
  auto& s = state();
  std::lock_guard lock(s.lock);
  s.start_seconds = std::chrono::duration<double>(started.time_since_epoch()).count();
  s.version = std::move(version);
}

std::string render() {
  auto& s = state();
  std::string out;
  std::lock_guard lock(s.lock);

  header(out, "velquin_requests_total", "counter",
         "Answered requests by HTTP status and application code.");
  for (const auto& [key, value] : s.requests) {
    out += "velquin_requests_total{status=" + label(std::to_string(key.first)) +
           ",code=" + label(key.second) + "} " + std::to_string(value) + "\n";
  }

  header(out, "velquin_run_duration_seconds", "histogram", "Duration of alias runs.");
  for (const auto& [alias, h] : s.runs) {
    const std::string name = "alias=" + label(alias);
    std::uint64_t cumulative = 0;
    for (std::size_t i = 0; i < kBuckets.size(); ++i) {
      cumulative += h.buckets[i];
      out += "velquin_run_duration_seconds_bucket{" + name + ",le=" + label(number(kBuckets[i])) +
             "} " + std::to_string(cumulative) + "\n";
    }
    out += "velquin_run_duration_seconds_bucket{" + name + ",le=\"+Inf\"} " +
           std::to_string(h.count) + "\n";
    out += "velquin_run_duration_seconds_sum{" + name + "} " + number(h.sum) + "\n";
    out += "velquin_run_duration_seconds_count{" + name + "} " + std::to_string(h.count) + "\n";
  }

  header(out, "velquin_runs_in_flight", "gauge", "Alias runs in progress.");
  out += "velquin_runs_in_flight " + std::to_string(s.runs_in_flight.load()) + "\n";

  header(out, "velquin_runs_queued", "gauge", "Requests waiting for a run slot of their alias.");
  for (const auto& [alias, value] : s.queued) {
    out += "velquin_runs_queued{alias=" + label(alias) + "} " + std::to_string(value) + "\n";
  }
  header(out, "velquin_admission_refusals_total", "counter",
         "Requests refused before their run: caller rate, full alias queue, run cap, queue wait.");
  for (const auto& [reason, value] : s.refusals) {
    out += "velquin_admission_refusals_total{reason=" + label(reason) + "} " +
           std::to_string(value) + "\n";
  }

  header(out, "velquin_reloads_total", "counter",
         "Reloads of credentials (auth) and aliases by outcome.");
  for (const auto& [key, value] : s.reloads) {
    out += "velquin_reloads_total{kind=" + label(key.first) + ",outcome=" + label(key.second) +
           "} " + std::to_string(value) + "\n";
  }

  header(out, "velquin_audit_write_failures_total", "counter",
         "Audit records that could not be written.");
  out += "velquin_audit_write_failures_total " + std::to_string(s.audit_failures.load()) + "\n";
  header(out, "velquin_app_log_write_failures_total", "counter",
         "Application log records that could not be written.");
  out += "velquin_app_log_write_failures_total " + std::to_string(s.app_log_failures.load()) + "\n";

  header(out, "process_start_time_seconds", "gauge",
         "Start time of the process since the Unix epoch in seconds.");
  out += "process_start_time_seconds " + number(s.start_seconds) + "\n";
  header(out, "velquin_build_info", "gauge", "The running version; always 1.");
  out += "velquin_build_info{version=" + label(s.version) + "} 1\n";
  return out;
}

}  // namespace velquin::metrics
