// Input files never follow a link or open a device or FIFO, wherever the
// alias puts them.

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <ostream>
#include <string>

#include <gtest/gtest.h>

#include "executor/executor.h"
#include "logger/logger.h"
#include "runs.h"
#include "support/temp_dir.h"

namespace velquin::executor {
namespace {

namespace fs = std::filesystem;
using testing::read_file;
using testing::TempDir;

struct PlantCase {
  const char* name;
  const char* location;  // below the test directory; "@" is the run directory
  // Plants something at `path` before the run; `sentinel` must stay as it is.
  std::function<void(const fs::path& path, const fs::path& sentinel)> plant;
};

void PrintTo(const PlantCase& c, std::ostream* os) {
  *os << c.name;
}

class InputFileTest : public ::testing::TestWithParam<PlantCase> {
 protected:
  void SetUp() override { logger::set_correlation_id(cid); }
  void TearDown() override { logger::set_correlation_id(std::nullopt); }

  TempDir tmp;
  const std::string cid = "0d7b3c2e-4f1a-4b6e-9c8d-7e6f5a4b3c2d";
};

TEST_P(InputFileTest, RefusesWhatIsPlantedAtItsLocation) {
  const fs::path sentinel = tmp.write("outside/sentinel", "unchanged");
  std::string location = GetParam().location;
  const fs::path run_dir = tmp.path() / "shared" / cid;
  const fs::path path = location[0] == '@' ? run_dir / location.substr(2) : tmp.path() / location;
  fs::create_directories(path.parent_path());
  GetParam().plant(path, sentinel);
  const json def = {{"type", "process"},
                    {"command", "true"},
                    {"files",
                     {{{"location", location[0] == '@' ? location.substr(2) : path.string()},
                       {"content", "planted"}}}}};
  const auto started = std::chrono::steady_clock::now();
  const auto alias_def = runs::alias_for(def);
  const RunResult r = detail::execute_process(
      *alias_def, json::object(),
      runs::context_for(*alias_def, tmp.path() / "shared", tmp.path() / "logs", cid));
  EXPECT_EQ(r.outcome, RunResult::Outcome::failed) << r.error;
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
  EXPECT_EQ(read_file(sentinel), "unchanged");
  EXPECT_FALSE(fs::exists(tmp.path() / "outside" / "data.txt"));
}

INSTANTIATE_TEST_SUITE_P(
    Plants, InputFileTest,
    ::testing::Values(
        PlantCase{"symlink", "admin/in.txt",
                  [](const fs::path& p, const fs::path& s) { fs::create_symlink(s, p); }},
        PlantCase{"hard_link", "admin/in.txt",
                  [](const fs::path& p, const fs::path& s) { fs::create_hard_link(s, p); }},
        PlantCase{"fifo", "admin/in.txt",
                  [](const fs::path& p, const fs::path&) { ::mkfifo(p.c_str(), 0666); }},
        PlantCase{"linked_directory", "@/in/data.txt",
                  [](const fs::path& p, const fs::path& s) {
                    fs::remove(p.parent_path());
                    fs::create_directory_symlink(s.parent_path(), p.parent_path());
                  }}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

}  // namespace
}  // namespace velquin::executor
