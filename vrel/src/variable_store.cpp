// The concurrent variable store: hash keys, identifier hashing, shards, their tables and cells.
#include "variable_store.hpp"

#include <sys/random.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <cstring>
#include <limits>
#include <thread>

#include "messages.hpp"
#include "siphash.hpp"
#include "vrel/fatal.hpp"

namespace vrel {

// ---- hash keys -------------------------------------------------------------------------

namespace {

struct ThreadKeys {
  bool ready = false;
  HashKeys keys{0, 0};
};
thread_local ThreadKeys tl_keys;

HashKeys fresh_random_keys() noexcept {
  unsigned char bytes[16];
  std::size_t filled = 0;
  while (filled < sizeof bytes) {
    ssize_t n = getrandom(bytes + filled, sizeof bytes - filled, 0);
    if (n <= 0) break;
    filled += static_cast<std::size_t>(n);
  }
  if (filled < sizeof bytes) {
    // No kernel randomness (a sandbox without the syscall): fall back to the clock and an
    // address, which still differ between processes and threads.
    const std::uint64_t t =
        static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    const std::uint64_t a = reinterpret_cast<std::uintptr_t>(&tl_keys);
    std::memcpy(bytes, &t, 8);
    std::memcpy(bytes + 8, &a, 8);
  }
  // Little-endian words, as the target is little-endian.
  HashKeys keys;
  std::memcpy(&keys.k0, bytes, 8);
  std::memcpy(&keys.k1, bytes + 8, 8);
  return keys;
}

}  // namespace

HashKeys next_hash_keys() {
  ThreadKeys& t = tl_keys;
  if (!t.ready) {
    t.keys = fresh_random_keys();
    t.ready = true;
  }
  HashKeys handed = t.keys;
  t.keys.k0 += 1;  // wraps modulo 2^64
  return handed;
}

std::uint64_t hash_identifier(const HashKeys& keys, const Identifier& id) noexcept {
  if (id.is_u()) {
    SipHasher13 h(keys.k0, keys.k1);
    h.write_u64(0);
    h.write_u64(id.as_u());
    return h.finish();
  }
  const std::string& text = id.as_s();
  return SipHasher13::framed(keys.k0, keys.k1, 1, text.data(), text.size(), 0xFF);
}

// ---- cells ------------------------------------------------------------------------------

// A cell is held only for a few loads and stores, so a waiter spins; if the holder was
// preempted, yielding lets it finish.
std::uint32_t VariableCell::lock_contended() const noexcept {
  for (unsigned spins = 0;; ++spins) {
    std::uint32_t version = version_.load(std::memory_order_relaxed);
    if ((version & 1) == 0 &&
        version_.compare_exchange_weak(version, version + 1, std::memory_order_acquire,
                                       std::memory_order_relaxed)) {
      return version;
    }
    if (spins < 64) {
      cpu_pause();
    } else {
      std::this_thread::yield();
    }
  }
}

// ---- shards ------------------------------------------------------------------------------

namespace {

// A table slot: the identifier's hash, and the cell that holds the identifier and its value
// (null: the slot is free). Slots are plain data, so that growing a table copies 16 bytes an
// entry; the keys stay in their cells.
struct Slot {
  std::uint64_t hash;
  VariableCell* cell;
};

// Open addressing with linear probing. Entries are never removed, so a search can stop at
// the first free slot. The table is allocated by its first insert.
struct Table {
  std::unique_ptr<Slot[]> slots;
  std::size_t mask = 0;  // capacity - 1 when allocated
  std::size_t len = 0;

  std::size_t capacity() const noexcept { return slots ? mask + 1 : 0; }

  const Slot* find(std::uint64_t hash, const Identifier& id) const noexcept {
    if (!slots) return nullptr;
    for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
      const Slot& s = slots[i];
      if (!s.cell) return nullptr;
      if (s.hash == hash && same_identifier(s.cell->key(), id)) return &s;
    }
  }

  Slot& free_slot_for(std::uint64_t hash) noexcept {
    for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
      if (!slots[i].cell) return slots[i];
    }
  }

