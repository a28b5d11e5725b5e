// Working out where a fatal error happened while it unwinds through the evaluator.
#pragma once

#include <cstddef>
#include <cstdint>

#include "vrel/fatal.hpp"
#include "vrel/syntax_tree.hpp"

namespace vrel::detail {

// The frames of the evaluator catch a FatalError on its way out, add the step they were at
// and throw it on. Steps arrive innermost first; finish_place puts them in reading order.
// Nothing of this runs unless an error is unwinding: a run that succeeds pays nothing.
//
// Progress is kept in the place itself: `settled` once the failing statement has written
// its node path and role (an enclosing if then adds only statement steps), and the compact
// form's instruction index until that statement turns it into a node path.

inline constexpr std::size_t kNoIndex = static_cast<std::size_t>(-1);

// The error is leaving the child `index` of a node written as {key: [...]} (kNoIndex for a
// node whose one child is the whole payload, as {"not": E}).
void add_child_step(FatalError& error, const char* key, std::size_t index) noexcept;

// The error is leaving statement `index` of a block or of the program given to the run.
void add_statement_step(FatalError& error, std::size_t index) noexcept;
// The error is leaving the block `block` ("then" or "otherwise") of an if.
void add_block_step(FatalError& error, const char* block) noexcept;

// The error is leaving the compact form of a let at its instruction `instruction`.
void note_compact_instruction(FatalError& error, std::uint32_t instruction) noexcept;

// The error is leaving `statement`: if no statement settled it yet, this is the failing one;
// its node path is completed (from the compact instruction, if any) and the role and
// variable worked out from the node the path leads to.
void settle_statement(const Statement& statement, FatalError& error) noexcept;

// A fatal error of an if's condition (not a boolean): about the condition, no variable.
[[noreturn]] void raise_condition_error(const char* message, std::source_location where);

// The error is leaving the run: paths in reading order, marked as in a run.
void finish_place(FatalError& error) noexcept;

}  // namespace vrel::detail
