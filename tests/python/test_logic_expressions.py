"""and_, or_ and cond: short-circuit evaluation, the checks of their operands, their messages."""

import pytest

from support import evaluate, raises_panic
from vrelpy import Expr, Statement, Vrel

AND = "The and expression must be used on boolean values"
OR = "The or expression must be used on boolean values"
CONDITION = "Expected deduced condition to be a bool, got other type"
T, F = Expr.literal(True), Expr.literal(False)
NOT_BOOLEANS = [Expr.literal(1), Expr.literal(None), Expr.literal("true"), Expr.literal([True]), Expr.ident("f")]


def machine(log):
    def f(x):
        log.append(x)
        return x

    vm = Vrel()
    vm["f"] = f
    vm["yes"] = True
    return vm


def noted(tag, value):
    """`value` after f has noted `tag`: shows whether (and when) an operand was evaluated."""
    return Expr.cond(Expr.equals(Expr.call("f", Expr.literal(tag)), Expr.literal(tag)), value, value)


@pytest.mark.parametrize(
    "build, left, right, value, calls",
    [
        (Expr.and_, True, True, True, ["l", "r"]),
        (Expr.and_, True, False, False, ["l", "r"]),
        (Expr.and_, False, True, False, ["l"]),
        (Expr.and_, False, False, False, ["l"]),
        (Expr.or_, True, True, True, ["l"]),
        (Expr.or_, True, False, True, ["l"]),
        (Expr.or_, False, True, True, ["l", "r"]),
        (Expr.or_, False, False, False, ["l", "r"]),
    ],
)
def test_the_right_operand_runs_only_when_it_decides(build, left, right, value, calls):
    # Kept and run three times: the tree walk, then the compact form.
    log = []
    vm = machine(log)
    statement = Statement.let("r", build(noted("l", Expr.literal(left)), noted("r", Expr.literal(right))))
    for _ in range(3):
        log.clear()
        vm.run([statement])
        assert vm["r"] is value and log == calls


@pytest.mark.parametrize("chosen", [True, False])
def test_cond_evaluates_the_chosen_branch_alone(chosen):
    log = []
    vm = machine(log)
    statement = Statement.let(
        "r", Expr.cond(noted("c", Expr.literal(chosen)), noted("then", Expr.literal("a")), noted("else", Expr.literal(2.5)))
    )
    for _ in range(3):
        log.clear()
        vm.run([statement])
        assert vm["r"] == ("a" if chosen else 2.5)
        assert log == ["c", "then" if chosen else "else"]


@pytest.mark.parametrize("bad", NOT_BOOLEANS, ids=repr)
@pytest.mark.parametrize(
    "make, message",
    [
        (lambda bad: Expr.and_(bad, T), AND),
        (lambda bad: Expr.and_(T, bad), AND),
        (lambda bad: Expr.or_(bad, F), OR),
        (lambda bad: Expr.or_(F, bad), OR),
        (lambda bad: Expr.cond(bad, T, F), CONDITION),
    ],
    ids=["and-left", "and-right", "or-left", "or-right", "cond"],
)
def test_operands_that_are_not_booleans_are_fatal(make, message, bad):
    vm = machine([])
    statement = Statement.let("r", make(bad))
    for _ in range(3):
        with raises_panic(message):
            vm.run([statement])


@pytest.mark.parametrize(
    "expr, value",
    [
        (Expr.and_(F, Expr.literal(1)), False),  # an operand not evaluated is not checked
        (Expr.or_(T, Expr.literal("x")), True),
        (Expr.cond(T, Expr.literal(1), Expr.binary_op(Expr.literal(1), "/", Expr.literal(0))), 1),
        (Expr.cond(F, Expr.ident("unbound"), Expr.vector([Expr.ident("yes")])), [True]),
        (Expr.and_(Expr.ident("yes"), Expr.ident("yes")), True),  # stored booleans count
    ],
)
def test_what_is_not_evaluated_cannot_fail(expr, value):
    vm = machine([])
    statement = Statement.let("r", expr)
    for _ in range(3):
        vm.run([statement])
        assert vm["r"] == value and type(vm["r"]) is type(value)


def test_builders_check_their_arguments():
    with pytest.raises(TypeError, match="'int' object cannot be converted to 'Expr'"):
        Expr.and_(T, 1)
    with pytest.raises(TypeError):
        Expr.cond(T, T)
    assert evaluate(Expr.cond(condition=T, then=Expr.literal(1), otherwise=Expr.literal(2))) == 1
