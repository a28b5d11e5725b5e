import re
import sys
import threading
import time

import pytest

from vrelpy import Expr, Statement, Vrel
from support import (
    assert_clean_exit,
    evaluate,
    ident,
    let,
    lit,
    plain_value_error,
    raises_panic,
    run_python,
)

RAISED = "Failed while executing Python function with Vrel: "
BAD_RESULT = "Failed to run Python::with_gil(...): "
UNWRAP_FUNCTION = (
    "called `Result::unwrap()` on an `Err` value: PyErr { type: <class 'TypeError'>, "
    "value: TypeError('Cannot convert a Rust trait to Python'), traceback: None }"
)


def call_with(func, argument, vm=None):
    vm = Vrel() if vm is None else vm
    vm.run([Statement.fn("f", func), let("r", Expr.call("f", argument))])
    return vm.get("r")


def unquote(text):
    """Decode the quoted-text form used for tracebacks in messages."""
    escapes = {"n": "\n", "t": "\t", "r": "\r", "0": "\0", '"': '"', "\\": "\\"}
    out = re.sub(r'\\(u\{[0-9a-f]+\}|.)', lambda m: chr(int(m.group(1)[2:-1], 16)) if m.group(1).startswith("u{") else escapes[m.group(1)], text)
    return out


# ----------------------------------------------------------- calls and values

def test_doubling():
    assert call_with(lambda x: x * 2, lit(21)) == 42


@pytest.mark.parametrize(
    "argument, expected_type, expected",
    [
        (None, type(None), None),
        (True, bool, True),
        (False, bool, False),
        (7, int, 7),
        (2.5, float, 2.5),
        ("text ✓", str, "text ✓"),
        ([1, [2.5, None]], list, [1, [2.5, None]]),
        ((1, 2), list, [1, 2]),
    ],
)
def test_arguments_arrive_as_python_values(argument, expected_type, expected):
    seen = []
    call_with(lambda x: seen.append(x), lit(argument))
    assert type(seen[0]) is expected_type
    assert seen[0] == expected


def test_vector_argument_is_a_new_list_each_call():
    seen = []

    def record(x):
        seen.append(x)
        x.append("mutated")
        return len(x)

    vm = Vrel()
    vm.run(
        [
            Statement.fn("f", record),
            let("v", lit([1, 2])),
            let("a", Expr.call("f", ident("v"))),
            let("b", Expr.call("f", ident("v"))),
        ]
    )
    assert seen[0] is not seen[1]
    assert seen == [[1, 2, "mutated"], [1, 2, "mutated"]]
    assert vm.get("a") == 3 and vm.get("b") == 3
    assert vm.get("v") == [1, 2]


@pytest.mark.parametrize(
    "result, expected",
    [
        (None, None),
        (True, True),
        ((1, "a"), [1, "a"]),
        (2**63, 9223372036854775808.0),
        (range(2), [0, 1]),
        (b"A", [65]),
    ],
)
def test_results_are_converted(result, expected):
    out = call_with(lambda x: result, lit(0))
    assert type(out) is type(expected) and out == expected


def test_function_without_return_gives_null():
    def nothing(x):
        pass

    vm = Vrel()
    vm.run([Statement.fn("f", nothing), let("r", Expr.equals(lit(None), Expr.call("f", lit(1))))])
    assert vm.get("r") is True


def test_exactly_one_positional_argument_is_passed():
    assert call_with(lambda *args, **kwargs: [len(args), len(kwargs)], lit("x")) == [1, 0]


def test_call_result_can_feed_another_call():
    vm = Vrel()
    vm.run(
        [
            Statement.fn("inc", lambda x: x + 1),
            Statement.fn("pair", lambda x: [x, x]),
            let("r", Expr.call("pair", Expr.call("inc", Expr.call("inc", lit(1))))),
        ]
    )
    assert vm.get("r") == [3, 3]


def test_numeric_function_name():
    vm = Vrel()
    vm.run([Statement.fn(0, lambda x: -x), let(1, Expr.call(0, lit(5)))])
    assert vm.get(1) == -5


