// Returning a machine to a marked state: for hosts that evaluate many independent rounds
// (records) from one starting state. Internal to the core's hosts, not part of the language.
#pragma once

#include "vrel/machine.hpp"

namespace vrel::detail {

// Makes the machine's current bindings the state that reset_to_baseline returns to. From now
// on every change of a variable first saves what it held (once per variable and round).
// Only for a machine that one thread uses from the mark on: the saved state is not
// synchronised.
void mark_baseline(const Machine& machine);

// Puts back every variable changed since the mark or the last reset: bindings made since
// disappear (reading them fails as for a name never bound), removed or rebound variables get
// their marked value again. Costs one restore per variable changed, with no hashing, and no
// allocation once the journal has grown. Does nothing to a machine never marked.
void reset_to_baseline(const Machine& machine);

}  // namespace vrel::detail
