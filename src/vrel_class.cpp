// The machine class `Vrel`: construction, run, get, repr and its type (slots, methods).
#include <new>
#include <string>
#include <vector>

#include "argument_binding.hpp"
#include "classes.hpp"
#include "conversion.hpp"
#include "errors.hpp"
#include "machine_borrow.hpp"
#include "vrel_mapping.hpp"
#include "vrel/evaluator.hpp"

namespace vrelpy {
namespace {

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
    PyVrel* vrel = vrel_receiver(self);
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
    PyVrel* vrel = vrel_receiver(self);
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

PyObject* vrel_repr(PyObject* self) {
  return guard_entry<PyObject*>(nullptr, [&]() -> PyObject* {
    PyVrel* vrel = vrel_receiver(self);
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
    {"update", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(vrel_update)),
     METH_VARARGS | METH_KEYWORDS,
     "update($self, other=(), /, **kwargs)\n--\n\n"
     "Bind many variables from a mapping or (ident, value) pairs and keywords."},
    {"keys", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(vrel_keys)),
     METH_NOARGS, "keys($self, /)\n--\n\nA list of the bound identifiers."},
    {"__reduce__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(vrel_reduce)),
     METH_NOARGS, "__reduce__($self, /)\n--\n\nRefused: a machine cannot be pickled."},
    {nullptr, nullptr, 0, nullptr},
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
    {Py_tp_doc, const_cast<char*>("Vrel()\n--\n\n")},
    {Py_tp_methods, g_vrel_methods},
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
