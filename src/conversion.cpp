// Conversion of values and identifiers between Python objects and the core.
#include "conversion.hpp"

#include <array>
#include <cstdint>
#include <cstring>
#include <string>

#include "classes.hpp"
#include "errors.hpp"
#include "recursion_guard.hpp"
#include "vrel/fatal.hpp"

namespace vrelpy {
namespace {

using vrel::Identifier;
using vrel::Value;

// Outcome of one conversion attempt. Failed: the attempt did not apply and `err` says
// why; the next form is tried. Aborted: an exception is pending that must reach the caller
// unchanged (the recursion limit), not be folded into the combined message.
enum class Outcome { Ok, Failed, Aborted };

PyRef type_error(const std::string& message) {
  return PyRef::steal(PyObject_CallFunction(PyExc_TypeError, "s#", message.data(),
                                            static_cast<Py_ssize_t>(message.size())));
}

// "<display>, caused by <display of __cause__>, caused by ..."
std::string chain_text(PyObject* exc) {
  std::string text = exception_display(exc);
  PyRef cause = PyRef::steal(PyException_GetCause(exc));
  // Cause chains are finite in practice, but a hand-made cycle must not hang us.
  for (int hops = 0; cause && hops < 64; ++hops) {
    text += ", caused by ";
    text += exception_display(cause.get());
    cause = PyRef::steal(PyException_GetCause(cause.get()));
  }
  return text;
}

// The combined failure: one line per alternative with the reason it failed.
template <std::size_t N>
void raise_combined(const char* enum_name, const std::array<const char*, N>& names,
                    const std::array<PyRef, N>& errors) {
  std::string message = std::string("failed to extract enum ") + enum_name + " ('";
  for (std::size_t i = 0; i < N; ++i) {
    if (i) message += " | ";
    message += names[i];
  }
  message += "')";
  for (std::size_t i = 0; i < N; ++i) {
    message += "\n- variant ";
    message += names[i];
    message += " (";
    message += names[i];
    message += "): TypeError: failed to extract field ";
    message += enum_name;
    message += "::";
    message += names[i];
    message += ".0, caused by ";
    message += errors[i] ? chain_text(errors[i].get()) : std::string("<unknown error>");
  }
  PyErr_SetString(PyExc_TypeError, message.c_str());
}

bool utf8_text(PyObject* str, std::string& out) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(str, &size);
  if (!data) return false;
  out.assign(data, static_cast<std::size_t>(size));
  return true;
}

// ---- Python -> Value attempts, in the order they are tried --------------------------------

Outcome extract(PyObject* obj, Value& out);

Outcome try_null(PyObject* obj, Value& out, PyRef& err) {
  if (obj == Py_None) {
    out = Value::null();
    return Outcome::Ok;
  }
  err = mismatch_error(obj, "NoneType");
  return Outcome::Failed;
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
  return PyUnicode_Check(name.get()) && (PyUnicode_EqualToUTF8(name.get(), "bool_") ||
                                         PyUnicode_EqualToUTF8(name.get(), "bool"));
}

Outcome try_boolean(PyObject* obj, Value& out, PyRef& err) {
  PyTypeObject* tp = Py_TYPE(obj);
  if (tp == &PyBool_Type) {
    out = Value::boolean(obj == Py_True);
    return Outcome::Ok;
  }
  if (!is_numpy_bool_type(tp)) {
    err = mismatch_error(obj, "PyBool");
    return Outcome::Failed;
  }
  inquiry truth = tp->tp_as_number ? tp->tp_as_number->nb_bool : nullptr;
  if (!truth) {
    err = type_error("object of type '" + str_or(reinterpret_cast<PyObject*>(tp), "?") +
                     "' does not define a '__bool__' conversion");
    return Outcome::Failed;
  }
  const int r = truth(obj);
  if (r == 0 || r == 1) {
    out = Value::boolean(r == 1);
    return Outcome::Ok;
  }
  err = take_exception();
  return Outcome::Failed;
}

// The text of a str (exact or subclass), for the String and S forms.
Outcome try_text(PyObject* obj, std::string& text, PyRef& err) {
  if (!PyUnicode_Check(obj)) {
    err = mismatch_error(obj, "PyString");
    return Outcome::Failed;
  }
  if (!utf8_text(obj, text)) {
    err = take_exception();
    return Outcome::Failed;
  }
  return Outcome::Ok;
}

Outcome try_string(PyObject* obj, Value& out, PyRef& err) {
  std::string text;
  const Outcome o = try_text(obj, text, err);
  if (o == Outcome::Ok) out = Value::string(std::move(text));
  return o;
}

Outcome try_i64(PyObject* obj, Value& out, PyRef& err) {
  const long v = PyLong_AsLong(obj);
  if (v == -1 && PyErr_Occurred()) {
    err = take_exception();
    return Outcome::Failed;
  }
  out = Value::integer(v);
  return Outcome::Ok;
}

Outcome try_f64(PyObject* obj, Value& out, PyRef& err) {
  const double d = PyFloat_CheckExact(obj) ? PyFloat_AS_DOUBLE(obj) : PyFloat_AsDouble(obj);
  if (d == -1.0 && PyErr_Occurred()) {
    err = take_exception();
    return Outcome::Failed;
  }
  out = Value::floating(d);
  return Outcome::Ok;
}

// Converts one item of a sequence into a new element.
Outcome collect_one(PyObject* item, vrel::VectorBuilder& items, PyRef& err) {
  Value v;
  const Outcome o = extract(item, v);
  if (o == Outcome::Failed) err = take_exception();
  if (o == Outcome::Ok) items.push(std::move(v));
  return o;
}

// A plain number item becomes its element right in its cell.
bool collect_plain_number(PyObject* item, vrel::VectorBuilder& items) {
  return take_plain_number(item, [&](auto make) { items.emplace(make); });
}

// Converts every item of a sequence into `out`. Runs under the interpreter's recursion
// check, so that nesting deeper than it allows is a RecursionError rather than a native
// stack overflow.
Outcome collect_items(PyObject* seq, Value& out, PyRef& err) {
  RecursionGuard guard(" while converting a Python value");
  if (!guard) return Outcome::Aborted;
  vrel::VectorBuilder items(reported_size(seq));
  PyRef it = PyRef::steal(PyObject_GetIter(seq));
  if (!it) {
    err = take_exception();
    return Outcome::Failed;
  }
  while (PyRef item = PyRef::steal(PyIter_Next(it.get()))) {
    if (collect_plain_number(item.get(), items)) continue;
    const Outcome o = collect_one(item.get(), items, err);
    if (o != Outcome::Ok) return o;
  }
  if (PyErr_Occurred()) {
    err = take_exception();
    return Outcome::Failed;
  }
  out = items.finish();
  return Outcome::Ok;
}

// The same for an exact list or tuple, read by index: what their iterators would yield,
// including items appended or removed by Python code that an item's conversion runs.
Outcome collect_list_items(PyObject* seq, Value& out, PyRef& err) {
  RecursionGuard guard(" while converting a Python value");
  if (!guard) return Outcome::Aborted;
  const bool is_list = PyList_CheckExact(seq);
  vrel::VectorBuilder items(static_cast<std::size_t>(Py_SIZE(seq)));
  for (Py_ssize_t i = 0; i < Py_SIZE(seq); ++i) {
    // Borrowed: a plain number's conversion runs no Python code that could drop it. Any
    // other item is held while it is converted.
    PyObject* item = is_list ? PyList_GET_ITEM(seq, i) : PyTuple_GET_ITEM(seq, i);
    if (collect_plain_number(item, items)) continue;
    PyRef held = PyRef::borrow(item);
    const Outcome o = collect_one(held.get(), items, err);
    if (o != Outcome::Ok) return o;
  }
  out = items.finish();
  return Outcome::Ok;
}

Outcome try_vector(PyObject* obj, Value& out, PyRef& err) {
  if (PyUnicode_Check(obj)) {
    err = type_error("Can't extract `str` to `Vec`");
    return Outcome::Failed;
  }
  if (!PySequence_Check(obj)) {
    err = mismatch_error(obj, "Sequence");
    return Outcome::Failed;
  }
  return collect_items(obj, out, err);
}

constexpr std::array<const char*, 6> kValueNames = {"Null", "Boolean", "String",
                                                    "I64",  "F64",     "Vector"};

// Every form in order; the first that applies wins. Failed leaves the combined TypeError
// pending, Aborted the exception that stopped the attempt.
using Try = Outcome (*)(PyObject*, Value&, PyRef&);

Outcome extract_slow(PyObject* obj, Value& out) {
  constexpr Try attempts[6] = {try_null, try_boolean, try_string, try_i64, try_f64, try_vector};
  std::array<PyRef, 6> errors;
  for (std::size_t i = 0; i < 6; ++i) {
    const Outcome o = attempts[i](obj, out, errors[i]);
    if (o != Outcome::Failed) return o;
  }
  raise_combined("PyValue", kValueNames, errors);
  return Outcome::Failed;
}

// Fast paths for the exact built-in types, whose earlier attempts could only fail without
// side effects; anything unusual falls back to the full sequence of attempts.
Outcome extract(PyObject* obj, Value& out) {
  PyTypeObject* tp = Py_TYPE(obj);
  if (obj == Py_None) {
    out = Value::null();
    return Outcome::Ok;
  }
  if (tp == &PyBool_Type) {
    out = Value::boolean(obj == Py_True);
    return Outcome::Ok;
  }
  if (tp == &PyLong_Type) {
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (!overflow) {
      out = Value::integer(v);
      return Outcome::Ok;
    }
    const double d = PyLong_AsDouble(obj);
    if (d == -1.0 && PyErr_Occurred()) {
      PyErr_Clear();
      return extract_slow(obj, out);
    }
    out = Value::floating(d);
    return Outcome::Ok;
  }
  if (tp == &PyFloat_Type) {
    out = Value::floating(PyFloat_AS_DOUBLE(obj));
    return Outcome::Ok;
  }
  if (tp == &PyUnicode_Type) {
    std::string text;
    if (utf8_text(obj, text)) {
      out = Value::string(std::move(text));
      return Outcome::Ok;
    }
    PyErr_Clear();
    return extract_slow(obj, out);
  }
  if (tp == &PyList_Type || tp == &PyTuple_Type) {
    PyRef vector_error;
    const Outcome o = collect_list_items(obj, out, vector_error);
    if (o != Outcome::Failed) return o;
    // Only now explain why every form failed. For a list or tuple the other forms fail
    // without running any Python code, so trying them after the vector changes nothing.
    std::array<PyRef, 6> errors;
    constexpr Try others[5] = {try_null, try_boolean, try_string, try_i64, try_f64};
    for (std::size_t i = 0; i < 5; ++i) others[i](obj, out, errors[i]);
    errors[5] = std::move(vector_error);
    raise_combined("PyValue", kValueNames, errors);
    return Outcome::Failed;
  }
  return extract_slow(obj, out);
}

// ---- Identifier attempts ---------------------------------------------------------------------

Outcome try_u(PyObject* obj, Identifier& out, PyRef& err) {
  PyRef index;
  PyObject* number = obj;
  if (!PyLong_Check(obj)) {
    index = PyRef::steal(PyNumber_Index(obj));
    if (!index) {
      err = take_exception();
      return Outcome::Failed;
    }
    number = index.get();
  }
  const unsigned long long v = PyLong_AsUnsignedLongLong(number);
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    err = take_exception();
    return Outcome::Failed;
  }
  out = Identifier::u(v);
  return Outcome::Ok;
}

