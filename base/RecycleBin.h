// Objects a list made and let go of at a clear, kept so that it can make the next ones
// without allocating (their strings keep their memory too). Lookups clear and refill the
// same lists again and again; this spares them a dozen allocations each.
//
// Reuse must not hide a stale pointer: an object let go of waits through one whole round
// (a decoding, a lookup) before it is handed out again, and while it waits its memory is
// poisoned for AddressSanitizer, so a pointer kept past the clear is reported on its first
// use just as a freed object's would be.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define PELLAMAR_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) && !defined(PELLAMAR_ASAN)
#define PELLAMAR_ASAN 1
#endif
#ifdef PELLAMAR_ASAN
#include <sanitizer/allocator_interface.h>
#include <sanitizer/asan_interface.h>
#endif

// Hides an object's whole allocation (fields of derived classes too) from use, or shows it
// again. Without the sanitizer this does nothing.
inline void SetRecycledPoison([[maybe_unused]] const void* object,
                              [[maybe_unused]] std::size_t least_size,
                              [[maybe_unused]] bool poisoned) {
#ifdef PELLAMAR_ASAN
  const std::size_t size =
      __sanitizer_get_ownership(object) ? __sanitizer_get_allocated_size(object) : least_size;
  if (poisoned)
    ASAN_POISON_MEMORY_REGION(object, size);
  else
    ASAN_UNPOISON_MEMORY_REGION(object, size);
#endif
}

// The owner counts the rounds and passes the current one in; objects kept during round r
// may be taken from round r + 1 on. The caller resets what it takes.
template <class T>
class TRecycleBin {
 public:
  TRecycleBin() = default;
  TRecycleBin(const TRecycleBin&) = delete;
  TRecycleBin& operator=(const TRecycleBin&) = delete;
  ~TRecycleBin() {
    for (auto& item : ready_) SetRecycledPoison(item.get(), sizeof(T), false);
    for (auto& item : waiting_) SetRecycledPoison(item.get(), sizeof(T), false);
  }

  // An object kept before this round, or null.
  std::unique_ptr<T> Take(std::uint64_t round) {
    Promote(round);
    if (ready_.empty()) return nullptr;
    std::unique_ptr<T> item = std::move(ready_.back());
    ready_.pop_back();
    SetRecycledPoison(item.get(), sizeof(T), false);
    return item;
  }

  void Keep(std::unique_ptr<T> item, std::uint64_t round) {
    if (waiting_since_ != round) {
      // What waited since an earlier round may serve this one's successor already.
      Promote(round);
      waiting_since_ = round;
    }
    SetRecycledPoison(item.get(), sizeof(T), true);
    waiting_.push_back(std::move(item));
  }

  std::size_t Count() const { return ready_.size() + waiting_.size(); }

 private:
  void Promote(std::uint64_t round) {
    if (waiting_.empty() || waiting_since_ >= round) return;
    if (ready_.empty()) {
      ready_.swap(waiting_);  // the usual case: every ready object was taken
    } else {
      for (auto& item : waiting_) ready_.push_back(std::move(item));
      waiting_.clear();
    }
  }

  std::uint64_t waiting_since_ = 0;
  std::vector<std::unique_ptr<T>> ready_;
  std::vector<std::unique_ptr<T>> waiting_;
};
