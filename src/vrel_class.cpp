// The machine class `Vrel`: construction, run, get, limits and repr.
#include <new>
#include <string>
#include <vector>

#include "argument_binding.hpp"
#include "classes.hpp"
#include "conversion.hpp"
#include "errors.hpp"
#include "limits.hpp"
#include "vrel/evaluator.hpp"

namespace vrelpy {
namespace {

// A shared borrow of a Vrel object's machine for the duration of one call. The count only
// ever goes up and down by one per call; the all-ones value would mark an exclusive borrow,
// which nothing takes, so acquiring never fails in practice.
class MachineBorrow {
 public:
  explicit MachineBorrow(PyVrel* self) noexcept : self_(self) {
    std::uint64_t n = self_->borrows.load(std::memory_order_relaxed);
    while (!self_->borrows.compare_exchange_weak(n, n + 1, std::memory_order_acquire)) {
    }
  }
  ~MachineBorrow() { self_->borrows.fetch_sub(1, std::memory_order_release); }
  const vrel::Machine& machine() const noexcept { return self_->machine; }

 private:
  PyVrel* self_;
};

// The receiver of a method; a non-Vrel receiver fails by the mismatch rule.
PyVrel* receiver(PyObject* self) {
  if (!check_instance(self, g_vrel_type, "Vrel")) return nullptr;
  return reinterpret_cast<PyVrel*>(self);
}

PyObject* vrel_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guard_entry<PyObject*>(nullptr, [&]() -> PyObject* {
    static constexpr MethodSignature kSig = signature("Vrel.__new__()");
    if (!bind_arguments(kSig, args, kwargs, nullptr)) return nullptr;
    vrel::Machine machine;
    PyObject* obj = type->tp_alloc(type, 0);
    if (!obj) return nullptr;  // the machine is destroyed on the way out
    auto* self = reinterpret_cast<PyVrel*>(obj);
    new (&self->machine) vrel::Machine(std::move(machine));
    new (&self->borrows) std::atomic<std::uint64_t>(0);
    self->built = true;
    return obj;
  });
}

void vrel_dealloc(PyObject* obj) noexcept {
  PyTypeObject* type = Py_TYPE(obj);
  auto* self = reinterpret_cast<PyVrel*>(obj);
  if (!self->built) {
    type->tp_free(obj);
    Py_DECREF(type);
    return;
  }
  // Destroying the machine releases every value in it; a Python function among them may
  // run arbitrary code as its last reference goes, but cannot reach this object any more.
  self->machine.~Machine();
  self->borrows.~atomic();
  type->tp_free(obj);
  Py_DECREF(type);
}

PyObject* vrel_run(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                   PyObject* kwnames) {
  return guard_entry<PyObject*>(nullptr, [&]() -> PyObject* {
    static constexpr const char* kParams[] = {"stmts"};
    static constexpr MethodSignature kSig = signature("Vrel.run()", kParams);
    PyObject* bound[1];
    if (!bind_arguments(kSig, args, nargsf, kwnames, bound)) return nullptr;
    PyVrel* vrel = receiver(self);
    if (!vrel) return nullptr;
    MachineBorrow borrow(vrel);
    // Every item is checked before anything runs, so a bad item executes nothing. The
    // statements are then run in place: the Statement objects are immutable and the
    // references held here keep them alive even if the sequence changes meanwhile.
    std::vector<PyRef> holders;
    if (!collect_statements(bound[0], holders)) {
      prefix_argument_error("stmts");
      return nullptr;
    }
    std::vector<const vrel::Statement*> program;
    program.reserve(holders.size());
    for (const PyRef& holder : holders) program.push_back(&statement_of(holder.get()));
    vrel::deduce_borrowed(borrow.machine(), program);
    Py_RETURN_NONE;
  });
}

PyObject* vrel_get(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                   PyObject* kwnames) {
  return guard_entry<PyObject*>(nullptr, [&]() -> PyObject* {
    static constexpr const char* kParams[] = {"ident"};
    static constexpr MethodSignature kSig = signature("Vrel.get()", kParams);
    PyObject* bound[1];
    if (!bind_arguments(kSig, args, nargsf, kwnames, bound)) return nullptr;
    PyVrel* vrel = receiver(self);
    if (!vrel) return nullptr;
    MachineBorrow borrow(vrel);
    vrel::Identifier id;
    if (!extract_identifier(bound[0], id)) {
      prefix_argument_error("ident");
      return nullptr;
    }
    vrel::SharedValue value = borrow.machine().get(id);
    return value_to_python(*value).release();
  });
}

PyObject* vrel_set_limits(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                          PyObject* kwnames) {
  return guard_entry<PyObject*>(nullptr, [&]() -> PyObject* {
    static constexpr const char* kParams[] = {"steps", "memory", "seconds"};
    static constexpr MethodSignature kSig = signature("Vrel.set_limits()", kParams);
    PyObject* bound[3];
    if (!bind_keyword_only(kSig, args, nargsf, kwnames, bound)) return nullptr;
    PyVrel* vrel = receiver(self);
    if (!vrel) return nullptr;
    vrel::RunLimits limits;
    if (!limits_from_python(bound[0], bound[1], bound[2], limits)) return nullptr;
    MachineBorrow borrow(vrel);
    borrow.machine().set_limits(limits);
    Py_RETURN_NONE;
  });
}

PyObject* vrel_limits(PyObject* self, void*) {
  return guard_entry<PyObject*>(nullptr, [&]() -> PyObject* {
    PyVrel* vrel = receiver(self);
    if (!vrel) return nullptr;
    MachineBorrow borrow(vrel);
    return limits_to_python(borrow.machine().limits()).release();
  });
}

PyObject* vrel_repr(PyObject* self) {
  return guard_entry<PyObject*>(nullptr, [&]() -> PyObject* {
    PyVrel* vrel = receiver(self);
    if (!vrel) return nullptr;
    MachineBorrow borrow(vrel);
    std::string text = borrow.machine().debug();
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
  });
}

PyMethodDef g_vrel_methods[] = {
    {"run", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(vrel_run)),
     METH_FASTCALL | METH_KEYWORDS, "run($self, stmts)\n--\n\n"},
    {"get", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(vrel_get)),
     METH_FASTCALL | METH_KEYWORDS, "get($self, ident)\n--\n\n"},
    {"set_limits", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(vrel_set_limits)),
     METH_FASTCALL | METH_KEYWORDS,
     "set_limits($self, *, steps=None, memory=None, seconds=None)\n--\n\n"
     "Bound every later run of this machine; an omitted limit is unset."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef g_vrel_getset[] = {
    {"limits", vrel_limits, nullptr,
     "The limits set by set_limits: a new dict {'steps', 'memory', 'seconds'}, None where "
     "unset.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot g_vrel_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(vrel_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(vrel_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(vrel_repr)},
    {Py_tp_doc, const_cast<char*>("Vrel()\n--\n\n")},
    {Py_tp_methods, g_vrel_methods},
    {Py_tp_getset, g_vrel_getset},
    {0, nullptr},
};

PyType_Spec g_vrel_spec = {
    "builtins.Vrel",
    sizeof(PyVrel),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    g_vrel_slots,
};

}  // namespace

PyTypeObject* create_vrel_type() {
  return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&g_vrel_spec));
}

}  // namespace vrelpy
