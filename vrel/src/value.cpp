// Values: copying, release, equality and debug forms of Number, Value and Identifier.
#include "vrel/value.hpp"

#include <algorithm>
#include <limits>

#include "debug_text.hpp"
#include "messages.hpp"
#include "run_budget.hpp"
#include "stack_guard.hpp"
#include "vrel/fatal.hpp"

namespace vrel {

// ---- Number ---------------------------------------------------------------------

Number Number::div(Number left, Number right) {
  if (left.is_int() && right.is_int()) {
    const std::int64_t a = left.as_int(), b = right.as_int();
    // The zero test comes first: INT64_MIN / 0 reports the zero divisor.
    if (b == 0) raise_fatal(text::kDivideByZero);
    if (a == std::numeric_limits<std::int64_t>::min() && b == -1) {
      raise_fatal(text::kDivideOverflow);
    }
    return from_int(a / b);
  }
  return from_float(left.to_float() / right.to_float());
}

void Number::debug(std::string& out) const {
  if (is_int()) {
    out += text::kDebugInt;
    out += std::to_string(as_int());
  } else {
    out += text::kDebugFloat;
    write_float(out, as_float());
  }
  out += ')';
}

// ---- Value ----------------------------------------------------------------------------

Value::Value(const Value& other) : v_(std::monostate{}) {
  switch (other.kind()) {
    case ValueKind::Null:
      break;
    case ValueKind::Boolean:
      v_.emplace<bool>(other.as_boolean());
      break;
    case ValueKind::String:
      v_.emplace<std::string>(other.as_string());
      break;
    case ValueKind::Number:
      v_.emplace<Number>(other.as_number());
      break;
    case ValueKind::Vector:
      // Elements are shared, not copied: each gains one reference.
      v_.emplace<Vector>(other.as_vector());
      break;
    case ValueKind::Function:
      v_.emplace<FunctionBox>(other.as_function().clone_box());
      break;
  }
}

Value& Value::operator=(const Value& other) {
  if (this != &other) *this = Value(other);
  return *this;
}

Value::~Value() {
  if (kind() != ValueKind::Vector) return;
  Vector& items = *std::get_if<Vector>(&v_);
  if (items.empty()) return;
  // A vector's elements may hold vectors in turn, to any depth. Near the end of the stack,
  // hand the elements to the flat release loop instead of recursing into them.
  // The queue releases them later from a shallow frame; each release makes progress by at
  // least one level, so the loop ends.
  if (stack_low_for_release()) {
    release_later(new Vector(std::move(items)));
  } else {
    detail::release_elements(items);
  }
}

namespace {

[[noreturn]] void expected_other(const char* kind) {
  raise_fatal(std::string(text::kEqualsOtherKind) + kind);
}

}  // namespace

bool Value::eq(const Value& left, const Value& right) {
  switch (left.kind()) {
    case ValueKind::Null:
      return right.kind() == ValueKind::Null;
    case ValueKind::Boolean:
      if (right.kind() != ValueKind::Boolean) expected_other(text::kKindNameBoolean);
      return left.as_boolean() == right.as_boolean();
    case ValueKind::String:
      if (right.kind() != ValueKind::String) expected_other(text::kKindNameString);
      count_work(std::min(left.as_string().size(), right.as_string().size()));
      return left.as_string() == right.as_string();
    case ValueKind::Number: {
      if (right.kind() != ValueKind::Number) expected_other(text::kKindNameNumber);
      const Number a = left.as_number(), b = right.as_number();
      if (a.kind() != b.kind()) return false;  // no conversion: 1 and 1.0 are unequal
      return a.is_int() ? a.as_int() == b.as_int() : a.as_float() == b.as_float();
    }
    case ValueKind::Vector: {
      if (right.kind() != ValueKind::Vector) expected_other(text::kKindNameVector);
      const Vector& a = left.as_vector();
      const Vector& b = right.as_vector();
      if (a.size() != b.size()) return false;
      check_stack();
      // Sharing lets a small program build vectors whose comparison touches far more
      // elements than it has nodes: each pair compared is a step of the run.
      for (std::size_t i = 0; i < a.size(); ++i) {
        count_step();
        if (!eq(*a[i], *b[i])) return false;
      }
      return true;
    }
    case ValueKind::Function:
      raise_fatal(text::kEqualsFunction);
  }
  return false;
}

void Value::debug(std::string& out) const {
  switch (kind()) {
    case ValueKind::Null:
      out += text::kDebugNull;
      return;
    case ValueKind::Boolean:
      out += as_boolean() ? text::kDebugTrue : text::kDebugFalse;
      return;
    case ValueKind::String:
      // The text written is charged like a text the run makes: a debug form of a value
      // built by a run can be far larger than the run's own budget allowed it.
      charge_text(as_string().size());
      out += text::kDebugString;
      write_quoted(out, as_string());
      out += ')';
      return;
    case ValueKind::Number:
      out += text::kDebugNumber;
      as_number().debug(out);
      out += ')';
      return;
    case ValueKind::Vector: {
      check_stack();
      // As a vector the run makes, per element; and a unit of work per element, so that
      // writing 2^30 elements shared by a few vectors stops at a limit or a signal.
      charge_vector(as_vector().size());
      count_outside_work(static_cast<std::int64_t>(as_vector().size()) + 1);
      out += text::kDebugVectorOpen;
      bool first = true;
      for (const SharedValue& item : as_vector()) {
        if (!first) out += text::kDebugItemSeparator;
        first = false;
        item->debug(out);
      }
      out += text::kDebugVectorClose;
      return;
    }
    case ValueKind::Function:
      out += text::kDebugFunction;
      as_function().fmt(out);
      out += ')';
      return;
  }
}

// ---- Identifier -----------------------------------------------------------------------

void Identifier::debug(std::string& out) const {
  if (is_u()) {
    out += text::kDebugU;
    out += std::to_string(as_u());
  } else {
    out += text::kDebugS;
    write_quoted(out, as_s());
  }
  out += ')';
}

}  // namespace vrel
