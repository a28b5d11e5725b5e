import gc
import math
import re
import sys

import pytest

from vrelpy import Expr, Statement, Vrel
from support import UNWRAP_FUNCTION, assert_clean_exit, ident, let, lit, plain_value_error, raises_panic, run_python

RAISED = "Failed while executing Python function with Vrel: "
BAD_RESULT = "Failed to run Python::with_gil(...): "


def call_with(func, argument, vm=None):
    vm = Vrel() if vm is None else vm
    vm.run([Statement.fn("f", func), let("r", Expr.call("f", argument))])
    return vm.get("r")


def unquote(text):
    """Decode the quoted-text form used for tracebacks in messages."""
    escapes = {"n": "\n", "t": "\t", "r": "\r", "0": "\0", '"': '"', "\\": "\\"}
    return re.sub(
        r"\\(u\{[0-9a-f]+\}|.)",
        lambda m: chr(int(m.group(1)[2:-1], 16)) if m.group(1).startswith("u{") else escapes[m.group(1)],
        text,
    )


def raises_bad(x):
    raise ValueError("bad")


@pytest.mark.parametrize(
    "argument, expected",
    [(None, None), (False, False), (7, 7), (2.5, 2.5), ("text ✓", "text ✓"), ([1, [2.5, None]], [1, [2.5, None]]), ((1, 2), [1, 2])],
)
def test_arguments_arrive_as_python_values(argument, expected):
    seen = []
    call_with(lambda *args, **kwargs: seen.append((args, kwargs)), lit(argument))
    assert len(seen[0][0]) == 1 and seen[0][1] == {}
    assert type(seen[0][0][0]) is type(expected) and seen[0][0][0] == expected


@pytest.mark.parametrize(
    "result, expected",
    [
        (None, None),
        (True, True),
        (False, False),
        (42, 42),
        (-(2**30), -(2**30)),
        (2**30, 2**30),
        (2**40, 2**40),
        (-(2**63), -(2**63)),
        (2**63 - 1, 2**63 - 1),
        (-0.0, -0.0),
        (1.5, 1.5),
        (float("inf"), float("inf")),
        ((1, "a"), [1, "a"]),
        (2**63, 9223372036854775808.0),
        (b"A", [65]),
    ],
)
def test_results_are_converted(result, expected):
    out = call_with(lambda x: result, lit(0))
    assert type(out) is type(expected) and out == expected
    if isinstance(expected, float):
        assert math.copysign(1.0, out) == math.copysign(1.0, expected)


def test_vector_argument_is_a_new_list_each_call_and_calls_chain():
    seen = []

    def record(x):
        seen.append(x)
        x.append("mutated")
        return len(x)

    vm = Vrel()
    vm.run(
        [
            Statement.fn("f", record),
            Statement.fn(0, lambda x: x * 2),
            let("v", lit([1, 2])),
            let("a", Expr.call("f", ident("v"))),
            let("b", Expr.call("f", ident("v"))),
            let("c", Expr.call(0, Expr.call(0, lit(21)))),
        ]
    )
    assert seen[0] is not seen[1]
    assert vm.get("a") == 3 and vm.get("b") == 3 and vm.get("v") == [1, 2]
    assert vm.get("c") == 84


# ----------------------------------------------------------------- failures

def test_raising_function_message():
    with raises_panic() as info:
        call_with(raises_bad, lit(1))
    message = str(info.value)
    head = RAISED + "PyErr { type: <class 'ValueError'>, value: ValueError('bad'), traceback: Some(\""
    assert message.startswith(head) and message.endswith("\") }")
    assert "\n" not in message
    traceback_text = unquote(message[len(head):-len("\") }")])
    assert traceback_text.startswith("Traceback (most recent call last):\n")
    line = raises_bad.__code__.co_firstlineno + 1
    assert f'File "{__file__}", line {line}, in raises_bad\n' in traceback_text
    assert '    raise ValueError("bad")\n' in traceback_text


def raise_(error):
    raise error


