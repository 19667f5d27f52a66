#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <zip.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "executor/executor.h"
#include "runs.h"
#include "support/temp_dir.h"

namespace velquin::executor {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using testing::read_file;
using testing::TempDir;

std::string base64_decode(const std::string& text) {
  static const std::string alphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  unsigned buffer = 0;
  int bits = 0;
  for (char c : text) {
    if (c == '=') {
      break;
    }
    auto pos = alphabet.find(c);
    if (pos == std::string::npos) {
      throw std::invalid_argument("not Base64");
    }
    buffer = (buffer << 6) | static_cast<unsigned>(pos);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<char>((buffer >> bits) & 0xFF));
    }
  }
  return out;
}

struct ZipEntry {
  std::string content;
  zip_uint16_t method = 0;
};

// Reads the archive back with libzip, independently of how it was written.
std::map<std::string, ZipEntry> unzip(const std::string& base64) {
  const std::string bytes = base64_decode(base64);
  zip_error_t error;
  zip_error_init(&error);
  zip_source_t* src = zip_source_buffer_create(bytes.data(), bytes.size(), 0, &error);
  zip_t* za = zip_open_from_source(src, ZIP_RDONLY | ZIP_CHECKCONS, &error);
  if (za == nullptr) {
    zip_source_free(src);
    throw std::runtime_error(std::string("not a ZIP archive: ") + zip_error_strerror(&error));
  }
  std::map<std::string, ZipEntry> entries;
  for (zip_int64_t i = 0; i < zip_get_num_entries(za, 0); ++i) {
    zip_stat_t st;
    zip_stat_index(za, static_cast<zip_uint64_t>(i), 0, &st);
    std::string content(st.size, '\0');
    zip_file_t* f = zip_fopen_index(za, static_cast<zip_uint64_t>(i), 0);
    zip_fread(f, content.data(), st.size);
    zip_fclose(f);
    entries[st.name] = {content, st.comp_method};
  }
  zip_discard(za);
  return entries;
}

class OutputsTest : public ::testing::Test {
 protected:
  // A process alias whose output template lists the sources; params are declared.
  static alias::AliasPtr output_def(std::vector<std::string> sources,
                                    const json& params = json::object()) {
    json multiple = json::array();
    for (const auto& source : sources) {
      multiple.push_back(
          {{"parameter_name", "p" + std::to_string(multiple.size())}, {"source", source}});
    }
    return runs::alias_for(
        {{"type", "process"}, {"command", "ls"}, {"output", {{"multiple_values", multiple}}}},
        params);
  }
  std::string run() const { return tmp.str() + "/run"; }
  FileOutputs collect(const alias::AliasPtr& def, const json& params,
                      const std::optional<std::string>& run_dir) const {
    return detail::collect_output_files(*def, params, run_dir, cap);
  }

  TempDir tmp;
  std::size_t cap = SIZE_MAX;
};

TEST_F(OutputsTest, NothingWithoutARunDirectory) {
  const auto def = output_def({"out.txt", "logs/"});
  detail::precreate_output_dirs(*def, json::object(), std::nullopt);
  EXPECT_TRUE(collect(def, json::object(), std::nullopt).empty());
  EXPECT_TRUE(collect(def, json::object(), std::string()).empty());
}

TEST_F(OutputsTest, PrecreatesOnlyWhatFileOutputsNeed) {
  fs::create_directories(run());
  const json params = {{"d", "by-param"}};
  const auto def =
      output_def({"sub/dir/out.txt", "out.txt", "logs/", "%custom/x", "{{ d }}/", ""}, params);
  detail::precreate_output_dirs(*def, params, run());
  std::vector<std::string> made;
  for (const auto& e : fs::recursive_directory_iterator(run())) {
    made.push_back(fs::relative(e.path(), run()).string());
  }
  std::sort(made.begin(), made.end());
  EXPECT_THAT(made, ElementsAre("by-param", "logs", "sub", "sub/dir"));
}

TEST_F(OutputsTest, StreamOnlyTemplateCreatesAndCollectsNothing) {
  fs::create_directories(run());
  const auto def = runs::alias_for({{"type", "process"},
                                    {"command", "ls"},
                                    {"output", {{"single_value", {{"source", "%stdOut"}}}}}});
  detail::precreate_output_dirs(*def, json::object(), run());
  EXPECT_TRUE(fs::is_empty(run()));
  EXPECT_TRUE(collect(def, json::object(), run()).empty());
}

