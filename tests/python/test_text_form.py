"""The text form of programs: parse, unparse, Expr.from_text, to_text and ParseError."""

import math
import os
import pickle
import struct

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from support import assert_clean_exit, run_python
from test_program_data import data_programs, double
from vrelpy import Expr, ParseError, Statement, Vrel, parse, unparse

EXAMPLES = 1000 if os.environ.get("VRELPY_HYPOTHESIS_PROFILE") == "ci" else 200
FUNCTIONS = {"double": double}
CAP = 1_000_000

# ---------------------------------------------------------------- generated programs

# Names that are plain names, keywords, empty, numeric, or any text at all.
idents = (
    st.sampled_from(["a", "x_1", "", "é", "if", "and", "nan", "vector", "1", "a b", '"', "$", "#"])
    | st.integers(0, 3)
    | st.just(2**64 - 1)
    | st.text(st.characters(exclude_categories=("Cs",)), max_size=5)
)
floats = st.floats() | st.sampled_from([-0.0, math.inf, -math.inf, 1e16, 1e-5, 5e-324, 0.1])
scalars = (
    st.none()
    | st.booleans()
    | st.integers(-(2**63), 2**63 - 1)
    | floats
    | st.text(st.characters(exclude_categories=("Cs",)), max_size=6)
)
values = st.recursive(scalars, lambda inner: st.lists(inner, max_size=3), max_leaves=8)
exprs, statements = data_programs(values, idents, 12, 8)


def same_bits(a, b):
    """Equality of data forms that tells bool from int, int from float, and floats by their
    bits (the sign of zero and of a NaN, and a NaN's payload)."""
    if type(a) is not type(b):
        return False
    if isinstance(a, dict):
        return a.keys() == b.keys() and all(same_bits(a[k], b[k]) for k in a)
    if isinstance(a, list):
        return len(a) == len(b) and all(map(same_bits, a, b))
    if isinstance(a, float):
        return struct.pack("<d", a) == struct.pack("<d", b)
    return a == b


settings_ = settings(max_examples=EXAMPLES, deadline=None, suppress_health_check=[HealthCheck.too_slow])


@settings_
@given(st.lists(statements, max_size=4))
def test_programs_round_trip_exactly(program_data):
    program = [Statement.from_data(d, functions=FUNCTIONS) for d in program_data]
    text = unparse(program)
    again = parse(text, functions=FUNCTIONS)
    assert len(again) == len(program)
    for a, b in zip(again, program):
        assert same_bits(a.to_data(), b.to_data()), text
    # One statement's text is its line(s) in the program's text.
    assert text == "".join(s.to_text() + "\n" for s in program)
    assert unparse(again) == text


@settings_
@given(exprs)
def test_expressions_round_trip_exactly_shared_or_not(data):
    e = Expr.from_data(data)
    for tree in (e, Expr.vector([e, e]), Expr.cond(e, e, Expr.not_(e))):
        assert same_bits(Expr.from_text(tree.to_text()).to_data(), tree.to_data())


