// Conversion of values and identifiers between Python objects and the core.
#include "conversion/conversion.hpp"

#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>

#include "api/classes.hpp"
#include "runtime/errors.hpp"
#include "runtime/recursion_guard.hpp"
#include "support/messages.hpp"
#include "support/py_helpers.hpp"
#include "vrel/fatal.hpp"
#include "vrel/run_limits.hpp"
#include "vrel/vector_builder.hpp"

namespace vrelpy {
namespace {

using vrel::Identifier;
using vrel::Value;

// Each form a Python object may take is one attempt. An attempt that fails, returning false
// with an exception pending, stops the whole conversion (the recursion limit, an exception
// that cannot be made). Otherwise it returns true, with `out` set, or with `rejected`
// holding the error that says why the form does not apply, and the next form is tried.

// Records why a form does not apply; `why` is null (an exception pending) if making the
// error failed, and that fails the attempt.
bool reject(PyRef& rejected, PyRef why) {
  rejected = std::move(why);
  return static_cast<bool>(rejected);
}

// Whether a ChargedConversion is under way on this thread. Read for every text converted:
// initial-exec, as the core's scalars, so a read is one load rather than a call that finds
// the module's thread-local block.
constinit thread_local bool tl_charged __attribute__((tls_model("initial-exec"))) = false;

void charge_text(std::size_t bytes) {
  if (tl_charged) vrel::charge_memory(bytes);
}

// A KiB of text copied is a unit of conversion work.
constexpr unsigned kTextWorkShift = 10;

// utf8_text for a text that becomes a value: charged before it is copied.
bool value_text(PyObject* str, std::string& out) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(str, &size);
  if (!data) return false;
  charge_text(static_cast<std::size_t>(size));
  out.assign(data, static_cast<std::size_t>(size));
  if (size >> kTextWorkShift) count_conversion_work(size >> kTextWorkShift);
  return true;
}

// Bytes of `elements` list or vector elements, saturated.
std::uint64_t element_bytes(std::size_t elements) {
  return elements > UINT64_MAX / vrel::kVectorElementBytes ? UINT64_MAX
                                                           : elements * vrel::kVectorElementBytes;
}

// Charges a vector's elements ahead of their cells: the expected count first, then any
// element beyond it (a sequence that grows while it is converted) one at a time.
class ElementCharge {
 public:
  explicit ElementCharge(std::size_t expected) : charged_(expected) {
    if (tl_charged) vrel::charge_memory(element_bytes(expected));
  }
  void before(std::size_t index) {
    if (index < charged_) return;
    charged_ = index + 1;
    if (tl_charged) vrel::charge_memory(vrel::kVectorElementBytes);
  }

