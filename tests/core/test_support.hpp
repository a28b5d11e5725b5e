// Shared helpers of the core tests: a fake function object with an observable life cycle,
// tree builders and a way to capture fatal errors.
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
  std::atomic<int> created{0}, clones{0}, runs{0}, destroyed{0}, next_serial{0};
  std::function<void()> on_destroy;  // called from every destructor when set
  int alive() const { return created.load() - destroyed.load(); }
};

// A function object with a configurable run; each object has a serial number (the original
// is #0) and fmt writes "<fake NAME#SERIAL>".
class FakeFunction final : public vrel::VrelFunction {
 public:
  using RunFn = std::function<Value(SharedValue)>;
  FakeFunction(std::shared_ptr<FakeCounters> c, RunFn run, std::string name)
      : c_(std::move(c)), run_(std::move(run)), name_(std::move(name)), serial_(c_->next_serial++) {
    ++c_->created;
  }
  FakeFunction(const FakeFunction& o) : FakeFunction(o.c_, o.run_, o.name_) {}
  ~FakeFunction() override {
    if (c_->on_destroy) c_->on_destroy();
    ++c_->destroyed;
  }
  vrel::FunctionBox clone_box() const override {
    ++c_->clones;
    return std::make_unique<FakeFunction>(*this);
  }
  void fmt(std::string& out) const override {
    out += "<fake " + name_ + "#" + std::to_string(serial_) + ">";
  }
  Value run(SharedValue argument) const override {
    ++c_->runs;
    return run_ ? run_(std::move(argument)) : Value::null();
  }
  int serial() const { return serial_; }

 private:
  std::shared_ptr<FakeCounters> c_;
  RunFn run_;
  std::string name_;
  int serial_;
};

inline std::shared_ptr<FakeCounters> counters() { return std::make_shared<FakeCounters>(); }
inline vrel::FunctionBox fake(const std::shared_ptr<FakeCounters>& c,
                              FakeFunction::RunFn run = nullptr, std::string name = "f") {
  return std::make_unique<FakeFunction>(c, std::move(run), std::move(name));
}
inline int serial_of(const Value& v) {
  return static_cast<const FakeFunction&>(v.as_function()).serial();
}

// ---- tree builders --------------------------------------------------------------------

inline Identifier S(std::string s) { return Identifier::s(std::move(s)); }
inline Identifier U(std::uint64_t n) { return Identifier::u(n); }
inline Value vec_value(std::vector<SharedValue> items) { return Value::vector(std::move(items)); }
inline SharedValue shared(Value v) { return SharedValue::make(std::move(v)); }

inline Expr lit(Value v) { return Expr(Expr::Literal{std::move(v)}); }
inline Expr lit(std::int64_t i) { return lit(Value::integer(i)); }
inline Expr lit(int i) { return lit(Value::integer(i)); }
inline Expr litf(double f) { return lit(Value::floating(f)); }
inline Expr lits(std::string s) { return lit(Value::string(std::move(s))); }
inline Expr litb(bool b) { return lit(Value::boolean(b)); }
inline Expr lit_null() { return lit(Value::null()); }
inline Expr ident(Identifier id) { return Expr(Expr::Ident{std::move(id)}); }
inline Expr ident(std::string name) { return ident(S(std::move(name))); }
inline Expr add(Expr l, Expr r) {
  return Expr::binary_op(std::move(l), BinaryOperator::Add, std::move(r));
}
inline Expr call(std::string name, Expr arg) {
  return Expr::call(S(std::move(name)), std::move(arg));
}

template <class T, class... A>
std::vector<T> list_of(A&&... items) {
  std::vector<T> v;
  (v.push_back(std::forward<A>(items)), ...);
  return v;
}
template <class... E>
Expr vec_expr(E&&... items) {
  return Expr(Expr::Vector{list_of<Expr>(std::forward<E>(items)...)});
}
template <class... S>
std::vector<Statement> block(S&&... stmts) {
  return list_of<Statement>(std::forward<S>(stmts)...);
}

inline Statement let(Identifier id, Expr e) {
  return Statement(Statement::Let{std::move(id), std::move(e)});
}
inline Statement let(std::string name, Expr e) { return let(S(std::move(name)), std::move(e)); }
inline Statement fn(std::string name, vrel::FunctionBox f) {
  return Statement(Statement::Fn{S(std::move(name)), std::move(f)});
}
inline Statement if_(Expr cond, std::vector<Statement> then_block,
                     std::vector<Statement> otherwise_block = {}) {
  return Statement(
      Statement::If{std::move(cond), std::move(then_block), std::move(otherwise_block)});
}

// ---- running ------------------------------------------------------------------------

inline SharedValue eval(const Machine& m, Expr e) { return vrel::deduce_expr(m, std::move(e)); }
inline std::string debug_of(const SharedValue& v) { return v->debug(); }
inline bool bound(const Machine& m, const Identifier& id) {
  return static_cast<bool>(store_of(m).lookup(id));
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

// Runs `body` on another thread; a deadlock aborts the process instead of hanging the suite.
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
