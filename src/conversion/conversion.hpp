// Conversion of values and identifiers between Python objects and the core.
#pragma once

#include <algorithm>
#include <cstdint>
#include <type_traits>
#include <vector>

#include "api/classes.hpp"
#include "runtime/errors.hpp"
#include "support/messages.hpp"
#include "support/py_helpers.hpp"
#include "support/py_ref.hpp"
#include "vrel/machine.hpp"
#include "vrel/syntax_tree.hpp"
#include "vrel/value.hpp"

namespace vrelpy {

// An exact int of one internal digit or an exact float: stores its number (what the general
// conversion makes of it, without running any Python code) and returns true. False for any
// other object. Always inlined: for any other object it is two type checks, on the hottest
// loops.
[[gnu::always_inline]] inline bool plain_number(PyObject* obj, vrel::Number& out) {
  PyTypeObject* tp = Py_TYPE(obj);
  if (tp == &PyLong_Type) {
    auto* number = reinterpret_cast<PyLongObject*>(obj);
    if (!PyUnstable_Long_IsCompact(number)) return false;
    out = vrel::Number::from_int(static_cast<std::int64_t>(PyUnstable_Long_CompactValue(number)));
    return true;
  }
  if (tp == &PyFloat_Type) {
    out = vrel::Number::from_float(PyFloat_AS_DOUBLE(obj));
    return true;
  }
  return false;
}

// The same test, calling `take` with a factory of the value, so that the caller can
// construct it right where it goes. Kept apart from plain_number: each branch hands over a
// factory of its own kind, which a 100,000-element conversion loop builds in place without
// passing a Number through memory and testing its kind again.
template <class Take>
[[gnu::always_inline]] inline bool take_plain_number(PyObject* obj, Take&& take) {
  PyTypeObject* tp = Py_TYPE(obj);
  if (tp == &PyLong_Type) {
    auto* number = reinterpret_cast<PyLongObject*>(obj);
    if (!PyUnstable_Long_IsCompact(number)) return false;
    const auto v = static_cast<std::int64_t>(PyUnstable_Long_CompactValue(number));
    take([v]() noexcept { return vrel::Value::integer(v); });
    return true;
  }
  if (tp == &PyFloat_Type) {
    const double d = PyFloat_AS_DOUBLE(obj);
    take([d]() noexcept { return vrel::Value::floating(d); });
    return true;
  }
  return false;
}

// ---- Conversion work ---------------------------------------------------------------------
// Long conversions, in either direction, count their work towards the run budget's
// checkpoints (vrel::count_host_work), where pending signals are handled (Ctrl-C stops a
// conversion of 10^8 elements as it stops a run) and the deadlines of the runs under way on
// the thread are read. Inside a run that is the run's time limit; outside any run only the
// signal check. Work is gathered per thread and handed over kConversionWorkBatch units at a
// time, so that a conversion loop pays at most an add and a branch per element (the loops over
// the items of a list, either way, count a block of elements at once). Any count may throw
// what a checkpoint throws: vrel::FatalError (a limit's fatal error, or an interruption,
// which guard_entry turns into the signal handler's exception).

inline constexpr std::int64_t kConversionWorkBatch = 64;
inline constinit thread_local std::int64_t tl_conversion_work
    __attribute__((tls_model("initial-exec"))) = 0;

// Hands the gathered work to the run budget.
void flush_conversion_work();

// Counts `units` of work: one per element, node or value converted, one more per KiB of text.
inline void count_conversion_work(std::int64_t units = 1) {
  tl_conversion_work += units;
  if (tl_conversion_work >= kConversionWorkBatch) [[unlikely]]
    flush_conversion_work();
}

// The elements of one conversion loop, counted in a local and handed over a batch at a time:
// a register increment per element. finish() hands over the rest (not the destructor: it
// may throw).
class LoopWork {
 public:
  void element() {
    if (++n_ == kConversionWorkBatch) [[unlikely]] {
      n_ = 0;
      count_conversion_work(kConversionWorkBatch);
    }
  }
  void finish() {
    count_conversion_work(n_);
    n_ = 0;
  }

