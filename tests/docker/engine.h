#pragma once

// Test-side view of the real engine: whether container tests run at all and
// which containers of an image exist, read straight from the Engine API so
// that the client under test does not vouch for itself.

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace velquin::testing {

inline constexpr const char* kTestImage = "velquin-test/busybox:latest";
inline constexpr const char* kRegistryImage = "127.0.0.1:5000/velquin-test/busybox:latest";

inline bool docker_tests_disabled() {
  const char* flag = std::getenv("VELQUIN_TEST_DOCKER");
  return flag != nullptr && std::string(flag) == "0";
}

#define VELQUIN_REQUIRE_DOCKER()                                                                   \
  do {                                                                                             \
    if (::velquin::testing::docker_tests_disabled()) {                                             \
      GTEST_SKIP() << "container tests disabled by VELQUIN_TEST_DOCKER=0";                         \
    }                                                                                              \
  } while (0)

inline std::string engine_socket() {
  const char* host = std::getenv("DOCKER_HOST");
  std::string text = host == nullptr ? "" : host;
  if (text.rfind("unix://", 0) == 0) {
    return text.substr(7);
  }
  return "/var/run/docker.sock";
}

// One request on the engine's socket; the body, or "" with a test failure.
inline std::string engine_call(const char* method, const std::string& path) {
  std::unique_ptr<CURL, void (*)(CURL*)> handle(curl_easy_init(), curl_easy_cleanup);
  std::string body;
  const std::string url = "http://localhost" + path;
  const std::string socket = engine_socket();
  curl_easy_setopt(handle.get(), CURLOPT_URL, url.c_str());
  curl_easy_setopt(handle.get(), CURLOPT_CUSTOMREQUEST, method);
  curl_easy_setopt(handle.get(), CURLOPT_UNIX_SOCKET_PATH, socket.c_str());
  curl_easy_setopt(handle.get(), CURLOPT_TIMEOUT, 30L);
  curl_easy_setopt(
      handle.get(), CURLOPT_WRITEFUNCTION, +[](char* data, size_t size, size_t count, void* user) {
        static_cast<std::string*>(user)->append(data, size * count);
        return size * count;
      });
  curl_easy_setopt(handle.get(), CURLOPT_WRITEDATA, &body);
  const CURLcode code = curl_easy_perform(handle.get());
  EXPECT_EQ(code, CURLE_OK) << "engine not reachable at " << socket
                            << " (run scripts/test-env.sh or set VELQUIN_TEST_DOCKER=0)";
  return code == CURLE_OK ? body : "";
}

// Full ids of every container (running or not) created from the image.
inline std::vector<std::string> containers_of(const std::string& image) {
  std::vector<std::string> ids;
  const auto list =
      nlohmann::json::parse(engine_call("GET", "/containers/json?all=1"), nullptr, false);
  if (!list.is_array()) {
    ADD_FAILURE() << "engine did not list containers";
    return ids;
  }
  for (const auto& c : list) {
    if (c.value("Image", "") == image) {
      ids.push_back(c.value("Id", ""));
    }
  }
  return ids;
}

}  // namespace velquin::testing
