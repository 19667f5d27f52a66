#pragma once

#include <filesystem>
#include <string>

namespace velquin::testing {

// A fresh directory below the system temp dir, removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::string str() const { return path_.string(); }
  // Writes a file below the directory (parents created) and returns its path.
  std::filesystem::path write(const std::string& relative, const std::string& content) const;

 private:
  std::filesystem::path path_;
};

std::string read_file(const std::filesystem::path& path);

}  // namespace velquin::testing
