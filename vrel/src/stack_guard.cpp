// Native stack guard: the thread's stack bounds, and the deferred-release loop.
#include "stack_guard.hpp"

#include <pthread.h>

#include <algorithm>
#include <cstddef>
#include <utility>
#include <vector>

#include "messages.hpp"
#include "vrel/fatal.hpp"
#include "vrel/native_stack.hpp"

namespace vrel {
namespace detail {

constinit thread_local std::uintptr_t tl_fatal_below __attribute__((tls_model("initial-exec"))) = 0;
constinit thread_local std::uintptr_t tl_release_below __attribute__((tls_model("initial-exec"))) =
    0;

// The lowest usable address of the thread's stack (above its guard page).
constinit thread_local std::uintptr_t tl_stack_low __attribute__((tls_model("initial-exec"))) = 0;

void init_stack_limits() noexcept {
  std::uintptr_t low = 0;
  std::size_t size = 0;
  pthread_attr_t attr;
  if (pthread_getattr_np(pthread_self(), &attr) == 0) {
    void* addr = nullptr;
    std::size_t guard = 0;
    if (pthread_attr_getstack(&attr, &addr, &size) == 0) {
      pthread_attr_getguardsize(&attr, &guard);
      low = reinterpret_cast<std::uintptr_t>(addr) + guard;
      size = size > guard ? size - guard : 0;
    }
    pthread_attr_destroy(&attr);
  }
  if (low == 0 || size == 0) {
    // Bounds unknown: assume a conservative 1 MiB below the current frame.
    size = std::size_t{1} << 20;
    low = stack_pointer() - size;
  }
  // Headroom kept free when the guard trips: for unwinding, for flat release and for
  // Python code that the evaluator calls. A quarter of small stacks, 256 KiB of large ones.
  const std::size_t fatal_headroom = std::clamp<std::size_t>(size / 4, 16 * 1024, 256 * 1024);
  const std::size_t release_margin = std::clamp<std::size_t>(size / 16, 4 * 1024, 64 * 1024);
  tl_stack_low = low;
  tl_fatal_below = low + fatal_headroom;
  tl_release_below = low + fatal_headroom + release_margin;
}

}  // namespace detail

bool native_stack_exhausted() noexcept {
  std::uintptr_t limit = detail::tl_fatal_below;
  if (limit == 0) {
    detail::init_stack_limits();
    limit = detail::tl_fatal_below;
  }
  return detail::stack_pointer() < limit;
}

std::size_t native_stack_left() noexcept {
  if (detail::tl_fatal_below == 0) detail::init_stack_limits();
  const std::uintptr_t sp = detail::stack_pointer();
  return sp > detail::tl_stack_low ? sp - detail::tl_stack_low : 0;
}

void raise_nesting_too_deep(std::source_location where) {
  raise_fatal(text::kNestingTooDeep, where);
}

namespace {
struct Deferred {
  void* object;
  void (*destroy)(void*);
};
struct ReleaseQueue {
  std::vector<Deferred> items;
  bool running = false;
};
thread_local ReleaseQueue tl_release_queue;
}  // namespace

void release_later(void* heap_object, void (*destroy)(void*)) noexcept {
  ReleaseQueue& queue = tl_release_queue;
  queue.items.push_back({heap_object, destroy});
  if (queue.running) return;
  // Each deleted object releases its own children; those that would recurse further are
  // deferred onto the same queue, so this loop's stack use stays flat.
  queue.running = true;
  while (!queue.items.empty()) {
    Deferred next = queue.items.back();
    queue.items.pop_back();
    next.destroy(next.object);
  }
  queue.running = false;
}

}  // namespace vrel
