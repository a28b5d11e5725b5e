// The run budget: checkpoints of the step countdown, budgets of nested runs, memory charges,
// the host's interrupt check and the machine's limits cell.
#include "run_budget.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <ctime>

#include "messages.hpp"
#include "seqlock.hpp"
#include "vrel/fatal.hpp"

namespace vrel {
namespace detail {

constinit thread_local std::int64_t tl_countdown __attribute__((tls_model("initial-exec"))) =
    kStepsPerCheck;
// The countdown's value when it last started: tl_reload - tl_countdown - tl_work is the
// number of steps taken since.
constinit thread_local std::int64_t tl_reload __attribute__((tls_model("initial-exec"))) =
    kStepsPerCheck;
constinit thread_local std::int64_t tl_work __attribute__((tls_model("initial-exec"))) = 0;
constinit thread_local Budget* tl_budget __attribute__((tls_model("initial-exec"))) = nullptr;
constinit thread_local Budget* tl_newest __attribute__((tls_model("initial-exec"))) = nullptr;

namespace {

std::atomic<InterruptCheck> g_interrupt_check{nullptr};
std::atomic<StackProbe> g_stack_probe{nullptr};

// The thread's closed budgets, linked through `older`, kept for the next runs: a budget's
// memory stays a budget until the thread ends, so a stale link never reaches anything else.
constinit thread_local Budget* tl_free = nullptr;
constinit thread_local bool tl_pool_gone = false;

// Frees the pool when the thread ends (budgets still open then belong to runs suspended
// forever on stacks that die with the thread).
struct PoolRelease {
  ~PoolRelease() {
    tl_pool_gone = true;
    while (Budget* b = tl_free) {
      tl_free = b->older;
      delete b;
    }
  }
};
thread_local PoolRelease tl_pool_release;

// A cleared budget, from the pool or new; may throw bad_alloc.
Budget* take_budget() {
  Budget* b = tl_free;
  if (!b) {
    if (!tl_pool_gone) static_cast<void>(&tl_pool_release);  // registers the release
    return new Budget();
  }
  tl_free = b->older;
  const std::uint64_t generation = b->generation;
  *b = Budget{};
  b->generation = generation;
  return b;
}

void give_back(Budget* b) noexcept {
  ++b->generation;
  b->open = false;
  if (tl_pool_gone) {
    delete b;
    return;
  }
  b->older = tl_free;
  b->newer = nullptr;
  tl_free = b;
}

// The budget the current run charges, if it is open.
Budget* current() noexcept {
  Budget* b = tl_budget;
  return b && b->open ? b : nullptr;
}

// The budget of the run that encloses `b`, unless it has been closed since.
Budget* outer_of(const Budget* b) noexcept {
  Budget* o = b->outer;
  return o && o->generation == b->outer_generation ? o : nullptr;
}

std::uintptr_t stack_now() noexcept {
  const StackProbe probe = g_stack_probe.load(std::memory_order_acquire);
  return probe ? probe() : 0;
}

void key(Budget* b) noexcept {
  if (b->keyed) return;
  b->stack = stack_now();
  b->keyed = true;
}

// The stack the thread runs on now, if any open budget will be told apart by it; asked
// before anything else is done, since the probe is host code.
bool stack_if_needed(std::uintptr_t& here) noexcept {
  for (const Budget* b = tl_newest; b; b = b->older) {
    if (b->keyed) {
      here = stack_now();
      return true;
    }
  }
  return false;
}

// The newest open budget of the stack `here` that the thread runs on now: that of the run a
// new run is started from. A budget whose run never called out of the core is that of a
// run evaluating on this very stack (nothing else can have started meanwhile); the others
// are told apart by the stack they called out from.
Budget* enclosing(std::uintptr_t here) noexcept {
  for (Budget* b = tl_newest; b; b = b->older) {
    if (!b->keyed || b->stack == here) return b;
  }
  return nullptr;
}

std::int64_t ns_of(const timespec& t) noexcept {
  return static_cast<std::int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

// Deadlines are on CLOCK_MONOTONIC; its coarse variant reads the same time as of the last
// scheduler tick, so it is never ahead of it: a coarse check can be late, never early.
std::int64_t now_ns() noexcept {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return ns_of(t);
}

std::int64_t coarse_now_ns() noexcept {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC_COARSE, &t);
  return ns_of(t);
}

// The steady-clock time `seconds` from now; a deadline too far to count is no deadline.
std::int64_t deadline_after(double seconds) noexcept {
  const double ns = std::ceil(seconds * 1e9);
  const std::int64_t now = now_ns();
  if (!(ns < static_cast<double>(INT64_MAX - now))) return INT64_MAX;
  return now + std::max<std::int64_t>(static_cast<std::int64_t>(ns), 1);
}

// Charges the steps taken since the countdown last started to every budget under way.
void settle() noexcept {
  const std::int64_t taken = tl_reload - tl_countdown - tl_work;
  for (Budget* b = current(); b; b = outer_of(b)) {
    if (b->limits_steps) b->steps_left -= taken;
  }
  tl_reload = tl_countdown;
  tl_work = 0;
}

// Starts the next countdown: at most the steps that the tightest budget has left, so that
// the step beyond it reaches a checkpoint. A budget already exceeded makes it negative.
std::int64_t longest_countdown() noexcept {
  std::int64_t n = kStepsPerCheck;
  for (const Budget* b = current(); b; b = outer_of(b)) {
    if (b->limits_time) n = std::min(n, kStepsPerTimedCheck);
    if (b->limits_steps) n = std::min(n, b->steps_left);
  }
  return n;
}

void reload() noexcept {
  tl_countdown = tl_reload = longest_countdown();
  tl_work = 0;
}

[[noreturn]] void exceeded(const char* message,
                           std::source_location where = std::source_location::current()) {
  reload();
  raise_fatal(message, where);
}

// Raises the time limit's fatal error if a deadline under way is behind `now`. Every
// budget whose deadline has passed is marked first, so that the enclosing runs stop too
// even if a function object swallows this error.
void check_deadlines(std::int64_t now) {
  bool passed = false;
  for (Budget* b = current(); b; b = outer_of(b)) {
    if (b->limits_time && (b->expired || now > b->deadline_ns)) b->expired = passed = true;
  }
  if (passed) exceeded(kTimeLimitExceeded);
}

bool any_deadline() noexcept {
  for (const Budget* b = current(); b; b = outer_of(b)) {
    if (b->limits_time) return true;
  }
  return false;
}

// Raises the fatal error of the first limit that a budget under way has gone beyond. An
// exceeded budget stays exceeded: should a function object swallow the error of a nested
// run, the enclosing run stops at its next check.
void check_limits() {
  for (const Budget* b = current(); b; b = outer_of(b)) {
    if (b->limits_steps && b->steps_left < 0) exceeded(kStepLimitExceeded);
  }
  if (any_deadline()) check_deadlines(now_ns());
}

}  // namespace

void checkpoint() {
  settle();
  check_limits();
  if (InterruptCheck interrupt = g_interrupt_check.load(std::memory_order_acquire)) {
    // The check may run host code (signal handlers) that evaluates programs on this thread,
    // or switches it to another stack for a while: a call out of the core like any other.
    bool stop = false;
    {
      HostCall call;
      stop = interrupt();
      call.resume();
    }
    reload();
    if (stop) throw FatalError(text::kRunInterrupted, FatalError::Cause::Interrupted);
    return;
  }
  reload();
}

void after_host_call() {
  if (tl_countdown < 0) checkpoint();  // a nested run used up the steps
  if (any_deadline()) check_deadlines(coarse_now_ns());
}

void charge_memory_slow(std::uint64_t bytes) {
  for (const Budget* b = current(); b; b = outer_of(b)) {
    if (b->limits_memory && bytes > b->memory_left) raise_fatal(kMemoryLimitExceeded);
  }
  for (Budget* b = current(); b; b = outer_of(b)) {
    if (b->limits_memory) b->memory_left -= bytes;
  }
}

}  // namespace detail

void set_interrupt_check(InterruptCheck check) noexcept {
  detail::g_interrupt_check.store(check, std::memory_order_release);
}

void charge_memory(std::uint64_t bytes) {
  if (detail::tl_budget) detail::charge_memory_slow(bytes);
}

bool memory_charged() noexcept { return detail::tl_budget != nullptr; }

void count_host_work(std::uint64_t units) {
  // More than a countdown ever holds is as good as the most it holds: one checkpoint.
  count_outside_work(static_cast<std::int64_t>(std::min<std::uint64_t>(units, kMaxCountLimit / 2)));
}

void set_stack_probe(StackProbe probe) noexcept {
  detail::g_stack_probe.store(probe, std::memory_order_release);
}

void RunScope::enter(const RunLimits& limits) {
  using detail::Budget;
  std::uintptr_t here = 0;
  const bool known = detail::stack_if_needed(here);
  detail::settle();
  parent_ = detail::enclosing(here);
  parent_generation_ = parent_ ? parent_->generation : 0;
  Budget* active = parent_;
  if (limits.any()) {
    Budget* b = detail::take_budget();
    b->outer = parent_;
    b->outer_generation = parent_generation_;
    b->limits_steps = limits.steps != 0;
    b->steps_left = static_cast<std::int64_t>(std::min(limits.steps, kMaxCountLimit));
    b->limits_memory = limits.memory != 0;
    b->memory_left = limits.memory;
    b->limits_time = limits.seconds > 0;
    if (b->limits_time) b->deadline_ns = detail::deadline_after(limits.seconds);
    b->keyed = known;
    b->stack = here;
    b->open = true;
    b->older = detail::tl_newest;
    if (b->older) b->older->newer = b;
    detail::tl_newest = b;
    own_ = active = b;
  }
  detail::tl_budget = active;
  entered_ = true;
  detail::reload();
}

void RunScope::leave() noexcept {
  using detail::Budget;
  detail::settle();
  if (Budget* b = own_) {
    if (b->older) b->older->newer = b->newer;
    if (b->newer) {
      b->newer->older = b->older;
    } else {
      detail::tl_newest = b->older;
    }
    detail::give_back(b);
  }
  detail::tl_budget =
      parent_ && parent_->generation == parent_generation_ && parent_->open ? parent_ : nullptr;
  detail::reload();
}

HostCall::HostCall() noexcept {
  detail::Budget* b = detail::current();
  if (b) {
    detail::settle();
    detail::key(b);
  }
  budget_ = b;
  countdown_ = detail::tl_countdown;
  reload_ = detail::tl_reload;
  work_ = detail::tl_work;
}

void HostCall::resume() const noexcept {
  auto* b = static_cast<detail::Budget*>(budget_);
  detail::tl_budget = b;
  if (!b) {
    detail::tl_countdown = countdown_;
    detail::tl_reload = reload_;
    detail::tl_work = work_;
    return;
  }
  // Runs nested in this one meanwhile charged its budgets themselves: the countdown goes on
  // where it was, shortened to what the budgets have left now.
  detail::tl_countdown = detail::tl_reload = std::min(countdown_, detail::longest_countdown());
  detail::tl_work = 0;
}

// The protocol and memory orders of seqlock.hpp, as the core's other seqlocks use them.
RunLimits LimitsCell::load() const noexcept {
  for (;;) {
    const std::uint64_t before = version_.load(std::memory_order_acquire);
    if (before & 1) continue;
    RunLimits limits;
    limits.steps = steps_.load(seqlock::kLoad);
    limits.memory = memory_.load(seqlock::kLoad);
    limits.seconds = std::bit_cast<double>(seconds_bits_.load(seqlock::kLoad));
    seqlock::reader_fence();
    if (version_.load(std::memory_order_relaxed) == before) return limits;
  }
}

void LimitsCell::store(const RunLimits& limits) noexcept {
  std::uint64_t version = version_.load(std::memory_order_relaxed);
  for (;;) {
    if (version & 1) {
      version = version_.load(std::memory_order_relaxed);
      continue;
    }
    if (version_.compare_exchange_weak(version, version + 1, std::memory_order_relaxed)) break;
  }
  seqlock::writer_fence();
  steps_.store(limits.steps, seqlock::kStore);
  memory_.store(limits.memory, seqlock::kStore);
  seconds_bits_.store(std::bit_cast<std::uint64_t>(limits.seconds), seqlock::kStore);
  version_.store(version + 2, std::memory_order_release);
}

}  // namespace vrel
