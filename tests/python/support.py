"""Helpers shared by the vrelpy test modules."""

import contextlib
import os
import subprocess
import sys
import textwrap

import pytest

from vrelpy import Expr, Statement, Vrel

PANIC_NAME = "PanicException"
PANIC_MODULE = "pyo3_runtime"


def lit(value):
    return Expr.literal(value)


def ident(name):
    return Expr.ident(name)


def let(name, expr):
    return Statement.let(name, expr)


def evaluate(expr, vm=None):
    """Evaluate one expression on a machine and read the result back."""
    vm = Vrel() if vm is None else vm
    vm.run([Statement.let("__result", expr)])
    return vm.get("__result")


def is_panic(exc):
    kind = type(exc)
    return kind.__name__ == PANIC_NAME and kind.__module__ == PANIC_MODULE


@contextlib.contextmanager
def raises_panic(message=None, startswith=None):
    """Expect a fatal error of the language, optionally with an exact message."""
    with pytest.raises(BaseException) as info:
        yield info
    exc = info.value
    assert is_panic(exc), f"expected a PanicException, got {type(exc)!r}: {exc!r}"
    if message is not None:
        assert str(exc) == message
    if startswith is not None:
        assert str(exc).startswith(startswith), str(exc)


def panic_type():
    try:
        Vrel().get("__never_bound__")
    except BaseException as exc:  # noqa: BLE001 - the fatal error is a BaseException
        return type(exc)
    raise AssertionError("reading an unbound variable did not fail")


def run_python(code, timeout=300):
    """Run a snippet in a fresh interpreter so a crash only fails one test."""
    env = dict(os.environ)
    env.pop("PYTHONDONTWRITEBYTECODE", None)
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=timeout,
        env=env,
    )


def assert_clean_exit(proc):
    assert proc.returncode == 0, (
        f"child exited with {proc.returncode}\n"
        f"--- stdout ---\n{proc.stdout[-4000:]}\n--- stderr ---\n{proc.stderr[-4000:]}"
    )


def value_error_lines(type_name, i64_text, f64_text, vector_text, string_text=None):
    """The combined message for a Python object that is no language value."""
    if string_text is None:
        string_text = f"TypeError: '{type_name}' object cannot be converted to 'PyString'"
    return (
        "failed to extract enum PyValue ('Null | Boolean | String | I64 | F64 | Vector')"
        "\n- variant Null (Null): TypeError: failed to extract field PyValue::Null.0, "
        f"caused by TypeError: '{type_name}' object cannot be converted to 'NoneType'"
        "\n- variant Boolean (Boolean): TypeError: failed to extract field PyValue::Boolean.0, "
        f"caused by TypeError: '{type_name}' object cannot be converted to 'PyBool'"
        "\n- variant String (String): TypeError: failed to extract field PyValue::String.0, "
        f"caused by {string_text}"
        "\n- variant I64 (I64): TypeError: failed to extract field PyValue::I64.0, "
        f"caused by {i64_text}"
        "\n- variant F64 (F64): TypeError: failed to extract field PyValue::F64.0, "
        f"caused by {f64_text}"
        "\n- variant Vector (Vector): TypeError: failed to extract field PyValue::Vector.0, "
        f"caused by {vector_text}"
    )


def plain_value_error(type_name):
    """Combined message for an object of a type with no number or sequence support."""
    return value_error_lines(
        type_name,
        f"TypeError: '{type_name}' object cannot be interpreted as an integer",
        f"TypeError: must be real number, not {type_name}",
        f"TypeError: '{type_name}' object cannot be converted to 'Sequence'",
    )


def ident_error(u_text, s_text):
    return (
        "failed to extract enum PyIdentifier ('U | S')"
        "\n- variant U (U): TypeError: failed to extract field PyIdentifier::U.0, "
        f"caused by {u_text}"
        "\n- variant S (S): TypeError: failed to extract field PyIdentifier::S.0, "
        f"caused by {s_text}"
    )
