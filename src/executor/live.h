#pragma once

// Internal to the executor: a process run whose output goes to the client
// while the command runs.

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "executor/executor.h"
#include "executor/spawn.h"
#include "support/fd.h"

namespace velquin::executor::detail {

// Cuts a byte stream into lines as it arrives. A line longer than
// `max_line` bytes goes out in pieces, so that a command that never ends a
// line cannot make us hold all of it.
class LineSplitter {
 public:
  explicit LineSplitter(std::size_t max_line = 64 * 1024) : max_line_(max_line) {}
  void feed(std::string_view bytes, std::vector<LiveOutput::Piece>& out);
  // The unended rest, once the stream is over.
  void finish(std::vector<LiveOutput::Piece>& out);

 private:
  static void emit(std::string_view bytes, bool ends_line, std::vector<LiveOutput::Piece>& out);
  std::size_t max_line_;
  std::string partial_;
  bool after_cr_ = false;  // a "\n" right after a "\r" ends no second line
};

// Where a streaming run's outputs went.
struct LiveCaptured {
  std::optional<std::string> out;
  std::optional<std::string> err;
};

// Waits for a started child while its output goes to `context.live`, and
// ends it on a time-out, an output over the cap or a client that hung up.
// The bytes are kept only when `keep` (stream preservation needs them).
// Throws OutputTooLarge past the cap, after filling `captured`.
RunResult run_live(Child& child, support::UniqueFd& out_r, support::UniqueFd& err_r,
                   const RunContext& context, std::chrono::steady_clock::time_point deadline,
                   bool keep, LiveCaptured& captured);

}  // namespace velquin::executor::detail
