// The binding's error convention: the panic exception, fetched exceptions, debug forms of
// Python errors and type-mismatch errors.
#include "errors.hpp"

#include <cstdio>

#include "vrel/value.hpp"

namespace vrelpy {
namespace {

constexpr const char kPanicDoc[] =
    "\n"
    "The exception raised when Rust code called from Python panics.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";

// Created once, under the interpreter lock, and kept for the life of the process.
PyObject* g_panic_type = nullptr;

std::string utf8_of(PyObject* str_obj, const char* fallback) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(str_obj, &size);
  if (!data) {
    PyErr_Clear();
    return fallback;
  }
  return std::string(data, static_cast<std::size_t>(size));
}

// The text PyTraceBack_Print writes for `tb`, read back from an io.StringIO.
bool format_traceback(PyObject* tb, std::string& out) {
  PyRef io = PyRef::steal(PyImport_ImportModule("io"));
  if (!io) return false;
  PyRef buffer = PyRef::steal(PyObject_CallMethod(io.get(), "StringIO", nullptr));
  if (!buffer) return false;
  if (PyTraceBack_Print(tb, buffer.get()) < 0) return false;
  PyRef text = PyRef::steal(PyObject_CallMethod(buffer.get(), "getvalue", nullptr));
  if (!text || !PyUnicode_Check(text.get())) return false;
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text.get(), &size);
  if (!data) return false;
  out.assign(data, static_cast<std::size_t>(size));
  return true;
}

}  // namespace

PyObject* panic_exception_type() noexcept {
  if (!g_panic_type) {
    g_panic_type = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", kPanicDoc,
                                             PyExc_BaseException, nullptr);
  }
  return g_panic_type;
}

void set_panic(const std::string& message) noexcept {
  PyObject* type = panic_exception_type();
  if (!type) return;  // the creation failure is pending instead
  const std::string& text = message.empty() ? std::string("panic from Rust code") : message;
  PyRef msg = PyRef::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()),
                                                "replace"));
  if (!msg) return;
  PyErr_SetObject(type, msg.get());
}

PyRef take_exception() {
  PyRef exc = PyRef::steal(PyErr_GetRaisedException());
  if (!exc) {
    PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    return PyRef::steal(PyErr_GetRaisedException());
  }
  PyObject* panic = g_panic_type;
  if (panic && Py_IS_TYPE(exc.get(), reinterpret_cast<PyTypeObject*>(panic))) {
    std::string message = str_or(exc.get(), "Unwrapped panic from Python code");
    std::fputs("--- PyO3 is resuming a panic after fetching a PanicException from Python. ---\n"
               "Python stack trace below:\n",
               stderr);
    std::fflush(stderr);
    PyErr_SetRaisedException(exc.release());
    PyErr_PrintEx(0);
    vrel::resume_fatal(std::move(message));
  }
  return exc;
}

void restore_taken_exception(PyRef exc) noexcept { PyErr_SetRaisedException(exc.release()); }

std::string str_or(PyObject* obj, const char* fallback) {
  PyRef s = PyRef::steal(PyObject_Str(obj));
  if (!s) {
    PyErr_Clear();
    return fallback;
  }
  return utf8_of(s.get(), fallback);
}

std::string repr_or(PyObject* obj, const char* fallback) {
  PyRef s = PyRef::steal(PyObject_Repr(obj));
  if (!s) {
    PyErr_Clear();
    return fallback;
  }
  return utf8_of(s.get(), fallback);
}

std::string type_qualname(PyObject* obj) {
  PyRef name = PyRef::steal(PyType_GetQualName(Py_TYPE(obj)));
  if (!name) {
    PyErr_Clear();
    return "<failed to extract type name>";
  }
  return utf8_of(name.get(), "<failed to extract type name>");
}

std::string exception_display(PyObject* exc) {
  std::string text = type_qualname(exc);
  text += ": ";
  text += str_or(exc, "<exception str() failed>");
  return text;
}

std::string python_error_debug(PyObject* exc) {
  std::string out = "PyErr { type: ";
  out += repr_or(reinterpret_cast<PyObject*>(Py_TYPE(exc)), "<unprintable type>");
  out += ", value: ";
  out += repr_or(exc, "<unprintable exception>");
  out += ", traceback: ";
  PyRef tb = PyRef::steal(PyException_GetTraceback(exc));
  if (!tb) {
    out += "None";
  } else {
    std::string text;
    if (!format_traceback(tb.get(), text)) {
      PyErr_WriteUnraisable(tb.get());
      text = "<unformattable " + repr_or(tb.get(), "traceback") + ">";
    }
    out += "Some(";
    vrel::write_quoted(out, text);
    out += ')';
  }
  out += " }";
  return out;
}

PyRef mismatch_error(PyObject* obj, const char* target) {
  std::string message = "'";
  message += type_qualname(obj);
  message += "' object cannot be converted to '";
  message += target;
  message += '\'';
  return PyRef::steal(PyObject_CallFunction(PyExc_TypeError, "s#", message.data(),
                                            static_cast<Py_ssize_t>(message.size())));
}

void raise_mismatch(PyObject* obj, const char* target) {
  PyRef err = mismatch_error(obj, target);
  if (err) PyErr_SetRaisedException(err.release());
}

}  // namespace vrelpy
