// Values: copying, release, equality and debug forms of Number, Value and Identifier; the
// cells of shared values, alone or in blocks.
#include "vrel/value.hpp"

#include <pthread.h>

#include <algorithm>
#include <limits>
#include <mutex>
#include <new>

#include "debug_text.hpp"
#include "stack_guard.hpp"
#include "vrel/fatal.hpp"

namespace vrel {

// ---- Number ---------------------------------------------------------------------

Number Number::div(Number left, Number right) {
  if (left.is_int() && right.is_int()) {
    const std::int64_t a = left.as_int(), b = right.as_int();
    // The zero test comes first: INT64_MIN / 0 reports the zero divisor.
    if (b == 0) raise_fatal("attempt to divide by zero");
    if (a == std::numeric_limits<std::int64_t>::min() && b == -1) {
      raise_fatal("attempt to divide with overflow");
    }
    return from_int(a / b);
  }
  return from_float(left.to_float() / right.to_float());
}

void Number::debug(std::string& out) const {
  if (is_int()) {
    out += "Int(";
    out += std::to_string(as_int());
  } else {
    out += "Float(";
    write_float(out, as_float());
  }
  out += ')';
}

// ---- Value ----------------------------------------------------------------------------

Value::Value(const Value& other) : v_(std::monostate{}) {
  switch (other.kind()) {
    case ValueKind::Null:
      break;
    case ValueKind::Boolean:
      v_.emplace<bool>(other.as_boolean());
      break;
    case ValueKind::String:
      v_.emplace<std::string>(other.as_string());
      break;
    case ValueKind::Number:
      v_.emplace<Number>(other.as_number());
      break;
    case ValueKind::Vector:
      // Elements are shared, not copied: each gains one reference.
      v_.emplace<Vector>(other.as_vector());
      break;
    case ValueKind::Function:
      v_.emplace<FunctionBox>(other.as_function().clone_box());
      break;
  }
}

Value& Value::operator=(const Value& other) {
  if (this != &other) *this = Value(other);
  return *this;
}

Value::~Value() {
  if (kind() != ValueKind::Vector) return;
  Vector& items = *std::get_if<Vector>(&v_);
  if (items.empty()) return;
  // A vector's elements may hold vectors in turn, to any depth. Near the end of the stack,
  // hand the elements to the flat release loop instead of recursing into them.
  // The queue releases them later from a shallow frame; each release makes progress by at
  // least one level, so the loop ends.
  if (stack_low_for_release()) {
    release_later(new Vector(std::move(items)));
  } else {
    detail::release_elements(items);
  }
}

namespace detail {

// A block of cells: this header, then the cells. `live` counts the cells not yet released,
// unused ones included until their builder gives them back; the last to go frees the block.
struct CellBlock {
  explicit CellBlock(std::size_t cells) noexcept : live(cells), capacity(cells) {}
  std::atomic<std::size_t> live;
  std::size_t capacity;  // cells allocated; a reused block may be handed out for fewer