 private:
  std::int64_t n_ = 0;
};

// Python object -> core Value. Tried in order: None, bool (also numpy booleans), str,
// int within 64 bits, float (or anything with __float__/__index__), sequence (recursively).
// Returns false with a TypeError pending whose message lists why each form failed; a
// nesting too deep for the interpreter's C recursion budget raises RecursionError instead.
// Resumes a panic (throws vrel::FatalError) when Python code run by the conversion lets a
// PanicException escape.
bool extract_value(PyObject* obj, vrel::Value& out);

// While one exists on this thread, the texts and vectors that extract_value creates are
// charged to the limited runs under way on the thread before they are allocated
// (vrel::charge_memory; beyond a limit the fatal error is thrown): for the results of Python
// functions, which are values the run creates. Other conversions are not charged.
class ChargedConversion {
 public:
  ChargedConversion() noexcept;
  ~ChargedConversion();
  ChargedConversion(const ChargedConversion&) = delete;
  ChargedConversion& operator=(const ChargedConversion&) = delete;

 private:
  bool previous_;
};

// Python int or str -> Identifier (an int names U, a str names S). Returns false with the
// combined TypeError pending; resumes a panic like extract_value.
bool extract_identifier(PyObject* obj, vrel::Identifier& out);

// Identifier -> new Python int (U) or str (S). Null with an exception pending when the
// object cannot be created.
PyRef identifier_to_python(const vrel::Identifier& id);

// Core value -> new Python object (lists for vectors). A function value gives null with
// TypeError "Cannot convert a Rust trait to Python" pending; a nesting too deep, null
// with RecursionError pending. Fatal errors (thrown): a function value inside a vector, and the
// interpreter failing to make a str, int, float or list. The texts and lists made are
// charged (vrel::charge_memory) to the limited runs under way on the thread, by the rule
// of the values a run makes (a text its length, a list 64 bytes an element), and count as
// conversion work: beyond a limit, the limit's fatal error (thrown), as for an interruption.
PyRef value_to_python(const vrel::Value& value);

// The same for a value read from `machine` outside its runs (get, vm[key]): also charged
// against the machine's memory limit, with a full budget at each call, so that reading back
// what a run built (2^30 elements sharing a few vectors) stops at "Memory limit exceeded".
PyRef value_to_python(const vrel::Machine& machine, const vrel::Value& value);

// Calls `work()` inside vrel::Machine::within_memory_limit of `machine`.
template <class Work>
void within_memory_limit(const vrel::Machine& machine, Work&& work) {
  using W = std::remove_reference_t<Work>;
  machine.within_memory_limit([](void* context) { (*static_cast<W*>(context))(); }, &work);
}

// The length a sequence reports, 0 when it reports none (the error is cleared). Only a hint
// for sizing: the items come from iteration, and a sequence may report any length at all.
inline std::size_t reported_size(PyObject* seq) {
  const Py_ssize_t n = PySequence_Size(seq);
  if (n >= 0) return static_cast<std::size_t>(n);
  PyErr_Clear();
  return 0;
}

// Collects `convert(item)` into `out` for every item of a sequence parameter whose items
// must all be instances of `type` (named `type_name` in errors); `convert` receives a new
// reference. A str, a non-sequence, a wrong item or a failing iteration raises TypeError
// (or the iteration's own error) and returns false; a PanicException raised by the
// iteration resumes (thrown).
template <class T, class Convert>
bool collect_instances(PyObject* seq, PyTypeObject* type, const char* type_name,
                       std::vector<T>& out, Convert&& convert) {
  if (PyUnicode_Check(seq)) return raise_type_error(msg::kStrToVec);
  if (!PySequence_Check(seq)) return raise_mismatch(seq, msg::kTargetSequence);
  out.reserve(std::min<std::size_t>(reported_size(seq), 1 << 16));
  LoopWork work;
  const bool complete = for_each_item(seq, [&](PyRef item) {
    work.element();
    if (!check_instance(item.get(), type, type_name)) return false;
    out.push_back(convert(std::move(item)));
    return true;
  });
  if (complete) work.finish();
  return complete || resume_if_panic();
}

// The trees contributed by the items of an `Expr` or `Statement` sequence parameter.
template <class Tree>
bool extract_tree_sequence(PyObject* seq, PyTypeObject* type, const char* type_name,
                           std::vector<Tree>& out) {
  return collect_instances(seq, type, type_name, out,
                           [](PyRef item) { return tree_from<Tree>(item.get()); });
}

// The statements of a statement sequence parameter, every item checked, and references to
// them that keep them alive while they run (a Python function called by the run may change
// the sequence meanwhile). Each item has a reference of its own, not one snapshot object: a
// thread ended during shutdown unwinds through the run without a thread state, where no
// object may be freed, and an item of a sequence its owner still holds never is.
struct StatementList {
  std::vector<PyRef> holders;
  std::vector<const vrel::Statement*> program;
};

// Fills `out`; false with the error pending (as collect_instances raises it).
bool collect_statements(PyObject* seq, StatementList& out);

}  // namespace vrelpy
