// The cells of shared values: allocation and release, alone or in blocks.
#include "cell_allocator.hpp"

#include <pthread.h>

#include <mutex>
#include <new>
#include <utility>

namespace vrel {
namespace detail {

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
// lock costs nothing measurable. The bound fits a few vectors of a few hundred thousand
// elements (48 bytes a cell: 200,000 elements are a 9.6 MB block): with room for only 8 MB,
// building and dropping the literal of a 200,000-int list faulted its 2,400 pages in again
// every time, and took four times as long as a list kept bound by a machine.
constexpr std::size_t kCachedBlockBytesMin = std::size_t{64} << 10;
constexpr std::size_t kCachedBlockBytesMax = std::size_t{32} << 20;  // all blocks together
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

}  // namespace

CellBlock* new_block(std::size_t cells) {
  if (CellBlock* block = take_cached_block(cells)) {
    block->live.store(cells, std::memory_order_relaxed);
    return block;
  }
  return ::new (::operator new(block_bytes(cells))) CellBlock(cells);
}

// acq_rel: every other thread's work on its cells happens before the block is freed.
void release_block_cells(CellBlock* block, std::size_t cells) noexcept {
  if (block->live.fetch_sub(cells, std::memory_order_acq_rel) == cells) free_block(block);
}

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

}  // namespace vrel