Outcome try_s(PyObject* obj, Identifier& out, PyRef& err) {
  std::string text;
  const Outcome o = try_text(obj, text, err);
  if (o == Outcome::Ok) out = Identifier::s(std::move(text));
  return o;
}

// ---- Value -> Python -------------------------------------------------------------------------

[[noreturn]] void api_call_failed() {
  PyErr_Print();
  vrel::raise_fatal("Python API call failed");
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

PyRef to_python(const Value& value, bool nested) {
  switch (value.kind()) {
    case vrel::ValueKind::Null:
      return PyRef::borrow(Py_None);
    case vrel::ValueKind::Boolean:
      return PyRef::borrow(value.as_boolean() ? Py_True : Py_False);
    case vrel::ValueKind::String: {
      const std::string& s = value.as_string();
      if (is_ascii(s)) {
        // Most texts are ASCII: copied straight into a new compact str, without decoding.
        PyRef text = checked(PyUnicode_New(static_cast<Py_ssize_t>(s.size()), 127));
        std::memcpy(PyUnicode_1BYTE_DATA(text.get()), s.data(), s.size());
        return text;
      }
      return checked(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace"));
    }
    case vrel::ValueKind::Number: {
      const vrel::Number n = value.as_number();
      return checked(n.is_int() ? PyLong_FromLongLong(n.as_int()) : PyFloat_FromDouble(n.as_float()));
    }
    case vrel::ValueKind::Vector: {
      const Value::Vector& items = value.as_vector();
      RecursionGuard guard(" while converting a vrel value");
      if (!guard) return PyRef();
      PyRef list = checked(PyList_New(static_cast<Py_ssize_t>(items.size())));
      for (std::size_t i = 0; i < items.size(); ++i) {
        PyRef item = to_python(*items[i], true);
        if (!item) return PyRef();
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item.release());
      }
      return list;
    }
    case vrel::ValueKind::Function:
      break;
  }
  PyRef err = type_error("Cannot convert a Rust trait to Python");
  if (!err) return PyRef();
  if (nested) {
    // Inside a vector the element's conversion must succeed: its failure is fatal.
    vrel::raise_fatal("called `Result::unwrap()` on an `Err` value: " + python_error_debug(err.get()));
  }
  PyErr_SetRaisedException(err.release());
  return PyRef();
}

}  // namespace

bool extract_value(PyObject* obj, Value& out) { return extract(obj, out) == Outcome::Ok; }

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
  if (try_u(obj, out, errors[0]) == Outcome::Ok) return true;
  if (try_s(obj, out, errors[1]) == Outcome::Ok) return true;
  raise_combined("PyIdentifier", std::array<const char*, 2>{"U", "S"}, errors);
  return false;
}

PyRef value_to_python(const Value& value) { return to_python(value, false); }

PyRef identifier_to_python(const Identifier& id) {
  if (id.is_u()) return PyRef::steal(PyLong_FromUnsignedLongLong(id.as_u()));
  const std::string& text = id.as_s();
  return PyRef::steal(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
}

}  // namespace vrelpy
