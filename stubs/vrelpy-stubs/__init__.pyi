"""Type information for vrelpy, a small embeddable expression language.

This is a stub-only package (PEP 561): the module itself is a compiled extension, and
type checkers find these declarations in the ``vrelpy-stubs`` directory installed beside
it. The aliases ``Identifier``, ``ValueLike``, ``Value``, ``Binding`` and ``Data`` and the
dict type ``Limits`` exist only for type checkers; import them under
``if typing.TYPE_CHECKING:``.
"""

from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from typing import Any, Literal, Protocol, Self, TypeAlias, TypedDict, final, overload

from _typeshed import SupportsKeysAndGetItem

__all__ = ["Vrel", "Statement", "Expr"]

# The release of vrelpy, as in its package metadata ("0.1.0").
__version__: str

# The name of a variable. An int (bools included) names a numeric variable, a str a text
# one; the int 1 and the str "1" are different variables.
Identifier: TypeAlias = int | str

# What converts into a vrel value: ints that fit in 64 bits, floats (and larger ints,
# which become floats), strs, and any sequence of these, nested to any depth. Tuples,
# ranges and bytes become vectors too. Dicts, sets and other objects are refused.
ValueLike: TypeAlias = None | bool | int | float | str | Sequence[ValueLike]

# What a vrel value converts back into: vectors always come back as new lists.
Value: TypeAlias = None | bool | int | float | str | list[Value]

# What a machine binds a variable to (vm[ident] = ..., update): a convertible value, or a
# plain Python function (def or lambda), which binds a function as Statement.fn does.
Binding: TypeAlias = ValueLike | Callable[[Value], ValueLike]

# The data form of programs (schema version 2; version 1 lacks and, or and cond): nested
# dicts and lists of plain values, which json writes. `from_data` accepts any object and checks it.
Data: TypeAlias = dict[str, Any]

# The limits of a machine's runs, as ``Vrel.limits`` returns them: None where unset.
class Limits(TypedDict):
    steps: int | None
    memory: int | None
    seconds: float | None

@final
class PanicException(BaseException):
    """The exception of every fatal error of the language (``pyo3_runtime.PanicException``).

    A ``BaseException``, not an ``Exception``: catch it by name. ``str(error)`` is the fatal
    message; inside a run, notes (PEP 678) say where it happened.
    """

    @property
    def statement(self) -> tuple[int | str, ...] | None:
        """Path of the failing statement in the program given to ``run``: its index, then
        ``"then"``/``"otherwise"`` and an index for each enclosing ``if``. None outside a run."""

    @property
    def node(self) -> str | None:
        """Path of the failing node inside that statement in the data form's path notation,
        such as ``"['let'][1]['binary_op'][0]"`` (``""``: the statement itself). None outside
        a run."""

    @property
    def variable(self) -> Identifier | None:
        """The variable the error is about: one read or called, or the one a ``let`` binds."""

def set_error_report(enabled: bool) -> bool:
    """Switch the standard-error report of fatal errors on or off for the whole process;
    return the previous setting."""

@final
class Vrel:
    """A machine: one flat store of variables that statements are run against."""

    def __new__(cls) -> Self: ...
    def run(self, stmts: Sequence[Statement]) -> None:
        """Run the statements in order; earlier bindings stay if one of them fails."""

    def get(self, ident: Identifier) -> Value:
        """Read a variable as a new Python object."""

    def set_limits(
        self, *, steps: int | None = None, memory: int | None = None, seconds: float | None = None
    ) -> None:
        """Bound every later run of this machine; an omitted limit is unset.

        ``steps``: statements executed, expression nodes evaluated and pairs of vector
        elements compared. ``memory``: bytes of the texts (their length) and vectors (64 per
        element) a run creates. ``seconds``: wall-clock time of a run. A run beyond a limit
        stops with ``PanicException`` "Step limit exceeded", "Memory limit exceeded" or
        "Time limit exceeded". Bad values raise ``TypeError`` or ``ValueError``.
        """

    @property
    def limits(self) -> Limits:
        """The limits set by ``set_limits``, as a new dict."""

    def __getitem__(self, ident: Identifier, /) -> Value:
        """Read a variable like ``get``; an unbound one raises ``KeyError(ident)``."""

    def __setitem__(self, ident: Identifier, value: Binding, /) -> None:
        """Bind a variable, as a ``let`` of ``Expr.literal(value)`` would."""

    # Bind many variables from a mapping or (ident, value) pairs, then the keywords;
    # everything is converted before anything is bound. One overload per key type, as
    # mappings are invariant in their keys.
    @overload
    def update(self, other: SupportsKeysAndGetItem[str, Binding], /, **kwargs: Binding) -> None: ...
    @overload
    def update(self, other: SupportsKeysAndGetItem[int, Binding], /, **kwargs: Binding) -> None: ...
    @overload
    def update(self, other: SupportsKeysAndGetItem[Identifier, Binding], /, **kwargs: Binding) -> None: ...
    @overload
    def update(self, other: Iterable[tuple[Identifier, Binding]] = (), /, **kwargs: Binding) -> None: ...

    def __delitem__(self, ident: Identifier, /) -> None:
        """Remove a binding; reading it afterwards fails as for a name never bound.
        ``KeyError(ident)`` when it is unbound."""

    def clear(self) -> None:
        """Remove every binding."""

    def __contains__(self, ident: Identifier, /) -> bool: ...
    def __len__(self) -> int: ...
    def __iter__(self) -> Iterator[Identifier]: ...
    def keys(self) -> list[Identifier]:
        """A list of the bound identifiers, in the store's order."""

    # An empty machine is true, as every machine was before it had a length.
    def __bool__(self) -> Literal[True]: ...

