// Runtime values of the vrel language: Number, Value, shared values, identifiers and
// the function-object interface.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "vrel/detail/variant_kind.hpp"

namespace vrel {

// ---- Number ---------------------------------------------------------------------

// A number is a 64-bit float or a signed 64-bit integer. Alternatives keep their
// declared order: Float is 0, Int is 1.
class Number {
 public:
  enum class Kind : std::uint8_t { Float = 0, Int = 1 };

  static constexpr Number from_float(double f) noexcept { return Number(f); }
  static constexpr Number from_int(std::int64_t i) noexcept { return Number(i); }

  constexpr Kind kind() const noexcept { return kind_; }
  constexpr bool is_int() const noexcept { return kind_ == Kind::Int; }
  constexpr bool is_float() const noexcept { return kind_ == Kind::Float; }
  // Precondition: the matching kind.
  constexpr std::int64_t as_int() const noexcept { return i_; }
  constexpr double as_float() const noexcept { return f_; }
  // The value as a float, converting an integer to the nearest float (ties to even).
  constexpr double to_float() const noexcept { return is_int() ? static_cast<double>(i_) : f_; }

  // Division: Int/Int truncates toward zero and raises "attempt to divide by zero" or
  // "attempt to divide with overflow"; any float operand gives a float quotient.
  static Number div(Number left, Number right);

  // Appends the debug form: Float(2.5), Int(-3).
  void debug(std::string& out) const;

 private:
  constexpr explicit Number(double f) noexcept : kind_(Kind::Float), f_(f) {}
  constexpr explicit Number(std::int64_t i) noexcept : kind_(Kind::Int), i_(i) {}

  Kind kind_;
  union {
    double f_;
    std::int64_t i_;
  };
};

class Value;
class VrelFunction;
using FunctionBox = std::unique_ptr<VrelFunction>;

// ---- Shared values ----------------------------------------------------------------

class SharedValue;
namespace detail {
struct ValueCell;
// Releases every element of a vector about to be destroyed, leaving the handles empty.
void release_elements(std::vector<SharedValue>& items) noexcept;
}  // namespace detail
class VectorBuilder;

// A reference-counted handle to an immutable Value. A cell holds the count and the value,
// allocated on its own or in a block with its neighbours in a vector (see VectorBuilder);
// the count is atomic so handles may be copied and dropped on any thread.
// A default-constructed handle is empty; every other handle refers to a value.
class SharedValue {
 public:
  SharedValue() noexcept = default;
  static SharedValue make(Value value);

  SharedValue(const SharedValue& other) noexcept;
  SharedValue(SharedValue&& other) noexcept : cell_(std::exchange(other.cell_, nullptr)) {}
  SharedValue& operator=(SharedValue other) noexcept {
    std::swap(cell_, other.cell_);
    return *this;
  }
  ~SharedValue();

  explicit operator bool() const noexcept { return cell_ != nullptr; }
  const Value& operator*() const noexcept;
  const Value* operator->() const noexcept;
  const Value* get() const noexcept;
  // Number of handles to the value (for tests and diagnostics; racy by nature).
  std::size_t use_count() const noexcept;
  // True when both handles refer to the same value object.
  bool same_as(const SharedValue& other) const noexcept { return cell_ == other.cell_; }

 private:
  friend class VectorBuilder;
  friend void detail::release_elements(std::vector<SharedValue>& items) noexcept;
  explicit SharedValue(detail::ValueCell* cell) noexcept : cell_(cell) {}
  detail::ValueCell* cell_ = nullptr;
};

// ---- Value --------------------------------------------------------------------------

// The alternative a value holds, in the order of Value's payload (checked there).
enum class ValueKind : std::uint8_t { Null = 0, Boolean, String, Number, Vector, Function };

// The result of every evaluation and the content of every variable. Copying follows the
// language's rules: text is copied, vector elements are shared (each gains a reference),
// a function object is duplicated through clone_box.
class Value {
 public:
  using Vector = std::vector<SharedValue>;

  Value() noexcept : v_(std::monostate{}) {}
  static Value null() noexcept { return Value(); }
  static Value boolean(bool b) noexcept { return Value(std::in_place_type<bool>, b); }
  static Value string(std::string s) noexcept {
    return Value(std::in_place_type<std::string>, std::move(s));
  }
  static Value number(Number n) noexcept { return Value(std::in_place_type<Number>, n); }
  static Value integer(std::int64_t i) noexcept { return number(Number::from_int(i)); }
  static Value floating(double f) noexcept { return number(Number::from_float(f)); }
  static Value vector(Vector items) noexcept {
    return Value(std::in_place_type<Vector>, std::move(items));
  }
  // Precondition: `f` is not empty.
  static Value function(FunctionBox f) noexcept {
    return Value(std::in_place_type<FunctionBox>, std::move(f));
  }

  Value(const Value& other);
  Value(Value&& other) noexcept = default;
  Value& operator=(const Value& other);
  Value& operator=(Value&& other) noexcept = default;
  ~Value();

  ValueKind kind() const noexcept { return static_cast<ValueKind>(v_.index()); }
  // Accessors; precondition: the matching kind.
  bool as_boolean() const noexcept { return *std::get_if<bool>(&v_); }
  const std::string& as_string() const noexcept { return *std::get_if<std::string>(&v_); }
  std::string& as_string() noexcept { return *std::get_if<std::string>(&v_); }
  Number as_number() const noexcept { return *std::get_if<Number>(&v_); }
  const Vector& as_vector() const noexcept { return *std::get_if<Vector>(&v_); }
  const VrelFunction& as_function() const noexcept { return **std::get_if<FunctionBox>(&v_); }
  FunctionBox take_function() noexcept { return std::move(*std::get_if<FunctionBox>(&v_)); }

