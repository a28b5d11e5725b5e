// The syntax tree's kinds and contracts: and, or and cond in both evaluation modes; nodes
// immutable once built, with caches that only the core reaches.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_support.hpp"

namespace vrel_test {
namespace {

constexpr char kAnd[] = "The and expression must be used on boolean values";
constexpr char kOr[] = "The or expression must be used on boolean values";
constexpr char kCondition[] = "Expected deduced condition to be a bool, got other type";

// `value` after the function "note" has been called: shows whether an operand ran.
Expr noted(Expr value) {
  return Expr::cond(Expr::equals(call("note", lit(0)), lit(0)), value, value);
}

struct LogicCase {
  const char* name;
  Expr (*make)(Expr, Expr);
  bool left, right, value;
  int calls;  // operands evaluated
};

class LogicModes : public ::testing::TestWithParam<LogicCase> {};

// Consumed once (deduce), then kept and borrowed three times: the tree walk, then the
// compact form.
TEST_P(LogicModes, RightOperandRunsOnlyWhenItDecides) {
  const LogicCase& c = GetParam();
  auto counts = counters();
  Machine m;
  vrel::deduce(m, block(fn("note", fake(counts, [](SharedValue v) { return Value(*v); }))));
  const auto make = [&] { return c.make(noted(litb(c.left)), noted(litb(c.right))); };
  vrel::deduce(m, block(let("r", make())));
  EXPECT_EQ(store_of(m).get(S("r"))->as_boolean(), c.value);
  EXPECT_EQ(counts->runs.load(), c.calls);
  const Statement kept = let("r", make());
  const Statement* program[] = {&kept};
  for (int run = 0; run < 3; ++run) {
    vrel::deduce_borrowed(m, program);
    EXPECT_EQ(store_of(m).get(S("r"))->as_boolean(), c.value);
  }
  EXPECT_EQ(counts->runs.load(), 4 * c.calls);
}

INSTANTIATE_TEST_SUITE_P(Cases, LogicModes,
                         ::testing::Values(LogicCase{"and_tt", Expr::and_, true, true, true, 2},
                                           LogicCase{"and_tf", Expr::and_, true, false, false, 2},
                                           LogicCase{"and_ft", Expr::and_, false, true, false, 1},
                                           LogicCase{"or_tf", Expr::or_, true, false, true, 1},
                                           LogicCase{"or_ft", Expr::or_, false, true, true, 2},
                                           LogicCase{"or_ff", Expr::or_, false, false, false, 2}),
                         [](const auto& info) { return std::string(info.param.name); });

// A fatal error in the consuming mode and in both borrowed modes.
std::vector<std::string> messages_in_every_mode(Expr (*make)()) {
  std::vector<std::string> seen;
  Machine m;
  seen.push_back(fatal_message([&] { vrel::deduce(m, block(let("r", make()))); }));
  const Statement kept = let("r", make());
  const Statement* program[] = {&kept};
  for (int run = 0; run < 3; ++run) {
    seen.push_back(fatal_message([&] { vrel::deduce_borrowed(m, program); }));
  }
  return seen;
}

TEST(LogicKinds, OperandsThatAreNotBooleansAreFatalInEveryMode) {
  const struct {
    Expr (*make)();
    const char* message;
  } cases[] = {
      {[] { return Expr::and_(lit(1), litb(true)); }, kAnd},
      {[] { return Expr::and_(litb(true), lits("x")); }, kAnd},
      {[] { return Expr::or_(lit_null(), litb(true)); }, kOr},
      {[] { return Expr::or_(litb(false), vec_expr(litb(true))); }, kOr},
      {[] { return Expr::cond(lit(0), lit(1), lit(2)); }, kCondition},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(messages_in_every_mode(c.make), std::vector<std::string>(4, c.message));
  }
}

TEST(LogicKinds, CondGivesTheChosenBranchsValueInEveryMode) {
  Machine m;
  const auto make = [] {
    return Expr::cond(Expr::less_than(lit(1), lit(2)), lits("text"),
                      Expr::binary_op(lit(1), BinaryOperator::Div, lit(0)));
  };
  vrel::deduce(m, block(let("r", make())));
  EXPECT_EQ(store_of(m).get(S("r"))->as_string(), "text");
  const Statement kept = let("r", make());
  const Statement* program[] = {&kept};
  for (int run = 0; run < 3; ++run) {
    vrel::deduce_borrowed(m, program);
    EXPECT_EQ(store_of(m).get(S("r"))->as_string(), "text");
  }
}

// ---- immutable nodes ---------------------------------------------------------------------

// Each concept holds when a host could write the tree behind what the core remembers about
// it. They are checked in a template context, where an inaccessible or ill-formed write
// makes the concept false instead of failing the build.
template <class S>
concept LetExprWritable = requires(S& s, Expr e) {
  std::get<Statement::Let>(s.node()).expr = std::move(e);
};
template <class E>
concept IdentRenamable = requires(E& x, Identifier id) {
  std::get<typename E::Ident>(x.node()).id = id;
};
template <class E>
concept ChildWritable = requires(E& x, Expr e) {
  *std::get<typename E::BinaryOp>(x.node()).left = std::move(e);
};
template <class E>
concept ItemsGrowable = requires(E& x, Expr e) {
  std::get<typename E::Vector>(x.node()).items.push_back(std::move(e));
};
template <class E>
concept PayloadReachable = requires(E& x) {
  x.node_;
};
template <class N>
concept MemoReachable = requires(const N& n) {
  n.memo_;
};
template <class N>
concept CompactFormReachable = requires(const N& n) {
  n.compact_;
};
template <class S>
concept LetExprReadable = requires(const S& s) {
  std::get<Statement::Let>(s.node()).expr.kind();
};

// The layout nodes had before: public, writable payloads. Every concept holds for it, so
// none of the checks below is false merely because it is ill-formed.
struct WritableTree {
  struct Ident {
    Identifier id;
  };
  struct BinaryOp {
    std::unique_ptr<Expr> left;
  };
  struct Vector {
    std::vector<Expr> items;
  };
  struct Let {
    Expr expr;
  };
  std::variant<Ident, BinaryOp, Vector> node_;
  std::variant<Ident, BinaryOp, Vector>& node() { return node_; }
};
struct WritableCaches {
  int memo_, compact_;
};
static_assert(IdentRenamable<WritableTree> && ChildWritable<WritableTree> &&
              ItemsGrowable<WritableTree> && PayloadReachable<WritableTree>);
static_assert(MemoReachable<WritableCaches> && CompactFormReachable<WritableCaches>);
static_assert(LetExprReadable<Statement>);
static_assert(!LetExprWritable<Statement>);
static_assert(!IdentRenamable<Expr>);
static_assert(!ChildWritable<Expr>);
static_assert(!ItemsGrowable<Expr>);
static_assert(!PayloadReachable<Expr> && !PayloadReachable<Statement>);
static_assert(!MemoReachable<Expr::Ident> && !MemoReachable<Expr::Call>);
static_assert(!MemoReachable<Statement::Let> && !CompactFormReachable<Statement::Let>);

TEST(ImmutableNodes, AccessorsGiveWhatWasBuilt) {
  const Expr e = Expr::cond(Expr::and_(ident("a"), litb(true)),
                            Expr::binary_op(lit(1), BinaryOperator::Sub, call("f", lits("x"))),
                            vec_expr(lit_null()));
  ASSERT_EQ(e.kind(), Expr::Kind::Cond);
  const auto& c = std::get<Expr::Cond>(e.node());
  const auto& both = std::get<Expr::And>(c.condition->node());
  EXPECT_EQ(std::get<Expr::Ident>(both.left->node()).id, S("a"));
  EXPECT_TRUE(std::get<Expr::Literal>(both.right->node()).value.as_boolean());
  const auto& difference = std::get<Expr::BinaryOp>(c.then->node());
  EXPECT_EQ(difference.op, BinaryOperator::Sub);
  const auto& callee = std::get<Expr::Call>(difference.right->node());
  EXPECT_EQ(callee.function, S("f"));
  EXPECT_EQ(std::get<Expr::Literal>(callee.argument->node()).value.as_string(), "x");
  EXPECT_EQ(std::get<Expr::Vector>(c.otherwise->node()).items.size(), 1u);
  std::vector<Expr::Kind> children;
  e.each_child([&](const Expr& child) { children.push_back(child.kind()); });
  EXPECT_EQ(children,
            (std::vector<Expr::Kind>{Expr::Kind::And, Expr::Kind::BinaryOp, Expr::Kind::Vector}));
}

// What once went wrong: a kept let that had run twice (so had a compact form pointing into
// its tree) was changed in place and ran its old expression, or read a freed literal. A
// host now rebuilds instead; the rebuilt or copied statement starts with empty caches.
TEST(ImmutableNodes, RebuiltAndCopiedNodesStartWithFreshCaches) {
  Machine m;
  vrel::deduce(m, block(let("x", lits("b")), let("y", lits("c"))));
  auto original = std::make_unique<Statement>(
      let("r", Expr::binary_op(lits("a"), BinaryOperator::Add, ident("x"))));
  const auto run = [&](const Statement& s) {
    const Statement* program[] = {&s};
    vrel::deduce_borrowed(m, program);
    return store_of(m).get(S("r"))->as_string();
  };
  EXPECT_EQ(run(*original), "ab");
  EXPECT_EQ(run(*original), "ab");  // now with its compact form
  Statement copy = *original;
  *original = let("r", Expr::binary_op(lits("z"), BinaryOperator::Add, ident("y")));
  EXPECT_EQ(run(*original), "zc");
  EXPECT_EQ(run(*original), "zc");
  original.reset();  // the copy's caches must not point into the destroyed tree
  EXPECT_EQ(run(copy), "ab");
  EXPECT_EQ(run(copy), "ab");
  EXPECT_EQ(run(copy), "ab");
  // A variable read whose memo was filled reads a new name once rebuilt.
  Expr read = ident("x");
  for (int i = 0; i < 3; ++i) EXPECT_EQ(vrel::deduce_expr(m, read)->as_string(), "b");
  read = ident("y");
  EXPECT_EQ(vrel::deduce_expr(m, read)->as_string(), "c");
}

}  // namespace
}  // namespace vrel_test
