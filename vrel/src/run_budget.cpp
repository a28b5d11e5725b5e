// The run budget: checkpoints of the step countdown, budgets of nested runs, memory charges,
// the host's interrupt check and the machine's limits cell.
#include "run_budget.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <ctime>

#include "messages.hpp"
#include "vrel/fatal.hpp"

namespace vrel {
namespace detail {

constinit thread_local std::int64_t tl_countdown __attribute__((tls_model("initial-exec"))) =
    kStepsPerCheck;
constinit thread_local std::int64_t tl_work __attribute__((tls_model("initial-exec"))) = 0;
constinit thread_local Budget* tl_budget __attribute__((tls_model("initial-exec"))) = nullptr;

namespace {

// The countdown's value when it last started: tl_reload - tl_countdown - tl_work is the
// number of steps taken since.
constinit thread_local std::int64_t tl_reload = kStepsPerCheck;

std::atomic<InterruptCheck> g_interrupt_check{nullptr};

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
  for (Budget* b = tl_budget; b; b = b->outer) {
    if (b->limits_steps) b->steps_left -= taken;
  }
  tl_reload = tl_countdown;
  tl_work = 0;
}

// Starts the next countdown: at most the steps that the tightest budget has left, so that
// the step beyond it reaches a checkpoint. A budget already exceeded makes it negative.
void reload() noexcept {
  std::int64_t n = kStepsPerCheck;
  for (const Budget* b = tl_budget; b; b = b->outer) {
    if (b->limits_time) n = std::min(n, kStepsPerTimedCheck);
    if (b->limits_steps) n = std::min(n, b->steps_left);
  }
  tl_countdown = tl_reload = n;
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
  for (Budget* b = tl_budget; b; b = b->outer) {
    if (b->limits_time && (b->expired || now > b->deadline_ns)) b->expired = passed = true;
  }
  if (passed) exceeded(kTimeLimitExceeded);
}

bool any_deadline() noexcept {
  for (const Budget* b = tl_budget; b; b = b->outer) {
    if (b->limits_time) return true;
  }
  return false;
}

// Raises the fatal error of the first limit that a budget under way has gone beyond. An
// exceeded budget stays exceeded: should a function object swallow the error of a nested
// run, the enclosing run stops at its next check.
void check_limits() {
  for (const Budget* b = tl_budget; b; b = b->outer) {
    if (b->limits_steps && b->steps_left < 0) exceeded(kStepLimitExceeded);
  }
  if (any_deadline()) check_deadlines(now_ns());
}

}  // namespace

void checkpoint() {
  settle();
  check_limits();
  if (InterruptCheck interrupt = g_interrupt_check.load(std::memory_order_acquire)) {
    // The check may run host code (signal handlers) that evaluates programs on this thread:
    // their steps are settled before the next countdown starts.
    const bool stop = interrupt();
    settle();
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
  for (const Budget* b = tl_budget; b; b = b->outer) {
    if (b->limits_memory && bytes > b->memory_left) raise_fatal(kMemoryLimitExceeded);
  }
  for (Budget* b = tl_budget; b; b = b->outer) {
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

void RunScope::enter(const RunLimits& limits) {
  detail::settle();
  budget_.outer = detail::tl_budget;
  budget_.limits_steps = limits.steps != 0;
  budget_.steps_left = static_cast<std::int64_t>(std::min(limits.steps, kMaxCountLimit));
  budget_.limits_memory = limits.memory != 0;
  budget_.memory_left = limits.memory;
  budget_.limits_time = limits.seconds > 0;
  if (budget_.limits_time) budget_.deadline_ns = detail::deadline_after(limits.seconds);
  detail::tl_budget = &budget_;
  active_ = true;
  detail::reload();
}

void RunScope::leave() noexcept {
  detail::settle();
  detail::tl_budget = budget_.outer;
  detail::reload();
}

// Readers take the version before and after the fields and retry if it changed or was odd.
// The fields' acquire loads keep the second version load after them; the writer's release
// stores keep its odd version visible before any new field.
RunLimits LimitsCell::load() const noexcept {
  for (;;) {
    const std::uint64_t before = version_.load(std::memory_order_acquire);
    if (before & 1) continue;
    RunLimits limits;
    limits.steps = steps_.load(std::memory_order_acquire);
    limits.memory = memory_.load(std::memory_order_acquire);
    limits.seconds = std::bit_cast<double>(seconds_bits_.load(std::memory_order_acquire));
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
    if (version_.compare_exchange_weak(version, version + 1, std::memory_order_acquire)) break;
  }
  steps_.store(limits.steps, std::memory_order_release);
  memory_.store(limits.memory, std::memory_order_release);
  seconds_bits_.store(std::bit_cast<std::uint64_t>(limits.seconds), std::memory_order_release);
  version_.store(version + 2, std::memory_order_release);
}

}  // namespace vrel
