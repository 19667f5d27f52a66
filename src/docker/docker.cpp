#include "docker/docker.h"

#include <curl/curl.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "docker/command_words.h"

namespace velquin::docker {

namespace {

using nlohmann::json;

constexpr std::string_view kDefaultSocket = "/var/run/docker.sock";
constexpr long kConnectTimeoutSeconds = 10;
// Bounds the short calls (create, start, inspect, kill, remove); wait, logs
// and pull have their own rules.
constexpr double kShortCallSeconds = 120;

std::string env_text(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string() : std::string(value);
}

struct Endpoint {
  std::string base_url;     // scheme://authority, no trailing slash
  std::string unix_socket;  // empty for TCP
  std::string api_prefix;   // "/v1.41" or ""
  std::string display;      // what connection errors name
  bool tls = false;
  std::string ca_file;
  std::string cert_file;
  std::string key_file;
};

Endpoint endpoint_from_env() {
  Endpoint ep;
  std::string host = env_text("DOCKER_HOST");
  if (host.empty()) {
    host = "unix://" + std::string(kDefaultSocket);
  }
  if (host.rfind("unix://", 0) == 0) {
    ep.unix_socket = host.substr(7);
    if (ep.unix_socket.empty()) {
      ep.unix_socket = kDefaultSocket;
    }
    ep.base_url = "http://localhost";
    ep.display = "unix://" + ep.unix_socket;
  } else if (host.rfind("tcp://", 0) == 0) {
    std::string authority = host.substr(6);
    while (!authority.empty() && authority.back() == '/') {
      authority.pop_back();
    }
    if (authority.empty() || authority.find('/') != std::string::npos) {
      throw DockerError("Invalid DOCKER_HOST " + host + ": expected tcp://host[:port]");
    }
    ep.tls = !env_text("DOCKER_TLS_VERIFY").empty();
    // A port is present unless the authority is a bare name or a bracketed IPv6 address.
    const auto colon = authority.rfind(':');
    const auto bracket = authority.rfind(']');
    if (colon == std::string::npos || (bracket != std::string::npos && colon < bracket)) {
      authority += ep.tls ? ":2376" : ":2375";
    }
    ep.base_url = (ep.tls ? "https://" : "http://") + authority;
    ep.display = ep.base_url;
  } else {
    throw DockerError("Unsupported DOCKER_HOST " + host +
                      ": only unix:// and tcp:// are supported");
  }

  if (ep.tls) {
    std::string dir = env_text("DOCKER_CERT_PATH");
    if (dir.empty()) {
      dir = env_text("HOME") + "/.docker";
    }
    ep.ca_file = dir + "/ca.pem";
    ep.cert_file = dir + "/cert.pem";
    ep.key_file = dir + "/key.pem";
    for (const std::string* file : {&ep.ca_file, &ep.cert_file, &ep.key_file}) {
      std::error_code ec;
      if (!std::filesystem::is_regular_file(*file, ec)) {
        throw DockerError("Docker TLS file not found: " + *file);
      }
    }
  }

  std::string version = env_text("DOCKER_API_VERSION");
  if (!version.empty()) {
    if (version.front() == 'v' || version.front() == 'V') {
      version.erase(0, 1);
    }
    ep.api_prefix = "/v" + version;
  }
  return ep;
}

// Percent-encodes a query or path component.
std::string url_encode(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
        c == '_' || c == '.' || c == '~') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 0x0F];
    }
  }
  return out;
}

struct Response {
  long status = 0;
  std::string body;
};

struct CurlDeleter {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
struct SlistDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

size_t append_body(char* data, size_t size, size_t count, void* user) {
  static_cast<std::string*>(user)->append(data, size * count);
  return size * count;
}

// The engine's "message" member, else the body itself, else the status.
std::string error_message(const Response& response) {
  json parsed = json::parse(response.body, nullptr, false);
  if (parsed.is_object()) {
    auto it = parsed.find("message");
    if (it != parsed.end() && it->is_string()) {
      return it->get<std::string>();
    }
  }
  std::string text = response.body;
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
    text.pop_back();
  }
  if (text.empty()) {
    return "Docker Engine answered HTTP " + std::to_string(response.status);
  }
  return text;
}