TEST_F(OutputsTest, FilesAreDecodedLeniently) {
  tmp.write("run/mixed.txt", std::string("a\xff\r\nb\rc", 7));
  tmp.write("run/%custom", "custom");
  tmp.write("run/bob.json", "{}");
  const json params = {{"who", "bob"}};
  const auto def = output_def(
      {"mixed.txt", "%custom", "%exitCode", "{{ who }}.json", "missing.txt", "mixed.txt"}, params);
  EXPECT_EQ(collect(def, params, run()), (FileOutputs{{"mixed.txt", "a\xEF\xBF\xBD\nb\nc"},
                                                      {"%custom", "custom"},
                                                      {"{{ who }}.json", "{}"},
                                                      {"missing.txt", ""}}));
}

TEST_F(OutputsTest, NonRegularFileOutputsAreEmpty) {
  fs::create_directories(run() + "/adir");
  ASSERT_EQ(::mkfifo((run() + "/fifo").c_str(), 0600), 0);
  const auto def = output_def({"adir", "fifo"});
  EXPECT_EQ(collect(def, json::object(), run()), (FileOutputs{{"adir", ""}, {"fifo", ""}}));
}

TEST_F(OutputsTest, UserRunsCannotHardLinkTheServicesFilesIntoTheirOutputs) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "needs root to hand the directory to another user";
  }
  // A user's run directory holding hard links to a root-only sentinel (what
  // the user could make where fs.protected_hardlinks is off) and to its own file.
  const fs::path sentinel = tmp.write("secret.txt", "root only");
  tmp.write("run/own.txt", "mine");
  fs::create_directories(run() + "/dir");
  fs::create_hard_link(sentinel, run() + "/leak.txt");
  fs::create_hard_link(sentinel, run() + "/dir/leak.txt");
  fs::create_hard_link(run() + "/own.txt", run() + "/dir/own.txt");
  for (const char* path : {"", "/own.txt", "/dir"}) {
    ASSERT_EQ(::chown((run() + path).c_str(), 65534, 65534), 0);
  }
  const auto def = output_def({"leak.txt", "own.txt", "dir/"});
  FileOutputs got = collect(def, json::object(), run());
  EXPECT_EQ(got["leak.txt"], "");
  EXPECT_EQ(got["own.txt"], "mine");
  auto files = unzip(got["dir/"]);
  EXPECT_EQ(files.size(), 1u);
  EXPECT_EQ(files["own.txt"].content, "mine");
}

TEST_F(OutputsTest, DirectoryOutputRoundTripsThroughZip) {
  std::string binary(100000, 'z');
  binary[10] = '\0';
  tmp.write("run/logs/a.txt", "alpha\r\n");
  tmp.write("run/logs/sub/b.bin", binary);
  fs::create_directories(run() + "/logs/empty");
  tmp.write("secret.txt", "host");
  fs::create_symlink(tmp.path() / "secret.txt", run() + "/logs/escape.txt");
  fs::create_symlink("../../../secret.txt", run() + "/logs/sub/relative-escape.txt");
  fs::create_symlink("a.txt", run() + "/logs/inside.txt");
  fs::create_directory_symlink(tmp.path(), run() + "/logs/dirlink");
  ASSERT_EQ(::mkfifo((run() + "/logs/fifo").c_str(), 0600), 0);

  FileOutputs got = collect(output_def({"logs/"}), json::object(), run());
  auto entries = unzip(got["logs/"]);
  std::vector<std::string> names;
  for (const auto& [name, entry] : entries) {
    names.push_back(name);
    EXPECT_EQ(entry.method, ZIP_CM_DEFLATE) << name;
  }
  EXPECT_THAT(names, ElementsAre("a.txt", "inside.txt", "sub/b.bin"));
  EXPECT_EQ(entries["a.txt"].content, "alpha\r\n");  // archived bytes are not translated
  EXPECT_EQ(entries["inside.txt"].content, "alpha\r\n");
  EXPECT_EQ(entries["sub/b.bin"].content, binary);
}

TEST_F(OutputsTest, DirectoryOutputEdgeCases) {
  fs::create_directories(run() + "/empty");
  tmp.write("run/plain", "not a directory");
  fs::create_directory_symlink(tmp.path(), run() + "/outside");
  FileOutputs got =
      collect(output_def({"empty/", "missing/", "plain/", "outside/"}), json::object(), run());
  EXPECT_TRUE(unzip(got["empty/"]).empty());
  EXPECT_EQ(got["missing/"], "");
  EXPECT_EQ(got["plain/"], "");
  EXPECT_EQ(got["outside/"], "");
}

