import pytest

from vrelpy import Expr, Statement, Vrel
from support import evaluate, ident, let, lit, raises_panic

OPERATOR_ERROR = "Expected one of: +, -, *, /"


class Op(str):
    pass


@pytest.mark.parametrize(
    "op, expected",
    [("+", 9), ("-", 5), ("*", 14), ("/", 3), (Op("-"), 5)],
)
def test_binary_op_operator_mapping(op, expected):
    assert evaluate(Expr.binary_op(lit(7), op, lit(2))) == expected


@pytest.mark.parametrize(
    "op", ["", " +", "+ ", "**", "//", "%", "x", "\x00", "é", "−", "＋", "÷", "+-", Op("%")]
)
def test_binary_op_rejects_other_operators(op):
    with pytest.raises(ValueError) as info:
        Expr.binary_op(lit(1), op, lit(2))
    assert type(info.value) is ValueError
    assert str(info.value) == OPERATOR_ERROR


@pytest.mark.parametrize(
    "args, message",
    [
        ((1, "%", lit(1)), "argument 'a': 'int' object cannot be converted to 'Expr'"),
        ((1, 5, None), "argument 'a': 'int' object cannot be converted to 'Expr'"),
        ((lit(1), "%", None), "argument 'b': 'NoneType' object cannot be converted to 'Expr'"),
        ((lit(1), 5, lit(1)), "argument 'o': 'int' object cannot be converted to 'PyString'"),
        ((lit(1), 5, None), "argument 'o': 'int' object cannot be converted to 'PyString'"),
        ((lit(1), None, "x"), "argument 'o': 'NoneType' object cannot be converted to 'PyString'"),
    ],
)
def test_binary_op_parameter_order(args, message):
    with pytest.raises(TypeError) as info:
        Expr.binary_op(*args)
    assert type(info.value) is TypeError
    assert str(info.value) == message


def test_binary_op_by_keyword():
    assert evaluate(Expr.binary_op(a=lit(10), o="-", b=lit(3))) == 7
    assert evaluate(Expr.binary_op(b=lit(3), o="-", a=lit(10))) == 7
    assert evaluate(Expr.binary_op(lit(10), b=lit(3), o="/")) == 3


@pytest.mark.parametrize(
    "build, expected",
    [
        (lambda: Expr.literal(value=None), None),
        (lambda: Expr.equals(b=lit(1), a=lit(1)), True),
        (lambda: Expr.greater_than(b=lit(1), a=lit(2)), True),
        (lambda: Expr.less_than(b=lit(1), a=lit(2)), False),
        (lambda: Expr.not_(item=lit(False)), True),
        (lambda: Expr.vector(items=(lit(1),)), [1]),
    ],
)
def test_keyword_builders(build, expected):
    assert evaluate(build()) == expected


def test_builders_work_on_instances():
    e = lit(3)
    assert evaluate(e.literal(4)) == 4
    assert evaluate(e.binary_op(e, "*", e)) == 9
    assert evaluate(e.vector([e, e])) == [3, 3]
    s = let("x", e)
    vm = Vrel()
    vm.run([s.let("y", e), s.if_(lit(True), [s], [])])
    assert vm.get("y") == 3 and vm.get("x") == 3


def test_greater_and_less_operand_order():
    assert evaluate(Expr.greater_than(lit(3), lit(2))) is True
    assert evaluate(Expr.greater_than(lit(2), lit(3))) is False
    assert evaluate(Expr.less_than(lit(2), lit(3))) is True
    assert evaluate(Expr.less_than(lit(3), lit(2))) is False


def test_not_yields_the_inverse():
    assert evaluate(Expr.not_(lit(True))) is False
    assert evaluate(Expr.not_(lit(False))) is True
    assert evaluate(Expr.not_(Expr.not_(lit(True)))) is True


def test_vector_builder():
    e = lit(1)
    assert evaluate(Expr.vector([])) == []
    assert evaluate(Expr.vector(())) == []
    assert evaluate(Expr.vector((e, lit("a")))) == [1, "a"]
    assert evaluate(Expr.vector([e, e])) == [1, 1]
    assert evaluate(Expr.vector([Expr.vector([e]), Expr.vector([])])) == [[1], []]


class Seq:
    def __init__(self, items):
        self.items = items

    def __len__(self):
        raise RuntimeError("no length")

    def __getitem__(self, index):
        return self.items[index]


def test_vector_accepts_any_sequence_and_keeps_its_order():
    assert evaluate(Expr.vector(Seq([lit(3), lit(2), lit(1)]))) == [3, 2, 1]


@pytest.mark.parametrize(
    "items, message",
    [
        ("ab", "argument 'items': Can't extract `str` to `Vec`"),
        (Op("ab"), "argument 'items': Can't extract `str` to `Vec`"),
        ((x for x in [lit(1)]), "argument 'items': 'generator' object cannot be converted to 'Sequence'"),
        ({lit(1)}, "argument 'items': 'set' object cannot be converted to 'Sequence'"),
        ({0: lit(1)}, "argument 'items': 'dict' object cannot be converted to 'Sequence'"),
        ([lit(1), 3], "argument 'items': 'int' object cannot be converted to 'Expr'"),
        ([let("x", lit(1))], "argument 'items': 'Statement' object cannot be converted to 'Expr'"),
        ([[lit(1)]], "argument 'items': 'list' object cannot be converted to 'Expr'"),
        ([lit(1), None, 3], "argument 'items': 'NoneType' object cannot be converted to 'Expr'"),
    ],
)
def test_vector_errors(items, message):
    with pytest.raises(TypeError) as info:
        Expr.vector(items)
    assert type(info.value) is TypeError
    assert str(info.value) == message