  // Equality as the language's == sees it: the left-hand value picks the rule. Null
  // compares with anything; any other mismatch of alternatives is a fatal error
  // "Expected other item to be Value::<Kind>"; a function on the left is the fatal
  // error "Cannot perform PartialEq for Value::Fn"; int and float are never equal.
  static bool eq(const Value& left, const Value& right);

  // Appends the debug form: Null, Boolean(true), String("a"), Number(Int(5)),
  // Vector([Null, Boolean(true)]), Function(<the object's own form>). Texts and vectors
  // written are charged to the limited runs under way on the thread (see charge_memory) and
  // count as work towards their checks, so writing may raise the limits' fatal errors or be
  // interrupted.
  void debug(std::string& out) const;
  std::string debug() const {
    std::string out;
    debug(out);
    return out;
  }

 private:
  using Payload = std::variant<std::monostate, bool, std::string, Number, Vector, FunctionBox>;
  // The factories build the payload right where the returned value lives (a prvalue is
  // never moved): no temporary variant, no visit of its alternatives.
  template <class T, class A>
  Value(std::in_place_type_t<T> type, A&& arg) noexcept : v_(type, std::forward<A>(arg)) {}
  Payload v_;

  static_assert(detail::kind_names<Payload, ValueKind::Null, std::monostate>);
  static_assert(detail::kind_names<Payload, ValueKind::Boolean, bool>);
  static_assert(detail::kind_names<Payload, ValueKind::String, std::string>);
  static_assert(detail::kind_names<Payload, ValueKind::Number, Number>);
  static_assert(detail::kind_names<Payload, ValueKind::Vector, Vector>);
  static_assert(detail::kind_names<Payload, ValueKind::Function, FunctionBox>);
  static_assert(std::variant_size_v<Payload> == std::size_t(ValueKind::Function) + 1);
};

// ---- Identifier ---------------------------------------------------------------------

// The name of a variable: a machine-word number (U) or a text (S). The number 1 and the
// text "1" are different names.
class Identifier {
 public:
  Identifier() noexcept : v_(std::uint64_t{0}) {}
  static Identifier u(std::uint64_t n) noexcept { return Identifier(Payload(n)); }
  static Identifier s(std::string text) noexcept { return Identifier(Payload(std::move(text))); }

  bool is_u() const noexcept { return std::holds_alternative<std::uint64_t>(v_); }
  bool is_s() const noexcept { return std::holds_alternative<std::string>(v_); }
  std::uint64_t as_u() const noexcept { return *std::get_if<std::uint64_t>(&v_); }
  const std::string& as_s() const noexcept { return *std::get_if<std::string>(&v_); }

  friend bool operator==(const Identifier& a, const Identifier& b) noexcept { return a.v_ == b.v_; }

  // Appends the debug form: U(7), S("x").
  void debug(std::string& out) const;
  std::string debug() const {
    std::string out;
    debug(out);
    return out;
  }

 private:
  using Payload = std::variant<std::uint64_t, std::string>;
  explicit Identifier(Payload p) noexcept : v_(std::move(p)) {}
  Payload v_;
};

// Appends `utf8` in the quoted form of String and S payloads: between double quotes,
// escaped so that the result shows every character unambiguously:
//   "  ->  \"        \  ->  \\        tab, CR, LF, NUL  ->  \t \r \n \0
//   any other character that is not printable, and every grapheme-extending mark
//   wherever it stands  ->  \u{hex}, the code point in lower-case hexadecimal without
//   leading zeros (U+0007 -> \u{7}).
// Everything else, the single quote and non-ASCII letters included, is copied as its
// UTF-8 bytes. `utf8` is expected to be valid UTF-8; each byte that does not belong to a
// well-formed sequence (overlong forms, encoded surrogates and values above U+10FFFF
// included) is written as \u{fffd}. Never throws except std::bad_alloc from growing out.
void write_quoted(std::string& out, std::string_view utf8);

// ---- Function objects ---------------------------------------------------------------

// Copying half of the function-object interface.
class VrelFunctionClone {
 public:
  virtual ~VrelFunctionClone() = default;
  // A new, independently owned function object of the same concrete type.
  virtual FunctionBox clone_box() const = 0;
};

// A function value's payload. The core never makes function objects; it stores, copies,
// formats, calls and destroys them, possibly from several threads at once.
class VrelFunction : public VrelFunctionClone {
 public:
  // Appends the object's debug form.
  virtual void fmt(std::string& out) const = 0;
  // Calls the function. The argument handle's ownership passes to the callee. Returns a
  // plain value that the caller places behind a new shared handle; may raise FatalError.
  virtual Value run(SharedValue argument) const = 0;
  // The same call with a number or boolean argument, which no one else can hold: by default
  // placed behind a new handle for run; an implementation may take it as it is.
  virtual Value run_plain(Value argument) const {
    return run(SharedValue::make(std::move(argument)));
  }
};

}  // namespace vrel

// The inline parts of SharedValue need the layout of its cells.
#include "vrel/detail/value_cell.hpp"
