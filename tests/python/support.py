"""Helpers shared by the vrelpy test modules."""

import contextlib
import math
import os
import struct
import subprocess
import sys
import textwrap

import pytest

from vrelpy import Expr, Statement, Vrel

lit, ident, let = Expr.literal, Expr.ident, Statement.let
UNWRAP_FUNCTION = (
    "called `Result::unwrap()` on an `Err` value: PyErr { type: <class 'TypeError'>, "
    "value: TypeError('Cannot convert a Rust trait to Python'), traceback: None }"
)


def evaluate(expr, vm=None):
    """Evaluate one expression on a machine and read the result back."""
    vm = Vrel() if vm is None else vm
    vm.run([Statement.let("__result", expr)])
    return vm.get("__result")


def is_panic(exc):
    return type(exc).__name__ == "PanicException" and type(exc).__module__ == "pyo3_runtime"


@contextlib.contextmanager
def raises_panic(message=None, startswith=None):
    """Expect a fatal error of the language, optionally with an exact message."""
    with pytest.raises(BaseException) as info:
        yield info
    assert is_panic(info.value), f"expected a PanicException, got {info.value!r}"
    if message is not None:
        assert str(info.value) == message
    if startswith is not None:
        assert str(info.value).startswith(startswith), str(info.value)


def raises_exact(kind, call):
    """Run call, which must raise exactly `kind`; return the exception."""
    with pytest.raises(kind) as info:
        call()
    assert type(info.value) is kind
    return info.value


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
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=timeout, env=env
    )


def assert_clean_exit(proc):
    assert proc.returncode == 0, (
        f"child exited with {proc.returncode}\n--- stdout ---\n{proc.stdout[-4000:]}\n"
        f"--- stderr ---\n{proc.stderr[-4000:]}"
    )


def value_error_lines(type_name, i64_text, f64_text, vector_text, string_text=None):
    """The combined message for a Python object that is no language value."""
    string_text = string_text or f"TypeError: '{type_name}' object cannot be converted to 'PyString'"
    lines = [
        ("Null", f"TypeError: '{type_name}' object cannot be converted to 'NoneType'"),
        ("Boolean", f"TypeError: '{type_name}' object cannot be converted to 'PyBool'"),
        ("String", string_text),
        ("I64", i64_text),
        ("F64", f64_text),
        ("Vector", vector_text),
    ]
    return "failed to extract enum PyValue ('Null | Boolean | String | I64 | F64 | Vector')" + "".join(
        f"\n- variant {v} ({v}): TypeError: failed to extract field PyValue::{v}.0, caused by {text}"
        for v, text in lines
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
        f"\n- variant U (U): TypeError: failed to extract field PyIdentifier::U.0, caused by {u_text}"
        f"\n- variant S (S): TypeError: failed to extract field PyIdentifier::S.0, caused by {s_text}"
    )


def same_value(a, b):
    """Equality that also tells bool from int, int from float, NaN and -0.0."""
    if type(a) is not type(b):
        return False
    if isinstance(a, list):
        return len(a) == len(b) and all(same_value(x, y) for x, y in zip(a, b))
    if isinstance(a, float):
        return struct.pack("<d", a) == struct.pack("<d", b) or (math.isnan(a) and math.isnan(b))
    return a == b


class LyingSequence:
    """A sequence whose length fails; items come from indexing."""

    def __init__(self, items):
        self.items = items

    def __len__(self):
        raise RuntimeError("no length")

    def __getitem__(self, index):
        return self.items[index]


SANITIZED = bool(os.environ.get("VRELPY_TESTS_UNDER_SANITIZER"))
# Builds whose frames are larger than a release build's: the sanitizers', and the coverage
# build at -O0 (tools/coverage.sh sets VRELPY_TESTS_INSTRUMENTED). Tests of how deep the
# evaluator goes on a given stack only check their exact figures on ordinary builds.
INSTRUMENTED = SANITIZED or bool(os.environ.get("VRELPY_TESTS_INSTRUMENTED"))


def run_python_capped(code, timeout=120, address_space=3 << 30):
    """run_python in a child whose address space is capped, so that a conversion that runs away
    fails that child instead of the machine. AddressSanitizer reserves terabytes of shadow
    memory up front: under it the cap is left out."""

    def cap():
        import resource

        resource.setrlimit(resource.RLIMIT_AS, (address_space, address_space))

    env = dict(os.environ)
    env.pop("PYTHONDONTWRITEBYTECODE", None)
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=timeout,
        env=env,
        preexec_fn=None if SANITIZED else cap,
    )
