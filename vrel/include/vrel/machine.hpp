// The machine: the whole state of a running vrel program, one flat concurrent store of
// variables.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "vrel/run_limits.hpp"
#include "vrel/value.hpp"

namespace vrel {

class VariableStore;
class VariableCell;
class LimitsCell;

// Holds the variables of a program and the limits of its runs. Every operation takes shared
// access; the store inside is safe for concurrent use from any number of threads.
class Machine {
 public:
  // An empty machine (no variable bound, no table storage allocated).
  Machine();
  Machine(Machine&&) noexcept;
  Machine& operator=(Machine&&) noexcept;
  ~Machine();

  // A new reference to the value bound to `id`. Unbound: the fatal error
  // "Value cannot be found: " followed by the identifier's debug form.
  SharedValue get(const Identifier& id) const;

  // A new reference to the value bound to `id`, or an empty handle when it is unbound.
  SharedValue find(const Identifier& id) const;

  // Binds `id` to `value` as a `let` does. The value bound before is released only after
  // the store's lock is given back, so its destruction may run any code.
  void bind(Identifier id, SharedValue value) const;

  // Where a variable lives in this machine, for hosts that read and bind the same names over
  // and over: going through it skips hashing the name and searching the store. Bindings are
  // never removed, so a place stays valid for the machine's whole life; it means nothing to
  // any other machine. A default-constructed place is empty.
  class Place {
   public:
    Place() noexcept = default;
    explicit operator bool() const noexcept { return cell_ != nullptr; }

   private:
    friend class Machine;
    explicit Place(VariableCell* cell) noexcept : cell_(cell) {}
    VariableCell* cell_ = nullptr;
  };

  // The place of `id`; empty when `id` is unbound.
  Place place(const Identifier& id) const;
  // Binds `id` as bind does, and returns its place. A number or boolean is stored as it is,
  // without being placed behind a shared handle.
  Place bind_place(Identifier id, Value value) const;
  // Binds the variable at `place` (a place of this machine) as bind_place does.
  void bind(Place place, Value value) const;
  // The value at `place` (a place of this machine), without making a shared value: a number
  // or boolean is copied into `scratch`, and any other value is kept alive by the reference
  // put in `held`. The result stays valid while both do.
  const Value& read(Place place, Value& scratch, SharedValue& held) const;

  // How many variables are bound. Shards are counted one after the other, so while other
  // threads bind, the result is a count each shard had at some moment of the call.
  std::size_t size() const;

  // Copies of the bound identifiers in the store's order (the order of debug()), taken
  // shard by shard like size().
  std::vector<Identifier> identifiers() const;

  // Appends "Machine { vars: {U(1): Number(Int(2)), ...} }"; the order of the entries is
  // the store's own and varies between machines.
  void debug(std::string& out) const;
  std::string debug() const {
    std::string out;
    debug(out);
    return out;
  }

  // Calls `work(context)` as work done for this machine outside its runs, such as reading a
  // variable's value into host objects or writing debug(): within it, charge_memory counts
  // against the machine's memory limit, with a full budget at each call, as well as against
  // the runs under way on the thread (beyond it: the fatal error kMemoryLimitExceeded).
  // Without a memory limit it only calls `work`. Whatever `work` throws passes through.
  void within_memory_limit(void (*work)(void*), void* context) const;

  // The limits of every later run on this machine (see RunLimits); replaces all three.
  // Safe to call while other threads run programs on the machine: each run reads the
  // limits once, as it starts, and sees either the old set or the new one.
  void set_limits(const RunLimits& limits) const noexcept;
  RunLimits limits() const noexcept;

 private:
  // The store is the core's own business: the evaluator (and the core's tests) reach it
  // through store_of, which only the core's sources define.
  friend const VariableStore& store_of(const Machine& machine) noexcept;
  std::unique_ptr<VariableStore> store_;
  std::unique_ptr<LimitsCell> limits_;
};

}  // namespace vrel