  ValueCell* cells() noexcept {
    return reinterpret_cast<ValueCell*>(reinterpret_cast<char*>(this) + sizeof(CellBlock));
  }
};
static_assert(sizeof(CellBlock) % alignof(ValueCell) == 0);

namespace {

bool owns_nothing(ValueKind kind) noexcept {
  return kind == ValueKind::Null || kind == ValueKind::Boolean || kind == ValueKind::Number;
}

// The block of a cell whose count word carries a block index (`index` = position + 1).
CellBlock* block_of(ValueCell* cell, std::uint64_t index) noexcept {
  return reinterpret_cast<CellBlock*>(reinterpret_cast<char*>(cell) -
                                      (index - 1) * sizeof(ValueCell) - sizeof(CellBlock));
}

std::size_t block_bytes(std::size_t cells) noexcept {
  return sizeof(CellBlock) + cells * sizeof(ValueCell);
}

// Freed large blocks, kept for the next vectors of the process. glibc returns a large free
// region at the top of its heap to the kernel, so a program that passes a big list over
// and over (each new vector replacing the last) would otherwise fault its pages in afresh
// every time. Bounded in count and bytes; small blocks go straight back to malloc, whose
// own bins recycle them well. Blocks are taken and returned a few times per vector, so one
// lock costs nothing measurable.
constexpr std::size_t kCachedBlockBytesMin = std::size_t{64} << 10;
constexpr std::size_t kCachedBlockBytesMax = std::size_t{8} << 20;  // all blocks together
constexpr std::size_t kCachedBlocksMax = 16;

struct BlockCache {
  std::mutex mutex;
  CellBlock* blocks[kCachedBlocksMax] = {};
  std::size_t count = 0;
  std::size_t bytes = 0;
};

// Never destroyed: blocks may be released by destructors that run after static destruction.
BlockCache* g_block_cache = nullptr;

BlockCache& block_cache() noexcept {
  static BlockCache* cache = [] {
    g_block_cache = new BlockCache;
    // A fork while another thread holds the lock would leave it held forever in the child:
    // the forking thread holds it across the fork instead, so both sides start with it free.
    pthread_atfork([] { g_block_cache->mutex.lock(); }, [] { g_block_cache->mutex.unlock(); },
                   [] { g_block_cache->mutex.unlock(); });
    return g_block_cache;
  }();
  return *cache;
}

// A cached block of at least `cells` cells but not more than twice as many (a smaller
// vector must not pin a much larger block), or null.
CellBlock* take_cached_block(std::size_t cells) noexcept {
  if (block_bytes(cells) * 2 < kCachedBlockBytesMin) return nullptr;
  BlockCache& cache = block_cache();
  std::lock_guard lock(cache.mutex);
  std::size_t best = cache.count;
  for (std::size_t i = 0; i < cache.count; ++i) {
    const std::size_t capacity = cache.blocks[i]->capacity;
    if (capacity >= cells && capacity / 2 <= cells &&
        (best == cache.count || capacity < cache.blocks[best]->capacity)) {
      best = i;
    }
  }
  if (best == cache.count) return nullptr;
  CellBlock* block = cache.blocks[best];
  cache.blocks[best] = cache.blocks[--cache.count];
  cache.bytes -= block_bytes(block->capacity);
  return block;
}

void free_block(CellBlock* block) noexcept {
  const std::size_t bytes = block_bytes(block->capacity);
  if (bytes >= kCachedBlockBytesMin && bytes <= kCachedBlockBytesMax) {
    BlockCache& cache = block_cache();
    std::lock_guard lock(cache.mutex);
    if (cache.count < kCachedBlocksMax && cache.bytes + bytes <= kCachedBlockBytesMax) {
      cache.blocks[cache.count++] = block;
      cache.bytes += bytes;
      return;
    }
  }
  block->~CellBlock();
  ::operator delete(static_cast<void*>(block));
}

// A block for `cells` cells, all counted live.
CellBlock* new_block(std::size_t cells) {
  if (CellBlock* block = take_cached_block(cells)) {
    block->live.store(cells, std::memory_order_relaxed);
    return block;
  }
  return ::new (::operator new(block_bytes(cells))) CellBlock(cells);
}

// Drops `cells` of a block's live cells; the thread that drops the last frees the block.
// acq_rel: every other thread's work on its cells happens before the block is freed.
void release_block_cells(CellBlock* block, std::size_t cells) noexcept {
  if (block->live.fetch_sub(cells, std::memory_order_acq_rel) == cells) free_block(block);
}

}  // namespace

void destroy_cell(ValueCell* cell, std::uint64_t word) noexcept {
  const std::uint64_t index = word >> kCellIndexShift;
  if (index == 0) {
    delete cell;
    return;
  }
  CellBlock* block = block_of(cell, index);
  cell->~ValueCell();
  release_block_cells(block, 1);
}

void release_elements(Value::Vector& items) noexcept {
  // Releases as the elements' destructors would, except that the cells released from one
  // block are given back to it with a single decrement: the elements of a vector built by a
  // VectorBuilder lie in a few blocks, one after the other. A block's count includes the
  // cells pending here, so nested releases cannot free it in the meantime.
  CellBlock* pending = nullptr;
  std::size_t pending_cells = 0;
  for (SharedValue& item : items) {
    ValueCell* cell = std::exchange(item.cell_, nullptr);
    if (!cell) continue;
    // As in release_cell: a sole holder reads the count instead of writing it.
    std::uint64_t word = cell->refs.load(std::memory_order_acquire);
    if ((word & kCellCountMask) != 1) {
      word = cell->refs.fetch_sub(1, std::memory_order_acq_rel);
      if ((word & kCellCountMask) != 1) continue;
    }
    const std::uint64_t index = word >> kCellIndexShift;
    if (index == 0) {
      delete cell;
      continue;
    }
    CellBlock* block = block_of(cell, index);
    // Null, boolean and number values own nothing: their destructor would do nothing, and
    // the cell's storage may be reused without running it. This saves a call and a visit
    // of the payload per element of the most common large vectors.
    if (!owns_nothing(cell->value.kind())) cell->~ValueCell();
    if (block != pending) {
      if (pending) release_block_cells(pending, pending_cells);
      pending = block;
      pending_cells = 0;
    }
    ++pending_cells;
  }
  if (pending) release_block_cells(pending, pending_cells);
}

namespace {
// A per-thread stack of freed cells, linked through their first word. Plain constinit
// scalars with initial-exec TLS: reached on every allocation, they must not need a TLS
// wrapper or __tls_get_addr. Cells left on a thread's list when it exits are returned to
// malloc by CellCacheDrain.
struct FreeCell {
  FreeCell* next;
};
constexpr std::size_t kCachedCellsMax = 1024;
constinit thread_local FreeCell* tl_free_cells __attribute__((tls_model("initial-exec"))) = nullptr;
constinit thread_local std::size_t tl_free_count __attribute__((tls_model("initial-exec"))) = 0;
constinit thread_local bool tl_drain_registered __attribute__((tls_model("initial-exec"))) = false;

struct CellCacheDrain {
  ~CellCacheDrain() {
    while (FreeCell* c = tl_free_cells) {
      tl_free_cells = c->next;
      ::operator delete(c);
    }
    tl_free_count = 0;
  }
};

void register_drain() noexcept {
  tl_drain_registered = true;
  thread_local CellCacheDrain drain;
  (void)drain;
}
}  // namespace

void* ValueCell::operator new(std::size_t size) {
  if (FreeCell* c = tl_free_cells; c && size == sizeof(ValueCell)) {
    tl_free_cells = c->next;
    --tl_free_count;
    return c;
  }
  return ::operator new(size);
}

void ValueCell::operator delete(void* p) noexcept {
  if (tl_free_count < kCachedCellsMax) {
    if (!tl_drain_registered) register_drain();
    auto* c = static_cast<FreeCell*>(p);
    c->next = tl_free_cells;
    tl_free_cells = c;
    ++tl_free_count;
    return;
  }
  ::operator delete(p);
}

}  // namespace detail

// ---- VectorBuilder ------------------------------------------------------------------------

namespace {
// Blocks start small and then double with the vector: short vectors waste little, and a
// surviving element of a long one keeps at most about half of its cell memory allocated.
// Below kBlockCellsMin further elements, cells of their own are cheaper (they come from the
// thread's cache of freed cells).
constexpr std::size_t kBlockCellsFirst = 64;
constexpr std::size_t kBlockCellsMin = 4;
}  // namespace

// The expected count may come from a host that only reports a size (a sequence's __len__)
// and can be any number: it sizes cell blocks, which are taken one at a time as elements
// arrive, but reserves at most kReserveMax slots up front; the rest grows as usual.
VectorBuilder::VectorBuilder(std::size_t expected) : expected_(expected) {
  constexpr std::size_t kReserveMax = 1 << 16;
  items_.reserve(std::min(expected, kReserveMax));
}

VectorBuilder::~VectorBuilder() { give_back_unused(); }

Value VectorBuilder::finish() {
  give_back_unused();
  return Value::vector(std::move(items_));
}

void VectorBuilder::give_back_unused() noexcept {
  if (!block_) return;
  const auto unused = static_cast<std::size_t>(end_ - next_);
  detail::CellBlock* block = std::exchange(block_, nullptr);
  next_ = end_ = nullptr;
  if (unused) detail::release_block_cells(block, unused);
}

bool VectorBuilder::next_block() {
  give_back_unused();
  const std::size_t made = items_.size();
  if (made >= expected_) return false;
  const std::size_t cells = std::min({expected_ - made, std::max(made, kBlockCellsFirst),
                                      detail::kBlockCellsMax});
  if (cells < kBlockCellsMin) return false;
  block_ = detail::new_block(cells);
  next_ = block_->cells();
  end_ = next_ + cells;
  next_word_ = 1 | detail::kCellIndexUnit;
  return true;
}

namespace {

[[noreturn]] void expected_other(const char* kind) {
  raise_fatal(std::string("Expected other item to be Value::") + kind);
}

}  // namespace

bool Value::eq(const Value& left, const Value& right) {
  switch (left.kind()) {
    case ValueKind::Null:
      return right.kind() == ValueKind::Null;
    case ValueKind::Boolean:
      if (right.kind() != ValueKind::Boolean) expected_other("Boolean");
      return left.as_boolean() == right.as_boolean();
    case ValueKind::String:
      if (right.kind() != ValueKind::String) expected_other("String");
      return left.as_string() == right.as_string();
    case ValueKind::Number: {
      if (right.kind() != ValueKind::Number) expected_other("Number");
      const Number a = left.as_number(), b = right.as_number();
      if (a.kind() != b.kind()) return false;  // no conversion: 1 and 1.0 are unequal
      return a.is_int() ? a.as_int() == b.as_int() : a.as_float() == b.as_float();
    }
    case ValueKind::Vector: {
      if (right.kind() != ValueKind::Vector) expected_other("Vector");
      const Vector& a = left.as_vector();
      const Vector& b = right.as_vector();
      if (a.size() != b.size()) return false;
      check_stack();
      for (std::size_t i = 0; i < a.size(); ++i) {
        if (!eq(*a[i], *b[i])) return false;
      }
      return true;
    }
    case ValueKind::Function:
      raise_fatal("Cannot perform PartialEq for Value::Fn");
  }
  return false;
}

void Value::debug(std::string& out) const {
  switch (kind()) {
    case ValueKind::Null:
      out += "Null";
      return;
    case ValueKind::Boolean:
      out += as_boolean() ? "Boolean(true)" : "Boolean(false)";
      return;
    case ValueKind::String:
      out += "String(";
      write_quoted(out, as_string());
      out += ')';
      return;
    case ValueKind::Number:
      out += "Number(";
      as_number().debug(out);
      out += ')';
      return;
    case ValueKind::Vector: {
      check_stack();
      out += "Vector([";
      bool first = true;
      for (const SharedValue& item : as_vector()) {
        if (!first) out += ", ";
        first = false;
        item->debug(out);
      }
      out += "])";
      return;
    }
    case ValueKind::Function:
      out += "Function(";
      as_function().fmt(out);
      out += ')';
      return;
  }
}

// ---- Identifier -----------------------------------------------------------------------

void Identifier::debug(std::string& out) const {
  if (is_u()) {
    out += "U(";
    out += std::to_string(as_u());
  } else {
    out += "S(";
    write_quoted(out, as_s());
  }
  out += ')';
}

}  // namespace vrel
