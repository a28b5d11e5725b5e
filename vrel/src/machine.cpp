// The machine: creation, variable reads and bindings, listing, limits and its debug form.
#include "vrel/machine.hpp"

#include "checked.hpp"
#include "messages.hpp"
#include "run_budget.hpp"
#include "shard_count.hpp"
#include "variable_store.hpp"
#include "vrel/detail/machine_baseline.hpp"
#include "vrel/fatal.hpp"

namespace vrel {

Machine::Machine()
    : store_(std::make_unique<VariableStore>(default_shard_amount())),
      limits_(std::make_unique<LimitsCell>()) {}
Machine::Machine(Machine&&) noexcept = default;
Machine& Machine::operator=(Machine&&) noexcept = default;
Machine::~Machine() = default;

SharedValue Machine::get(const Identifier& id) const { return store_->get(id); }

void Machine::set_limits(const RunLimits& limits) const noexcept { limits_->store(limits); }
RunLimits Machine::limits() const noexcept { return limits_->load(); }

SharedValue Machine::find(const Identifier& id) const { return store_->lookup(id); }

void Machine::bind(Identifier id, SharedValue value) const {
  SharedValue previous = store_->insert(std::move(id), std::move(value));
}

Machine::Place Machine::place(const Identifier& id) const { return Place(store_->find_cell(id)); }

bool Machine::bound(Place place) const noexcept {
  VREL_EXPECT(store_->holds(place.cell_));
  return place.cell_->bound();
}

bool Machine::unbind(const Identifier& id) const {
  SharedValue dropped;
  return store_->unbind(id, dropped);
}

void Machine::clear() const { store_->clear(); }

Machine::Place Machine::bind_place(Identifier id, Value value) const {
  VariableCell* cell = nullptr;
  SharedValue previous =
      store_->insert(std::move(id), Operand::of(std::move(value)), nullptr, &cell);
  return Place(cell);
}

void Machine::bind(Place place, Value value) const {
  VREL_EXPECT(store_->holds(place.cell_));
  SharedValue previous = store_->assign(*place.cell_, Operand::of(std::move(value)));
}

const Value& Machine::read(Place place, Value& scratch, SharedValue& held) const {
  VREL_EXPECT(store_->holds(place.cell_));
  return VariableStore::view(place.cell_->read(), scratch, held);
}

std::size_t Machine::size() const { return store_->size(); }

std::vector<Identifier> Machine::identifiers() const {
  std::vector<Identifier> out;
  store_->append_identifiers(out);
  return out;
}

void Machine::within_memory_limit(void (*work)(void*), void* context) const {
  RunLimits budget;
  budget.memory = limits().memory;
  RunScope scope(budget);
  work(context);
}

void Machine::debug(std::string& out) const {
  out += text::kDebugMachineOpen;
  store_->debug_entries(out);
  out += text::kDebugMachineClose;
}

void detail::mark_baseline(const Machine& machine) { store_of(machine).mark(); }
void detail::reset_to_baseline(const Machine& machine) { store_of(machine).reset(); }

}  // namespace vrel
