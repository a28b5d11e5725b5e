import math
import re
import struct

import pytest
from hypothesis import given, settings, strategies as st

from vrelpy import Expr, Statement, Vrel
from support import assert_clean_exit, evaluate, ident, let, lit, raises_panic, run_python

I64_MIN = -(2**63)
I64_MAX = 2**63 - 1

UNKNOWN_TYPE = "Binary operator for unknown type"
UNKNOWN_STRING_OP = "Unknown binary operation for Value::String"
NOT_NUMBERS = "Both left-hand and right-hand side values must be a number"
NOT_BOOLEAN = "The not expression must be used on a boolean value"
BAD_CONDITION = "Expected deduced condition to be a bool, got other type"
FN_EQ = "Cannot perform PartialEq for Value::Fn"

NEG_NAN = struct.unpack("<d", struct.pack("<Q", 0xFFF8000000000000))[0]


def identity(x):
    return x


def fn_machine():
    """A machine with a function value bound to f."""
    vm = Vrel()
    vm.run([Statement.fn("f", identity)])
    return vm


FN = object()  # marks an operand that is the function value bound to f


def operand(value):
    return ident("f") if value is FN else lit(value)


def ev_binary(left, op, right):
    return evaluate(Expr.binary_op(operand(left), op, operand(right)), fn_machine())


def same_float(a, b):
    assert type(a) is float
    if math.isnan(b):
        assert math.isnan(a)
    else:
        assert struct.pack("<d", a) == struct.pack("<d", b)


# ------------------------------------------------------------------ arithmetic

@pytest.mark.parametrize(
    "left, op, right, expected",
    [
        (I64_MAX, "+", 1, I64_MIN),
        (I64_MIN, "-", 1, I64_MAX),
        (I64_MAX, "*", 2, -2),
        (I64_MIN, "*", -1, I64_MIN),
        (I64_MIN, "+", I64_MIN, 0),
        (7, "/", 2, 3),
        (-7, "/", 2, -3),
        (7, "/", -2, -3),
        (-7, "/", -2, 3),
        (0, "/", 5, 0),
        (I64_MIN, "/", 1, I64_MIN),
        (I64_MAX, "/", -1, -I64_MAX),
        (3, "-", 10, -7),
    ],
)
def test_integer_arithmetic(left, op, right, expected):
    out = ev_binary(left, op, right)
    assert type(out) is int and out == expected


@pytest.mark.parametrize(
    "left, op, right, expected",
    [
        (7, "/", 2.0, 3.5),
        (1, "/", 0.0, math.inf),
        (-1, "/", 0.0, -math.inf),
        (1, "/", -0.0, -math.inf),
        (0.0, "/", 0, math.nan),
        (0.0, "/", 0.0, math.nan),
        (1.0, "/", 0.0, math.inf),
        (1, "+", 0.5, 1.5),
        (2, "*", 1.5, 3.0),
        (2.0, "*", 2, 4.0),
        (10, "-", 0.5, 9.5),
        (0.5, "-", 10, -9.5),
        (0.1, "+", 0.2, 0.1 + 0.2),
        (2**53 + 1, "+", 0.0, float(2**53)),
        (-0.0, "+", 0, 0.0),
        (-0.0, "*", 5, -0.0),
        (math.inf, "-", math.inf, math.nan),
    ],
)
def test_float_and_mixed_arithmetic(left, op, right, expected):
    same_float(ev_binary(left, op, right), expected)


@pytest.mark.parametrize(
    "left, right, message",
    [
        (7, 0, "attempt to divide by zero"),
        (0, 0, "attempt to divide by zero"),
        (I64_MIN, -1, "attempt to divide with overflow"),
        (I64_MIN, 0, "attempt to divide by zero"),
    ],
)
def test_integer_division_errors(left, right, message):
    with raises_panic(message):
        ev_binary(left, "/", right)


@pytest.mark.parametrize(
    "left, right, expected",
    [("ab", "cd", "abcd"), ("", "", ""), ("ä", "✓", "ä✓"), ("a\x00", "\x00b", "a\x00\x00b")],
)
def test_string_concatenation(left, right, expected):
    assert ev_binary(left, "+", right) == expected


@pytest.mark.parametrize("op", ["-", "*", "/"])
def test_other_string_operations_fail(op):
    with raises_panic(UNKNOWN_STRING_OP):
        ev_binary("a", op, "b")


