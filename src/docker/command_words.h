#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace velquin::docker {

// Splits a command into words the way a POSIX shell does, without any
// expansion: blanks separate words, single quotes keep everything literal,
// double quotes let a backslash escape only \ " $ ` and newline, and a
// backslash outside quotes escapes the next character ("" gives an empty word).
// Throws DockerError for an unterminated quote or a trailing backslash.
std::vector<std::string> split_command(std::string_view command);

}  // namespace velquin::docker
