#include "watcher/inotify_observer.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <system_error>
#include <utility>

#include "logger/logger.h"

namespace velquin::watcher::detail {

namespace {

// IN_ATTRIB as well: a time set after the write (cp -p, touch -d) is a change
// to the snapshot, and events should see what polling sees.
constexpr std::uint32_t EVENT_MASK =
    IN_CREATE | IN_DELETE | IN_MODIFY | IN_ATTRIB | IN_MOVED_FROM | IN_MOVED_TO | IN_CLOSE_WRITE;

std::string errno_text(int err) {
  return std::generic_category().message(err);
}

std::string join(const std::string& dir, const char* name) {
  return (std::filesystem::path(dir) / name).string();
}

}  // namespace

InotifyObserver::~InotifyObserver() {
  stop();
}

int InotifyObserver::open() {
  inotify_fd_.reset(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  if (!inotify_fd_) {
    return errno;
  }
  stop_fd_.reset(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
  if (!stop_fd_) {
    const int err = errno;
    inotify_fd_.reset();
    return err;
  }
  return 0;
}

int InotifyObserver::schedule(const std::string& dir, EventHandler handler) {
  // inotify_add_watch follows a symbolic link to the directory, which is what
  // an operator who links the directory expects.
  const int wd = ::inotify_add_watch(inotify_fd_.get(), dir.c_str(), EVENT_MASK | IN_ONLYDIR);
  if (wd < 0) {
    return errno;
  }
  watches_[wd].push_back(Watch{dir, std::move(handler)});
  return 0;
}

int InotifyObserver::start() {
  try {
    thread_ = std::thread([this] { run(); });
  } catch (const std::system_error& e) {
    return e.code().value() != 0 ? e.code().value() : EAGAIN;
  }
  return 0;
}

void InotifyObserver::stop() {
  if (thread_.joinable()) {
    const std::uint64_t one = 1;
    // An eventfd write of 1 cannot block or fail short of overflow.
    [[maybe_unused]] const auto written = ::write(stop_fd_.get(), &one, sizeof one);
    thread_.join();
  }
}

void InotifyObserver::run() {
  ::prctl(PR_SET_NAME, "velquin-inotify");
  for (;;) {
    pollfd fds[2] = {{inotify_fd_.get(), POLLIN, 0}, {stop_fd_.get(), POLLIN, 0}};
    const int ready = ::poll(fds, 2, -1);
    if (ready < 0) {
      if (errno == EINTR) {
        continue;
      }
      logger::error("OS file watcher stopped (" + errno_text(errno) +
                    "); using periodic polling only");
      return;
    }
    if (fds[1].revents != 0) {
      return;
    }
    if (fds[0].revents != 0) {
      try {
        if (!drain()) {
          return;
        }
      } catch (const std::exception& e) {
        // Nothing may escape the thread; the next event gets a fresh try.
        logger::error("Config watcher error: " + std::string(e.what()));
      }
    }
  }
}

bool InotifyObserver::drain() {
  // One read per call, so a directory that never falls silent still gets its
  // events delivered; poll() brings us back for the rest.
  alignas(inotify_event) char buffer[64 * 1024];
  ssize_t n = 0;
  do {
    n = ::read(inotify_fd_.get(), buffer, sizeof buffer);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    if (errno == EAGAIN) {
      return true;
    }
    logger::error("OS file watcher stopped (" + errno_text(errno) +
                  "); using periodic polling only");
    return false;
  }

  std::unordered_map<int, std::vector<FileEvent>> batch;
  std::vector<int> order;  // watches in the order of their first event
  std::vector<int> gone;   // watches the kernel removed (their directory went away)
  const auto add = [&](int wd, FileEvent event) {
    auto [slot, inserted] = batch.try_emplace(wd);
    if (inserted) {
      order.push_back(wd);
    }
    slot->second.push_back(std::move(event));
  };
  for (ssize_t offset = 0; offset < n;) {
    const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
    offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    if ((event->mask & IN_Q_OVERFLOW) != 0) {
      for (const auto& [wd, watches] : watches_) {
        add(wd, FileEvent{false, true, watches.front().dir});
      }
      continue;
    }
    const auto found = watches_.find(event->wd);
    if (found == watches_.end()) {
      continue;
    }
    if ((event->mask & IN_IGNORED) != 0) {
      gone.push_back(event->wd);
      continue;
    }
    if ((event->mask & EVENT_MASK) == 0 || event->len == 0) {
      continue;
    }
    add(event->wd, FileEvent{(event->mask & IN_ISDIR) != 0, false,
                             join(found->second.front().dir, event->name)});
  }

  for (const int wd : order) {
    const std::vector<Watch>& watches = watches_.at(wd);
    const std::vector<FileEvent>& events = batch[wd];
    for (const Watch& watch : watches) {
      if (watch.dir == watches.front().dir) {
        watch.handler(events);
        continue;
      }
      // The same directory under another name: give this handler its own paths.
      std::vector<FileEvent> renamed = events;
      for (FileEvent& event : renamed) {
        event.src_path =
            event.overflow
                ? watch.dir
                : join(watch.dir, std::filesystem::path(event.src_path).filename().c_str());
      }
      watch.handler(renamed);
    }
  }
  // Polling keeps covering a directory whose watch is gone.
  for (const int wd : gone) {
    watches_.erase(wd);
  }
  return true;
}

}  // namespace velquin::watcher::detail
