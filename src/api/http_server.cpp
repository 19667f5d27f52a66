#include "api/http_server.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <set>
#include <system_error>
#include <thread>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <openssl/ssl.h>

#include "api/chunked_body.h"
#include "api/params.h"
#include "logger/logger.h"
#include "support/scope_exit.h"
#include "support/text.h"

namespace velquin::api {

namespace {

namespace beast = boost::beast;
namespace http = beast::http;
namespace net = boost::asio;
namespace ssl = boost::asio::ssl;
using tcp = net::ip::tcp;
using boost::system::error_code;

// Runs one asynchronous operation to completion on the connection's own
// io_context, so that the stream's deadline can cut it.
template <typename Start> error_code run_io(net::io_context& ioc, Start start) {
  error_code result = net::error::operation_aborted;
  start([&result](error_code ec, std::size_t) { result = ec; });
  ioc.restart();
  ioc.run();
  return result;
}

std::string reason_for(int status) {
  auto phrase = http::obsolete_reason(http::int_to_status(static_cast<unsigned>(status)));
  if (phrase.empty() || phrase == "<unknown-status>") {
    return "Unknown";
  }
  return std::string(phrase);
}

bool is_quiet_close(const error_code& ec) {
  return ec == http::error::end_of_stream || ec == net::error::eof ||
         ec == net::error::operation_aborted || ec == beast::error::timeout ||
         ec == net::error::connection_reset || ec == net::error::bad_descriptor ||
         ec == net::error::broken_pipe || ec == ssl::error::stream_truncated;
}

}  // namespace

std::string Request::header(std::string_view name) const {
  for (const auto& [key, value] : headers) {
    if (key.size() == name.size() && support::to_lower(key) == support::to_lower(name)) {
      return value;
    }
  }
  return {};
}

bool Request::has_header(std::string_view name) const {
  return std::ranges::any_of(headers, [&](const auto& header) {
    return header.first.size() == name.size() &&
           support::to_lower(header.first) == support::to_lower(name);
  });
}

Response text_response(int status, std::string body) {
  Response res;
  res.status = status;
  res.body = std::move(body);
  return res;
}

Admission Admission::answer(Response response) {
  Admission admission;
  admission.verdict = Verdict::answer;
  admission.response = std::move(response);
  return admission;
}

Admission Admission::read_body(std::function<Response(const Request&)> then) {
  Admission admission;
  admission.verdict = Verdict::read_body;
  admission.then = std::move(then);
  return admission;
}

std::string status_reason(int status) {
  return reason_for(status);
}

std::string bare_page(int status) {
  const std::string reason = reason_for(status);
  return "<!doctype html>\n<title>" + std::to_string(status) + " " + reason + "</title>\n<h1>" +
         reason + "</h1>\n";
}

Response json_response(int status, std::string body) {
  Response res;
  res.status = status;
  res.content_type = "application/json";
  res.body = std::move(body);
  return res;
}

// Body bytes that one request may buffer, counted against the cap shared by
// every connection; given back when the request is done.
class BodyBudget {
 public:
  BodyBudget(std::atomic<std::uint64_t>& total, std::uint64_t cap) : total_(total), cap_(cap) {}
  ~BodyBudget() { release(); }
  BodyBudget(const BodyBudget&) = delete;
  BodyBudget& operator=(const BodyBudget&) = delete;

  // False, taking nothing, when n more bytes would pass the cap.
  bool take(std::uint64_t n) {
    std::uint64_t now = total_.load();
    do {
      if (n > cap_ || now > cap_ - n) {
        return false;
      }
    } while (!total_.compare_exchange_weak(now, now + n));
    held_ += n;
    return true;
  }

  void release() {
    total_.fetch_sub(held_);
    held_ = 0;
  }

 private:
  std::atomic<std::uint64_t>& total_;
  const std::uint64_t cap_;
  std::uint64_t held_ = 0;
};

// One accepted connection. Its io_context only runs on the connection's own
// thread, so anything posted to it (the stop's wake-up) runs there too.
struct Connection {
  net::io_context ioc{1};
  // Joined once the connection has ended, so that the thread's exit (OpenSSL
  // frees its per-thread state then) is over before the server is gone.
  std::thread thread;
  std::mutex mutex;
  bool busy = false;             // guarded by mutex: inside the handler
  std::function<void()> cancel;  // touched only on the connection thread
};

struct HttpServer::Impl {
  net::io_context ioc{1};
  tcp::acceptor acceptor{ioc};
  std::optional<ssl::context> tls;
  Handler handler;
  ServerLimits limits;
  std::atomic<bool> stopped{false};
  std::atomic<std::uint16_t> bound_port{0};
  std::atomic<std::uint64_t> buffered_body_bytes{0};  // reserved by every BodyBudget

