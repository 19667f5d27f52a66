#pragma once

// Internal to the HTTP server: a response body written as it is produced,
// on the connection's own thread and io_context.

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include <boost/asio/buffer.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include "api/http_server.h"

namespace velquin::api::detail {

template <typename Stream> class ChunkedBody final : public BodyStream {
 public:
  using Clock = std::chrono::steady_clock;

  ChunkedBody(Stream& stream, boost::asio::io_context& ioc, const Response& head,
              std::string reason, unsigned version, bool keep_alive,
              std::chrono::milliseconds write_timeout)
      : stream_(stream), ioc_(ioc), head_(head), reason_(std::move(reason)), version_(version),
        chunked_(version >= 11), keep_alive_(keep_alive && version >= 11),
        write_timeout_(write_timeout) {}

  bool begin() override {
    if (begun_) {
      return ok_;
    }
    begun_ = true;
    namespace http = boost::beast::http;
    http::response<http::empty_body> res{http::int_to_status(static_cast<unsigned>(head_.status)),
                                         version_};
    res.result(static_cast<unsigned>(head_.status));
    res.reason(reason_);
    res.set(http::field::content_type, head_.content_type);
    for (const auto& [name, value] : head_.headers) {
      res.insert(name, value);
    }
    res.keep_alive(keep_alive_);
    if (chunked_) {
      res.chunked(true);
    }
    http::response_serializer<http::empty_body> sr{res};
    expire(Clock::time_point::max());
    ok_ = !run([&](auto done) { http::async_write_header(stream_, sr, done); });
    return ok_;
  }

  bool begun() const override { return begun_; }

  bool write(std::string_view bytes, Clock::time_point deadline) override {
    if (!begun_ || !ok_) {
      return false;
    }
    if (bytes.empty()) {
      return true;  // an empty chunk would end the body
    }
    char size_line[24];
    const int n = std::snprintf(size_line, sizeof size_line, "%zx\r\n", bytes.size());
    std::array<boost::asio::const_buffer, 3> parts{
        boost::asio::buffer(size_line, chunked_ ? static_cast<std::size_t>(n) : 0),
        boost::asio::buffer(bytes.data(), bytes.size()),
        boost::asio::buffer("\r\n", chunked_ ? 2 : 0)};
    expire(deadline);
    ok_ = !run([&](auto done) { boost::asio::async_write(stream_, parts, done); });
    return ok_;
  }

  void add_trailer(std::string name, std::string value) override {
    // Names and values come from our own code; a line break would still end the message.
    std::erase_if(value, [](char c) { return c == '\r' || c == '\n'; });
    trailers_.emplace_back(std::move(name), std::move(value));
  }

  int socket_fd() const override {
    auto& socket = boost::beast::get_lowest_layer(stream_).socket();
    return socket.is_open() ? socket.native_handle() : -1;
  }

  // Ends the body; true when the connection may serve another request.
  bool end() {
    if (!begun_ || !ok_) {
      return false;
    }
    if (chunked_) {
      std::string last = "0\r\n";
      for (const auto& [name, value] : trailers_) {
        last += name + ": " + value + "\r\n";
      }
      last += "\r\n";
      expire(Clock::time_point::max());
      ok_ = !run(
          [&](auto done) { boost::asio::async_write(stream_, boost::asio::buffer(last), done); });
    }
    return ok_ && keep_alive_;
  }

 private:
  void expire(Clock::time_point deadline) {
    const auto limit = Clock::now() + write_timeout_;
    boost::beast::get_lowest_layer(stream_).expires_at(std::min(deadline, limit));
  }

  template <typename Start> boost::system::error_code run(Start start) {
    boost::system::error_code result = boost::asio::error::operation_aborted;
    start([&result](boost::system::error_code ec, std::size_t) { result = ec; });
    ioc_.restart();
    ioc_.run();
    boost::beast::get_lowest_layer(stream_).expires_never();
    return result;
  }

  Stream& stream_;
  boost::asio::io_context& ioc_;
  const Response& head_;
  std::string reason_;
  unsigned version_;
  bool chunked_;
  bool keep_alive_;
  std::chrono::milliseconds write_timeout_;
  bool begun_ = false;
  bool ok_ = true;
  std::vector<std::pair<std::string, std::string>> trailers_;
};

}  // namespace velquin::api::detail
