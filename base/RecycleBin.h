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

// Objects are kept in the order they are let go of, each at its place, and taken back by
// place: a list refilled with what it held before gets each item back where it was. The
// owner counts the rounds and passes the current one in; objects kept during round r may be
// taken from round r + 1 on, until the objects kept after them become ready in their turn
// and the ones nobody took are freed. The caller resets what it takes.
template <class T>
class TRecycleBin {
 public:
  using TItems = std::vector<std::unique_ptr<T>>;

  TRecycleBin() = default;
  TRecycleBin(const TRecycleBin&) = delete;
  TRecycleBin& operator=(const TRecycleBin&) = delete;
  ~TRecycleBin() {
    Free(ready_);
    Free(waiting_);
  }

  // Lets go of every item of `list` (any list with MoveAllTo), which is emptied. Items `keep`
  // accepts are kept; the others are freed, their places left empty so the rest keep theirs.
  // Past `most` waiting items nothing is kept.
  template <class List, class Keep>
  void KeepAll(List& list, std::uint64_t round, std::size_t most, Keep keep) {
    if (waiting_since_ != round) {
      // What waited since an earlier round may serve this one already.
      Promote(round);
      waiting_since_ = round;
    }
    if (waiting_.size() + static_cast<std::size_t>(list.Count()) > most) {
      list.Clear();  // an odd large list keeps no memory
      return;
    }
    list.MoveAllTo(waiting_, [&](std::unique_ptr<T>& item) {
      if (keep(static_cast<const T&>(*item)))
        SetRecycledPoison(item.get(), sizeof(T), true);
      else
        item.reset();
    });
  }

  // The item kept at `place` before this round, if there is one.
  std::unique_ptr<T> Take(std::size_t place, std::uint64_t round) {
    Promote(round);
    if (place >= ready_.size() || ready_[place] == nullptr) return nullptr;
    SetRecycledPoison(ready_[place].get(), sizeof(T), false);
    return std::move(ready_[place]);
  }

 private:
  // Items that waited through a round become ready; ready ones nobody took are freed.
  void Promote(std::uint64_t round) {
    if (waiting_.empty() || waiting_since_ >= round) return;
    Free(ready_);
    ready_.swap(waiting_);
  }

  static void Free(TItems& items) {
    for (auto& item : items) {
      if (item != nullptr) SetRecycledPoison(item.get(), sizeof(T), false);
    }
    items.clear();
  }

  std::uint64_t waiting_since_ = 0;
  TItems ready_;  // by place
  TItems waiting_;
};
