import functools

import pytest

from vrelpy import Expr, Statement, Vrel
from support import LyingSequence as Seq, evaluate, ident, let, lit, raises_exact


class Op(str):
    pass


class Outer:
    class Inner:
        pass


def double(x):
    return x * 2


E = lit(1)
S = let("x", lit(1))


@pytest.mark.parametrize("op, expected", [("+", 9), ("-", 5), ("*", 14), ("/", 3), (Op("-"), 5)])
def test_binary_op_operator_mapping(op, expected):
    assert evaluate(Expr.binary_op(lit(7), op, lit(2))) == expected


@pytest.mark.parametrize("op", ["", " +", "+ ", "**", "//", "%", "\x00", "é", "−", "＋", "+-", Op("%")])
def test_binary_op_rejects_other_operators(op):
    assert str(raises_exact(ValueError, lambda: Expr.binary_op(lit(1), op, lit(2)))) == "Expected one of: +, -, *, /"


@pytest.mark.parametrize(
    "build, expected",
    [
        (lambda: Expr.binary_op(b=lit(3), o="-", a=lit(10)), 7),
        (lambda: Expr.binary_op(lit(10), b=lit(3), o="/"), 3),
        (lambda: Expr.literal(value=None), None),
        (lambda: Expr.equals(b=lit(1), a=lit(1)), True),
        (lambda: Expr.greater_than(b=lit(1), a=lit(2)), True),
        (lambda: Expr.less_than(b=lit(1), a=lit(2)), False),
        (lambda: Expr.not_(item=lit(False)), True),
        (lambda: Expr.vector(items=(lit(1), lit("a"))), [1, "a"]),
        (lambda: Expr.vector([]), []),
        (lambda: Expr.vector(Seq([lit(3), lit(2), lit(1)])), [3, 2, 1]),
        (lambda: Expr.vector([Expr.vector([E]), Expr.vector(())]), [[1], []]),
        (lambda: E.binary_op(E, "*", lit(3)), 3),
        (lambda: E.literal(4), 4),
    ],
)
def test_builders(build, expected):
    assert evaluate(build()) == expected


def test_expressions_are_reusable_and_copied():
    e = lit(True)
    n = Expr.not_(e)
    assert evaluate(Expr.equals(e, e)) is True
    assert evaluate(n) is False and evaluate(e) is True
    chain = Expr.binary_op(lit(1), "+", lit(2))
    assert evaluate(Expr.binary_op(chain, "*", chain)) == 9
    assert evaluate(chain) == 3
    vm = Vrel()
    vm.run([Statement.fn("f", lambda args: args[0] - args[1]), let("r", Expr.call("f", Expr.vector([lit(10), lit(4)])))])
    assert vm.get("r") == 6


