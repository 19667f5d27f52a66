#pragma once

#include <string>

namespace velquin::app::detail {

// Double fork and setsid; returns only in the daemon, whose standard streams
// are then the null device. Exits 1 with a message when a fork fails.
void daemonize();

// Writes the PID without a trailing newline; exits 1 with a message on failure.
void write_pid(const std::string& path);
// Removes the file; every error is ignored.
void remove_pid(const std::string& path) noexcept;
// Registers remove_pid(path) to run at exit (normal and quick exit).
void register_pid_removal(const std::string& path);

inline constexpr const char* kPreInitLogPath = "/var/log/velquin/app.log";
// Appends "<local time>,000 ERROR velquin <msg>" to kPreInitLogPath; never fails.
void log_pre_init_error(const std::string& msg, const std::string& path = kPreInitLogPath) noexcept;

}  // namespace velquin::app::detail
