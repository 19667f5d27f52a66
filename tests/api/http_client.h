#pragma once

#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include <openssl/ssl.h>

namespace velquin::testing {

struct HttpReply {
  int status = 0;
  std::string reason;
  std::map<std::string, std::string> headers;  // lower-case names
  std::string body;
};

// A blocking loopback client that writes raw bytes and reads HTTP/1.1 replies
// (Content-Length bodies only). Reads give up after 30 s so that a broken
// server fails a test instead of hanging it.
class RawClient {
 public:
  explicit RawClient(std::uint16_t port, bool tls = false);
  ~RawClient();
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;

  bool connected() const { return fd_ >= 0; }
  bool send(const std::string& bytes);
  // nullopt when the server closed the connection before a whole reply.
  std::optional<HttpReply> read_reply();
  // True once the server has closed its side (reads return end of stream).
  bool wait_closed();

 private:
  bool fill();
  int fd_ = -1;
  SSL_CTX* ctx_ = nullptr;
  SSL* ssl_ = nullptr;
  std::string buffer_;
};

// One request on a fresh connection.
std::optional<HttpReply> http_request(std::uint16_t port, const std::string& method,
                                      const std::string& path, const std::string& body = "",
                                      const std::map<std::string, std::string>& headers = {},
                                      bool tls = false);

// ---- definitions (header-only: the test glob builds *_test.cpp files only)
inline RawClient::RawClient(std::uint16_t port, bool tls) {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  timeval tv{30, 0};
  ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd_);
    fd_ = -1;
    return;
  }
  if (tls) {
    ctx_ = SSL_CTX_new(TLS_client_method());
    ssl_ = SSL_new(ctx_);
    SSL_set_fd(ssl_, fd_);
    if (SSL_connect(ssl_) != 1) {
      ::close(fd_);
      fd_ = -1;
    }
  }
}

inline RawClient::~RawClient() {
  if (ssl_ != nullptr) {
    SSL_free(ssl_);
  }
  if (ctx_ != nullptr) {
    SSL_CTX_free(ctx_);
  }
  if (fd_ >= 0) {
    ::close(fd_);
  }
}

inline bool RawClient::send(const std::string& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    long n = ssl_ != nullptr
                 ? SSL_write(ssl_, bytes.data() + sent, static_cast<int>(bytes.size() - sent))
                 : ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) {
      return false;
    }
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

inline bool RawClient::fill() {
  char chunk[65536];
  long n =
      ssl_ != nullptr ? SSL_read(ssl_, chunk, sizeof chunk) : ::recv(fd_, chunk, sizeof chunk, 0);
  if (n <= 0) {
    return false;
  }
  buffer_.append(chunk, static_cast<std::size_t>(n));
  return true;
}

inline std::optional<HttpReply> RawClient::read_reply() {
  if (fd_ < 0) {
    return std::nullopt;
  }
  std::size_t head_end;
  while ((head_end = buffer_.find("\r\n\r\n")) == std::string::npos) {
    if (!fill()) {
      return std::nullopt;
    }
  }
  HttpReply reply;
  std::string head = buffer_.substr(0, head_end);
  std::size_t line_end = head.find("\r\n");
  std::string status_line = head.substr(0, line_end);
  // "HTTP/1.1 422 Bad Input"
  std::size_t sp1 = status_line.find(' ');
  std::size_t sp2 = status_line.find(' ', sp1 + 1);
  reply.status = std::stoi(status_line.substr(sp1 + 1, sp2 - sp1 - 1));
  reply.reason = sp2 == std::string::npos ? "" : status_line.substr(sp2 + 1);
  std::size_t pos = line_end == std::string::npos ? head.size() : line_end + 2;
  while (pos < head.size()) {
    std::size_t end = head.find("\r\n", pos);
    if (end == std::string::npos) {
      end = head.size();
    }
    std::string line = head.substr(pos, end - pos);
    std::size_t colon = line.find(':');
    if (colon != std::string::npos) {
      std::string name = line.substr(0, colon);
      for (auto& c : name) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      }
      std::size_t v = colon + 1;
      while (v < line.size() && line[v] == ' ') {
        ++v;
      }
      reply.headers[name] = line.substr(v);
    }
    pos = end + 2;
  }
  buffer_.erase(0, head_end + 4);
  std::size_t length = 0;
  if (auto it = reply.headers.find("content-length"); it != reply.headers.end()) {
    length = std::stoul(it->second);
  }
  while (buffer_.size() < length) {
    if (!fill()) {
      return std::nullopt;
    }
  }
  reply.body = buffer_.substr(0, length);
  buffer_.erase(0, length);
  return reply;
}

inline bool RawClient::wait_closed() {
  for (;;) {
    errno = 0;
    char chunk[4096];
    long n =
        ssl_ != nullptr ? SSL_read(ssl_, chunk, sizeof chunk) : ::recv(fd_, chunk, sizeof chunk, 0);
    if (n > 0) {
      continue;
    }
    // End of stream or a reset: closed. A receive time-out: still open.
    return errno != EAGAIN && errno != EWOULDBLOCK;
  }
}

inline std::optional<HttpReply> http_request(std::uint16_t port, const std::string& method,
                                             const std::string& path, const std::string& body,
                                             const std::map<std::string, std::string>& headers,
                                             bool tls) {
  RawClient client(port, tls);
  std::string request = method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
  for (const auto& [name, value] : headers) {
    request += name + ": " + value + "\r\n";
  }
  if (!body.empty() || method == "POST") {
    request += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  }
  request += "\r\n" + body;
  if (!client.send(request)) {
    return std::nullopt;
  }
  return client.read_reply();
}

}  // namespace velquin::testing