 private:
  std::size_t charged_;
};

// "<display>, caused by <display of __cause__>, caused by ..."
std::string chain_text(PyObject* exc) {
  std::string text = exception_display(exc);
  PyRef cause = PyRef::steal(PyException_GetCause(exc));
  // Cause chains are finite in practice, but a hand-made cycle must not hang us.
  for (int hops = 0; cause && hops < 64; ++hops) {
    text += msg::kCausedBy;
    text += exception_display(cause.get());
    cause = PyRef::steal(PyException_GetCause(cause.get()));
  }
  return text;
}

// The combined failure: one line per alternative with the reason it failed. Like every
// message raised by PyErr_SetString, it ends at its first NUL.
template <std::size_t N>
std::string combined_message(const char* enum_name, const std::array<const char*, N>& names,
                             const std::array<PyRef, N>& errors) {
  std::string message = std::string(msg::kEnumStart) + enum_name + msg::kEnumNamesStart;
  for (std::size_t i = 0; i < N; ++i) {
    if (i) message += msg::kEnumNameSeparator;
    message += names[i];
  }
  message += msg::kEnumNamesEnd;
  for (std::size_t i = 0; i < N; ++i) {
    message += msg::kVariantStart;
    message += names[i];
    message += msg::kVariantOpen;
    message += names[i];
    message += msg::kVariantField;
    message += enum_name;
    message += msg::kVariantPath;
    message += names[i];
    message += msg::kVariantCause;
    message += chain_text(errors[i].get());
  }
  message.resize(std::char_traits<char>::length(message.c_str()));
  return message;
}

// ---- Python -> Value attempts, in the order they are tried --------------------------------

bool convert(PyObject* obj, Value& out, PyRef& rejected);

bool try_null(PyObject* obj, Value& out, PyRef& rejected) {
  if (obj == Py_None) {
    out = Value::null();
    return true;
  }
  return reject(rejected, mismatch_error(obj, msg::kTargetNoneType));
}

bool is_numpy_bool_type(PyTypeObject* tp) {
  PyRef module = PyRef::steal(PyType_GetModuleName(tp));
  if (!module) {
    PyErr_Clear();
    return false;
  }
  if (!PyUnicode_Check(module.get()) || !PyUnicode_EqualToUTF8AndSize(module.get(), "numpy", 5)) {
    return false;
  }
  PyRef name = PyRef::steal(PyType_GetName(tp));
  if (!name) {
    PyErr_Clear();
    return false;
  }
  return PyUnicode_Check(name.get()) &&
         (PyUnicode_EqualToUTF8(name.get(), "bool_") || PyUnicode_EqualToUTF8(name.get(), "bool"));
}

bool try_boolean(PyObject* obj, Value& out, PyRef& rejected) {
  PyTypeObject* tp = Py_TYPE(obj);
  if (tp == &PyBool_Type) {
    out = Value::boolean(obj == Py_True);
    return true;
  }
  if (!is_numpy_bool_type(tp)) return reject(rejected, mismatch_error(obj, msg::kTargetBool));
  inquiry truth = tp->tp_as_number ? tp->tp_as_number->nb_bool : nullptr;
  if (!truth) {
    const std::string type_text = str_or(reinterpret_cast<PyObject*>(tp), msg::kUnprintableType);
    return reject(rejected, new_type_error(msg::kNoBoolStart + type_text + msg::kNoBoolEnd));
  }
  const int r = truth(obj);
  if (r == 0 || r == 1) {
    out = Value::boolean(r == 1);
    return true;
  }
  return reject(rejected, take_exception_resuming_panic());
}

// The text of a str (exact or subclass), for the String and S forms.
bool try_text(PyObject* obj, std::string& text, PyRef& rejected) {
  if (!PyUnicode_Check(obj)) return reject(rejected, mismatch_error(obj, msg::kTargetString));
  if (!value_text(obj, text)) return reject(rejected, take_exception_resuming_panic());
  return true;
}

bool try_string(PyObject* obj, Value& out, PyRef& rejected) {
  std::string text;
  if (!try_text(obj, text, rejected)) return false;
  if (!rejected) out = Value::string(std::move(text));
  return true;
}

bool try_i64(PyObject* obj, Value& out, PyRef& rejected) {
  const long v = PyLong_AsLong(obj);
  if (v == -1 && PyErr_Occurred()) return reject(rejected, take_exception_resuming_panic());
  out = Value::integer(v);
  return true;
}

bool try_f64(PyObject* obj, Value& out, PyRef& rejected) {
  const double d = PyFloat_CheckExact(obj) ? PyFloat_AS_DOUBLE(obj) : PyFloat_AsDouble(obj);
  if (d == -1.0 && PyErr_Occurred()) return reject(rejected, take_exception_resuming_panic());
  out = Value::floating(d);
  return true;
}

// Converts one item of a sequence into a new element; an item that does not convert
// rejects the whole vector with its reason.
bool collect_one(PyObject* item, vrel::VectorBuilder& items, PyRef& rejected) {
  Value v;
  if (!convert(item, v, rejected)) return false;
  if (!rejected) items.push(std::move(v));
  return true;
}

// A plain number item becomes its element right in its cell.
[[gnu::always_inline]] inline bool collect_plain_number(PyObject* item,
                                                        vrel::VectorBuilder& items) {
  return take_plain_number(item, [&](auto make) { items.emplace(make); });
}

// Converts every item of a sequence into `out`. Runs under the interpreter's recursion
// check, so that nesting deeper than it allows is a RecursionError rather than a native
// stack overflow.
bool collect_items(PyObject* seq, Value& out, PyRef& rejected) {
  RecursionGuard guard(msg::kWhileConvertingPython);
  if (!guard) return false;
  // The reported length may be false, so elements are charged as they come: the builder
  // allocates ahead at most about as many cells as were appended, and a bounded reserve.
  ElementCharge charge(0);
  vrel::VectorBuilder items(reported_size(seq));
  LoopWork work;
  bool failed = false;
  const bool complete = for_each_item(seq, [&](PyRef item) {
    charge.before(items.size());
    work.element();
    if (collect_plain_number(item.get(), items)) return true;
    failed = !collect_one(item.get(), items, rejected);
    return !failed && !rejected;
  });
  if (failed) return false;
  if (complete) {
    work.finish();
    out = items.finish();
    return true;
  }
  // Stopped by an item that does not convert, or by the iteration's own error.
  if (!rejected) rejected = take_exception_resuming_panic();
  return true;
}

// The same for an exact list or tuple, read by index: what their iterators would yield,
// including items appended or removed by Python code that an item's conversion runs.
bool collect_list_items(PyObject* seq, Value& out, PyRef& rejected) {
  RecursionGuard guard(msg::kWhileConvertingPython);
  if (!guard) return false;
  const bool is_list = PyList_CheckExact(seq);
  ElementCharge charge(static_cast<std::size_t>(Py_SIZE(seq)));
  vrel::VectorBuilder items(static_cast<std::size_t>(Py_SIZE(seq)));
  // The work is counted a block of kConversionWorkBatch items at a time, before the block.
  // A count may run a signal handler, and an item's conversion Python code, that change the
  // sequence: its size and its item array (a list's moves as it grows) are read again after
  // each (a plain number's conversion runs none).
  const auto item_array = [&] {
    return is_list ? reinterpret_cast<PyListObject*>(seq)->ob_item
                   : reinterpret_cast<PyTupleObject*>(seq)->ob_item;
  };
  Py_ssize_t i = 0;
  while (i < Py_SIZE(seq)) {
    count_conversion_work(std::min<Py_ssize_t>(Py_SIZE(seq) - i, kConversionWorkBatch));
    Py_ssize_t end = std::min<Py_ssize_t>(i + kConversionWorkBatch, Py_SIZE(seq));
    PyObject** array = item_array();
    for (; i < end; ++i) {
      charge.before(items.size());
      // Borrowed: a plain number's conversion runs no Python code that could drop it. Any
      // other item is held while it is converted.
      PyObject* item = array[i];
      if (collect_plain_number(item, items)) continue;
      PyRef held = PyRef::borrow(item);
      if (!collect_one(held.get(), items, rejected)) return false;
      if (rejected) return true;
      end = std::min<Py_ssize_t>(end, Py_SIZE(seq));
      array = item_array();
    }
  }
  out = items.finish();
  return true;
}

bool try_vector(PyObject* obj, Value& out, PyRef& rejected) {
  if (PyUnicode_Check(obj)) return reject(rejected, new_type_error(msg::kStrToVec));
  if (!PySequence_Check(obj)) return reject(rejected, mismatch_error(obj, msg::kTargetSequence));
  return collect_items(obj, out, rejected);
}

using Try = bool (*)(PyObject*, Value&, PyRef&);

// When every form was rejected: the combined TypeError, made from the reasons.
bool reject_all(const std::array<PyRef, 6>& errors, PyRef& rejected) {
  return reject(rejected,
                new_type_error(combined_message(msg::kValueEnum, msg::kValueVariants, errors)));
}

// Every form in order; the first that applies wins.
bool convert_slow(PyObject* obj, Value& out, PyRef& rejected) {
  constexpr Try attempts[6] = {try_null, try_boolean, try_string, try_i64, try_f64, try_vector};
  std::array<PyRef, 6> errors;
  for (std::size_t i = 0; i < 6; ++i) {
    if (!attempts[i](obj, out, errors[i])) return false;
    if (!errors[i]) return true;
  }
  return reject_all(errors, rejected);
}

// Python object -> Value under the attempt convention above. Fast paths for the exact
// built-in types, whose earlier attempts could only fail without side effects; anything
// unusual falls back to the full sequence of attempts.
bool convert(PyObject* obj, Value& out, PyRef& rejected) {
  PyTypeObject* tp = Py_TYPE(obj);
  if (obj == Py_None) {
    out = Value::null();
    return true;
  }
  if (tp == &PyBool_Type) {
    out = Value::boolean(obj == Py_True);
    return true;
  }
  if (tp == &PyLong_Type) {
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (!overflow) {
      out = Value::integer(v);
      return true;
    }
    const double d = PyLong_AsDouble(obj);
    if (d == -1.0 && PyErr_Occurred()) {
      PyErr_Clear();
      return convert_slow(obj, out, rejected);
    }
    out = Value::floating(d);
    return true;
  }
  if (tp == &PyFloat_Type) {
    out = Value::floating(PyFloat_AS_DOUBLE(obj));
    return true;
  }
  if (tp == &PyUnicode_Type) {
    std::string text;
    if (value_text(obj, text)) {
      out = Value::string(std::move(text));
      return true;
    }
    PyErr_Clear();
    return convert_slow(obj, out, rejected);
  }
  if (tp == &PyList_Type || tp == &PyTuple_Type) {
    PyRef vector_error;
    if (!collect_list_items(obj, out, vector_error)) return false;
    if (!vector_error) return true;
    // Only now explain why every form failed. For a list or tuple the other forms fail
    // without running any Python code, so trying them after the vector changes nothing.
    std::array<PyRef, 6> errors;
    constexpr Try others[5] = {try_null, try_boolean, try_string, try_i64, try_f64};
    for (std::size_t i = 0; i < 5; ++i) {
      if (!others[i](obj, out, errors[i])) return false;
    }
    errors[5] = std::move(vector_error);
    return reject_all(errors, rejected);
  }
  return convert_slow(obj, out, rejected);
}

// ---- Identifier attempts ---------------------------------------------------------------------

bool try_u(PyObject* obj, Identifier& out, PyRef& rejected) {
  PyRef index;
  PyObject* number = obj;
  if (!PyLong_Check(obj)) {
    index = PyRef::steal(PyNumber_Index(obj));
    if (!index) return reject(rejected, take_exception_resuming_panic());
    number = index.get();
  }
  const unsigned long long v = PyLong_AsUnsignedLongLong(number);
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    return reject(rejected, take_exception_resuming_panic());
  }
  out = Identifier::u(v);
  return true;
}

