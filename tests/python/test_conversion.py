import enum
import math
import struct

import pytest
from hypothesis import given, settings, strategies as st

from vrelpy import Expr, Statement, Vrel
from support import (
    assert_clean_exit,
    ident_error,
    let,
    lit,
    plain_value_error,
    raises_panic,
    run_python,
    value_error_lines,
)

I64_MIN = -(2**63)
I64_MAX = 2**63 - 1


def roundtrip(value):
    vm = Vrel()
    vm.run([Statement.let("x", Expr.literal(value))])
    return vm.get("x")


def literal_error(value):
    with pytest.raises(TypeError) as info:
        Expr.literal(value)
    exc = info.value
    assert type(exc) is TypeError
    assert exc.__cause__ is None
    prefix = "argument 'value': "
    assert str(exc).startswith(prefix)
    return str(exc)[len(prefix):]


def same_value(a, b):
    """Equality that also tells bool from int, int from float, NaN and -0.0."""
    if type(a) is not type(b):
        return False
    if isinstance(a, list):
        return len(a) == len(b) and all(same_value(x, y) for x, y in zip(a, b))
    if isinstance(a, float):
        return struct.pack("<d", a) == struct.pack("<d", b) or (math.isnan(a) and math.isnan(b))
    return a == b


class Color(enum.IntEnum):
    RED = 7


class Text(str):
    pass


class FloatOnly:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class IndexOnly:
    def __index__(self):
        return 11


@pytest.mark.parametrize(
    "value, expected",
    [
        (None, None),
        (True, True),
        (False, False),
        (0, 0),
        (1, 1),
        (-1, -1),
        (I64_MAX, I64_MAX),
        (I64_MIN, I64_MIN),
        (2**63, 9223372036854775808.0),
        (I64_MIN - 1, float(I64_MIN - 1)),
        (2**64, float(2**64)),
        (1.0, 1.0),
        (-1.0, -1.0),
        (-0.0, -0.0),
        (math.inf, math.inf),
        (-math.inf, -math.inf),
        (5e-324, 5e-324),
        ("", ""),
        ("héllo wörld ✓ 日本 🎉", "héllo wörld ✓ 日本 🎉"),
        ("a\x00b\n\t\"'\\", "a\x00b\n\t\"'\\"),
        ([], []),
        ([1, [2, [3, []]], "a", None, True, 1.5], [1, [2, [3, []]], "a", None, True, 1.5]),
        ((1, "a", (None,)), [1, "a", [None]]),
        ((), []),
        (b"ab", [97, 98]),
        (bytearray(b"\x00\xff"), [0, 255]),
        (range(3), [0, 1, 2]),
        (range(0), []),
        (Color.RED, 7),
        (Text("sub"), "sub"),
        (FloatOnly(2.5), 2.5),
        (FloatOnly(-1.0), -1.0),
        (IndexOnly(), 11),
        ([FloatOnly(0.5), IndexOnly()], [0.5, 11]),
    ],
)
def test_round_trip(value, expected):
    assert same_value(roundtrip(value), expected)


def test_nan_round_trip():
    out = roundtrip(math.nan)
    assert type(out) is float and math.isnan(out)


def test_bool_stays_bool_and_int_stays_int():
    assert roundtrip(True) is True
    assert roundtrip(False) is False
    assert type(roundtrip(1)) is int
    assert type(roundtrip(Color.RED)) is int
    assert type(roundtrip(Text("s"))) is str


def test_get_builds_a_new_list_every_time():
    vm = Vrel()
    vm.run([let("v", lit([1, [2]]))])
    first = vm.get("v")
    first.append(3)
    first[1].append(4)
    second = vm.get("v")
    assert second == [1, [2]]
    assert second is not vm.get("v")


def test_literal_keeps_no_link_to_the_python_list():
    source = [1, 2]
    expr = lit(source)
    source.append(3)
    vm = Vrel()
    vm.run([let("v", expr)])
    assert vm.get("v") == [1, 2]
    assert source == [1, 2, 3]


