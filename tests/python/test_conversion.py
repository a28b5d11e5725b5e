import enum
import math

import pytest

from vrelpy import Expr, Statement, Vrel
from support import (
    UNWRAP_FUNCTION,
    ident_error,
    let,
    lit,
    plain_value_error,
    raises_exact,
    raises_panic,
    same_value,
    value_error_lines,
)

I64_MIN, I64_MAX = -(2**63), 2**63 - 1


def roundtrip(value):
    vm = Vrel()
    vm.run([let("x", lit(value))])
    return vm.get("x")


def literal_error(value):
    exc = raises_exact(TypeError, lambda: Expr.literal(value))
    assert exc.__cause__ is None
    assert str(exc).startswith("argument 'value': ")
    return str(exc)[len("argument 'value': "):]


class Color(enum.IntEnum):
    RED = 7


class Text(str):
    pass


class FloatOnly:
    def __float__(self):
        return 2.5


class IndexOnly:
    def __index__(self):
        return 11


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
        raise ValueError("midway")


@pytest.mark.parametrize(
    "value, expected",
    [
        (None, None),
        (True, True),
        (False, False),
        (1, 1),
        (I64_MAX, I64_MAX),
        (I64_MIN, I64_MIN),
        (2**63, 9223372036854775808.0),
        (I64_MIN - 1, float(I64_MIN - 1)),
        (1.0, 1.0),
        (-0.0, -0.0),
        (math.nan, math.nan),
        ("héllo ✓ 日本 🎉 a\x00b\n", "héllo ✓ 日本 🎉 a\x00b\n"),
        ([], []),
        ([1, [2, []], "a", None, True, 1.5], [1, [2, []], "a", None, True, 1.5]),
        ((1, "a", (None,)), [1, "a", [None]]),
        (b"ab", [97, 98]),
        (bytearray(b"\x00\xff"), [0, 255]),
        (range(3), [0, 1, 2]),
        (Color.RED, 7),
        (Text("sub"), "sub"),
        (FloatOnly(), 2.5),
        (IndexOnly(), 11),
        (RaisingLenSequence(), [0, 10, 20]),
    ],
)
def test_round_trip(value, expected):
    assert same_value(roundtrip(value), expected)


class Real(float):
    pass


class ChangesItsList:
    """Converting it (through __float__) runs `change`, which edits the list holding it."""

    def __init__(self, change):
        self.change = change

    def __float__(self):
        self.change()
        return 0.5


class PlainSequence:
    """A sequence that is not a list or tuple: converted through its iterator."""

    def __init__(self, items):
        self.items = items

    def __len__(self):
        return len(self.items)

    def __getitem__(self, index):
        return self.items[index]


NUMBER_EDGES = [0, 2**30 - 1, 2**30, -(2**30 - 1), -(2**30), 2**31, I64_MAX, I64_MIN, 2**63, I64_MIN - 1,
                True, Color.RED, 1.5, -0.0, math.inf, math.nan, Real(2.25)]


@pytest.mark.parametrize("container", [list, tuple, PlainSequence], ids=["list", "tuple", "sequence"])
@pytest.mark.parametrize("value", NUMBER_EDGES, ids=[repr(v) for v in NUMBER_EDGES])
def test_numbers_inside_sequences_convert_as_alone(container, value):
    items = [value] * 70 + [7]  # enough to fill more than one block of cells
    assert same_value(roundtrip(container(items)), [roundtrip(value)] * 70 + [7])


def test_items_added_or_removed_while_a_list_converts_are_seen():
    grown = list(range(50))
    grown.append(ChangesItsList(lambda: grown.extend(range(1000, 1300))))
    assert same_value(roundtrip(grown), list(range(50)) + [0.5] + list(range(1000, 1300)))

    shrunk = list(range(3000))
    shrunk.append(ChangesItsList(lambda: shrunk.__delitem__(slice(100, None))))
    shrunk.extend(range(5000))
    assert same_value(roundtrip(shrunk), list(range(3000)) + [0.5])


