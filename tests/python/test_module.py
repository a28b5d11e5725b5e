import inspect
import types
import weakref

import pytest

import vrelpy
from vrelpy import Expr, Statement, Vrel
from support import assert_clean_exit, lit, raises_exact, run_python

EXPR_METHODS = {
    "literal": "(value)",
    "ident": "(id)",
    "binary_op": "(a, o, b)",
    "equals": "(a, b)",
    "not_": "(item)",
    "greater_than": "(a, b)",
    "less_than": "(a, b)",
    "call": "(ident, args)",
    "vector": "(items)",
}

STATEMENT_METHODS = {
    "let": "(ident, pxpr)",
    "if_": "(pxpr, then, otherwise)",
    "fn": "(ident, item)",
}

# Public methods added after the specified ones (limits, the data form and the mapping
# operations), with their signatures.
ADDED_METHODS = {
    Vrel: {
        "set_limits": "(*, steps=None, memory=None, seconds=None)",
        "update": "(other=(), /, **kwargs)",
        "keys": "()",
    },
    Expr: {
        "and_": "(a, b)",
        "or_": "(a, b)",
        "cond": "(condition, then, otherwise)",
        "to_data": "()",
        "from_data": "(data)",
        "to_text": "()",
        "from_text": "(text)",
    },
    Statement: {"to_data": "()", "from_data": "(data, functions=None)", "to_text": "()"},
}


def test_module_attributes():
    assert vrelpy.__name__ == "vrelpy" and vrelpy.__doc__ == ""
    assert type(vrelpy.__all__) is list and vrelpy.__all__ == ["Vrel", "Statement", "Expr"]
    assert all(type(name) is str for name in vrelpy.__all__)
    # Beside the names of __all__, the text form's functions and exception.
    assert [name for name in vars(vrelpy) if not name.startswith("_")] == [
        "Vrel", "Statement", "Expr", "parse", "unparse", "ParseError"
    ]
    assert str(inspect.signature(vrelpy.parse)) == "(text, *, functions=None)"
    assert str(inspect.signature(vrelpy.unparse)) == "(program)"
    assert vrelpy.ParseError.__mro__[1] is ValueError and vrelpy.ParseError.__module__ == "vrelpy"
    assert vrelpy.parse.__module__ == vrelpy.unparse.__module__ == "vrelpy"
    # Besides the classes, only the extension module the package re-exports and the
    # rebuilders that pickles of programs refer to, which say they live in the package.
    private = [name for name in vars(vrelpy) if name.startswith("_") and not name.startswith("__")]
    assert private == ["_vrelpy", "_expr_from_data", "_statement_from_data"]
    assert vrelpy._expr_from_data.__module__ == vrelpy._statement_from_data.__module__ == "vrelpy"


@pytest.mark.parametrize("cls, sample", [(Vrel, Vrel), (Statement, lambda: Statement.let("x", lit(1))), (Expr, lambda: lit(1))])
def test_classes(cls, sample):
    assert (cls.__module__, cls.__qualname__) == ("builtins", cls.__name__)
    assert cls.__mro__ == (cls, object) and type(cls) is type
    with pytest.raises(TypeError, match="is not an acceptable base type"):
        type("Derived", (cls,), {})
    obj = sample()
    with pytest.raises(AttributeError):
        obj.__dict__
    with pytest.raises(AttributeError):
        obj.extra = 1
    with pytest.raises(TypeError):
        weakref.ref(obj)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: Statement(), "No constructor defined for Statement"),
        (lambda: Statement(1, x=2), "No constructor defined for Statement"),
        (lambda: Expr(1, 2), "No constructor defined for Expr"),
    ],
)
def test_builder_classes_have_no_constructor(call, message):
    assert str(raises_exact(TypeError, call)) == message


def test_vrel_signatures():
    assert Vrel.__text_signature__ == "()" and str(inspect.signature(Vrel)) == "()"
    assert Vrel.__doc__ == "" and repr(Vrel()) == "Machine { vars: {} }"
    # The read-only property `limits` follows the methods.
    assert [n for n in vars(Vrel) if not n.startswith("__")] == ["run", "get", *ADDED_METHODS[Vrel], "limits"]
    for name, signature in [("run", "(stmts)"), ("get", "(ident)")]:
        method = getattr(Vrel, name)
        assert method.__text_signature__ == "($self, " + signature[1:]
        assert str(inspect.signature(getattr(Vrel(), name))) == signature
        assert method.__doc__ is None
    assert isinstance(vars(Vrel)["limits"], types.GetSetDescriptorType) and Vrel.limits.__doc__


@pytest.mark.parametrize("cls, table", [(Expr, EXPR_METHODS), (Statement, STATEMENT_METHODS)], ids=["Expr", "Statement"])
def test_builder_namespaces(cls, table):
    assert [n for n in vars(cls) if not n.startswith("__")] == [*table, *ADDED_METHODS[cls]]
    for name, signature in table.items():
        assert isinstance(vars(cls)[name], staticmethod)
        method = getattr(cls, name)
        assert method.__text_signature__ == signature and str(inspect.signature(method)) == signature
        assert method.__doc__ is None and method.__name__ == name


@pytest.mark.parametrize("cls", list(ADDED_METHODS), ids=lambda cls: cls.__name__)
def test_added_method_signatures(cls):
    sample = {Vrel: Vrel(), Expr: lit(1), Statement: Statement.let("x", lit(1))}[cls]
    for name, signature in ADDED_METHODS[cls].items():
        assert str(inspect.signature(getattr(sample, name))) == signature
        assert getattr(cls, name).__doc__


def test_reimport_returns_the_same_module():
    proc = run_python(
        """
        import sys
        import vrelpy
        first = vrelpy._vrelpy
        classes = (vrelpy.Vrel, vrelpy.Statement, vrelpy.Expr)
        # The package is plain Python and runs again; the extension it re-exports is made
        # once per process.
        del sys.modules["vrelpy"], sys.modules["vrelpy._vrelpy"]
        import vrelpy as second
        assert second._vrelpy is first, "a new module object was made"
        assert all(a is b for a, b in zip((second.Vrel, second.Statement, second.Expr), classes))
        assert second.__all__ == ["Vrel", "Statement", "Expr"]
        vm = second.Vrel()
        vm.run([second.Statement.let("x", second.Expr.literal(3))])
        assert vm.get("x") == 3
        print("ok")
        """
    )
    assert_clean_exit(proc)
    assert proc.stdout.strip() == "ok"


def test_second_interpreter_import_is_refused():
    proc = run_python(
        """
        import sys
        import _interpreters
        import vrelpy
        interp = _interpreters.create("legacy")
        script = "import sys\\nsys.path[:] = %r\\nimport vrelpy\\n" % (sys.path,)
        failure = _interpreters.run_string(interp, script)
        assert failure is not None, "import in a second interpreter succeeded"
        print(failure.type.__name__)
        print(failure.msg)
        vm = vrelpy.Vrel()
        vm.run([vrelpy.Statement.let("x", vrelpy.Expr.literal("still here"))])
        print(vm.get("x"))
        """
    )
    assert proc.returncode == 0, proc.stderr[-4000:]
    lines = proc.stdout.splitlines()
    assert lines[0] == "ImportError"
    prefix = "PyO3 modules do not yet support subinterpreters, see "
    assert lines[1].startswith(prefix) and len(lines[1]) > len(prefix)
    assert lines[2] == "still here"
