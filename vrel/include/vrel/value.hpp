// Runtime values of the vrel language: Number, Value, shared values, identifiers and
// the function-object interface.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "vrel/variant_kind.hpp"

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
  static Value string(std::string s) noexcept { return Value(std::in_place_type<std::string>, std::move(s)); }
  static Value number(Number n) noexcept { return Value(std::in_place_type<Number>, n); }
  static Value integer(std::int64_t i) noexcept { return number(Number::from_int(i)); }
  static Value floating(double f) noexcept { return number(Number::from_float(f)); }
  static Value vector(Vector items) noexcept { return Value(std::in_place_type<Vector>, std::move(items)); }
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
  // Vector([Null, Boolean(true)]), Function(<the object's own form>).
  void debug(std::string& out) const;
  std::string debug() const {
    std::string out;
    debug(out);
    return out;
  }

 private:
  using Payload =
      std::variant<std::monostate, bool, std::string, Number, Vector, FunctionBox>;
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

  friend bool operator==(const Identifier& a, const Identifier& b) noexcept {
    return a.v_ == b.v_;
  }

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

// Appends `text` in the quoted debug form used for String and S payloads: in double
// quotes, with quotes, backslashes, control and non-printable characters escaped.
void write_quoted(std::string& out, std::string_view text);

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
};

// ---- Vectors built cell by cell ------------------------------------------------------

namespace detail {
struct CellBlock;
}

// Builds a vector value whose length is known ahead, as a host does converting one of its
// lists: the elements are constructed right in their cells, and the cells come a block at a
// time instead of one allocation each, which makes building and releasing a large vector
// several times cheaper. A block is freed when the last of its cells is released, on
// whichever thread; until then a surviving element keeps its block's memory (not the other
// elements' contents) allocated. Blocks grow with the vector, so a single survivor keeps at
// most about half of the vector's cell memory. Freed large blocks are kept for reuse, at most
// 8 MiB of them in the whole process.
class VectorBuilder {
 public:
  // `expected`: how many elements the caller means to append. More may be appended (they
  // get cells of their own); cells left unused go back when building ends.
  explicit VectorBuilder(std::size_t expected);
  VectorBuilder(const VectorBuilder&) = delete;
  VectorBuilder& operator=(const VectorBuilder&) = delete;
  ~VectorBuilder();

  // Appends the value that `make()` returns, constructed in its cell.
  template <class Make>
  void emplace(Make&& make);
  void push(Value value) {
    emplace([&]() noexcept { return std::move(value); });
  }
  std::size_t size() const noexcept { return items_.size(); }
  // The vector value of the elements appended so far; the builder is left empty.
  Value finish();

 private:
  bool next_block();
  void give_back_unused() noexcept;

  Value::Vector items_;
  std::size_t expected_;
  detail::CellBlock* block_ = nullptr;
  detail::ValueCell* next_ = nullptr;  // the block's first unused cell, up to end_
  detail::ValueCell* end_ = nullptr;
  std::uint64_t next_word_ = 0;  // the initial count word of the cell at next_
};

// ---- inline parts of SharedValue ------------------------------------------------------

namespace detail {

// The count word of a cell: the reference count in the low 40 bits (a count never comes near
// 2^40, as every reference takes 8 bytes of memory), and in the high 24 bits the cell's
// position in its block plus one, or 0 for a cell allocated on its own.
inline constexpr unsigned kCellIndexShift = 40;
inline constexpr std::uint64_t kCellCountMask = (std::uint64_t{1} << kCellIndexShift) - 1;
inline constexpr std::uint64_t kCellIndexUnit = std::uint64_t{1} << kCellIndexShift;
inline constexpr std::size_t kBlockCellsMax = (std::size_t{1} << (64 - kCellIndexShift)) - 1;

struct FromFactory {};

struct ValueCell {
  explicit ValueCell(Value v) noexcept : value(std::move(v)) {}
  // `make()` returns the value as a prvalue, so it is constructed in place.
  template <class Make>
  ValueCell(FromFactory, Make& make, std::uint64_t word) noexcept(noexcept(make()))
      : refs(word), value(make()) {}
  // Cells are the most frequent allocation of evaluation (one per intermediate result);
  // each thread recycles a bounded number of freed cells before going to malloc. Cells in a
  // block are placed with ::new and never pass through these.
  static void* operator new(std::size_t size);
  static void operator delete(void* p) noexcept;
  std::atomic<std::uint64_t> refs{1};
  Value value;
};

// Destroys the value of a cell whose last reference was dropped and frees the cell (alone,
// or as one of its block); `word` is the count word read when it was dropped.
void destroy_cell(ValueCell* cell, std::uint64_t word) noexcept;

inline void release_cell(ValueCell* cell) noexcept {
  // A holder of the only reference is the only thread that can still reach the count (no
  // one can copy a handle they do not hold), so it need not write it. The acquire load
  // pairs with the release half of every earlier decrement, as the decrement's own acquire
  // would: other threads' reads of the value happen before its destruction.
  std::uint64_t word = cell->refs.load(std::memory_order_acquire);
  if ((word & kCellCountMask) != 1) {
    word = cell->refs.fetch_sub(1, std::memory_order_acq_rel);
    if ((word & kCellCountMask) != 1) return;
  }
  destroy_cell(cell, word);
}

}  // namespace detail

template <class Make>
void VectorBuilder::emplace(Make&& make) {
  if (next_ == end_ && !next_block()) {
    items_.push_back(SharedValue(new detail::ValueCell(detail::FromFactory{}, make, 1)));
    return;
  }
  auto* cell = ::new (static_cast<void*>(next_)) detail::ValueCell(detail::FromFactory{}, make, next_word_);
  // Taken before the handle is stored: should the push fail, the handle's release accounts
  // for the cell, and giving back the unused rest must not count it a second time.
  ++next_;
  next_word_ += detail::kCellIndexUnit;
  items_.push_back(SharedValue(cell));
}

inline SharedValue SharedValue::make(Value value) {
  return SharedValue(new detail::ValueCell(std::move(value)));
}
inline SharedValue::SharedValue(const SharedValue& other) noexcept : cell_(other.cell_) {
  if (cell_) cell_->refs.fetch_add(1, std::memory_order_relaxed);
}
inline SharedValue::~SharedValue() {
  if (cell_) detail::release_cell(cell_);
}
inline const Value& SharedValue::operator*() const noexcept { return cell_->value; }
inline const Value* SharedValue::operator->() const noexcept { return &cell_->value; }
inline const Value* SharedValue::get() const noexcept {
  return cell_ ? &cell_->value : nullptr;
}
inline std::size_t SharedValue::use_count() const noexcept {
  return cell_ ? cell_->refs.load(std::memory_order_relaxed) & detail::kCellCountMask : 0;
}

}  // namespace vrel
