#pragma once

#include <memory>
#include <string>

namespace re2 {
class RE2;
}

namespace velquin::config::detail {

// The compiled form of a parameter pattern; ok() tells whether it compiled.
// Aliases with the same pattern share one object, and a reload reuses what
// the table in use already holds: compiling a counted repetition such as
// {1,64} costs far more than loading the rest of an alias.
std::shared_ptr<const re2::RE2> compiled_pattern(const std::string& pattern);

}  // namespace velquin::config::detail