bool mentions_missing_image(const std::string& message) {
  return message.find("manifest unknown") != std::string::npos ||
         message.find("not found") != std::string::npos ||
         message.find("No such image") != std::string::npos;
}

// Log streams of a container without a TTY arrive in frames: one byte of
// stream number, three zero bytes, a big-endian 32-bit length, the payload.
// A stream that does not start like a frame (a TTY) is taken as it is. Fed
// piece by piece as the transfer goes, so that only the payload is kept and
// the transfer can stop at the cap.
class LogSink {
 public:
  explicit LogSink(std::size_t max_bytes) : max_(max_bytes) {}

  // False once the payload went over the cap.
  bool feed(const char* data, std::size_t size) {
    while (size > 0 && !exceeded_) {
      if (raw_) {
        keep(data, size);
        return !exceeded_;
      }
      if (frame_left_ == 0) {
        // Collect a header; a partial one at the end is payload (see take()).
        const std::size_t take = std::min(size, std::size_t{8} - header_.size());
        header_.append(data, take);
        data += take;
        size -= take;
        if (header_.size() < 8) {
          continue;
        }
        const auto byte = [this](std::size_t i) {
          return static_cast<std::size_t>(static_cast<unsigned char>(header_[i]));
        };
        if (byte(0) > 2 || byte(1) != 0 || byte(2) != 0 || byte(3) != 0) {
          raw_ = true;  // not (or no longer) framed: everything from here is payload
          std::string pending = std::move(header_);
          header_.clear();
          keep(pending.data(), pending.size());
          continue;
        }
        frame_left_ = (byte(4) << 24) | (byte(5) << 16) | (byte(6) << 8) | byte(7);
        header_.clear();
        continue;
      }
      const std::size_t take = std::min(size, frame_left_);
      keep(data, take);
      data += take;
      size -= take;
      frame_left_ -= take;
    }
    return !exceeded_;
  }

  bool exceeded() const { return exceeded_; }

  std::string take() {
    if (!exceeded_ && !header_.empty()) {
      std::string pending = std::move(header_);
      header_.clear();
      keep(pending.data(), pending.size());
    }
    return std::move(out_);
  }

 private:
  void keep(const char* data, std::size_t size) {
    const std::size_t room = max_ - out_.size();
    if (size > room) {
      out_.append(data, room);
      exceeded_ = true;
      return;
    }
    out_.append(data, size);
  }

  const std::size_t max_;
  std::string out_;
  std::string header_;
  std::size_t frame_left_ = 0;
  bool raw_ = false;
  bool exceeded_ = false;
};

// What the write callback of a call with a LogSink needs: an answer that is
// not a 200 is an error text and goes to the body instead.
struct SinkTarget {
  CURL* handle;
  LogSink* sink;
  std::string* body;
};

constexpr std::size_t kMaxErrorBody = 65536;

size_t feed_sink(char* data, size_t size, size_t count, void* user) {
  auto* target = static_cast<SinkTarget*>(user);
  const std::size_t n = size * count;
  long status = 0;
  curl_easy_getinfo(target->handle, CURLINFO_RESPONSE_CODE, &status);
  if (status != 200) {
    target->body->append(
        data, std::min(n, kMaxErrorBody - std::min(kMaxErrorBody, target->body->size())));
    return n;
  }
  // Returning less than n aborts the transfer.
  return target->sink->feed(data, n) ? n : 0;
}

class CurlDockerClient final : public DockerClient {
 public:
  explicit CurlDockerClient(Endpoint endpoint) : ep_(std::move(endpoint)) {}

  void ping() override {
    Response r = call("GET", "/_ping", nullptr, 30);
    if (r.status != 200) {
      throw DockerError(error_message(r));
    }
  }

