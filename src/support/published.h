#pragma once

#include <memory>
#include <mutex>
#include <utility>

namespace velquin::support {

// An immutable snapshot replaced as a whole. Readers copy the pointer once and
// keep a consistent view however often it is replaced. The lock covers only
// the pointer copy: libstdc++ 12's atomic<shared_ptr> orders its internal
// unlock too weakly for ThreadSanitizer to prove, so a plain mutex it is.
template <typename T> class Published {
 public:
  Published() = default;
  explicit Published(std::shared_ptr<T> value) : value_(std::move(value)) {}
  Published(const Published&) = delete;
  Published& operator=(const Published&) = delete;

  std::shared_ptr<T> load() const {
    std::lock_guard lock(mutex_);
    return value_;
  }

  // The old snapshot is released after the lock, by whoever held it last.
  void store(std::shared_ptr<T> value) {
    {
      std::lock_guard lock(mutex_);
      value_.swap(value);
    }
  }

 private:
  mutable std::mutex mutex_;
  std::shared_ptr<T> value_;  // guarded by mutex_
};

}  // namespace velquin::support
