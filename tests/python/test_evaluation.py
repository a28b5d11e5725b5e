"""Running programs from Python. The operator table itself is tested in the core suite and by
the differential properties; here only what crosses the binding."""

import math
import struct

import pytest

from vrelpy import Expr, Statement, Vrel
from support import LyingSequence, assert_clean_exit, evaluate, ident, let, lit, raises_panic, run_python

I64_MIN, I64_MAX = -(2**63), 2**63 - 1
NEG_NAN = struct.unpack("<d", struct.pack("<Q", 0xFFF8000000000000))[0]


def identity(x):
    return x


@pytest.mark.parametrize(
    "expr, expected",
    [
        (Expr.binary_op(lit(I64_MAX), "+", lit(1)), I64_MIN),
        (Expr.binary_op(lit(-7), "/", lit(2)), -3),
        (Expr.binary_op(lit(7), "/", lit(2.0)), 3.5),
        (Expr.binary_op(lit(2), "*", lit(1.5)), 3.0),
        (Expr.binary_op(lit("ab"), "+", lit("cd")), "abcd"),
        (Expr.equals(lit(1), lit(1.0)), False),
        (Expr.greater_than(lit(math.nan), lit(math.inf)), True),
        (Expr.less_than(lit(NEG_NAN), lit(-math.inf)), True),
        (Expr.not_(lit(False)), True),
        (Expr.not_(Expr.not_(lit(True))), True),
    ],
)
def test_results_reach_python_with_their_type(expr, expected):
    out = evaluate(expr)
    assert type(out) is type(expected) and out == expected


def test_float_results_keep_sign_and_nan():
    assert math.copysign(1.0, evaluate(Expr.binary_op(lit(-0.0), "*", lit(5)))) == -1.0
    assert math.isnan(evaluate(Expr.binary_op(lit(0.0), "/", lit(0))))


def test_run_and_get():
    vm = Vrel()
    assert vm.run([]) is None and vm.run(()) is None
    assert repr(vm) == "Machine { vars: {} }"
    program = [let("n", lit(0)), let("n", Expr.binary_op(ident("n"), "+", lit(1)))]
    assert vm.run(stmts=program) is None
    assert vm.get(ident="n") == 1
    vm.run(program[1:])
    vm.run(program[1:])
    assert vm.get("n") == 3


def test_run_accepts_any_sequence():
    vm = Vrel()
    vm.run(LyingSequence([let("x", lit(1)), let("x", Expr.binary_op(ident("x"), "+", lit(1)))]))
    assert vm.get("x") == 2


@pytest.mark.parametrize("sequence", [list, tuple, LyingSequence])
def test_bad_item_stops_the_whole_run(sequence):
    vm = Vrel()
    with pytest.raises(TypeError) as info:
        vm.run(sequence([let("a", lit(1)), 5, let("b", lit(2)), "x"]))
    assert str(info.value) == "argument 'stmts': 'int' object cannot be converted to 'Statement'"
    assert repr(vm) == "Machine { vars: {} }"


def test_bindings_before_a_fatal_error_stay_and_machines_are_independent():
    vm, other = Vrel(), Vrel()
    with raises_panic("attempt to divide by zero"):
        vm.run([let("a", lit(1)), let("c", Expr.binary_op(lit(1), "/", lit(0))), let("d", lit(4))])
    assert repr(vm) == 'Machine { vars: {S("a"): Number(Int(1))} }'
    vm.run([let("e", lit(5))])
    assert vm.get("e") == 5
    with raises_panic('Value cannot be found: S("a")'):
        other.get("a")


def test_statement_list_mutated_during_run():
    program = []

    def mutate(x):
        program[:] = [5]
        return x

    program.extend([Statement.fn("f", mutate), let("a", Expr.call("f", lit(1))), let("b", lit(2))])
    vm = Vrel()
    vm.run(program)
    assert vm.get("a") == 1 and vm.get("b") == 2