@final
class Statement:
    """One step of a vrel program. Built only by the static methods below."""

    @staticmethod
    def let(ident: Identifier, pxpr: Expr) -> Statement:
        """Bind the variable ``ident`` to the value of ``pxpr``."""

    @staticmethod
    def if_(pxpr: Expr, then: Sequence[Statement], otherwise: Sequence[Statement]) -> Statement:
        """Run ``then`` when ``pxpr`` is true and ``otherwise`` when it is false."""

    # Only objects of exactly types.FunctionType are accepted, but mypy does not count
    # functions made by def or lambda as instances of that class, so the parameter states
    # the calling convention instead: one argument of any vrel value, a convertible result.
    # Annotate the parameter of a helper as Value, object or Any.
    @staticmethod
    def fn(ident: Identifier, item: Callable[[Value], ValueLike]) -> Statement:
        """Bind ``ident`` to a plain Python function (``def`` or ``lambda``).

        The function is called with one positional argument, whatever value the program
        passes, and must return a convertible value. Built-in functions, bound methods,
        classes and other callables are refused at run time with ``TypeError``.
        """

    def to_data(self) -> Data:
        """The data form: nested dicts and lists of plain values (schema version 2)."""

    @staticmethod
    def from_data(data: object, functions: Mapping[str, Callable[[Value], ValueLike]] | None = None) -> Statement:
        """Rebuild a statement from its data form; fn statements find their functions by
        name in ``functions`` and nowhere else."""

    def to_text(self) -> str:
        """The text form: the statement's line(s), blocks indented, without a final line break."""

    def __copy__(self) -> Self: ...
    def __deepcopy__(self, memo: object, /) -> Self: ...

@final
class Expr:
    """An expression of a vrel program. Built only by the static methods below."""

    @staticmethod
    def literal(value: ValueLike) -> Expr:
        """A constant value."""

    @staticmethod
    def ident(id: Identifier) -> Expr:
        """The value of the variable ``id``."""

    @staticmethod
    def binary_op(a: Expr, o: Literal["+", "-", "*", "/"], b: Expr) -> Expr:
        """``a`` and ``b`` combined by ``o``, one of ``"+"``, ``"-"``, ``"*"``, ``"/"``."""

    @staticmethod
    def equals(a: Expr, b: Expr) -> Expr:
        """True when ``a`` equals ``b``; the left operand decides which types compare."""

    @staticmethod
    def not_(item: Expr) -> Expr:
        """The inverse of the boolean ``item``."""

    @staticmethod
    def greater_than(a: Expr, b: Expr) -> Expr:
        """True when the number ``a`` is greater than the number ``b``."""

    @staticmethod
    def less_than(a: Expr, b: Expr) -> Expr:
        """True when the number ``a`` is less than the number ``b``."""

    @staticmethod
    def call(ident: Identifier, args: Expr) -> Expr:
        """Call the function bound to ``ident`` with one argument."""

    @staticmethod
    def vector(items: Sequence[Expr]) -> Expr:
        """A vector of the items' values, in order."""

    @staticmethod
    def and_(a: Expr, b: Expr) -> Expr:
        """True when the booleans ``a`` and ``b`` both hold; ``b`` runs only when ``a`` holds."""

    @staticmethod
    def or_(a: Expr, b: Expr) -> Expr:
        """True when the boolean ``a`` or ``b`` holds; ``b`` runs only when ``a`` does not."""

    @staticmethod
    def cond(condition: Expr, then: Expr, otherwise: Expr) -> Expr:
        """``then`` if the boolean ``condition`` holds, else ``otherwise``; only that one runs."""

    def to_data(self) -> Data:
        """The data form: nested dicts and lists of plain values (schema version 2)."""

    @staticmethod
    def from_data(data: object) -> Expr:
        """Rebuild an expression from its data form."""

    def to_text(self) -> str:
        """The text form, as ``parse`` and ``from_text`` read it."""

    @staticmethod
    def from_text(text: str) -> Expr:
        """Read an expression from its text form; ``ParseError`` says where it is wrong."""

    def __copy__(self) -> Self: ...
    def __deepcopy__(self, memo: object, /) -> Self: ...

