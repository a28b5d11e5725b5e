// Places of fatal errors on the Python side: the PanicException's attributes (statement,
// node, variable) and notes, the Python exceptions a fatal error carries (its cause), and
// the report switch.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "support/py_ref.hpp"
#include "vrel/fatal.hpp"

namespace vrelpy {

// What the binding attaches to a fatal error it raises or resumes, found again when the error
// reaches an entry point. Released with the interpreter lock (or later, by the next thread
// that has it).
struct PythonErrorDetail final : vrel::FatalError::HostDetail {
  enum class Kind : unsigned char {
    FunctionRaised,     // `exception` is what an installed function raised
    ResultUnconverted,  // `exception` is the conversion's TypeError for `result`
    ResumedPanic,       // `exception` is a PanicException that crossed Python code
  };
  PythonErrorDetail(Kind kind, PyRef exception, PyRef result = PyRef()) noexcept;
  ~PythonErrorDetail() override;

  Kind kind;
  PyObject* exception;  // owned
  PyObject* result;     // owned, or null
};

// Throws a new fatal error with `message` (reported as raise_fatal reports it) that carries
// `detail`.
[[noreturn]] void raise_fatal_with(std::string message, std::shared_ptr<PythonErrorDetail> detail,
                                   std::source_location where = std::source_location::current());

// ---- For entry points and C++ callers that handle fatal errors themselves ------------------

// The place of a caught fatal error as Python objects, made without raising anything: the
// statement path as a tuple (None outside a run), the node path as its data-form text (None
// outside a run), the variable (None where the error is about none) and the note a traceback
// shows ("in statement [2] at ['let'][1]: reading 'x'", None outside a run). False with an
// exception pending if an object cannot be made.
//
// With a subject, the place is that of a rule's failure: the note opens with the rule
// ("in rule 'r', statement [1] at ['let'][1]: reading 'x'") and is made outside a run too.
// The place of a rule given as an expression (run as a let of the rule's name) is told
// inside the expression: no statement, the node path without the let's leading
// "['let'][1]" (None where the let itself failed), and no statement in the note
// ("in rule 'r' at ['binary_op'][0]: reading 'x'").
struct PlaceObjects {
  PyRef statement, node, variable, note;
};
struct PlaceSubject {
  PyObject* rule;   // borrowed: the rule's name
  bool expression;  // the rule was given as an expression
};
bool place_objects(const vrel::ErrorPlace& place, PlaceObjects& out,
                   const PlaceSubject* subject = nullptr);

// The PanicException for a caught fatal error (not raised): its message, its cause (what an
// installed function raised, the inner PanicException of a nested run), and its place, read
// lazily through the attributes and notes (the place is moved out of `error`). Null with an
// exception pending on failure.
PyRef panic_for(vrel::FatalError& error);

// Sets `error` as the pending exception, as every entry point does with a fatal error.
void set_panic_for(vrel::FatalError& error) noexcept;

// Adds the place attributes and notes to the PanicException type (at module initialisation).
bool prepare_panic_type(PyObject* type);

// While one exists on this thread, the notes of places are hidden: the report of a resumed
// panic prints the inner exception exactly as it always did.
class HiddenPlaceNotes {
 public:
  HiddenPlaceNotes() noexcept;
  ~HiddenPlaceNotes();
  HiddenPlaceNotes(const HiddenPlaceNotes&) = delete;
  HiddenPlaceNotes& operator=(const HiddenPlaceNotes&) = delete;

 private:
  bool previous_;
};

// vrelpy.set_error_report(enabled): the module function.
extern PyMethodDef g_error_report_function[];

}  // namespace vrelpy