@pytest.mark.parametrize("op", ["+", "-", "*", "/"])
@pytest.mark.parametrize(
    "left, right",
    [
        ("a", 1),
        (1, "a"),
        ("a", None),
        (True, True),
        (False, 1),
        (1, True),
        ([], []),
        ([1], 1),
        (1, [1]),
        (None, None),
        (None, 1),
        (1, None),
        (FN, 1),
        (FN, FN),
        (1, FN),
        ("a", FN),
        (1.5, "a"),
    ],
)
def test_binary_operator_type_errors(left, op, right):
    with raises_panic(UNKNOWN_TYPE):
        ev_binary(left, op, right)


# -------------------------------------------------------------------- equality

@pytest.mark.parametrize(
    "left, right, expected",
    [
        (None, None, True),
        (None, True, False),
        (None, 0, False),
        (None, [], False),
        (None, FN, False),
        (True, True, True),
        (True, False, False),
        ("a", "a", True),
        ("a", "b", False),
        ("", "", True),
        ("é", "e\u0301", False),
        (1, 1, True),
        (1, 2, False),
        (1, 1.0, False),
        (1.0, 1, False),
        (1.5, 1.5, True),
        (math.nan, math.nan, False),
        (0.0, -0.0, True),
        (I64_MAX, float(I64_MAX), False),
        ([], [], True),
        ([1], [1, 2], False),
        ([True], [None, 1], False),
        ([None], [True], False),
        ([1, [2, "a"]], [1, [2, "a"]], True),
        ([1, [2, "a"]], [1, [2, "b"]], False),
        ([1], [1.0], False),
        ([1, True], [2, None], False),
    ],
)
def test_equality(left, right, expected):
    assert evaluate(Expr.equals(operand(left), operand(right)), fn_machine()) is expected


@pytest.mark.parametrize(
    "left, right, message",
    [
        (True, None, "Expected other item to be Value::Boolean"),
        (True, 1, "Expected other item to be Value::Boolean"),
        ("a", 1, "Expected other item to be Value::String"),
        ("a", None, "Expected other item to be Value::String"),
        (1, "1", "Expected other item to be Value::Number"),
        (1.0, None, "Expected other item to be Value::Number"),
        (1, FN, "Expected other item to be Value::Number"),
        ([], None, "Expected other item to be Value::Vector"),
        ([1], 1, "Expected other item to be Value::Vector"),
        ([True], [None], "Expected other item to be Value::Boolean"),
        ([1, "a"], [1, 2], "Expected other item to be Value::String"),
        ([[1]], [[None]], "Expected other item to be Value::Number"),
        (FN, FN, FN_EQ),
        (FN, None, FN_EQ),
        (FN, 1, FN_EQ),
    ],
)
def test_equality_errors(left, right, message):
    with raises_panic(message):
        evaluate(Expr.equals(operand(left), operand(right)), fn_machine())


def test_equality_with_function_inside_vectors():
    vm = fn_machine()
    vm.run([let("v", Expr.vector([ident("f")]))])
    with raises_panic(FN_EQ):
        evaluate(Expr.equals(ident("v"), ident("v")), vm)
    assert evaluate(Expr.equals(ident("v"), lit([1, 2])), vm) is False


# ----------------------------------------------------------------- comparisons

@pytest.mark.parametrize(
    "left, right, greater, less",
    [
        (3, 2, True, False),
        (2, 2, False, False),
        (2, 3, False, True),
        (-1, I64_MAX, False, True),
        (I64_MIN, -1, False, True),
        (2, 1.5, True, False),
        (1.5, 2, False, True),
        (0.0, -0.0, True, False),
        (-0.0, 0.0, False, True),
        (0, -0.0, True, False),
        (math.nan, math.inf, True, False),
        (NEG_NAN, -math.inf, False, True),
        (math.nan, math.nan, False, False),
        (NEG_NAN, math.nan, False, True),
        (math.nan, 1, True, False),
        (2**53 + 1, float(2**53), False, False),
        (2**53 + 1, 2**53, True, False),
        (math.inf, I64_MAX, True, False),
        (5e-324, 0.0, True, False),
        (-5e-324, -0.0, False, True),
    ],
)
def test_comparisons(left, right, greater, less):
    assert evaluate(Expr.greater_than(lit(left), lit(right))) is greater
    assert evaluate(Expr.less_than(lit(left), lit(right))) is less


