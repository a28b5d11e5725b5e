// The mapping operations of `Vrel`: item access and assignment, update, membership,
// length, listing, and the refusal to pickle.
#include "api/vrel_mapping.hpp"

#include <algorithm>
#include <memory>
#include <utility>
#include <vector>

#include "api/classes.hpp"
#include "conversion/conversion.hpp"
#include "conversion/conversion_failure.hpp"
#include "conversion/py_function.hpp"
#include "runtime/errors.hpp"
#include "support/messages.hpp"

namespace vrelpy {
namespace {

using vrel::Identifier;
using vrel::SharedValue;

// The value a binding stores: a plain Python function becomes a function value as
// Statement.fn makes one; anything else converts as Expr.literal converts its value.
// False with the conversion's TypeError pending.
bool binding_value(PyObject* obj, vrel::Value& out) {
  if (Py_IS_TYPE(obj, &PyFunction_Type)) {
    out = vrel::Value::function(std::make_unique<PyVrelFn>(PyRef::borrow(obj)));
    return true;
  }
  if (take_plain_number(obj, [&](auto make) { out = make(); })) return true;
  return extract_value(obj, out);
}

// The state of a method's receiver; null with the mismatch TypeError pending for a receiver
// that is not a built Vrel.
VrelState* receiver(PyObject* self) {
  if (!check_instance(self, g_vrel_type, msg::kTargetVrel)) return nullptr;
  return &reinterpret_cast<PyVrel*>(self)->state;
}

using Place = vrel::Machine::Place;

// Puts `key` (an exact str) and its place first in its set of recently used keys; the
// set's other entry is the one that was first (`key` itself is never in a set twice).
void remember_recent(PlaceCache& cache, PyObject* key, Place place) {
  PlaceCache::RecentSet& set = cache.recent[PlaceCache::recent_index(key)];
  if (set[0].key.get() == key) return;
  set[1] = std::move(set[0]);
  set[0].key = PyRef::borrow(key);
  set[0].place = place;
}

// The remembered place of `key`, or an empty one. Only exact strs are remembered: looking one
// up in a dict runs no Python code and cannot fail.
Place cached_place(PlaceCache& cache, PyObject* key) {
  const PlaceCache::RecentSet& set = cache.recent[PlaceCache::recent_index(key)];
  if (set[0].key.get() == key) return set[0].place;
  if (set[1].key.get() == key) return set[1].place;
  if (!cache.names || !PyUnicode_CheckExact(key)) return Place();
  PyObject* index = PyDict_GetItemWithError(cache.names.get(), key);  // borrowed
  if (!index) return Place();
  const Place place = cache.places[PyLong_AsSize_t(index)];
  remember_recent(cache, key, place);
  return place;
}

// Remembers the place of `key` if it is an exact str. The cache only saves time: when memory
// runs out it simply stays as it was. A name already there keeps its one entry (its place
// never changes): one update may bind a new name several times, each binding converted
// before the first one found its place.
void remember_place(PlaceCache& cache, PyObject* key, Place place) {
  if (!PyUnicode_CheckExact(key)) return;
  if (!cache.names) {
    cache.names = PyRef::steal(PyDict_New());
    if (!cache.names) return PyErr_Clear();
  } else if (PyDict_GetItemWithError(cache.names.get(), key)) {  // borrowed
    return remember_recent(cache, key, place);
  } else if (PyErr_Occurred()) {
    return PyErr_Clear();
  }
  PyRef index = PyRef::steal(PyLong_FromSize_t(cache.places.size()));
  if (!index) return PyErr_Clear();
  cache.places.push_back(place);
  // On failure the place stays in `places` unnamed: the dict may have run code (a collection)
  // that remembered other places after it.
  if (PyDict_SetItem(cache.names.get(), key, index.get()) < 0) return PyErr_Clear();
  remember_recent(cache, key, place);
}

// Binds `key` (its identifier `id` when it has no remembered place) and remembers its place.
void bind_key(VrelState& state, PyObject* key, Place place, Identifier&& id, vrel::Value value) {
  if (place) return state.machine.bind(place, std::move(value));
  place = state.machine.bind_place(std::move(id), std::move(value));
  remember_place(state.places, key, place);
}

// One binding of an update, converted and waiting: the key with its place, or its identifier
// when it has none yet.
struct PendingBinding {
  PyRef key;
  Place place;
  Identifier id;
  vrel::Value value;
};
using Bindings = std::vector<PendingBinding>;

// `key` and `value` may be borrowed from a container that Python code can change: both are
// held from the start, since converting either may run such code (an __index__, a
// __float__, a sequence's __getitem__) and drop the container's references.
bool add_binding(Bindings& bindings, PlaceCache& cache, PyObject* key, PyObject* value) {
  PyRef held_key = PyRef::borrow(key);
  PyRef held_value = PyRef::borrow(value);
  count_conversion_work();  // an update of ten million pairs still handles signals
  Place place = cached_place(cache, key);
  Identifier id;
  if (!place && !extract_identifier(key, id)) return false;
  vrel::Value converted;
  if (!binding_value(value, converted)) return name_binding_failure("update: ", key, value);
  bindings.push_back(
      PendingBinding{std::move(held_key), place, std::move(id), std::move(converted)});
  return true;
}

// The items of a dict (a conversion may run Python code that changes the dict; PyDict_Next
// stays safe, and add_binding holds the items it was given).
bool add_dict(Bindings& bindings, PlaceCache& cache, PyObject* dict) {
  Py_ssize_t pos = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(dict, &pos, &key, &value)) {
    if (!add_binding(bindings, cache, key, value)) return false;
  }
  return true;
}

// Anything with keys(): other[key] for every key, as dict.update reads a mapping.
bool add_mapping(Bindings& bindings, PlaceCache& cache, PyObject* mapping) {
  PyRef keys = PyRef::steal(PyMapping_Keys(mapping));
  if (!keys) return false;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys.get()); ++i) {
    PyRef key = PyRef::borrow(PyList_GET_ITEM(keys.get(), i));
    PyRef value = PyRef::steal(PyObject_GetItem(mapping, key.get()));
    if (!value || !add_binding(bindings, cache, key.get(), value.get())) return false;
  }
  return true;
}

