// Places of fatal errors on the Python side: attributes, notes, causes and the report switch.
#include "runtime/error_places.hpp"

#include <cstring>
#include <span>
#include <utility>

#include "api/argument_binding.hpp"
#include "conversion/conversion.hpp"
#include "conversion/conversion_failure.hpp"
#include "runtime/errors.hpp"
#include "support/messages.hpp"
#include "support/py_helpers.hpp"

namespace vrelpy {
namespace {

using Step = vrel::ErrorPlace::Step;

// The places of one PanicException, innermost first: the failing run's, then that of each
// call of an installed function that the error crossed on its way out. Kept in the
// exception's __dict__ under kPlaceKey (a capsule), turned into Python objects only when
// the attributes or notes are read: an error nobody looks at costs one small allocation.
struct PlaceRecord {
  std::vector<vrel::ErrorPlace> places;
  Py_ssize_t notes_made = 0;   // the place notes at the front of __notes__, once made
  bool notes_dropped = false;  // __notes__ was deleted or replaced: make none again
};

constexpr char kPlaceKey[] = "__vrel_place__";
constexpr char kCapsuleName[] = "vrelpy.place";

constinit thread_local bool tl_hide_notes = false;

void free_record(PyObject* capsule) noexcept {
  delete static_cast<PlaceRecord*>(PyCapsule_GetPointer(capsule, kCapsuleName));
}

// The record of `exc` (borrowed from its dict, kept alive by it), or null without an error.
PlaceRecord* record_of(PyObject* exc, PyRef& dict) {
  dict = PyRef::steal(PyObject_GenericGetDict(exc, nullptr));
  if (!dict) {
    PyErr_Clear();
    return nullptr;
  }
  PyObject* capsule = PyDict_GetItemString(dict.get(), kPlaceKey);  // borrowed
  if (!capsule || !PyCapsule_IsValid(capsule, kCapsuleName)) return nullptr;
  return static_cast<PlaceRecord*>(PyCapsule_GetPointer(capsule, kCapsuleName));
}

// The place the attributes describe: the innermost one inside a run, else the innermost.
const vrel::ErrorPlace* primary(const PlaceRecord& record) {
  for (const vrel::ErrorPlace& place : record.places) {
    if (place.in_run) return &place;
  }
  return record.places.empty() ? nullptr : &record.places.front();
}

// "[2]['then'][0]": keys as their repr, indexes as numbers.
void append_path(std::string& out, std::span<const Step> path) {
  for (const Step& step : path) {
    out += '[';
    if (step.key) {
      out += '\'';
      out += step.key;
      out += '\'';
    } else {
      out += std::to_string(step.index);
    }
    out += ']';
  }
}

PyRef text_object(const std::string& text) {
  return PyRef::steal(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
}

PyRef statement_tuple(const std::vector<Step>& path) {
  PyRef tuple = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(path.size())));
  if (!tuple) return tuple;
  for (std::size_t i = 0; i < path.size(); ++i) {
    PyObject* item =
        path[i].key ? PyUnicode_FromString(path[i].key) : PyLong_FromSize_t(path[i].index);
    if (!item) return PyRef();
    PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), item);
  }
  return tuple;
}

const char* role_text(vrel::ErrorPlace::Role role) {
  switch (role) {
    case vrel::ErrorPlace::Role::Reading:
      return "reading ";
    case vrel::ErrorPlace::Role::Calling:
      return "calling ";
    case vrel::ErrorPlace::Role::Binding:
      return "binding ";
    case vrel::ErrorPlace::Role::None:
      break;
  }
  return nullptr;
}

// ---- The attributes of PanicException ---------------------------------------------------

PyObject* get_statement(PyObject* self, void*) {
  PyRef dict;
  const PlaceRecord* record = record_of(self, dict);
  const vrel::ErrorPlace* place = record ? primary(*record) : nullptr;
  if (!place || !place->in_run) Py_RETURN_NONE;
  return statement_tuple(place->statement).release();
}

