// The concurrent variable store: a sharded hash map from Identifier to the variable's cell.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "cell_memo.hpp"
#include "operand.hpp"
#include "rw_lock.hpp"
#include "variable_cell.hpp"
#include "vrel/machine.hpp"
#include "vrel/syntax_tree.hpp"
#include "vrel/value.hpp"

namespace vrel {

// Per-thread SipHash key pairs: filled from getrandom on a thread's first use; each call
// hands out the current pair and then advances k0 by one.
struct HashKeys {
  std::uint64_t k0, k1;
};
HashKeys next_hash_keys();

// SipHash-1-3 of an identifier under the given keys: 0 (a number) or 1 (a text) as 8
// little-endian bytes, then the number as 8 little-endian bytes or the text's bytes and
// one 0xFF byte.
std::uint64_t hash_identifier(const HashKeys& keys, const Identifier& id) noexcept;

// Identifier equality (same variant, equal number or equal bytes), as the tables use it.
// Keys are compared only after their hashes matched, so they are almost always equal:
// names are short, and comparing them with a few loads in place costs less than a call to
// memcmp.
inline bool same_identifier(const Identifier& a, const Identifier& b) noexcept {
  if (a.is_u() != b.is_u()) return false;
  if (a.is_u()) return a.as_u() == b.as_u();
  const std::string& x = a.as_s();
  const std::string& y = b.as_s();
  const std::size_t n = x.size();
  if (n != y.size()) return false;
  const char* p = x.data();
  const char* q = y.data();
  const auto word = [](const char* at) {
    std::uint64_t w;
    std::memcpy(&w, at, 8);
    return w;
  };
  const auto half = [](const char* at) {
    std::uint32_t w;
    std::memcpy(&w, at, 4);
    return w;
  };
  if (n >= 8) {
    for (std::size_t i = 0; i + 8 < n; i += 8) {
      if (word(p + i) != word(q + i)) return false;
    }
    return word(p + n - 8) == word(q + n - 8);
  }
  if (n >= 4) return half(p) == half(q) && half(p + n - 4) == half(q + n - 4);
  // 0 to 3 bytes: the first, middle and last cover them all.
  return n == 0 || (p[0] == q[0] && p[n / 2] == q[n / 2] && p[n - 1] == q[n - 1]);
}

// A fixed number of shards, each an open-addressing table from identifier to cell, guarded by
// its own RawRwLock. Entries are never removed and a cell never moves, so a cell found once
// serves for the store's whole life (see VariableCell). A table grows under its shard's
// exclusive lock. Every operation locks at most one shard, only for the operation itself.
class VariableStore {
 public:
  // `shard_amount` must be a power of two above 1 (else a fatal "assertion failed: ...").
  explicit VariableStore(std::size_t shard_amount);
  VariableStore(std::size_t shard_amount, HashKeys keys);
  ~VariableStore();
  VariableStore(const VariableStore&) = delete;
  VariableStore& operator=(const VariableStore&) = delete;

  // A new reference to the value stored under `id`, or an empty handle (a number or boolean
  // comes in a new shared value).
  SharedValue lookup(const Identifier& id) const;

  // A new reference to the value stored under `id`; unbound, the fatal error "Value cannot
  // be found: " and the identifier's debug form. With a memo, the cell is taken from it when
  // it was remembered for this store (see detail::CellMemo).
  SharedValue get(const Identifier& id, const detail::CellMemo* memo = nullptr) const;

  // The same read as an evaluator operand: a number or boolean is copied out of its cell
  // with no lock and no reference count (see VariableCell); any other value comes with a new
  // reference, as from get. Same fatal error when unbound.
  Operand read(const Identifier& id, const detail::CellMemo* memo) const {
    if (memo) {
      if (const VariableCell* cell = detail::recall_cell(*memo, serial_)) [[likely]] {
        return cell->read();
      }
    }
    return find_cell_or_fail(id, memo).read();
  }

  // The cell that read() reads, or null when `id` is unbound (nothing raised).
  const VariableCell* cell_to_read(const Identifier& id, const detail::CellMemo* memo) const {
    if (memo) {
      if (const VariableCell* cell = detail::recall_cell(*memo, serial_)) [[likely]] {
        return cell;
      }
    }
    return find_cell(id, memo);
  }

  // Binds `id` to `value`. Returns the reference stored before under an equal identifier
  // (empty if none, or if it held a number or boolean); the caller drops it after the lock
  // is gone, so that destroying an old value never runs under a store lock. With a memo,
  // the cell is taken from it when it was remembered for this store.
  // With `cell_out`, the variable's cell is put there.
  [[nodiscard]] SharedValue insert(Identifier&& id, Operand value,
                                   const detail::CellMemo* memo = nullptr,
                                   VariableCell** cell_out = nullptr) const;
  // The same, copying `id` into the table only when it is not bound yet.
  [[nodiscard]] SharedValue insert(const Identifier& id, Operand value,
                                   const detail::CellMemo* memo = nullptr) const;

