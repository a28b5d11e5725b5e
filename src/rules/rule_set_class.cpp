// The class `RuleSet`: construction from rules, setup and limits, its read-only attributes,
// evaluate, and pickling.
#include "rules/rule_set_class.hpp"

#include <string>
#include <utility>

#include "api/argument_binding.hpp"
#include "conversion/conversion.hpp"
#include "rules/record_columns.hpp"
#include "rules/rule_results.hpp"
#include "rules/rule_workers.hpp"
#include "runtime/errors.hpp"
#include "runtime/limits.hpp"
#include "support/messages.hpp"
#include "support/py_helpers.hpp"
#include "vrel/evaluator.hpp"

namespace vrelpy {

PyTypeObject* g_rule_set_type = nullptr;

namespace {

// The most worker threads one evaluation may ask for.
constexpr long kMaxWorkers = 256;

RuleSetState* receiver(PyObject* self) {
  if (!check_instance(self, g_rule_set_type, msg::kRuleSetTypeName)) return nullptr;
  return &reinterpret_cast<PyRuleSet*>(self)->state;
}

// The statements of a list of Statement objects (as parse returns them).
bool append_statements(PyObject* list, rules::Rule& out) {
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
    out.statements.push_back(statement_of(PyList_GET_ITEM(list, i)));
  }
  return true;
}

// Calls parse(text, functions=...) of the package; null with its error pending.
PyRef call_parse(PyObject* parse, PyObject* text, PyObject* functions) {
  PyRef kwargs = PyRef::steal(PyDict_New());
  if (!kwargs) return PyRef();
  if (functions && PyDict_SetItemString(kwargs.get(), "functions", functions) < 0) return PyRef();
  PyRef args = PyRef::steal(PyTuple_Pack(1, text));
  if (!args) return PyRef();
  return PyRef::steal(PyObject_Call(parse, args.get(), kwargs.get()));
}

// A rule given as text: a program when parse(text) reads it, or else an expression, read
// as the program "<name> = <text>". A text that is neither raises the ParseError of reading
// it as a program.
bool read_rule_text(PyObject* name_obj, const vrel::Identifier& name, PyObject* text,
                    PyObject* functions, rules::Rule& out) {
  PyRef module = PyRef::steal(PyImport_ImportModule(msg::kModuleName));
  if (!module) return false;
  PyRef parse = PyRef::steal(PyObject_GetAttrString(module.get(), "parse"));
  PyRef unparse = parse ? PyRef::steal(PyObject_GetAttrString(module.get(), "unparse")) : PyRef();
  if (!unparse) return false;
  PyRef program = call_parse(parse.get(), text, functions);
  if (!program) {
    PyRef first_error = PyRef::steal(PyErr_GetRaisedException());
    // The name as the text form spells it: the left side of an unparsed let of it.
    PyRef probe = PyRef::steal(wrap_statement(
        vrel::Statement::Let{name, vrel::Expr(vrel::Expr::Literal{vrel::Value::integer(0)})}));
    PyRef listed = probe ? PyRef::steal(PyList_New(1)) : PyRef();
    if (!listed) return false;
    PyList_SET_ITEM(listed.get(), 0, probe.release());
    PyRef spelled = PyRef::steal(PyObject_CallOneArg(unparse.get(), listed.get()));
    std::string let_text;
    std::string expr_text;
    if (!spelled || !utf8_text(spelled.get(), let_text) || !utf8_text(text, expr_text)) {
      return false;
    }
    const std::size_t eq = let_text.rfind(" = ");
    const std::string source =
        let_text.substr(0, eq == std::string::npos ? 0 : eq) + " = " + expr_text;
    PyRef source_obj = PyRef::steal(
        PyUnicode_DecodeUTF8(source.data(), static_cast<Py_ssize_t>(source.size()), nullptr));
    if (!source_obj) return false;
    program = call_parse(parse.get(), source_obj.get(), functions);
    if (!program) {
      PyErr_Clear();
      PyErr_SetRaisedException(first_error.release());
      return false;
    }
    out.expression = true;
  }
  if (PyList_Check(program.get())) return append_statements(program.get(), out);
  PyErr_Format(PyExc_TypeError, msg::kRulesBadRuleFormat, name_obj, "str");
  return false;
}

// One rule: its statements, and the object kept for pickling (an Expr, a tuple of the
// Statements, or the text). False with a TypeError pending for anything else, or the
// ParseError of a text.
bool read_rule(PyObject* name_obj, const vrel::Identifier& name, PyObject* rule,
               PyObject* functions, rules::Rule& out, PyRef& kept) {
  out.name = name;
  if (PyUnicode_Check(rule)) {
    kept = PyRef::borrow(rule);
    return read_rule_text(name_obj, name, rule, functions, out);
  }
  if (PyObject_TypeCheck(rule, g_expr_type) && is_built(rule)) {
    out.expression = true;
    out.statements.emplace_back(vrel::Statement::Let{name, tree_from<vrel::Expr>(rule)});
    kept = PyRef::borrow(rule);
    return true;
  }
  if (!PyUnicode_Check(rule) && PySequence_Check(rule)) {
    PyRef items = PyRef::steal(PySequence_Tuple(rule));
    if (!items) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()); ++i) {
      PyObject* item = PyTuple_GET_ITEM(items.get(), i);
      if (!PyObject_TypeCheck(item, g_statement_type) || !is_built(item)) {
        PyErr_Format(PyExc_TypeError, msg::kRulesBadRuleFormat, name_obj, Py_TYPE(item)->tp_name);
        return false;
      }
      out.statements.push_back(statement_of(item));
    }
    kept = std::move(items);
    return true;
  }
  PyErr_Format(PyExc_TypeError, msg::kRulesBadRuleFormat, name_obj, Py_TYPE(rule)->tp_name);
  return false;
}

