// A rule's failure on one record: its message and where in the rule it happened.
#pragma once

#include <memory>
#include <string>

#include "vrel/fatal.hpp"

namespace vrelpy::rules {

// Made once and never changed, then shared: every record that fails alike without running
// the rule (an unbound leading read, see Rule) holds the same one, so that a million such
// failures cost nothing but a pointer each. The place is the one a run of the rule's
// statements gives (paths relative to them), or no paths where the rule did not run.
struct RuleFailure {
  std::string message;
  vrel::ErrorPlace place;
};
using FailureRef = std::shared_ptr<const RuleFailure>;

// A reference to a failure that something longer-lived owns (a rule set's program, which
// outlives the results of each of its evaluations), without a count: copying it costs no
// atomic operation for the threads that share it, and nothing is allocated.
inline FailureRef borrowed_failure(const RuleFailure& failure) noexcept {
  return FailureRef(FailureRef(), &failure);
}

}  // namespace vrelpy::rules