@pytest.mark.parametrize(
    "build, message",
    [
        (lambda: Expr.call("f", [lit(1)]), "argument 'args': 'list' object cannot be converted to 'Expr'"),
        (lambda: Expr.call("f", 1), "argument 'args': 'int' object cannot be converted to 'Expr'"),
        (lambda: Expr.not_(let("x", lit(1))), "argument 'item': 'Statement' object cannot be converted to 'Expr'"),
        (lambda: Expr.equals(lit(1), 1), "argument 'b': 'int' object cannot be converted to 'Expr'"),
        (lambda: Expr.greater_than("a", 1), "argument 'a': 'str' object cannot be converted to 'Expr'"),
        (lambda: Expr.less_than(lit(1), [lit(1)]), "argument 'b': 'list' object cannot be converted to 'Expr'"),
    ],
)
def test_expression_parameter_errors(build, message):
    with pytest.raises(TypeError) as info:
        build()
    assert str(info.value) == message


def test_call_takes_one_vector_argument():
    vm = Vrel()
    vm.run(
        [
            Statement.fn("f", lambda args: args[0] - args[1]),
            let("r", Expr.call("f", Expr.vector([lit(10), lit(4)]))),
        ]
    )
    assert vm.get("r") == 6


def test_expressions_are_reusable_after_use():
    e = lit(True)
    n = Expr.not_(e)
    assert evaluate(Expr.equals(e, e)) is True
    assert evaluate(n) is False
    assert evaluate(e) is True
    chain = Expr.binary_op(lit(1), "+", lit(2))
    bigger = Expr.binary_op(chain, "*", chain)
    assert evaluate(bigger) == 9
    assert evaluate(chain) == 3


# ------------------------------------------------------------------ statements

def test_if_with_empty_blocks():
    vm = Vrel()
    vm.run([Statement.if_(lit(True), [], []), Statement.if_(lit(False), (), ())])
    assert repr(vm) == "Machine { vars: {} }"


@pytest.mark.parametrize(
    "build, message",
    [
        (
            lambda s: Statement.if_(lit(True), s, []),
            "argument 'then': 'Statement' object cannot be converted to 'Sequence'",
        ),
        (lambda s: Statement.if_(lit(True), [], "x"), "argument 'otherwise': Can't extract `str` to `Vec`"),
        (
            lambda s: Statement.if_(1, "x", 5),
            "argument 'pxpr': 'int' object cannot be converted to 'Expr'",
        ),
        (
            lambda s: Statement.if_(lit(True), [s, 1], [s, 2.5]),
            "argument 'then': 'int' object cannot be converted to 'Statement'",
        ),
        (
            lambda s: Statement.if_(lit(True), [s], [s, 2.5]),
            "argument 'otherwise': 'float' object cannot be converted to 'Statement'",
        ),
        (
            lambda s: Statement.if_(lit(True), [lit(1)], []),
            "argument 'then': 'Expr' object cannot be converted to 'Statement'",
        ),
        (
            lambda s: Statement.if_(lit(True), (x for x in [s]), []),
            "argument 'then': 'generator' object cannot be converted to 'Sequence'",
        ),
        (
            lambda s: Statement.if_(lit(True), [], None),
            "argument 'otherwise': 'NoneType' object cannot be converted to 'Sequence'",
        ),
        (lambda s: Statement.let("x", 5), "argument 'pxpr': 'int' object cannot be converted to 'Expr'"),
        (lambda s: Statement.let("x", s), "argument 'pxpr': 'Statement' object cannot be converted to 'Expr'"),
    ],
)
def test_statement_parameter_errors(build, message):
    s = let("x", lit(1))
    with pytest.raises(TypeError) as info:
        build(s)
    assert type(info.value) is TypeError
    assert str(info.value) == message


def test_same_statement_twice_gives_two_copies():
    inc = let("n", Expr.binary_op(ident("n"), "+", lit(1)))
    twice = Statement.if_(lit(True), [inc, inc], [])
    vm = Vrel()
    vm.run([let("n", lit(0)), twice, Statement.if_(lit(False), [], (inc,))])
    assert vm.get("n") == 3
    vm.run([inc, twice])
    assert vm.get("n") == 6


def test_block_keeps_sequence_order():
    block = Seq([let("x", lit(1)), let("x", lit(2)), let("y", ident("x"))])
    vm = Vrel()
    vm.run([Statement.if_(lit(True), block, [])])
    assert vm.get("x") == 2 and vm.get("y") == 2


def test_numeric_and_text_identifiers_bind_different_variables():
    vm = Vrel()
    vm.run([let(1, lit("number")), let("1", lit("text"))])
    assert vm.get(1) == "number"
    assert vm.get("1") == "text"
    vm.run([let("r", Expr.binary_op(ident("1"), "+", ident(1)))])
    assert vm.get("r") == "textnumber"


def test_statements_are_not_changed_by_building_or_running():
    body = [let("x", lit(1))]
    cond = Statement.if_(lit(True), body, [])
    body.append(5)  # the block was copied when built
    vm = Vrel()
    vm.run([cond])
    vm.run([cond])
    assert vm.get("x") == 1


def test_fn_builds_a_callable_statement():
    vm = Vrel()
    vm.run([Statement.fn(ident="f", item=lambda x: [x, x]), let("r", Expr.call(ident="f", args=lit("a")))])
    assert vm.get("r") == ["a", "a"]


def test_unknown_function_in_expression_fails_only_when_run():
    expr = Expr.call("missing", lit(1))
    with raises_panic('Value cannot be found: S("missing")'):
        evaluate(expr)