# ----------------------------------------------------------------- failures

def raises_bad(x):
    raise ValueError("bad")


def test_raising_function_message():
    with raises_panic() as info:
        call_with(raises_bad, lit(1))
    message = str(info.value)
    head = RAISED + "PyErr { type: <class 'ValueError'>, value: ValueError('bad'), traceback: Some(\""
    assert message.startswith(head)
    assert message.endswith("\") }")
    assert "\n" not in message
    traceback_text = unquote(message[len(head):-len("\") }")])
    assert traceback_text.startswith("Traceback (most recent call last):\n")
    line = raises_bad.__code__.co_firstlineno + 1
    assert f'File "{__file__}", line {line}, in raises_bad\n' in traceback_text
    assert '    raise ValueError("bad")\n' in traceback_text


@pytest.mark.parametrize(
    "error, shown",
    [
        (KeyError("k"), "<class 'KeyError'>, value: KeyError('k')"),
        (RuntimeError('say "hi"\n'), "<class 'RuntimeError'>, value: RuntimeError('say \"hi\"\\n')"),
        (KeyboardInterrupt(), "<class 'KeyboardInterrupt'>, value: KeyboardInterrupt()"),
    ],
)
def test_raised_exception_is_reported_by_repr(error, shown):
    def fail(x):
        raise error

    with raises_panic(startswith=RAISED + "PyErr { type: " + shown + ", traceback: Some(\"Traceback"):
        call_with(fail, lit(1))


def test_function_without_parameters():
    def zero():
        return 0

    with raises_panic(startswith=RAISED + "PyErr { type: <class 'TypeError'>") as info:
        call_with(zero, lit(1))
    assert "takes 0 positional arguments but 1 was given" in str(info.value)


def test_function_with_two_parameters():
    with raises_panic(startswith=RAISED + "PyErr { type: <class 'TypeError'>") as info:
        call_with(lambda a, b: a, lit(1))
    assert "missing 1 required positional argument: 'b'" in str(info.value)


def test_unconvertible_result_message():
    with raises_panic() as info:
        call_with(lambda x: {}, lit(1))
    expected = BAD_RESULT + "PyErr { type: <class 'TypeError'>, value: " + repr(
        TypeError(plain_value_error("dict"))
    ) + ", traceback: None }"
    assert str(info.value) == expected


@pytest.mark.parametrize("result", [lambda: 0, {1}, (x for x in []), object(), 2**1100, [1, {}]])
def test_other_unconvertible_results(result):
    with raises_panic(startswith=BAD_RESULT + "PyErr { type: <class 'TypeError'>, value: TypeError(") as info:
        call_with(lambda x: result, lit(1))
    assert str(info.value).endswith(", traceback: None }")


