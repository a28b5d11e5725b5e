// The results of evaluating a rule set: RuleError values and the results in each form.
#include "rules/rule_results.hpp"

#include <cstring>
#include <functional>
#include <mutex>
#include <new>
#include <unordered_map>

#include "conversion/conversion.hpp"
#include "rules/arrow_export.hpp"
#include "runtime/error_places.hpp"
#include "support/messages.hpp"

namespace vrelpy::rules {
namespace {

// Created once, under the interpreter lock, and kept for the life of the process.
PyObject* g_rule_error_type = nullptr;

// A RuleError for `failure` of the rule `subject` names: its message, the rule, where it
// failed and the note that says so.
PyRef make_rule_error(const RuleFailure& failure, const PlaceSubject& subject) {
  PyObject* type = rule_error_type();
  if (!type) return PyRef();
  const std::string& message = failure.message;
  PyRef text = PyRef::steal(
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (!text) return PyRef();
  PyRef error = PyRef::steal(PyObject_CallOneArg(type, text.get()));
  if (!error || PyObject_SetAttrString(error.get(), "rule", subject.rule) < 0) return PyRef();
  PlaceObjects place;
  if (!place_objects(failure.place, place, &subject)) return PyRef();
  if (PyObject_SetAttrString(error.get(), "statement", place.statement.get()) < 0 ||
      PyObject_SetAttrString(error.get(), "node", place.node.get()) < 0 ||
      PyObject_SetAttrString(error.get(), "variable", place.variable.get()) < 0) {
    return PyRef();
  }
  PyRef notes = PyRef::steal(PyList_New(1));
  if (!notes) return PyRef();
  PyList_SET_ITEM(notes.get(), 0, place.note.release());
  if (PyObject_SetAttrString(error.get(), "__notes__", notes.get()) < 0) return PyRef();
  return error;
}

bool same_path(const std::vector<vrel::ErrorPlace::Step>& a,
               const std::vector<vrel::ErrorPlace::Step>& b) noexcept {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (!a[i].key != !b[i].key) return false;
    if (a[i].key ? std::strcmp(a[i].key, b[i].key) != 0 : a[i].index != b[i].index) return false;
  }
  return true;
}

// Failures compared by what a RuleError shows of them: message and place.
struct SameFailure {
  bool operator()(const RuleFailure* a, const RuleFailure* b) const noexcept {
    const vrel::ErrorPlace& p = a->place;
    const vrel::ErrorPlace& q = b->place;
    return a->message == b->message && p.in_run == q.in_run && p.role == q.role &&
           p.variable == q.variable && same_path(p.statement, q.statement) &&
           same_path(p.node, q.node);
  }
};
struct HashFailure {
  std::size_t operator()(const RuleFailure* f) const noexcept {
    std::size_t h = std::hash<std::string>()(f->message);
    for (const auto* path : {&f->place.statement, &f->place.node}) {
      h = h * 31 + path->size();
      for (const vrel::ErrorPlace::Step& step : *path) h = h * 31 + (step.key ? 0 : step.index);
    }
    return h;
  }
};

// The RuleErrors made so far by one conversion, per rule and failure: failures of a rule
// that are alike share one RuleError, so that a million records failing alike do not cost
// a million exception objects. A failure is looked up by its identity first (the records
// that fail without running a rule share one, and consecutive records mostly fail alike),
// then by message and place. The failures belong to the table, which outlives the cache;
// the cache lives for one conversion, under the lock.
class ErrorCache {
 public:
  ErrorCache(const RuleProgram& program, const std::vector<PyRef>& names)
      : by_rule_(program.rules.size()) {
    for (std::size_t r = 0; r < by_rule_.size(); ++r) {
      by_rule_[r].subject = PlaceSubject{names[r].get(), program.rules[r].expression};
    }
  }
  PyRef get(const RuleFailure& failure, std::size_t rule) {
    Known& known = by_rule_[rule];
    if (&failure == known.last) return PyRef::borrow(known.last_error);
    PyObject* error = nullptr;
    if (auto it = known.by_identity.find(&failure); it != known.by_identity.end()) {
      error = it->second;
    } else if (auto alike = known.by_value.find(&failure); alike != known.by_value.end()) {
      error = alike->second.get();
    } else {
      PyRef made = make_rule_error(failure, known.subject);
      if (!made) return PyRef();
      error = made.get();
      known.by_value.emplace(&failure, std::move(made));
      known.by_identity.emplace(&failure, error);
    }
    known.last = &failure;
    known.last_error = error;
    return PyRef::borrow(error);
  }