  std::string create(const RunSpec& spec) override {
    json body = json::object();
    body["Image"] = spec.image;
    if (spec.command) {
      std::vector<std::string> words = split_command(*spec.command);
      if (!words.empty()) {
        body["Cmd"] = words;
      }
    }
    json env = json::array();
    for (const auto& [name, value] : spec.env) {
      env.push_back(name + "=" + value);
    }
    body["Env"] = env;
    body["Tty"] = false;
    body["AttachStdin"] = false;
    body["OpenStdin"] = false;
    json binds = json::array();
    for (const Bind& bind : spec.binds) {
      // The engine splits a bind at ':'; a colon inside a path would shift its fields.
      // The host path may carry a parameter value, so the message names the
      // container side, which the operator wrote.
      if (bind.host_path.find(':') != std::string::npos ||
          bind.container_path.find(':') != std::string::npos) {
        throw DockerError("Cannot bind a path that contains ':' at " + bind.container_path);
      }
      binds.push_back(bind.host_path + ":" + bind.container_path + ":" + bind.mode);
    }
    body["HostConfig"] = {{"Binds", binds}, {"NetworkMode", spec.network.value_or("none")}};
    add_limits(body["HostConfig"], spec);
    const std::string payload = body.dump();
    Response r = call("POST", "/containers/create", &payload, kShortCallSeconds);
    if (r.status == 404) {
      throw ImageNotFound(error_message(r));
    }
    if (r.status != 201 && r.status != 200) {
      throw DockerError(error_message(r));
    }
    json parsed = json::parse(r.body, nullptr, false);
    if (!parsed.is_object() || !parsed.contains("Id") || !parsed["Id"].is_string()) {
      throw DockerError("Docker Engine answered container creation without an id");
    }
    return parsed["Id"].get<std::string>();
  }

  // setuid programs in an image never gain privileges; nothing is privileged.
  static void add_limits(json& host_config, const RunSpec& spec) {
    host_config["SecurityOpt"] = json::array({"no-new-privileges"});
    host_config["Privileged"] = false;
    if (spec.memory_bytes) {
      host_config["Memory"] = *spec.memory_bytes;
      host_config["MemorySwap"] = *spec.memory_bytes;  // no swap beyond the limit
    }
    if (spec.pids_limit) {
      host_config["PidsLimit"] = *spec.pids_limit;
    }
    if (spec.nano_cpus) {
      host_config["NanoCpus"] = *spec.nano_cpus;
    }
    if (spec.open_files) {
      host_config["Ulimits"] = json::array(
          {{{"Name", "nofile"}, {"Soft", *spec.open_files}, {"Hard", *spec.open_files}}});
    }
  }

  void start(const std::string& id) override {
    Response r =
        call("POST", "/containers/" + url_encode(id) + "/start", nullptr, kShortCallSeconds);
    // 304: already started.
    if (r.status != 204 && r.status != 304 && r.status != 200) {
      throw DockerError(error_message(r));
    }
  }

  std::string inspect_image(const std::string& id) override {
    Response r = call("GET", "/containers/" + url_encode(id) + "/json", nullptr, kShortCallSeconds);
    if (r.status != 200) {
      throw DockerError(error_message(r));
    }
    json parsed = json::parse(r.body, nullptr, false);
    if (parsed.is_object()) {
      auto it = parsed.find("Image");
      if (it != parsed.end() && it->is_string()) {
        return it->get<std::string>();
      }
    }
    return "";
  }

  std::optional<std::int64_t> wait(const std::string& id) override {
    Response r = call("POST", "/containers/" + url_encode(id) + "/wait", nullptr, 0);
    if (r.status != 200) {
      throw DockerError(error_message(r));
    }
    json parsed = json::parse(r.body, nullptr, false);
    if (!parsed.is_object()) {
      throw DockerError("Docker Engine answered the wait with no exit information");
    }
    auto it = parsed.find("StatusCode");
    if (it == parsed.end() || !it->is_number_integer()) {
      return std::nullopt;
    }
    return it->get<std::int64_t>();
  }

  std::string logs(const std::string& id, bool stdout_stream) override {
    return logs_capped(id, stdout_stream, SIZE_MAX).bytes;
  }

