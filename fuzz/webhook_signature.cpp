// The webhook signature check over fuzzed senders, headers and bodies.
// Oracles: a signature made here with an independent HMAC always verifies
// (when its timestamp is fresh); a fuzzed hex signature or token verifies only
// when it is that same value.

#include <fuzzer/FuzzedDataProvider.h>

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include "auth/auth.h"
#include "auth/auth_data.h"
#include "auth/webhook.h"

namespace {

using velquin::auth::MacAlgorithm;
using velquin::auth::MacEncoding;
using velquin::auth::WebhookEntry;
using velquin::auth::WebhookScheme;
using velquin::auth::detail::SignatureCheck;

constexpr std::int64_t NOW = 1'700'000'000;

std::string mac_of(MacAlgorithm algorithm, const std::string& secret, const std::string& data) {
  const EVP_MD* md = algorithm == MacAlgorithm::sha1     ? EVP_sha1()
                     : algorithm == MacAlgorithm::sha512 ? EVP_sha512()
                                                         : EVP_sha256();
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  HMAC(md, secret.data(), static_cast<int>(secret.size()),
       reinterpret_cast<const unsigned char*>(data.data()), data.size(), out, &length);
  return {reinterpret_cast<const char*>(out), length};
}

std::string hex_of(std::string_view bytes) {
  static constexpr char DIGITS[] = "0123456789abcdef";
  std::string out;
  for (const char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    out += DIGITS[b >> 4];
    out += DIGITS[b & 0xf];
  }
  return out;
}

std::string base64_of(std::string_view bytes) {
  std::string out(4 * ((bytes.size() + 2) / 3), '\0');
  const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                reinterpret_cast<const unsigned char*>(bytes.data()),
                                static_cast<int>(bytes.size()));
  out.resize(static_cast<std::size_t>(n));
  return out;
}

std::string lower(std::string text) {
  for (char& c : text) {
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return text;
}

SignatureCheck check(const WebhookEntry& hook, const std::map<std::string, std::string>& headers,
                     const std::string& body) {
  const velquin::auth::HeaderLookup lookup =
      [&headers](std::string_view name) -> std::optional<std::string> {
    const auto it = headers.find(std::string(name));
    return it == headers.end() ? std::nullopt : std::optional(it->second);
  };
  return velquin::auth::detail::check_signature(hook, lookup, body, NOW);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider fdp(data, size);
  WebhookEntry hook;
  hook.name = "sender";
  hook.scheme = fdp.PickValueInArray(
      {WebhookScheme::github, WebhookScheme::gitlab, WebhookScheme::gitea, WebhookScheme::generic});
  hook.secret = fdp.ConsumeRandomLengthString(64);
  if (hook.scheme == WebhookScheme::generic) {
    hook.header = "X-Signature";
    hook.algorithm =
        fdp.PickValueInArray({MacAlgorithm::sha1, MacAlgorithm::sha256, MacAlgorithm::sha512});
    hook.encoding = fdp.PickValueInArray({MacEncoding::hex, MacEncoding::base64});
    hook.prefix = fdp.ConsumeRandomLengthString(8);
    if (fdp.ConsumeBool()) {
      hook.timestamp_header = "X-Timestamp";
    }
  } else if (hook.scheme == WebhookScheme::gitea) {
    hook.algorithm = MacAlgorithm::sha256;
  }
  const bool forge = fdp.ConsumeBool();
  std::string stamp = fdp.ConsumeRandomLengthString(24);
  std::string fuzzed_signature = fdp.ConsumeRandomLengthString(200);
  const std::string body = fdp.ConsumeRemainingBytesAsString();

  const std::string header(velquin::auth::detail::signature_header(hook));
  const std::string prefix = hook.scheme == WebhookScheme::github ? "sha256=" : hook.prefix;
  const bool stamped = hook.scheme == WebhookScheme::generic && !hook.timestamp_header.empty();
  if (forge && stamped) {
    stamp = std::to_string(NOW);
  }
  const std::string mac =
      mac_of(hook.scheme == WebhookScheme::github ? MacAlgorithm::sha256 : hook.algorithm,
             hook.secret, stamped ? stamp + "." + body : body);
  const std::string encoded = hook.scheme == WebhookScheme::gitlab   ? hook.secret
                              : hook.encoding == MacEncoding::base64 ? base64_of(mac)
                                                                     : hex_of(mac);

  std::map<std::string, std::string> headers;
  if (stamped) {
    headers[hook.timestamp_header] = stamp;
  }
  if (forge) {
    headers[header] = hook.scheme == WebhookScheme::gitlab ? encoded : prefix + encoded;
    if (check(hook, headers, body) != SignatureCheck::valid) {
      std::abort();  // a delivery signed as the sender signs must verify
    }
    return 0;
  }
  headers[header] = fuzzed_signature;
  if (check(hook, headers, body) != SignatureCheck::valid) {
    return 0;
  }
  if (hook.scheme == WebhookScheme::gitlab) {
    if (fuzzed_signature != hook.secret) {
      std::abort();
    }
  } else if (hook.encoding == MacEncoding::hex &&
             (!std::string_view(fuzzed_signature).starts_with(prefix) ||
              lower(fuzzed_signature.substr(prefix.size())) != encoded)) {
    std::abort();  // a hex signature that is not the MAC verified
  }
  return 0;
}