NOT_EXPR = "argument '{}': '{}' object cannot be converted to 'Expr'"
NOT_STATEMENT = "argument '{}': '{}' object cannot be converted to 'Statement'"
NOT_SEQUENCE = "argument '{}': '{}' object cannot be converted to 'Sequence'"
NOT_FUNCTION = "argument 'item': '{}' object cannot be converted to 'PyFunction'"
STR_TO_VEC = "argument '{}': Can't extract `str` to `Vec`"


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: Expr.binary_op(1, "%", E), NOT_EXPR.format("a", "int")),
        (lambda: Expr.binary_op(1, 5, None), NOT_EXPR.format("a", "int")),
        (lambda: Expr.binary_op(E, "%", None), NOT_EXPR.format("b", "NoneType")),
        (lambda: Expr.binary_op(E, 5, None), "argument 'o': 'int' object cannot be converted to 'PyString'"),
        (lambda: Expr.binary_op(E, b"+", E), "argument 'o': 'bytes' object cannot be converted to 'PyString'"),
        (lambda: Expr.not_(S), NOT_EXPR.format("item", "Statement")),
        (lambda: Expr.not_(Outer.Inner()), NOT_EXPR.format("item", "Outer.Inner")),
        (lambda: Expr.equals(E, None), NOT_EXPR.format("b", "NoneType")),
        (lambda: Expr.greater_than("a", 1), NOT_EXPR.format("a", "str")),
        (lambda: Expr.less_than(E, [E]), NOT_EXPR.format("b", "list")),
        (lambda: Expr.call("f", [E]), NOT_EXPR.format("args", "list")),
        (lambda: Expr.vector("ab"), STR_TO_VEC.format("items")),
        (lambda: Expr.vector(Op("ab")), STR_TO_VEC.format("items")),
        (lambda: Expr.vector(x for x in [E]), NOT_SEQUENCE.format("items", "generator")),
        (lambda: Expr.vector({0: E}), NOT_SEQUENCE.format("items", "dict")),
        (lambda: Expr.vector(5), NOT_SEQUENCE.format("items", "int")),
        (lambda: Expr.vector([E, 3]), NOT_EXPR.format("items", "int")),
        (lambda: Expr.vector([E, None, 3]), NOT_EXPR.format("items", "NoneType")),
        (lambda: Expr.vector([S]), NOT_EXPR.format("items", "Statement")),
        (lambda: Statement.if_(E, S, []), NOT_SEQUENCE.format("then", "Statement")),
        (lambda: Statement.if_(E, [], "x"), STR_TO_VEC.format("otherwise")),
        (lambda: Statement.if_(E, [], None), NOT_SEQUENCE.format("otherwise", "NoneType")),
        (lambda: Statement.if_(1, "x", 5), NOT_EXPR.format("pxpr", "int")),
        (lambda: Statement.if_(E, [S, 1], [S, 2.5]), NOT_STATEMENT.format("then", "int")),
        (lambda: Statement.if_(E, [S], [S, 2.5]), NOT_STATEMENT.format("otherwise", "float")),
        (lambda: Statement.if_(E, [E], []), NOT_STATEMENT.format("then", "Expr")),
        (lambda: Statement.if_(E, [], [Outer.Inner]), NOT_STATEMENT.format("otherwise", "type")),
        (lambda: Statement.let("x", 5), NOT_EXPR.format("pxpr", "int")),
        (lambda: Statement.let("x", S), NOT_EXPR.format("pxpr", "Statement")),
        (lambda: Vrel().run([Outer()]), NOT_STATEMENT.format("stmts", "Outer")),
        (lambda: Vrel().run([E]), NOT_STATEMENT.format("stmts", "Expr")),
        (lambda: Vrel().run({S}), NOT_SEQUENCE.format("stmts", "set")),
        (lambda: Vrel().run(iter([S])), NOT_SEQUENCE.format("stmts", "list_iterator")),
        (lambda: Vrel().run(x for x in [S]), NOT_SEQUENCE.format("stmts", "generator")),
        (lambda: Vrel().run(5), NOT_SEQUENCE.format("stmts", "int")),
        (lambda: Vrel().run("ab"), STR_TO_VEC.format("stmts")),
    ]
    + [
        (lambda item=item: Statement.fn("f", item), NOT_FUNCTION.format(name))
        for item, name in [
            (len, "builtin_function_or_method"),
            (Outer().__init__, "method-wrapper"),
            (Seq([]).__len__, "method"),
            (Outer, "type"),
            (functools.partial(double), "partial"),
            (staticmethod(double), "staticmethod"),
            (None, "NoneType"),
            ("double", "str"),
        ]
    ],
)
def test_argument_conversion_errors(call, message):
    exc = raises_exact(TypeError, call)
    assert str(exc) == message
    assert exc.__cause__ is None


def generator_function(x):
    yield x


async def coroutine_function(x):
    return x


@pytest.mark.parametrize("item", [double, lambda: 0, lambda *a, **k: 0, generator_function, coroutine_function])
def test_fn_accepts_any_plain_function(item):
    assert isinstance(Statement.fn("f", item), Statement)


# ------------------------------------------------------------------ statements

def test_statements_are_copied_when_built_and_run():
    inc = let("n", Expr.binary_op(ident("n"), "+", lit(1)))
    twice = Statement.if_(lit(True), [inc, inc], [])
    body = [let("x", lit(1))]
    cond = Statement.if_(lit(True), body, ())
    body.append(5)
    vm = Vrel()
    vm.run([let("n", lit(0)), twice, Statement.if_(lit(False), [], (inc,)), cond, cond])
    assert vm.get("n") == 3 and vm.get("x") == 1
    vm.run([inc, twice, S.let("y", E), S.if_(lit(True), [S], [])])
    assert vm.get("n") == 6 and vm.get("y") == 1


def test_if_with_empty_blocks_and_block_order():
    vm = Vrel()
    vm.run([Statement.if_(lit(True), [], []), Statement.if_(lit(False), (), ())])
    assert repr(vm) == "Machine { vars: {} }"
    vm.run([Statement.if_(lit(True), Seq([let("x", lit(1)), let("x", lit(2)), let("y", ident("x"))]), [])])
    assert vm.get("x") == 2 and vm.get("y") == 2


def test_numeric_and_text_identifiers_bind_different_variables():
    vm = Vrel()
    vm.run([let(1, lit("number")), let("1", lit("text")), let("r", Expr.binary_op(ident("1"), "+", ident(1)))])
    assert vm.get(1) == "number" and vm.get("r") == "textnumber"


def test_fn_by_keyword():
    vm = Vrel()
    vm.run([Statement.fn(ident="f", item=lambda x: [x, x]), let("r", Expr.call(ident="f", args=lit("a")))])
    assert vm.get("r") == ["a", "a"]
