#pragma once

#include <string>
#include <vector>

namespace velquin::app::detail {

// Problems with the certificate/key pair, in the order: certificate load,
// key load, expiry, mismatch. Never throws.
std::vector<std::string> validate_ssl(const std::string& cert_path, const std::string& key_path);

}  // namespace velquin::app::detail
