// Answers of `stream` aliases: the command's output goes out while it runs.

#include <string>
#include <utility>

#include "api/internal.h"

namespace velquin::api::detail {

namespace {

using executor::LiveOutput;

class LiveAnswer final : public LiveOutput {
 public:
  LiveAnswer(BodyStream& body, bool events) : body_(body), events_(events) {}

  bool started() override { return body_.begin(); }

  bool send(Stream stream, const std::vector<Piece>& pieces, Deadline deadline) override {
    std::string payload;
    if (events_) {
      const char* name = stream == Stream::out ? "event: stdout\ndata: " : "event: stderr\ndata: ";
      for (const auto& piece : pieces) {
        payload += name;
        payload += piece.text;
        payload += "\n\n";
      }
    } else {
      if (stream != Stream::out) {
        return true;
      }
      for (const auto& piece : pieces) {
        payload += piece.text;
        if (piece.ends_line) {
          payload += '\n';
        }
      }
    }
    return body_.write(payload, deadline);
  }

  int hangup_fd() const override { return body_.socket_fd(); }

 private:
  BodyStream& body_;
  bool events_;
};

std::string exit_event(const executor::RunResult& result, const Response& answer) {
  const std::string reason = answer.reason.empty() ? status_reason(answer.status) : answer.reason;
  const std::string code = result.returncode ? std::to_string(*result.returncode) : "null";
  const bool timed_out = result.outcome == executor::RunResult::Outcome::timed_out;
  return "event: exit\ndata: {\"exit_code\": " + code +
         ", \"status\": " + std::to_string(answer.status) +
         ", \"reason\": " + json(reason).dump(-1, ' ', false, json::error_handler_t::replace) +
         ", \"timed_out\": " + (timed_out ? "true" : "false") + "}\n\n";
}

}  // namespace

Response live_response(bool events, std::function<executor::RunResult(LiveOutput*)> run,
                       std::function<Response(const executor::RunResult&)> conclude) {
  Response res;
  res.content_type = events ? "text/event-stream" : "text/plain";
  res.headers.emplace_back("Cache-Control", "no-cache");
  // Proxies that buffer would hold the output back until the run ends.
  res.headers.emplace_back("X-Accel-Buffering", "no");
  if (!events) {
    res.headers.emplace_back("Trailer", "Velquin-Exit-Code, Velquin-Status");
  }
  res.stream = [events, run = std::move(run),
                conclude = std::move(conclude)](BodyStream& body) -> Response {
    LiveAnswer live(body, events);
    const executor::RunResult result = run(&live);
    Response answer = conclude(result);
    if (!body.begun() || result.client_gone) {
      return answer;
    }
    if (events) {
      body.write(exit_event(result, answer), std::chrono::steady_clock::time_point::max());
    } else {
      body.add_trailer("Velquin-Exit-Code",
                       result.returncode ? std::to_string(*result.returncode) : "-");
      body.add_trailer("Velquin-Status", std::to_string(answer.status));
    }
    return answer;
  };
  return res;
}

}  // namespace velquin::api::detail
