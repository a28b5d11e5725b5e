// The binding's errors: the panic exception, fetched exceptions, debug forms of Python
// errors, type-mismatch errors and the guard around every entry point.
#pragma once

#include <new>
#include <stdexcept>
#include <string>

#include "runtime/interruption.hpp"
#include "support/messages.hpp"
#include "support/py_helpers.hpp"
#include "support/py_ref.hpp"
#include "vrel/fatal.hpp"

namespace vrelpy {

// The process-wide `pyo3_runtime.PanicException` type (borrowed; created on first use).
// Null with an exception set if it cannot be created.
PyObject* panic_exception_type() noexcept;

// Sets a PanicException carrying `message` ("panic from Rust code" when empty).
void set_panic(const std::string& message) noexcept;

// Takes the pending exception after an API call reported failure. None pending: a new
// SystemError "attempted to fetch exception but none was set". A PanicException is not an
// error but a fatal error crossing Python: it is reported on standard error and resumed as
// vrel::FatalError (thrown) with its message. Never null.
PyRef take_exception_resuming_panic();

// After a failure, when the pending exception must reach the caller unchanged: a pending
// PanicException is resumed as above (thrown); anything else stays pending. Returns false.
bool resume_if_panic();

// "PyErr { type: <repr of type>, value: <repr>, traceback: None | Some("<quoted text>") }"
std::string python_error_debug(PyObject* exc);

// The display text "<qualified type name>: <str(exc)>".
std::string exception_display(PyObject* exc);

// A new TypeError "'{type}' object cannot be converted to '{target}'" (not raised); null
// with an exception pending on failure.
PyRef mismatch_error(PyObject* obj, const char* target);
// Raises that TypeError; always returns false.
bool raise_mismatch(PyObject* obj, const char* target);

// Releases Python references whose owners died on a thread without the interpreter lock.
void drain_pending_releases() noexcept;
// Releases `obj` (owned) now when this thread holds the interpreter lock, else leaves it to
// the next thread that enters the binding with the lock.
void release_when_locked(PyObject* obj) noexcept;

// Sets the PanicException of a caught fatal error, with its place and cause (defined in
// error_places.cpp).
void set_panic_for(vrel::FatalError& error) noexcept;

// How many entry points this thread is inside. The interpreter calls every entry point
// with its lock held and none gives the lock up, so while the count is above zero this
// thread holds the lock: cheaper to read than asking the interpreter.
inline constinit thread_local int tl_entry_depth __attribute__((tls_model("initial-exec"))) = 0;

// True when this thread holds the interpreter lock.
inline bool holds_interpreter_lock() noexcept { return tl_entry_depth > 0 || PyGILState_Check(); }

// Runs the body of an entry point called by the interpreter. A FatalError becomes a pending
// PanicException, except that an interrupted run ends with the exception of the signal
// handler that stopped it; no C++ exception ever escapes into the interpreter. `Result` is
// the entry point's return type (PyObject*, int); `failed` is its failure value.
//
// The one thing that must pass through is the forced unwind of a thread ending: CPython
// ends a daemon thread that wants the interpreter lock back during shutdown with
// pthread_exit, which unwinds every frame. Swallowing it makes the thread carry on without
// a thread state, and a noexcept frame on its way would terminate the process. So neither
// this guard nor the entry points that call it are noexcept, and the guard has no catch-all:
// everything the core and the C++ library throw derives from std::exception or is a
// FatalError, and a forced unwind, which is neither, passes the typed handlers untouched.
// Makes a caught fatal error the pending exception, as guard_entry does: the exception of the
// signal handler or function that interrupted the run, or a PanicException.
inline void raise_fatal_error(vrel::FatalError& e) noexcept {
  if (e.interrupted()) {
    restore_interruption(e.message());
  } else {
    set_panic_for(e);
  }
}

template <class Result, class Body>
Result guard_entry(Result failed, Body&& body) {
  drain_pending_releases();
  struct Depth {
    Depth() noexcept { ++tl_entry_depth; }
    ~Depth() { --tl_entry_depth; }
  } depth;
  try {
    return body();
  } catch (vrel::FatalError& e) {
    raise_fatal_error(e);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {  // a size past what any allocation could hold
    PyErr_NoMemory();
  } catch (const std::exception&) {
    PyErr_SetString(PyExc_SystemError, msg::kUnexpectedCxx);
  }
  return failed;
}

}  // namespace vrelpy
