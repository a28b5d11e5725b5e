// A rule's failure on one record: its message and where in the rule it happened.
#pragma once

#include <memory>
#include <string>

#include "vrel/fatal.hpp"

namespace vrelpy::rules {

// Made once and never changed, then shared: every record that fails alike without running
// the rule (an unbound leading read, see Rule) holds the same one, so that a million such
// failures cost a million reference counts, not a million copies. The place is the one a
// run of the rule's statements gives (paths relative to them), or no paths where the rule
// did not run.
struct RuleFailure {
  std::string message;
  vrel::ErrorPlace place;
};
using FailureRef = std::shared_ptr<const RuleFailure>;

}  // namespace vrelpy::rules
