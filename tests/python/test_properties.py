"""Differential properties: vrelpy against a small reference evaluator written here.

Example counts come from a profile chosen with VRELPY_HYPOTHESIS_PROFILE: "ci" runs
several thousand examples in total, anything else (the default) a quick few hundred.
"""

import math
import os
import struct

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from support import is_panic, same_value
from vrelpy import Expr, Statement, Vrel

PROFILE = os.environ.get("VRELPY_HYPOTHESIS_PROFILE", "default")
EXAMPLES = {"ci": {"round_trip": 1500, "tree": 3000}}.get(PROFILE, {"round_trip": 150, "tree": 300})


def profile(kind):
    return settings(
        max_examples=EXAMPLES[kind],
        deadline=None,
        suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
    )


I64_MIN, I64_MAX = -(2**63), 2**63 - 1
NEG_NAN = struct.unpack("<d", struct.pack("<Q", 0xFFF8000000000000))[0]
UNWRAP_FUNCTION = (
    "called `Result::unwrap()` on an `Err` value: PyErr { type: <class 'TypeError'>, "
    "value: TypeError('Cannot convert a Rust trait to Python'), traceback: None }"
)


def identity(x):
    return x


# ---------------------------------------------------------------- value round trip

def normal_form(value):
    """What a Python value is expected to come back as after a trip through the language."""
    if isinstance(value, (list, tuple, bytes, range)):
        return [normal_form(item) for item in value]
    if type(value) is int and not I64_MIN <= value <= I64_MAX:
        return float(value)
    return value


i64 = st.integers(I64_MIN, I64_MAX) | st.sampled_from([I64_MIN, I64_MAX, 0, -1, 1])
floats = st.floats() | st.sampled_from([NEG_NAN, -0.0, 0.0, math.inf, -math.inf])
scalars = (
    st.none()
    | st.booleans()
    | i64
    | st.integers(I64_MAX + 1, 2**1000)
    | st.integers(-(2**1000), I64_MIN - 1)
    | floats
    | st.text(st.characters(exclude_categories=("Cs",)))
    | st.binary(max_size=8)
    | st.builds(range, st.integers(-5, 5), st.integers(-5, 10))
)
python_values = st.recursive(
    scalars,
    lambda inner: st.lists(inner, max_size=4) | st.lists(inner, max_size=4).map(tuple),
    max_leaves=20,
)


@profile("round_trip")
@given(python_values)
def test_values_come_back_in_normal_form(value):
    vm = Vrel()
    vm.run(
        [
            Statement.fn("id", identity),
            Statement.let("x", Expr.literal(value)),
            Statement.let("y", Expr.call("id", Expr.literal(value))),
        ]
    )
    expected = normal_form(value)
    assert same_value(vm.get("x"), expected)
    assert same_value(vm.get("y"), expected)


# ---------------------------------------------------------------- reference evaluator

class Fatal(Exception):
    """A fatal evaluation error of the reference, carrying the expected message."""


class FunctionValue:
    """The reference's stand-in for a function value (the identity function)."""


FN = FunctionValue()
NUMBER = (int, float)


def is_number(v):
    return type(v) in NUMBER


def wrap(n):
    return (n + 2**63) % 2**64 - 2**63


def float_div(a, b):
    """IEEE division, which Python refuses for a zero divisor. NaNs come from the hardware
    (0 * inf gives its default NaN, a NaN operand propagates), as in the core: the total
    order tells their signs apart."""
    if b == 0.0:
        if math.isnan(a) or a == 0.0:
            return a * math.inf
        return math.copysign(math.inf, a) * math.copysign(1.0, b)
    return a / b


def arith(op, a, b):
    if type(a) is int and type(b) is int:
        if op == "/":
            if b == 0:
                raise Fatal("attempt to divide by zero")
            if a == I64_MIN and b == -1:
                raise Fatal("attempt to divide with overflow")
            quotient = abs(a) // abs(b)
            return quotient if (a < 0) == (b < 0) else -quotient
        return wrap({"+": a + b, "-": a - b, "*": a * b}[op])
    a, b = float(a), float(b)
    if op in "+*" and math.isnan(a) and math.isnan(b):
        return a  # of two NaNs the left one, whichever way the compiler ordered the operands
    return {"+": a + b, "-": a - b, "*": a * b, "/": float_div(a, b)}[op]


def binary(op, a, b):
    if type(a) is str:
        if type(b) is not str:
            raise Fatal("Binary operator for unknown type")
        if op != "+":
            raise Fatal("Unknown binary operation for Value::String")
        return a + b
    if is_number(a) and is_number(b):
        return arith(op, a, b)
    raise Fatal("Binary operator for unknown type")


EQ_KIND = {bool: "Boolean", str: "String", int: "Number", float: "Number", list: "Vector"}