def test_get_builds_a_new_list_every_time_and_literal_copies():
    source = [1, [2]]
    vm = Vrel()
    vm.run([let("v", lit(source))])
    source.append(3)
    first = vm.get("v")
    first[1].append(4)
    assert vm.get("v") == [1, [2]]
    assert vm.get("v") is not vm.get("v")


def test_moderately_nested_literal_round_trips():
    deep = []
    for _ in range(200):
        deep = [deep]
    out, depth = roundtrip(deep), 0
    while out:
        assert len(out) == 1
        out, depth = out[0], depth + 1
    assert depth == 200


SURROGATE = "UnicodeEncodeError: 'utf-8' codec can't encode character '\\ud800' in position 0: surrogates not allowed"


@pytest.mark.parametrize(
    "value, expected",
    [
        ({}, plain_value_error("dict")),
        ({1}, plain_value_error("set")),
        (frozenset(), plain_value_error("frozenset")),
        (lambda: 0, plain_value_error("function")),
        (
            2**1100,
            value_error_lines(
                "int",
                "OverflowError: Python int too large to convert to C long",
                "OverflowError: int too large to convert to float",
                "TypeError: 'int' object cannot be converted to 'Sequence'",
            ),
        ),
        (
            "\ud800",
            value_error_lines(
                "str",
                "TypeError: 'str' object cannot be interpreted as an integer",
                "TypeError: must be real number, not str",
                "TypeError: Can't extract `str` to `Vec`",
                string_text=SURROGATE,
            ),
        ),
        (
            [1, {}],
            value_error_lines(
                "list",
                "TypeError: 'list' object cannot be interpreted as an integer",
                "TypeError: must be real number, not list",
                "TypeError: " + plain_value_error("dict"),
            ),
        ),
        (
            RaisingFloat(),
            value_error_lines(
                "RaisingFloat",
                "TypeError: 'RaisingFloat' object cannot be interpreted as an integer",
                "ValueError: float failed",
                "TypeError: 'RaisingFloat' object cannot be converted to 'Sequence'",
            ),
        ),
        (
            RaisingIndex(),
            value_error_lines(
                "RaisingIndex",
                "RuntimeError: index failed",
                "RuntimeError: index failed",
                "TypeError: 'RaisingIndex' object cannot be converted to 'Sequence'",
            ),
        ),
    ]
    + [
        (
            seq,
            value_error_lines(
                type(seq).__qualname__,
                f"TypeError: '{type(seq).__qualname__}' object cannot be interpreted as an integer",
                f"TypeError: must be real number, not {type(seq).__qualname__}",
                cause,
            ),
        )
        for seq, cause in [(RaisingIterSequence(), "RuntimeError: iter failed"), (FailingMidwaySequence(), "ValueError: midway")]
    ],
    ids=["dict", "set", "frozenset", "function", "huge-int", "surrogate", "list-with-dict", "raising-float",
         "raising-index", "raising-iter", "failing-midway"],
)
def test_unconvertible_values(value, expected):
    assert literal_error(value) == expected


def test_message_shapes():
    dict_lines = literal_error({"a": 1}).splitlines()
    assert len(dict_lines) == 7
    assert dict_lines[-1] == (
        "- variant Vector (Vector): TypeError: failed to extract field PyValue::Vector.0, "
        "caused by TypeError: 'dict' object cannot be converted to 'Sequence'"
    )
    nested = literal_error([[set()]])
    assert nested.count("failed to extract enum PyValue") == 3
    assert nested.endswith("caused by TypeError: 'set' object cannot be converted to 'Sequence'")
    assert literal_error([1, FailingMidwaySequence()]).endswith("caused by ValueError: midway")