// An iterable of (ident, value) pairs, with dict.update's messages for bad elements.
bool add_pairs(Bindings& bindings, PlaceCache& cache, PyObject* iterable) {
  PyRef it = PyRef::steal(PyObject_GetIter(iterable));
  if (!it) return false;
  Py_ssize_t index = 0;
  while (PyRef item = PyRef::steal(PyIter_Next(it.get()))) {
    // Pairs are usually 2-tuples (zip and dict.items make them): read in place.
    if (PyTuple_CheckExact(item.get()) && PyTuple_GET_SIZE(item.get()) == 2) {
      if (!add_binding(bindings, cache, PyTuple_GET_ITEM(item.get(), 0),
                       PyTuple_GET_ITEM(item.get(), 1))) {
        return false;
      }
      ++index;
      continue;
    }
    PyRef pair = PyRef::steal(PySequence_Fast(item.get(), ""));
    if (!pair) {
      if (PyErr_ExceptionMatches(PyExc_TypeError)) {
        PyErr_Format(PyExc_TypeError, msg::kUpdateNotSequenceFormat, index);
      }
      return false;
    }
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(pair.get());
    if (n != 2) {
      PyErr_Format(PyExc_ValueError, msg::kUpdateLengthFormat, index, n);
      return false;
    }
    // A list pair is the list itself: its items are borrowed from it, and add_binding holds
    // them before anything can empty it.
    PyObject** parts = PySequence_Fast_ITEMS(pair.get());
    if (!add_binding(bindings, cache, parts[0], parts[1])) return false;
    ++index;
  }
  return !PyErr_Occurred();
}

bool add_other(Bindings& bindings, PlaceCache& cache, PyObject* other) {
  if (PyDict_CheckExact(other)) return add_dict(bindings, cache, other);
  const int has_keys = PyObject_HasAttrStringWithError(other, "keys");
  if (has_keys < 0) return false;
  return has_keys ? add_mapping(bindings, cache, other) : add_pairs(bindings, cache, other);
}

// KeyError(key), raised as an instance, so that a tuple key would not become KeyError's
// arguments. Returns null.
PyObject* raise_key_error(PyObject* key) {
  PyRef error = PyRef::steal(PyObject_CallOneArg(PyExc_KeyError, key));
  if (error) PyErr_SetObject(PyExc_KeyError, error.get());
  return nullptr;
}

// del vm[key]: removes the binding; KeyError when it is unbound.
int delete_key(VrelState& state, PyObject* key) {
  Identifier id;
  if (!extract_identifier(key, id)) return -1;
  if (!state.machine.unbind(id)) {
    raise_key_error(key);
    return -1;
  }
  return 0;
}

}  // namespace

PyObject* vrel_subscript(PyObject* self, PyObject* key) {
  return guard_entry<PyObject*>(nullptr, [&]() -> PyObject* {
    VrelState* state = receiver(self);
    if (!state) return nullptr;
    Place place = cached_place(state->places, key);
    if (!place) {
      Identifier id;
      if (!extract_identifier(key, id)) return nullptr;
      place = state->machine.place(id);
      if (!place) return raise_key_error(key);
      remember_place(state->places, key, place);
    }
    if (!state->machine.bound(place)) return raise_key_error(key);
    vrel::Value scratch;
    SharedValue held;
    return value_to_python(state->machine, state->machine.read(place, scratch, held)).release();
  });
}

