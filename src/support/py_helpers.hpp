// The binding's failure convention and the small helpers every file of it shares.
//
// Failure convention (as in CPython's own API): a function that fails returns false, or a
// null pointer / null PyRef, with a Python exception pending, and every caller checks the
// result and passes the failure on the same way, up to the entry point that returns it to
// the interpreter. The one other way out is a fatal error of the core, or a PanicException
// resumed from Python: a thrown vrel::FatalError, caught only by guard_entry. Helpers that
// can resume a panic say so in their name; conversions that run Python code say so in
// their contract.
#pragma once

#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <type_traits>

#include "support/py_ref.hpp"

namespace vrelpy {

// A method-table entry's function: fast-call methods have another signature than
// PyCFunction, and go through a plain function pointer type to say the cast is deliberate.
#define VRELPY_CFUNCTION(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn))

// A new TypeError with `message` (not raised); null with an exception pending on failure.
PyRef new_type_error(std::string_view message);

// Raises TypeError with `message` (read up to its first NUL); always returns false.
bool raise_type_error(const char* message);

// The UTF-8 text of the str `str`; false with an exception pending when it has none
// (lone surrogates).
inline bool utf8_text(PyObject* str, std::string& out) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(str, &size);
  if (!data) return false;
  out.assign(data, static_cast<std::size_t>(size));
  return true;
}

// These never fail: on any failure the error is cleared and the fallback is returned.
// str(obj) as UTF-8.
std::string str_or(PyObject* obj, const char* fallback);
// repr(obj) as UTF-8.
std::string repr_or(PyObject* obj, const char* fallback);
// The qualified name of `obj`'s type, or "<failed to extract type name>".
std::string type_qualname(PyObject* obj);

// Calls `body(PyRef item)` for every item that iterating `iterable` yields; `body` returns
// false to stop. Returns true when the iteration ran to its end; false when `body` stopped
// it (with whatever `body` left pending) or when iterating failed (with that exception
// pending).
template <class Body>
bool for_each_item(PyObject* iterable, Body&& body) {
  PyRef it = PyRef::steal(PyObject_GetIter(iterable));
  if (!it) return false;
  while (PyRef item = PyRef::steal(PyIter_Next(it.get()))) {
    if (!body(std::move(item))) return false;
  }
  return !PyErr_Occurred();
}

// ---- Instances of the module's classes ------------------------------------------------------
// Each class is a heap type whose instances start with PyBuiltHead (classes.hpp) and hold
// one payload member; `Member` names it (&PyExpr::expr).

template <class M>
struct PayloadMember;
template <class S, class P>
struct PayloadMember<P S::*> {
  using Self = S;
  using Payload = P;
};

// A new instance of `type` whose payload is constructed from `args`, marked built; null with
// an exception pending when the allocation fails.
template <auto Member, class... Args>
PyObject* new_instance(PyTypeObject* type, Args&&... args) {
  using M = PayloadMember<decltype(Member)>;
  // A throwing constructor would leave a half-made object: payloads are moved in whole.
  static_assert(std::is_nothrow_constructible_v<typename M::Payload, Args&&...>);
  PyObject* obj = type->tp_alloc(type, 0);
  if (!obj) return nullptr;
  auto* self = reinterpret_cast<typename M::Self*>(obj);
  ::new (static_cast<void*>(&(self->*Member))) typename M::Payload(std::forward<Args>(args)...);
  self->built = true;
  return obj;
}

// tp_dealloc of such a class: destroys the payload of a built instance (memory that was
// only zeroed holds none), frees the instance and drops its reference to the heap type.
template <auto Member>
void dealloc_instance(PyObject* obj) noexcept {
  using M = PayloadMember<decltype(Member)>;
  PyTypeObject* type = Py_TYPE(obj);
  auto* self = reinterpret_cast<typename M::Self*>(obj);
  if (self->built) std::destroy_at(&(self->*Member));
  type->tp_free(obj);
  Py_DECREF(type);
}

// The heap type of `spec`; null with an exception pending on failure.
inline PyTypeObject* type_from_spec(PyType_Spec& spec) {
  return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
}

}  // namespace vrelpy
