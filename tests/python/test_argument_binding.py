import functools

import pytest

from vrelpy import Expr, Statement, Vrel
from support import let, lit


def double(x):
    return x * 2


E = lit(1)
S = let("x", lit(1))


def exact_type_error(call):
    with pytest.raises(TypeError) as info:
        call()
    assert type(info.value) is TypeError
    return info.value


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: Vrel(1), "Vrel.__new__() takes 0 positional arguments but 1 was given"),
        (lambda: Vrel(1, 2), "Vrel.__new__() takes 0 positional arguments but 2 were given"),
        (lambda: Vrel(x=1), "Vrel.__new__() got an unexpected keyword argument 'x'"),
        (lambda: Vrel().run(), "Vrel.run() missing 1 required positional argument: 'stmts'"),
        (lambda: Vrel().run([], []), "Vrel.run() takes 1 positional arguments but 2 were given"),
        (lambda: Vrel().run([], stmts=[]), "Vrel.run() got multiple values for argument 'stmts'"),
        (lambda: Vrel().run(stmt=[]), "Vrel.run() got an unexpected keyword argument 'stmt'"),
        # too many positional arguments is checked before keywords
        (lambda: Vrel().run([], [], bogus=1), "Vrel.run() takes 1 positional arguments but 2 were given"),
        (lambda: Vrel().get(), "Vrel.get() missing 1 required positional argument: 'ident'"),
        (lambda: Vrel().get("x", "y"), "Vrel.get() takes 1 positional arguments but 2 were given"),
        (lambda: Vrel().get(name="x"), "Vrel.get() got an unexpected keyword argument 'name'"),
        (lambda: Expr.literal(), "Expr.literal() missing 1 required positional argument: 'value'"),
        (lambda: Expr.literal(1, 2), "Expr.literal() takes 1 positional arguments but 2 were given"),
        (lambda: Expr.ident(), "Expr.ident() missing 1 required positional argument: 'id'"),
        (lambda: Expr.not_(E, E, E), "Expr.not_() takes 1 positional arguments but 3 were given"),
        (lambda: Expr.equals(), "Expr.equals() missing 2 required positional arguments: 'a' and 'b'"),
        (lambda: Expr.greater_than(E), "Expr.greater_than() missing 1 required positional argument: 'b'"),
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
        (lambda: Expr.call("f"), "Expr.call() missing 1 required positional argument: 'args'"),
        (lambda: Expr.vector(), "Expr.vector() missing 1 required positional argument: 'items'"),
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
        (lambda: Statement.let(pxpr=E), "Statement.let() missing 1 required positional argument: 'ident'"),
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
    assert str(exact_type_error(call)) == message


def test_binding_messages_name_the_constructor_when_called_through_new():
    exc = exact_type_error(lambda: Vrel.__new__(Vrel, 1))
    assert str(exc) == "Vrel.__new__() takes 0 positional arguments but 1 was given"


class Outer:
    class Inner:
        pass


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: Expr.not_(1), "argument 'item': 'int' object cannot be converted to 'Expr'"),
        (lambda: Expr.not_(Outer.Inner()), "argument 'item': 'Outer.Inner' object cannot be converted to 'Expr'"),
        (lambda: Expr.not_(S), "argument 'item': 'Statement' object cannot be converted to 'Expr'"),
        (lambda: Expr.equals(E, None), "argument 'b': 'NoneType' object cannot be converted to 'Expr'"),
        (lambda: Expr.call("f", [E]), "argument 'args': 'list' object cannot be converted to 'Expr'"),
        (lambda: Expr.vector([E, Outer.Inner()]), "argument 'items': 'Outer.Inner' object cannot be converted to 'Expr'"),
        (lambda: Expr.vector(5), "argument 'items': 'int' object cannot be converted to 'Sequence'"),
        (lambda: Vrel().run([Outer()]), "argument 'stmts': 'Outer' object cannot be converted to 'Statement'"),
        (lambda: Vrel().run([E]), "argument 'stmts': 'Expr' object cannot be converted to 'Statement'"),
        (lambda: Vrel().run({S}), "argument 'stmts': 'set' object cannot be converted to 'Sequence'"),
        (lambda: Vrel().run(iter([S])), "argument 'stmts': 'list_iterator' object cannot be converted to 'Sequence'"),
        (lambda: Vrel().run(x for x in [S]), "argument 'stmts': 'generator' object cannot be converted to 'Sequence'"),
        (lambda: Vrel().run({0: S}), "argument 'stmts': 'dict' object cannot be converted to 'Sequence'"),
        (lambda: Vrel().run("ab"), "argument 'stmts': Can't extract `str` to `Vec`"),
        (lambda: Expr.binary_op(E, b"+", E), "argument 'o': 'bytes' object cannot be converted to 'PyString'"),
        (lambda: Statement.if_(E, [], [Outer.Inner]), "argument 'otherwise': 'type' object cannot be converted to 'Statement'"),
        (lambda: Statement.fn("f", len), "argument 'item': 'builtin_function_or_method' object cannot be converted to 'PyFunction'"),
        (lambda: Statement.fn("f", functools.partial(double)), "argument 'item': 'partial' object cannot be converted to 'PyFunction'"),
        (lambda: Statement.fn("f", staticmethod(double)), "argument 'item': 'staticmethod' object cannot be converted to 'PyFunction'"),
    ],
)
def test_argument_prefix_and_mismatch(call, message):
    exc = exact_type_error(call)
    assert str(exc) == message
    assert exc.__cause__ is None


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
    with pytest.raises(TypeError) as info:
        call(CausedTypeErrorSequence())
    exc = info.value
    assert type(exc) is TypeError
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
    with pytest.raises(kind) as info:
        call(seq)
    assert type(info.value) is kind
    assert str(info.value) == text


def test_encoding_error_of_operator_passes_unchanged():
    with pytest.raises(UnicodeEncodeError) as info:
        Expr.binary_op(E, "\ud800", E)
    assert not str(info.value).startswith("argument")
    assert "surrogates not allowed" in str(info.value)


@pytest.mark.parametrize(
    "item, type_name",
    [
        (len, "builtin_function_or_method"),
        ([].append, "builtin_function_or_method"),
        (Outer().__init__, "method-wrapper"),
        (CausedTypeErrorSequence().__len__, "method"),
        (Outer, "type"),
        (functools.partial(double), "partial"),
        (Outer.Inner(), "Outer.Inner"),
        (1, "int"),
        (None, "NoneType"),
        ("double", "str"),
    ],
)
def test_fn_accepts_only_plain_functions(item, type_name):
    exc = exact_type_error(lambda: Statement.fn("f", item))
    assert str(exc) == f"argument 'item': '{type_name}' object cannot be converted to 'PyFunction'"


def generator_function(x):
    yield x


async def coroutine_function(x):
    return x


@pytest.mark.parametrize(
    "item",
    [double, lambda: 0, lambda *a, **k: 0, generator_function, coroutine_function, functools.wraps(double)(lambda x: x)],
)
def test_fn_accepts_any_plain_function(item):
    assert isinstance(Statement.fn("f", item), Statement)
