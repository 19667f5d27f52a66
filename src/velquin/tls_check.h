#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace velquin::app::detail {

// Problems with the certificate/key pair, in the order: certificate load,
// key load, expiry, mismatch. Never throws.
std::vector<std::string> validate_ssl(const std::string& cert_path, const std::string& key_path);

// (common name or none, ["DNS:name", "IP:addr", ...]); (none, {}) on any error.
std::pair<std::optional<std::string>, std::vector<std::string>>
get_cert_info(const std::string& cert_path);

}  // namespace velquin::app::detail