  std::mutex mutex;
  std::condition_variable cv;
  std::set<std::shared_ptr<Connection>> connections;  // guarded by mutex
  std::vector<std::shared_ptr<Connection>> ended;     // guarded by mutex: threads to join
  bool accept_paused = false;                         // guarded by mutex

  std::vector<std::pair<int, std::function<void(int)>>> signal_handlers;
  std::optional<net::posix::stream_descriptor> signals;
  signalfd_siginfo siginfo{};

  void do_accept();
  void arm_signals();
  void read_signal();
  void serve(const std::shared_ptr<Connection>& conn, tcp::socket socket);
  template <typename Stream>
  void session(Connection& conn, Stream& stream, const std::string& remote);
  // Reads the body of an admitted request: 0 when it is in whole, else the
  // status that refuses it (Request::rejected_status).
  template <typename Stream>
  int read_body(Connection& conn, Stream& stream, beast::flat_buffer& buffer,
                http::request_parser<http::string_body>& parser, BodyBudget& budget);
  void connection_ended(const std::shared_ptr<Connection>& conn);
  // Joins the threads of ended connections; never called on a connection thread.
  void reap();
};

void HttpServer::Impl::do_accept() {
  if (stopped) {
    return;
  }
  auto conn = std::make_shared<Connection>();
  auto socket = std::make_shared<tcp::socket>(conn->ioc);
  // Handlers on the main io_context hold a plain pointer: the io_context is
  // part of Impl, and a shared one would keep Impl alive from inside itself.
  acceptor.async_accept(*socket, [self = this, conn, socket](error_code ec) {
    if (ec == net::error::operation_aborted || self->stopped) {
      return;
    }
    if (ec) {
      // Out of descriptors and the like: back off briefly instead of spinning.
      logger::warning("Accept failed: " + ec.message());
      auto timer = std::make_shared<net::steady_timer>(self->ioc, std::chrono::milliseconds(100));
      timer->async_wait([self, timer](error_code) { self->do_accept(); });
      return;
    }
    bool at_limit = false;
    {
      // Under the lock, so the thread cannot report its end before it is stored.
      std::lock_guard lock(self->mutex);
      self->connections.insert(conn);
      try {
        // A plain pointer: the server joins every connection thread before Impl goes.
        conn->thread = std::thread(
            [self, conn, s = std::move(*socket)]() mutable { self->serve(conn, std::move(s)); });
        at_limit = self->connections.size() >= self->limits.max_connections;
        if (at_limit) {
          self->accept_paused = true;
        }
      } catch (const std::system_error& e) {
        logger::error(std::string("Cannot start a connection thread: ") + e.what());
        self->connections.erase(conn);
      }
    }
    if (!at_limit) {
      self->do_accept();
    }
  });
}

void HttpServer::Impl::connection_ended(const std::shared_ptr<Connection>& conn) {
  bool resume = false;
  {
    std::lock_guard lock(mutex);
    connections.erase(conn);
    ended.push_back(conn);
    if (accept_paused && !stopped && connections.size() < limits.max_connections) {
      accept_paused = false;
      resume = true;
    }
  }
  cv.notify_all();
  net::post(ioc, [self = this, resume] {
    self->reap();
    if (resume) {
      self->do_accept();
    }
  });
}

void HttpServer::Impl::reap() {
  std::vector<std::shared_ptr<Connection>> done;
  {
    std::lock_guard lock(mutex);
    done.swap(ended);
  }
  for (const auto& conn : done) {
    if (conn->thread.joinable()) {
      conn->thread.join();
    }
  }
}

void HttpServer::Impl::serve(const std::shared_ptr<Connection>& conn, tcp::socket socket) {
  support::ScopeExit on_end([&] { connection_ended(conn); });
  error_code ec;
  socket.set_option(tcp::no_delay(true), ec);
  std::string remote;
  auto endpoint = socket.remote_endpoint(ec);
  if (!ec) {
    remote = endpoint.address().to_string();
  }
  try {
    if (tls) {
      ssl::stream<beast::tcp_stream> stream(beast::tcp_stream(std::move(socket)), *tls);
      conn->cancel = [&stream] { beast::get_lowest_layer(stream).close(); };
      support::ScopeExit clear([&] { conn->cancel = nullptr; });
      beast::get_lowest_layer(stream).expires_after(limits.header_timeout);
      ec = run_io(conn->ioc, [&](auto done) {
        stream.async_handshake(ssl::stream_base::server,
                               [done](error_code e) mutable { done(e, 0); });
      });
      if (ec || stopped) {
        return;
      }
      session(*conn, stream, remote);
      if (beast::get_lowest_layer(stream).socket().is_open()) {
        beast::get_lowest_layer(stream).expires_after(std::chrono::seconds(2));
        run_io(conn->ioc, [&](auto done) {
          stream.async_shutdown([done](error_code e) mutable { done(e, 0); });
        });
      }
    } else {
      beast::tcp_stream stream(std::move(socket));
      conn->cancel = [&stream] { stream.close(); };
      support::ScopeExit clear([&] { conn->cancel = nullptr; });
      session(*conn, stream, remote);
      // Read what the client still sends before closing: closing with unread
      // input resets the connection and can destroy the answer (a 413) in flight.
      stream.socket().shutdown(tcp::socket::shutdown_send, ec);
      if (!ec && stream.socket().is_open()) {
        stream.expires_after(std::chrono::seconds(2));
        std::size_t drained = 0;
        char scratch[16384];
        while (drained < std::size_t{64} * 1024 * 1024) {
          std::size_t n = 0;
          ec = run_io(conn->ioc, [&](auto done) {
            stream.async_read_some(net::buffer(scratch),
                                   [done, &n](error_code e, std::size_t k) mutable {
                                     n = k;
                                     done(e, k);
                                   });
          });
          if (ec) {
            break;
          }
          drained += n;
        }
      }
    }
  } catch (const std::exception& e) {
    // Nothing of a connection may take the process down.
    logger::error(std::string("Connection failed: ") + e.what());
  }
}

template <typename Stream>
void HttpServer::Impl::session(Connection& conn, Stream& stream, const std::string& remote) {
  beast::flat_buffer buffer;
  bool first = true;

  auto write = [&](http::response<http::string_body>& res, bool head_only) {
    beast::get_lowest_layer(stream).expires_after(limits.write_timeout);
    if (head_only) {
      http::response_serializer<http::string_body> sr{res};
      return run_io(conn.ioc, [&](auto done) { http::async_write_header(stream, sr, done); });
    }
    return run_io(conn.ioc, [&](auto done) { http::async_write(stream, res, done); });
  };
  auto bare = [&](int status) {
    http::response<http::string_body> res{http::int_to_status(static_cast<unsigned>(status)), 11};
    res.reason(reason_for(status));
    res.set(http::field::content_type, std::string(TEXT_CONTENT_TYPE));
    res.body() = bare_page(status);
    res.keep_alive(false);
    res.prepare_payload();
    write(res, false);
  };
  // While busy, a stop lets the application finish its answer.
  auto set_busy = [&](bool value) {
    std::lock_guard lock(conn.mutex);
    conn.busy = value;
  };

  while (!stopped) {
    // Declared before the parser, so that on an early return it is given back
    // after the body it counts is freed.
    BodyBudget budget(buffered_body_bytes, limits.max_buffered_body_bytes);
    http::request_parser<http::string_body> parser;
    parser.header_limit(limits.header_bytes);
    parser.body_limit(limits.body_limit);
    beast::get_lowest_layer(stream).expires_after(first ? limits.header_timeout
                                                        : limits.idle_timeout);
    first = false;
    error_code ec =
        run_io(conn.ioc, [&](auto done) { http::async_read_header(stream, buffer, parser, done); });
    int rejected = 0;
    if (ec == http::error::body_limit) {
      rejected = 413;
    } else if (ec == http::error::header_limit) {
      bare(431);
      return;
    } else if (ec) {
      if (!is_quiet_close(ec) && !stopped) {
        bare(400);
      }
      return;
    }
    const auto& head = parser.get();
    if (static_cast<std::size_t>(std::distance(head.begin(), head.end())) > limits.header_count) {
      bare(431);
      return;
    }
    beast::get_lowest_layer(stream).expires_never();

    Request req;
    req.method = std::string(head.method_string());
    req.target = std::string(head.target());
    auto query = req.target.find('?');
    req.path = support::decode_utf8_replace(
        percent_decode(std::string_view(req.target).substr(0, query), false));
    for (const auto& field : head) {
      req.headers.emplace_back(std::string(field.name_string()), std::string(field.value()));
    }
    if (rejected == 0) {  // a head refused by the parser is not done: no length to ask for
      if (auto length = parser.content_length()) {
        req.content_length = *length;
      }
    }
    req.rejected_status = rejected;
    req.remote_address = remote;
    const bool body_unread = rejected != 0 || !parser.is_done();
    const bool head_only = head.method() == http::verb::head;
    const unsigned version = head.version();
    bool keep_alive = head.keep_alive();

    Admission admission;
    set_busy(true);
    try {
      admission = handler(req);
    } catch (...) {
      admission = Admission::answer(text_response(500, bare_page(500)));
    }
    set_busy(false);

    Response res;
    if (admission.verdict == Admission::Verdict::read_body) {
      auto then = std::move(admission.then);
      if (req.rejected_status == 0 && body_unread) {
        req.rejected_status = read_body(conn, stream, buffer, parser, budget);
      }
      if (req.rejected_status == 0) {
        req.body = std::move(parser.get().body());
        if (parser.chunked()) {
          req.content_length = req.body.size();
        }
      }
      set_busy(true);
      try {
        res = then(req);
      } catch (...) {
        res = text_response(500, bare_page(500));
      }
      set_busy(false);
      then = nullptr;  // its hold on the request ends with the answer
      // The body is done with: its bytes are free for others before the answer goes out.
      std::string().swap(req.body);
      budget.release();
      keep_alive = keep_alive && req.rejected_status == 0;
    } else {
      res = std::move(admission.response);
      keep_alive = keep_alive && !body_unread;
    }
    support::ScopeExit sent([&] {
      if (res.after_send) {
        res.after_send();
      }
    });
    if (res.stream) {
      detail::ChunkedBody<Stream> body(
          stream, conn.ioc, res, res.reason.empty() ? reason_for(res.status) : res.reason, version,
          keep_alive && !res.close && !stopped, limits.write_timeout);
      Response plain;
      set_busy(true);
      try {
        plain = res.stream(body);
      } catch (...) {
        plain = text_response(500, bare_page(500));
      }
      set_busy(false);
      if (body.begun()) {
        if (!body.end()) {
          return;
        }
        continue;
      }
      // Nothing went out: the producer's answer is sent as any other.
      plain.after_send = std::move(res.after_send);
      res = std::move(plain);
    }

    http::response<http::string_body> out{http::int_to_status(static_cast<unsigned>(res.status)),
                                          version};
    out.result(static_cast<unsigned>(res.status));
    out.reason(res.reason.empty() ? reason_for(res.status) : res.reason);
    out.set(http::field::content_type, res.content_type);
    for (const auto& [name, value] : res.headers) {
      out.insert(name, value);
    }
    out.body() = std::move(res.body);
    out.keep_alive(keep_alive && !res.close && !stopped);
    out.prepare_payload();
    ec = write(out, head_only);
    if (ec || !out.keep_alive()) {
      return;
    }
  }
}

template <typename Stream>
int HttpServer::Impl::read_body(Connection& conn, Stream& stream, beast::flat_buffer& buffer,
                                http::request_parser<http::string_body>& parser,
                                BodyBudget& budget) {
  if (auto length = parser.content_length(); length && !budget.take(*length)) {
    return 503;
  }
  // A chunked body is counted chunk by chunk, as each one announces its size.
  // The parser keeps a reference to this callback, but is not fed after we return.
  bool over_cap = false;
  auto on_chunk = [&](std::uint64_t size, beast::string_view, error_code& ec) {
    if (!budget.take(size)) {
      over_cap = true;
      ec = net::error::no_buffer_space;
    }
  };
  parser.on_chunk_header(on_chunk);
  error_code ec;
  if (support::to_lower(std::string(parser.get()[http::field::expect])) == "100-continue") {
    http::response<http::empty_body> cont{http::status::continue_, 11};
    beast::get_lowest_layer(stream).expires_after(limits.write_timeout);
    ec = run_io(conn.ioc, [&](auto done) { http::async_write(stream, cont, done); });
    if (ec) {
      return 400;
    }
  }
  beast::get_lowest_layer(stream).expires_after(limits.body_timeout);
  ec = run_io(conn.ioc, [&](auto done) { http::async_read(stream, buffer, parser, done); });
  beast::get_lowest_layer(stream).expires_never();
  if (over_cap) {
    return 503;
  }
  if (ec == http::error::body_limit) {
    return 413;
  }
  return ec ? 400 : 0;
}

void HttpServer::Impl::arm_signals() {
  if (signal_handlers.empty()) {
    return;
  }
  sigset_t mask;
  sigemptyset(&mask);
  for (const auto& entry : signal_handlers) {
    sigaddset(&mask, entry.first);
  }
  int fd = ::signalfd(-1, &mask, SFD_NONBLOCK | SFD_CLOEXEC);
  if (fd < 0) {
    throw std::system_error(errno, std::generic_category(), "signalfd");
  }
  signals.emplace(ioc, fd);
  read_signal();
}

void HttpServer::Impl::read_signal() {
  signals->async_read_some(
      net::buffer(&siginfo, sizeof siginfo), [self = this](error_code ec, std::size_t n) {
        if (ec == net::error::operation_aborted || self->stopped || !self->signals ||
            !self->signals->is_open()) {
          return;
        }
        if (!ec && n == sizeof self->siginfo) {
          const int signo = static_cast<int>(self->siginfo.ssi_signo);
          for (const auto& [number, fn] : self->signal_handlers) {
            if (number == signo && fn) {
              try {
                fn(signo);
              } catch (const std::exception& e) {
                logger::error(std::string("Signal handler failed: ") + e.what());
              }
            }
          }
        }
        if (!self->stopped) {
          self->read_signal();
        }
      });
}

HttpServer::HttpServer(const std::string& host, std::uint16_t port, std::optional<TlsFiles> tls,
                       Handler handler, ServerLimits limits, int listen_fd)
    : impl_(std::make_shared<Impl>()) {
  impl_->handler = std::move(handler);
  impl_->limits = limits;
  if (tls) {
    impl_->tls.emplace(ssl::context::tls_server);
    auto& ctx = *impl_->tls;
    ctx.set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 |
                    ssl::context::no_sslv3 | ssl::context::single_dh_use);
    SSL_CTX_set_min_proto_version(ctx.native_handle(), TLS1_2_VERSION);
    ctx.use_certificate_chain_file(tls->cert_chain);
    ctx.use_private_key_file(tls->private_key, ssl::context::pem);
  }
  auto& acceptor = impl_->acceptor;
  if (listen_fd >= 0) {
    // Handed over already listening (socket activation): the address is the socket's.
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    if (::getsockname(listen_fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
      throw std::system_error(errno, std::generic_category(), "inherited listening socket");
    }
    acceptor.assign(addr.ss_family == AF_INET6 ? tcp::v6() : tcp::v4(), listen_fd);
    impl_->bound_port = acceptor.local_endpoint().port();
    return;
  }
  tcp::resolver resolver(impl_->ioc);
  auto results = resolver.resolve(host, std::to_string(port),
                                  tcp::resolver::passive | tcp::resolver::numeric_service);
  if (results.empty()) {
    throw std::runtime_error("cannot resolve listen address " + host);
  }
  tcp::endpoint endpoint = results.begin()->endpoint();
  acceptor.open(endpoint.protocol());
  acceptor.set_option(tcp::acceptor::reuse_address(true));
  acceptor.bind(endpoint);
  acceptor.listen(net::socket_base::max_listen_connections);
  impl_->bound_port = acceptor.local_endpoint().port();
}

HttpServer::~HttpServer() {
  stop();
  error_code ec;
  impl_->acceptor.close(ec);
  {
    std::unique_lock lock(impl_->mutex);
    impl_->cv.wait(lock, [&] { return impl_->connections.empty(); });
  }
  impl_->reap();
}

void HttpServer::set_signal_handlers(
    std::vector<std::pair<int, std::function<void(int)>>> handlers) {
  impl_->signal_handlers = std::move(handlers);
}

void HttpServer::run() {
  if (impl_->stopped) {
    return;
  }
  // The guard keeps run() serving while accepting is paused at the limit.
  auto work = net::make_work_guard(impl_->ioc);
  impl_->arm_signals();
  impl_->do_accept();
  impl_->ioc.run();
  error_code ec;
  impl_->acceptor.close(ec);
  if (impl_->signals) {
    impl_->signals->close(ec);
  }
}

void HttpServer::stop() {
  impl_->stopped = true;
  impl_->ioc.stop();
  std::lock_guard lock(impl_->mutex);
  for (const auto& conn : impl_->connections) {
    std::lock_guard conn_lock(conn->mutex);
    if (!conn->busy) {
      net::post(conn->ioc, [c = conn.get()] {
        if (c->cancel) {
          c->cancel();
        }
      });
    }
  }
}

std::uint16_t HttpServer::port() const {
  return impl_->bound_port;
}

}  // namespace velquin::api
