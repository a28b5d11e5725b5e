// A variable's cell: where one binding of a store lives for the store's whole life.
#pragma once

#include <atomic>
#include <bit>
#include <cstdint>
#include <string>
#include <utility>

#include "operand.hpp"
#include "seqlock.hpp"
#include "vrel/value.hpp"

namespace vrel {

// Each variable gets one cell when it is first bound and keeps it until the store dies, even
// when the variable is removed (the cell is then unbound and a later binding fills it again):
// a node or a host that remembers the cell (detail::CellMemo, Machine::Place) reaches it again
// without hashing or probing. Reading an unbound cell fails as reading a name never bound. The
// store's shard locks guard only its tables; a cell guards its own contents, so that binding a
// variable whose cell is known takes one atomic operation and no table lock.
//
// A number or boolean is held inline, with no shared value behind it: binding one allocates
// nothing, and reading one takes no lock and no reference count. Any other value is held by
// reference in `other_`.
//
// The version is a seqlock and a lock at once. Whoever changes the cell, or takes a reference
// to `other_`, first makes the version odd with a compare-and-swap (waiting while it is odd)
// and makes it even again when done; nothing that can block or run other code happens in
// between (the value replaced goes back to the caller, who drops it later). A reader of a
// number or boolean takes no lock: it trusts what it read only if the version was even and
// unchanged around its reads.
class VariableCell {
  // Unbound comes last: a reader's fast path takes everything below Other.
  enum class Held : std::uint8_t { Int, Float, Boolean, Other, Unbound };

 public:
  VariableCell() noexcept = default;
  VariableCell(const VariableCell&) = delete;
  VariableCell& operator=(const VariableCell&) = delete;

  // The variable's identifier: set once, before the cell is published, and never changed.
  const Identifier& key() const noexcept { return key_; }
  template <class Key>
  void name(Key&& key) {
    key_ = std::forward<Key>(key);
  }

  // The value as an operand: a number or boolean copied out (without locking unless a writer
  // is busy), any other value with a new reference.
  Operand read() const {
    const std::uint32_t before = version_.load(std::memory_order_acquire);
    const Held held = held_.load(seqlock::kLoad);
    const std::uint64_t bits = bits_.load(seqlock::kLoad);
    seqlock::reader_fence();
    if ((before & 1) == 0 && version_.load(std::memory_order_relaxed) == before &&
        held < Held::Other) [[likely]] {
      return plain(held, bits);
    }
    return read_locked();
  }

  // Stores the first value of a cell that no other thread can reach yet (its store publishes
  // it later, under a lock): no need to lock it.
  void assign_unpublished(Operand&& value) {
    Number n = Number::from_int(0);
    bool b = false;
    if (value.get_number(n)) {
      held_.store(n.is_int() ? Held::Int : Held::Float, std::memory_order_relaxed);
      bits_.store(n.is_int() ? static_cast<std::uint64_t>(n.as_int())
                             : std::bit_cast<std::uint64_t>(n.as_float()),
                  std::memory_order_relaxed);
    } else if (value.get_boolean(b)) {
      held_.store(Held::Boolean, std::memory_order_relaxed);
      bits_.store(b ? 1 : 0, std::memory_order_relaxed);
    } else {
      held_.store(Held::Other, std::memory_order_relaxed);
      other_ = std::move(value).share();
    }
  }

  // Stores `value`. Returns the reference held before, if any, for the caller to drop once
  // nothing is locked any more (destroying a value may run any code).
  [[nodiscard]] SharedValue assign(Operand&& value) {
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
    const std::uint32_t version = lock();
    // Orders the odd version before the new contents, for readers that see any of them.
    seqlock::writer_fence();
    held_.store(held, seqlock::kStore);
    bits_.store(bits, seqlock::kStore);
    std::swap(other_, kept);
    unlock(version);
    return kept;
  }

  // False once the variable was removed (unbind), until it is bound again.
  bool bound() const noexcept { return held_.load(std::memory_order_acquire) != Held::Unbound; }

