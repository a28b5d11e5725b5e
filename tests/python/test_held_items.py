"""Items of mutable containers that Python code can empty while they convert: every binding
path holds what it converts. Each case runs in a child interpreter with a capped address
space, so that a use after free fails one test instead of the run."""

import os
import textwrap

import pytest

from support import assert_clean_exit, run_python_capped

PRELUDE = f"""
import sys
sys.path.insert(0, {os.path.dirname(__file__)!r})
from support import evaluate
from vrelpy import Expr, Statement, Vrel
"""

# Each snippet ends by checking what was bound; before the fix, the first two read freed
# memory (a crash, or a value read from a reused block).
CASES = {
    "update-list-pair-key-index": """
        class Key:
            def __index__(self):
                pair.clear()          # the list held the only references
                return 5
        pair = [Key(), ["a value", "only the list holds"]]
        vm = Vrel()
        vm.update([pair])
        assert vm[5] == ["a value", "only the list holds"], vm[5]
    """,
    "update-list-pair-value-float": """
        class Number:
            def __float__(self):
                pair.clear()
                return 2.5
        pair = ["k" * 40, Number()]
        vm = Vrel()
        vm.update([pair])
        assert vm["k" * 40] == 2.5
    """,
    "update-list-pair-value-sequence": """
        class Items:
            def __len__(self):
                return 2
            def __getitem__(self, i):
                if i >= 2:
                    raise IndexError(i)
                pairs.clear()
                return "x" * 100 + str(i)
        pairs = [["key" + "!" * 50, Items()]]
        vm = Vrel()
        vm.update(pairs)
        assert vm["key" + "!" * 50] == ["x" * 100 + "0", "x" * 100 + "1"]
    """,
    "update-dict-value-clears-dict": """
        class Number:
            def __index__(self):
                d.clear()
                return 7
        d = {"k" + "?" * 40: Number(), "other": 1}
        vm = Vrel()
        try:
            vm.update(d)
        except RuntimeError:
            pass                  # the dict changed size: refused, or
        assert "other" not in vm or vm["other"] == 1
    """,
    "literal-list-item-clears-list": """
        class Number:
            def __index__(self):
                items.clear()
                return 3
        items = [Number(), "y" * 64, "z" * 64]
        assert evaluate(Expr.literal(items)) == [3]
    """,
    "function-result-item-clears-list": """
        class Number:
            def __float__(self):
                result.clear()
                return 1.5
        result = [Number(), "w" * 64]
        def f(x):
            return result
        vm = Vrel()
        vm.run([Statement.fn("f", f), Statement.let("r", Expr.call("f", Expr.literal(0)))])
        assert vm["r"] == [1.5]
    """,
    "run-statement-list-cleared-by-a-call": """
        def f(x):
            program.clear()
            return x
        program = [Statement.fn("f", f), Statement.let("a", Expr.call("f", Expr.literal(1))),
                   Statement.let("b", Expr.literal("kept" * 20))]
        vm = Vrel()
        vm.run(program)
        assert vm["a"] == 1 and vm["b"] == "kept" * 20
    """,
}


@pytest.mark.parametrize("name", sorted(CASES))
def test_items_stay_alive_while_they_convert(name):
    proc = run_python_capped(PRELUDE + textwrap.dedent(CASES[name]), timeout=60)
    assert_clean_exit(proc)
