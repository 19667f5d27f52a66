#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "docker/command_words.h"
#include "docker/docker.h"
#include "docker/engine.h"
#include "support/temp_dir.h"

namespace velquin::docker {
namespace {

using velquin::testing::containers_of;
using velquin::testing::kRegistryImage;
using velquin::testing::kTestImage;

// Sets or clears one environment variable for the scope of a test.
class EnvVar {
 public:
  EnvVar(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) {
      old_ = old;
    }
    if (value == nullptr) {
      ::unsetenv(name);
    } else {
      ::setenv(name, value, 1);
    }
  }
  ~EnvVar() {
    if (old_) {
      ::setenv(name_, old_->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }
  EnvVar(const EnvVar&) = delete;
  EnvVar& operator=(const EnvVar&) = delete;

 private:
  const char* name_;
  std::optional<std::string> old_;
};

struct SplitCase {
  const char* name;
  const char* command;
  std::vector<std::string> words;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const SplitCase& c, std::ostream* os) {
  *os << c.name;
}

class SplitCommandTest : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SplitCommandTest, SplitsLikeAPosixShell) {
  EXPECT_EQ(split_command(GetParam().command), GetParam().words);
}

INSTANTIATE_TEST_SUITE_P(
    Words, SplitCommandTest,
    ::testing::Values(SplitCase{"Plain", "echo hello world", {"echo", "hello", "world"}},
                      SplitCase{"RunsOfBlanks", "  a \t b\n c  ", {"a", "b", "c"}},
                      SplitCase{"Empty", "", {}}, SplitCase{"OnlyBlanks", "   ", {}},
                      SplitCase{"SingleQuotesLiteral",
                                R"(sh -c 'echo "$HOME" \n')",
                                {"sh", "-c", R"(echo "$HOME" \n)"}},
                      SplitCase{
                          "DoubleQuoteEscapes", R"(a "b \" \\ \$ \x")", {"a", R"(b " \ $ \x)"}},
                      SplitCase{"AdjacentPartsJoin", R"(pre'fix'"ed"\ x)", {"prefixed x"}},
                      SplitCase{"EmptyQuotedWord", R"(a '' "" b)", {"a", "", "", "b"}},
                      SplitCase{"BackslashNewlineJoins", "a\\\nb", {"ab"}},
                      SplitCase{"NoExpansion", "echo $HOME `id` *", {"echo", "$HOME", "`id`", "*"}},
                      SplitCase{"ShellQuotedParameter", R"(echo 'it'\''s')", {"echo", "it's"}}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(SplitCommand, RejectsUnfinishedInput) {
  for (const char* bad : {"echo 'open", "echo \"open", "echo trailing\\", "a \"b\\\""}) {
    EXPECT_THROW(split_command(bad), DockerError) << bad;
  }
}

// Endpoint configuration errors surface at creation and name what was wrong.
TEST(ClientFromEnv, ConnectionFailureNamesTheEndpoint) {
  {
    EnvVar host("DOCKER_HOST", "unix:///nonexistent/velquin/docker.sock");
    try {
      client_from_env();
      FAIL() << "expected DockerError";
    } catch (const DockerError& e) {
      EXPECT_NE(std::string(e.what()).find("unix:///nonexistent/velquin/docker.sock"),
                std::string::npos)
          << e.what();
      EXPECT_EQ(std::string(e.what()).find("port 80"), std::string::npos) << e.what();
    }
  }
  {
    EnvVar host("DOCKER_HOST", "tcp://127.0.0.1:1");
    try {
      client_from_env();
      FAIL() << "expected DockerError";
    } catch (const DockerError& e) {
      EXPECT_NE(std::string(e.what()).find("http://127.0.0.1:1"), std::string::npos) << e.what();
    }
  }
}

TEST(ClientFromEnv, RejectsUnusableConfiguration) {
  velquin::testing::TempDir dir;
  {
    EnvVar host("DOCKER_HOST", "ssh://user@example");
    EXPECT_THROW(client_from_env(), DockerError);
  }
  {
    EnvVar host("DOCKER_HOST", "tcp://127.0.0.1:1");
    EnvVar verify("DOCKER_TLS_VERIFY", "1");
    EnvVar certs("DOCKER_CERT_PATH", dir.str().c_str());
    try {
      client_from_env();
      FAIL() << "expected DockerError";
    } catch (const DockerError& e) {
      EXPECT_NE(std::string(e.what()).find(dir.str() + "/ca.pem"), std::string::npos) << e.what();
    }
  }
}

class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    VELQUIN_REQUIRE_DOCKER();
    global_init();
    client_ = client_from_env();
  }

