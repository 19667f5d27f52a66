#include "auth/auth.h"

#include "config/config.h"

namespace velquin::auth {

// Apart from the rest so that only programs that read AuthDir from the
// settings pull in the configuration module.
std::vector<std::string> Auth::load_auth_config() {
  return load_auth_config_from(config::config().get_text("AuthDir"));
}

}  // namespace velquin::auth