def test_numpy_values():
    np = pytest.importorskip("numpy")
    assert roundtrip(np.bool_(True)) is True and roundtrip(np.False_) is False
    assert same_value(roundtrip(np.int64(-5)), -5)
    assert same_value(roundtrip(np.float32(0.5)), 0.5)
    assert same_value(roundtrip(np.arange(6).reshape(2, 3)), [[0, 1, 2], [3, 4, 5]])
    assert same_value(roundtrip(np.array([True, False])), [True, False])
    vm = Vrel()
    vm.run([Statement.if_(lit(np.bool_(True)), [let("x", lit("then"))], []), let(np.uint64(2**64 - 1), lit(1))])
    assert vm.get("x") == "then" and vm.get(2**64 - 1) == 1


# ---------------------------------------------------------------- identifiers

@pytest.mark.parametrize(
    "name, shown",
    [(True, "U(1)"), (False, "U(0)"), (Color.RED, "U(7)"), (IndexOnly(), "U(11)"), ("5", 'S("5")'), (Text("t"), 'S("t")')],
)
def test_identifier_forms(name, shown):
    vm = Vrel()
    vm.run([let(name, lit(1))])
    assert repr(vm) == "Machine { vars: {" + shown + ": Number(Int(1))} }"
    assert vm.get(name) == 1


def test_true_names_numeric_one_and_int_and_str_names_differ():
    vm = Vrel()
    vm.run([let(True, lit("yes")), let("5", lit("str"))])
    assert vm.get(1) == "yes"
    assert vm.get("5") == "str"
    with raises_panic('Value cannot be found: S("1")'):
        vm.get("1")
    with raises_panic("Value cannot be found: U(5)"):
        vm.get(5)


PYSTRING = "TypeError: '{}' object cannot be converted to 'PyString'"


@pytest.mark.parametrize(
    "name, u_text, s_text",
    [
        (2**64, "OverflowError: int too big to convert", PYSTRING.format("int")),
        (-1, "OverflowError: can't convert negative int to unsigned", PYSTRING.format("int")),
        (1.5, "TypeError: 'float' object cannot be interpreted as an integer", PYSTRING.format("float")),
        (None, "TypeError: 'NoneType' object cannot be interpreted as an integer", PYSTRING.format("NoneType")),
        (RaisingIndex(), "RuntimeError: index failed", PYSTRING.format("RaisingIndex")),
        ("\ud800", "TypeError: 'str' object cannot be interpreted as an integer", SURROGATE),
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
    exc = raises_exact(TypeError, lambda: call(name))
    assert str(exc) == f"argument '{param}': " + ident_error(u_text, s_text)
    assert exc.__cause__ is None


# ---------------------------------------------------------- values with functions

@pytest.mark.parametrize(
    "shape",
    [lambda f: Expr.vector([lit(1), f]), lambda f: Expr.vector([lit([]), Expr.vector([lit(2), Expr.vector([f])])])],
)
def test_get_of_function_values(shape):
    vm = Vrel()
    vm.run([Statement.fn("f", lambda x: x), let("v", shape(Expr.ident("f")))])
    assert str(raises_exact(TypeError, lambda: vm.get("f"))) == "Cannot convert a Rust trait to Python"
    with raises_panic(UNWRAP_FUNCTION):
        vm.get("v")
    vm.run([let("n", lit(1))])
    assert vm.get("n") == 1
    with raises_panic(UNWRAP_FUNCTION):
        vm.get("v")


@pytest.mark.parametrize("length", [0, 1, 7, 8, 9, 15, 16, 17, 33])
def test_text_of_every_length_comes_back_with_any_non_ascii_character_anywhere(length):
    ascii_text = "".join(chr(0x21 + (i * 7) % 94) for i in range(length)) + "\x7f"[: length % 2]
    assert roundtrip(ascii_text) == ascii_text
    for position in range(len(ascii_text) + 1):
        for odd in ("é", "\x80", "日", "🎉"):
            text = ascii_text[:position] + odd + ascii_text[position:]
            back = roundtrip(text)
            assert back == text and type(back) is str