@pytest.mark.parametrize("build", [Expr.greater_than, Expr.less_than])
@pytest.mark.parametrize(
    "left, right",
    [("a", 1), (1, "a"), ("a", "b"), (None, 1), (1, None), (True, False), ([1], [2]), (FN, 1), (1, FN)],
)
def test_comparison_type_errors(build, left, right):
    with raises_panic(NOT_NUMBERS):
        evaluate(build(operand(left), operand(right)), fn_machine())


def total_order_key(x):
    bits = struct.unpack("<q", struct.pack("<d", x))[0]
    if bits < 0:
        bits ^= 0x7FFFFFFFFFFFFFFF
    return bits


ints = st.integers(min_value=I64_MIN, max_value=I64_MAX)
floats = st.floats(allow_nan=True, allow_infinity=True) | st.sampled_from([NEG_NAN, -0.0, 0.0])


@settings(max_examples=200, deadline=None)
@given(ints, ints)
def test_integer_arithmetic_wraps_like_modulo(a, b):
    def wrap(n):
        return (n + 2**63) % 2**64 - 2**63

    vm = Vrel()
    vm.run(
        [
            let("a", lit(a)),
            let("b", lit(b)),
            let("add", Expr.binary_op(ident("a"), "+", ident("b"))),
            let("sub", Expr.binary_op(ident("a"), "-", ident("b"))),
            let("mul", Expr.binary_op(ident("a"), "*", ident("b"))),
            let("gt", Expr.greater_than(ident("a"), ident("b"))),
            let("lt", Expr.less_than(ident("a"), ident("b"))),
            let("eq", Expr.equals(ident("a"), ident("b"))),
        ]
    )
    assert vm.get("add") == wrap(a + b)
    assert vm.get("sub") == wrap(a - b)
    assert vm.get("mul") == wrap(a * b)
    assert vm.get("gt") is (a > b)
    assert vm.get("lt") is (a < b)
    assert vm.get("eq") is (a == b)
    if b != 0 and not (a == I64_MIN and b == -1):
        quotient = abs(a) // abs(b) * (1 if (a < 0) == (b < 0) else -1)
        assert evaluate(Expr.binary_op(lit(a), "/", lit(b))) == quotient


@settings(max_examples=200, deadline=None)
@given(floats | ints, floats)
def test_float_comparisons_follow_total_order(a, b):
    ka, kb = total_order_key(float(a)), total_order_key(b)
    assert evaluate(Expr.greater_than(lit(a), lit(b))) is (ka > kb)
    assert evaluate(Expr.less_than(lit(b), lit(a))) is (ka > kb)
    assert evaluate(Expr.less_than(lit(a), lit(b))) is (ka < kb)


@settings(max_examples=200, deadline=None)
@given(st.floats(allow_nan=False), st.floats(allow_nan=False), st.sampled_from("+-*/"))
def test_float_arithmetic_matches_python(a, b, op):
    if op == "/" and b == 0:
        expected = math.nan if a == 0 else math.copysign(math.inf, a) * math.copysign(1.0, b)
    else:
        expected = {"+": a + b, "-": a - b, "*": a * b, "/": (a / b) if b else 0.0}[op]
    same_float(evaluate(Expr.binary_op(lit(a), op, lit(b))), expected)


# ------------------------------------------------------------------------ not

@pytest.mark.parametrize("value, expected", [(True, False), (False, True)])
def test_not(value, expected):
    assert evaluate(Expr.not_(lit(value))) is expected


@pytest.mark.parametrize("value", [1, 0, 1.0, "true", "", None, [], [True]])
def test_not_requires_a_boolean(value):
    with raises_panic(NOT_BOOLEAN):
        evaluate(Expr.not_(lit(value)))


def test_not_of_function_value():
    with raises_panic(NOT_BOOLEAN):
        evaluate(Expr.not_(ident("f")), fn_machine())


# ------------------------------------------------------------------ statements

def test_if_chooses_the_block():
    vm = Vrel()
    vm.run(
        [
            Statement.if_(lit(True), [let("a", lit("then"))], [let("a", lit("else"))]),
            Statement.if_(Expr.less_than(lit(2), lit(1)), [let("b", lit("then"))], [let("b", lit("else"))]),
        ]
    )
    assert vm.get("a") == "then"
    assert vm.get("b") == "else"


def test_unchosen_block_is_not_evaluated():
    vm = Vrel()
    vm.run(
        [
            Statement.if_(lit(True), [let("x", lit(1))], [let("y", ident("unbound"))]),
            Statement.if_(lit(False), [let("z", Expr.binary_op(lit(1), "/", lit(0)))], []),
        ]
    )
    assert repr(vm) == 'Machine { vars: {S("x"): Number(Int(1))} }'


