// The mapping operations of `Vrel` (entry points for its slots and methods).
#pragma once

#include "support/py_ref.hpp"

namespace vrelpy {

// vm[ident]: like get, but an unbound identifier is KeyError(ident).
PyObject* vrel_subscript(PyObject* self, PyObject* key);
// vm[ident] = value binds, as a let of a literal (a plain function: as Statement.fn);
// del vm[ident] removes the binding (KeyError when unbound).
int vrel_ass_subscript(PyObject* self, PyObject* key, PyObject* value);
Py_ssize_t vrel_length(PyObject* self);
int vrel_contains(PyObject* self, PyObject* key);
// Iterates a snapshot of the identifiers (the list keys() returns).
PyObject* vrel_iter(PyObject* self);
// Always true, as before the machine had a length: an empty machine is still a machine.
int vrel_bool(PyObject* self) noexcept;
PyObject* vrel_keys(PyObject* self, PyObject* unused);
// update(other=(), /, **kwargs): converts everything, then binds it.
PyObject* vrel_update(PyObject* self, PyObject* args, PyObject* kwargs);
// clear(): removes every binding.
PyObject* vrel_clear(PyObject* self, PyObject* unused);
// Pickling and copying a machine is refused with TypeError.
PyObject* vrel_reduce(PyObject* self, PyObject* unused) noexcept;

}  // namespace vrelpy