@pytest.mark.parametrize(
    "text, data",
    [
        # Literal vectors against vector expressions, and nesting.
        ("[1, [2, 'a'], null]", {"literal": [1, [2, "a"], None]}),
        ("[]", {"literal": []}),
        ("vector[]", {"vector": []}),
        ("vector[1, [2]]", {"vector": [{"literal": 1}, {"literal": [2]}]}),
        ("[x, [2]]", {"vector": [{"ident": "x"}, {"literal": [2]}]}),
        ("[1,\n 2,]", {"literal": [1, 2]}),
        # Numbers: negative literals, the extremes, separators.
        ("-9223372036854775808", {"literal": -(2**63)}),
        ("9_223_372_036_854_775_807", {"literal": 2**63 - 1}),
        ("a - -1", {"binary_op": [{"ident": "a"}, "-", {"literal": -1}]}),
        ("2.5e-3", {"literal": 0.0025}),
        # Names: quoted, numeric, keywords as quoted names.
        ('$"first name"', {"ident": "first name"}),
        ("$18446744073709551615", {"ident": 2**64 - 1}),
        ('$"if"($7)', {"call": ["if", {"ident": 7}]}),
        # Texts and escapes.
        (r'"\u{1f600}\u00e9\t\0\\\"' + "'\"", {"literal": "\U0001f600é\t\0\\\"'"}),
        (r"'it\'s'", {"literal": "it's"}),
        # Operators: precedence, associativity, the comparison sugar.
        ("1 + 2 * 3 - 4", {"binary_op": [{"binary_op": [{"literal": 1}, "+", {"binary_op": [{"literal": 2}, "*", {"literal": 3}]}]}, "-", {"literal": 4}]}),
        ("a >= b", {"not": {"less_than": [{"ident": "a"}, {"ident": "b"}]}}),
        ("a <= b", {"not": {"greater_than": [{"ident": "a"}, {"ident": "b"}]}}),
        ("a != b", {"not": {"equals": [{"ident": "a"}, {"ident": "b"}]}}),
        ("not a == b", {"not": {"equals": [{"ident": "a"}, {"ident": "b"}]}}),
        ("not a and b or c", {"or": [{"and": [{"not": {"ident": "a"}}, {"ident": "b"}]}, {"ident": "c"}]}),
        ("a if b else c if d else e", {"cond": [{"ident": "b"}, {"ident": "a"}, {"cond": [{"ident": "d"}, {"ident": "c"}, {"ident": "e"}]}]}),
        ("# comment\n(a)  # another\n", {"ident": "a"}),
    ],
)
def test_expression_texts(text, data):
    assert same_bits(Expr.from_text(text).to_data(), data)


@pytest.mark.parametrize(
    "data, text",
    [
        ({"not": {"less_than": [{"ident": "a"}, {"ident": "b"}]}}, "a >= b"),
        ({"equals": [{"not": {"equals": [{"ident": "a"}, {"ident": "b"}]}}, {"ident": "c"}]}, "(a != b) == c"),
        ({"less_than": [{"less_than": [{"ident": "a"}, {"ident": "b"}]}, {"ident": "c"}]}, "(a < b) < c"),
        ({"binary_op": [{"ident": "a"}, "-", {"binary_op": [{"ident": "b"}, "-", {"ident": "c"}]}]}, "a - (b - c)"),
        ({"not": {"and": [{"ident": "a"}, {"ident": "b"}]}}, "not (a and b)"),
        ({"cond": [{"ident": "c"}, {"cond": [{"ident": "d"}, {"ident": "a"}, {"ident": "b"}]}, {"ident": "e"}]}, "(a if d else b) if c else e"),
        ({"vector": [{"literal": 1}]}, "vector[1]"),
        ({"literal": [1.0, -0.0, 1e16, 1e-05, math.inf]}, "[1.0, -0.0, 1e+16, 1e-05, inf]"),
        ({"literal": [struct.unpack("<d", struct.pack("<Q", 0x7FF0000000000001))[0]]}, "[nan(0x7ff0000000000001)]"),
        ({"literal": "a\nb\x07\"é"}, '"a\\nb\\u{7}\\"é"'),
        ({"ident": "a b"}, '$"a b"'),
        ({"call": [3, {"literal": None}]}, "$3(null)"),
    ],
)
def test_written_texts(data, text):
    assert Expr.from_data(data).to_text() == text


def test_statements_are_written_one_per_line_with_indented_blocks():
    program = parse(
        'fn double = "double"\nif a > 1 { x = 1; y = 2 } else if a { } else {\n if b { z = 3 }\n v = 1 }\nw = [1]',
        functions=FUNCTIONS,
    )
    assert unparse(program) == (
        'fn double = "double"\n'
        "if a > 1 {\n    x = 1\n    y = 2\n} else if a {} else {\n    if b {\n        z = 3\n    }\n    v = 1\n}\n"
        "w = [1]\n"
    )
    # else may stand on its own line.
    assert unparse(parse("if a {}\nelse { x = 1 }")) == "if a {} else {\n    x = 1\n}\n"