@pytest.mark.parametrize("cond", [1, 0, None, "true", [True], 1.0])
def test_if_requires_a_boolean_condition(cond):
    vm = Vrel()
    with raises_panic(BAD_CONDITION):
        vm.run(
            [
                let("before", lit(1)),
                Statement.if_(lit(cond), [let("then", lit(1))], [let("else", lit(1))]),
                let("after", lit(1)),
            ]
        )
    assert repr(vm) == 'Machine { vars: {S("before"): Number(Int(1))} }'


def test_nested_blocks_bind_into_the_same_machine():
    vm = Vrel()
    inner = Statement.if_(lit(False), [], [let("deep", lit("d"))])
    vm.run([Statement.if_(lit(True), [let("outer", lit("o")), inner], []), let("copy", ident("deep"))])
    assert vm.get("deep") == "d"
    assert vm.get("copy") == "d"
    assert vm.get("outer") == "o"


def test_bindings_before_a_fatal_error_stay():
    vm = Vrel()
    with raises_panic("attempt to divide by zero"):
        vm.run(
            [
                let("a", lit(1)),
                let("b", lit(2)),
                let("c", Expr.binary_op(lit(1), "/", lit(0))),
                let("d", lit(4)),
            ]
        )
    assert vm.get("a") == 1 and vm.get("b") == 2
    for name in ("c", "d"):
        with raises_panic(f'Value cannot be found: S("{name}")'):
            vm.get(name)
    vm.run([let("e", lit(5))])
    assert vm.get("e") == 5


def test_bindings_inside_a_partly_run_block_stay():
    vm = Vrel()
    with raises_panic('Value cannot be found: S("nope")'):
        vm.run([Statement.if_(lit(True), [let("a", lit(1)), let("b", ident("nope")), let("c", lit(3))], [])])
    assert repr(vm) == 'Machine { vars: {S("a"): Number(Int(1))} }'


def test_failed_rebinding_keeps_old_value():
    vm = Vrel()
    vm.run([let("x", lit("old"))])
    with raises_panic(NOT_NUMBERS):
        vm.run([let("x", Expr.greater_than(lit("a"), lit(1)))])
    assert vm.get("x") == "old"


def test_let_reads_the_previous_binding():
    vm = Vrel()
    vm.run([let("x", lit(1)), let("x", Expr.binary_op(ident("x"), "+", lit(1)))])
    assert vm.get("x") == 2
    assert repr(vm) == 'Machine { vars: {S("x"): Number(Int(2))} }'


def test_alias_is_unaffected_by_rebinding():
    vm = Vrel()
    vm.run([let("x", lit([1])), let("y", ident("x")), let("x", lit(2))])
    assert vm.get("y") == [1]
    assert vm.get("x") == 2


def test_empty_programs_change_nothing():
    vm = Vrel()
    assert vm.run([]) is None
    assert vm.run(()) is None
    assert repr(vm) == "Machine { vars: {} }"


def test_run_by_keyword_and_twice():
    program = [let("n", lit(0))] + [let("n", Expr.binary_op(ident("n"), "+", lit(1)))]
    vm = Vrel()
    assert vm.run(stmts=program) is None
    assert vm.get("n") == 1
    vm.run(program[1:])
    vm.run(program[1:])
    assert vm.get("n") == 3


class LyingSequence:
    """A sequence whose length fails; items come from indexing."""

    def __init__(self, items):
        self.items = items

    def __len__(self):
        raise RuntimeError("no length")

    def __getitem__(self, index):
        return self.items[index]


def test_run_accepts_any_sequence():
    vm = Vrel()
    vm.run(LyingSequence([let("x", lit(1)), let("x", Expr.binary_op(ident("x"), "+", lit(1)))]))
    assert vm.get(ident="x") == 2


def test_bad_item_stops_the_whole_run():
    vm = Vrel()
    with pytest.raises(TypeError) as info:
        vm.run([let("a", lit(1)), 5])
    assert str(info.value) == "argument 'stmts': 'int' object cannot be converted to 'Statement'"
    assert repr(vm) == "Machine { vars: {} }"


def test_machines_are_independent():
    a, b = Vrel(), Vrel()
    a.run([let("x", lit(1))])
    with raises_panic('Value cannot be found: S("x")'):
        b.get("x")
    assert repr(b) == "Machine { vars: {} }"