 private:
  struct Known {
    PlaceSubject subject{};
    const RuleFailure* last = nullptr;
    PyObject* last_error = nullptr;                                 // borrowed from by_value
    std::unordered_map<const RuleFailure*, PyObject*> by_identity;  // borrowed from by_value
    std::unordered_map<const RuleFailure*, PyRef, HashFailure, SameFailure> by_value;
  };
  std::vector<Known> by_rule_;
};

PyRef outcome_to_python(const ResultTable& results, std::size_t row, std::size_t rule,
                        ErrorCache& errors) {
  const Outcome o = results.at(row, rule);
  switch (o.kind) {
    case Outcome::Kind::Int:
      return PyRef::steal(PyLong_FromLongLong(o.as_int()));
    case Outcome::Kind::Float:
      return PyRef::steal(PyFloat_FromDouble(o.as_float()));
    case Outcome::Kind::Bool:
      return PyRef::borrow(o.as_bool() ? Py_True : Py_False);
    case Outcome::Kind::Null:
      return PyRef::borrow(Py_None);
    case Outcome::Kind::Error:
      return errors.get(results.error(row, rule), rule);
    case Outcome::Kind::Other: {
      vrel::Value scratch;
      return value_to_python(results.value(row, rule, scratch));
    }
  }
  return PyRef();
}

PyRef as_records(const ResultTable& results, const std::vector<PyRef>& names, ErrorCache& errors) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(results.rows())));
  if (!list) return PyRef();
  // Every row's dict starts as a copy of one holding the names: copying a dict's table
  // costs less than growing a new one key by key, and the values are then replaced in place.
  PyRef keys = PyRef::steal(PyDict_New());
  if (!keys) return PyRef();
  for (const PyRef& name : names) {
    if (PyDict_SetItem(keys.get(), name.get(), Py_None) < 0) return PyRef();
  }
  for (std::size_t row = 0; row < results.rows(); ++row) {
    PyRef dict = PyRef::steal(PyDict_Copy(keys.get()));
    if (!dict) return PyRef();
    for (std::size_t r = 0; r < results.rules(); ++r) {
      PyRef value = outcome_to_python(results, row, r, errors);
      if (!value || PyDict_SetItem(dict.get(), names[r].get(), value.get()) < 0) return PyRef();
    }
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(row), dict.release());
  }
  return list;
}

PyRef as_columns(const ResultTable& results, const std::vector<PyRef>& names, ErrorCache& errors) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return PyRef();
  for (std::size_t r = 0; r < results.rules(); ++r) {
    PyRef column = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(results.rows())));
    if (!column) return PyRef();
    for (std::size_t row = 0; row < results.rows(); ++row) {
      PyRef value = outcome_to_python(results, row, r, errors);
      if (!value) return PyRef();
      PyList_SET_ITEM(column.get(), static_cast<Py_ssize_t>(row), value.release());
    }
    if (PyDict_SetItem(dict.get(), names[r].get(), column.get()) < 0) return PyRef();
  }
  return dict;
}

// A pandas DataFrame of the columns: pandas is imported only here, for a caller who gave one.
PyRef as_data_frame(const ResultTable& results, const std::vector<PyRef>& names,
                    ErrorCache& errors) {
  PyRef columns = as_columns(results, names, errors);
  if (!columns) return PyRef();
  PyRef pandas = PyRef::steal(PyImport_ImportModule("pandas"));
  if (!pandas) return PyRef();
  return PyRef::steal(PyObject_CallMethod(pandas.get(), "DataFrame", "O", columns.get()));
}

// Whether the `n` kinds all equal `kind`, compared eight at a time.
bool all_of_kind(const Outcome::Kind* kinds, std::size_t n, Outcome::Kind kind) noexcept {
  const std::uint64_t pattern = 0x0101010101010101ULL * static_cast<std::uint8_t>(kind);
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    std::uint64_t word;
    std::memcpy(&word, kinds + i, 8);
    if (word != pattern) return false;
  }
  for (; i < n; ++i) {
    if (kinds[i] != kind) return false;
  }
  return true;
}