@pytest.mark.parametrize(
    "argument",
    [
        lambda: ident("g"),
        lambda: Expr.vector([lit(1), ident("g")]),
        lambda: Expr.vector([Expr.vector([ident("g")])]),
    ],
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
    vm.run([let("before", lit(1))])
    with raises_panic(startswith=RAISED):
        vm.run([Statement.fn("f", raises_bad), let("r", Expr.call("f", lit(1))), let("after", lit(2))])
    with raises_panic('Value cannot be found: S("after")'):
        vm.get("after")
    vm.run([Statement.fn("f", lambda x: x + 1), let("r", Expr.call("f", lit(1)))])
    assert vm.get("r") == 2 and vm.get("before") == 1


# ------------------------------------------------------------------ re-entry

def test_function_can_use_its_machine():
    vm = Vrel()
    seen = []

    def reenter(x):
        seen.append(vm.get("a"))
        vm.run([let("inner", Expr.binary_op(ident("a"), "+", lit(x)))])
        return vm.get("inner") * 10

    vm.run([Statement.fn("f", reenter), let("a", lit(5)), let("r", Expr.call("f", lit(2)))])
    assert seen == [5]
    assert vm.get("inner") == 7
    assert vm.get("r") == 70


def test_nested_fatal_error_reaches_the_outer_run_unchanged():
    vm = Vrel()

    def nested(x):
        vm.run([let("inner", ident("nope"))])
        return x

    with raises_panic('Value cannot be found: S("nope")'):
        vm.run([Statement.fn("f", nested), let("a", lit(1)), let("r", Expr.call("f", lit(1))), let("b", lit(2))])
    assert vm.get("a") == 1
    with raises_panic('Value cannot be found: S("b")'):
        vm.get("b")


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


def test_nested_fatal_error_writes_the_resume_notice():
    proc = run_python(
        """
        import sys
        from vrelpy import Expr, Statement, Vrel
        vm = Vrel()
        def nested(x):
            vm.run([Statement.let("inner", Expr.ident("nope"))])
        try:
            vm.run([Statement.fn("f", nested), Statement.let("r", Expr.call("f", Expr.literal(1)))])
        except BaseException as exc:
            print(type(exc).__module__, type(exc).__name__)
            print(exc)
        """
    )
    assert_clean_exit(proc)
    assert proc.stdout.splitlines() == ["pyo3_runtime PanicException", 'Value cannot be found: S("nope")']
    lines = proc.stderr.splitlines()
    notice = "--- PyO3 is resuming a panic after fetching a PanicException from Python. ---"
    assert notice in lines
    assert lines[lines.index(notice) + 1] == "Python stack trace below:"
    after = "\n".join(lines[lines.index(notice) + 2:])
    assert 'Value cannot be found: S("nope")' in after
    assert "in nested" in after


def test_function_rebinding_its_own_variable():
    def rebinding(x):
        vm.run([let("f", lit("replaced"))])
        return x * 3

    vm = Vrel()
    s = Statement.fn("f", rebinding)
    base = sys.getrefcount(rebinding)
    vm.run([s, let("r", Expr.call("f", lit(2)))])
    assert vm.get("r") == 6
    assert vm.get("f") == "replaced"
    assert sys.getrefcount(rebinding) == base


def test_statement_list_mutated_during_run():
    program = []

    def mutate(x):
        program.clear()
        program.append(5)
        return x

    program.extend([Statement.fn("f", mutate), let("a", Expr.call("f", lit(1))), let("b", lit(2))])
    vm = Vrel()
    vm.run(program)
    assert vm.get("a") == 1 and vm.get("b") == 2
    assert program == [5]


def test_threads_share_a_machine_while_functions_run():
    vm = Vrel()

    def slow(x):
        time.sleep(0.0005)
        return x

    vm.run([Statement.fn("slow", slow)])
    errors = []

    def worker(k):
        try:
            for i in range(40):
                vm.run([let(f"t{k}_{i}", Expr.call("slow", lit(k * 1000 + i)))])
        except BaseException as exc:  # pragma: no cover - reported below
            errors.append(exc)

    threads = [threading.Thread(target=worker, args=(k,)) for k in range(3)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    for k in range(3):
        for i in range(40):
            assert vm.get(f"t{k}_{i}") == k * 1000 + i


# ------------------------------------------------------------ reference counts

def test_refcount_statement_copies():
    def f(x):
        return x

    base = sys.getrefcount(f)
    s = Statement.fn("f", f)
    assert sys.getrefcount(f) == base + 1
    block = Statement.if_(lit(True), [s, s], [s])
    assert sys.getrefcount(f) == base + 4
    del block
    assert sys.getrefcount(f) == base + 1
    del s
    assert sys.getrefcount(f) == base


def test_refcount_failed_fn_takes_no_reference():
    def f(x):
        return x

    base = sys.getrefcount(f)
    with pytest.raises(TypeError):
        Statement.fn(-1, f)
    with pytest.raises(TypeError):
        Statement.if_(lit(True), [Statement.fn("f", f), 5], [])
    assert sys.getrefcount(f) == base


def test_refcount_machine_values():
    def f(x):
        return x

    base = sys.getrefcount(f)
    s = Statement.fn("f", f)
    vm = Vrel()
    vm.run([s])
    assert sys.getrefcount(f) == base + 2
    vm.run([s])
    assert sys.getrefcount(f) == base + 2
    for _ in range(3):
        vm.run([let("r", Expr.call("f", lit([1, 2])))])
    assert sys.getrefcount(f) == base + 2
    other = Vrel()
    other.run([s, s, Statement.fn("g", f)])
    assert sys.getrefcount(f) == base + 4
    vm.run([let("f", lit(0))])
    assert sys.getrefcount(f) == base + 3
    del other
    assert sys.getrefcount(f) == base + 1
    del vm
    assert sys.getrefcount(f) == base + 1
    del s
    assert sys.getrefcount(f) == base


def test_refcount_vectors_share_the_function_value():
    def f(x):
        return x

    base = sys.getrefcount(f)
    vm = Vrel()
    vm.run([Statement.fn("f", f), let("v", Expr.vector([ident("f"), ident("f")])), let("w", ident("v"))])
    assert sys.getrefcount(f) == base + 1
    with raises_panic(UNWRAP_FUNCTION):
        vm.get("w")
    vm.run([let("f", lit(0)), let("v", lit(0))])
    assert sys.getrefcount(f) == base + 1
    vm.run([let("w", lit(0))])
    assert sys.getrefcount(f) == base


def test_refcount_unchosen_blocks_and_fatal_errors():
    def f(x):
        return x

    base = sys.getrefcount(f)
    s = Statement.fn("f", f)
    vm = Vrel()
    vm.run([Statement.if_(lit(False), [s], [s, s])])
    assert sys.getrefcount(f) == base + 2
    with raises_panic("attempt to divide by zero"):
        vm.run([s, let("x", Expr.binary_op(lit(1), "/", lit(0))), s, Statement.fn("g", f)])
    assert sys.getrefcount(f) == base + 2
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
        return result

    base = sys.getrefcount(result)
    vm = Vrel()
    vm.run([Statement.fn("f", store), let("r", Expr.call("f", lit([1]))), let("r", Expr.call("f", lit("some text ✓")))])
    assert sys.getrefcount(result) == base
    # held by `kept` and by the call's own argument, nothing else
    counts = [sys.getrefcount(kept[i]) for i in range(2)]
    assert counts == [2, 2]

    def store_and_fail(x):
        kept.append(x)
        raise ValueError("after storing")

    kept.clear()
    with raises_panic(startswith=RAISED):
        call_with(store_and_fail, lit([1, 2]), vm)
    count = sys.getrefcount(kept[0])
    assert count == 2


# ------------------------------------------------------------- deep results

def test_deep_result_from_function_does_not_crash():
    proc = run_python(
        """
        from vrelpy import Expr, Statement, Vrel
        deep = []
        for _ in range(100000):
            deep = [deep]
        vm = Vrel()
        try:
            vm.run([Statement.fn("f", lambda x: deep), Statement.let("r", Expr.call("f", Expr.literal(0)))])
        except BaseException as exc:
            print("raised", type(exc).__name__)
        else:
            print("worked")
        vm.run([Statement.let("ok", Expr.literal(1))])
        print(vm.get("ok"))
        """
    )
    assert_clean_exit(proc)
    first, second = proc.stdout.splitlines()
    assert re.fullmatch(r"raised \w+|worked", first)
    assert second == "1"


def test_deep_value_passed_to_function_does_not_crash():
    proc = run_python(
        """
        from vrelpy import Expr, Statement, Vrel
        vm = Vrel()
        vm.run([Statement.let("x", Expr.literal(None)), Statement.fn("f", lambda x: 1)])
        wrap = [Statement.let("x", Expr.vector([Expr.ident("x")]))]
        for _ in range(100000):
            vm.run(wrap)
        try:
            vm.run([Statement.let("r", Expr.call("f", Expr.ident("x")))])
        except BaseException as exc:
            print("raised", type(exc).__name__)
        else:
            print("worked", vm.get("r"))
        del vm
        print("done")
        """
    )
    assert_clean_exit(proc)
    first, second = proc.stdout.splitlines()
    assert re.fullmatch(r"raised \w+|worked 1", first)
    assert second == "done"
