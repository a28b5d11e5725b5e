// The shared borrow of a `Vrel` object's machine that every method takes for its call.
#pragma once

#include <atomic>
#include <cstdint>

#include "classes.hpp"
#include "errors.hpp"

namespace vrelpy {

// A shared borrow of a Vrel object's machine for the duration of one call. The count only
// ever goes up and down by one per call; the all-ones value would mark an exclusive borrow,
// which nothing takes, so acquiring never fails in practice.
class MachineBorrow {
 public:
  explicit MachineBorrow(PyVrel* self) noexcept : self_(self) {
    std::uint64_t n = self_->borrows.load(std::memory_order_relaxed);
    while (!self_->borrows.compare_exchange_weak(n, n + 1, std::memory_order_acquire)) {
    }
  }
  ~MachineBorrow() { self_->borrows.fetch_sub(1, std::memory_order_release); }
  MachineBorrow(const MachineBorrow&) = delete;
  MachineBorrow& operator=(const MachineBorrow&) = delete;
  const vrel::Machine& machine() const noexcept { return self_->machine; }

 private:
  PyVrel* self_;
};

// The receiver of a method; a non-Vrel or unbuilt receiver fails by check_instance (null
// with the TypeError pending).
inline PyVrel* vrel_receiver(PyObject* self) {
  if (!check_instance(self, g_vrel_type, "Vrel")) return nullptr;
  return reinterpret_cast<PyVrel*>(self);
}

}  // namespace vrelpy
