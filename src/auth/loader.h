#pragma once

// Internal to the auth module: reading AuthDir into one AuthData.

#include <memory>
#include <string>
#include <vector>

#include "auth/auth_data.h"

namespace velquin::auth::detail {

struct LoadOutcome {
  std::shared_ptr<const AuthData> data;  // null when there are errors
  std::vector<std::string> errors;       // in file order, then in order within the file
};

// Never throws for bad content or unreadable files; those become error texts.
LoadOutcome load_auth_dir(const std::string& auth_dir);

}  // namespace velquin::auth::detail
