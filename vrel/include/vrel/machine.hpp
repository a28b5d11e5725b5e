// The machine: the whole state of a running vrel program, one flat concurrent store of
// variables.
#pragma once

#include <memory>
#include <string>

#include "vrel/run_limits.hpp"
#include "vrel/value.hpp"

namespace vrel {

class VariableStore;
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

  // Appends "Machine { vars: {U(1): Number(Int(2)), ...} }"; the order of the entries is
  // the store's own and varies between machines.
  void debug(std::string& out) const;
  std::string debug() const {
    std::string out;
    debug(out);
    return out;
  }

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