  // Runs a container to its end and returns (status, stdout, stderr); removes it.
  struct Outcome {
    std::optional<std::int64_t> status;
    std::string out;
    std::string err;
  };
  Outcome run(RunSpec spec) {
    const std::string id = client_->create(spec);
    Outcome outcome;
    try {
      client_->start(id);
      outcome.status = client_->wait(id);
      outcome.out = client_->logs(id, true);
      outcome.err = client_->logs(id, false);
    } catch (...) {
      client_->remove(id);
      throw;
    }
    client_->remove(id);
    return outcome;
  }

  static RunSpec shell(const std::string& script) {
    RunSpec spec;
    spec.image = kTestImage;
    spec.command = "sh -c '" + script + "'";
    return spec;
  }

  std::shared_ptr<DockerClient> client_;
};

TEST_F(EngineTest, PingAnswers) {
  EXPECT_NO_THROW(client_->ping());
}

TEST_F(EngineTest, ApiVersionPrefixIsHonoured) {
  for (const char* version : {"1.41", "v1.41"}) {
    EnvVar api("DOCKER_API_VERSION", version);
    EXPECT_NO_THROW(client_from_env()->ping()) << version;
  }
  EnvVar api("DOCKER_API_VERSION", "0.1");
  EXPECT_THROW(client_from_env(), DockerError);
}

TEST_F(EngineTest, StreamsAndStatusComeBackApart) {
  const Outcome o = run(shell("echo out; echo err >&2; printf \"x y\"; exit 3"));
  EXPECT_EQ(o.status, 3);
  EXPECT_EQ(o.out, "out\nx y");
  EXPECT_EQ(o.err, "err\n");
}

TEST_F(EngineTest, LargeOutputSpanningManyFramesIsReassembled) {
  // 20000 lines interleaved with stderr: every frame boundary must vanish.
  const Outcome o =
      run(shell("i=0; while [ $i -lt 20000 ]; do echo line$i; echo e >&2; i=$((i+1)); done"));
  ASSERT_EQ(o.status, 0);
  std::string expected;
  for (int i = 0; i < 20000; ++i) {
    expected += "line" + std::to_string(i) + "\n";
  }
  EXPECT_EQ(o.out, expected);
  EXPECT_EQ(o.err.size(), 40000u);
}

// The capped download keeps the payload only, cut exactly at the cap, across
// frame boundaries, and says whether anything was left.
TEST_F(EngineTest, CappedLogsStopAtTheCap) {
  const std::string id = client_->create(
      shell("i=0; while [ $i -lt 20000 ]; do echo line$i; echo e >&2; i=$((i+1)); done"));
  struct RemoveAtEnd {
    DockerClient& client;
    const std::string& id;
    ~RemoveAtEnd() { client.remove(id); }
  } remove{*client_, id};
  client_->start(id);
  ASSERT_EQ(client_->wait(id), 0);
  const std::string full = client_->logs(id, true);
  for (const std::size_t cap : {full.size() + 1, full.size(), full.size() - 1, std::size_t{7}}) {
    const CappedLog log = client_->logs_capped(id, true, cap);
    EXPECT_EQ(log.exceeded, cap < full.size()) << cap;
    EXPECT_EQ(log.bytes, full.substr(0, cap)) << cap;
  }
  EXPECT_EQ(client_->logs_capped(id, false, 3).bytes, "e\ne");
}

TEST_F(EngineTest, CommandWordsEnvironmentAndNoNetwork) {
  RunSpec spec;
  spec.image = kTestImage;
  spec.command = R"(sh -c 'printf "%s|" "$GREETING" "$1"; ls /sys/class/net' argv0 "two words")";
  spec.env = {{"GREETING", "hello = world"}};
  const Outcome o = run(spec);
  EXPECT_EQ(o.status, 0);
  EXPECT_EQ(o.out, "hello = world|two words|lo\n");
}

TEST_F(EngineTest, BindsHonourTheirMode) {
  velquin::testing::TempDir dir;
  dir.write("ro/in.txt", "input");
  std::filesystem::create_directories(dir.path() / "rw");
  RunSpec spec = shell("cat /in/in.txt; echo written > /out/f; echo x > /in/g || echo refused");
  spec.binds = {{(dir.path() / "ro").string(), "/in", "ro"},
                {(dir.path() / "rw").string(), "/out", "rw"}};
  const Outcome o = run(spec);
  EXPECT_EQ(o.out, "inputrefused\n");
  EXPECT_EQ(velquin::testing::read_file(dir.path() / "rw" / "f"), "written\n");
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "ro" / "g"));
}

