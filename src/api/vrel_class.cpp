// The machine class `Vrel`: construction, run, get, limits, repr and its type (slots,
// methods).
#include <string>
#include <vector>

#include "api/argument_binding.hpp"
#include "api/classes.hpp"
#include "api/vrel_mapping.hpp"
#include "conversion/conversion.hpp"
#include "runtime/errors.hpp"
#include "runtime/limits.hpp"
#include "support/messages.hpp"
#include "support/py_helpers.hpp"
#include "vrel/evaluator.hpp"

namespace vrelpy {
namespace {

// The machine of a method's receiver; null with the mismatch TypeError pending for a
// receiver that is not a built Vrel.
const vrel::Machine* receiver(PyObject* self) {
  if (!check_instance(self, g_vrel_type, msg::kTargetVrel)) return nullptr;
  return &reinterpret_cast<PyVrel*>(self)->state.machine;
}

PyObject* vrel_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guard_entry<PyObject*>(nullptr, [&]() -> PyObject* {
    static constexpr MethodSignature kSig = signature(msg::kVrelNew);
    if (!bind_arguments(kSig, args, kwargs, nullptr)) return nullptr;
    // Made first: if it cannot be, no object exists yet. If the object cannot be, the
    // machine is destroyed on the way out.
    vrel::Machine machine;
    return new_instance<&PyVrel::state>(type, std::move(machine));
  });
}

// Destroying the machine releases every value in it; a Python function among them may run
// arbitrary code as its last reference goes, but cannot reach this object any more.
constexpr auto vrel_dealloc = dealloc_instance<&PyVrel::state>;

PyObject* vrel_run(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guard_entry<PyObject*>(nullptr, [&]() -> PyObject* {
    static constexpr const char* kParams[] = {"stmts"};
    static constexpr MethodSignature kSig = signature(msg::kVrelRun, kParams);
    PyObject* bound[1];
    if (!bind_arguments(kSig, args, nargsf, kwnames, bound)) return nullptr;
    const vrel::Machine* machine = receiver(self);
    if (!machine) return nullptr;
    // Every item is checked before anything runs, so a bad item executes nothing. The
    // statements are then run in place: the Statement objects are immutable and the
    // references held here keep them alive even if the sequence changes meanwhile.
    StatementList statements;
    if (!collect_statements(bound[0], statements)) {
      prefix_argument_error("stmts");
      return nullptr;
    }
    vrel::deduce_borrowed(*machine, statements.program);
    Py_RETURN_NONE;
  });
}

PyObject* vrel_get(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guard_entry<PyObject*>(nullptr, [&]() -> PyObject* {
    static constexpr const char* kParams[] = {"ident"};
    static constexpr MethodSignature kSig = signature(msg::kVrelGet, kParams);
    PyObject* bound[1];
    if (!bind_arguments(kSig, args, nargsf, kwnames, bound)) return nullptr;
    const vrel::Machine* machine = receiver(self);
    if (!machine) return nullptr;
    vrel::Identifier id;
    if (!extract_identifier(bound[0], id)) {
      prefix_argument_error("ident");
      return nullptr;
    }
    vrel::SharedValue value = machine->get(id);
    return value_to_python(*machine, *value).release();
  });
}

PyObject* vrel_set_limits(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                          PyObject* kwnames) {
  return guard_entry<PyObject*>(nullptr, [&]() -> PyObject* {
    static constexpr const char* kParams[] = {msg::kLimitSteps, msg::kLimitMemory,
                                              msg::kLimitSeconds};
    static constexpr MethodSignature kSig = signature(msg::kVrelSetLimits, kParams);
    PyObject* bound[3];
    if (!bind_keyword_only(kSig, args, nargsf, kwnames, bound)) return nullptr;
    const vrel::Machine* machine = receiver(self);
    if (!machine) return nullptr;
    vrel::RunLimits limits;
    if (!limits_from_python(bound[0], bound[1], bound[2], limits)) return nullptr;
    machine->set_limits(limits);
    Py_RETURN_NONE;
  });
}

PyObject* vrel_limits(PyObject* self, void*) {
  return guard_entry<PyObject*>(nullptr, [&]() -> PyObject* {
    const vrel::Machine* machine = receiver(self);
    if (!machine) return nullptr;
    return limits_to_python(machine->limits()).release();
  });
}

PyObject* vrel_repr(PyObject* self) {
  return guard_entry<PyObject*>(nullptr, [&]() -> PyObject* {
    const vrel::Machine* machine = receiver(self);
    if (!machine) return nullptr;
    // Within the machine's memory limit: the debug form of what a run built can be far
    // larger than the run was allowed to allocate.
    PyObject* repr = nullptr;
    within_memory_limit(*machine, [&] {
      std::string text = machine->debug();
      repr = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
    });
    return repr;
  });
}

PyMethodDef g_vrel_methods[] = {
    {"run", VRELPY_CFUNCTION(vrel_run), METH_FASTCALL | METH_KEYWORDS, msg::kVrelRunDoc},
    {"get", VRELPY_CFUNCTION(vrel_get), METH_FASTCALL | METH_KEYWORDS, msg::kVrelGetDoc},
    {"set_limits", VRELPY_CFUNCTION(vrel_set_limits), METH_FASTCALL | METH_KEYWORDS,
     msg::kVrelSetLimitsDoc},
    {"update", VRELPY_CFUNCTION(vrel_update), METH_VARARGS | METH_KEYWORDS, msg::kVrelUpdateDoc},
    {"keys", VRELPY_CFUNCTION(vrel_keys), METH_NOARGS, msg::kVrelKeysDoc},
    {"__reduce__", VRELPY_CFUNCTION(vrel_reduce), METH_NOARGS, msg::kVrelReduceDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef g_vrel_getset[] = {
    {"limits", vrel_limits, nullptr, msg::kVrelLimitsDoc, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot g_vrel_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(vrel_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(vrel_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(vrel_repr)},
    {Py_mp_subscript, reinterpret_cast<void*>(vrel_subscript)},
    {Py_mp_ass_subscript, reinterpret_cast<void*>(vrel_ass_subscript)},
    {Py_mp_length, reinterpret_cast<void*>(vrel_length)},
    {Py_sq_contains, reinterpret_cast<void*>(vrel_contains)},
    {Py_tp_iter, reinterpret_cast<void*>(vrel_iter)},
    {Py_nb_bool, reinterpret_cast<void*>(vrel_bool)},
    {Py_tp_doc, const_cast<char*>(msg::kVrelDoc)},
    {Py_tp_methods, g_vrel_methods},
    {Py_tp_getset, g_vrel_getset},
    {0, nullptr},
};

PyType_Spec g_vrel_spec = {
    msg::kVrelTypeName, sizeof(PyVrel), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    g_vrel_slots,
};

}  // namespace

PyTypeObject* create_vrel_type() { return type_from_spec(g_vrel_spec); }

}  // namespace vrelpy