def test_vector_with_unbound_item():
    with raises_panic('Value cannot be found: S("missing")'):
        evaluate(Expr.vector([lit(1), ident("missing")]))


def test_calling_a_number():
    vm = Vrel()
    seen = []
    vm.run([let("n", lit(5)), Statement.fn("log", lambda x: seen.append(x))])
    with raises_panic("called `Option::unwrap()` on a `None` value"):
        evaluate(Expr.call("n", Expr.call("log", lit(1))), vm)
    assert seen == [1]


def test_argument_is_evaluated_before_the_callee_is_looked_up():
    vm = Vrel()
    seen = []
    vm.run([Statement.fn("log", lambda x: seen.append(x))])
    with raises_panic("Value cannot be found: U(9)"):
        evaluate(Expr.call(9, Expr.call("log", lit("arg"))), vm)
    assert seen == ["arg"]


def test_both_operands_run_before_an_operator_fails():
    vm = Vrel()
    seen = []

    def log(x):
        seen.append(x)
        return x

    vm.run([Statement.fn("log", log)])
    with raises_panic(UNKNOWN_TYPE):
        evaluate(Expr.binary_op(Expr.call("log", lit(1)), "+", Expr.call("log", lit(None))), vm)
    assert seen == [1, None]
    seen.clear()
    with raises_panic(NOT_NUMBERS):
        evaluate(Expr.less_than(Expr.call("log", lit("a")), Expr.call("log", lit(2))), vm)
    assert seen == ["a", 2]


# --------------------------------------------------------- unbound and repr

@pytest.mark.parametrize(
    "name, shown",
    [
        ("x", 'S("x")'),
        (3, "U(3)"),
        (2**64 - 1, "U(18446744073709551615)"),
        ('a"b', 'S("a\\"b")'),
        ("a\\b", 'S("a\\\\b")'),
        ("line\nfeed", 'S("line\\nfeed")'),
        ("t\tr\r0\x00", 'S("t\\tr\\r0\\0")'),
        ("bell\x07", 'S("bell\\u{7}")'),
        ("\x01\x7f", 'S("\\u{1}\\u{7f}")'),
        ("e\u0301", 'S("e\\u{301}")'),
        ("it's", "S(\"it's\")"),
        ("naïve 日本 🎉", 'S("naïve 日本 🎉")'),
        ("", 'S("")'),
    ],
)
def test_unbound_variable_message(name, shown):
    vm = Vrel()
    with raises_panic("Value cannot be found: " + shown):
        vm.get(name)
    with raises_panic("Value cannot be found: " + shown):
        vm.run([let("y", ident(name))])
    vm.run([let(name, lit(1))])
    assert vm.get(name) == 1
    assert repr(vm) == "Machine { vars: {" + shown + ": Number(Int(1))} }"


@pytest.mark.parametrize(
    "value, shown",
    [
        (None, "Null"),
        (True, "Boolean(true)"),
        (False, "Boolean(false)"),
        (5, "Number(Int(5))"),
        (-3, "Number(Int(-3))"),
        (I64_MIN, "Number(Int(-9223372036854775808))"),
        (2.5, "Number(Float(2.5))"),
        (1.0, "Number(Float(1.0))"),
        (0.0, "Number(Float(0.0))"),
        (-0.0, "Number(Float(-0.0))"),
        (0.5, "Number(Float(0.5))"),
        (0.1, "Number(Float(0.1))"),
        (0.0001, "Number(Float(0.0001))"),
        (0.00001, "Number(Float(1e-5))"),
        (0.000015, "Number(Float(1.5e-5))"),
        (9.999e-5, "Number(Float(9.999e-5))"),
        (123456.789, "Number(Float(123456.789))"),
        (1e15, "Number(Float(1000000000000000.0))"),
        (9999999999999998.0, "Number(Float(9999999999999998.0))"),
        (1e16, "Number(Float(1e16))"),
        (-2.5e20, "Number(Float(-2.5e20))"),
        (1.7976931348623157e308, "Number(Float(1.7976931348623157e308))"),
        (5e-324, "Number(Float(5e-324))"),
        (math.nan, "Number(Float(NaN))"),
        (NEG_NAN, "Number(Float(NaN))"),
        (math.inf, "Number(Float(inf))"),
        (-math.inf, "Number(Float(-inf))"),
        (2**63, "Number(Float(9.223372036854776e18))"),
        ("a\"b", 'String("a\\"b")'),
        ("x\ny", 'String("x\\ny")'),
        ("\x07é\u0301\t", 'String("\\u{7}é\\u{301}\\t")'),
        ([], "Vector([])"),
        ([None, True], "Vector([Null, Boolean(true)])"),
        ([1, [2.0, "s"], []], 'Vector([Number(Int(1)), Vector([Number(Float(2.0)), String("s")]), Vector([])])'),
    ],
)
def test_repr_of_values(value, shown):
    vm = Vrel()
    vm.run([let("v", lit(value))])
    assert repr(vm) == 'Machine { vars: {S("v"): ' + shown + "} }"


