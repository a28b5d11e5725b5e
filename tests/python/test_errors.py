import pytest

from vrelpy import Expr, Statement, Vrel
from support import assert_clean_exit, evaluate, ident, let, lit, panic_type, raises_panic, run_python

PANIC_DOC = (
    "\nThe exception raised when Rust code called from Python panics.\n\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n"
)


def test_panic_exception_type():
    kind = panic_type()
    assert (kind.__module__, kind.__qualname__) == ("pyo3_runtime", "PanicException")
    assert kind.__bases__ == (BaseException,) and not issubclass(kind, Exception)
    assert kind.__doc__ == PANIC_DOC


def with_fn(expr):
    vm = Vrel()
    vm.run([Statement.fn("f", lambda x: x)])
    return evaluate(expr, vm)


@pytest.mark.parametrize(
    "trigger, message",
    [
        (lambda: Vrel().get("x"), 'Value cannot be found: S("x")'),
        (lambda: Vrel().get(3), "Value cannot be found: U(3)"),
        (lambda: evaluate(Expr.binary_op(lit(1), "/", lit(0))), "attempt to divide by zero"),
        (lambda: evaluate(Expr.binary_op(lit(-(2**63)), "/", lit(-1))), "attempt to divide with overflow"),
        (lambda: evaluate(Expr.binary_op(lit("a"), "-", lit("b"))), "Unknown binary operation for Value::String"),
        (lambda: evaluate(Expr.binary_op(lit("a"), "+", lit(1))), "Binary operator for unknown type"),
        (lambda: evaluate(Expr.equals(lit(True), lit(None))), "Expected other item to be Value::Boolean"),
        (lambda: with_fn(Expr.equals(ident("f"), ident("f"))), "Cannot perform PartialEq for Value::Fn"),
        (lambda: evaluate(Expr.less_than(lit("a"), lit("b"))), "Both left-hand and right-hand side values must be a number"),
        (lambda: evaluate(Expr.not_(lit(1))), "The not expression must be used on a boolean value"),
        (lambda: Vrel().run([let("n", lit(5)), let("r", Expr.call("n", lit(1)))]), "called `Option::unwrap()` on a `None` value"),
        (lambda: Vrel().run([Statement.if_(lit(0), [], [])]), "Expected deduced condition to be a bool, got other type"),
    ],
)
def test_fatal_errors_reach_python_with_their_message(trigger, message):
    with pytest.raises(BaseException) as info:
        trigger()
    exc = info.value
    assert type(exc) is panic_type()
    assert str(exc) == message and exc.args == (message,)
    assert exc.__cause__ is None


def test_except_exception_does_not_catch_fatal_errors():
    try:
        try:
            Vrel().get("missing")
        except Exception:
            caught_by = "Exception"
    except BaseException:
        caught_by = "BaseException"
    assert caught_by == "BaseException"


def test_fatal_error_report_goes_to_stderr_and_nothing_else_writes():
    proc = run_python(
        """
        from vrelpy import Expr, Statement, Vrel
        vm = Vrel()
        vm.run([Statement.fn("f", lambda x: x + 1), Statement.let("y", Expr.call("f", Expr.literal(1)))])
        repr(vm)
        for bad in (lambda: vm.run("x"), lambda: Expr.literal({}), lambda: Expr.binary_op(Expr.literal(1), "%", Expr.literal(1))):
            try:
                bad()
            except (TypeError, ValueError):
                pass
        print("quiet", flush=True)
        import sys; sys.stderr.write("--\\n"); sys.stderr.flush()
        try:
            vm.run([Statement.let("y", Expr.binary_op(Expr.literal(7), "/", Expr.literal(0)))])
        except BaseException as exc:
            print("caught", exc)
        """
    )
    assert_clean_exit(proc)
    assert proc.stdout == "quiet\ncaught attempt to divide by zero\n"
    assert proc.stderr.startswith("--\n")
    assert "attempt to divide by zero" in proc.stderr


def test_uncaught_fatal_error_ends_the_script():
    proc = run_python('from vrelpy import Vrel\nVrel().get("never")\nprint("not reached")')
    assert proc.returncode != 0 and proc.stdout == ""
    assert 'pyo3_runtime.PanicException: Value cannot be found: S("never")' in proc.stderr


class PanickingFloat:
    def __float__(self):
        raise panic_type()("raised from __float__")


class PanickingIndex:
    def __index__(self):
        raise panic_type()("raised from __index__")


class PanickingSequence:
    def __len__(self):
        return 1

    def __getitem__(self, index):
        raise panic_type()("raised from __getitem__")


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: Expr.literal(PanickingFloat()), "raised from __float__"),
        (lambda: Expr.literal([1, PanickingSequence()]), "raised from __getitem__"),
        (lambda: Expr.vector(PanickingSequence()), "raised from __getitem__"),
        (lambda: Vrel().run(PanickingSequence()), "raised from __getitem__"),
        (lambda: Vrel().get(PanickingIndex()), "raised from __index__"),
        (lambda: Statement.if_(Expr.literal(1), [], PanickingSequence()), "raised from __getitem__"),
    ],
)
def test_panic_met_while_converting_resumes_as_fatal_error(call, message):
    with raises_panic(message):
        call()


@pytest.mark.parametrize("argument, message", [("from python", "from python"), (42, "42")])
def test_panic_raised_by_a_language_function_resumes(argument, message):
    def panicking(x):
        raise panic_type()(argument)

    vm = Vrel()
    with raises_panic(message):
        vm.run([Statement.fn("f", panicking), let("a", lit(1)), let("r", Expr.call("f", lit(1)))])
    assert vm.get("a") == 1
