#pragma once

namespace velquin::config {
class Config;
}
namespace velquin::auth {
class Auth;
}

namespace velquin::app {

// Handlers run as ordinary code on the main thread (never in signal context).
void _on_sighup(int signum);
void _on_sigterm(int signum);
// Reloads auth data, then aliases, and records both outcomes. A reload that
// throws counts as failed; nothing here ends the service.
void _do_reload(config::Config& config_instance, auth::Auth& auth_instance);
void _do_shutdown();

// Blocks the handled signals in the calling thread (and so in every thread it
// starts later); the serving loop receives them through a signalfd.
void block_handled_signals();

}  // namespace velquin::app
