#pragma once

namespace velquin::api {
class API;
}
namespace velquin::watcher {
class ConfigWatcher;
class Reloader;
}  // namespace velquin::watcher

namespace velquin::app {

class Notifier;

// Blocks the handled signals in the calling thread (and so in every thread it
// starts later); the serving loop receives them through a signalfd.
void block_handled_signals();

namespace detail {

// Handlers run as ordinary code on the serving thread (never in signal
// context), one at a time, and return at once: the slow work runs elsewhere.

// Reopens the logs and hands the reload to the reloader; tells the service
// manager it reloads, and that it is ready again once that reload has finished.
void on_sighup(watcher::Reloader& reloader, Notifier& notifier);
// Stops the watcher, tells the service manager it stops, then starts the
// drain on a thread of its own.
void on_sigterm(int signum, watcher::ConfigWatcher& config_watcher, api::API& api,
                Notifier& notifier);
void do_shutdown(api::API& api);

}  // namespace detail
}  // namespace velquin::app