  // Makes room for one more entry, keeping the load at most 3/4.
  void reserve_one() {
    const std::size_t cap = capacity();
    if ((len + 1) * 4 <= cap * 3) return;
    constexpr std::size_t kMaxCapacity =
        (std::size_t{1} << (std::numeric_limits<std::size_t>::digits - 2)) / sizeof(Slot);
    if (cap >= kMaxCapacity) raise_fatal(text::kTableCapacityOverflow);
    // Quadruple while small: a fresh machine filling up pays for few growth steps.
    const std::size_t new_cap = cap == 0 ? 16 : cap < 1024 ? cap * 4 : cap * 2;
    std::unique_ptr<Slot[]> old = std::move(slots);
    slots = std::make_unique<Slot[]>(new_cap);
    mask = new_cap - 1;
    for (std::size_t i = 0; i < cap; ++i) {
      if (old[i].cell) free_slot_for(old[i].hash) = old[i];
    }
  }
};

// The cells of one shard, in blocks that never move: a block twice the size of the one
// before, so that a shard of n variables makes about log2(n) allocations for its cells.
class CellBlocks {
 public:
  // A fresh cell; its block stays allocated until the shard dies.
  VariableCell& take() {
    if (used_ == block_size_) {
      const std::size_t size = block_size_ == 0 ? 8 : std::min<std::size_t>(block_size_ * 2, 4096);
      blocks_.reserve(blocks_.size() + 1);
      blocks_.push_back(std::make_unique<VariableCell[]>(size));
      block_size_ = size;
      used_ = 0;
    }
    return blocks_.back()[used_++];
  }

 private:
  std::vector<std::unique_ptr<VariableCell[]>> blocks_;
  std::size_t block_size_ = 0;
  std::size_t used_ = 0;
};

}  // namespace

struct alignas(128) VariableStore::Shard {
  mutable RawRwLock lock;
  Table table;
  CellBlocks cells;
};

VariableStore::VariableStore(std::size_t shard_amount)
    : VariableStore(shard_amount, next_hash_keys()) {}

namespace {
std::atomic<std::uint64_t> g_next_store_serial{1};
}  // namespace

VariableStore::VariableStore(std::size_t shard_amount, HashKeys keys)
    : shard_amount_(shard_amount),
      shift_(0),
      keys_(keys),
      serial_(g_next_store_serial.fetch_add(1, std::memory_order_relaxed)) {
  if (shard_amount <= 1) raise_fatal(text::kShardAmountTooSmall);
  if (!std::has_single_bit(shard_amount)) {
    raise_fatal(text::kShardAmountNotPowerOfTwo);
  }
  shift_ = 64 - static_cast<unsigned>(std::countr_zero(shard_amount));
  shards_ = std::make_unique<Shard[]>(shard_amount);
}

VariableStore::~VariableStore() = default;

namespace {

// The cells this thread found or made last, whichever node or host asked: a program mostly
// reads the variable a statement just before it bound, and calls one function again and
// again, so these spare a search even on a machine that runs each node once. Each entry is
// tagged with its store's serial (never reused): an entry of a store that is gone is never
// taken for another store's. Initial-exec TLS, as the evaluator's other per-thread state.
struct RecentCells {
  static constexpr unsigned kSize = 2;
  std::uint64_t serial[kSize];
  VariableCell* cell[kSize];
  unsigned next;
};
thread_local constinit RecentCells tl_recent __attribute__((tls_model("initial-exec"))) = {};

}  // namespace

VariableCell* VariableStore::recent_cell(const Identifier& id) const noexcept {
  const RecentCells& recent = tl_recent;
  for (unsigned i = 0; i < RecentCells::kSize; ++i) {
    if (recent.serial[i] == serial_ && same_identifier(recent.cell[i]->key(), id)) {
      return recent.cell[i];
    }
  }
  return nullptr;
}

void VariableStore::note_recent(VariableCell* cell) const noexcept {
  RecentCells& recent = tl_recent;
  recent.serial[recent.next] = serial_;
  recent.cell[recent.next] = cell;
  recent.next = (recent.next + 1) % RecentCells::kSize;
}

const VariableCell* VariableStore::find_cell(const Identifier& id,
                                             const detail::CellMemo* memo) const {
  VariableCell* cell = recent_cell(id);
  if (!cell) {
    const std::uint64_t hash = hash_identifier(keys_, id);
    Shard& shard = shards_[shard_index(hash)];
    {
      SharedLockGuard guard(shard.lock);
      if (const Slot* s = shard.table.find(hash, id)) cell = s->cell;
    }
    if (!cell) return nullptr;
    note_recent(cell);
  }
  if (memo) detail::note_cell_miss(*memo, serial_, cell);
  return cell;
}

const VariableCell& VariableStore::find_cell_or_fail(const Identifier& id,
                                                     const detail::CellMemo* memo) const {
  const VariableCell* cell = find_cell(id, memo);
  if (!cell) raise_fatal(text::kValueNotFound + id.debug());
  return *cell;
}

