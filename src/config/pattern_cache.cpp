#include "config/pattern_cache.h"

#include <algorithm>
#include <map>
#include <mutex>

#include <re2/re2.h>

namespace velquin::config::detail {

std::shared_ptr<const re2::RE2> compiled_pattern(const std::string& pattern) {
  // Weak entries: a pattern no alias uses any more is freed with its last alias.
  static std::mutex lock;
  static std::map<std::string, std::weak_ptr<const re2::RE2>, std::less<>> cache;

  std::lock_guard guard(lock);
  if (auto it = cache.find(pattern); it != cache.end()) {
    if (auto found = it->second.lock()) {
      return found;
    }
  }
  re2::RE2::Options options;
  options.set_log_errors(false);
  auto re = std::make_shared<const re2::RE2>(pattern, options);
  // Expired entries go whenever the map has doubled: it stays within twice
  // the patterns in use.
  static std::size_t prune_at = 64;
  if (cache.size() >= prune_at) {
    std::erase_if(cache, [](const auto& entry) { return entry.second.expired(); });
    prune_at = std::max<std::size_t>(64, 2 * cache.size());
  }
  cache.insert_or_assign(pattern, re);
  return re;
}

}  // namespace velquin::config::detail
