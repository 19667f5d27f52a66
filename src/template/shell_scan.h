#pragma once

#include <cstddef>
#include <vector>

#include "template/template.h"

// Inside the template module only: the quoting trackers that command_references
// and render_command share.
namespace velquin::tmpl::detail {

// One character of literal command text, or a reference (ref >= 0: its index).
struct Item {
  char c = 0;
  int ref = -1;
  bool maybe_empty = false;  // a reference that may render as nothing (raw, run_dir)
};

// The context of each reference as dash or bash would read the text. Where the
// two shells differ, or the reading depends on a value, later references get a
// refused context.
std::vector<ShellContext> shell_contexts(const std::vector<Item>& items, std::size_t ref_count);

// The context of each reference as the container word splitter reads the text:
// quotes and backslashes only.
std::vector<ShellContext> word_contexts(const std::vector<Item>& items, std::size_t ref_count);

}  // namespace velquin::tmpl::detail