bool try_s(PyObject* obj, Identifier& out, PyRef& rejected) {
  std::string text;
  if (!try_text(obj, text, rejected)) return false;
  if (!rejected) out = Identifier::s(std::move(text));
  return true;
}

// ---- Value -> Python -------------------------------------------------------------------------

[[noreturn, gnu::cold, gnu::noinline]] void api_call_failed() {
  PyErr_Print();
  vrel::raise_fatal(msg::kApiCallFailed);
}

PyRef checked(PyObject* created) {
  if (!created) api_call_failed();
  return PyRef::steal(created);
}

bool is_ascii(const std::string& s) noexcept {
  const char* p = s.data();
  const std::size_t n = s.size();
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    std::uint64_t word;
    std::memcpy(&word, p + i, 8);
    if (word & 0x8080808080808080u) return false;
  }
  for (; i < n; ++i) {
    if (static_cast<unsigned char>(p[i]) & 0x80) return false;
  }
  return true;
}

// Value -> Python under the contract of value_to_python. `charged`: whether the texts and
// lists made are charged (asked once per conversion, since most have nothing to charge).
class ToPython {
 public:
  explicit ToPython(bool charged) noexcept : charged_(charged) {}

  PyRef convert(const Value& value, bool nested) {
    switch (value.kind()) {
      case vrel::ValueKind::Null:
        return PyRef::borrow(Py_None);
      case vrel::ValueKind::Boolean:
        return PyRef::borrow(value.as_boolean() ? Py_True : Py_False);
      case vrel::ValueKind::String:
        return text(value.as_string());
      case vrel::ValueKind::Number: {
        const vrel::Number n = value.as_number();
        return checked(n.is_int() ? PyLong_FromLongLong(n.as_int())
                                  : PyFloat_FromDouble(n.as_float()));
      }
      case vrel::ValueKind::Vector:
        return list(value.as_vector());
      case vrel::ValueKind::Function:
        break;
    }
    PyRef err = new_type_error(msg::kFunctionToPython);
    if (!err) return PyRef();
    if (nested) {
      // Inside a vector the element's conversion must succeed: its failure is fatal.
      vrel::raise_fatal(msg::kUnwrapErr + python_error_debug(err.get()));
    }
    PyErr_SetRaisedException(err.release());
    return PyRef();
  }