  // Removes the value: reads fail from now on as for a name never bound. Returns the
  // reference held before, if any, for the caller to drop once nothing is locked.
  [[nodiscard]] SharedValue unbind() {
    SharedValue kept;
    const std::uint32_t version = lock();
    seqlock::writer_fence();
    held_.store(Held::Unbound, seqlock::kStore);
    bits_.store(0, seqlock::kStore);
    std::swap(other_, kept);
    unlock(version);
    return kept;
  }

  // The contents at one moment, for a journal that puts them back later (restore).
  class Saved {
   public:
    Saved() noexcept = default;

   private:
    friend class VariableCell;
    Held held_ = Held::Unbound;
    std::uint64_t bits_ = 0;
    SharedValue other_;
  };
  Saved save() const {
    Saved saved;
    const std::uint32_t version = lock();
    saved.held_ = held_.load(std::memory_order_relaxed);
    saved.bits_ = bits_.load(std::memory_order_relaxed);
    if (saved.held_ == Held::Other) saved.other_ = other_;
    unlock(version);
    return saved;
  }
  // Puts back what save returned; returns the reference held before, as assign does.
  [[nodiscard]] SharedValue restore(Saved&& saved) {
    SharedValue kept = std::move(saved.other_);
    const std::uint32_t version = lock();
    seqlock::writer_fence();
    held_.store(saved.held_, seqlock::kStore);
    bits_.store(saved.bits_, seqlock::kStore);
    std::swap(other_, kept);
    unlock(version);
    return kept;
  }

  // The journal epoch in which this cell was last saved (see VariableStore::mark). Written
  // only by the one thread that owns a journaling store; 0 in a store that never journals.
  std::uint64_t stamp = 0;

  // Appends the value's debug form.
  void debug(std::string& out) const {
    const std::uint32_t version = lock();
    const Held held = held_.load(std::memory_order_relaxed);
    const std::uint64_t bits = bits_.load(std::memory_order_relaxed);
    SharedValue other = other_;
    unlock(version);
    switch (held) {
      case Held::Int:
        return Value::integer(static_cast<std::int64_t>(bits)).debug(out);
      case Held::Float:
        return Value::floating(std::bit_cast<double>(bits)).debug(out);
      case Held::Boolean:
        return Value::boolean(bits != 0).debug(out);
      case Held::Other:
        return other->debug(out);
      case Held::Unbound:
        return;
    }
  }

 private:
  static Operand plain(Held held, std::uint64_t bits) noexcept {
    switch (held) {
      case Held::Int:
        return Operand::number(Number::from_int(static_cast<std::int64_t>(bits)));
      case Held::Float:
        return Operand::number(Number::from_float(std::bit_cast<double>(bits)));
      case Held::Boolean:
      case Held::Other:
      case Held::Unbound:
        break;
    }
    return Operand::boolean(bits != 0);
  }

  // Makes the version odd, waiting while another thread holds it so; returns the even
  // version it started from.
  std::uint32_t lock() const noexcept {
    std::uint32_t version = version_.load(std::memory_order_relaxed);
    if ((version & 1) == 0 &&
        version_.compare_exchange_weak(version, version + 1, std::memory_order_acquire,
                                       std::memory_order_relaxed)) [[likely]] {
      return version;
    }
    return lock_contended();
  }
  [[gnu::cold, gnu::noinline]] std::uint32_t lock_contended() const noexcept;

  // The next even version: readers that saw the old one read again.
  void unlock(std::uint32_t version) const noexcept {
    version_.store(version + 2, std::memory_order_release);
  }

  // The fatal error of reading a variable never bound.
  [[noreturn, gnu::cold]] void fail_unbound() const;

  [[gnu::noinline]] Operand read_locked() const {
    const std::uint32_t version = lock();
    const Held held = held_.load(std::memory_order_relaxed);
    const std::uint64_t bits = bits_.load(std::memory_order_relaxed);
    SharedValue other = held == Held::Other ? other_ : SharedValue();
    unlock(version);
    if (held == Held::Unbound) [[unlikely]]
      fail_unbound();
    if (held == Held::Other) return Operand(std::move(other));
    return plain(held, bits);
  }

  mutable std::atomic<std::uint32_t> version_{0};
  std::atomic<Held> held_{Held::Int};
  std::atomic<std::uint64_t> bits_{0};
  SharedValue other_;
  Identifier key_;
};

}  // namespace vrel
