#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

// Process-wide counters for GET /internal/metrics. Every label value comes
// from a fixed set or from a loaded alias, never from a request, so a client
// cannot create series. All calls are safe from any thread.
namespace velquin::metrics {

// An answered request, after its audit hook.
void record_request(int status, std::string_view app_code);

// Around one run of a loaded alias: `alias` is the definition's name (empty:
// counted in flight only).
void run_started();
void run_finished(std::string_view alias, std::chrono::steady_clock::duration took);
std::int64_t runs_in_flight();

// Admission: a request waiting for a run slot of `alias`, and a request
// refused before its run ("rate", "alias_full", "global_full", "queue_timeout").
void queue_entered(std::string_view alias);
void queue_left(std::string_view alias);
void admission_refused(std::string_view reason);

// One reload of one kind ("auth", "aliases"), with its outcome ("success", "failure").
void record_reload(std::string_view kind, bool success);

// A record the log could not write.
void audit_write_failed();
void app_log_write_failed();

// When the service started and what it is; set once at start-up.
void set_process_info(std::chrono::system_clock::time_point started, std::string version);

// The Prometheus text exposition format (version 0.0.4) of everything above.
std::string render();

inline constexpr const char* CONTENT_TYPE = "text/plain; version=0.0.4; charset=utf-8";

}  // namespace velquin::metrics