@pytest.mark.parametrize(
    "name, shown",
    [
        ("x", 'S("x")'),
        (3, "U(3)"),
        (2**64 - 1, "U(18446744073709551615)"),
        ('a"b\\', 'S("a\\"b\\\\")'),
        ("line\nt\tr\r0\x00", 'S("line\\nt\\tr\\r0\\0")'),
        ("\x07\x7f", 'S("\\u{7}\\u{7f}")'),
        ("e\u0301", 'S("e\\u{301}")'),
        ("it's naïve 日本 🎉", "S(\"it's naïve 日本 🎉\")"),
        ("", 'S("")'),
    ],
)
def test_unbound_variable_message_and_identifier_forms(name, shown):
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
        (I64_MIN, "Number(Int(-9223372036854775808))"),
        (1.0, "Number(Float(1.0))"),
        (-0.0, "Number(Float(-0.0))"),
        (0.1, "Number(Float(0.1))"),
        (0.0001, "Number(Float(0.0001))"),
        (0.00001, "Number(Float(1e-5))"),
        (1e16, "Number(Float(1e16))"),
        (NEG_NAN, "Number(Float(NaN))"),
        (-math.inf, "Number(Float(-inf))"),
        (2**63, "Number(Float(9.223372036854776e18))"),
        ("\x07é\u0301\t\"", 'String("\\u{7}é\\u{301}\\t\\"")'),
        ([1, [2.0, "s"], []], 'Vector([Number(Int(1)), Vector([Number(Float(2.0)), String("s")]), Vector([])])'),
    ],
)
def test_repr_of_values(value, shown):
    vm = Vrel()
    vm.run([let("v", lit(value))])
    assert repr(vm) == 'Machine { vars: {S("v"): ' + shown + "} }"


def test_repr_of_function_values():
    vm = Vrel()
    vm.run([Statement.fn("f", identity), let("g", Expr.vector([ident("f"), lit(1)]))])
    shown = "Function(PyVrelFn { f: Py(" + hex(id(identity)) + ") })"
    assert repr(vm) in (
        'Machine { vars: {S("f"): ' + shown + ', S("g"): Vector([' + shown + ", Number(Int(1))])} }",
        'Machine { vars: {S("g"): Vector([' + shown + ', Number(Int(1))]), S("f"): ' + shown + "} }",
    )


def test_repr_lists_every_entry_once():
    vm = Vrel()
    vm.run([let(f"v{i}", lit(-1)) for i in range(20)])
    vm.run([let(f"v{i}", lit(i)) for i in range(20)] + [let(7, lit(None))])
    text = repr(vm)
    assert text.startswith("Machine { vars: {") and text.endswith("} }")
    items = text[len("Machine { vars: {"):-len("} }")].split(", ")
    expected = {f'S("v{i}")': f"Number(Int({i}))" for i in range(20)} | {"U(7)": "Null"}
    assert len(items) == 21 and dict(item.split(": ", 1) for item in items) == expected


def test_deep_program_evaluates():
    proc = run_python(
        """
        from vrelpy import Expr, Statement, Vrel
        one = Expr.literal(1)
        e, nots, vec = one, Expr.literal(True), Expr.vector([])
        for _ in range(3000):
            e, nots, vec = Expr.binary_op(e, "+", one), Expr.not_(nots), Expr.vector([vec])
        block = [Statement.let("inner", Expr.literal("deep"))]
        for _ in range(1000):
            block = [Statement.if_(Expr.literal(True), block, [])]
        vm = Vrel()
        vm.run([Statement.let("sum", e), Statement.let("nots", nots), Statement.let("vec", vec)] + block)
        out, depth = vm.get("vec"), 0
        while out:
            out, depth = out[0], depth + 1
        print(vm.get("sum"), vm.get("nots"), vm.get("inner"), depth)
        """
    )
    assert_clean_exit(proc)
    assert proc.stdout.split() == ["3001", "True", "deep", "3000"]
