# Columns of every element type a rule set reads without a Python object per element: each
# value reaches the rules as the int, float, bool or text the same value in a list would be.
import math

import pytest

from vrelpy import Expr, RuleSet

np = pytest.importorskip("numpy")

IDENTITY = RuleSet({"r": Expr.ident("x")})


def as_python(values):
    return [v.item() if hasattr(v, "item") else v for v in values]


@pytest.mark.parametrize("dtype", ["int8", "int16", "int32", "int64", "uint8", "uint16",
                                   "uint32", "uint64", "float32", "float64", "bool"])
def test_numpy_columns_of_every_type_read_as_their_values(dtype):
    info = np.iinfo(dtype) if np.dtype(dtype).kind in "iu" else None
    values = [info.min, 0, 1, info.max] if info else ([True, False] if dtype == "bool" else [0.5, -2.0, math.inf])
    column = np.array(values, dtype=dtype)
    got = as_python(IDENTITY.evaluate({"x": column})["r"])
    expected = [RuleSet({"r": Expr.literal(v)}).evaluate([{}])[0]["r"] for v in column.tolist()]
    assert got == expected
    assert [type(g) for g in got] == [type(e) for e in expected]


@pytest.mark.parametrize("arrow_type", ["int8", "int16", "int32", "uint16", "uint32", "uint64",
                                        "float32", "bool_", "string", "large_string", "string_view"])
def test_arrow_columns_of_every_type_read_as_their_values(arrow_type):
    pa = pytest.importorskip("pyarrow")
    if arrow_type == "string_view" and not hasattr(pa, "string_view"):
        pytest.skip("this pyarrow has no string views")
    values = {"bool_": [True, None, False], "string": ["a", None, "long text past twelve bytes"],
              "large_string": ["a", None, "é"], "string_view": ["short", None, "x" * 40],
              "float32": [0.5, None, -1.0]}.get(arrow_type, [1, None, 7])
    table = pa.table({"x": pa.array(values, type=getattr(pa, arrow_type)())})
    got = pa.table(IDENTITY.evaluate(table)).column("r").to_pylist()
    # A null input is a missing field: the rule fails there and its result is null.
    assert got[0] == values[0] and got[2] == values[2] and got[1] is None
