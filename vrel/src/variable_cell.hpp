// A variable's cell: where one binding of a store lives for the store's whole life.
#pragma once

#include <atomic>
#include <bit>
#include <cstdint>
#include <string>

#include "operand.hpp"
#include "rw_lock.hpp"
#include "vrel/value.hpp"

namespace vrel {

// Bindings are never removed, so each variable gets one cell when it is first bound and
// keeps it until the store dies: a node that remembers the cell (detail::CellMemo) reaches it
// again without hashing or probing.
//
// A number or boolean is held inline, with no shared value behind it: binding one allocates
// nothing, and reading one takes no lock and no reference count. Any other value is held by
// reference in `other_`.
//
// Writers hold the exclusive lock of the cell's shard, so there is one at a time. The inline
// part is a seqlock: the version is odd while a writer changes it, and a reader trusts what
// it read only if the version was even and unchanged around its reads (else it reads again
// under the shared lock). `other_` is read and written only under the shard's lock.
class VariableCell {
 public:
  VariableCell() noexcept = default;
  VariableCell(const VariableCell&) = delete;
  VariableCell& operator=(const VariableCell&) = delete;

  // Called once, before the cell is published under the exclusive lock.
  void attach(RawRwLock& shard_lock) noexcept { lock_ = &shard_lock; }
  RawRwLock& lock() const noexcept { return *lock_; }

  // The value as an operand: a number or boolean copied out (without the lock unless a writer
  // is busy), any other value with a new reference taken under the shared lock.
  Operand read() const {
    const std::uint32_t before = version_.load(std::memory_order_acquire);
    const Held held = held_.load(std::memory_order_relaxed);
    const std::uint64_t bits = bits_.load(std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_acquire);
    if ((before & 1) == 0 && version_.load(std::memory_order_relaxed) == before &&
        held != Held::Other) [[likely]] {
      return plain(held, bits);
    }
    return read_taking_lock();
  }

  // The value as an operand; the caller holds the shard's lock, shared or exclusive.
  Operand read_under_lock() const {
    const Held held = held_.load(std::memory_order_relaxed);
    if (held == Held::Other) return Operand(other_);
    return plain(held, bits_.load(std::memory_order_relaxed));
  }

  // Appends the value's debug form; the caller holds the shard's lock, shared or exclusive.
  void debug_under_lock(std::string& out) const {
    const std::uint64_t bits = bits_.load(std::memory_order_relaxed);
    switch (held_.load(std::memory_order_relaxed)) {
      case Held::Int:
        return Value::integer(static_cast<std::int64_t>(bits)).debug(out);
      case Held::Float:
        return Value::floating(std::bit_cast<double>(bits)).debug(out);
      case Held::Boolean:
        return Value::boolean(bits != 0).debug(out);
      case Held::Other:
        return other_->debug(out);
    }
  }

  // Stores `value`; the caller holds the shard's lock exclusively. Returns the reference held
  // before, if any, for the caller to drop once the lock is given back (destroying a value
  // may run any code).
  [[nodiscard]] SharedValue assign_under_lock(Operand&& value) {
    Held held = Held::Other;
    std::uint64_t bits = 0;
    Number n = Number::from_int(0);
    bool b = false;
    SharedValue kept;
    if (value.get_number(n)) {
      held = n.is_int() ? Held::Int : Held::Float;
      bits = n.is_int() ? static_cast<std::uint64_t>(n.as_int())
                        : std::bit_cast<std::uint64_t>(n.as_float());
    } else if (value.get_boolean(b)) {
      held = Held::Boolean;
      bits = b ? 1 : 0;
    } else {
      kept = std::move(value).share();
    }
    const std::uint32_t version = version_.load(std::memory_order_relaxed);
    version_.store(version + 1, std::memory_order_relaxed);
    // Orders the odd version before the new contents, for readers that see any of them.
    std::atomic_thread_fence(std::memory_order_release);
    held_.store(held, std::memory_order_relaxed);
    bits_.store(bits, std::memory_order_relaxed);
    std::swap(other_, kept);
    version_.store(version + 2, std::memory_order_release);
    return kept;
  }

 private:
  enum class Held : std::uint8_t { Int, Float, Boolean, Other };

  static Operand plain(Held held, std::uint64_t bits) noexcept {
    switch (held) {
      case Held::Int:
        return Operand::number(Number::from_int(static_cast<std::int64_t>(bits)));
      case Held::Float:
        return Operand::number(Number::from_float(std::bit_cast<double>(bits)));
      case Held::Boolean:
      case Held::Other:
        break;
    }
    return Operand::boolean(bits != 0);
  }

  [[gnu::noinline]] Operand read_taking_lock() const {
    SharedLockGuard guard(*lock_);
    return read_under_lock();
  }

  std::atomic<std::uint32_t> version_{0};
  std::atomic<Held> held_{Held::Int};
  std::atomic<std::uint64_t> bits_{0};
  SharedValue other_;
  RawRwLock* lock_ = nullptr;
};

}  // namespace vrel
