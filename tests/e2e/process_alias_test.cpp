// Process aliases through the real binary: output templates, exit-status
// mapping, form bodies, time-outs, path escapes and what a run leaves behind.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>
#include <zip.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include "e2e/harness.h"
#include "support/processes.h"

namespace velquin::e2e {
namespace {

using ::testing::HasSubstr;
using json = nlohmann::json;

const char* kAliases = R"(
fail3:
  type: process
  command: "echo out; echo err >&2; exit 3"
  exitCodes:
    3: "422 Bad Input"
  output:
    multiple_values:
      - parameter_name: out
        source: "%stdOut"
      - parameter_name: err
        source: "%stdErr"
      - parameter_name: code
        source: "%exitCode"
exit4:
  type: process
  command: "exit 4"
exit0map:
  type: process
  command: "printf done"
  exitCodes:
    default: 503
single:
  type: process
  command: "printf '{\"x\": 1}'"
  output:
    single_value:
      source: "%stdOut"
      content-type: application/json
files:
  type: process
  command: "cd {{ run_dir }} && mkdir -p out/sub && printf a > out/a.txt && printf b > out/sub/b.txt && printf '{\"ok\":true}' > result.json"
  output:
    multiple_values:
      - parameter_name: result
        source: result.json
      - parameter_name: dir
        source: out/
      - parameter_name: missing
        source: never.txt
slow:
  type: process
  command: "sleep 30.4242 & sleep 30.4242"
  timeout: 1
nouser:
  type: process
  command: "true"
  user: velquin-no-such-user
typed:
  type: process
  command: "echo {{ n }} {{ flag }} {{ word | shell }}"
  parameters:
    n:
      type: integer
      required: true
      min: 1
      max: 10
    flag:
      type: boolean
      default: false
    word:
      type: string
      default: "x"
input:
  type: process
  command: "cat {{ run_dir }}/in/{{ name }}"
  parameters:
    name:
      type: string
      pattern: "^[a-z]+$"
  files:
    - location: "in/{{ name }}"
      content: "content of {{ name }}"
writes_to:
  type: process
  command: "true"
  parameters:
    target:
      type: string
  files:
    - location: "{{ target }}"
      content: "planted"
quoted:
  type: process
  command: "printf '%s|' 'note {{ x | shell }}' \"say {{ x | shell }}\" \"$(printf '%s' {{ x | shell }})\""
  parameters:
    x:
      type: string
loose:
  type: process
  command: "echo {{ x }}"
  parameters:
    x:
      type: string
      pattern: ".{1,80}"
reads_from:
  type: process
  command: "cd {{ run_dir }} && ln -s ../../sentinel.txt leak.txt; mkdir -p d; ln -s ../../.. d/up; printf ok > d/ok.txt"
  parameters:
    src:
      type: string
      default: "leak.txt"
  output:
    multiple_values:
      - parameter_name: leak
        source: leak.txt
      - parameter_name: dir
        source: d/
      - parameter_name: chosen
        source: "{{ src }}"
)";

ServiceOptions options() {
  ServiceOptions opts;
  opts.allowed_aliases = {"echo",   "fail3", "exit4", "exit0map",  "single",     "files",  "slow",
                          "nouser", "typed", "input", "writes_to", "reads_from", "quoted", "loose"};
  return opts;
}

class ProcessAlias : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    service_ = new Service(options());
    service_->write_alias_file("more.yaml", kAliases);
    service_->start();
  }
  static void TearDownTestSuite() {
    service_->stop();
    delete service_;
    service_ = nullptr;
  }
  static Service* service_;
};
Service* ProcessAlias::service_ = nullptr;

std::map<std::string, std::string> unzip(const std::string& bytes) {
  zip_error_t error;
  zip_error_init(&error);
  zip_source_t* src = zip_source_buffer_create(bytes.data(), bytes.size(), 0, &error);
  zip_t* archive = zip_open_from_source(src, ZIP_RDONLY, &error);
  std::map<std::string, std::string> files;
  if (archive == nullptr) {
    zip_source_free(src);
    return files;
  }
  for (zip_int64_t i = 0; i < zip_get_num_entries(archive, 0); ++i) {
    zip_stat_t st;
    zip_stat_index(archive, static_cast<zip_uint64_t>(i), 0, &st);
    std::string content(st.size, '\0');
    zip_file_t* f = zip_fopen_index(archive, static_cast<zip_uint64_t>(i), 0);
    zip_fread(f, content.data(), st.size);
    zip_fclose(f);
    files[st.name] = content;
  }
  zip_close(archive);
  return files;
}