def equals(a, b):
    if a is None:
        return b is None
    if a is FN:
        raise Fatal("Cannot perform PartialEq for Value::Fn")
    kind = EQ_KIND[type(a)]
    if b is None or b is FN or EQ_KIND[type(b)] != kind:
        raise Fatal(f"Expected other item to be Value::{kind}")
    if kind == "Number":
        return type(a) is type(b) and a == b
    if kind == "Vector":
        return len(a) == len(b) and all(equals(x, y) for x, y in zip(a, b))
    return a == b


def order_key(x):
    bits = struct.unpack("<q", struct.pack("<d", float(x)))[0]
    return bits ^ 0x7FFFFFFFFFFFFFFF if bits < 0 else bits


def compare(a, b):
    """-1, 0 or 1 for a against b: exact for two ints, total order otherwise."""
    if not (is_number(a) and is_number(b)):
        raise Fatal("Both left-hand and right-hand side values must be a number")
    if type(a) is int and type(b) is int:
        ka, kb = a, b
    else:
        ka, kb = order_key(a), order_key(b)
    return (ka > kb) - (ka < kb)


def contains_function(v):
    return v is FN or (type(v) is list and any(contains_function(x) for x in v))


ENV = {"i": 7, "s": "ab", "v": [1, 2.5, None], "f": FN}


LOGIC_MESSAGES = {
    "and": "The and expression must be used on boolean values",
    "or": "The or expression must be used on boolean values",
}
CONDITION_MESSAGE = "Expected deduced condition to be a bool, got other type"


def boolean_operand(value, message):
    if type(value) is not bool:
        raise Fatal(message)
    return value


def reference(tree, calls=None):
    """The value of `tree`; `calls` (a list) gets the repr of each argument f is called with."""
    kind = tree[0]
    if kind == "lit":
        return normal_form(tree[1])
    if kind == "var":
        if tree[1] not in ENV:
            raise Fatal(f'Value cannot be found: S("{tree[1]}")')
        return ENV[tree[1]]
    if kind == "vec":
        return [reference(item, calls) for item in tree[1]]
    if kind in LOGIC_MESSAGES:
        # Short-circuit: the right operand is evaluated (and checked) only when it decides.
        left = boolean_operand(reference(tree[1], calls), LOGIC_MESSAGES[kind])
        if left == (kind == "or"):
            return left
        return boolean_operand(reference(tree[2], calls), LOGIC_MESSAGES[kind])
    if kind == "cond":
        chosen = boolean_operand(reference(tree[1], calls), CONDITION_MESSAGE)
        return reference(tree[2] if chosen else tree[3], calls)
    if kind == "not":
        operand = reference(tree[1], calls)
        if type(operand) is not bool:
            raise Fatal("The not expression must be used on a boolean value")
        return not operand
    if kind == "call":
        argument = reference(tree[1], calls)
        if contains_function(argument):
            raise Fatal(UNWRAP_FUNCTION)
        if calls is not None:
            calls.append(repr(argument))
        return argument
    left = reference(tree[1], calls)
    right = reference(tree[2], calls)
    if kind == "bin":
        return binary(tree[3], left, right)
    if kind == "eq":
        return equals(left, right)
    return compare(left, right) == (1 if kind == "gt" else -1)


def build(tree):
    kind = tree[0]
    if kind == "lit":
        return Expr.literal(tree[1])
    if kind == "var":
        return Expr.ident(tree[1])
    if kind == "vec":
        return Expr.vector([build(item) for item in tree[1]])
    if kind == "not":
        return Expr.not_(build(tree[1]))
    if kind == "call":
        return Expr.call("f", build(tree[1]))
    if kind == "cond":
        return Expr.cond(build(tree[1]), build(tree[2]), build(tree[3]))
    left, right = build(tree[1]), build(tree[2])
    if kind == "bin":
        return Expr.binary_op(left, tree[3], right)
    builders = {"eq": Expr.equals, "gt": Expr.greater_than, "lt": Expr.less_than, "and": Expr.and_, "or": Expr.or_}
    return builders[kind](left, right)


small_ints = st.integers(-4, 4) | st.sampled_from([I64_MIN, I64_MAX, -1, 2**62, 2**53 + 1])
special_floats = st.sampled_from([0.0, -0.0, 1.0, -2.5, 0.5, math.nan, NEG_NAN, math.inf, -math.inf, 2.0**53, 2.0**63])
numbers = small_ints | i64 | special_floats | floats
leaf_values = (
    st.none()
    | st.booleans()
    | numbers
    | st.sampled_from(["", "a", "xy"])
    | st.lists(st.none() | st.booleans() | small_ints | st.sampled_from([1.0, math.nan, "a"]), max_size=2)
)
leaves = st.tuples(st.just("lit"), leaf_values) | st.tuples(st.just("var"), st.sampled_from(["i", "s", "v", "f", "nope"]))


def bin_of(pairs, ops="+-*/"):
    return st.builds(lambda p, op: ("bin", *p, op), pairs, st.sampled_from(ops))


