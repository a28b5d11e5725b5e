// The result of evaluating one node, as the evaluator passes it to the node above.
#pragma once

#include <cstdint>
#include <new>
#include <utility>

#include "checked.hpp"
#include "vrel/value.hpp"

namespace vrel {

// Most intermediate results are numbers and booleans that the next node consumes at once;
// placing each behind a new shared value would cost an allocation and two atomic updates
// per node. An operand therefore holds one of:
//  - a reference the evaluation owns (a variable's value, a vector, a string, ...);
//  - the handle of a shared constant of a borrowed tree, which outlives the evaluation,
//    so reading it needs no reference count at all;
//  - a plain number or boolean.
// A shared value is made only where a result is kept (bound, put in a vector, passed to a
// function). Sixteen bytes, as the evaluator recurses once per level of nesting.
class Operand {
 public:
  Operand(SharedValue owned) noexcept : tag_(Tag::Owned) {
    new (&owned_) SharedValue(std::move(owned));
  }
  static Operand borrow(const SharedValue& constant) noexcept {
    Operand o(Tag::Borrowed);
    o.borrowed_ = &constant;
    return o;
  }
  static Operand number(Number n) noexcept {
    Operand o(n.is_int() ? Tag::Int : Tag::Float);
    if (n.is_int()) {
      o.int_ = n.as_int();
    } else {
      o.float_ = n.as_float();
    }
    return o;
  }
  static Operand boolean(bool b) noexcept {
    Operand o(Tag::Boolean);
    o.boolean_ = b;
    return o;
  }
  // A fresh value (a function's result): numbers and booleans stay plain.
  static Operand of(Value v) {
    switch (v.kind()) {
      case ValueKind::Number:
        return number(v.as_number());
      case ValueKind::Boolean:
        return boolean(v.as_boolean());
      case ValueKind::Null:
      case ValueKind::String:
      case ValueKind::Vector:
      case ValueKind::Function:
        return Operand(SharedValue::make(std::move(v)));
    }
    __builtin_unreachable();  // every kind returns above
  }

  Operand(Operand&& other) noexcept : tag_(other.tag_) {
    switch (tag_) {
      case Tag::Owned:
        new (&owned_) SharedValue(std::move(other.owned_));
        break;
      case Tag::Borrowed:
        borrowed_ = other.borrowed_;
        break;
      default:
        int_ = other.int_;  // copies the 8 bytes of whichever scalar it holds
    }
  }
  Operand(const Operand&) = delete;
  Operand& operator=(const Operand&) = delete;
  ~Operand() {
    if (tag_ == Tag::Owned) owned_.~SharedValue();
  }

  // The number held, directly or in the value referred to.
  bool get_number(Number& out) const noexcept {
    switch (tag_) {
      case Tag::Int:
        out = Number::from_int(int_);
        return true;
      case Tag::Float:
        out = Number::from_float(float_);
        return true;
      case Tag::Boolean:
        return false;
      default: {
        const Value& v = referred();
        if (v.kind() != ValueKind::Number) return false;
        out = v.as_number();
        return true;
      }
    }
  }
  // The boolean held, directly or in the value referred to.
  bool get_boolean(bool& out) const noexcept {
    switch (tag_) {
      case Tag::Boolean:
        out = boolean_;
        return true;
      case Tag::Int:
      case Tag::Float:
        return false;
      default: {
        const Value& v = referred();
        if (v.kind() != ValueKind::Boolean) return false;
        out = v.as_boolean();
        return true;
      }
    }
  }

  // Integers and booleans held plainly: the cases the evaluator handles inline. (Tested and
  // read by value, so that the evaluator's frame, which recursion multiplies, takes no
  // addressable locals for them.)
  bool is_plain_int() const noexcept { return tag_ == Tag::Int; }
  std::int64_t plain_int() const noexcept {  // when is_plain_int()
    VREL_EXPECT(is_plain_int());
    return int_;
  }
  bool is_plain_boolean() const noexcept { return tag_ == Tag::Boolean; }
  // A number or boolean held plainly, and its value.
  bool is_plain() const noexcept {
    return tag_ == Tag::Int || tag_ == Tag::Float || tag_ == Tag::Boolean;
  }
  Value plain_value() const noexcept {  // when is_plain()
    VREL_EXPECT(is_plain());
    return tag_ == Tag::Int     ? Value::integer(int_)
           : tag_ == Tag::Float ? Value::floating(float_)
                                : Value::boolean(boolean_);
  }
  bool plain_boolean() const noexcept {  // when is_plain_boolean()
    VREL_EXPECT(is_plain_boolean());
    return boolean_;
  }

  // The value, for the general rules; a plain number or boolean is placed in `scratch`.
  const Value& view(Value& scratch) const noexcept {
    switch (tag_) {
      case Tag::Int:
        return scratch = Value::integer(int_);
      case Tag::Float:
        return scratch = Value::floating(float_);
      case Tag::Boolean:
        return scratch = Value::boolean(boolean_);
      default:
        return referred();
    }
  }

  // A reference to keep: the owned one, a new one to the constant, or a new value.
  SharedValue share() && {
    switch (tag_) {
      case Tag::Owned:
        return std::move(owned_);
      case Tag::Borrowed:
        return *borrowed_;
      case Tag::Int:
        return SharedValue::make(Value::integer(int_));
      case Tag::Float:
        return SharedValue::make(Value::floating(float_));
      default:
        return SharedValue::make(Value::boolean(boolean_));
    }
  }

 private:
  enum class Tag : std::uint8_t { Owned, Borrowed, Int, Float, Boolean };
  explicit Operand(Tag tag) noexcept : int_(0), tag_(tag) {}
  const Value& referred() const noexcept { return tag_ == Tag::Owned ? *owned_ : **borrowed_; }

  union {
    SharedValue owned_;
    const SharedValue* borrowed_;
    std::int64_t int_;
    double float_;
    bool boolean_;
  };
  Tag tag_;
};

}  // namespace vrel
