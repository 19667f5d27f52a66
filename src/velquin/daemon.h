#pragma once

#include <string>

namespace velquin::app {

// Double fork and setsid; returns only in the daemon, whose standard streams
// are then the null device. Exits 1 with a message when a fork fails.
void _daemonize();

// Writes the PID without a trailing newline; exits 1 with a message on failure.
void _write_pid(const std::string& path);
// Removes the file; every error is ignored.
void _remove_pid(const std::string& path) noexcept;
// Registers _remove_pid(path) to run at exit (normal and quick exit).
void register_pid_removal(const std::string& path);

inline constexpr const char* kPreInitLogPath = "/var/log/velquin/app.log";
// Appends "<local time>,000 ERROR velquin <msg>" to kPreInitLogPath; never fails.
void _log_pre_init_error(const std::string& msg, const std::string& path = kPreInitLogPath) noexcept;

}  // namespace velquin::app