TEST_F(EngineTest, BindPathWithAColonIsRefusedBeforeCreation) {
  // The client's own message, naming the path, not the engine's parse error.
  for (const Bind& bind : {Bind{"/tmp/a:/etc", "/x", "rw"}, Bind{"/tmp", "/x:/etc", "ro"}}) {
    RunSpec spec = shell("true");
    spec.binds = {bind};
    try {
      client_->create(spec);
      FAIL() << "expected DockerError";
    } catch (const DockerError& e) {
      EXPECT_NE(std::string(e.what()).find("contains ':'"), std::string::npos) << e.what();
    }
  }
}

TEST_F(EngineTest, InspectNamesTheImageAndRemoveLeavesNothing) {
  const std::string id = client_->create(shell("true"));
  const std::string image = client_->inspect_image(id);
  EXPECT_EQ(image.rfind("sha256:", 0), 0u) << image;
  client_->remove(id);
  EXPECT_THROW(client_->inspect_image(id), DockerError);
  for (const std::string& left : containers_of(kTestImage)) {
    EXPECT_NE(left, id);
  }
}

TEST_F(EngineTest, KillEndsARunningContainerAndIgnoresAStoppedOne) {
  const std::string id = client_->create(shell("sleep 600"));
  client_->start(id);
  std::optional<std::int64_t> status;
  std::thread waiter([&] { status = client_->wait(id); });
  client_->kill(id);
  waiter.join();
  EXPECT_EQ(status, 137);
  EXPECT_NO_THROW(client_->kill(id));
  EXPECT_NO_THROW(client_->remove(id));
}

TEST_F(EngineTest, RemoveForcesARunningContainer) {
  const std::string id = client_->create(shell("sleep 600"));
  client_->start(id);
  client_->remove(id);
  EXPECT_THROW(client_->inspect_image(id), DockerError);
}

TEST_F(EngineTest, MissingImageAtCreateIsImageNotFound) {
  RunSpec spec;
  spec.image = "velquin-test/does-not-exist:latest";
  EXPECT_THROW(client_->create(spec), ImageNotFound);
}

TEST_F(EngineTest, OtherEngineErrorsAreNotImageNotFound) {
  try {
    client_->start("no-such-container-velquin");
    FAIL() << "expected DockerError";
  } catch (const ImageNotFound& e) {
    FAIL() << "classified as image not found: " << e.what();
  } catch (const DockerError& e) {
    // The engine's own message, not a bare status.
    EXPECT_NE(std::string(e.what()).find("no-such-container-velquin"), std::string::npos)
        << e.what();
  }
}

TEST_F(EngineTest, PullFromTheLocalRegistry) {
  EXPECT_NO_THROW(client_->pull(kRegistryImage, 120));
  RunSpec spec = shell("echo pulled");
  spec.image = kRegistryImage;
  EXPECT_EQ(run(spec).out, "pulled\n");
}

TEST_F(EngineTest, PullOfAnUnknownImageOrTagIsImageNotFound) {
  EXPECT_THROW(client_->pull("127.0.0.1:5000/velquin-test/absent:latest", 120), ImageNotFound);
  EXPECT_THROW(client_->pull("127.0.0.1:5000/velquin-test/busybox:no-such-tag", 120),
               ImageNotFound);
}

TEST_F(EngineTest, PullFromAnUnreachableRegistryIsAPlainFailure) {
  try {
    client_->pull("127.0.0.1:1/velquin-test/busybox:latest", 120);
    FAIL() << "expected DockerError";
  } catch (const ImageNotFound& e) {
    FAIL() << "classified as image not found: " << e.what();
  } catch (const DockerError&) {
  }
}

TEST_F(EngineTest, ConcurrentRunsShareOneClient) {
  std::vector<std::thread> threads;
  std::vector<std::string> outs(4);
  for (size_t i = 0; i < outs.size(); ++i) {
    threads.emplace_back([&, i] { outs[i] = run(shell("echo " + std::to_string(i))).out; });
  }
  for (auto& t : threads) {
    t.join();
  }
  for (size_t i = 0; i < outs.size(); ++i) {
    EXPECT_EQ(outs[i], std::to_string(i) + "\n");
  }
}

}  // namespace
}  // namespace velquin::docker
