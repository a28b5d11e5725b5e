// Every user-visible text of the core: fatal-error messages and the fixed parts of debug forms.
//
// These texts are part of the interface: hosts and their users compare against them, character
// for character. Do not reword, re-case or "fix" any of them, however odd one looks (a message
// that speaks of `Option::unwrap()` is deliberate). A new text goes here, next to its kin.
// How quoted text and floats are spelled out is a rule, not a text: see debug_text.hpp.
#pragma once

namespace vrel::text {

// ---- fatal errors ------------------------------------------------------------------

// The native stack guard stopped a recursion (evaluation, copy, comparison, formatting).
inline constexpr char kNestingTooDeep[] = "Maximum nesting depth exceeded";
// Followed by the identifier's debug form, e.g. U(7) or S("x").
inline constexpr char kValueNotFound[] = "Value cannot be found: ";
// A call whose callee variable holds something other than a function.
inline constexpr char kCalleeNotFunction[] = "called `Option::unwrap()` on a `None` value";
inline constexpr char kConditionNotBoolean[] =
    "Expected deduced condition to be a bool, got other type";

// Operators.
inline constexpr char kDivideByZero[] = "attempt to divide by zero";
inline constexpr char kDivideOverflow[] = "attempt to divide with overflow";
inline constexpr char kCompareNonNumbers[] =
    "Both left-hand and right-hand side values must be a number";
inline constexpr char kBinaryUnknownType[] = "Binary operator for unknown type";
inline constexpr char kStringOperation[] = "Unknown binary operation for Value::String";
inline constexpr char kNotNonBoolean[] = "The not expression must be used on a boolean value";
inline constexpr char kAndNonBoolean[] = "The and expression must be used on boolean values";
inline constexpr char kOrNonBoolean[] = "The or expression must be used on boolean values";
// Followed by the kind name of the left-hand value (kKindName*).
inline constexpr char kEqualsOtherKind[] = "Expected other item to be Value::";
inline constexpr char kEqualsFunction[] = "Cannot perform PartialEq for Value::Fn";

// Limits of a run. Their messages are part of the public interface, next to the limits:
// kStepLimitExceeded, kMemoryLimitExceeded and kTimeLimitExceeded in vrel/run_limits.hpp.
// A run the host's interrupt check stopped (the host reports its own reason instead).
inline constexpr char kRunInterrupted[] = "Run interrupted by the host";

// Limits of the store.
inline constexpr char kReaderCountOverflow[] = "reader count overflowed";
inline constexpr char kTableCapacityOverflow[] = "Hash table capacity overflow";
inline constexpr char kShardAmountTooSmall[] = "assertion failed: shard_amount > 1";
inline constexpr char kShardAmountNotPowerOfTwo[] =
    "assertion failed: shard_amount.is_power_of_two()";

// The standard-error report of a new fatal error:
//   vrel: fatal error in thread '<name>' (<tid>) at <file>:<line>:\n<message>\n
inline constexpr char kReportThread[] = "vrel: fatal error in thread '";
inline constexpr char kReportThreadId[] = "' (";
inline constexpr char kReportLocation[] = ") at ";
inline constexpr char kReportMessage[] = ":\n";

// ---- debug forms -------------------------------------------------------------------

// Value kinds, as debug forms and equality messages name them.
inline constexpr char kKindNameBoolean[] = "Boolean";
inline constexpr char kKindNameString[] = "String";
inline constexpr char kKindNameNumber[] = "Number";
inline constexpr char kKindNameVector[] = "Vector";

// Values: Null, Boolean(true), String("a"), Number(Int(5)), Vector([Null, Null]),
// Function(<the object's own form>).
inline constexpr char kDebugNull[] = "Null";
inline constexpr char kDebugTrue[] = "Boolean(true)";
inline constexpr char kDebugFalse[] = "Boolean(false)";
inline constexpr char kDebugString[] = "String(";
inline constexpr char kDebugNumber[] = "Number(";
inline constexpr char kDebugVectorOpen[] = "Vector([";
inline constexpr char kDebugVectorClose[] = "])";
inline constexpr char kDebugFunction[] = "Function(";
// Numbers: Int(-3), Float(2.5).
inline constexpr char kDebugInt[] = "Int(";
inline constexpr char kDebugFloat[] = "Float(";
// Identifiers: U(7), S("x").
inline constexpr char kDebugU[] = "U(";
inline constexpr char kDebugS[] = "S(";
// Machines: Machine { vars: {U(1): Null, S("x"): Number(Int(2))} }.
inline constexpr char kDebugMachineOpen[] = "Machine { vars: {";
inline constexpr char kDebugMachineClose[] = "} }";
inline constexpr char kDebugEntrySeparator[] = ": ";
// Between the elements of a vector and the entries of a machine.
inline constexpr char kDebugItemSeparator[] = ", ";
// Floats that are not finite; finite ones are laid out by write_float.
inline constexpr char kFloatNaN[] = "NaN";
inline constexpr char kFloatInfinity[] = "inf";

}  // namespace vrel::text