  CappedLog logs_capped(const std::string& id, bool stdout_stream, std::size_t max_bytes) override {
    const std::string query = stdout_stream ? "?stdout=1&stderr=0" : "?stdout=0&stderr=1";
    LogSink sink(max_bytes);
    Response r;
    try {
      r = call("GET", "/containers/" + url_encode(id) + "/logs" + query, nullptr, 0, &sink);
    } catch (const DockerError&) {
      if (!sink.exceeded()) {
        throw;
      }
      return {sink.take(), true};  // we cut the transfer short ourselves
    }
    if (r.status != 200) {
      throw DockerError(error_message(r));
    }
    return {sink.take(), false};
  }

  void kill(const std::string& id) override {
    Response r =
        call("POST", "/containers/" + url_encode(id) + "/kill", nullptr, kShortCallSeconds);
    if (r.status == 204 || r.status == 200 || r.status == 409) {
      return;
    }
    const std::string message = error_message(r);
    if (message.find("is not running") != std::string::npos) {
      return;
    }
    throw DockerError(message);
  }

  void remove(const std::string& id) override {
    // v=1: anonymous volumes of the image go with the container.
    Response r = call("DELETE", "/containers/" + url_encode(id) + "?force=1&v=1", nullptr,
                      kShortCallSeconds);
    if (r.status != 204 && r.status != 200) {
      throw DockerError(error_message(r));
    }
  }

  void pull(const std::string& image, double timeout_seconds) override {
    std::string name = image;
    std::string tag;
    const auto at = image.find('@');
    if (at != std::string::npos) {
      // The engine accepts a digest in the tag parameter.
      name = image.substr(0, at);
      tag = image.substr(at + 1);
    } else {
      const auto colon = image.rfind(':');
      const auto slash = image.rfind('/');
      if (colon != std::string::npos && (slash == std::string::npos || colon > slash)) {
        name = image.substr(0, colon);
        tag = image.substr(colon + 1);
      }
    }
    if (name.empty()) {
      throw DockerError("Invalid image reference: " + image);
    }
    if (tag.empty()) {
      tag = "latest";
    }
    const std::string path =
        "/images/create?fromImage=" + url_encode(name) + "&tag=" + url_encode(tag);
    const std::string empty;
    Response r = call("POST", path, &empty, timeout_seconds > 0 ? timeout_seconds : 0);
    if (r.status != 200) {
      const std::string message = error_message(r);
      if (r.status == 404 || mentions_missing_image(message)) {
        throw ImageNotFound(message);
      }
      throw DockerError(message);
    }
    // A failure after the headers arrives as an "error" member in the stream.
    std::string_view rest = r.body;
    while (!rest.empty()) {
      const auto end = rest.find('\n');
      const std::string_view line = rest.substr(0, end);
      rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
      json event = json::parse(line, nullptr, false);
      if (!event.is_object()) {
        continue;
      }
      auto it = event.find("error");
      if (it == event.end()) {
        continue;
      }
      std::string message = it->is_string() ? it->get<std::string>() : it->dump();
      if (mentions_missing_image(message)) {
        throw ImageNotFound(message);
      }
      throw DockerError(message);
    }
  }

