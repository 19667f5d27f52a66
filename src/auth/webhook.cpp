#include "auth/webhook.h"

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/params.h>

#include <array>
#include <charconv>
#include <memory>
#include <optional>

#include "auth/codec.h"
#include "support/text.h"

namespace velquin::auth::detail {

namespace {

struct MacFree {
  void operator()(EVP_MAC* mac) const { EVP_MAC_free(mac); }
  void operator()(EVP_MAC_CTX* ctx) const { EVP_MAC_CTX_free(ctx); }
};

const char* digest_name(MacAlgorithm algorithm) {
  switch (algorithm) {
  case MacAlgorithm::sha1:
    return "SHA1";
  case MacAlgorithm::sha512:
    return "SHA512";
  case MacAlgorithm::sha256:
    break;
  }
  return "SHA256";
}

// HMAC of the parts in order, as if they were one text.
std::optional<std::string> hmac(MacAlgorithm algorithm, std::string_view key,
                                std::initializer_list<std::string_view> parts) {
  std::unique_ptr<EVP_MAC, MacFree> mac(EVP_MAC_fetch(nullptr, "HMAC", nullptr));
  if (!mac) {
    return std::nullopt;
  }
  std::unique_ptr<EVP_MAC_CTX, MacFree> ctx(EVP_MAC_CTX_new(mac.get()));
  if (!ctx) {
    return std::nullopt;
  }
  const OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST,
                                       const_cast<char*>(digest_name(algorithm)), 0),
      OSSL_PARAM_construct_end()};
  if (EVP_MAC_init(ctx.get(), reinterpret_cast<const unsigned char*>(key.data()), key.size(),
                   params) != 1) {
    return std::nullopt;
  }
  for (std::string_view part : parts) {
    if (EVP_MAC_update(ctx.get(), reinterpret_cast<const unsigned char*>(part.data()),
                       part.size()) != 1) {
      return std::nullopt;
    }
  }
  std::array<unsigned char, EVP_MAX_MD_SIZE> out{};
  std::size_t length = 0;
  if (EVP_MAC_final(ctx.get(), out.data(), &length, out.size()) != 1) {
    return std::nullopt;
  }
  return std::string(reinterpret_cast<const char*>(out.data()), length);
}

std::optional<std::string> hex_decode(std::string_view text) {
  if (text.size() % 2 != 0) {
    return std::nullopt;
  }
  std::string out;
  out.reserve(text.size() / 2);
  for (std::size_t i = 0; i < text.size(); i += 2) {
    const int high = support::hex_value(text[i]);
    const int low = support::hex_value(text[i + 1]);
    if (high < 0 || low < 0) {
      return std::nullopt;
    }
    out.push_back(static_cast<char>(high * 16 + low));
  }
  return out;
}

std::optional<std::int64_t> seconds_of(std::string_view text) {
  text = support::trim(text);
  std::int64_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size()) {
    return std::nullopt;
  }
  return value;
}

// The received MAC against the computed one. The decoding of what the client
// sent may stop early; the comparison with the secret-derived bytes may not.
bool mac_matches(const WebhookEntry& hook, std::string_view received,
                 std::initializer_list<std::string_view> parts) {
  const std::optional<std::string> expected = hmac(hook.algorithm, hook.secret, parts);
  if (!expected) {
    return false;
  }
  std::optional<std::string> given;
  if (received.starts_with(hook.prefix)) {
    received.remove_prefix(hook.prefix.size());
    given = hook.encoding == MacEncoding::hex ? hex_decode(received)
                                              : base64_decode(received, Base64Alphabet::standard);
  }
  const bool equal = support::constant_time_equal(given.value_or(""), *expected);
  return given.has_value() && equal;
}

}  // namespace

std::string_view signature_header(const WebhookEntry& hook) {
  switch (hook.scheme) {
  case WebhookScheme::github:
    return "X-Hub-Signature-256";
  case WebhookScheme::gitea:
    return "X-Gitea-Signature";
  case WebhookScheme::gitlab:
    return "X-Gitlab-Token";
  case WebhookScheme::generic:
    break;
  }
  return hook.header;
}

std::string_view delivery_header(const WebhookEntry& hook) {
  switch (hook.scheme) {
  case WebhookScheme::github:
    return "X-GitHub-Delivery";
  case WebhookScheme::gitea:
    return "X-Gitea-Delivery";
  case WebhookScheme::gitlab:
    return "X-Gitlab-Event-UUID";
  case WebhookScheme::generic:
    break;
  }
  return "";
}

SignatureCheck check_signature(const WebhookEntry& hook, const HeaderLookup& header,
                               std::string_view body, std::int64_t now) {
  const std::optional<std::string> received = header(signature_header(hook));
  if (!received) {
    return SignatureCheck::invalid;
  }
  switch (hook.scheme) {
  case WebhookScheme::github: {
    WebhookEntry fixed = hook;
    fixed.prefix = "sha256=";
    return mac_matches(fixed, *received, {body}) ? SignatureCheck::valid : SignatureCheck::invalid;
  }
  case WebhookScheme::gitea:
    return mac_matches(hook, *received, {body}) ? SignatureCheck::valid : SignatureCheck::invalid;
  case WebhookScheme::gitlab:
    return support::constant_time_equal(*received, hook.secret) ? SignatureCheck::valid
                                                                : SignatureCheck::invalid;
  case WebhookScheme::generic:
    break;
  }
  if (hook.timestamp_header.empty()) {
    return mac_matches(hook, *received, {body}) ? SignatureCheck::valid : SignatureCheck::invalid;
  }
  // The timestamp is signed with the body, so a fresh one cannot be put on an old body.
  const std::optional<std::string> stamp = header(hook.timestamp_header);
  if (!stamp || !mac_matches(hook, *received, {*stamp, ".", body})) {
    return SignatureCheck::invalid;
  }
  const std::optional<std::int64_t> sent = seconds_of(*stamp);
  if (!sent || *sent < now - hook.tolerance_seconds || *sent > now + hook.tolerance_seconds) {
    return SignatureCheck::stale;
  }
  return SignatureCheck::valid;
}

bool DeliveryLog::seen(std::string_view key, Clock::time_point now) const {
  const auto digest = sha256(key);
  std::lock_guard lock(lock_);
  const auto it = seen_.find(std::string(digest.begin(), digest.end()));
  return it != seen_.end() && now - it->second < window_;
}

bool DeliveryLog::record(std::string_view key, Clock::time_point now) {
  const auto digest = sha256(key);
  std::string stored(digest.begin(), digest.end());
  std::lock_guard lock(lock_);
  expire(now);
  if (seen_.contains(stored)) {
    return false;
  }
  // Full of live ids: the oldest goes first, which only reopens the oldest to a replay.
  if (seen_.size() >= capacity_ && !order_.empty()) {
    seen_.erase(order_.front().first);
    order_.pop_front();
  }
  seen_.emplace(stored, now);
  order_.emplace_back(std::move(stored), now);
  return true;
}

void DeliveryLog::expire(Clock::time_point now) {
  while (!order_.empty() && now - order_.front().second >= window_) {
    seen_.erase(order_.front().first);
    order_.pop_front();
  }
}

}  // namespace velquin::auth::detail
