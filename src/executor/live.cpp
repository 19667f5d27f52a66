// A streaming process run: the same child, pipes, limits and clean-up as any
// process run, but each read goes to the client before the next one is
// taken, so a client that reads slowly holds the command back instead of
// filling our memory.

#include "executor/live.h"

#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <system_error>

#include "support/text.h"

namespace velquin::executor::detail {

namespace {

using Clock = std::chrono::steady_clock;
using support::UniqueFd;

// After a time-out kill, how long descendants that left the group may keep
// the pipes open before we stop reading.
constexpr auto DRAIN_GRACE = std::chrono::seconds(2);

struct StreamState {
  const char* name;
  LiveOutput::Stream which;
  std::string kept;
  std::size_t total = 0;
  LineSplitter lines;
};

struct LiveState {
  LiveOutput& live;
  std::size_t limit;
  bool keep;
  StreamState out{"stdout", LiveOutput::Stream::out, {}, 0, LineSplitter()};
  StreamState err{"stderr", LiveOutput::Stream::err, {}, 0, LineSplitter()};
  const char* over = nullptr;
  bool gone = false;
};

enum class LiveEnd { finished, timed_out, over_cap, client_gone };

void deliver(LiveState& s, StreamState& st, std::vector<LiveOutput::Piece>& pieces,
             Clock::time_point deadline) {
  if (!pieces.empty() && !s.gone && !s.live.send(st.which, pieces, deadline)) {
    s.gone = true;
  }
  pieces.clear();
}

// One read of a readable pipe. Past the cap, only the bytes up to it are
// kept and sent, and the pipe is closed.
void read_once(LiveState& s, StreamState& st, UniqueFd& fd, Clock::time_point deadline) {
  // Small reads keep what one read turns into (pieces, framing) small.
  char buf[16384];
  std::vector<LiveOutput::Piece> pieces;
  ssize_t n = ::read(fd.get(), buf, sizeof buf);
  if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
    return;
  }
  if (n <= 0) {
    fd.reset();
    st.lines.finish(pieces);
    deliver(s, st, pieces, deadline);
    return;
  }
  auto take = static_cast<std::size_t>(n);
  const std::size_t room = s.limit - std::min(s.limit, st.total);
  const bool over = take > room;
  take = std::min(take, room);
  st.total += take;
  if (s.keep) {
    st.kept.append(buf, take);
  }
  st.lines.feed(std::string_view(buf, take), pieces);
  if (over) {
    s.over = st.name;
    fd.reset();
    st.lines.finish(pieces);
  }
  deliver(s, st, pieces, deadline);
}

LiveEnd wait_live(Child& child, UniqueFd& out_r, UniqueFd& err_r, LiveState& s,
                  Clock::time_point deadline, bool stop_on_exit) {
  for (;;) {
    if (s.over != nullptr) {
      return LiveEnd::over_cap;
    }
    const auto now = Clock::now();
    if (s.gone) {
      // A write cut by the run's own deadline is the time-out, not the client.
      return now >= deadline ? LiveEnd::timed_out : LiveEnd::client_gone;
    }
    if (!child.reaped() && child.pidfd() < 0) {
      child.try_reap();
    }
    const bool exited = child.reaped();
    if (!out_r && !err_r && (exited || !stop_on_exit)) {
      return LiveEnd::finished;
    }
    if (now >= deadline) {
      return LiveEnd::timed_out;
    }
    const auto left_ms = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
    int wait_ms = static_cast<int>(std::min<long long>(left_ms, INT_MAX));
    if (child.pidfd() < 0 && !exited) {
      wait_ms = std::min(wait_ms, 20);
    }
    pollfd fds[4];
    nfds_t n = 0;
    int out_i = -1;
    int err_i = -1;
    int pid_i = -1;
    int peer_i = -1;
    if (out_r) {
      out_i = static_cast<int>(n);
      fds[n++] = {out_r.get(), POLLIN, 0};
    }
    if (err_r) {
      err_i = static_cast<int>(n);
      fds[n++] = {err_r.get(), POLLIN, 0};
    }
    if (!exited && child.pidfd() >= 0 && stop_on_exit) {
      pid_i = static_cast<int>(n);
      fds[n++] = {child.pidfd(), POLLIN, 0};
    }
    if (const int peer = s.live.hangup_fd(); peer >= 0) {
      peer_i = static_cast<int>(n);
      fds[n++] = {peer, POLLRDHUP, 0};
    }
    if (::poll(fds, n, wait_ms) < 0) {
      if (errno == EINTR) {
        continue;
      }
      throw std::system_error(errno, std::generic_category(), "cannot wait for the process");
    }
    if (peer_i >= 0 && (fds[peer_i].revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0) {
      s.gone = true;
      continue;
    }
    if (out_i >= 0 && fds[out_i].revents != 0) {
      read_once(s, s.out, out_r, deadline);
    }
    if (err_i >= 0 && fds[err_i].revents != 0 && s.over == nullptr && !s.gone) {
      read_once(s, s.err, err_r, deadline);
    }
    if (pid_i >= 0 && fds[pid_i].revents != 0) {
      child.try_reap();
    }
  }
}

std::int64_t exit_status(int status) {
  if (WIFEXITED(status)) {
    return WEXITSTATUS(status);
  }
  if (WIFSIGNALED(status)) {
    return -WTERMSIG(status);
  }
  return status;
}

std::string preserved_text(std::string& bytes, std::size_t limit) {
  std::string text =
      support::is_valid_utf8(bytes) ? std::move(bytes) : support::decode_utf8_replace(bytes);
  bytes = std::string();
  if (text.find('\r') != std::string::npos) {
    text = support::universal_newlines(text);
  }
  support::truncate_utf8(text, limit);
  return text;
}

}  // namespace

void LineSplitter::emit(std::string_view bytes, bool ends_line,
                        std::vector<LiveOutput::Piece>& out) {
  out.push_back(
      {support::is_valid_utf8(bytes) ? std::string(bytes) : support::decode_utf8_replace(bytes),
       ends_line});
}

void LineSplitter::feed(std::string_view bytes, std::vector<LiveOutput::Piece>& out) {
  std::size_t start = 0;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const char c = bytes[i];
    if (after_cr_ && c == '\n') {
      after_cr_ = false;
      start = i + 1;
      continue;
    }
    after_cr_ = false;
    if (c == '\n' || c == '\r') {
      if (partial_.empty()) {
        emit(bytes.substr(start, i - start), true, out);
      } else {
        partial_.append(bytes.substr(start, i - start));
        emit(partial_, true, out);
        partial_.clear();
      }
      after_cr_ = c == '\r';
      start = i + 1;
    }
  }
  partial_.append(bytes.substr(start));
  while (partial_.size() > max_line_) {
    // Cut before a character, not inside one.
    std::size_t cut = max_line_;
    while (cut > max_line_ - 3 && (static_cast<unsigned char>(partial_[cut]) & 0xC0) == 0x80) {
      --cut;
    }
    emit(std::string_view(partial_).substr(0, cut), false, out);
    partial_.erase(0, cut);
  }
}

