#pragma once

#include <string>
#include <vector>

namespace velquin::support {

// The whole content of a file. Throws std::system_error (errno, with the path
// as its context) when it cannot be opened or read.
std::string read_whole_file(const std::string& path);

// The names in a directory descriptor, without "." and "..", in listing order;
// with only_directories, just its subdirectories. Empty when it cannot be read.
std::vector<std::string> directory_names(int dir_fd, bool only_directories = false);

}  // namespace velquin::support