std::string base64_decode(const std::string& in) {
  static const std::string chars =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  int val = 0;
  int bits = -8;
  for (char c : in) {
    auto pos = chars.find(c);
    if (pos == std::string::npos) {
      break;
    }
    val = (val << 6) + static_cast<int>(pos);
    bits += 6;
    if (bits >= 0) {
      out.push_back(static_cast<char>((val >> bits) & 0xFF));
      bits -= 8;
    }
  }
  return out;
}

TEST_F(ProcessAlias, MultipleValuesWithMappedExitStatusAndReason) {
  auto r = service_->execute("fail3");
  EXPECT_EQ(r.status, 422);
  EXPECT_EQ(r.reason, "Bad Input");
  EXPECT_EQ(r.header("Content-Type"), "application/json");
  EXPECT_EQ(json::parse(r.body), (json{{"out", "out\n"}, {"err", "err\n"}, {"code", "3"}}));
}

TEST_F(ProcessAlias, UnmappedNonZeroExitIs500AndZeroIsNeverMappedByDefault) {
  auto r = service_->execute("exit4");
  EXPECT_EQ(r.status, 500);
  EXPECT_EQ(r.reason, "Internal Server Error");
  auto ok = service_->execute("exit0map");
  EXPECT_EQ(ok.status, 200);
  EXPECT_EQ(ok.body, "done");
}

TEST_F(ProcessAlias, SingleValueUsesItsContentType) {
  auto r = service_->execute("single");
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.header("Content-Type"), "application/json");
  EXPECT_EQ(r.body, "{\"x\": 1}");
}

TEST_F(ProcessAlias, FileAndDirectoryOutputs) {
  auto r = service_->execute("files");
  ASSERT_EQ(r.status, 200) << r.body;
  auto body = json::parse(r.body);
  EXPECT_EQ(body["result"], "{\"ok\":true}");
  EXPECT_EQ(body["missing"], "");
  auto files = unzip(base64_decode(body["dir"].get<std::string>()));
  EXPECT_EQ(files, (std::map<std::string, std::string>{{"a.txt", "a"}, {"sub/b.txt", "b"}}));
}

TEST_F(ProcessAlias, TimeOutKillsTheWholeProcessGroup) {
  auto started = std::chrono::steady_clock::now();
  auto r = service_->execute("slow");
  auto took = std::chrono::steady_clock::now() - started;
  EXPECT_EQ(r.status, 408);
  EXPECT_EQ(r.body, "Execution timed out");
  // The background grandchild must not hold the pipes open for 30 s.
  EXPECT_LT(took, std::chrono::seconds(10));
  bool survivor = true;
  for (int i = 0; i < 100 && survivor; ++i) {
    survivor = false;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
      if (!std::isdigit(static_cast<unsigned char>(entry.path().filename().string()[0]))) {
        continue;
      }
      // A process may exit while we read: an ifstream would throw then.
      const auto pid = static_cast<pid_t>(std::stol(entry.path().filename().string()));
      const std::string text = testing::proc_file(pid, "cmdline");
      const std::string st = testing::proc_file(pid, "stat");
      if (text.find("30.4242") != std::string::npos && st.find(") Z") == std::string::npos &&
          text.find("sh") != 0) {
        survivor = true;
      }
    }
    if (survivor) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  EXPECT_FALSE(survivor);
  auto audit = service_->audit();
  ASSERT_FALSE(audit.empty());
  EXPECT_EQ(audit.back()["app_code"], "execution_timeout");
  EXPECT_EQ(audit.back()["status"], 408);
  EXPECT_TRUE(audit.back()["pid"].is_number_integer());
}