TEST_F(OutputsTest, AdministratorsLiteralAbsolutePathsAreRead) {
  fs::create_directories(run());
  auto host = tmp.write("host/result.txt", "literal");
  FileOutputs got = collect(output_def({host.string()}), json::object(), run());
  EXPECT_EQ(got[host.string()], "literal");
}

// What a command may leave where an output is expected. The sentinel lies
// outside the run directory and must never be read.
struct PlantCase {
  const char* name;
  std::function<void(const fs::path& run, const fs::path& sentinel)> plant;
  const char* source;
  std::string expected;  // the entry, or the failure text when `fails`
  bool fails = false;
};

void PrintTo(const PlantCase& c, std::ostream* os) {
  *os << c.name;
}

class PlantedOutputTest : public OutputsTest, public ::testing::WithParamInterface<PlantCase> {
 protected:
  void SetUp() override { cap = 1024; }
};

void sparse(const fs::path& path, off_t size) {
  fs::create_directories(path.parent_path());
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::ftruncate(fd, size), 0);
  ::close(fd);
}

TEST_P(PlantedOutputTest, IsReadOnlyWhenItIsAFileOfTheRunWithinTheCap) {
  const PlantCase& c = GetParam();
  const fs::path sentinel = tmp.write("sentinel.txt", "host secret");
  fs::create_directories(run());
  c.plant(run(), sentinel);
  const json params = {{"name", "a-client-value"}};
  const auto def = output_def({c.source}, params);
  if (c.fails) {
    try {
      collect(def, params, run());
      ADD_FAILURE() << "expected OutputTooLarge";
    } catch (const OutputTooLarge& e) {
      EXPECT_EQ(std::string(e.what()), c.expected);
    }
  } else {
    FileOutputs got = collect(def, params, run());
    EXPECT_EQ(got[c.source], c.expected);
  }
  EXPECT_EQ(read_file(sentinel), "host secret");
}

INSTANTIATE_TEST_SUITE_P(
    Outputs, PlantedOutputTest,
    ::testing::Values(
        PlantCase{"LinkOut", [](auto& run, auto& s) { fs::create_symlink(s, run / "out.txt"); },
                  "out.txt", ""},
        PlantCase{"LinkInside",
                  [](auto& run, auto&) {
                    std::ofstream(run / "real.txt") << "inside";
                    fs::create_symlink("real.txt", run / "out.txt");
                  },
                  "out.txt", ""},
        PlantCase{
            "LinkedParent",
            [](auto& run, auto& s) { fs::create_directory_symlink(s.parent_path(), run / "sub"); },
            "sub/sentinel.txt", ""},
        PlantCase{"CharDevice",
                  [](auto& run, auto&) {
                    ASSERT_EQ(::mknod((run / "dev").c_str(), S_IFCHR | 0600, ::makedev(1, 5)), 0);
                  },
                  "dev", ""},
        PlantCase{"AtTheCap",
                  [](auto& run, auto&) { std::ofstream(run / "f") << std::string(1024, 'x'); }, "f",
                  std::string(1024, 'x')},
        PlantCase{"SparseFile", [](auto& run, auto&) { sparse(run / "big.bin", 1L << 26); },
                  "big.bin", "output 'big.bin' exceeded MaxOutputSize (1024 bytes)", true},
        PlantCase{"NamedByTheTemplate",
                  [](auto& run, auto&) { sparse(run / "a-client-value.bin", 1025); },
                  "{{ name }}.bin", "output '{{ name }}.bin' exceeded MaxOutputSize (1024 bytes)",
                  true},
        PlantCase{"DirectoryOfSparseFiles",
                  [](auto& run, auto&) {
                    sparse(run / "d" / "a", 600);
                    sparse(run / "d" / "sub" / "b", 600);
                  },
                  "d/", "output 'd/' exceeded MaxOutputSize (1024 bytes)", true}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

// Opening a FIFO for reading would release a writer blocked in open(); it
// must stay blocked, because the collector never opens anything but regular files.
TEST_F(OutputsTest, AFifoIsNeverOpened) {
  fs::create_directories(run() + "/d");
  const std::string fifo = run() + "/d/fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  std::atomic<bool> opened{false};
  std::thread writer([&] {
    int fd = ::open(fifo.c_str(), O_WRONLY);
    opened = true;
    ::close(fd);
  });
  FileOutputs got = collect(output_def({"d/fifo", "d/"}), json::object(), run());
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(opened);
  int release = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  writer.join();
  ::close(release);
  EXPECT_EQ(got["d/fifo"], "");
  EXPECT_TRUE(unzip(got["d/"]).empty());
}

}  // namespace
}  // namespace velquin::executor
