// The hash memo of a variable-read node. Internal to the core: it lives in the syntax tree
// only because every Ident node holds one.
#pragma once

#include <atomic>
#include <cstdint>

namespace vrel::detail {

struct HashMemoCell;

// Remembers the hash of a variable read's identifier under the store it was last read
// from, so that a tree evaluated again and again against one machine hashes each of its
// variable names once instead of at every read. Only the evaluator and the store use it;
// it is written only after a second read from the same store, so trees that each machine
// evaluates once pay nothing for it. A copy starts empty.
class HashMemo {
 public:
  HashMemo() noexcept = default;
  HashMemo(const HashMemo&) noexcept {}
  // The node may now name another identifier: forget everything.
  HashMemo& operator=(const HashMemo&) noexcept {
    forget();
    return *this;
  }
  ~HashMemo() { forget(); }
  void forget() noexcept;

  // The serial number of the store that last missed the memo, and the remembered hash.
  mutable std::atomic<std::uint64_t> candidate{0};
  mutable std::atomic<HashMemoCell*> cell{nullptr};
};

}  // namespace vrel::detail