PyObject* get_node(PyObject* self, void*) {
  PyRef dict;
  const PlaceRecord* record = record_of(self, dict);
  const vrel::ErrorPlace* place = record ? primary(*record) : nullptr;
  if (!place || !place->in_run) Py_RETURN_NONE;
  std::string text;
  append_path(text, place->node);
  return text_object(text).release();
}

PyObject* get_variable(PyObject* self, void*) {
  PyRef dict;
  const PlaceRecord* record = record_of(self, dict);
  const vrel::ErrorPlace* place = record ? primary(*record) : nullptr;
  if (!place || !place->variable) Py_RETURN_NONE;
  return identifier_to_python(*place->variable).release();
}

// __notes__ as BaseException.add_note and tracebacks use it: the place notes are made on
// first read and stored in the instance's dict under "__notes__", where add_note then
// appends to them. A data descriptor of the type, so it sees every read and write.
PyObject* get_notes(PyObject* self, void*) {
  PyRef dict;
  PlaceRecord* record = record_of(self, dict);
  if (!dict) return PyErr_Format(PyExc_AttributeError, "__notes__");
  PyObject* found = nullptr;
  if (PyDict_GetItemStringRef(dict.get(), "__notes__", &found) < 0) return nullptr;
  PyRef stored = PyRef::steal(found);
  if (!stored && record && !record->notes_dropped) {
    PyRef list = PyRef::steal(PyList_New(0));
    if (!list) return nullptr;
    for (const vrel::ErrorPlace& place : record->places) {
      PlaceObjects objects;
      if (!place_objects(place, objects)) return nullptr;
      if (objects.note.get() != Py_None && PyList_Append(list.get(), objects.note.get()) < 0) {
        return nullptr;
      }
    }
    if (PyList_GET_SIZE(list.get()) > 0) {
      if (PyDict_SetItemString(dict.get(), "__notes__", list.get()) < 0) return nullptr;
      record->notes_made = PyList_GET_SIZE(list.get());
      stored = std::move(list);
    }
  }
  if (stored && tl_hide_notes && record && record->notes_made > 0 && PyList_Check(stored.get())) {
    stored = PyRef::steal(PyList_GetSlice(stored.get(), record->notes_made, PY_SSIZE_T_MAX));
    if (!stored) return nullptr;
    if (PyList_GET_SIZE(stored.get()) == 0) stored = PyRef();
  }
  if (!stored) return PyErr_Format(PyExc_AttributeError, "__notes__");
  return stored.release();
}

int set_notes(PyObject* self, PyObject* value, void*) {
  PyRef dict;
  PlaceRecord* record = record_of(self, dict);
  if (!dict) return -1;
  if (record) {  // replaced or deleted: the place notes are not made again
    record->notes_dropped = true;
    record->notes_made = 0;
  }
  if (value) return PyDict_SetItemString(dict.get(), "__notes__", value);
  if (PyDict_DelItemString(dict.get(), "__notes__") < 0) {
    if (!PyErr_ExceptionMatches(PyExc_KeyError)) return -1;
    PyErr_Clear();
    if (!record) {
      PyErr_SetString(PyExc_AttributeError, "__notes__");
      return -1;
    }
  }
  return 0;
}