  // Stores `value` in a cell of this store, as insert does.
  [[nodiscard]] SharedValue assign(VariableCell& cell, Operand value) const {
    if (journal_) [[unlikely]]
      note_change(cell);
    return cell.assign(std::move(value));
  }

  // Whether `cell` is one of this store's, bound or not: a cell stays in its store's table
  // for the store's whole life, so looking its name up finds it again here and nowhere else.
  // For checks of preconditions.
  bool holds(const VariableCell* cell) const {
    return cell && find_cell(cell->key(), nullptr) == cell;
  }

  // The cell of `id`, or null when `id` is unbound (never bound, or removed).
  VariableCell* find_cell(const Identifier& id) const {
    VariableCell* cell = const_cast<VariableCell*>(find_cell(id, nullptr));
    return cell && cell->bound() ? cell : nullptr;
  }

  // Removes the binding of `id`; false when it is unbound. The value held before goes to
  // `dropped`, for the caller to release once nothing is locked.
  bool unbind(const Identifier& id, SharedValue& dropped) const;
  // Removes the binding of a cell of this store.
  [[nodiscard]] SharedValue unbind(VariableCell& cell) const {
    if (journal_) [[unlikely]]
      note_change(cell);
    return cell.unbind();
  }
  // Removes every binding. Cells stay where they are, unbound, for later bindings.
  void clear() const;

  // The journal: after mark, every change of a cell (binding, removal, a new variable) first
  // saves what the cell held, once per cell until the next reset; reset puts back every cell
  // saved since the mark. Resetting thus costs one restore per variable changed, with no
  // hashing, and allocates nothing once the journal has grown to the number of variables a
  // round changes. Meant for a store that one thread owns while it journals (a rule set's
  // worker machine): the journal itself is not synchronised. mark again makes the current
  // contents the new state to return to.
  void mark() const;
  void reset() const;

  // An operand as a value: a number or boolean placed in `scratch`, any other value kept
  // alive by the reference put in `held`.
  static const Value& view(Operand&& value, Value& scratch, SharedValue& held);

  // The number of entries, each shard locked shared while it is counted.
  std::size_t size() const;

  // Appends copies of the stored identifiers shard by shard, in the order of
  // debug_entries, each shard locked shared while it is copied.
  void append_identifiers(std::vector<Identifier>& out) const;

  // Appends the entries "key: value, key: value" shard by shard. Each shard is locked
  // shared only while its cells are listed: the entries are written after, since writing a
  // large value runs the budget's checks, where a host's signal handler may bind variables
  // of this store (a cell lives as long as the store, and guards its own value).
  void debug_entries(std::string& out) const;

  std::size_t shard_amount() const noexcept { return shard_amount_; }
  // Bits 56 down to 57 - log2(shard_amount) of the hash. Clear of the low bits, which pick
  // the starting slot in the shard's table: were they the same, a shard's entries would
  // crowd into a fraction of its slots.
  std::size_t shard_index(std::uint64_t hash) const noexcept {
    return static_cast<std::size_t>((hash << 7) >> shift_);
  }
  const HashKeys& keys() const noexcept { return keys_; }

 private:
  struct Shard;
  template <class Id>
  SharedValue insert_impl(Id&& id, Operand&& value, const detail::CellMemo* memo,
                          VariableCell** cell_out) const;
  // The cell of `id` if this thread found or made it lately (see RecentCells), else null.
  VariableCell* recent_cell(const Identifier& id) const noexcept;
  void note_recent(VariableCell* cell) const noexcept;
  // The cell of `id` (remembered in `memo` when given), or null when `id` is unbound.
  const VariableCell* find_cell(const Identifier& id, const detail::CellMemo* memo) const;
  const VariableCell& find_cell_or_fail(const Identifier& id, const detail::CellMemo* memo) const;

  struct Journal;
  void note_change(VariableCell& cell) const;
  void note_new(VariableCell& cell) const;

  std::size_t shard_amount_;
  unsigned shift_;
  HashKeys keys_;
  // Unique among the stores of the process (never reused), so that a remembered cell is
  // never taken for another store's, even one at the same address.
  std::uint64_t serial_;
  std::unique_ptr<Shard[]> shards_;
  // Null until mark: stores that never journal pay one test of it per binding.
  mutable std::unique_ptr<Journal> journal_;
  // Set by the first removal: until then every cell in a table is bound, and size() adds up
  // the tables' lengths instead of looking at each cell.
  mutable std::atomic<bool> ever_unbound_{false};
};

// The store of a machine.
inline const VariableStore& store_of(const Machine& machine) noexcept { return *machine.store_; }

}  // namespace vrel
