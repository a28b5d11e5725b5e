// Naming what failed to convert: the key of a binding, the function whose result it was,
// and the item inside a list that did not convert.
#pragma once

#include "support/py_ref.hpp"

namespace vrelpy {

// After extract_value(obj) failed: the text "'<type>' object cannot be converted to
// 'PyValue'" for the culprit, the first item (inside exact lists and tuples, depth first)
// that does not convert on its own, prefixed "at [i][j]: " when it is an item. Converts
// items again, so only for a failure's message. Null with an exception pending on failure.
PyRef unconvertible_text(PyObject* obj);

// A binding of `key` to `value` failed to convert `value`, with a TypeError pending: replaces
// it by "<prefix>value for <repr(key)>: <unconvertible_text(value)>" whose __cause__ is the
// original. Any other pending exception stays as it is. Always returns false.
bool name_binding_failure(const char* prefix, PyObject* key, PyObject* value);

}  // namespace vrelpy