bool read_limits(PyObject* limits, vrel::RunLimits& out) {
  if (!limits || limits == Py_None) return true;
  if (!PyDict_Check(limits)) return raise_type_error(msg::kRulesLimitsNotMapping);
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  Py_ssize_t pos = 0;
  while (PyDict_Next(limits, &pos, &key, &value)) {
    if (!PyUnicode_Check(key) || (PyUnicode_CompareWithASCIIString(key, msg::kLimitSteps) != 0 &&
                                  PyUnicode_CompareWithASCIIString(key, msg::kLimitMemory) != 0 &&
                                  PyUnicode_CompareWithASCIIString(key, msg::kLimitSeconds) != 0)) {
      PyErr_Format(PyExc_TypeError, msg::kRulesBadLimitFormat, key);
      return false;
    }
  }
  return limits_from_python(PyDict_GetItemString(limits, msg::kLimitSteps),
                            PyDict_GetItemString(limits, msg::kLimitMemory),
                            PyDict_GetItemString(limits, msg::kLimitSeconds), out);
}

PyRef identifiers_tuple(const std::vector<vrel::Identifier>& ids) {
  PyRef tuple = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(ids.size())));
  if (!tuple) return PyRef();
  for (std::size_t i = 0; i < ids.size(); ++i) {
    PyRef id = identifier_to_python(ids[i]);
    if (!id) return PyRef();
    PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), id.release());
  }
  return tuple;
}