TEST_F(ProcessAlias, RunFailureIs500WithoutDetails) {
  auto r = service_->execute("nouser");
  EXPECT_EQ(r.status, 500);
  EXPECT_EQ(r.body, "Internal server error");
  EXPECT_THAT(service_->app_log(), HasSubstr("Process execution error: "));
  auto audit = service_->audit();
  EXPECT_EQ(audit.back()["app_code"], "processing_failed");
  EXPECT_EQ(audit.back()["pid"], "-");
}

TEST_F(ProcessAlias, ParameterValidationAndDefaults) {
  auto ok = service_->execute("typed", json{{"n", 3}, {"word", "a b;$(id)"}});
  EXPECT_EQ(ok.status, 200);
  EXPECT_EQ(ok.body, "3 false a b;$(id)\n");
  auto missing = service_->execute("typed", json::object());
  EXPECT_EQ(missing.status, 400);
  EXPECT_EQ(json::parse(missing.body), (json{{"errors", {"'n' is required"}}}));
  auto bad = service_->execute("typed", json{{"n", 11}, {"extra", 1}});
  EXPECT_EQ(bad.status, 400);
  EXPECT_EQ(json::parse(bad.body)["errors"],
            (json{"'n' must be at most 10", "unknown parameter 'extra'"}));
  EXPECT_EQ(service_->audit().back()["app_code"], "invalid_parameters");
}

// A value inside quotes is escaped for that quote, and a raw value must be a
// plain word: neither can run the command a client writes.
TEST_F(ProcessAlias, QuotedAndRawValuesNeverRunClientText) {
  const auto sentinel = service_->dir() / "sentinel.txt";
  std::ofstream(sentinel) << "untouched";
  const std::string write = "echo pwned > " + sentinel.string();
  for (const std::string& value : {"';" + write + ";'", "\";" + write + ";\"", "$(" + write + ")",
                                   "`" + write + "`", "\\';" + write + ";#"}) {
    auto quoted = service_->execute("quoted", json{{"x", value}});
    EXPECT_EQ(quoted.status, 200) << value;
    EXPECT_EQ(quoted.body, "note " + value + "|say " + value + "|" + value + "|") << value;
  }
  auto loose = service_->execute("loose", json{{"x", ";" + write + ";"}});
  EXPECT_EQ(loose.status, 400);
  EXPECT_EQ(json::parse(loose.body)["errors"],
            (json{"'x' must be a plain word (letters, digits and _ . , : / @ % + = -)"}));
  EXPECT_EQ(service_->audit().back()["app_code"], "invalid_parameters");
  EXPECT_EQ(service_->execute("loose", json{{"x", "a-b"}}).body, "a-b\n");
  std::ifstream in(sentinel);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "untouched");
}

TEST_F(ProcessAlias, FormAndMultipartBodies) {
  std::map<std::string, std::string> auth{{"Authorization", std::string("Bearer ") + kApiKey}};
  auto form_headers = auth;
  form_headers["Content-Type"] = "application/x-www-form-urlencoded; charset=utf-8";
  auto form =
      http(service_->port(), "POST", "/v1/typed", form_headers, "n=5&flag=true&word=a+b%21");
  EXPECT_EQ(form.status, 200);
  EXPECT_EQ(form.body, "5 true a b!\n");

  std::string boundary = "XyZ123";
  std::string body = "--" + boundary +
                     "\r\nContent-Disposition: form-data; name=\"n\"\r\n\r\n7\r\n--" + boundary +
                     "\r\nContent-Disposition: form-data; name=\"upload\"; filename=\"f.txt\"\r\n"
                     "Content-Type: text/plain\r\n\r\nignored\r\n--" +
                     boundary + "--\r\n";
  auto multipart_headers = auth;
  multipart_headers["Content-Type"] = "multipart/form-data; boundary=" + boundary;
  auto multipart = http(service_->port(), "POST", "/v1/typed", multipart_headers, body);
  EXPECT_EQ(multipart.status, 200);
  EXPECT_EQ(multipart.body, "7 false x\n");

  auto plain_headers = auth;
  plain_headers["Content-Type"] = "text/plain";
  auto plain = http(service_->port(), "POST", "/v1/typed", plain_headers, "n=1");
  EXPECT_EQ(plain.status, 400);
  EXPECT_EQ(plain.body, "Unsupported content type");
}

