// A rule set's program: its rules and setup as trees, their limits, and what they read.
#pragma once

#include <cstddef>
#include <vector>

#include "rules/rule_failure.hpp"
#include "vrel/run_limits.hpp"
#include "vrel/syntax_tree.hpp"
#include "vrel/value.hpp"

namespace vrelpy::rules {

// One rule: statements that bind a variable named as the rule (an expression rule is a
// `let` of its name), run borrowed so that every record reuses the trees and their memos.
struct Rule {
  vrel::Identifier name;
  // Given as an expression (an Expr, or a text read as one): its failures are placed inside
  // the expression rather than in the let that stands for it.
  bool expression = false;
  std::vector<vrel::Statement> statements;
  std::vector<const vrel::Statement*> borrowed;  // points into `statements`
  // The variables the rule reads, in order, before anything of it can fail but a read:
  // the leaves evaluated before its first operation. Expressions evaluate every operand,
  // left to right, so when one of these is unbound the rule fails reading it, whatever the
  // rest of it holds, and a worker can say so without running it (a thrown error costs
  // microseconds). Only meant for runs without limits, which could strike first.
  std::vector<vrel::Identifier> leading_reads;
  // For each leading read, the failure of the rule when that read is the first unbound one,
  // with the place a run would give it; and its failure when its statements ran without
  // binding its name. Workers refer to these without owning them (see borrowed_failure).
  std::vector<RuleFailure> leading_failures;
  RuleFailure not_bound;
};

// Everything a worker needs, and nothing of Python: built once under the interpreter lock,
// then never changed, so that any number of worker threads read it at once. The trees keep
// their own memos (thread-safe by the core's design); fn statements of the setup hold Python
// functions, which the core copies and calls only under the interpreter lock.
struct RuleProgram {
  std::vector<Rule> rules;
  std::vector<vrel::Statement> setup;
  std::vector<const vrel::Statement*> setup_borrowed;
  vrel::RunLimits limits;
  // The names the rules read that neither the setup nor an earlier rule binds, in the order
  // first read; and the names the rules call, in the order first called.
  std::vector<vrel::Identifier> inputs;
  std::vector<vrel::Identifier> functions_called;
};

// Fills `inputs` and `functions_called` of `program` from its trees. A name bound anywhere
// in a statement (either branch of an if) counts as bound for everything after it; a shared
// subtree is walked once however often it appears.
void analyse_reads(RuleProgram& program);

// Fills the leading reads of every rule of `program`, and the failure each gives: found by
// running a copy of the rule on a machine of its own where the reads before it are bound
// (to null) and it is not, so that its place is exactly the one a record would give. Fills
// each rule's not_bound failure too.
void find_leading_reads(RuleProgram& program);

}  // namespace vrelpy::rules
