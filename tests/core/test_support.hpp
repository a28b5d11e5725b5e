// Shared helpers of the core tests: a fake function object with observable life cycle,
// small tree builders and a way to capture fatal errors.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "variable_store.hpp"
#include "vrel/vrel.hpp"

namespace vrel_test {

using vrel::BinaryOperator;
using vrel::Expr;
using vrel::Identifier;
using vrel::Machine;
using vrel::SharedValue;
using vrel::Statement;
using vrel::Value;

// Life-cycle counters shared by a fake function object and all of its clones.
struct FakeCounters {
  std::atomic<int> created{0};
  std::atomic<int> clones{0};
  std::atomic<int> runs{0};
  std::atomic<int> destroyed{0};
  std::atomic<int> next_serial{0};
  // Called from the destructor of every object sharing these counters, when set.
  std::function<void()> on_destroy;

  int alive() const { return created.load() - destroyed.load(); }
};

// A function object whose run behaviour is configurable. Every object gets a serial
// number (the original is #0); fmt writes "<fake NAME#SERIAL>".
class FakeFunction final : public vrel::VrelFunction {
 public:
  using RunFn = std::function<Value(SharedValue)>;

  FakeFunction(std::shared_ptr<FakeCounters> counters, RunFn run, std::string name = "f")
      : counters_(std::move(counters)),
        run_(std::move(run)),
        name_(std::move(name)),
        serial_(counters_->next_serial++) {
    ++counters_->created;
  }
  FakeFunction(const FakeFunction& other)
      : counters_(other.counters_),
        run_(other.run_),
        name_(other.name_),
        serial_(counters_->next_serial++) {
    ++counters_->created;
  }
  ~FakeFunction() override {
    if (counters_->on_destroy) counters_->on_destroy();
    ++counters_->destroyed;
  }

  vrel::FunctionBox clone_box() const override {
    ++counters_->clones;
    return std::make_unique<FakeFunction>(*this);
  }
  void fmt(std::string& out) const override {
    out += "<fake " + name_ + "#" + std::to_string(serial_) + ">";
  }
  Value run(SharedValue argument) const override {
    ++counters_->runs;
    if (!run_) return Value::null();
    return run_(std::move(argument));
  }

  int serial() const { return serial_; }

 private:
  std::shared_ptr<FakeCounters> counters_;
  RunFn run_;
  std::string name_;
  int serial_;
};

inline std::shared_ptr<FakeCounters> counters() { return std::make_shared<FakeCounters>(); }

inline vrel::FunctionBox fake(const std::shared_ptr<FakeCounters>& c,
                              FakeFunction::RunFn run = nullptr, std::string name = "f") {
  return std::make_unique<FakeFunction>(c, std::move(run), std::move(name));
}

// Serial of the fake object held by a function value.
inline int serial_of(const Value& v) {
  return static_cast<const FakeFunction&>(v.as_function()).serial();
}

// ---- identifiers and values ---------------------------------------------------------

inline Identifier S(std::string s) { return Identifier::s(std::move(s)); }
inline Identifier U(std::uint64_t n) { return Identifier::u(n); }

inline Value vec_value(std::vector<SharedValue> items) { return Value::vector(std::move(items)); }
inline SharedValue shared(Value v) { return SharedValue::make(std::move(v)); }

// ---- expressions --------------------------------------------------------------------

inline Expr lit(Value v) { return Expr(Expr::Literal{std::move(v)}); }
inline Expr lit(std::int64_t i) { return lit(Value::integer(i)); }
inline Expr lit(int i) { return lit(Value::integer(i)); }
inline Expr litf(double f) { return lit(Value::floating(f)); }
inline Expr lits(std::string s) { return lit(Value::string(std::move(s))); }
inline Expr litb(bool b) { return lit(Value::boolean(b)); }
inline Expr lit_null() { return lit(Value::null()); }
inline Expr ident(std::string name) { return Expr(Expr::Ident{S(std::move(name))}); }
inline Expr ident(Identifier id) { return Expr(Expr::Ident{std::move(id)}); }
inline Expr add(Expr l, Expr r) { return Expr::binary_op(std::move(l), BinaryOperator::Add, std::move(r)); }
inline Expr call(std::string name, Expr arg) { return Expr::call(S(std::move(name)), std::move(arg)); }

template <class... E>
Expr vec_expr(E&&... items) {
  std::vector<Expr> v;
  v.reserve(sizeof...(items));
  (v.push_back(std::forward<E>(items)), ...);
  return Expr(Expr::Vector{std::move(v)});
}

// ---- statements ---------------------------------------------------------------------

inline Statement let(std::string name, Expr e) { return Statement(Statement::Let{S(std::move(name)), std::move(e)}); }
inline Statement let(Identifier id, Expr e) { return Statement(Statement::Let{std::move(id), std::move(e)}); }
inline Statement fn(std::string name, vrel::FunctionBox f) {
  return Statement(Statement::Fn{S(std::move(name)), std::move(f)});
}

template <class... S>
std::vector<Statement> block(S&&... stmts) {
  std::vector<Statement> v;
  v.reserve(sizeof...(stmts));
  (v.push_back(std::forward<S>(stmts)), ...);
  return v;
}

inline Statement if_(Expr cond, std::vector<Statement> then_block,
                     std::vector<Statement> otherwise_block = {}) {
  return Statement(Statement::If{std::move(cond), std::move(then_block), std::move(otherwise_block)});
}

// ---- running ------------------------------------------------------------------------

inline SharedValue eval(const Machine& m, Expr e) { return vrel::deduce_expr(m, std::move(e)); }

inline std::string debug_of(const SharedValue& v) { return v->debug(); }

// True when `id` is bound in `m` (goes through the store, never raises).
inline bool bound(const Machine& m, const Identifier& id) {
  return static_cast<bool>(m.store().lookup(id));
}

// The message of the FatalError that `f` raises, or "<no fatal error>".
template <class F>
std::string fatal_message(F&& f) {
  try {
    std::forward<F>(f)();
  } catch (const vrel::FatalError& e) {
    return e.message();
  }
  return "<no fatal error>";
}

// Runs `body` on a separate thread and aborts the process with a message if it has not
// finished after a generous delay: a deadlock shows up as a failure, not a hung suite.
inline void run_with_watchdog(const char* what, std::function<void()> body) {
  auto task = std::packaged_task<void()>(std::move(body));
  auto done = task.get_future();
  std::thread worker(std::move(task));
  if (done.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
    std::fprintf(stderr, "DEADLOCK: %s did not finish\n", what);
    std::fflush(stderr);
    std::abort();
  }
  worker.join();
  done.get();  // rethrows a failure of the body
}

}  // namespace vrel_test