PyObject* build_rule_set(PyTypeObject* type, PyObject* rules_arg, PyObject* setup_arg,
                         PyObject* functions, PyObject* limits) {
  auto program = std::make_shared<rules::RuleProgram>();
  RuleSetState state;
  if (functions == Py_None) functions = nullptr;
  if (!PyMapping_Check(rules_arg) || PySequence_Check(rules_arg)) {
    raise_type_error(msg::kRulesNotMapping);
    return nullptr;
  }
  PyRef items = PyRef::steal(PyMapping_Items(rules_arg));
  if (!items) return nullptr;
  state.rules = PyRef::steal(PyDict_New());
  if (!state.rules) return nullptr;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
    PyObject* pair = PyList_GET_ITEM(items.get(), i);
    PyObject* name_obj = PyTuple_GET_ITEM(pair, 0);
    vrel::Identifier name;
    if (!extract_identifier(name_obj, name)) return nullptr;
    rules::Rule rule;
    PyRef kept;
    if (!read_rule(name_obj, name, PyTuple_GET_ITEM(pair, 1), functions, rule, kept)) {
      return nullptr;
    }
    if (PyDict_SetItem(state.rules.get(), name_obj, kept.get()) < 0) return nullptr;
    program->rules.push_back(std::move(rule));
    state.rule_names.push_back(PyRef::borrow(name_obj));
  }
  state.setup = PyRef::steal(PyList_New(0));
  if (!state.setup) return nullptr;
  if (setup_arg && setup_arg != Py_None) {
    std::vector<vrel::Statement> setup;
    if (!extract_tree_sequence(setup_arg, g_statement_type, msg::kTargetStatement, setup)) {
      prefix_argument_error("setup");
      return nullptr;
    }
    program->setup = std::move(setup);
    PyRef listed = PyRef::steal(PySequence_List(setup_arg));
    if (!listed) return nullptr;
    state.setup = std::move(listed);
  }
  if (!read_limits(limits, program->limits)) return nullptr;
  state.limits = PyRef::borrow(limits && limits != Py_None ? limits : Py_None);
  if (limits && limits != Py_None) {
    state.limits = PyRef::steal(PyDict_Copy(limits));
    if (!state.limits) return nullptr;
  }
  state.functions = PyRef::borrow(functions ? functions : Py_None);  // None when not given
  for (rules::Rule& rule : program->rules) {
    for (const vrel::Statement& s : rule.statements) rule.borrowed.push_back(&s);
  }
  for (const vrel::Statement& s : program->setup) program->setup_borrowed.push_back(&s);
  rules::analyse_reads(*program);
  rules::find_leading_reads(*program);
  state.inputs = identifiers_tuple(program->inputs);
  if (!state.inputs) return nullptr;
  state.functions_called = identifiers_tuple(program->functions_called);
  if (!state.functions_called) return nullptr;
  // The setup runs once here, so that a setup that fails does so now, as Vrel.run would.
  {
    vrel::Machine probe;
    vrel::deduce_borrowed(probe, program->setup_borrowed);
  }
  state.program = std::move(program);
  return new_instance<&PyRuleSet::state>(type, std::move(state));
}

PyObject* rule_set_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guard_entry<PyObject*>(nullptr, [&]() -> PyObject* {
    static const char* kKeywords[] = {"rules", "setup", "functions", "limits", nullptr};
    PyObject* rules_arg = nullptr;
    PyObject* setup = nullptr;
    PyObject* functions = nullptr;
    PyObject* limits = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$OOO:RuleSet", const_cast<char**>(kKeywords),
                                     &rules_arg, &setup, &functions, &limits)) {
      return nullptr;
    }
    return build_rule_set(type, rules_arg, setup, functions, limits);
  });
}

constexpr auto rule_set_dealloc = dealloc_instance<&PyRuleSet::state>;

PyObject* rule_set_evaluate(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guard_entry<PyObject*>(nullptr, [&]() -> PyObject* {
    static const char* kKeywords[] = {"", "workers", nullptr};
    PyObject* records = nullptr;
    long workers = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$l:evaluate", const_cast<char**>(kKeywords),
                                     &records, &workers)) {
      return nullptr;
    }
    RuleSetState* state = receiver(self);
    if (!state) return nullptr;
    if (workers < 1 || workers > kMaxWorkers) {
      PyErr_SetString(PyExc_ValueError, msg::kRulesWorkers);
      return nullptr;
    }
    // Held for the call: the program outlives the workers whatever happens to `self`.
    const std::shared_ptr<const rules::RuleProgram> program = state->program;
    PyRef names_holder = PyRef::borrow(self);
    rules::RecordTable table;
    rules::RecordForm form = rules::RecordForm::Records;
    if (!rules::read_records(records, *program, table, form)) return nullptr;
    // Refers to failures that `program` holds: made after it, so gone before it.
    rules::ResultTable results(table.rows, program->rules.size(), rules::kRecordBatch);
    if (!rules::evaluate_records(*program, table, results, static_cast<std::size_t>(workers))) {
      return nullptr;
    }
    return rules::results_to_python(results, form, state->rule_names, *program).release();
  });
}

PyObject* rule_set_inputs(PyObject* self, void*) {
  RuleSetState* state = receiver(self);
  return state ? Py_NewRef(state->inputs.get()) : nullptr;
}