// A numpy array of one rule's results: int64, float64 or bool when every record gave that
// kind, else an array of objects. numpy is imported only here, for a caller who gave numpy
// columns; the typed data is copied into a bytearray that the array then owns.
PyRef numpy_column(PyObject* numpy, const ResultTable& results, std::size_t rule,
                   ErrorCache& errors) {
  const std::size_t rows = results.rows();
  const Outcome::Kind* kinds = results.kinds(rule);
  const Outcome::Kind first = rows ? kinds[0] : Outcome::Kind::Null;
  const bool uniform = (first == Outcome::Kind::Int || first == Outcome::Kind::Float ||
                        first == Outcome::Kind::Bool) &&
                       all_of_kind(kinds, rows, first);
  if (uniform && rows) {
    // Numbers: the rule's bits as they are. Booleans: one byte each.
    const std::size_t width = first == Outcome::Kind::Bool ? 1 : 8;
    PyRef bytes =
        PyRef::steal(PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(rows * width)));
    if (!bytes) return PyRef();
    char* out = PyByteArray_AS_STRING(bytes.get());
    const std::uint64_t* bits = results.bits(rule);
    if (width == 1) {
      // A boolean's bits are 0 or 1: its byte is their low byte (a loop the compiler packs).
      for (std::size_t row = 0; row < rows; ++row) out[row] = static_cast<char>(bits[row]);
    } else {
      std::memcpy(out, bits, rows * 8);
    }
    const char* dtype = first == Outcome::Kind::Int     ? "<i8"
                        : first == Outcome::Kind::Float ? "<f8"
                                                        : "?";
    return PyRef::steal(PyObject_CallMethod(numpy, "frombuffer", "Os", bytes.get(), dtype));
  }
  PyRef array =
      PyRef::steal(PyObject_CallMethod(numpy, "empty", "ns", static_cast<Py_ssize_t>(rows), "O"));
  if (!array) return PyRef();
  for (std::size_t row = 0; row < rows; ++row) {
    PyRef value = outcome_to_python(results, row, rule, errors);
    if (!value) return PyRef();
    PyRef index = PyRef::steal(PyLong_FromSize_t(row));
    if (!index || PyObject_SetItem(array.get(), index.get(), value.get()) < 0) return PyRef();
  }
  return array;
}

PyRef as_numpy_columns(const ResultTable& results, const std::vector<PyRef>& names,
                       ErrorCache& errors) {
  PyRef numpy = PyRef::steal(PyImport_ImportModule("numpy"));
  if (!numpy) return PyRef();
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return PyRef();
  for (std::size_t r = 0; r < results.rules(); ++r) {
    PyRef column = numpy_column(numpy.get(), results, r, errors);
    if (!column || PyDict_SetItem(dict.get(), names[r].get(), column.get()) < 0) return PyRef();
  }
  return dict;
}

// A polars DataFrame made from the Arrow export: polars is imported only here, for a caller
// who gave a polars frame.
PyRef as_polars(const ResultTable& results, const std::vector<PyRef>& names) {
  PyRef exported = export_arrow(results, names);
  if (!exported) return PyRef();
  PyRef polars = PyRef::steal(PyImport_ImportModule("polars"));
  if (!polars) return PyRef();
  return PyRef::steal(PyObject_CallMethod(polars.get(), "DataFrame", "O", exported.get()));
}

}  // namespace

// The memory of a table's cells: kinds, then bits, default-initialised (never cleared).
struct ResultTable::Cells {
  explicit Cells(std::size_t n)
      : count(n), kinds(new Outcome::Kind[n]), bits(new std::uint64_t[n]) {}
  std::size_t count;
  std::unique_ptr<Outcome::Kind[]> kinds;
  std::unique_ptr<std::uint64_t[]> bits;
};

namespace {

// The cells of the last table, kept for the next one when they take at most this much.
constexpr std::size_t kKeptCellBytes = std::size_t{64} << 20;
std::mutex g_kept_mutex;
std::unique_ptr<ResultTable::Cells> g_kept;  // guarded by g_kept_mutex

}  // namespace

