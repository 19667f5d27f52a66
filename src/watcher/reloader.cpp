#include "watcher/reloader.h"

#include <sys/prctl.h>

#include <algorithm>
#include <exception>
#include <utility>

#include "auth/auth.h"
#include "image_pull/image_pull.h"
#include "logger/logger.h"
#include "metrics/metrics.h"

namespace velquin::watcher {

namespace {

// The kernel keeps 15 bytes of a thread name.
constexpr const char* RELOAD_THREAD_NAME = "velquin-reload";

image_pull::AliasList alias_list(const config::AliasTablePtr& table) {
  if (!table) {
    return {};
  }
  return image_pull::AliasList(table->definitions().begin(), table->definitions().end());
}

class EnginePuller final : public ImagePuller {
 public:
  std::vector<std::string> pull(const config::AliasTablePtr& current,
                                const config::AliasTablePtr& next,
                                const std::string& prefetch_image) override {
    return image_pull::reload_pull(alias_list(current), alias_list(next), prefetch_image);
  }
};

// A reload that throws is a failed reload like any other.
template <typename Reload> std::vector<std::string> errors_of(Reload reload) {
  try {
    return reload();
  } catch (const std::exception& e) {
    return {e.what()};
  } catch (...) {
    return {"unknown error"};
  }
}

void log_outcome(const std::string& label, const std::vector<std::string>& errors,
                 bool from_signal) {
  if (errors.empty()) {
    logger::info(label + " configuration reloaded successfully");
    return;
  }
  const std::string prefix = label + (from_signal ? " reload: " : " reload error: ");
  for (const std::string& error : errors) {
    logger::error(prefix + error);
  }
}

}  // namespace

namespace detail {

std::vector<std::string> reload_aliases(config::Config& config, ImagePuller& puller) {
  auto [aliases, errors] = config.load_aliases();
  if (errors.empty()) {
    errors = puller.pull(config.alias_table(), aliases, config.get_text("PrefetchImage"));
  }
  if (errors.empty()) {
    config.apply_aliases(std::move(aliases));
  }
  return errors;
}

}  // namespace detail

Reloader::Reloader(config::Config& config, auth::Auth& auth)
    : config_(config), auth_(auth), own_puller_(std::make_unique<EnginePuller>()),
      puller_(*own_puller_), thread_([this] { run(); }) {}

Reloader::Reloader(config::Config& config, auth::Auth& auth, ImagePuller& puller)
    : config_(config), auth_(auth), puller_(puller), thread_([this] { run(); }) {}

Reloader::~Reloader() {
  stop();
  if (thread_.joinable()) {
    thread_.join();
  }
}

ReloadRequests::Ticket Reloader::request(ReloadScope scope) {
  const Wording wording = scope == ReloadScope::all ? Wording::signal : Wording::watcher;
  Ticket ticket = 0;
  {
    std::lock_guard lock(mutex_);
    if (scope != ReloadScope::aliases) {
      pending_auth_ = std::max(pending_auth_, wording);
    }
    if (scope != ReloadScope::auth) {
      pending_aliases_ = std::max(pending_aliases_, wording);
    }
    ticket = ++requested_;
  }
  wake_.notify_one();
  return ticket;
}

bool Reloader::covered_or_over(Ticket ticket) const {
  return done_ >= ticket || ended_;
}

bool Reloader::wait(Ticket ticket) {
  std::unique_lock lock(mutex_);
  finished_.wait(lock, [&] { return covered_or_over(ticket); });
  return done_ >= ticket;
}

bool Reloader::wait_for(Ticket ticket, std::chrono::steady_clock::duration limit) {
  std::unique_lock lock(mutex_);
  finished_.wait_for(lock, limit, [&] { return covered_or_over(ticket); });
  return done_ >= ticket;
}

void Reloader::stop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
}

// The outcome is in the health record and the metrics before the log line
// says so: whoever reads the line and then asks must see it.
void Reloader::reload(Wording auth, Wording aliases) {
  if (auth != Wording::none) {
    const auto errors = errors_of([&] { return auth_.load_auth_config(); });
    config_.record_auth_reload(errors.empty());
    metrics::record_reload("auth", errors.empty());
    log_outcome("Auth", errors, auth == Wording::signal);
  }
  if (aliases != Wording::none) {
    const auto errors = errors_of([&] { return detail::reload_aliases(config_, puller_); });
    config_.record_alias_reload(errors.empty());
    metrics::record_reload("aliases", errors.empty());
    log_outcome("Alias", errors, aliases == Wording::signal);
  }
}

void Reloader::run() {
  ::prctl(PR_SET_NAME, RELOAD_THREAD_NAME);
  for (;;) {
    Wording auth = Wording::none;
    Wording aliases = Wording::none;
    Ticket covers = 0;
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [&] {
        return stopping_ || pending_auth_ != Wording::none || pending_aliases_ != Wording::none;
      });
      if (stopping_) {
        ended_ = true;
        break;
      }
      // Everything asked for so far is covered by the reads that follow.
      std::swap(auth, pending_auth_);
      std::swap(aliases, pending_aliases_);
      covers = requested_;
    }
    // No lock from here on: a reload may pull images for many minutes.
    try {
      reload(auth, aliases);
    } catch (const std::exception& e) {
      logger::error("Reload failed: " + std::string(e.what()));
    } catch (...) {
      logger::error("Reload failed: unknown error");
    }
    {
      std::lock_guard lock(mutex_);
      done_ = covers;
    }
    finished_.notify_all();
  }
  finished_.notify_all();
}

}  // namespace velquin::watcher
