// Limits on what one run may consume, and the host's hook that can interrupt a run.
#pragma once

#include <cstdint>

namespace vrel {

// The bounds of every run of a machine (Machine::set_limits). Zero means no bound; a new
// machine has none. Each run (deduce, deduce_borrowed, deduce_expr) gets the full budget,
// counted from its start:
//  - steps: statements executed, plus expression nodes evaluated (a branch not taken costs
//    nothing, a shared subtree its size at every evaluation), plus pairs of vector elements
//    compared by ==. The run stops when it would take one step more than `steps`.
//  - memory: bytes of the texts and vectors the run creates: a text its length, a vector
//    kVectorElementBytes per element. Values bound before the run do not count, releasing
//    a value gives nothing back, and the check comes before the allocation.
//  - seconds: wall-clock time since the run started, read every few hundred steps and after
//    every call of a function object (the time spent in the function counts).
// A run that goes beyond a bound stops with the fatal error kStepLimitExceeded,
// kMemoryLimitExceeded or kTimeLimitExceeded (reported like every fatal error).
//
// Bounds follow the run's stack, not the machine: a run started while another run is under
// way on the same stack (from inside a function object) counts against its own machine's
// limits and against those of every run that encloses it, so it cannot escape them. Runs
// suspended on other stacks of the thread (see HostCall) neither count it nor are counted.
struct RunLimits {
  std::uint64_t steps = 0;   // at most kMaxCountLimit
  std::uint64_t memory = 0;  // at most kMaxCountLimit
  double seconds = 0;        // positive and finite, at most kMaxSecondsLimit, or 0

  bool any() const noexcept { return steps != 0 || memory != 0 || seconds != 0; }
  friend bool operator==(const RunLimits&, const RunLimits&) = default;
};

// The largest steps and memory limits: the budget's counters are signed 64-bit.
inline constexpr std::uint64_t kMaxCountLimit = (std::uint64_t{1} << 63) - 1;
// The largest seconds limit: the deadline is kept in nanoseconds in a signed 64-bit count.
inline constexpr double kMaxSecondsLimit = 9.2e9;

// What one vector element costs against the memory limit: its handle (8 bytes) and its
// cell (the count and the value, 48 bytes), rounded up for the allocator's own overhead.
inline constexpr std::uint64_t kVectorElementBytes = 64;

// The fatal messages of the three limits.
inline constexpr const char* kStepLimitExceeded = "Step limit exceeded";
inline constexpr const char* kMemoryLimitExceeded = "Memory limit exceeded";
inline constexpr const char* kTimeLimitExceeded = "Time limit exceeded";

// A host's check for a request to abandon the run, such as a pending signal whose handler
// failed. Called on the evaluating thread at least every 1,024 steps (and at every clock
// check), whether or not limits are set; returns true to stop the run. The run then ends
// with a FatalError whose interrupted() is true and which wrote no report: the host keeps
// its own account of why (for instance an exception it set aside) and restores it when the
// error reaches its entry point.
using InterruptCheck = bool (*)() noexcept;

// Installs the process's interrupt check (null: none). Meant to be called once, before any
// run; runs already under way may still use the previous check.
void set_interrupt_check(InterruptCheck check) noexcept;

// For hosts whose threads switch between C stacks of their own (coroutines such as
// greenlets): tells which stack the thread runs on now, as any number that differs between
// stacks alive at the same time (0 for all: one stack per thread, the default). Called,
// on the evaluating thread, when a run calls out of the core (HostCall) and when a run
// starts while a limited run that called out is under way on the thread. Meant to be
// installed once, before any run.
using StackProbe = std::uintptr_t (*)() noexcept;
void set_stack_probe(StackProbe probe) noexcept;

// A run's call out of the core into host code that may switch the thread to another stack
// and come back later, the other stack meanwhile starting, running and suspending runs of
// its own. Made just before the call; resume() right after it returns (whether or not it
// failed), before the run counts or charges anything more: the run is the thread's current
// run again, with its own budget and countdown. Needed only by hosts whose function objects
// may switch stacks; costs a few loads and stores.
class HostCall {
 public:
  HostCall() noexcept;
  HostCall(const HostCall&) = delete;
  HostCall& operator=(const HostCall&) = delete;
  void resume() const noexcept;

 private:
  void* budget_;
  std::int64_t countdown_, reload_, work_;
};

// For hosts that create texts and vectors for a run, such as the results of their function
// objects: charges `bytes` to every limited run under way on this thread before the host
// allocates them. Beyond a limit: the fatal error kMemoryLimitExceeded (thrown, nothing
// charged). Does nothing when no limited run is under way.
void charge_memory(std::uint64_t bytes);

// Whether charge_memory may charge anything on this thread now (a limited run, or a
// Machine::within_memory_limit scope, is under way): a host converting many values asks
// once instead of charging each.
bool memory_charged() noexcept;

// For hosts doing long work for the runs under way on this thread, or outside any run, such
// as converting a large value element by element: counts `units` of work (about a step's
// time each; say one per element and one per KiB copied) towards the next checkpoint, where
// the interrupt check runs and the deadlines under way are read, as during evaluation (at
// least every 1,024 units). Calling it every few dozen units keeps it cheap. May throw
// what a checkpoint throws: the fatal errors of the limits, or the interruption.
void count_host_work(std::uint64_t units);

}  // namespace vrel
