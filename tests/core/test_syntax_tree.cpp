// The syntax tree's kinds and contracts: and, or and cond in both evaluation modes.
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

}  // namespace
}  // namespace vrel_test