PyGetSetDef g_place_getset[] = {
    {"statement", get_statement, nullptr,
     "Path of the failing statement in the program given to run: its index, then 'then' or "
     "'otherwise' and an index per enclosing if. None outside a run.",
     nullptr},
    {"node", get_node, nullptr,
     "Path of the failing node inside that statement, in the data form's path notation "
     "(\"\" for the statement itself). None outside a run.",
     nullptr},
    {"variable", get_variable, nullptr,
     "The identifier the error is about (a variable read or called, or the variable a let "
     "binds), or None.",
     nullptr},
    {"__notes__", get_notes, set_notes, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// The text of the conversion failure of a function's result, naming the function:
// "function 'f' returned a value that cannot be converted: <the culprit's mismatch>".
PyRef result_error(const PythonErrorDetail& detail, const vrel::ErrorPlace& place) {
  if (place.role != vrel::ErrorPlace::Role::Calling || !place.variable || !detail.result) {
    return PyRef::borrow(detail.exception);
  }
  PyRef name = identifier_to_python(*place.variable);
  PyRef name_repr = name ? PyRef::steal(PyObject_Repr(name.get())) : PyRef();
  PyRef culprit = name_repr ? unconvertible_text(detail.result) : PyRef();
  if (!culprit) {
    PyErr_Clear();
    return PyRef::borrow(detail.exception);
  }
  PyRef error = PyRef::steal(
      PyObject_CallFunction(PyExc_TypeError, "N",
                            PyUnicode_FromFormat("function %U returned a value that cannot be "
                                                 "converted: %U",
                                                 name_repr.get(), culprit.get())));
  if (!error) {
    PyErr_Clear();
    return PyRef::borrow(detail.exception);
  }
  PyException_SetCause(error.get(), Py_NewRef(detail.exception));
  return error;
}

}  // namespace

PythonErrorDetail::PythonErrorDetail(Kind kind, PyRef exception, PyRef result) noexcept
    : kind(kind), exception(exception.release()), result(result.release()) {}

PythonErrorDetail::~PythonErrorDetail() {
  release_when_locked(exception);
  if (result) release_when_locked(result);
}

void raise_fatal_with(std::string message, std::shared_ptr<PythonErrorDetail> detail,
                      std::source_location where) {
  vrel::report_fatal(message, where);
  vrel::FatalError error(std::move(message));
  error.set_host_detail(std::move(detail));
  throw error;
}

bool place_objects(const vrel::ErrorPlace& place, PlaceObjects& out, const PlaceSubject* subject) {
  if (place.variable) {
    out.variable = identifier_to_python(*place.variable);
    if (!out.variable) return false;
  } else {
    out.variable = PyRef::borrow(Py_None);
  }
  const bool in_expression = subject && subject->expression;
  // The node path as it is told: inside the statement, or inside the expression of a rule's
  // let (the let's value is its child ['let'][1]).
  bool has_node = place.in_run;
  std::span<const Step> node_path(place.node);
  if (in_expression && has_node) {
    has_node = node_path.size() >= 2 && node_path[0].key &&
               std::strcmp(node_path[0].key, "let") == 0 && !node_path[1].key &&
               node_path[1].index == 1;
    if (has_node) node_path = node_path.subspan(2);
  }
  out.statement =
      place.in_run && !in_expression ? statement_tuple(place.statement) : PyRef::borrow(Py_None);
  if (!out.statement) return false;
  std::string node;
  if (has_node) {
    append_path(node, node_path);
    out.node = text_object(node);
    if (!out.node) return false;
  } else {
    out.node = PyRef::borrow(Py_None);
  }
  if (!place.in_run && !subject) {
    out.note = PyRef::borrow(Py_None);
    return true;
  }
  std::string note;
  if (subject) {
    note = "in rule ";
    PyRef repr = PyRef::steal(PyObject_Repr(subject->rule));
    std::string text;
    if (!repr || !utf8_text(repr.get(), text)) return false;
    note += text;
    if (place.in_run && !in_expression) {
      note += ", statement ";
      append_path(note, place.statement);
    }
  } else {
    note = "in statement ";
    append_path(note, place.statement);
  }
  if (!node.empty()) {
    note += " at ";
    note += node;
  }
  if (const char* role = role_text(place.role); role && place.variable) {
    PyRef repr = PyRef::steal(PyObject_Repr(out.variable.get()));
    std::string text;
    if (!repr || !utf8_text(repr.get(), text)) return false;
    note += ": ";
    note += role;
    note += text;
  }
  out.note = text_object(note);
  return static_cast<bool>(out.note);
}

PyRef panic_for(vrel::FatalError& error) {
  PyObject* type = panic_exception_type();
  if (!type) return PyRef();
  const std::string& message = error.message();
  const std::string_view text =
      message.empty() ? std::string_view(msg::kEmptyPanic) : std::string_view(message);
  PyRef value = PyRef::steal(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (!value) return PyRef();
  PyRef exc = PyRef::steal(PyObject_CallOneArg(type, value.get()));
  if (!exc) return PyRef();
  const auto* detail = dynamic_cast<const PythonErrorDetail*>(error.host_detail().get());
  vrel::ErrorPlace& place = error.place();
  auto record = std::make_unique<PlaceRecord>();
  if (detail) {
    PyRef cause = detail->kind == PythonErrorDetail::Kind::ResultUnconverted
                      ? result_error(*detail, place)
                      : PyRef::borrow(detail->exception);
    PyException_SetCause(exc.get(), cause.release());
    if (detail->kind == PythonErrorDetail::Kind::ResumedPanic) {
      PyRef inner_dict;
      if (const PlaceRecord* inner = record_of(detail->exception, inner_dict)) {
        record->places = inner->places;
      }
    }
  }
  if (place.in_run || place.variable) record->places.push_back(std::move(place));
  if (record->places.empty()) return exc;
  PyRef capsule = PyRef::steal(PyCapsule_New(record.get(), kCapsuleName, free_record));
  if (!capsule) return PyRef();
  record.release();
  // The key is made once: a str made and hashed per error would be a good part of its cost.
  static PyObject* const key = PyUnicode_InternFromString(kPlaceKey);
  PyRef dict = key ? PyRef::steal(PyObject_GenericGetDict(exc.get(), nullptr)) : PyRef();
  if (!dict || PyDict_SetItem(dict.get(), key, capsule.get()) < 0) return PyRef();
  return exc;
}

void set_panic_for(vrel::FatalError& error) noexcept {
  try {
    PyRef exc = panic_for(error);
    if (!exc) return;  // the failure to make it is pending instead
    // Set as PyErr_SetObject sets it: chained to the exception being handled, if any.
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  }
}

bool prepare_panic_type(PyObject* type) {
  for (PyGetSetDef* def = g_place_getset; def->name; ++def) {
    PyRef descriptor = PyRef::steal(PyDescr_NewGetSet(reinterpret_cast<PyTypeObject*>(type), def));
    if (!descriptor || PyObject_SetAttrString(type, def->name, descriptor.get()) < 0) return false;
  }
  return true;
}

HiddenPlaceNotes::HiddenPlaceNotes() noexcept : previous_(std::exchange(tl_hide_notes, true)) {}
HiddenPlaceNotes::~HiddenPlaceNotes() { tl_hide_notes = previous_; }

namespace {

PyObject* set_error_report(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  static constexpr const char* kParams[] = {"enabled"};
  static constexpr MethodSignature kSig = signature("set_error_report()", kParams);
  PyObject* bound[1];
  if (!bind_arguments(kSig, args, nargsf, kwnames, bound)) return nullptr;
  if (!PyBool_Check(bound[0])) {
    raise_mismatch(bound[0], msg::kTargetBool);
    prefix_argument_error("enabled");
    return nullptr;
  }
  return PyBool_FromLong(vrel::set_fatal_reports(bound[0] == Py_True));
}

}  // namespace

PyMethodDef g_error_report_function[] = {
    {"set_error_report", VRELPY_CFUNCTION(set_error_report), METH_FASTCALL | METH_KEYWORDS,
     "set_error_report(enabled)\n--\n\n"
     "Switch the standard-error report of fatal errors on or off for the whole process; "
     "return the previous setting."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace vrelpy