def composite(inner):
    pair = st.tuples(inner, inner)
    return (
        bin_of(pair)
        | pair.map(lambda p: ("eq", *p))
        | pair.map(lambda p: ("gt", *p))
        | pair.map(lambda p: ("lt", *p))
        | inner.map(lambda e: ("not", e))
        | pair.map(lambda p: ("and", *p))
        | pair.map(lambda p: ("or", *p))
        | st.tuples(inner, inner, inner).map(lambda t: ("cond", *t))
        | inner.map(lambda e: ("call", e))
        | st.lists(inner, max_size=3).map(lambda items: ("vec", items))
    )


# Well-typed trees reach deep into arithmetic and comparisons; mixed trees reach the errors.
numeric = st.recursive(
    st.tuples(st.just("lit"), numbers)
    | st.sampled_from([("var", "i"), ("lit", I64_MIN), ("lit", -1), ("lit", 0), ("lit", 0.0)]),
    lambda n: bin_of(st.tuples(n, n)) | n.map(lambda e: ("call", e)),
    max_leaves=8,
)
boolean = st.recursive(
    st.tuples(st.just("lit"), st.booleans())
    | st.builds(lambda kind, a, b: (kind, a, b), st.sampled_from(["gt", "lt", "eq"]), numeric, numeric),
    lambda b: (
        b.map(lambda e: ("not", e))
        | st.tuples(b, b).map(lambda p: ("eq", *p))
        | st.builds(lambda kind, a, c: (kind, a, c), st.sampled_from(["and", "or"]), b, b)
        | st.tuples(b, b, b).map(lambda t: ("cond", *t))
        | b.map(lambda e: ("call", e))
    ),
    max_leaves=6,
)
# A rule's shape: a condition choosing between numbers.
chosen_numbers = st.tuples(boolean, numeric, numeric).map(lambda t: ("cond", *t))
text = st.recursive(
    st.tuples(st.just("lit"), st.sampled_from(["", "a", "xy", "\u00e9"])) | st.just(("var", "s")),
    lambda t: bin_of(st.tuples(t, t), "+"),
    max_leaves=4,
)
mixed = st.recursive(leaves | numeric | boolean | text, composite, max_leaves=10)
trees = numeric | boolean | chosen_numbers | text | mixed | mixed


def machine():
    vm = Vrel()
    vm.run(
        [Statement.fn("f", identity)]
        + [Statement.let(name, Expr.literal(value)) for name, value in ENV.items() if value is not FN]
    )
    return vm


@profile("tree")
@given(trees)
def test_expression_trees_agree_with_the_reference(tree):
    calls = []
    try:
        expected, failure = reference(tree, calls), None
    except Fatal as exc:
        expected, failure = None, str(exc)
    # A statement kept and run again runs its compact form from the second run on: every run
    # must agree with the reference, down to the calls made (which short-circuits skip).
    statement = Statement.let("r", build(tree))
    for _ in range(3):
        log = []
        check_against_reference(logging_machine(log), statement, expected, failure)
        assert log == calls


def check_against_reference(vm, statement, expected, failure):
    try:
        vm.run([statement])
    except BaseException as exc:  # noqa: BLE001 - the fatal error is a BaseException
        assert is_panic(exc), repr(exc)
        assert str(exc) == failure
        return
    assert failure is None, f"expected the fatal error {failure!r}"
    if expected is FN:
        try:
            vm.get("r")
        except TypeError as exc:
            assert str(exc) == "Cannot convert a Rust trait to Python"
        else:
            raise AssertionError("a function value was handed to Python")
    elif contains_function(expected):
        try:
            vm.get("r")
        except BaseException as exc:  # noqa: BLE001
            assert is_panic(exc) and str(exc) == UNWRAP_FUNCTION
        else:
            raise AssertionError("a vector holding a function value was handed to Python")
    else:
        assert same_value(vm.get("r"), expected)


def logging_machine(log):
    """machine(), with an f that notes each argument it is called with."""
    def f(x):
        log.append(repr(x))
        return x

    vm = machine()
    vm.run([Statement.fn("f", f)])
    return vm


def outcome(vm, statement, log):
    """What one run shows: the calls made, then the fatal error or the repr of the result."""
    try:
        vm.run([statement])
    except BaseException as exc:  # noqa: BLE001 - the fatal error is a BaseException
        assert is_panic(exc), repr(exc)
        return log, "fatal", str(exc)
    try:
        return log, "ok", repr(vm.get("r"))
    except BaseException as exc:  # noqa: BLE001
        return log, type(exc).__name__, str(exc)


@profile("tree")
@given(trees, st.integers(1, 40))
def test_the_compact_form_counts_steps_where_the_tree_walk_does(tree, steps):
    # Under a step limit the run stops at one precise node: the first run (a walk of the
    # tree) and the later ones (its compact form) must stop at the same one, after the same
    # calls, with the same message.
    statement = Statement.let("r", build(tree))
    seen = []
    for _ in range(3):
        log = []
        vm = logging_machine(log)
        vm.set_limits(steps=steps)
        seen.append(outcome(vm, statement, log))
    assert seen[1] == seen[0] and seen[2] == seen[0]
