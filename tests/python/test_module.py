import inspect
import weakref

import pytest

import vrelpy
from vrelpy import Expr, Statement, Vrel
from support import assert_clean_exit, lit, run_python

CLASSES = [Vrel, Statement, Expr]

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


def sample_instances():
    return [Vrel(), Statement.let("x", lit(1)), lit(1)]


def test_module_attributes():
    assert vrelpy.__name__ == "vrelpy"
    assert type(vrelpy.__doc__) is str and vrelpy.__doc__ == ""
    assert type(vrelpy.__all__) is list
    assert vrelpy.__all__ == ["Vrel", "Statement", "Expr"]
    assert all(type(name) is str for name in vrelpy.__all__)
    public = [name for name in vars(vrelpy) if not name.startswith("__")]
    assert public == ["Vrel", "Statement", "Expr"]


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_class_identity(cls):
    assert cls.__module__ == "builtins"
    assert cls.__qualname__ == cls.__name__
    assert cls.__mro__ == (cls, object)
    assert type(cls) is type


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_classes_cannot_be_subclassed(cls):
    with pytest.raises(TypeError, match="is not an acceptable base type"):
        type("Derived", (cls,), {})


@pytest.mark.parametrize("index", range(3), ids=["Vrel", "Statement", "Expr"])
def test_instances_have_no_dict_or_weakref(index):
    obj = sample_instances()[index]
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
        (lambda: Expr(), "No constructor defined for Expr"),
    ],
)
def test_builder_classes_have_no_constructor(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_vrel_constructor_and_class_doc():
    assert Vrel.__text_signature__ == "()"
    assert str(inspect.signature(Vrel)) == "()"
    assert Vrel.__doc__ == ""
    assert isinstance(Vrel(), Vrel)


@pytest.mark.parametrize("name, signature", [("run", "(stmts)"), ("get", "(ident)")])
def test_vrel_method_signatures(name, signature):
    method = getattr(Vrel, name)
    assert method.__text_signature__ == "($self" + ", " + signature[1:]
    assert str(inspect.signature(getattr(Vrel(), name))) == signature
    assert method.__doc__ is None


def test_vrel_namespace_order():
    assert [n for n in vars(Vrel) if not n.startswith("__")] == ["run", "get"]


@pytest.mark.parametrize(
    "cls, table",
    [(Expr, EXPR_METHODS), (Statement, STATEMENT_METHODS)],
    ids=["Expr", "Statement"],
)
def test_builder_namespaces(cls, table):
    names = [n for n in vars(cls) if not n.startswith("__")]
    assert names == list(table)
    for name, signature in table.items():
        assert isinstance(vars(cls)[name], staticmethod)
        method = getattr(cls, name)
        assert method.__text_signature__ == signature
        assert str(inspect.signature(method)) == signature
        assert method.__doc__ is None
        assert method.__name__ == name


def test_reimport_returns_the_same_module():
    proc = run_python(
        """
        import sys
        import vrelpy
        first = vrelpy
        classes = (vrelpy.Vrel, vrelpy.Statement, vrelpy.Expr)
        all_list = vrelpy.__all__
        del sys.modules["vrelpy"]
        import vrelpy as second
        assert second is first, "a new module object was made"
        assert (second.Vrel, second.Statement, second.Expr) == classes
        assert second.Vrel is classes[0] and second.Expr is classes[2]
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
    assert lines[1].startswith("PyO3 modules do not yet support subinterpreters, see ")
    assert len(lines[1]) > len("PyO3 modules do not yet support subinterpreters, see ")
    assert lines[2] == "still here"
