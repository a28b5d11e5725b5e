// Conversion of values and identifiers between Python objects and the core.
#pragma once

#include <vector>

#include "py_ref.hpp"
#include "vrel/syntax_tree.hpp"
#include "vrel/value.hpp"

namespace vrelpy {

// Python object -> core Value. Tried in order: None, bool (also numpy booleans), str,
// int within 64 bits, float (or anything with __float__/__index__), sequence (recursively).
// Returns false with a TypeError pending whose message lists why each form failed; a
// nesting too deep for the interpreter's recursion limit raises RecursionError instead.
// May throw vrel::FatalError when Python code run by the conversion lets a panic escape.
bool extract_value(PyObject* obj, vrel::Value& out);

// Python int or str -> Identifier (an int names U, a str names S). Returns false with the
// combined TypeError pending.
bool extract_identifier(PyObject* obj, vrel::Identifier& out);

// Core value -> new Python object (lists for vectors). A function value gives null with
// TypeError "Cannot convert a Rust trait to Python" pending; a function value inside a
// vector is a fatal error (thrown).
PyRef value_to_python(const vrel::Value& value);

// Copies of the trees held by the items of a sequence whose items must all be instances of
// `type` (named `type_name` in errors). A str, a non-sequence or a wrong item raises
// TypeError; false with the exception pending.
template <class Tree>
bool extract_tree_sequence(PyObject* seq, PyTypeObject* type, const char* type_name,
                           std::vector<Tree>& out);

}  // namespace vrelpy