int vrel_ass_subscript(PyObject* self, PyObject* key, PyObject* value) {
  return guard_entry<int>(-1, [&]() -> int {
    VrelState* state = receiver(self);
    if (!state) return -1;
    if (!value) return delete_key(*state, key);
    Place place = cached_place(state->places, key);
    Identifier id;
    if (!place && !extract_identifier(key, id)) return -1;
    vrel::Value converted;
    if (!binding_value(value, converted)) {
      name_binding_failure("", key, value);
      return -1;
    }
    bind_key(*state, key, place, std::move(id), std::move(converted));
    return 0;
  });
}

Py_ssize_t vrel_length(PyObject* self) {
  return guard_entry<Py_ssize_t>(-1, [&]() -> Py_ssize_t {
    const VrelState* state = receiver(self);
    if (!state) return -1;
    return static_cast<Py_ssize_t>(state->machine.size());
  });
}

int vrel_contains(PyObject* self, PyObject* key) {
  return guard_entry<int>(-1, [&]() -> int {
    VrelState* state = receiver(self);
    if (!state) return -1;
    if (Place place = cached_place(state->places, key)) return state->machine.bound(place);
    Identifier id;
    if (!extract_identifier(key, id)) return -1;
    return state->machine.place(id) ? 1 : 0;
  });
}

PyObject* vrel_keys(PyObject* self, PyObject*) {
  return guard_entry<PyObject*>(nullptr, [&]() -> PyObject* {
    const VrelState* state = receiver(self);
    if (!state) return nullptr;
    // Within the machine's memory limit, by the rule of the values a run makes: the list
    // 64 bytes an element, each text its length.
    PyRef list;
    within_memory_limit(state->machine, [&] {
      const std::vector<Identifier> ids = state->machine.identifiers();
      const bool charged = vrel::memory_charged();
      if (charged) vrel::charge_memory(ids.size() * vrel::kVectorElementBytes);
      PyRef made = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(ids.size())));
      if (!made) return;
      LoopWork work;
      for (std::size_t i = 0; i < ids.size(); ++i) {
        work.element();
        if (charged && !ids[i].is_u()) vrel::charge_memory(ids[i].as_s().size());
        PyRef id = identifier_to_python(ids[i]);
        if (!id) return;
        PyList_SET_ITEM(made.get(), static_cast<Py_ssize_t>(i), id.release());
      }
      work.finish();
      list = std::move(made);
    });
    return list.release();
  });
}

PyObject* vrel_iter(PyObject* self) {
  PyRef keys = PyRef::steal(vrel_keys(self, nullptr));
  if (!keys) return nullptr;
  return PyObject_GetIter(keys.get());
}

int vrel_bool(PyObject*) noexcept { return 1; }

PyObject* vrel_update(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guard_entry<PyObject*>(nullptr, [&]() -> PyObject* {
    VrelState* state = receiver(self);
    if (!state) return nullptr;
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (nargs > 1) {
      PyErr_Format(PyExc_TypeError, msg::kUpdateArgumentsFormat, nargs);
      return nullptr;
    }
    // Everything converts before anything is bound: a bad value binds nothing.
    Bindings bindings;
    PyObject* other = nargs == 1 ? PyTuple_GET_ITEM(args, 0) : nullptr;
    // A few slots up front whatever the source: an iterable of pairs has no length, and
    // growing one slot at a time would move every pending binding again and again.
    constexpr std::size_t kFewBindings = 16;
    bindings.reserve(std::max<std::size_t>(
        kFewBindings,
        static_cast<std::size_t>((other && PyDict_CheckExact(other) ? PyDict_GET_SIZE(other) : 0) +
                                 (kwargs ? PyDict_GET_SIZE(kwargs) : 0))));
    if (other && !add_other(bindings, state->places, other)) return nullptr;
    if (kwargs && !add_dict(bindings, state->places, kwargs)) return nullptr;
    for (PendingBinding& b : bindings) {
      bind_key(*state, b.key.get(), b.place, std::move(b.id), std::move(b.value));
    }
    Py_RETURN_NONE;
  });
}

PyObject* vrel_clear(PyObject* self, PyObject*) {
  return guard_entry<PyObject*>(nullptr, [&]() -> PyObject* {
    VrelState* state = receiver(self);
    if (!state) return nullptr;
    state->machine.clear();
    Py_RETURN_NONE;
  });
}

PyObject* vrel_reduce(PyObject*, PyObject*) noexcept {
  PyErr_SetString(PyExc_TypeError, msg::kVrelNotPicklable);
  return nullptr;
}

}  // namespace vrelpy