SharedValue VariableStore::lookup(const Identifier& id) const {
  const VariableCell* cell = find_cell(id, nullptr);
  return cell ? cell->read().share() : SharedValue();
}

const Value& VariableStore::view(Operand&& value, Value& scratch, SharedValue& held) {
  Number n = Number::from_int(0);
  bool b = false;
  if (value.get_number(n)) {
    scratch = Value::number(n);
    return scratch;
  }
  if (value.get_boolean(b)) {
    scratch = Value::boolean(b);
    return scratch;
  }
  held = std::move(value).share();
  return *held;
}

SharedValue VariableStore::get(const Identifier& id, const detail::CellMemo* memo) const {
  const VariableCell* cell = memo ? detail::recall_cell(*memo, serial_) : nullptr;
  if (!cell) cell = &find_cell_or_fail(id, memo);
  return cell->read().share();
}

template <class Id>
SharedValue VariableStore::insert_impl(Id&& id, Operand&& value, const detail::CellMemo* memo,
                                       VariableCell** cell_out) const {
  if (memo) {
    if (VariableCell* cell = detail::recall_cell(*memo, serial_)) {
      if (cell_out) *cell_out = cell;
      return assign(*cell, std::move(value));
    }
  }
  if (VariableCell* cell = recent_cell(id)) {
    if (memo) detail::note_cell_miss(*memo, serial_, cell);
    if (cell_out) *cell_out = cell;
    return assign(*cell, std::move(value));
  }
  const std::uint64_t hash = hash_identifier(keys_, id);
  Shard& shard = shards_[shard_index(hash)];
  VariableCell* cell = nullptr;
  SharedValue previous;
  {
    ExclusiveLockGuard guard(shard.lock);
    if (const Slot* s = shard.table.find(hash, id)) {
      // The stored key stays; an owned `id` is destroyed by the caller's frame.
      cell = s->cell;
      previous = cell->assign(std::move(value));
    } else {
      shard.table.reserve_one();
      cell = &shard.cells.take();
      cell->name(std::forward<Id>(id));
      cell->assign_unpublished(std::move(value));
      shard.table.free_slot_for(hash) = Slot{hash, cell};
      ++shard.table.len;
    }
  }
  note_recent(cell);
  if (memo) detail::note_cell_miss(*memo, serial_, cell);
  if (cell_out) *cell_out = cell;
  return previous;
}

SharedValue VariableStore::insert(Identifier&& id, Operand value, const detail::CellMemo* memo,
                                  VariableCell** cell_out) const {
  return insert_impl(std::move(id), std::move(value), memo, cell_out);
}

SharedValue VariableStore::insert(const Identifier& id, Operand value,
                                  const detail::CellMemo* memo) const {
  return insert_impl(id, std::move(value), memo, nullptr);
}

std::size_t VariableStore::size() const {
  std::size_t total = 0;
  for (std::size_t i = 0; i < shard_amount_; ++i) {
    Shard& shard = shards_[i];
    SharedLockGuard guard(shard.lock);
    total += shard.table.len;
  }
  return total;
}

void VariableStore::append_identifiers(std::vector<Identifier>& out) const {
  for (std::size_t i = 0; i < shard_amount_; ++i) {
    Shard& shard = shards_[i];
    SharedLockGuard guard(shard.lock);
    const Table& t = shard.table;
    // Reserved first, so that the copies below do not grow the vector step by step while
    // the lock is held.
    out.reserve(out.size() + t.len);
    for (std::size_t j = 0; j < t.capacity(); ++j) {
      const Slot& s = t.slots[j];
      if (s.cell) out.push_back(s.cell->key());
    }
  }
}

void VariableStore::debug_entries(std::string& out) const {
  std::vector<const VariableCell*> cells;
  for (std::size_t i = 0; i < shard_amount_; ++i) {
    Shard& shard = shards_[i];
    SharedLockGuard guard(shard.lock);
    const Table& t = shard.table;
    for (std::size_t j = 0; j < t.capacity(); ++j) {
      if (const VariableCell* cell = t.slots[j].cell) cells.push_back(cell);
    }
  }
  bool first = true;
  for (const VariableCell* cell : cells) {
    if (!first) out += text::kDebugItemSeparator;
    first = false;
    cell->key().debug(out);
    out += text::kDebugEntrySeparator;
    cell->debug(out);
  }
}

}  // namespace vrel
