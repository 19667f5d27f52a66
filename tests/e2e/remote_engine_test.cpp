// A container alias through an engine reached over TCP with mutual TLS, the
// way the docker CLI reaches a remote one: DOCKER_HOST, DOCKER_TLS_VERIFY and
// DOCKER_CERT_PATH. socat stands in for the remote engine's TLS endpoint.
#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <thread>

#include "e2e/harness.h"

extern char** environ;

namespace velquin::e2e {
namespace {

namespace fs = std::filesystem;

// CA "ca" signs the engine's certificate (for IP 127.0.0.1) and the client
// "good"; CA "rogue" signs the client "stranger". Each client directory holds
// what DOCKER_CERT_PATH names: ca.pem, cert.pem, key.pem.
void make_certificates(const fs::path& dir) {
  const std::string script = R"(set -e
cd ")" + dir.string() + R"("
key() { openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$1" 2>/dev/null; }
for ca in ca rogue; do
  key $ca-key.pem
  openssl req -x509 -new -key $ca-key.pem -subj "/CN=$ca" -days 2 -out $ca.pem
done
printf 'subjectAltName=IP:127.0.0.1\nextendedKeyUsage=serverAuth\n' > server.ext
printf 'extendedKeyUsage=clientAuth\n' > client.ext
sign() {  # sign NAME CA EXT
  key $1-key.pem
  openssl req -new -key $1-key.pem -subj "/CN=$1" -out $1.csr
  openssl x509 -req -in $1.csr -CA $2.pem -CAkey $2-key.pem -CAcreateserial -days 2 \
    -extfile $3 -out $1.pem 2>/dev/null
}
sign server ca server.ext
sign good ca client.ext
sign stranger rogue client.ext
client() {  # client DIR NAME CA
  mkdir $1; cp $3.pem $1/ca.pem; cp $2.pem $1/cert.pem; cp $2-key.pem $1/key.pem
}
client good good ca
client stranger stranger ca
client distrustful good rogue
echo ok)";
  testing::TempDir scripts;
  const fs::path file = scripts.write("certs.sh", script);
  ASSERT_EQ(command_output("sh " + file.string() + " 2>&1"), "ok\n");
}

// socat on a loopback port: TLS that asks for a client certificate of "ca",
// then the local engine's socket. Its own process group, ended with it.
class TlsEngineProxy {
 public:
  TlsEngineProxy(const fs::path& dir, unsigned short port) {
    std::string listen =
        "openssl-listen:" + std::to_string(port) +
        ",bind=127.0.0.1,reuseaddr,fork,verify=1,cert=" + (dir / "server.pem").string() +
        ",key=" + (dir / "server-key.pem").string() + ",cafile=" + (dir / "ca.pem").string();
    std::string prog = "socat";
    std::string connect = "unix-connect:/var/run/docker.sock";
    char* argv[] = {prog.data(), listen.data(), connect.data(), nullptr};
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attr, 0);
    const int rc = posix_spawnp(&pid_, "socat", nullptr, &attr, argv, environ);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) {
      pid_ = -1;
      return;
    }
    for (int i = 0; i < 200; ++i) {
      if (command_output("ss -Hltn 'sport = :" + std::to_string(port) + "'").find("LISTEN") !=
          std::string::npos) {
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
  }
  ~TlsEngineProxy() {
    if (pid_ > 0) {
      ::kill(-pid_, SIGTERM);
      int status = 0;
      ::waitpid(pid_, &status, 0);
    }
  }
  bool running() const { return pid_ > 0; }

 private:
  pid_t pid_ = -1;
};

struct RemoteCase {
  const char* client;  // directory named by DOCKER_CERT_PATH
  bool served;
};

class RemoteEngine : public ::testing::TestWithParam<RemoteCase> {};

TEST_P(RemoteEngine, ContainerAliasOverMutualTls) {
  if (command_output("command -v socat").empty()) {
    GTEST_SKIP() << "socat is not installed";
  }
  testing::TempDir certs;
  make_certificates(certs.path());
  const unsigned short engine_port = free_port();
  TlsEngineProxy proxy(certs.path(), engine_port);
  ASSERT_TRUE(proxy.running());

  ServiceOptions opts;
  opts.allowed_aliases = {"cecho"};
  opts.env = {{"DOCKER_HOST", "tcp://127.0.0.1:" + std::to_string(engine_port)},
              {"DOCKER_TLS_VERIFY", "1"},
              {"DOCKER_CERT_PATH", (certs.path() / GetParam().client).string()}};
  Service s(opts);
  s.write_alias_file("cecho.yaml",
                     "cecho:\n  type: container\n  image: velquin-test/busybox:latest\n"
                     "  command: \"echo {{ message | shell }}\"\n  parameters:\n    message:\n"
                     "      type: string\n      default: hello\n");
  s.start();
  auto r = s.execute("cecho", nlohmann::json{{"message", "over tls"}});
  if (GetParam().served) {
    EXPECT_EQ(r.status, 200) << r.body;
    EXPECT_EQ(r.body, "over tls\n");
  } else {
    EXPECT_GE(r.status, 500) << r.body;
    EXPECT_EQ(r.body.find("over tls"), std::string::npos);
  }
  EXPECT_EQ(s.stop(), 0);
}

// "stranger": the engine refuses a client certificate of another CA;
// "distrustful": the client refuses an engine certificate it cannot verify.
INSTANTIATE_TEST_SUITE_P(Certificates, RemoteEngine,
                         ::testing::Values(RemoteCase{"good", true}, RemoteCase{"stranger", false},
                                           RemoteCase{"distrustful", false}),
                         [](const auto& p) { return std::string(p.param.client); });

}  // namespace
}  // namespace velquin::e2e