PyObject* rule_set_functions_called(PyObject* self, void*) {
  RuleSetState* state = receiver(self);
  return state ? Py_NewRef(state->functions_called.get()) : nullptr;
}

PyObject* rule_set_rules(PyObject* self, void*) {
  RuleSetState* state = receiver(self);
  if (!state) return nullptr;
  // Expression rules as they were given; a program as a new list each time.
  PyRef copy = PyRef::steal(PyDict_New());
  if (!copy) return nullptr;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  Py_ssize_t pos = 0;
  while (PyDict_Next(state->rules.get(), &pos, &key, &value)) {
    PyRef item = PyTuple_Check(value) ? PyRef::steal(PySequence_List(value)) : PyRef::borrow(value);
    if (!item || PyDict_SetItem(copy.get(), key, item.get()) < 0) return nullptr;
  }
  return copy.release();
}

PyObject* rule_set_setup(PyObject* self, void*) {
  RuleSetState* state = receiver(self);
  return state ? PySequence_List(state->setup.get()) : nullptr;
}

PyObject* rule_set_limits(PyObject* self, void*) {
  RuleSetState* state = receiver(self);
  if (!state) return nullptr;
  return limits_to_python(state->program->limits).release();
}

PyObject* rule_set_reduce(PyObject* self, PyObject*) {
  RuleSetState* state = receiver(self);
  if (!state) return nullptr;
  PyRef module = PyRef::steal(PyImport_ImportModule(msg::kModuleName));
  if (!module) return nullptr;
  PyRef rebuild = PyRef::steal(PyObject_GetAttrString(module.get(), "_rule_set"));
  if (!rebuild) return nullptr;
  PyRef rules = PyRef::steal(rule_set_rules(self, nullptr));
  if (!rules) return nullptr;
  return Py_BuildValue("(O(OOOO))", rebuild.get(), rules.get(), state->setup.get(),
                       state->functions.get(), state->limits.get());
}

PyObject* rule_set_repr(PyObject* self) {
  RuleSetState* state = receiver(self);
  if (!state) return nullptr;
  PyRef names = PyRef::steal(PyDict_Keys(state->rules.get()));
  if (!names) return nullptr;
  return PyUnicode_FromFormat("RuleSet(rules=%R, inputs=%R)", names.get(), state->inputs.get());
}

PyMethodDef g_rule_set_methods[] = {
    {"evaluate", VRELPY_CFUNCTION(rule_set_evaluate), METH_VARARGS | METH_KEYWORDS,
     msg::kRuleSetEvaluateDoc},
    {"__reduce__", VRELPY_CFUNCTION(rule_set_reduce), METH_NOARGS, msg::kRuleSetReduceDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef g_rule_set_getset[] = {
    {"inputs", rule_set_inputs, nullptr, msg::kRuleSetInputsDoc, nullptr},
    {"functions_called", rule_set_functions_called, nullptr, msg::kRuleSetFunctionsCalledDoc,
     nullptr},
    {"rules", rule_set_rules, nullptr, msg::kRuleSetRulesDoc, nullptr},
    {"setup", rule_set_setup, nullptr, msg::kRuleSetSetupDoc, nullptr},
    {"limits", rule_set_limits, nullptr, msg::kRuleSetLimitsDoc, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot g_rule_set_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(rule_set_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(rule_set_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(rule_set_repr)},
    {Py_tp_doc, const_cast<char*>(msg::kRuleSetDoc)},
    {Py_tp_methods, g_rule_set_methods},
    {Py_tp_getset, g_rule_set_getset},
    {0, nullptr},
};

PyType_Spec g_rule_set_spec = {
    msg::kRuleSetTypeName, sizeof(PyRuleSet), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    g_rule_set_slots,
};

}  // namespace

PyTypeObject* create_rule_set_type() { return type_from_spec(g_rule_set_spec); }

PyObject* rule_set_rebuild(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return guard_entry<PyObject*>(nullptr, [&]() -> PyObject* {
    if (nargs != 4) {
      PyErr_SetString(PyExc_TypeError, "_rule_set expects 4 arguments");
      return nullptr;
    }
    return build_rule_set(g_rule_set_type, args[0], args[1], args[2], args[3]);
  });
}

}  // namespace vrelpy
