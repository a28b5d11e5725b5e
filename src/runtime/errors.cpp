// The binding's errors: the panic exception, fetched exceptions, debug forms of Python
// errors and type-mismatch errors.
#include "runtime/errors.hpp"

#include <cstdio>
#include <string_view>

#include "runtime/error_places.hpp"
#include "vrel/value.hpp"

namespace vrelpy {
namespace {

// Created once, under the interpreter lock, and kept for the life of the process.
PyObject* g_panic_type = nullptr;

// The text PyTraceBack_Print writes for `tb`, read back from an io.StringIO.
bool format_traceback(PyObject* tb, std::string& out) {
  PyRef io = PyRef::steal(PyImport_ImportModule("io"));
  if (!io) return false;
  PyRef buffer = PyRef::steal(PyObject_CallMethod(io.get(), "StringIO", nullptr));
  if (!buffer) return false;
  if (PyTraceBack_Print(tb, buffer.get()) < 0) return false;
  PyRef text = PyRef::steal(PyObject_CallMethod(buffer.get(), "getvalue", nullptr));
  if (!text || !PyUnicode_Check(text.get())) return false;
  return utf8_text(text.get(), out);
}

// Reports the panic `exc` on standard error (unless reports are off) and resumes it as a
// fatal error that carries it: the outer error's cause, and where its place comes from.
[[noreturn]] void resume_panic(PyRef exc) {
  std::string message = str_or(exc.get(), msg::kUnwrappedPanic);
  if (vrel::fatal_reports_enabled()) {
    std::fputs(msg::kResumingPanic, stderr);
    std::fflush(stderr);
    // Printed as it always was: the notes that name its place stay on the exception.
    HiddenPlaceNotes hidden;
    PyErr_SetRaisedException(Py_NewRef(exc.get()));
    PyErr_PrintEx(0);
  }
  vrel::FatalError error(std::move(message));
  error.set_host_detail(
      std::make_shared<PythonErrorDetail>(PythonErrorDetail::Kind::ResumedPanic, std::move(exc)));
  throw error;
}

bool is_panic(PyObject* exc) noexcept {
  PyObject* panic = g_panic_type;
  return panic && Py_IS_TYPE(exc, reinterpret_cast<PyTypeObject*>(panic));
}

}  // namespace

PyObject* panic_exception_type() noexcept {
  if (!g_panic_type) {
    PyObject* type = PyErr_NewExceptionWithDoc(msg::kPanicTypeName, msg::kPanicDoc,
                                               PyExc_BaseException, nullptr);
    if (type && !prepare_panic_type(type)) Py_CLEAR(type);
    g_panic_type = type;
  }
  return g_panic_type;
}

void set_panic(const std::string& message) noexcept {
  PyObject* type = panic_exception_type();
  if (!type) return;  // the creation failure is pending instead
  // No std::string is made here: an allocation failure would end the process.
  const std::string_view text = message.empty() ? std::string_view(msg::kEmptyPanic) : message;
  PyRef value = PyRef::steal(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (!value) return;
  PyErr_SetObject(type, value.get());
}

PyRef take_exception_resuming_panic() {
  PyRef exc = PyRef::steal(PyErr_GetRaisedException());
  if (!exc) {
    PyErr_SetString(PyExc_SystemError, msg::kNoExceptionSet);
    return PyRef::steal(PyErr_GetRaisedException());
  }
  if (is_panic(exc.get())) resume_panic(std::move(exc));
  return exc;
}

bool resume_if_panic() {
  PyErr_SetRaisedException(take_exception_resuming_panic().release());
  return false;
}

std::string exception_display(PyObject* exc) {
  std::string text = type_qualname(exc);
  text += msg::kDisplaySeparator;
  text += str_or(exc, msg::kUnprintableStr);
  return text;
}

std::string python_error_debug(PyObject* exc) {
  std::string out = msg::kDebugType;
  out += repr_or(reinterpret_cast<PyObject*>(Py_TYPE(exc)), msg::kUnprintableTypeRepr);
  out += msg::kDebugValue;
  out += repr_or(exc, msg::kUnprintableException);
  out += msg::kDebugTraceback;
  PyRef tb = PyRef::steal(PyException_GetTraceback(exc));
  if (!tb) {
    out += msg::kDebugNone;
  } else {
    std::string text;
    if (!format_traceback(tb.get(), text)) {
      PyErr_WriteUnraisable(tb.get());
      text = msg::kUnformattableStart + repr_or(tb.get(), msg::kTracebackFallback) + '>';
    }
    out += msg::kDebugSome;
    vrel::write_quoted(out, text);
    out += ')';
  }
  out += msg::kDebugEnd;
  return out;
}

PyRef mismatch_error(PyObject* obj, const char* target) {
  std::string message = msg::kMismatchStart;
  message += type_qualname(obj);
  message += msg::kMismatchMiddle;
  message += target;
  message += msg::kMismatchEnd;
  return new_type_error(message);
}

bool raise_mismatch(PyObject* obj, const char* target) {
  PyRef err = mismatch_error(obj, target);
  if (err) PyErr_SetRaisedException(err.release());
  return false;
}

}  // namespace vrelpy