@pytest.mark.parametrize(
    "text, message, lineno, colno",
    [
        ("x = ", "expected an expression", 1, 5),
        ("x = 1\ny = (1 +\n 2", "'(' was never closed", 2, 5),
        ("x = 1 < 2 < 3", "comparisons do not chain: write 'a < b and b < c', or add parentheses", 1, 11),
        ("if x {\n  y = 1\n", "'{' was never closed", 1, 6),
        ("x = -y", "a minus sign before an operand must be followed by a number: write 0 - x to subtract", 1, 5),
        ("x = f(1, 2)", "a call takes exactly one argument: pass several as a vector, f([a, b])", 1, 8),
        ("x = 9223372036854775808", None, 1, 5),
        ("x = 1 y = 2", "expected the end of the statement (a new line or ';')", 1, 7),
        ("\tx = 'é", None, 1, 6),
        ("x = a if b", "expected 'else' in the conditional expression 'a if condition else b'", 1, 11),
        ('x = "\\ud800"', "a surrogate code point cannot stand in a text (it has no UTF-8 form)", 1, 6),
        ("x = 1\u00e9", None, 1, 6),
        ("größe = 1", None, 1, 3),
        ("x = 07", None, 1, 5),
        ('fn f = "g"', "the function 'g' is not in functions (none given)", 1, 8),
        ("if = 1", "expected an expression", 1, 4),
    ],
)
def test_parse_errors_point_at_the_place(text, message, lineno, colno):
    with pytest.raises(ParseError) as info:
        parse(text)
    error = info.value
    assert isinstance(error, ValueError)
    assert (error.lineno, error.colno) == (lineno, colno)
    line = text.split("\n")[lineno - 1]
    assert error.line == line and error.pos == sum(len(l) + 1 for l in text.split("\n")[: lineno - 1]) + colno - 1
    if message is not None:
        assert error.msg == message
    # The message shows the line and a caret under the column (tabs kept, so it lines up).
    padding = "".join("\t" if c == "\t" else " " for c in line[: colno - 1])
    assert str(error) == f"{error.msg}: line {lineno} column {colno}\n{line}\n{padding}^"
    again = pickle.loads(pickle.dumps(error))
    assert (type(again), str(again), again.lineno, again.colno, again.line) == (ParseError, str(error), lineno, colno, line)


def test_lone_surrogates_and_long_lines_are_reported():
    with pytest.raises(ParseError) as info:
        parse("x = 1\ny = 'a\udc80'")
    assert (info.value.lineno, info.value.colno) == (2, 7)
    with pytest.raises(ParseError) as info:
        parse("\ud800\udc80 = 1")  # two, not a pair: the first is reported
    assert (info.value.lineno, info.value.colno, info.value.line) == (1, 1, "")
    with pytest.raises(ParseError) as info:
        parse("x = " + "1 + " * 1000 + ")")
    shown = str(info.value).split("\n")
    assert shown[1].startswith("...") and len(shown[1]) < 200 and shown[2].endswith("^")
    assert shown[2].index("^") == shown[1].index(")")


def test_functions_come_only_from_the_mapping():
    (stmt,) = parse('fn d = "double"', functions=FUNCTIONS)
    vm = Vrel()
    vm.run([stmt, *parse("y = d(21)")])
    assert vm["y"] == 42
    with pytest.raises(ParseError, match="the function 'os.system' is not in functions"):
        parse('fn d = "os.system"', functions=FUNCTIONS)
    with pytest.raises(TypeError, match="must be a plain Python function"):
        parse('fn d = "len"', functions={"len": len})
    with pytest.raises(TypeError, match="functions must be a mapping"):
        parse("", functions=[double])


