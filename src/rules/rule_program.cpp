// A rule set's program: walking its trees for the names it reads, binds and calls.
#include "rules/rule_program.hpp"

#include <optional>
#include <span>
#include <string>
#include <unordered_set>
#include <variant>

#include "support/messages.hpp"
#include "vrel/detail/quiet_reports.hpp"
#include "vrel/evaluator.hpp"
#include "vrel/machine.hpp"

namespace vrelpy::rules {
namespace {

// Identifiers as keys of a hash set: the text form or the number, tagged.
std::string key_of(const vrel::Identifier& id) {
  if (id.is_u()) return "u" + std::to_string(id.as_u());
  return "s" + id.as_s();
}

// Iterative walks: trees may be deeper than the native stack allows recursion.
class ReadWalker {
 public:
  explicit ReadWalker(RuleProgram& program) : program_(program) {}

  void statements(const vrel::Statement* begin, const vrel::Statement* end) {
    for (const vrel::Statement* s = begin; s != end; ++s) statement(*s);
  }

  void statement(const vrel::Statement& s) {
    switch (s.kind()) {
      case vrel::Statement::Kind::Let: {
        const auto& let = std::get<vrel::Statement::Let>(s.node());
        expr(let.expr);
        bind(let.id);
        return;
      }
      case vrel::Statement::Kind::If: {
        const auto& branch = std::get<vrel::Statement::If>(s.node());
        expr(branch.condition);
        statements(branch.then_block.begin(), branch.then_block.end());
        statements(branch.otherwise_block.begin(), branch.otherwise_block.end());
        return;
      }
      case vrel::Statement::Kind::Fn:
        bind(std::get<vrel::Statement::Fn>(s.node()).id);
        return;
    }
  }

  void bind(const vrel::Identifier& id) { bound_.insert(key_of(id)); }
  // The setup's reads and calls are its own business: it runs before any record's fields.
  void record_reads(bool on) { record_reads_ = on; }

 private:
  void read(const vrel::Identifier& id) {
    if (!record_reads_) return;
    std::string key = key_of(id);
    if (bound_.count(key) || !seen_inputs_.insert(key).second) return;
    program_.inputs.push_back(id);
  }

  void expr(const vrel::Expr& root) {
    std::vector<const vrel::Expr*> pending{&root};
    while (!pending.empty()) {
      const vrel::Expr* e = pending.back();
      pending.pop_back();
      switch (e->kind()) {
        case vrel::Expr::Kind::Literal:
        case vrel::Expr::Kind::Constant:
          break;
        case vrel::Expr::Kind::Ident:
          read(std::get<vrel::Expr::Ident>(e->node()).id);
          break;
        case vrel::Expr::Kind::BinaryOp: {
          const auto& n = std::get<vrel::Expr::BinaryOp>(e->node());
          pending.push_back(n.right.get());
          pending.push_back(n.left.get());
          break;
        }
        case vrel::Expr::Kind::Equals: {
          const auto& n = std::get<vrel::Expr::Equals>(e->node());
          pending.push_back(n.right.get());
          pending.push_back(n.left.get());
          break;
        }
        case vrel::Expr::Kind::Not:
          pending.push_back(std::get<vrel::Expr::Not>(e->node()).operand.get());
          break;
        case vrel::Expr::Kind::GreaterThan: {
          const auto& n = std::get<vrel::Expr::GreaterThan>(e->node());
          pending.push_back(n.right.get());
          pending.push_back(n.left.get());
          break;
        }
        case vrel::Expr::Kind::LessThan: {
          const auto& n = std::get<vrel::Expr::LessThan>(e->node());
          pending.push_back(n.right.get());
          pending.push_back(n.left.get());
          break;
        }
        case vrel::Expr::Kind::Call: {
          const auto& n = std::get<vrel::Expr::Call>(e->node());
          // The argument is evaluated before the callee is looked up.
          std::string key = key_of(n.function);
          if (record_reads_ && called_.insert(key).second) {
            program_.functions_called.push_back(n.function);
          }
          pending.push_back(nullptr);  // marks: read the callee after the argument
          callees_.push_back(&n.function);
          pending.push_back(n.argument.get());
          break;
        }
        case vrel::Expr::Kind::Vector: {
          const auto& items = std::get<vrel::Expr::Vector>(e->node()).items;
          for (auto it = items.rbegin(); it != items.rend(); ++it) pending.push_back(&*it);
          break;
        }
        case vrel::Expr::Kind::Shared: {
          const vrel::Expr* target = std::get<vrel::Expr::Shared>(e->node()).target.get();
          if (shared_seen_.insert(target).second) pending.push_back(target);
          break;
        }
        // Branches that may not run: whatever either reads counts as read.
        case vrel::Expr::Kind::And: {
          const auto& n = std::get<vrel::Expr::And>(e->node());
          pending.push_back(n.right.get());
          pending.push_back(n.left.get());
          break;
        }
        case vrel::Expr::Kind::Or: {
          const auto& n = std::get<vrel::Expr::Or>(e->node());
          pending.push_back(n.right.get());
          pending.push_back(n.left.get());
          break;
        }
        case vrel::Expr::Kind::Cond: {
          const auto& n = std::get<vrel::Expr::Cond>(e->node());
          pending.push_back(n.otherwise.get());
          pending.push_back(n.then.get());
          pending.push_back(n.condition.get());
          break;
        }
      }
      while (!pending.empty() && pending.back() == nullptr) {
        pending.pop_back();
        read(*callees_.back());
        callees_.pop_back();
      }
    }
  }