def test_huge_int_message():
    assert literal_error(2**1100) == value_error_lines(
        "int",
        "OverflowError: Python int too large to convert to C long",
        "OverflowError: int too large to convert to float",
        "TypeError: 'int' object cannot be converted to 'Sequence'",
    )


def test_lone_surrogate_message():
    encode_text = "'utf-8' codec can't encode character '\\ud800' in position 0: surrogates not allowed"
    assert literal_error("\ud800") == value_error_lines(
        "str",
        "TypeError: 'str' object cannot be interpreted as an integer",
        "TypeError: must be real number, not str",
        "TypeError: Can't extract `str` to `Vec`",
        string_text="UnicodeEncodeError: " + encode_text,
    )


@pytest.mark.parametrize(
    "value, type_name",
    [({}, "dict"), ({1: 2}, "dict"), ({1}, "set"), (frozenset(), "frozenset"), (object(), "object")],
)
def test_unconvertible_values(value, type_name):
    assert literal_error(value) == plain_value_error(type_name)


def test_dict_message_last_line():
    message = literal_error({"a": 1})
    assert message.splitlines()[-1] == (
        "- variant Vector (Vector): TypeError: failed to extract field PyValue::Vector.0, "
        "caused by TypeError: 'dict' object cannot be converted to 'Sequence'"
    )
    assert len(message.splitlines()) == 7


def test_function_is_not_a_value():
    assert literal_error(lambda: 0) == plain_value_error("function")


def test_nested_list_with_dict():
    message = literal_error([1, {}])
    expected = value_error_lines(
        "list",
        "TypeError: 'list' object cannot be interpreted as an integer",
        "TypeError: must be real number, not list",
        "TypeError: " + plain_value_error("dict"),
    )
    assert message == expected
    assert message.count("\n") == 12


def test_deeper_nesting_nests_the_messages():
    message = literal_error([[set()]])
    assert message.count("failed to extract enum PyValue") == 3
    assert message.endswith("caused by TypeError: 'set' object cannot be converted to 'Sequence'")


class RaisingFloat:
    def __float__(self):
        raise ValueError("float failed")


class RaisingIndex:
    def __index__(self):
        raise RuntimeError("index failed")


class RaisingLenSequence:
    def __len__(self):
        raise RuntimeError("len failed")

    def __getitem__(self, index):
        if index < 3:
            return index * 10
        raise IndexError(index)


class RaisingIterSequence:
    def __len__(self):
        return 2

    def __getitem__(self, index):
        return 1

    def __iter__(self):
        raise RuntimeError("iter failed")


class FailingMidwaySequence(RaisingIterSequence):
    def __iter__(self):
        yield 1
        yield 2
        raise ValueError("midway")


def test_raising_float():
    assert literal_error(RaisingFloat()) == value_error_lines(
        "RaisingFloat",
        "TypeError: 'RaisingFloat' object cannot be interpreted as an integer",
        "ValueError: float failed",
        "TypeError: 'RaisingFloat' object cannot be converted to 'Sequence'",
    )


def test_raising_index():
    assert literal_error(RaisingIndex()) == value_error_lines(
        "RaisingIndex",
        "RuntimeError: index failed",
        "RuntimeError: index failed",
        "TypeError: 'RaisingIndex' object cannot be converted to 'Sequence'",
    )


def test_length_failure_is_ignored():
    assert roundtrip(RaisingLenSequence()) == [0, 10, 20]


@pytest.mark.parametrize(
    "value, cause",
    [(RaisingIterSequence(), "RuntimeError: iter failed"), (FailingMidwaySequence(), "ValueError: midway")],
)
def test_iteration_failures(value, cause):
    name = type(value).__qualname__
    assert literal_error(value) == value_error_lines(
        name,
        f"TypeError: '{name}' object cannot be interpreted as an integer",
        f"TypeError: must be real number, not {name}",
        cause,
    )