def test_size_cap_and_deep_nesting_are_parse_errors():
    with pytest.raises(ParseError, match="program text too large: more than 1000000 nodes"):
        parse("x = [" + "1," * CAP + "]")
    for deep in ["x = " + "(" * 100_000 + "1" + ")" * 100_000, "x = " + "not " * 100_000 + "a",
                 "x = " + "[" * 100_000, "if a {" * 100_000, "x = " + "a if b else " * 100_000 + "c"]:
        with pytest.raises(ParseError, match="nested too deeply"):
            parse(deep)
    # Within the budget, deep texts round trip.
    text = "x = " + "not " * 500 + "(" * 500 + "a" + ")" * 500 + "\n"
    assert unparse(parse(text)) == "x = " + "not " * 500 + "a\n"


def test_unparse_limits_and_arguments():
    e = Expr.literal(1)
    for _ in range(25):
        e = Expr.binary_op(e, "+", e)
    # The whole message: a format argument missing from it once read a stray pointer (a
    # crash under one compiler, a garbled message or none under another).
    too_large = ("program too large to write out: more than 1000000 nodes, counting a shared "
                 "subtree at every place it is used")
    let = Statement.let("x", e)
    for write in [lambda: unparse([let]), let.to_text, e.to_text]:
        with pytest.raises(ValueError) as error:
            write()
        assert str(error.value) == too_large
    with pytest.raises(TypeError, match="unparse\\(\\) takes a sequence of Statement objects"):
        unparse("x = 1")
    with pytest.raises(TypeError):
        unparse([Expr.literal(1)])


def test_parse_on_a_small_thread_stack_is_a_clean_error():
    proc = run_python(
        """
        import threading
        from vrelpy import ParseError, parse
        results = []
        def work():
            for text in ["x = " + "(" * 50000 + "1", "if a {" * 50000, "x = " + "not " * 50000 + "a"]:
                try:
                    parse(text)
                except ParseError as error:
                    results.append(error.msg)
        threading.stack_size(256 * 1024)
        t = threading.Thread(target=work)
        t.start(); t.join()
        print(results)
        """
    )
    assert_clean_exit(proc)
    assert proc.stdout.count("nested too deeply") == 3


def test_random_text_never_crashes():
    # Random texts, and texts made of the grammar's own pieces, in a child interpreter:
    # a crash fails this test instead of ending the run.
    proc = run_python(
        """
        from hypothesis import HealthCheck, given, settings, strategies as st
        from vrelpy import Expr, ParseError, parse, unparse
        pieces = st.sampled_from(["(", ")", "[", "]", "{", "}", "vector[", "if", "else", "and",
            "or", "not", "fn", "=", "==", "!=", "<=", ">", "+", "-", "*", "/", ",", ";", "\\n",
            " ", "1", "-0.0", "1e308", "1e999", "nan(0x", "nan", "inf", "x", '$"', "$1", '"',
            "'", "\\\\u{", "\\\\", "#", "é", "\\ud800", "9223372036854775808", "_", "."])
        texts = st.text() | st.lists(pieces, max_size=40).map("".join)
        @settings(max_examples=3000, deadline=None, suppress_health_check=list(HealthCheck))
        @given(texts)
        def check(text):
            try:
                program = parse(text, functions={})
            except ParseError:
                pass
            else:
                assert parse(unparse(program)) is not None
            try:
                expr = Expr.from_text(text)
            except ParseError:
                pass
            else:
                assert Expr.from_text(expr.to_text()) is not None
        check()
        print("ok")
        """
    )
    assert_clean_exit(proc)
    assert proc.stdout.strip() == "ok"


@settings(max_examples=EXAMPLES * 5, deadline=None)
@given(st.floats(allow_nan=False) | st.sampled_from([1e16, 9999999999999998.0, 1e-4, 1e-5, 5e-324, 100000.0]))
def test_floats_are_written_as_python_writes_them(x):
    assert Expr.literal(x).to_text() == repr(x)