 private:
  // timeout_seconds 0: no limit on the whole call.
  Response call(const char* method, const std::string& path, const std::string* body,
                double timeout_seconds, LogSink* sink = nullptr) {
    std::unique_ptr<CURL, CurlDeleter> handle(curl_easy_init());
    if (!handle) {
      throw DockerError("Cannot initialise the HTTP client for the Docker Engine");
    }
    CURL* h = handle.get();
    Response response;
    const std::string url = ep_.base_url + ep_.api_prefix + path;
    curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    if (!ep_.unix_socket.empty()) {
      curl_easy_setopt(h, CURLOPT_UNIX_SOCKET_PATH, ep_.unix_socket.c_str());
    }
    if (ep_.tls) {
      curl_easy_setopt(h, CURLOPT_CAINFO, ep_.ca_file.c_str());
      curl_easy_setopt(h, CURLOPT_SSLCERT, ep_.cert_file.c_str());
      curl_easy_setopt(h, CURLOPT_SSLKEY, ep_.key_file.c_str());
    }
    curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, method);
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds);
    // A wait on a long run keeps a TCP connection idle for its whole length.
    curl_easy_setopt(h, CURLOPT_TCP_KEEPALIVE, 1L);
    if (timeout_seconds > 0) {
      auto ms = static_cast<long>(timeout_seconds * 1000.0);
      curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, ms < 1 ? 1L : ms);
    }
    SinkTarget target{h, sink, &response.body};
    if (sink != nullptr) {
      curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &feed_sink);
      curl_easy_setopt(h, CURLOPT_WRITEDATA, &target);
    } else {
      curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &append_body);
      curl_easy_setopt(h, CURLOPT_WRITEDATA, &response.body);
    }
    std::unique_ptr<curl_slist, SlistDeleter> headers;
    if (body != nullptr) {
      headers.reset(curl_slist_append(nullptr, "Content-Type: application/json"));
      curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());
      curl_easy_setopt(h, CURLOPT_POSTFIELDS, body->data());
      curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body->size()));
    }
    const CURLcode code = curl_easy_perform(h);
    if (code == CURLE_OPERATION_TIMEDOUT) {
      throw DockerError("Docker Engine at " + ep_.display + " did not answer " + method + " " +
                        path + " in time");
    }
    if (code != CURLE_OK) {
      // curl's own detail names "localhost port 80" for a socket; name the real endpoint.
      throw DockerError("Cannot connect to the Docker Engine at " + ep_.display + ": " +
                        curl_easy_strerror(code));
    }
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &response.status);
    return response;
  }

  const Endpoint ep_;
};

}  // namespace

std::vector<std::string> split_command(std::string_view command) {
  std::vector<std::string> words;
  std::string word;
  bool in_word = false;
  size_t i = 0;
  const size_t n = command.size();
  while (i < n) {
    const char c = command[i];
    if (c == ' ' || c == '\t' || c == '\n') {
      if (in_word) {
        words.push_back(std::move(word));
        word.clear();
        in_word = false;
      }
      ++i;
      continue;
    }
    in_word = true;
    if (c == '\\') {
      if (i + 1 >= n) {
        throw DockerError("Cannot split command: it ends with a backslash");
      }
      // A backslash-newline joins lines and adds nothing.
      if (command[i + 1] != '\n') {
        word += command[i + 1];
      }
      i += 2;
    } else if (c == '\'') {
      const auto close = command.find('\'', i + 1);
      if (close == std::string_view::npos) {
        throw DockerError("Cannot split command: unterminated single quote");
      }
      word.append(command.substr(i + 1, close - i - 1));
      i = close + 1;
    } else if (c == '"') {
      ++i;
      bool closed = false;
      while (i < n) {
        const char d = command[i];
        if (d == '"') {
          closed = true;
          ++i;
          break;
        }
        if (d == '\\' && i + 1 < n &&
            (command[i + 1] == '\\' || command[i + 1] == '"' || command[i + 1] == '$' ||
             command[i + 1] == '`' || command[i + 1] == '\n')) {
          if (command[i + 1] != '\n') {
            word += command[i + 1];
          }
          i += 2;
          continue;
        }
        word += d;
        ++i;
      }
      if (!closed) {
        throw DockerError("Cannot split command: unterminated double quote");
      }
    } else {
      word += c;
      ++i;
    }
  }
  if (in_word) {
    words.push_back(std::move(word));
  }
  return words;
}

CappedLog DockerClient::logs_capped(const std::string& id, bool stdout_stream,
                                    std::size_t max_bytes) {
  CappedLog log{logs(id, stdout_stream), false};
  if (log.bytes.size() > max_bytes) {
    log.bytes.resize(max_bytes);
    log.exceeded = true;
  }
  return log;
}

std::shared_ptr<DockerClient> client_from_env() {
  auto client = std::make_shared<CurlDockerClient>(endpoint_from_env());
  // Creation answers for reachability, so a dead engine shows at the first use.
  client->ping();
  return client;
}

void global_init() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

}  // namespace velquin::docker