 private:
  [[gnu::always_inline]] PyRef text(const std::string& s) {
    if (charged_) vrel::charge_memory(s.size());
    if (s.size() >> kTextWorkShift) count_conversion_work(s.size() >> kTextWorkShift);
    if (is_ascii(s)) {
      // Most texts are ASCII: copied straight into a new compact str, without decoding.
      PyRef text = checked(PyUnicode_New(static_cast<Py_ssize_t>(s.size()), 127));
      std::memcpy(PyUnicode_1BYTE_DATA(text.get()), s.data(), s.size());
      return text;
    }
    return checked(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace"));
  }

  PyRef list(const Value::Vector& items) {
    RecursionGuard guard(msg::kWhileConvertingVrel);
    if (!guard) return PyRef();
    if (charged_) vrel::charge_memory(element_bytes(items.size()));
    const std::size_t n = items.size();
    PyRef list = checked(PyList_New(static_cast<Py_ssize_t>(n)));
    PyObject** slots = reinterpret_cast<PyListObject*>(list.get())->ob_item;
    // Counted a block at a time, before the block (a count may run a signal handler): one
    // count per kConversionWorkBatch elements keeps the per-element loop to the conversion.
    for (std::size_t start = 0; start < n; start += kConversionWorkBatch) {
      const std::size_t end = std::min<std::size_t>(n, start + kConversionWorkBatch);
      count_conversion_work(static_cast<std::int64_t>(end - start));
      for (std::size_t i = start; i < end; ++i) {
        const Value& element = *items[i];
        const vrel::ValueKind kind = element.kind();
        PyObject* item;
        // Numbers and texts, the common elements, without the call through convert.
        if (kind == vrel::ValueKind::Number) {
          const vrel::Number number = element.as_number();
          item = number.is_int() ? PyLong_FromLongLong(number.as_int())
                                 : PyFloat_FromDouble(number.as_float());
          if (!item) [[unlikely]]
            api_call_failed();
        } else if (kind == vrel::ValueKind::String) {
          item = text(element.as_string()).release();
        } else {
          item = convert(element, true).release();
          if (!item) return PyRef();
        }
        slots[i] = item;
      }
    }
    return list;
  }

  bool charged_;
};

}  // namespace

