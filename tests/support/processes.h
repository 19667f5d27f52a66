#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace velquin::testing {

// A file below /proc/<pid>, read with plain system calls: a process that
// exits meanwhile yields "" instead of an exception.
std::string proc_file(pid_t pid, const std::string& name);

// Live (not zombie) processes whose environment holds the entry `marker`
// ("NAME=value"): every descendant of a run inherits it.
std::vector<pid_t> marked_processes(const std::string& marker);

// SIGKILLs what marked_processes finds, for a test's teardown.
void kill_marked(const std::string& marker);

}  // namespace velquin::testing
