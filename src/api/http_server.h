#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace velquin::api {

// One parsed request as the handler sees it. Header names keep the client's
// spelling; look them up with header(), which ignores case.
struct Request {
  std::string method;
  std::string target;  // as sent, with any query
  std::string path;    // percent-decoded, without the query
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  // Content-Length as sent; for a chunked body the number of bytes received.
  std::optional<std::uint64_t> content_length;
  std::string remote_address;  // "" when unknown
  // Non-zero when the body could not be read whole; it is then empty. 413: over
  // the body limit; 503: over the cap on bodies buffered by all connections;
  // 400: malformed, cut short or too slow (the client may be gone).
  int rejected_status = 0;

  // The first header of that name, "" when absent.
  std::string header(std::string_view name) const;
  bool has_header(std::string_view name) const;
};

inline constexpr std::string_view TEXT_CONTENT_TYPE = "text/html; charset=utf-8";

// The body of a response sent while it is produced (Response::stream).
class BodyStream {
 public:
  virtual ~BodyStream() = default;
  // Sends the status line and headers, the first time; false when the client is gone.
  virtual bool begin() = 0;
  virtual bool begun() const = 0;
  // Sends bytes as one chunk, blocking until the client has taken them, at
  // most until `deadline` or the write time-out. False: the connection is
  // unusable from now on.
  virtual bool write(std::string_view bytes, std::chrono::steady_clock::time_point deadline) = 0;
  // Sent after the last chunk (lost on an HTTP/1.0 connection).
  virtual void add_trailer(std::string name, std::string value) = 0;
  // The client's socket, to watch for a hang-up; -1 once closed.
  virtual int socket_fd() const = 0;
};

struct Response;
// Runs on the connection thread. What it writes after begin() is the body of
// this response, sent chunked (HTTP/1.0: up to the close). If it never
// began, the response it returns is sent as a plain answer instead.
using BodyProducer = std::function<Response(BodyStream&)>;

struct Response {
  int status = 200;
  std::string reason;  // empty: the standard phrase of status
  std::string content_type{TEXT_CONTENT_TYPE};
  std::vector<std::pair<std::string, std::string>> headers;  // extra headers
  std::string body;
  // Ends the connection after this response.
  bool close = false;
  // Runs once the response has been written or the write failed; never skipped.
  std::function<void()> after_send;
  // Set: the body comes from here instead of `body` (see BodyProducer).
  BodyProducer stream;
};

// The standard reason phrase of a status ("Unknown" when there is none).
std::string status_reason(int status);

Response text_response(int status, std::string body);
Response json_response(int status, std::string body);

// What to do with a request whose head (request line and headers) is in, decided
// before a byte of its body is read or "100 Continue" is sent. A verdict that
// can only be reached from the body is a read_body whose continuation decides.
struct Admission {
  enum class Verdict {
    // Send `response` now. A body not read yet never is: the connection closes.
    answer,
    // Read the body within the limits, then `then` answers the whole request. It
    // is called exactly once, also when the body could not be read
    // (Request::rejected_status); dropping it uncalled must abandon the request.
    read_body,
  };
  Verdict verdict = Verdict::answer;
  Response response;
  std::function<Response(const Request&)> then;

  static Admission answer(Response response);
  static Admission read_body(std::function<Response(const Request&)> then);
};

// Called with the head of each request; must not throw (one that does gets a
// bare 500 from the server).
using Handler = std::function<Admission(const Request& head)>;

// The page the server itself answers with when a request cannot be parsed.
std::string bare_page(int status);

struct ServerLimits {
  std::uint64_t body_limit = 16 * 1024 * 1024;
  std::uint32_t header_bytes = 64 * 1024;
  std::size_t header_count = 100;
  std::chrono::milliseconds header_timeout{10'000};  // first request of a connection
  std::chrono::milliseconds idle_timeout{15'000};    // waiting for the next request
  std::chrono::milliseconds body_timeout{60'000};
  std::chrono::milliseconds write_timeout{60'000};
  std::size_t max_connections = 1024;
  // Body bytes all connections together may hold, reserved before they are read.
  std::uint64_t max_buffered_body_bytes = 268'435'456;
};

struct TlsFiles {
  std::string cert_chain;   // PEM
  std::string private_key;  // PEM
};

// Accepts on the thread that calls run(); serves each connection on a thread
// of its own. stop() may be called from any thread, also before run().
class HttpServer {
 public:
  // Binds and listens; throws std::system_error / std::runtime_error when the
  // address cannot be used or the TLS files are unusable. With listen_fd >= 0
  // it serves that listening TCP socket instead (taking it over) and ignores
  // host and port.
  HttpServer(const std::string& host, std::uint16_t port, std::optional<TlsFiles> tls,
             Handler handler, ServerLimits limits = {}, int listen_fd = -1);
  // Stops, then waits for every connection thread to end.
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Signals (already blocked by the caller) whose handlers run inside run(),
  // one at a time, in arrival order. Call before run().
  void set_signal_handlers(std::vector<std::pair<int, std::function<void(int)>>> handlers);

  // Serves until stop(). Returns at once when stop() came first.
  void run();
  // Closes the listener, ends run() and wakes idle keep-alive connections.
  // Connections inside a handler finish their response and then close.
  void stop();

  std::uint16_t port() const;

 private:
  struct Impl;
  std::shared_ptr<Impl> impl_;
};

}  // namespace velquin::api