bool extract_value(PyObject* obj, Value& out) {
  PyRef rejected;
  if (!convert(obj, out, rejected)) return false;
  if (!rejected) return true;
  // Raised as PyErr_SetString would: chained to the exception being handled, if any.
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(rejected.get())), rejected.get());
  return false;
}

ChargedConversion::ChargedConversion() noexcept : previous_(std::exchange(tl_charged, true)) {}
ChargedConversion::~ChargedConversion() { tl_charged = previous_; }

bool extract_identifier(PyObject* obj, Identifier& out) {
  if (PyUnicode_CheckExact(obj)) {
    std::string text;
    if (utf8_text(obj, text)) {
      out = Identifier::s(std::move(text));
      return true;
    }
    PyErr_Clear();
  }
  std::array<PyRef, 2> errors;
  if (!try_u(obj, out, errors[0])) return false;
  if (!errors[0]) return true;
  if (!try_s(obj, out, errors[1])) return false;
  if (!errors[1]) return true;
  return raise_type_error(
      combined_message(msg::kIdentifierEnum, msg::kIdentifierVariants, errors).c_str());
}

bool collect_statements(PyObject* seq, StatementList& out) {
  if (PyList_CheckExact(seq) || PyTuple_CheckExact(seq)) {
    // An exact list or tuple is read by index, without the iterator protocol (a program
    // may hold many thousands of statements). Nothing here runs Python code, so the list
    // cannot change meanwhile: the same items, the same first failure as iterating it.
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq);
    PyObject** items = PySequence_Fast_ITEMS(seq);
    out.holders.reserve(static_cast<std::size_t>(n));
    out.program.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject* item = items[i];
      const bool plain = Py_IS_TYPE(item, g_statement_type) && is_built(item);
      if (!plain && !check_instance(item, g_statement_type, msg::kTargetStatement)) return false;
      out.holders.push_back(PyRef::borrow(item));
      out.program.push_back(&statement_of(item));
    }
    return true;
  }
  if (!collect_instances(seq, g_statement_type, msg::kTargetStatement, out.holders,
                         [](PyRef item) { return item; })) {
    return false;
  }
  out.program.reserve(out.holders.size());
  for (const PyRef& holder : out.holders) out.program.push_back(&statement_of(holder.get()));
  return true;
}