@pytest.mark.parametrize(
    "func, start, inside",
    [
        (lambda x: raise_(KeyError("k")), "<class 'KeyError'>, value: KeyError('k'), traceback: Some(\"Traceback", ""),
        (lambda x: raise_(RuntimeError('say "hi"\n')), "<class 'RuntimeError'>, value: RuntimeError('say \"hi\"\\n')", ""),
        (lambda: 0, "<class 'TypeError'>", "takes 0 positional arguments but 1 was given"),
        (lambda a, b: a, "<class 'TypeError'>", "missing 1 required positional argument: 'b'"),
    ],
)
def test_python_exceptions_abort_the_evaluation(func, start, inside):
    with raises_panic(startswith=RAISED + "PyErr { type: " + start) as info:
        call_with(func, lit(1))
    assert inside in str(info.value)


def test_unconvertible_result_message():
    with raises_panic() as info:
        call_with(lambda x: {}, lit(1))
    assert str(info.value) == (
        BAD_RESULT + "PyErr { type: <class 'TypeError'>, value: " + repr(TypeError(plain_value_error("dict")))
        + ", traceback: None }"
    )


@pytest.mark.parametrize("result", [lambda: 0, (x for x in []), 2**1100, [1, {}]])
def test_other_unconvertible_results(result):
    with raises_panic(startswith=BAD_RESULT + "PyErr { type: <class 'TypeError'>, value: TypeError(") as info:
        call_with(lambda x: result, lit(1))
    assert str(info.value).endswith(", traceback: None }")


@pytest.mark.parametrize(
    "argument", [lambda: ident("g"), lambda: Expr.vector([Expr.vector([lit(1), ident("g")])])]
)
def test_function_value_cannot_be_passed_to_python(argument):
    calls = []
    vm = Vrel()
    vm.run([Statement.fn("g", lambda x: x)])
    with raises_panic(UNWRAP_FUNCTION):
        call_with(lambda x: calls.append(x), argument(), vm)
    assert calls == []


def test_machine_usable_after_function_failure():
    vm = Vrel()
    with raises_panic(startswith=RAISED):
        vm.run([let("before", lit(1)), Statement.fn("f", raises_bad), let("r", Expr.call("f", lit(1))), let("after", lit(2))])
    assert repr(vm).count("S(") == 2  # before and f, nothing after the failure
    vm.run([Statement.fn("f", lambda x: x + 1), let("r", Expr.call("f", lit(1)))])
    assert vm.get("r") == 2 and vm.get("before") == 1


# ------------------------------------------------------------------ re-entry

def test_function_can_use_its_machine():
    vm = Vrel()

    def reenter(x):
        vm.run([let("inner", Expr.binary_op(ident("a"), "+", lit(x)))])
        return vm.get("inner") * 10

    vm.run([Statement.fn("f", reenter), let("a", lit(5)), let("r", Expr.call("f", lit(2)))])
    assert vm.get("inner") == 7 and vm.get("r") == 70


def test_nested_fatal_error_can_be_caught_by_the_function():
    vm = Vrel()

    def nested(x):
        try:
            vm.run([let("inner", Expr.binary_op(lit(1), "/", lit(0)))])
        except Exception:
            return "caught as Exception"
        except BaseException as exc:
            return str(exc)
        return "no error"

    assert call_with(nested, lit(1), vm) == "attempt to divide by zero"


def test_nested_fatal_error_reaches_the_outer_run_and_writes_the_notice():
    proc = run_python(
        """
        from vrelpy import Expr, Statement, Vrel
        vm = Vrel()
        def nested(x):
            vm.run([Statement.let("inner", Expr.ident("nope"))])
        try:
            vm.run([Statement.fn("f", nested), Statement.let("a", Expr.literal(1)),
                    Statement.let("r", Expr.call("f", Expr.literal(1))), Statement.let("b", Expr.literal(2))])
        except BaseException as exc:
            print(type(exc).__module__, type(exc).__name__)
            print(exc)
        print(repr(vm).count("S("))
        """
    )
    assert_clean_exit(proc)
    assert proc.stdout.splitlines() == ["pyo3_runtime PanicException", 'Value cannot be found: S("nope")', "2"]
    lines = proc.stderr.splitlines()
    notice = "--- PyO3 is resuming a panic after fetching a PanicException from Python. ---"
    assert notice in lines
    assert lines[lines.index(notice) + 1] == "Python stack trace below:"
    after = "\n".join(lines[lines.index(notice) + 2:])
    assert 'Value cannot be found: S("nope")' in after and "in nested" in after