# The text form of programs (see the README's grammar). Beside __all__, which is unchanged.
class ParseError(ValueError):
    """The text of a program is not valid.

    ``str(error)`` is the message, "line L column C", the line and a caret under the column.
    """

    msg: str
    lineno: int
    colno: int
    line: str
    pos: int

def parse(text: str, *, functions: Mapping[str, Callable[[Value], ValueLike]] | None = None) -> list[Statement]:
    """Read a program from its text form; fn statements find their functions by name in
    ``functions`` and nowhere else."""

def unparse(program: Sequence[Statement]) -> str:
    """The text form of a program: one statement per line, each line ending in a line break."""

# Rule sets. Beside __all__, which is unchanged.
# A rule: an expression whose value is the result, statements that bind the rule's name, or
# either as text (read by vrelpy.parse).
Rule: TypeAlias = Expr | Sequence[Statement] | str

# Limits of each rule on each record, as keywords of ``Vrel.set_limits``.
class RuleLimits(TypedDict, total=False):
    steps: int | None
    memory: int | None
    seconds: float | None

# What exports an Arrow C stream: pyarrow tables, polars and pandas frames.
class ArrowStreamExportable(Protocol):
    def __arrow_c_stream__(self, requested_schema: object = None) -> object: ...

class RuleError(Exception):
    """The failure of one rule on one record, returned as that rule's result. ``str(error)``
    is the message; ``rule`` names the rule; ``statement``, ``node`` and ``variable`` say
    where it failed as a ``PanicException``'s do for a run of the rule, and a note says it
    in words. Failures alike share one RuleError."""

    rule: Identifier | None
    statement: tuple[int | str, ...] | None
    """For a rule given as a program, the path of the failing statement in it (as
    ``PanicException.statement``); None for a rule given as an expression, or where the
    rule did not run."""
    node: str | None
    """The path of the failing node in the data form's notation: inside that statement for a
    program, inside the expression for an expression rule (``""``: the whole of it). None
    where the rule did not run or where binding its result failed."""
    variable: Identifier | None
    """The variable the failure is about: one read or called, or the rule's name (bound by
    its ``let``, or never bound by its program)."""

@final
class RuleSet:
    """Named rules applied to many records, each record on its own."""

    def __new__(
        cls,
        rules: Mapping[str, Rule] | Mapping[int, Rule] | Mapping[Identifier, Rule],
        *,
        setup: Sequence[Statement] | None = None,
        functions: Mapping[str, Callable[[Any], Any]] | None = None,
        limits: RuleLimits | None = None,
    ) -> Self: ...
    @property
    def inputs(self) -> tuple[Identifier, ...]:
        """The names the rules read that neither the setup nor an earlier rule binds."""

    @property
    def functions_called(self) -> tuple[Identifier, ...]:
        """The names the rules call."""

    @property
    def rules(self) -> dict[Identifier, Expr | list[Statement]]:
        """A new dict of the rules, name -> rule."""

    @property
    def setup(self) -> list[Statement]:
        """The setup statements, as a list."""

    @property
    def limits(self) -> Limits:
        """The limits of each rule on each record."""

    # An Arrow stream (pyarrow table, polars or pandas frame) gives the same kind back: a
    # pandas DataFrame, a polars DataFrame, or an object that pyarrow.table() takes.
    @overload
    def evaluate(self, records: ArrowStreamExportable, /, *, workers: int = 1) -> Any: ...
    # A mapping of columns (lists, numpy arrays) gives a dict of columns.
    @overload
    def evaluate(self, records: Mapping[str, Any], /, *, workers: int = 1) -> dict[Identifier, Any]: ...
    # An iterable of mappings gives a list of dicts, rule name -> result.
    @overload
    def evaluate(
        self, records: Iterable[Mapping[str, Any]], /, *, workers: int = 1
    ) -> list[dict[Identifier, Value | RuleError]]: ...
    def __reduce__(self) -> tuple[Any, ...]: ...
