// The run budget: the step countdown that evaluation decrements, the budgets of the runs under
// way on a thread, and a machine's limits as several threads read them.
#pragma once

#include <atomic>
#include <cstdint>

#include "vrel/run_limits.hpp"

namespace vrel {

namespace detail {

// What one limited run has left. Budgets live in a pool of this thread (never given back
// while the thread lives), not on the stack of their run: a run may be suspended on one
// stack while another stack of the same thread runs (coroutines that switch C stacks, such
// as greenlets), and whatever a stale pointer then reaches is still a budget, never another
// stack's frame. `generation` changes whenever a budget is closed, so a link to a budget
// that was closed and reused since is seen as gone.
struct Budget {
  Budget* outer = nullptr;  // the budget of the enclosing run (checked by outer_generation)
  std::uint64_t outer_generation = 0;
  std::uint64_t generation = 0;
  std::int64_t steps_left = 0;  // below zero: exceeded
  std::uint64_t memory_left = 0;
  std::int64_t deadline_ns = 0;  // on the monotonic clock
  bool limits_steps = false, limits_memory = false, limits_time = false;
  bool expired = false;  // the deadline was seen passed: stays so
  bool open = false;     // its run is under way
  // The stack its run started on, as the host's stack probe told it (see
  // set_stack_probe); asked for only once the run calls out of the core.
  bool keyed = false;
  std::uintptr_t stack = 0;
  // The open budgets of this thread, oldest to newest: where a new run finds the run it
  // is nested in.
  Budget* older = nullptr;
  Budget* newer = nullptr;
};

// The run budget of the run that is evaluating on this thread (null: none is limited), and
// the newest open budget of the thread (null: no limited run is under way on it).
//
// Every step decrements tl_countdown; when it drops below zero, checkpoint() settles the
// steps taken since the last checkpoint with every budget under way, checks them, the clock
// and the host's interrupt check, and starts a new countdown. A countdown is never longer
// than the steps any budget has left, so the step limit is exact, nor longer than
// kStepsPerCheck (kStepsPerTimedCheck when a deadline is set), so the interrupt check and
// the clock are read often enough whatever the limits. Work that takes time without being
// a step (copying or comparing long texts) shortens the countdown too, through tl_work,
// which keeps it out of the step count.
//
// Without any limited run this costs one decrement and one branch, never taken but once
// every kStepsPerCheck steps, per step. Plain scalars with initial-exec TLS, as the stack
// guard's: the core lives in a dlopen'ed module and these are touched at every node.
extern thread_local constinit std::int64_t tl_countdown __attribute__((tls_model("initial-exec")));
extern thread_local constinit std::int64_t tl_reload __attribute__((tls_model("initial-exec")));
extern thread_local constinit std::int64_t tl_work __attribute__((tls_model("initial-exec")));
extern thread_local constinit Budget* tl_budget __attribute__((tls_model("initial-exec")));
extern thread_local constinit Budget* tl_newest __attribute__((tls_model("initial-exec")));

[[gnu::cold]] void checkpoint();
[[gnu::cold]] void charge_memory_slow(std::uint64_t bytes);
void after_host_call();

// A few microseconds of evaluation between interrupt checks; well under a millisecond
// between clock reads when a deadline is set.
inline constexpr std::int64_t kStepsPerCheck = 1024;
inline constexpr std::int64_t kStepsPerTimedCheck = 256;
// One unit of work (a step's worth of countdown) per this many bytes copied or compared.
inline constexpr unsigned kWorkBytesShift = 10;

}  // namespace detail

// Counts one step: a statement, an expression node or a pair of vector elements compared.
// May raise the fatal errors of the limits, or the host's interruption.
inline void count_step() {
  if (__builtin_expect(--detail::tl_countdown < 0, 0)) detail::checkpoint();
}

// Counts `n` steps as n calls of count_step would: the checkpoints come at the same steps.
inline void count_steps(std::int64_t n) {
  while (__builtin_expect(n > 0 && detail::tl_countdown < n, 0)) {
    // The step that takes the countdown below zero (the next one, if it already is).
    const std::int64_t before = detail::tl_countdown > 0 ? detail::tl_countdown : 0;
    n -= before + 1;
    detail::tl_countdown -= before + 1;
    detail::checkpoint();
  }
  detail::tl_countdown -= n;
}

// Brings the next check closer by the time that handling `bytes` of text takes.
inline void count_work(std::uint64_t bytes) noexcept {
  const auto units = static_cast<std::int64_t>(bytes >> detail::kWorkBytesShift);
  detail::tl_countdown -= units;
  detail::tl_work += units;
}

// Counts `units` of work done outside evaluation (a step's time each: writing a debug form,
// a host converting values), kept out of the step count like count_work, and reaches the
// checkpoint as soon as the countdown runs out: long work of that kind handles the host's
// interrupt check and the deadlines under way as often as evaluation does.
inline void count_outside_work(std::int64_t units) {
  detail::tl_countdown -= units;
  detail::tl_work += units;
  if (__builtin_expect(detail::tl_countdown < 0, 0)) detail::checkpoint();
}

// Charges a text or vector about to be created by the run (see charge_memory), and counts
// the work of filling it.
inline void charge_text(std::uint64_t bytes) {
  if (__builtin_expect(detail::tl_budget != nullptr, 0)) detail::charge_memory_slow(bytes);
  count_work(bytes);
}
inline void charge_vector(std::uint64_t elements) {
  if (__builtin_expect(detail::tl_budget != nullptr, 0)) {
    // A vector of more than 2^57 elements cannot exist; saturating keeps the charge honest.
    const std::uint64_t bytes =
        elements > (UINT64_MAX / kVectorElementBytes) ? UINT64_MAX : elements * kVectorElementBytes;
    detail::charge_memory_slow(bytes);
  }
}

// Call after a host's function object returns: the time spent in it counts at once, and so
// do the steps of runs it made. Reads the coarse clock (a few nanoseconds, but as much as a
// scheduler tick behind), since calls can be as frequent as steps; the next checkpoint reads
// the precise one.
inline void check_after_host_call() {
  if (__builtin_expect(detail::tl_budget != nullptr, 0)) detail::after_host_call();
}

// The budget of one run, for its duration. A limited run opens a budget nested in that of
// the run it was started from (the newest open budget of the same stack); a run without
// limits started while a limited run is under way on the thread charges that enclosing
// run's budget. With no limited run under way and no limits, it does nothing.
class RunScope {
 public:
  explicit RunScope(const RunLimits& limits) {
    if (limits.any() || detail::tl_newest != nullptr) enter(limits);
  }
  ~RunScope() {
    if (entered_) leave();
  }
  RunScope(const RunScope&) = delete;
  RunScope& operator=(const RunScope&) = delete;

 private:
  void enter(const RunLimits& limits);
  void leave() noexcept;

  detail::Budget* own_ = nullptr;     // this run's budget, if it has limits
  detail::Budget* parent_ = nullptr;  // the enclosing run's (checked by parent_generation_)
  std::uint64_t parent_generation_ = 0;
  bool entered_ = false;
};

// A machine's limits, written rarely and read at the start of every run, from any number
// of threads: a sequence lock, so readers never wait for each other and never see a mix of
// an old and a new set.
class LimitsCell {
 public:
  RunLimits load() const noexcept;
  void store(const RunLimits& limits) noexcept;

 private:
  // A sequence lock (seqlock.hpp): odd while a writer is storing.
  std::atomic<std::uint64_t> version_{0};
  std::atomic<std::uint64_t> steps_{0}, memory_{0}, seconds_bits_{0};
};

}  // namespace vrel