def test_iteration_failure_inside_a_list():
    message = literal_error([1, FailingMidwaySequence()])
    assert message.endswith("caused by ValueError: midway")


def test_numpy_values():
    np = pytest.importorskip("numpy")
    assert roundtrip(np.bool_(True)) is True
    assert roundtrip(np.bool_(False)) is False
    assert roundtrip(np.True_) is True
    assert same_value(roundtrip(np.int64(-5)), -5)
    assert same_value(roundtrip(np.float64(2.5)), 2.5)
    assert same_value(roundtrip(np.float32(0.5)), 0.5)
    assert same_value(roundtrip(np.array([1, 2, 3])), [1, 2, 3])
    assert same_value(roundtrip(np.array([True, False])), [True, False])
    assert same_value(roundtrip(np.arange(6).reshape(2, 3)), [[0, 1, 2], [3, 4, 5]])


def test_numpy_bool_in_condition():
    np = pytest.importorskip("numpy")
    vm = Vrel()
    vm.run([Statement.if_(lit(np.bool_(True)), [let("x", lit("then"))], [let("x", lit("else"))])])
    assert vm.get("x") == "then"


# ---------------------------------------------------------------- identifiers

@pytest.mark.parametrize(
    "name, shown",
    [
        (0, "U(0)"),
        (True, "U(1)"),
        (False, "U(0)"),
        (7, "U(7)"),
        (2**64 - 1, "U(18446744073709551615)"),
        (Color.RED, "U(7)"),
        (IndexOnly(), "U(11)"),
        ("x", 'S("x")'),
        ("", 'S("")'),
        ("5", 'S("5")'),
        (Text("t"), 'S("t")'),
    ],
)
def test_identifier_forms(name, shown):
    vm = Vrel()
    vm.run([let(name, lit(1))])
    assert repr(vm) == "Machine { vars: {" + shown + ": Number(Int(1))} }"
    assert vm.get(name) == 1


def test_true_names_numeric_one():
    vm = Vrel()
    vm.run([let(True, lit("yes"))])
    assert vm.get(1) == "yes"
    assert vm.get(True) == "yes"
    with raises_panic('Value cannot be found: S("1")'):
        vm.get("1")


def test_int_and_str_names_differ():
    vm = Vrel()
    vm.run([let(5, lit("int")), let("5", lit("str"))])
    assert vm.get(5) == "int"
    assert vm.get("5") == "str"


def test_numpy_identifier():
    np = pytest.importorskip("numpy")
    vm = Vrel()
    vm.run([let(np.uint64(2**64 - 1), lit(1))])
    assert repr(vm) == "Machine { vars: {U(18446744073709551615): Number(Int(1))} }"


@pytest.mark.parametrize(
    "name, u_text, s_text",
    [
        (2**64, "OverflowError: int too big to convert", "TypeError: 'int' object cannot be converted to 'PyString'"),
        (-1, "OverflowError: can't convert negative int to unsigned", "TypeError: 'int' object cannot be converted to 'PyString'"),
        (1.5, "TypeError: 'float' object cannot be interpreted as an integer", "TypeError: 'float' object cannot be converted to 'PyString'"),
        (None, "TypeError: 'NoneType' object cannot be interpreted as an integer", "TypeError: 'NoneType' object cannot be converted to 'PyString'"),
        ([1], "TypeError: 'list' object cannot be interpreted as an integer", "TypeError: 'list' object cannot be converted to 'PyString'"),
        (RaisingIndex(), "RuntimeError: index failed", "TypeError: 'RaisingIndex' object cannot be converted to 'PyString'"),
        (
            "\ud800",
            "TypeError: 'str' object cannot be interpreted as an integer",
            "UnicodeEncodeError: 'utf-8' codec can't encode character '\\ud800' in position 0: surrogates not allowed",
        ),
    ],
)
@pytest.mark.parametrize(
    "call, param",
    [
        (lambda n: Vrel().get(n), "ident"),
        (lambda n: Expr.ident(n), "id"),
        (lambda n: Expr.call(n, lit(1)), "ident"),
        (lambda n: Statement.let(n, lit(1)), "ident"),
        (lambda n: Statement.fn(n, lambda x: x), "ident"),
    ],
)
def test_identifier_failures(call, param, name, u_text, s_text):
    with pytest.raises(TypeError) as info:
        call(name)
    exc = info.value
    assert type(exc) is TypeError
    assert str(exc) == f"argument '{param}': " + ident_error(u_text, s_text)
    assert exc.__cause__ is None