  RuleProgram& program_;
  bool record_reads_ = true;
  std::unordered_set<std::string> bound_;
  std::unordered_set<std::string> seen_inputs_;
  std::unordered_set<std::string> called_;
  std::unordered_set<const vrel::Expr*> shared_seen_;
  std::vector<const vrel::Identifier*> callees_;
};

// The leading reads of an expression (see Rule). Returns false once an operation has been
// met: nothing after it is read first. Stops (as if an operation were met) deeper than a
// depth that the native stack guard can never refuse, so that the rule cannot fail by
// nesting before it reads.
constexpr int kLeadingDepth = 64;

bool leading_reads(const vrel::Expr& e, int depth, std::vector<vrel::Identifier>& out) {
  if (depth > kLeadingDepth) return false;
  switch (e.kind()) {
    case vrel::Expr::Kind::Literal:
    case vrel::Expr::Kind::Constant:
      return true;
    case vrel::Expr::Kind::Ident:
      out.push_back(std::get<vrel::Expr::Ident>(e.node()).id);
      return true;
    case vrel::Expr::Kind::BinaryOp: {
      const auto& n = std::get<vrel::Expr::BinaryOp>(e.node());
      return leading_reads(*n.left, depth + 1, out) && leading_reads(*n.right, depth + 1, out) &&
             false;
    }
    case vrel::Expr::Kind::Equals: {
      const auto& n = std::get<vrel::Expr::Equals>(e.node());
      return leading_reads(*n.left, depth + 1, out) && leading_reads(*n.right, depth + 1, out) &&
             false;
    }
    case vrel::Expr::Kind::GreaterThan: {
      const auto& n = std::get<vrel::Expr::GreaterThan>(e.node());
      return leading_reads(*n.left, depth + 1, out) && leading_reads(*n.right, depth + 1, out) &&
             false;
    }
    case vrel::Expr::Kind::LessThan: {
      const auto& n = std::get<vrel::Expr::LessThan>(e.node());
      return leading_reads(*n.left, depth + 1, out) && leading_reads(*n.right, depth + 1, out) &&
             false;
    }
    case vrel::Expr::Kind::Not:
      leading_reads(*std::get<vrel::Expr::Not>(e.node()).operand, depth + 1, out);
      return false;
    case vrel::Expr::Kind::Call: {
      // The argument first, then the callee is read, then called.
      const auto& n = std::get<vrel::Expr::Call>(e.node());
      if (leading_reads(*n.argument, depth + 1, out)) out.push_back(n.function);
      return false;
    }
    case vrel::Expr::Kind::Vector: {
      for (const vrel::Expr& item : std::get<vrel::Expr::Vector>(e.node()).items) {
        if (!leading_reads(item, depth + 1, out)) return false;
      }
      return false;  // making the vector
    }
    case vrel::Expr::Kind::Shared:
      return leading_reads(*std::get<vrel::Expr::Shared>(e.node()).target, depth + 1, out);
    // Only the first operand is sure to be evaluated; testing it is an operation.
    case vrel::Expr::Kind::And:
      leading_reads(*std::get<vrel::Expr::And>(e.node()).left, depth + 1, out);
      return false;
    case vrel::Expr::Kind::Or:
      leading_reads(*std::get<vrel::Expr::Or>(e.node()).left, depth + 1, out);
      return false;
    case vrel::Expr::Kind::Cond:
      leading_reads(*std::get<vrel::Expr::Cond>(e.node()).condition, depth + 1, out);
      return false;
  }
  return false;
}

// The failure of a rule (its statements in `statements`, a copy of its own: trees remember
// the machine they last ran on) when its leading read `k` is the first unbound one. The
// reads before it are bound to null and nothing but reads happens before it, so the run
// fails exactly there. A read that repeats an earlier one is never the first unbound one;
// it, and a run that somehow fails otherwise, get a place that names the variable alone.
RuleFailure leading_failure(std::span<const vrel::Statement* const> statements,
                            const std::vector<vrel::Identifier>& reads, std::size_t k) {
  const vrel::Identifier& id = reads[k];
  RuleFailure failure{msg::kValueNotFound + id.debug(), vrel::ErrorPlace()};
  failure.place.role = vrel::ErrorPlace::Role::Reading;
  failure.place.variable = id;
  for (std::size_t i = 0; i < k; ++i) {
    if (reads[i] == id) return failure;
  }
  const vrel::Machine scratch;
  for (std::size_t i = 0; i < k; ++i) scratch.bind_place(reads[i], vrel::Value());
  vrel::detail::QuietFatalReports quiet;
  std::optional<vrel::FatalError> error = vrel::run_borrowed(scratch, statements);
  if (error && !error->interrupted() && error->message() == failure.message &&
      error->place().variable == id) {
    failure.place = std::move(error->place());
  }
  return failure;
}

void find_leading_failures(Rule& rule) {
  rule.not_bound = RuleFailure{msg::kValueNotFound + rule.name.debug(), vrel::ErrorPlace()};
  rule.not_bound.place.role = vrel::ErrorPlace::Role::Reading;
  rule.not_bound.place.variable = rule.name;
  rule.leading_failures.clear();
  if (rule.leading_reads.empty()) return;
  const std::vector<vrel::Statement> copy = rule.statements;
  std::vector<const vrel::Statement*> borrowed;
  for (const vrel::Statement& s : copy) borrowed.push_back(&s);
  for (std::size_t k = 0; k < rule.leading_reads.size(); ++k) {
    rule.leading_failures.push_back(leading_failure(borrowed, rule.leading_reads, k));
  }
}

}  // namespace

void find_leading_reads(RuleProgram& program) {
  for (Rule& rule : program.rules) {
    rule.leading_reads.clear();
    rule.leading_failures.clear();
    if (rule.statements.empty()) continue;
    const vrel::Statement& first = rule.statements.front();
    switch (first.kind()) {
      case vrel::Statement::Kind::Let:
        leading_reads(std::get<vrel::Statement::Let>(first.node()).expr, 0, rule.leading_reads);
        break;
      case vrel::Statement::Kind::If:
        leading_reads(std::get<vrel::Statement::If>(first.node()).condition, 0, rule.leading_reads);
        break;
      case vrel::Statement::Kind::Fn:
        break;
    }
    find_leading_failures(rule);
  }
}

void analyse_reads(RuleProgram& program) {
  program.inputs.clear();
  program.functions_called.clear();
  ReadWalker walker(program);
  walker.record_reads(false);
  walker.statements(program.setup.data(), program.setup.data() + program.setup.size());
  walker.record_reads(true);
  for (const Rule& rule : program.rules) {
    walker.statements(rule.statements.data(), rule.statements.data() + rule.statements.size());
    walker.bind(rule.name);
  }
}

}  // namespace vrelpy::rules