ResultTable::ResultTable(std::size_t rows, std::size_t rules, std::size_t batch)
    : rows_(rows), rules_(rules), batch_(batch), extras_((rows + batch - 1) / batch) {
  const std::size_t n = rows * rules;
  {
    std::lock_guard<std::mutex> lock(g_kept_mutex);
    if (g_kept && g_kept->count >= n) cells_ = std::move(g_kept);
  }
  // Fresh pages are first touched by the workers that fill them.
  if (!cells_) cells_ = std::make_unique<Cells>(n);
  kinds_ = cells_->kinds.get();
  bits_ = cells_->bits.get();
}

ResultTable::~ResultTable() {
  if (cells_->count * (sizeof(Outcome::Kind) + sizeof(std::uint64_t)) > kKeptCellBytes) return;
  std::lock_guard<std::mutex> lock(g_kept_mutex);
  if (!g_kept || g_kept->count < cells_->count) g_kept = std::move(cells_);
}

void ResultTable::set_value(std::size_t row, std::size_t rule, const vrel::Value& value) {
  switch (value.kind()) {
    case vrel::ValueKind::Null:
      return set_plain(row, rule, Outcome::Kind::Null, 0);
    case vrel::ValueKind::Boolean:
      return set_plain(row, rule, Outcome::Kind::Bool, value.as_boolean() ? 1 : 0);
    case vrel::ValueKind::Number: {
      const vrel::Number n = value.as_number();
      return n.is_int()
                 ? set_plain(row, rule, Outcome::Kind::Int, static_cast<std::uint64_t>(n.as_int()))
                 : set_plain(row, rule, Outcome::Kind::Float,
                             std::bit_cast<std::uint64_t>(n.as_float()));
    }
    case vrel::ValueKind::String:
    case vrel::ValueKind::Vector:
    case vrel::ValueKind::Function:
      break;
  }
  std::vector<vrel::Value>& values = extras_[row / batch_].values;
  set_plain(row, rule, Outcome::Kind::Other, values.size());
  values.push_back(value);
}

void ResultTable::set_error(std::size_t row, std::size_t rule, FailureRef failure) {
  std::vector<FailureRef>& errors = extras_[row / batch_].errors;
  set_plain(row, rule, Outcome::Kind::Error, errors.size());
  errors.push_back(std::move(failure));
}

const vrel::Value& ResultTable::value(std::size_t row, std::size_t rule,
                                      vrel::Value& scratch) const {
  const Outcome o = at(row, rule);
  switch (o.kind) {
    case Outcome::Kind::Int:
      return scratch = vrel::Value::integer(o.as_int());
    case Outcome::Kind::Float:
      return scratch = vrel::Value::floating(o.as_float());
    case Outcome::Kind::Bool:
      return scratch = vrel::Value::boolean(o.as_bool());
    case Outcome::Kind::Other:
      return extras_[row / batch_].values[o.extra];
    case Outcome::Kind::Null:
    case Outcome::Kind::Error:
      break;
  }
  return scratch = vrel::Value();
}

PyObject* rule_error_type() {
  if (!g_rule_error_type) {
    PyRef attributes = PyRef::steal(PyDict_New());
    if (!attributes) return nullptr;
    for (const char* name : {"rule", "statement", "node", "variable"}) {
      if (PyDict_SetItemString(attributes.get(), name, Py_None) < 0) return nullptr;
    }
    g_rule_error_type = PyErr_NewExceptionWithDoc(msg::kRuleErrorTypeName, msg::kRuleErrorDoc,
                                                  PyExc_Exception, attributes.get());
  }
  return g_rule_error_type;
}

PyRef results_to_python(const ResultTable& results, RecordForm form,
                        const std::vector<PyRef>& rule_names, const RuleProgram& program) {
  ErrorCache errors(program, rule_names);
  switch (form) {
    case RecordForm::Records:
      return as_records(results, rule_names, errors);
    case RecordForm::Columns:
      return as_columns(results, rule_names, errors);
    case RecordForm::NumpyColumns:
      return as_numpy_columns(results, rule_names, errors);
    case RecordForm::Polars:
      return as_polars(results, rule_names);
    case RecordForm::DataFrame:
      return as_data_frame(results, rule_names, errors);
    case RecordForm::Arrow:
      return export_arrow(results, rule_names);
  }
  return PyRef();
}

}  // namespace vrelpy::rules
