import pytest

from vrelpy import Expr, Statement, Vrel
from support import lit, raises_exact


def double(x):
    return x * 2


E = lit(1)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: Vrel(1), "Vrel.__new__() takes 0 positional arguments but 1 was given"),
        (lambda: Vrel.__new__(Vrel, 1), "Vrel.__new__() takes 0 positional arguments but 1 was given"),
        (lambda: Vrel(x=1), "Vrel.__new__() got an unexpected keyword argument 'x'"),
        (lambda: Vrel().run(), "Vrel.run() missing 1 required positional argument: 'stmts'"),
        (lambda: Vrel().run([], []), "Vrel.run() takes 1 positional arguments but 2 were given"),
        (lambda: Vrel().run([], stmts=[]), "Vrel.run() got multiple values for argument 'stmts'"),
        (lambda: Vrel().run(stmt=[]), "Vrel.run() got an unexpected keyword argument 'stmt'"),
        # too many positional arguments is checked before keywords
        (lambda: Vrel().run([], [], bogus=1), "Vrel.run() takes 1 positional arguments but 2 were given"),
        (lambda: Vrel().get(), "Vrel.get() missing 1 required positional argument: 'ident'"),
        (lambda: Vrel().get(name="x"), "Vrel.get() got an unexpected keyword argument 'name'"),
        (lambda: Expr.literal(), "Expr.literal() missing 1 required positional argument: 'value'"),
        (lambda: Expr.not_(E, E, E), "Expr.not_() takes 1 positional arguments but 3 were given"),
        (lambda: Expr.equals(), "Expr.equals() missing 2 required positional arguments: 'a' and 'b'"),
        (lambda: Expr.less_than(b=E), "Expr.less_than() missing 1 required positional argument: 'a'"),
        (
            lambda: Expr.binary_op(),
            "Expr.binary_op() missing 3 required positional arguments: 'a', 'o', and 'b'",
        ),
        (lambda: Expr.binary_op(E), "Expr.binary_op() missing 2 required positional arguments: 'o' and 'b'"),
        (lambda: Expr.binary_op(o="+"), "Expr.binary_op() missing 2 required positional arguments: 'a' and 'b'"),
        (lambda: Expr.binary_op(b=E, a=E), "Expr.binary_op() missing 1 required positional argument: 'o'"),
        (
            lambda: Expr.binary_op(E, "+", E, E),
            "Expr.binary_op() takes 3 positional arguments but 4 were given",
        ),
        (lambda: Expr.vector([], item=[]), "Expr.vector() got an unexpected keyword argument 'item'"),
        (
            lambda: Statement.if_(),
            "Statement.if_() missing 3 required positional arguments: 'pxpr', 'then', and 'otherwise'",
        ),
        (
            lambda: Statement.if_(E, otherwise=[]),
            "Statement.if_() missing 1 required positional argument: 'then'",
        ),
        (lambda: Statement.let("x", E, 1), "Statement.let() takes 2 positional arguments but 3 were given"),
        (lambda: Statement.fn("f", double, ident="g"), "Statement.fn() got multiple values for argument 'ident'"),
        (lambda: Statement.fn(item=double, ident="f", ident2="g"), "Statement.fn() got an unexpected keyword argument 'ident2'"),
        # keywords are examined in the order they are given
        (lambda: Expr.equals(E, x=1, a=2), "Expr.equals() got an unexpected keyword argument 'x'"),
        (lambda: Expr.equals(E, a=2, x=1), "Expr.equals() got multiple values for argument 'a'"),
        # binding failures come before any conversion
        (lambda: Expr.equals(1, 2, 3), "Expr.equals() takes 2 positional arguments but 3 were given"),
        (lambda: Expr.equals(1), "Expr.equals() missing 1 required positional argument: 'b'"),
    ],
)
def test_binding_messages(call, message):
    assert str(raises_exact(TypeError, call)) == message


class CausedTypeErrorSequence:
    """A sequence whose iteration fails with a TypeError that has a cause."""

    def __len__(self):
        return 1

    def __getitem__(self, index):
        raise IndexError(index)

    def __iter__(self):
        raise TypeError("cannot iterate") from KeyError("root")


class SubTypeError(TypeError):
    pass


class SubTypeErrorSequence(CausedTypeErrorSequence):
    def __iter__(self):
        raise SubTypeError("special")


class ValueErrorSequence(CausedTypeErrorSequence):
    def __iter__(self):
        raise ValueError("no values")


@pytest.mark.parametrize(
    "call, name",
    [
        (lambda seq: Vrel().run(seq), "stmts"),
        (lambda seq: Expr.vector(seq), "items"),
        (lambda seq: Statement.if_(lit(True), seq, []), "then"),
        (lambda seq: Statement.if_(lit(True), [], seq), "otherwise"),
    ],
)
def test_prefixed_error_takes_the_cause_of_the_original(call, name):
    exc = raises_exact(TypeError, lambda: call(CausedTypeErrorSequence()))
    assert str(exc) == f"argument '{name}': cannot iterate"
    assert isinstance(exc.__cause__, KeyError)
    assert exc.__cause__.args == ("root",)


@pytest.mark.parametrize(
    "call",
    [
        lambda seq: Vrel().run(seq),
        lambda seq: Expr.vector(seq),
        lambda seq: Statement.if_(lit(True), seq, []),
    ],
)
@pytest.mark.parametrize(
    "seq, kind, text",
    [
        (SubTypeErrorSequence(), SubTypeError, "special"),
        (ValueErrorSequence(), ValueError, "no values"),
    ],
)
def test_errors_other_than_exact_type_error_pass_unchanged(call, seq, kind, text):
    assert str(raises_exact(kind, lambda: call(seq))) == text


def test_encoding_error_of_operator_passes_unchanged():
    exc = raises_exact(UnicodeEncodeError, lambda: Expr.binary_op(E, "\ud800", E))
    assert str(exc) == "'utf-8' codec can't encode character '\\ud800' in position 0: surrogates not allowed"
