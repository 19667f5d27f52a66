#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace velquin::testing {

struct CertOptions {
  std::string common_name = "localhost";
  std::vector<std::string> dns_names;  // subject alternative names, in order
  std::vector<std::string> ip_addresses;
  long not_before_offset_s = -3600;  // relative to now
  long not_after_offset_s = 86400;
  bool encrypt_key = false;  // key file protected by the password "secret"
};

struct CertFiles {
  std::filesystem::path cert;
  std::filesystem::path key;
};

// A self-signed RSA-2048 certificate and its key as PEM files in dir,
// named <stem>.crt / <stem>.key.
CertFiles make_self_signed(const std::filesystem::path& dir, const std::string& stem,
                           const CertOptions& options = {});

}  // namespace velquin::testing