def test_repr_of_function_value():
    vm = fn_machine()
    assert repr(vm) == 'Machine { vars: {S("f"): Function(PyVrelFn { f: Py(' + hex(id(identity)) + ") })} }"


def test_repr_of_function_inside_vector():
    vm = fn_machine()
    vm.run([let("f", Expr.vector([ident("f"), lit(1)]))])
    shown = "Function(PyVrelFn { f: Py(" + hex(id(identity)) + ") })"
    assert repr(vm) == 'Machine { vars: {S("f"): Vector([' + shown + ", Number(Int(1))])} }"


def test_repr_of_empty_machine():
    assert repr(Vrel()) == "Machine { vars: {} }"


def test_repr_lists_every_entry_once():
    vm = Vrel()
    entries = {f'S("v{i}")': f"Number(Int({i}))" for i in range(20)}
    vm.run([let(f"v{i}", lit(-1)) for i in range(20)])
    vm.run([let(f"v{i}", lit(i)) for i in range(20)])
    vm.run([let(7, lit(None))])
    entries["U(7)"] = "Null"
    text = repr(vm)
    assert text.startswith("Machine { vars: {") and text.endswith("} }")
    body = text[len("Machine { vars: {"):-len("} }")]
    parsed = dict(item.split(": ", 1) for item in body.split(", "))
    assert parsed == entries
    assert len(body.split(", ")) == 21


# ------------------------------------------------------------- deep programs

def test_deep_expression_evaluates():
    proc = run_python(
        """
        from vrelpy import Expr, Statement, Vrel
        one = Expr.literal(1)
        e = one
        for _ in range(3000):
            e = Expr.binary_op(e, "+", one)
        right = one
        for _ in range(3000):
            right = Expr.binary_op(one, "-", right)
        nots = Expr.literal(True)
        for _ in range(3001):
            nots = Expr.not_(nots)
        vec = Expr.vector([])
        for _ in range(3000):
            vec = Expr.vector([vec])
        block = [Statement.let("inner", Expr.literal("deep"))]
        for _ in range(1000):
            block = [Statement.if_(Expr.literal(True), block, [])]
        vm = Vrel()
        vm.run([Statement.let("sum", e), Statement.let("alt", right), Statement.let("nots", nots),
                Statement.let("vec", vec)] + block)
        print(vm.get("sum"), vm.get("alt"), vm.get("nots"), vm.get("inner"))
        out = vm.get("vec")
        depth = 0
        while out:
            out = out[0]
            depth += 1
        print(depth)
        """
    )
    assert_clean_exit(proc)
    assert proc.stdout.split() == ["3001", "1", "False", "deep", "3000"]


def test_long_value_chain_is_released_without_crashing():
    proc = run_python(
        """
        from vrelpy import Expr, Statement, Vrel
        vm = Vrel()
        vm.run([Statement.let("x", Expr.literal(None))])
        wrap = [Statement.let("x", Expr.vector([Expr.ident("x")]))]
        for _ in range(100000):
            vm.run(wrap)
        print("built", flush=True)
        for probe in (lambda: repr(vm), lambda: vm.get("x")):
            try:
                probe()
            except BaseException as exc:
                print("raised", type(exc).__name__, flush=True)
            else:
                print("worked", flush=True)
        vm.run([Statement.let("x", Expr.literal(0))])
        print(vm.get("x"), flush=True)
        del vm
        vm = Vrel()
        vm.run([Statement.let("x", Expr.literal(None))])
        for _ in range(100000):
            vm.run(wrap)
        del vm
        print("released", flush=True)
        """
    )
    assert_clean_exit(proc)
    lines = proc.stdout.splitlines()
    assert lines[0] == "built"
    assert re.fullmatch(r"(raised \w+|worked)", lines[1])
    assert re.fullmatch(r"(raised \w+|worked)", lines[2])
    assert lines[3:] == ["0", "released"]