def test_function_rebinding_its_own_variable():
    def rebinding(x):
        vm.run([let("f", lit("replaced"))])
        return x * 3

    vm = Vrel()
    base = sys.getrefcount(rebinding)
    vm.run([Statement.fn("f", rebinding), let("r", Expr.call("f", lit(2)))])
    assert vm.get("r") == 6 and vm.get("f") == "replaced"
    assert sys.getrefcount(rebinding) == base


# ------------------------------------------------------------ reference counts

def f(x):
    return x


def test_refcount_statement_copies_and_failed_builds():
    base = sys.getrefcount(f)
    s = Statement.fn("f", f)
    assert sys.getrefcount(f) == base + 1
    block = Statement.if_(lit(True), [s, s], [s])
    assert sys.getrefcount(f) == base + 4
    del block
    with pytest.raises(TypeError):
        Statement.fn(-1, f)
    with pytest.raises(TypeError):
        Statement.if_(lit(True), [s, 5], [])
    assert sys.getrefcount(f) == base + 1
    del s
    assert sys.getrefcount(f) == base


def test_refcount_machine_values():
    base = sys.getrefcount(f)
    s = Statement.fn("f", f)
    vm = Vrel()
    vm.run([s])
    vm.run([s])
    for _ in range(3):
        vm.run([let("r", Expr.call("f", lit([1, 2])))])
    assert sys.getrefcount(f) == base + 2
    other = Vrel()
    other.run([s, s, Statement.fn("g", f), let("v", Expr.vector([ident("g"), ident("g")])), let("w", ident("v"))])
    assert sys.getrefcount(f) == base + 4
    with raises_panic(UNWRAP_FUNCTION):
        other.get("w")
    vm.run([let("f", lit(0))])
    assert sys.getrefcount(f) == base + 3
    del other
    assert sys.getrefcount(f) == base + 1
    del vm, s
    assert sys.getrefcount(f) == base


def test_refcount_unchosen_blocks_and_fatal_errors():
    base = sys.getrefcount(f)
    s = Statement.fn("f", f)
    vm = Vrel()
    vm.run([Statement.if_(lit(False), [s], [s, s])])
    assert sys.getrefcount(f) == base + 2
    with raises_panic("attempt to divide by zero"):
        vm.run([s, let("x", Expr.binary_op(lit(1), "/", lit(0))), s, Statement.fn("g", f)])
    with raises_panic(startswith=RAISED):
        vm.run([Statement.fn("h", raises_bad), let("x", Expr.call("h", lit(1))), Statement.fn("g", f)])
    assert sys.getrefcount(f) == base + 2
    del vm, s
    assert sys.getrefcount(f) == base


def test_refcount_arguments_and_results_are_released():
    kept = []
    result = ["result"]

    def store(x):
        kept.append(x)
        if x == [1, 2]:
            raise ValueError("after storing")
        return result

    base = sys.getrefcount(result)
    vm = Vrel()
    vm.run([Statement.fn("f", store), let("r", Expr.call("f", lit([1]))), let("r", Expr.call("f", lit("text ✓")))])
    with raises_panic(startswith=RAISED) as info:
        vm.run([let("r", Expr.call("f", lit([1, 2])))])
    # The function's exception is the cause, and its traceback holds the argument: until the
    # error goes.
    assert isinstance(info.value.__cause__, ValueError)
    del info
    gc.collect()  # the traceback refers to this frame, which refers to the error: a cycle
    assert sys.getrefcount(result) == base
    assert [sys.getrefcount(kept[i]) for i in range(3)] == [2, 2, 2]