void LineSplitter::finish(std::vector<LiveOutput::Piece>& out) {
  if (!partial_.empty()) {
    emit(partial_, false, out);
    partial_.clear();
  }
  after_cr_ = false;
}

RunResult run_live(Child& child, UniqueFd& out_r, UniqueFd& err_r, const RunContext& context,
                   Clock::time_point deadline, bool keep, LiveCaptured& captured) {
  LiveState s{*context.live, context.max_output_size, keep};
  auto settle = [&] {
    out_r.reset();
    err_r.reset();
    child.reap_blocking();
    if (keep) {
      captured.out = preserved_text(s.out.kept, s.limit);
      captured.err = preserved_text(s.err.kept, s.limit);
    }
  };
  if (!s.live.started()) {
    s.gone = true;
  }
  const LiveEnd end = wait_live(child, out_r, err_r, s, deadline, true);
  RunResult result;
  result.pid = child.pid();
  switch (end) {
  case LiveEnd::over_cap:
    child.kill_group();
    settle();
    throw OutputTooLarge(s.over, s.limit);
  case LiveEnd::client_gone:
    child.kill_group();
    settle();
    result.client_gone = true;
    result.error = "the client disconnected";
    return result;
  case LiveEnd::timed_out:
    child.kill_group();
    if (!s.gone) {
      // What the command wrote before the kill still reaches the client.
      wait_live(child, out_r, err_r, s, Clock::now() + DRAIN_GRACE, false);
    }
    settle();
    result.outcome = RunResult::Outcome::timed_out;
    result.error = "Command timed out after " + context.time_limit.text + " seconds";
    return result;
  case LiveEnd::finished:
    break;
  }
  settle();
  result.outcome = RunResult::Outcome::completed;
  result.returncode = exit_status(child.status());
  return result;
}

}  // namespace velquin::executor::detail
