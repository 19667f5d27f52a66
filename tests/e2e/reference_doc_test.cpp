// Every configuration and YAML example of the manuals passes --check.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "e2e/harness.h"
#include "support/temp_dir.h"

namespace velquin::e2e {
namespace {

struct Example {
  std::string language;
  std::string text;
};

std::vector<Example> examples_of(const std::string& path) {
  std::ifstream in(path);
  std::vector<Example> out;
  std::string line;
  Example* open = nullptr;
  while (std::getline(in, line)) {
    if (open == nullptr && (line == "```yaml" || line == "```conf")) {
      out.push_back({line.substr(3), ""});
      open = &out.back();
    } else if (open != nullptr && line == "```") {
      open = nullptr;
    } else if (open != nullptr) {
      open->text += line + "\n";
    }
  }
  return out;
}

// Each `secret_file: NAME` of a credentials example, made as an operator would.
void write_secrets(const std::filesystem::path& auth_dir, const std::string& text) {
  std::istringstream in(text);
  std::string line;
  const std::string key = "secret_file: ";
  while (std::getline(in, line)) {
    const auto at = line.find(key);
    if (at == std::string::npos) {
      continue;
    }
    std::string name = line.substr(at + key.size());
    name = name.substr(0, name.find_first_of(" #"));
    const auto path = auth_dir / name;
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path) << "0123456789abcdef\n";
    std::filesystem::permissions(path, std::filesystem::perms::owner_read |
                                           std::filesystem::perms::owner_write);
  }
}

TEST(ReferenceManual, EveryExampleLoads) {
  std::vector<Example> examples;
  for (const char* manual : {"reference.md", "webhooks.md"}) {
    auto found = examples_of(std::string(VELQUIN_SOURCE_DIR) + "/docs/" + manual);
    ASSERT_FALSE(found.empty()) << manual;
    examples.insert(examples.end(), found.begin(), found.end());
  }
  for (const auto& example : examples) {
    SCOPED_TRACE(example.text);
    // The harness's user and echo alias stand in for whatever the example is not.
    Service svc;
    std::vector<std::string> args{"--check", "--config", svc.config_path().string()};
    if (example.language == "conf") {
      std::ofstream(svc.dir() / "example.conf") << example.text;
      args = {"--check",
              "--config",
              (svc.dir() / "example.conf").string(),
              "--auth-dir",
              (svc.dir() / "auth.d").string(),
              "--alias-dir",
              (svc.dir() / "alias.d").string(),
              "--log-dir",
              (svc.dir() / "logs").string()};
    } else if (example.text.find("\nusers:") != std::string::npos ||
               example.text.find("\njwt:") != std::string::npos ||
               example.text.rfind("jwt:", 0) == 0 || example.text.rfind("webhooks:", 0) == 0) {
      svc.write_auth_file("users.yaml", example.text);
      write_secrets(svc.dir() / "auth.d", example.text);
    } else {
      svc.write_alias_file("example.yaml", example.text);
    }
    auto r = run_velquin(args);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out.rfind("configuration OK: ", 0), 0u) << r.out;
  }
}

// The signed-webhook example loads once its secret exists, as its README says.
TEST(ReferenceManual, ForgeDeployExampleLoads) {
  namespace fs = std::filesystem;
  Service svc;
  const fs::path example = fs::path(VELQUIN_SOURCE_DIR) / "examples" / "forge-deploy";
  fs::copy(example, svc.dir() / "forge-deploy", fs::copy_options::recursive);
  const fs::path secrets = svc.dir() / "forge-deploy" / "auth.d" / "secrets";
  fs::create_directories(secrets);
  std::ofstream(secrets / "forge-deploy") << "0123456789abcdef\n";
  fs::permissions(secrets / "forge-deploy", fs::perms::owner_read | fs::perms::owner_write);
  const auto r = run_velquin({"--check", "--config", svc.config_path().string(), "--auth-dir",
                              (svc.dir() / "forge-deploy" / "auth.d").string(), "--alias-dir",
                              (svc.dir() / "forge-deploy" / "alias.d").string()});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out.rfind("configuration OK: ", 0), 0u) << r.out;
}

// The README quotes what --check prints for the example configuration.
TEST(ReferenceManual, ReadmeQuotesTheCheckOfTheExamples) {
  const std::string root = VELQUIN_SOURCE_DIR;
  std::stringstream readme;
  readme << std::ifstream(root + "/README.md").rdbuf();
  const std::string text = readme.str();
  const auto begin = text.find("`configuration OK: ");
  ASSERT_NE(begin, std::string::npos);
  const std::string quoted = text.substr(begin + 1, text.find('`', begin + 1) - begin - 1);
  EXPECT_EQ(command_output("cd '" + root +
                           "' && '" VELQUIN_BINARY "' --check --config examples/velquin.conf 2>&1"),
            quoted + "\n");
}

}  // namespace
}  // namespace velquin::e2e