# ---------------------------------------------------------- values with functions

def identity(x):
    return x


def test_get_of_function_value():
    vm = Vrel()
    vm.run([Statement.fn("f", identity)])
    with pytest.raises(TypeError) as info:
        vm.get("f")
    assert type(info.value) is TypeError
    assert str(info.value) == "Cannot convert a Rust trait to Python"


UNWRAP_FUNCTION = (
    "called `Result::unwrap()` on an `Err` value: PyErr { type: <class 'TypeError'>, "
    "value: TypeError('Cannot convert a Rust trait to Python'), traceback: None }"
)


@pytest.mark.parametrize(
    "shape",
    [
        lambda f: Expr.vector([f]),
        lambda f: Expr.vector([lit(1), f]),
        lambda f: Expr.vector([lit([]), Expr.vector([lit(2), Expr.vector([f])])]),
    ],
)
def test_get_of_vector_holding_function(shape):
    vm = Vrel()
    vm.run([Statement.fn("f", identity), let("v", shape(Expr.ident("f")))])
    with raises_panic(UNWRAP_FUNCTION):
        vm.get("v")
    # the machine is still usable and the value still there
    vm.run([let("n", lit(1))])
    assert vm.get("n") == 1
    with raises_panic(UNWRAP_FUNCTION):
        vm.get("v")


# ------------------------------------------------------------------ properties

scalars = (
    st.none()
    | st.booleans()
    | st.integers(min_value=I64_MIN, max_value=I64_MAX)
    | st.floats(allow_nan=True, allow_infinity=True)
    | st.text(alphabet=st.characters(exclude_categories=("Cs",)))
)
values = st.recursive(scalars, lambda inner: st.lists(inner, max_size=5) | st.tuples(inner, inner), max_leaves=30)


def as_list(value):
    if isinstance(value, (list, tuple)):
        return [as_list(v) for v in value]
    return value


@settings(max_examples=150, deadline=None)
@given(values)
def test_round_trip_property(value):
    assert same_value(roundtrip(value), as_list(value))


@settings(max_examples=100, deadline=None)
@given(st.integers(min_value=I64_MAX + 1, max_value=2**1000) | st.integers(min_value=-(2**1000), max_value=I64_MIN - 1))
def test_out_of_range_ints_become_floats(n):
    assert same_value(roundtrip(n), float(n))


@settings(max_examples=100, deadline=None)
@given(st.text(alphabet=st.characters(exclude_categories=("Cs",))))
def test_text_identifiers_are_distinct_variables(name):
    vm = Vrel()
    vm.run([let(name, lit(name)), let(len(name), lit(len(name)))])
    assert vm.get(name) == name
    assert vm.get(len(name)) == len(name)


# ------------------------------------------------------------- deep structures

def test_deeply_nested_literal_does_not_crash():
    proc = run_python(
        """
        import vrelpy
        deep = []
        for _ in range(100000):
            deep = [deep]
        try:
            expr = vrelpy.Expr.literal(deep)
        except BaseException as exc:
            print("raised", type(exc).__name__)
        else:
            print("built")
        """
    )
    assert_clean_exit(proc)
    assert proc.stdout.startswith(("raised", "built"))


def test_moderately_nested_literal_round_trips():
    deep = []
    for _ in range(200):
        deep = [deep]
    out = roundtrip(deep)
    depth = 0
    while out:
        assert len(out) == 1
        out = out[0]
        depth += 1
    assert depth == 200 and out == []