namespace {

// Numbers and booleans, the common values, made right where they are asked for: they have
// nothing to charge or count. False for any other value.
[[gnu::always_inline]] inline bool scalar_to_python(const Value& value, PyRef& out) {
  switch (value.kind()) {
    case vrel::ValueKind::Number: {
      const vrel::Number n = value.as_number();
      out =
          checked(n.is_int() ? PyLong_FromLongLong(n.as_int()) : PyFloat_FromDouble(n.as_float()));
      return true;
    }
    case vrel::ValueKind::Boolean:
      out = PyRef::borrow(value.as_boolean() ? Py_True : Py_False);
      return true;
    default:
      return false;
  }
}

}  // namespace

PyRef value_to_python(const Value& value) {
  PyRef scalar;
  if (scalar_to_python(value, scalar)) return scalar;
  const vrel::ValueKind kind = value.kind();
  const bool large = kind == vrel::ValueKind::String || kind == vrel::ValueKind::Vector;
  return ToPython(large && vrel::memory_charged()).convert(value, false);
}

PyRef value_to_python(const vrel::Machine& machine, const Value& value) {
  PyRef scalar;
  if (scalar_to_python(value, scalar)) return scalar;
  const vrel::ValueKind kind = value.kind();
  if (kind != vrel::ValueKind::String && kind != vrel::ValueKind::Vector) {
    return ToPython(false).convert(value, false);
  }
  PyRef result;
  within_memory_limit(machine, [&] { result = value_to_python(value); });
  return result;
}

void flush_conversion_work() {
  vrel::count_host_work(static_cast<std::uint64_t>(std::exchange(tl_conversion_work, 0)));
}

PyRef identifier_to_python(const Identifier& id) {
  if (id.is_u()) return PyRef::steal(PyLong_FromUnsignedLongLong(id.as_u()));
  const std::string& text = id.as_s();
  return PyRef::steal(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
}

}  // namespace vrelpy
