#pragma once

#include <string>

namespace velquin::support {

// The whole content of a file. Throws std::system_error (errno, with the path
// as its context) when it cannot be opened or read.
std::string read_whole_file(const std::string& path);

}  // namespace velquin::support