TEST_F(ProcessAlias, InputFilesAreWrittenBeforeTheRun) {
  auto r = service_->execute("input", json{{"name", "data"}});
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, "content of data");
}

TEST_F(ProcessAlias, ParameterPathsCannotEscapeTheRunDirectory) {
  auto outside = service_->dir() / "planted.txt";
  for (const std::string& target :
       std::vector<std::string>{"../../planted.txt", outside.string(), "a/../../b"}) {
    auto r = service_->execute("writes_to", json{{"target", target}});
    EXPECT_EQ(r.status, 500) << target;
    EXPECT_EQ(r.body, "Internal server error");
  }
  EXPECT_FALSE(std::filesystem::exists(outside));
  // The log names the template, never the client's value.
  EXPECT_THAT(service_->app_log(), HasSubstr("path escapes the run directory: '{{ target }}'"));
  EXPECT_THAT(service_->app_log(), ::testing::Not(HasSubstr("planted.txt")));
}

// Every link aims at a sentinel in the test's own directory, two levels above the run directory.
TEST_F(ProcessAlias, LinksPlantedByTheCommandAreNotFollowed) {
  const std::string secret = "sentinel content";
  std::ofstream(service_->dir() / "shared" / ".." / "sentinel.txt") << secret;
  auto r = service_->execute("reads_from");
  ASSERT_EQ(r.status, 200) << r.body;
  auto body = json::parse(r.body);
  EXPECT_EQ(body["leak"], "");
  auto files = unzip(base64_decode(body["dir"].get<std::string>()));
  EXPECT_EQ(files, (std::map<std::string, std::string>{{"ok.txt", "ok"}}));
  auto escaped = service_->execute("reads_from", json{{"src", "../../sentinel.txt"}});
  EXPECT_EQ(escaped.status, 500) << escaped.body;
  EXPECT_THAT(r.body + escaped.body, ::testing::Not(HasSubstr(secret)));
}

std::size_t count_entries(const std::filesystem::path& dir) {
  std::size_t n = 0;
  std::error_code ec;
  for (auto it = std::filesystem::directory_iterator(dir, ec);
       !ec && it != std::filesystem::directory_iterator(); ++it) {
    ++n;
  }
  return n;
}

std::size_t zombie_children(pid_t parent) {
  std::size_t zombies = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    if (!std::isdigit(static_cast<unsigned char>(entry.path().filename().string()[0]))) {
      continue;
    }
    const auto pid = static_cast<pid_t>(std::stol(entry.path().filename().string()));
    std::istringstream status(testing::proc_file(pid, "status"));
    std::string line;
    bool zombie = false;
    bool child = false;
    while (std::getline(status, line)) {
      if (line.rfind("State:", 0) == 0) {
        zombie = line.find('Z') != std::string::npos;
      }
      if (line.rfind("PPid:", 0) == 0) {
        child = std::stol(line.substr(5)) == parent;
      }
    }
    zombies += (zombie && child) ? 1 : 0;
  }
  return zombies;
}

TEST(ProcessAliasLeaks, ThousandRequestsLeaveNothingBehind) {
  ServiceOptions opts;
  opts.allowed_aliases = {"echo", "files"};
  Service service(opts);
  service.write_alias_file("more.yaml", kAliases);
  service.start();
  service.execute("echo");  // warm up lazily created state
  auto fd_dir = std::filesystem::path("/proc") / std::to_string(service.pid()) / "fd";
  auto idle_fds = count_entries(fd_dir);
  for (int i = 0; i < 1000; ++i) {
    auto r = i % 2 == 0 ? service.execute("echo", json{{"message", std::to_string(i)}})
                        : service.execute("files");
    ASSERT_EQ(r.status, 200) << i;
  }
  std::size_t fds = 0;
  for (int i = 0; i < 100; ++i) {
    fds = count_entries(fd_dir);
    if (fds <= idle_fds) {
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_LE(fds, idle_fds);
  EXPECT_EQ(zombie_children(service.pid()), 0u);
  EXPECT_EQ(count_entries(service.dir() / "shared"), 0u);
  EXPECT_EQ(service.stop(), 0);
}

}  // namespace
}  // namespace velquin::e2e
