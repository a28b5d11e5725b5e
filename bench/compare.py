#!/usr/bin/env python3.13
"""Side-by-side benchmark of vrelpy against the evaluators a Python user would pick.

One command does everything:

    python3.13 bench/compare.py            # full run (about 5-10 minutes on 2 cores)
    python3.13 bench/compare.py --quick    # smaller budgets, fewer repetitions (< 2 minutes)

It creates bench/.venv (git-ignored), installs the peers from PyPI and vrelpy from this
repository into it (the build directory is /tmp/bench_build/<wheel tag>, never the
repository's own build/), then re-executes itself inside that venv. It prints a table of the
median time per operation of every workload on every system, with the ratio to vrelpy, then
the project's targets with met/missed, and writes the same figures as JSON (default
bench/results.json, git-ignored).

Systems: vrelpy; CPython's own exec/eval of precompiled code (the unsafe baseline); lupa
(Lua inside Python); simpleeval; asteval; cel-python (module celpy); common-expression-language
(module cel). A peer that fails to install or import is shown as "unavailable".

Every workload is written in each system's own idiom, compiled ahead where the system allows
it, and its result is checked against a plain Python computation before it is timed. A
workload that a system cannot express is shown as "n/a" with the reason.

Operations ("per op" in the table):
  W1 statements  one run of a program of 1,000 bindings x_i = x_(i-1) + 2*i - 1, on a fresh
                 variable namespace: a new Vrel() per run for vrelpy, a new dict for exec, a
                 new _ENV table for Lua, a new Interpreter for asteval (creating the namespace
                 is part of the cost everywhere).
  W2 expression  one evaluation of a 200-node arithmetic/comparison expression over 10
                 variables with fresh values; setting the variables is part of the cost
                 (vrelpy: 10 lets of literals plus a let of the expression on one machine,
                 then get). The expression is the same tree rendered in every idiom.
  W3 host calls  one call of a Python function with one int argument made from inside the
                 language: a program of 10,000 lets acc = acc + f(i) (statement languages) or
                 one balanced sum of 10,000 calls f(i) (expression-only languages). "python
                 direct" is the same function called from a Python loop.
  W4 data        one transfer of 100,000 ints or 100,000 short strs: reading back a variable
                 holding a vector (vrelpy: get), or passing a list in (vrelpy: Expr.literal +
                 run of a let). "python floor" is list(range(n)) for ints, list(strs) for strs.
  W5 building    building a left-deep chain of 1,000 additions (2,001 nodes) bottom-up with
                 the builders, and building 2,000 separate leaves (Expr.literal).
  W6 store       the C++ store under 90% reads / 10% inserts, 1 and 2 threads (from
                 bench/core_bench.cpp, built with CMake in /tmp/bench_core).

The workload definitions (tree generators, reference results, the vrelpy side of each workload)
are importable without venvs; tests/python/test_compare_workloads.py runs them on tiny sizes.
"""

from __future__ import annotations

import argparse
import datetime
import json
import os
import platform
import random
import re
import shutil
import statistics
import subprocess
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Callable

BENCH_DIR = Path(__file__).resolve().parent
REPO = BENCH_DIR.parent
VENV = BENCH_DIR / ".venv"
DEFAULT_JSON = BENCH_DIR / "results.json"
BUILD_DIR = "/tmp/bench_build/{wheel_tag}"
CORE_BUILD_DIR = Path("/tmp/bench_core")

# PyPI name -> import name.
PEER_PACKAGES = {
    "lupa": "lupa",
    "simpleeval": "simpleeval",
    "asteval": "asteval",
    "cel-python": "celpy",
    "common-expression-language": "cel",
}

SYSTEMS = ["vrelpy", "python exec", "lupa", "simpleeval", "asteval", "cel-python", "cel (rust)"]
PURE_PYTHON_SAFE = ["simpleeval", "asteval", "cel-python"]


class NotApplicable(Exception):
    """The system cannot express the workload; the message says why."""


# ---------------------------------------------------------------------------------------------
# Workload definitions shared by every system (plain Python, no third-party imports).
# ---------------------------------------------------------------------------------------------

W1_BINDINGS = 1_000
W2_NODES = 200
W2_VARS = 10
W2_EVALS = 10_000
W3_CALLS = 10_000
W4_ELEMS = 100_000
W5_CHAIN_OPS = 1_000  # 1,000 additions + 1,001 leaves = 2,001 nodes
W5_LEAVES = 2_000


def w1_expected(n: int) -> int:
    """x_0 = 0, x_i = x_(i-1) + 2*i - 1, so x_(n-1) = (n-1)**2."""
    x = 0
    for i in range(1, n):
        x = x + 2 * i - 1
    return x


def w1_python_source(n: int) -> str:
    lines = ["x_0 = 0"]
    lines += [f"x_{i} = x_{i - 1} + 2 * {i} - 1" for i in range(1, n)]
    return "\n".join(lines) + "\n"


# Expression trees of W2 are tuples:
#   ("var", name) | ("lit", int) | ("bin", "+"|"-"|"*", l, r) | ("eq", l, r) | ("not", x)
#   | ("gt", l, r) | ("lt", l, r)


def w2_var_names(k: int = W2_VARS) -> list[str]:
    return [f"v{i}" for i in range(k)]


def count_nodes(node: tuple) -> int:
    kind = node[0]
    if kind in ("var", "lit"):
        return 1
    if kind == "not":
        return 1 + count_nodes(node[1])
    if kind == "bin":
        return 1 + count_nodes(node[2]) + count_nodes(node[3])
    return 1 + count_nodes(node[1]) + count_nodes(node[2])


def w2_tree(nodes: int = W2_NODES, nvars: int = W2_VARS, seed: int = 5) -> tuple:
    """A boolean tree of exactly `nodes` nodes: comparisons of small arithmetic terms over the
    variables, combined by equality and negation. Literals are 0..9 and multiplication only
    joins small terms, so values stay far from 64-bit overflow."""
    rng = random.Random(seed)
    names = w2_var_names(nvars)

    def leaf() -> tuple:
        if rng.random() < 0.75:
            return ("var", rng.choice(names))
        return ("lit", rng.randrange(10))

    def int_tree(n: int) -> tuple:
        # Binary operators only, so an arithmetic tree always has an odd number of nodes.
        assert n % 2 == 1
        if n == 1:
            return leaf()
        a = rng.randrange(1, n - 1, 2)
        op = rng.choice("+-*") if n <= 5 else rng.choice("+-")
        return ("bin", op, int_tree(a), int_tree(n - 1 - a))

    def bool_tree(n: int) -> tuple:
        assert n >= 3
        if n <= 14:
            if n % 2 == 0:
                return ("not", bool_tree(n - 1))
            a = rng.randrange(1, n - 1, 2)
            kind = rng.choice(("gt", "lt", "lt", "gt", "eq"))
            return (kind, int_tree(a), int_tree(n - 1 - a))
        if rng.random() < 0.1:
            return ("not", bool_tree(n - 1))
        a = rng.randrange(3, n - 3)
        return ("eq", bool_tree(a), bool_tree(n - 1 - a))

    tree = bool_tree(nodes)
    assert count_nodes(tree) == nodes
    return tree


def w2_inputs(rows: int = W2_EVALS, nvars: int = W2_VARS, seed: int = 7) -> list[tuple[int, ...]]:
    rng = random.Random(seed)
    return [tuple(rng.randint(-20, 20) for _ in range(nvars)) for _ in range(rows)]


def eval_tree(node: tuple, env: dict[str, int]) -> Any:
    """Reference evaluation of a W2 tree by plain Python."""
    kind = node[0]
    if kind == "var":
        return env[node[1]]
    if kind == "lit":
        return node[1]
    if kind == "bin":
        a, b = eval_tree(node[2], env), eval_tree(node[3], env)
        return a + b if node[1] == "+" else a - b if node[1] == "-" else a * b
    if kind == "not":
        return not eval_tree(node[1], env)
    a, b = eval_tree(node[1], env), eval_tree(node[2], env)
    return a == b if kind == "eq" else a > b if kind == "gt" else a < b


def w2_expected(tree: tuple, rows: list[tuple[int, ...]]) -> list[bool]:
    names = w2_var_names(len(rows[0]) if rows else W2_VARS)
    return [bool(eval_tree(tree, dict(zip(names, row)))) for row in rows]


_INFIX = {"eq": "==", "gt": ">", "lt": "<"}


def render_infix(node: tuple, not_fmt: str = "(not {})") -> str:
    """Fully parenthesised infix text; the same text is valid Python, Lua and (with
    not_fmt="!({})") CEL."""
    kind = node[0]
    if kind == "var":
        return node[1]
    if kind == "lit":
        return str(node[1])
    if kind == "bin":
        return f"({render_infix(node[2], not_fmt)} {node[1]} {render_infix(node[3], not_fmt)})"
    if kind == "not":
        return not_fmt.format(render_infix(node[1], not_fmt))
    return f"({render_infix(node[1], not_fmt)} {_INFIX[kind]} {render_infix(node[2], not_fmt)})"


def host(x: int) -> int:
    """The Python function that W3 calls from inside each language."""
    return 2 * x + 1


def w3_expected(n: int) -> int:
    return sum(host(i) for i in range(n))


def w3_statement_source(n: int) -> str:
    return "acc = 0\n" + "".join(f"acc = acc + f({i})\n" for i in range(n))


def w3_balanced_sum(n: int) -> str:
    """f(0) + ... + f(n-1) as a balanced tree of additions (shallow, so every parser copes)."""
    items = [f"f({i})" for i in range(n)]
    while len(items) > 1:
        items = [
            f"({items[i]} + {items[i + 1]})" if i + 1 < len(items) else items[i]
            for i in range(0, len(items), 2)
        ]
    return items[0]


def w4_ints(n: int) -> list[int]:
    return list(range(n))


def w4_strs(n: int) -> list[str]:
    return [f"s{i}" for i in range(n)]


def w5_expected(n_ops: int) -> int:
    return sum(range(n_ops + 1))


# ---------------------------------------------------------------------------------------------
# A case: a callable timed per call, the number of operations one call performs, and how to
# turn its output into the value that is checked.
# ---------------------------------------------------------------------------------------------


@dataclass
class Case:
    fn: Callable[[], Any]
    ops_per_call: int
    expected: Any
    result: Callable[[Any], Any] = lambda out: out
    note: str = ""
    # Optional: rebuild the case with fewer operations per call (slow systems in W2).
    shrink: Callable[[int], "Case"] | None = None
    calls_per_sample: int = 1

    def check(self) -> None:
        got = self.result(self.fn())
        if got != self.expected:
            shown = got if len(repr(got)) < 200 else repr(got)[:200] + "..."
            raise AssertionError(f"result mismatch: got {shown!r}, expected {self.expected!r:.200}")


# ---- vrelpy ---------------------------------------------------------------------------------


def vrel_w1(n: int = W1_BINDINGS) -> Case:
    from vrelpy import Expr as E, Statement as S, Vrel

    program = [S.let("x_0", E.literal(0))]
    for i in range(1, n):
        # 2*i is folded while building, as CPython's compiler folds it in the exec baseline:
        # both then evaluate the same two operations per binding.
        grown = E.binary_op(E.ident(f"x_{i - 1}"), "+", E.literal(2 * i))
        program.append(S.let(f"x_{i}", E.binary_op(grown, "-", E.literal(1))))
    last = f"x_{n - 1}"

    def run() -> int:
        m = Vrel()
        m.run(program)
        return m.get(last)

    return Case(run, 1, w1_expected(n))


def vrel_w2(tree: tuple, rows: list[tuple[int, ...]]) -> Case:
    from vrelpy import Expr as E, Statement as S, Vrel

    def build(node: tuple):
        kind = node[0]
        if kind == "var":
            return E.ident(node[1])
        if kind == "lit":
            return E.literal(node[1])
        if kind == "bin":
            return E.binary_op(build(node[2]), node[1], build(node[3]))
        if kind == "not":
            return E.not_(build(node[1]))
        a, b = build(node[1]), build(node[2])
        return E.equals(a, b) if kind == "eq" else E.greater_than(a, b) if kind == "gt" else E.less_than(a, b)

    names = w2_var_names(len(rows[0]))
    let_r = S.let("r", build(tree))
    machine = Vrel()
    let, literal = S.let, E.literal

    def run() -> list[bool]:
        out = []
        for row in rows:
            stmts = [let(name, literal(v)) for name, v in zip(names, row)]
            stmts.append(let_r)
            machine.run(stmts)
            out.append(machine.get("r"))
        return out

    return Case(run, len(rows), w2_expected(tree, rows))


def vrel_w3(n: int = W3_CALLS) -> Case:
    from vrelpy import Expr as E, Statement as S, Vrel

    program = [S.fn("f", host), S.let("acc", E.literal(0))]
    program += [
        S.let("acc", E.binary_op(E.ident("acc"), "+", E.call("f", E.literal(i)))) for i in range(n)
    ]

    def run() -> int:
        m = Vrel()
        m.run(program)
        return m.get("acc")

    return Case(run, n, w3_expected(n))


def vrel_w4_read(values: list) -> Case:
    from vrelpy import Expr as E, Statement as S, Vrel

    m = Vrel()
    m.run([S.let("v", E.literal(values))])
    return Case(lambda: m.get("v"), 1, values)


def vrel_w4_pass(values: list) -> Case:
    from vrelpy import Expr as E, Statement as S, Vrel

    m = Vrel()

    def run() -> None:
        m.run([S.let("v", E.literal(values))])

    return Case(run, 1, values, result=lambda _: m.get("v"))


def vrel_w5_chain(n_ops: int = W5_CHAIN_OPS) -> Case:
    from vrelpy import Expr as E, Statement as S, Vrel

    def build():
        e = E.literal(0)
        for i in range(1, n_ops + 1):
            e = E.binary_op(e, "+", E.literal(i))
        return e

    def evaluate(e) -> int:
        m = Vrel()
        m.run([S.let("r", e)])
        return m.get("r")

    return Case(build, 1, w5_expected(n_ops), result=evaluate)


def vrel_w5_leaves(n: int = W5_LEAVES) -> Case:
    from vrelpy import Expr as E, Statement as S, Vrel

    def build():
        return [E.literal(i) for i in range(n)]

    def evaluate(leaves) -> list[int]:
        m = Vrel()
        m.run([S.let("r", E.vector(leaves))])
        return m.get("r")

    return Case(build, 1, list(range(n)), result=evaluate)


# ---- CPython exec/eval (unsafe baseline) and the direct-call floor --------------------------


def python_w1(n: int = W1_BINDINGS) -> Case:
    code = compile(w1_python_source(n), "<w1>", "exec")
    last = f"x_{n - 1}"

    def run() -> int:
        ns: dict[str, Any] = {}
        exec(code, ns)
        return ns[last]

    return Case(run, 1, w1_expected(n))


def python_w2(tree: tuple, rows: list[tuple[int, ...]]) -> Case:
    code = compile(render_infix(tree), "<w2>", "eval")
    names = w2_var_names(len(rows[0]))
    glob: dict[str, Any] = {"__builtins__": {}}

    def run() -> list[bool]:
        return [eval(code, glob, dict(zip(names, row))) for row in rows]

    return Case(run, len(rows), w2_expected(tree, rows))


def python_w3(n: int = W3_CALLS) -> Case:
    code = compile(w3_statement_source(n), "<w3>", "exec")

    def run() -> int:
        ns: dict[str, Any] = {"f": host}
        exec(code, ns)
        return ns["acc"]

    return Case(run, n, w3_expected(n))


def python_direct_w3(n: int = W3_CALLS) -> Case:
    def run() -> int:
        acc = 0
        f = host
        for i in range(n):
            acc = acc + f(i)
        return acc

    return Case(run, n, w3_expected(n), note="the function called from a Python loop")


def python_ast_chain(n_ops: int = W5_CHAIN_OPS) -> Case:
    import ast

    def build():
        e: ast.expr = ast.Constant(0)
        for i in range(1, n_ops + 1):
            e = ast.BinOp(e, ast.Add(), ast.Constant(i))
        return e

    def evaluate(e) -> int:
        return eval(compile(ast.fix_missing_locations(ast.Expression(e)), "<w5>", "eval"))

    return Case(build, 1, w5_expected(n_ops), result=evaluate, note="ast.BinOp/ast.Constant")


def python_ast_leaves(n: int = W5_LEAVES) -> Case:
    import ast

    def build():
        return [ast.Constant(i) for i in range(n)]

    return Case(build, 1, list(range(n)), result=lambda leaves: [c.value for c in leaves],
                note="ast.Constant")


# ---- lupa ---------------------------------------------------------------------------------


def _lua():
    import lupa

    return lupa.LuaRuntime()


def lupa_w1(n: int = W1_BINDINGS) -> Case:
    lua = _lua()
    body = w1_python_source(n)
    chunk = lua.eval(f"function()\nlocal _ENV = {{}}\n{body}return x_{n - 1}\nend")
    return Case(lambda: chunk(), 1, w1_expected(n), note="fresh _ENV table per run")


def lupa_w2(tree: tuple, rows: list[tuple[int, ...]]) -> Case:
    lua = _lua()
    names = w2_var_names(len(rows[0]))
    f = lua.eval(f"function({', '.join(names)}) return {render_infix(tree)} end")

    def run() -> list[bool]:
        return [f(*row) for row in rows]

    return Case(run, len(rows), w2_expected(tree, rows), note="variables as function arguments",
                shrink=lambda k: lupa_w2(tree, rows[:k]))


def lupa_w3(n: int = W3_CALLS) -> Case:
    lua = _lua()
    body = "".join(f"acc = acc + f({i})\n" for i in range(n))
    chunk = lua.eval(f"function(f)\nlocal acc = 0\n{body}return acc\nend")
    return Case(lambda: chunk(host), n, w3_expected(n))


def lupa_w4_read(values: list, built_in_lua: bool) -> Case:
    lua = _lua()
    g = lua.globals()
    if built_in_lua:
        lua.execute(f"v = {{}} for i = 0, {len(values) - 1} do v[i + 1] = i end")
    else:
        g.v = lua.table_from(values)
    return Case(lambda: list(g.v.values()), 1, values, note="list(table.values())")


def lupa_w4_pass(values: list) -> Case:
    lua = _lua()
    g = lua.globals()

    def run() -> None:
        g.v = lua.table_from(values)

    return Case(run, 1, values, result=lambda _: list(g.v.values()), note="lua.table_from")


# ---- simpleeval -----------------------------------------------------------------------------


def simpleeval_w2(tree: tuple, rows: list[tuple[int, ...]]) -> Case:
    from simpleeval import SimpleEval

    src = render_infix(tree)
    s = SimpleEval()
    parsed = s.parse(src)
    names = w2_var_names(len(rows[0]))

    def run() -> list[bool]:
        out = []
        for row in rows:
            s.names = dict(zip(names, row))
            out.append(s.eval(src, previously_parsed=parsed))
        return out

    return Case(run, len(rows), w2_expected(tree, rows), shrink=lambda k: simpleeval_w2(tree, rows[:k]))


def simpleeval_w3(n: int = W3_CALLS) -> Case:
    from simpleeval import SimpleEval

    src = w3_balanced_sum(n)
    s = SimpleEval(functions={"f": host})
    parsed = s.parse(src)
    return Case(lambda: s.eval(src, previously_parsed=parsed), n, w3_expected(n),
                note="one expression: balanced sum of calls")


# ---- asteval --------------------------------------------------------------------------------


def asteval_w1(n: int = W1_BINDINGS) -> Case:
    from asteval import Interpreter

    node = Interpreter(max_statement_length=10**8).parse(w1_python_source(n))
    last = f"x_{n - 1}"

    def run() -> int:
        interp = Interpreter()
        interp.run(node)
        return interp.symtable[last]

    return Case(run, 1, w1_expected(n), note="fresh Interpreter per run")


def asteval_w2(tree: tuple, rows: list[tuple[int, ...]]) -> Case:
    from asteval import Interpreter

    interp = Interpreter()
    node = interp.parse(render_infix(tree))
    names = w2_var_names(len(rows[0]))
    sym = interp.symtable

    def run() -> list[bool]:
        out = []
        for row in rows:
            sym.update(zip(names, row))
            out.append(interp.run(node))
        return out

    return Case(run, len(rows), w2_expected(tree, rows), shrink=lambda k: asteval_w2(tree, rows[:k]))


def asteval_w3(n: int = W3_CALLS) -> Case:
    from asteval import Interpreter

    # The program text is longer than asteval's default limit of 50,000 characters.
    node = Interpreter(max_statement_length=10**8).parse(w3_statement_source(n))

    def run() -> int:
        interp = Interpreter()
        interp.symtable["f"] = host
        interp.run(node)
        return interp.symtable["acc"]

    return Case(run, n, w3_expected(n), note="fresh Interpreter per run")


# ---- cel-python (celpy) ---------------------------------------------------------------------


def celpy_w2(tree: tuple, rows: list[tuple[int, ...]]) -> Case:
    import celpy
    from celpy import celtypes

    env = celpy.Environment()
    prg = env.program(env.compile(render_infix(tree, "!({})")))
    names = w2_var_names(len(rows[0]))
    Int = celtypes.IntType

    def run() -> list[bool]:
        return [bool(prg.evaluate({k: Int(v) for k, v in zip(names, row)})) for row in rows]

    return Case(run, len(rows), w2_expected(tree, rows), shrink=lambda k: celpy_w2(tree, rows[:k]))


def celpy_w3(n: int = W3_CALLS) -> Case:
    import celpy

    env = celpy.Environment()
    prg = env.program(env.compile(w3_balanced_sum(n)), functions={"f": host})
    return Case(lambda: int(prg.evaluate({})), n, w3_expected(n),
                note="one expression: balanced sum of calls")


def celpy_w4_pass(values: list) -> Case:
    import celpy

    env = celpy.Environment()
    prg = env.program(env.compile("size(v)"))
    return Case(lambda: int(prg.evaluate({"v": celpy.json_to_cel(values)})), 1, len(values),
                note="json_to_cel + size(v)")


# ---- common-expression-language (cel) -------------------------------------------------------


def cel_w2(tree: tuple, rows: list[tuple[int, ...]]) -> Case:
    import cel

    prg = cel.compile(render_infix(tree, "!({})"))
    names = w2_var_names(len(rows[0]))

    def run() -> list[bool]:
        return [prg.execute(dict(zip(names, row))) for row in rows]

    return Case(run, len(rows), w2_expected(tree, rows), shrink=lambda k: cel_w2(tree, rows[:k]))


def cel_w3(n: int = W3_CALLS) -> Case:
    import cel

    prg = cel.compile(w3_balanced_sum(n))
    ctx = cel.Context(functions={"f": host})
    return Case(lambda: prg.execute(ctx), n, w3_expected(n), note="one expression: balanced sum of calls")


def cel_w4_pass(values: list) -> Case:
    import cel

    prg = cel.compile("size(v)")
    return Case(lambda: prg.execute({"v": values}), 1, len(values), note="size(v)")


# ---- floors ---------------------------------------------------------------------------------


def floor_case(fn: Callable[[], Any], expected: Any, note: str) -> Case:
    return Case(fn, 1, expected, note=note)


# ---------------------------------------------------------------------------------------------
# The table of workloads x systems.
# ---------------------------------------------------------------------------------------------

NA_STATEMENTS_EXPR_ONLY = "expressions only: no statements or bindings"
NA_NO_BUILDER = "programs are source text: no tree-building API"
NA_HOST_OBJECTS = "variables are the host's own objects: nothing is converted"
NA_NO_STORE = "no variable store to read back: variables are per-evaluation inputs"


@dataclass
class Row:
    workload: str
    system: str
    make: Callable[[], Case] | None = None
    na: str = ""
    reference: bool = False  # a floor or direct-call baseline, not a peer


def workload_rows(tree: tuple, rows: list[tuple[int, ...]], quick: bool = False) -> list[Row]:
    # cel-python needs seconds to parse and run the 10,000-call expression: fewer calls with
    # --quick (the figure is per call either way).
    celpy_calls = 1_000 if quick else W3_CALLS
    ints, strs = w4_ints(W4_ELEMS), w4_strs(W4_ELEMS)
    R = Row
    w4r_i, w4r_s, w4p = "W4 read ints", "W4 read strs", "W4 pass ints"
    return [
        R("W1 statements", "vrelpy", lambda: vrel_w1()),
        R("W1 statements", "python exec", lambda: python_w1()),
        R("W1 statements", "lupa", lambda: lupa_w1()),
        R("W1 statements", "simpleeval", na=NA_STATEMENTS_EXPR_ONLY),
        R("W1 statements", "asteval", lambda: asteval_w1()),
        R("W1 statements", "cel-python", na=NA_STATEMENTS_EXPR_ONLY),
        R("W1 statements", "cel (rust)", na=NA_STATEMENTS_EXPR_ONLY),
        R("W2 expression", "vrelpy", lambda: vrel_w2(tree, rows)),
        R("W2 expression", "python exec", lambda: python_w2(tree, rows)),
        R("W2 expression", "lupa", lambda: lupa_w2(tree, rows)),
        R("W2 expression", "simpleeval", lambda: simpleeval_w2(tree, rows)),
        R("W2 expression", "asteval", lambda: asteval_w2(tree, rows)),
        R("W2 expression", "cel-python", lambda: celpy_w2(tree, rows)),
        R("W2 expression", "cel (rust)", lambda: cel_w2(tree, rows)),
        R("W3 host calls", "vrelpy", lambda: vrel_w3()),
        R("W3 host calls", "python direct", lambda: python_direct_w3(), reference=True),
        R("W3 host calls", "python exec", lambda: python_w3()),
        R("W3 host calls", "lupa", lambda: lupa_w3()),
        R("W3 host calls", "simpleeval", lambda: simpleeval_w3()),
        R("W3 host calls", "asteval", lambda: asteval_w3()),
        R("W3 host calls", "cel-python", lambda: celpy_w3(celpy_calls)),
        R("W3 host calls", "cel (rust)", lambda: cel_w3()),
        R(w4r_i, "vrelpy", lambda: vrel_w4_read(ints)),
        R(w4r_i, "python floor", lambda: floor_case(lambda: list(range(W4_ELEMS)), ints,
                                                   "list(range(n))"), reference=True),
        R(w4r_i, "lupa", lambda: lupa_w4_read(ints, built_in_lua=True)),
        *[R(w4r_i, s, na=NA_HOST_OBJECTS) for s in ("python exec", "simpleeval", "asteval")],
        *[R(w4r_i, s, na=NA_NO_STORE) for s in ("cel-python", "cel (rust)")],
        R(w4r_s, "vrelpy", lambda: vrel_w4_read(strs)),
        R(w4r_s, "python floor", lambda: floor_case(lambda: list(strs), strs, "list(strs)"),
          reference=True),
        R(w4r_s, "lupa", lambda: lupa_w4_read(strs, built_in_lua=False)),
        *[R(w4r_s, s, na=NA_HOST_OBJECTS) for s in ("python exec", "simpleeval", "asteval")],
        *[R(w4r_s, s, na=NA_NO_STORE) for s in ("cel-python", "cel (rust)")],
        R(w4p, "vrelpy", lambda: vrel_w4_pass(ints)),
        # The floor for ints is list(range(n)) in both directions: creating n int objects
        # is what the interpreter itself needs for this data (list(ints) only copies
        # references to objects that already exist).
        R(w4p, "python floor", lambda: floor_case(lambda: list(range(W4_ELEMS)), ints,
                                                 "list(range(n))"), reference=True),
        R(w4p, "lupa", lambda: lupa_w4_pass(ints)),
        *[R(w4p, s, na=NA_HOST_OBJECTS) for s in ("python exec", "simpleeval", "asteval")],
        R(w4p, "cel-python", lambda: celpy_w4_pass(ints)),
        R(w4p, "cel (rust)", lambda: cel_w4_pass(ints)),
        R("W5 build chain", "vrelpy", lambda: vrel_w5_chain()),
        R("W5 build chain", "python ast", lambda: python_ast_chain()),
        *[R("W5 build chain", s, na=NA_NO_BUILDER)
          for s in ("lupa", "simpleeval", "asteval", "cel-python", "cel (rust)")],
        R("W5 build leaves", "vrelpy", lambda: vrel_w5_leaves()),
        R("W5 build leaves", "python ast", lambda: python_ast_leaves()),
    ]


SYSTEM_MODULE = {
    "lupa": "lupa",
    "simpleeval": "simpleeval",
    "asteval": "asteval",
    "cel-python": "celpy",
    "cel (rust)": "cel",
}
MODULE_PACKAGE = {v: k for k, v in PEER_PACKAGES.items()}


# ---------------------------------------------------------------------------------------------
# Timing.
# ---------------------------------------------------------------------------------------------


@dataclass
class Result:
    workload: str
    system: str
    status: str  # "ok", "n/a", "unavailable", "failed"
    reason: str = ""
    median_s: float | None = None  # median seconds per operation
    samples_s: list[float] = field(default_factory=list)  # seconds per operation, per repetition
    ops_per_call: int = 0
    calls_per_sample: int = 1
    reference: bool = False
    ratio: float | None = None  # this system's time / vrelpy's time (> 1: vrelpy is faster)


def prepare_case(case: Case, budget_s: float) -> Case:
    """Checks the case and warms it up. A case that can shrink (W2) is first probed on a few
    operations and cut down so that one call fits in `budget_s`."""
    if case.shrink is not None and case.ops_per_call > 50:
        probe = case.shrink(20)
        probe.check()
        t0 = time.perf_counter()
        probe.fn()
        per_op = (time.perf_counter() - t0) / probe.ops_per_call
        k = max(50, int(budget_s / per_op)) if per_op > 0 else case.ops_per_call
        if k < case.ops_per_call:
            case = case.shrink(k)
    t0 = time.perf_counter()
    case.check()  # also the first warm-up
    if time.perf_counter() - t0 < 0.5:
        t0 = time.perf_counter()
        case.fn()  # one more warm-up call for the fast ones, which also sizes the samples
        call_s = time.perf_counter() - t0
        # A sample of a fast case runs it several times, for at least MIN_SAMPLE_S.
        case.calls_per_sample = max(1, min(1000, int(MIN_SAMPLE_S / max(call_s, 1e-9))))
    return case


MIN_SAMPLE_S = 0.02


def time_sample(case: Case) -> float:
    """Seconds per operation of one sample (one or more calls)."""
    fn, calls = case.fn, case.calls_per_sample
    t0 = time.perf_counter()
    for _ in range(calls):
        fn()
    return (time.perf_counter() - t0) / (case.ops_per_call * calls)


def fmt_time(s: float | None) -> str:
    if s is None:
        return "-"
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("us", 1e-6)):
        if s >= scale:
            return f"{s / scale:.3g} {unit}"
    return f"{s / 1e-9:.3g} ns"


def run_all(args: argparse.Namespace, unavailable: dict[str, str]) -> list[Result]:
    """Prepares (checks, warms up) every system of a workload, then times the systems
    round-robin, one call each per repetition, so that a change of machine load during the run
    touches every system alike."""
    tree = w2_tree()
    inputs = w2_inputs()
    results: list[Result] = []
    groups: dict[str, list[Row]] = {}
    for row in workload_rows(tree, inputs, args.quick):
        if not args.only or any(o.lower() in row.workload.lower() for o in args.only):
            groups.setdefault(row.workload, []).append(row)
    for workload, rows in groups.items():
        started = time.perf_counter()
        prepared: list[tuple[Result, Case]] = []
        for row in rows:
            res = Result(row.workload, row.system, "ok", reference=row.reference)
            results.append(res)
            mod = SYSTEM_MODULE.get(row.system)
            if row.na:
                res.status, res.reason = "n/a", row.na
            elif mod and mod in unavailable:
                res.status, res.reason = "unavailable", unavailable[mod]
            else:
                try:
                    case = prepare_case(row.make(), args.budget)
                    res.ops_per_call, res.reason = case.ops_per_call, case.note
                    res.calls_per_sample = case.calls_per_sample
                    prepared.append((res, case))
                except NotApplicable as e:
                    res.status, res.reason = "n/a", str(e)
                except Exception as e:  # a broken peer must not end the run
                    res.status, res.reason = "failed", f"{type(e).__name__}: {e}"[:160]
        for _ in range(args.repeat):
            for res, case in prepared:
                res.samples_s.append(time_sample(case))
        for res, _ in prepared:
            res.median_s = statistics.median(res.samples_s)
        if args.verbose:
            print(f"  {workload:<16} ({time.perf_counter() - started:.1f} s)", file=sys.stderr, flush=True)
            for res in results[-len(rows):]:
                print(f"    {res.system:<14} {res.status:<11} {fmt_time(res.median_s):>10}",
                      file=sys.stderr, flush=True)
    base = {r.workload: r.median_s for r in results if r.system == "vrelpy" and r.median_s}
    for r in results:
        if r.median_s and r.workload in base:
            r.ratio = r.median_s / base[r.workload]
    return results


# ---------------------------------------------------------------------------------------------
# W6: the core benchmark of the C++ store.
# ---------------------------------------------------------------------------------------------

STORE_LINE = re.compile(r"store 90% reads / 10% inserts, (\d+) thread\(s\): ([\d.]+) M ops/s")


def run_w6(verbose: bool) -> dict[str, Any]:
    if shutil.which("cmake") is None:
        return {"status": "unavailable", "reason": "cmake not found"}
    out = sys.stderr if verbose else subprocess.DEVNULL
    try:
        subprocess.run(["cmake", "-S", str(REPO), "-B", str(CORE_BUILD_DIR), "-DCMAKE_BUILD_TYPE=Release",
                        "-DVRELPY_BUILD_TESTS=OFF", "-DVRELPY_BUILD_BENCH=ON"],
                       check=True, stdout=out, stderr=subprocess.STDOUT)
        subprocess.run(["cmake", "--build", str(CORE_BUILD_DIR), "-j2", "--target", "vrel_core_bench"],
                       check=True, stdout=out, stderr=subprocess.STDOUT)
        exe = next(p for p in CORE_BUILD_DIR.rglob("vrel_core_bench") if p.is_file() and os.access(p, os.X_OK))
        text = subprocess.run([str(exe)], check=True, capture_output=True, text=True, timeout=600).stdout
    except (subprocess.SubprocessError, OSError, StopIteration) as e:
        return {"status": "unavailable", "reason": f"core benchmark did not build or run: {e}"[:200]}
    mops = {int(t): float(v) for t, v in STORE_LINE.findall(text)}
    if 1 not in mops or 2 not in mops:
        return {"status": "unavailable", "reason": "store lines not found in core_bench output",
                "output": text}
    return {"status": "ok", "mops_1_thread": mops[1], "mops_2_threads": mops[2],
            "scaling": mops[2] / mops[1], "output": text}


# ---------------------------------------------------------------------------------------------
# Targets.
# ---------------------------------------------------------------------------------------------


def evaluate_targets(results: list[Result], w6: dict[str, Any]) -> list[dict[str, Any]]:
    by = {(r.workload, r.system): r for r in results}
    targets: list[dict[str, Any]] = []

    def add(name: str, figure: float | None, threshold: float, higher_is_better: bool, why: str = ""):
        if figure is None:
            targets.append({"target": name, "met": None, "figure": None, "threshold": threshold,
                            "note": why or "not measured"})
            return
        met = figure >= threshold if higher_is_better else figure <= threshold
        targets.append({"target": name, "met": met, "figure": figure, "threshold": threshold,
                        "note": why})

    def ratio(workload: str, system: str) -> tuple[float | None, str]:
        r = by.get((workload, system))
        if r is None:
            return None, "not run"
        if r.status != "ok":
            return None, f"{r.status}: {r.reason}"
        return r.ratio, ""

    w13 = ["W1 statements", "W2 expression", "W3 host calls"]
    for peer in PURE_PYTHON_SAFE:
        for w in w13:
            fig, why = ratio(w, peer)
            add(f"{w}: >= 10x faster than {peer} ({peer} time / vrelpy time)", fig, 10.0, True, why)
    for w in ("W1 statements", "W2 expression"):
        fig, why = ratio(w, "python exec")
        add(f"{w}: within 2x of python exec (vrelpy time / exec time)",
            1 / fig if fig else None, 2.0, False, why)
    for w in ("W3 host calls", "W4 read ints", "W4 read strs", "W4 pass ints"):
        fig, why = ratio(w, "lupa")
        add(f"{w}: faster than lupa (lupa time / vrelpy time)", fig, 1.0 + 1e-12, True, why)
    for w in ("W4 read ints", "W4 read strs", "W4 pass ints"):
        fig, why = ratio(w, "python floor")
        add(f"{w}: within 1.5x of the interpreter's floor (vrelpy time / floor time)",
            1 / fig if fig else None, 1.5, False, why)
    fig, why = ratio("W3 host calls", "python direct")
    add("W3 host calls: per-call cost within 2x of calling from Python (vrelpy / direct)",
        1 / fig if fig else None, 2.0, False, why)
    chain, leaves = by.get(("W5 build chain", "vrelpy")), by.get(("W5 build leaves", "vrelpy"))
    add("W5: building the chain <= 3x building the leaves (chain time / leaves time)",
        chain.median_s / leaves.median_s if chain and leaves and chain.median_s and leaves.median_s else None,
        3.0, False)
    add("W6: store with 2 threads >= 1.6x 1 thread (throughput ratio)",
        w6.get("scaling"), 1.6, True, "" if w6.get("status") == "ok" else w6.get("reason", ""))
    return targets


# ---------------------------------------------------------------------------------------------
# Output.
# ---------------------------------------------------------------------------------------------


def print_report(results: list[Result], w6: dict[str, Any], targets: list[dict[str, Any]]) -> None:
    print()
    print("Median time per operation; 'peer/vrelpy' = the row's time / vrelpy's time "
          "(> 1 means vrelpy is faster).")
    header = f"{'workload':<16} {'system':<14} {'per op':>10} {'peer/vrelpy':>12}  note"
    print(header)
    print("-" * max(len(header), 100))
    last = None
    for r in results:
        if last is not None and r.workload != last:
            print()
        last = r.workload
        if r.status == "ok":
            ratio = "1 (base)" if r.system == "vrelpy" else f"{r.ratio:.3g}" if r.ratio else "-"
            note = r.reason
            if r.ops_per_call > 1:
                note = f"{note}; " if note else ""
                note += f"{r.ops_per_call} ops/call"
            print(f"{r.workload:<16} {r.system:<14} {fmt_time(r.median_s):>10} {ratio:>12}  {note}")
        else:
            print(f"{r.workload:<16} {r.system:<14} {r.status:>10} {'':>12}  {r.reason}")
    print()
    if w6.get("status") == "ok":
        print(f"{'W6 store':<16} {'core, 1 thr':<14} {w6['mops_1_thread']:>7.1f} M ops/s")
        print(f"{'W6 store':<16} {'core, 2 thr':<14} {w6['mops_2_threads']:>7.1f} M ops/s"
              f"   scaling {w6['scaling']:.2f}x")
    else:
        print(f"{'W6 store':<16} unavailable: {w6.get('reason')}")
    print()
    print("Targets:")
    for t in targets:
        state = "n/a   " if t["met"] is None else "met   " if t["met"] else "MISSED"
        fig = "-" if t["figure"] is None else f"{t['figure']:.3g}"
        extra = f"  ({t['note']})" if t["note"] else ""
        print(f"  [{state}] {t['target']}: {fig} (threshold {t['threshold']:g}){extra}")


def write_json(path: Path, args, results, w6, targets, unavailable) -> None:
    def git_rev() -> str:
        try:
            return subprocess.run(["git", "-C", str(REPO), "rev-parse", "HEAD"], capture_output=True,
                                  text=True, check=True).stdout.strip()
        except (subprocess.SubprocessError, OSError):
            return ""

    versions = {}
    try:
        from importlib import metadata

        for pkg in ["vrelpy", *PEER_PACKAGES]:
            try:
                versions[pkg] = metadata.version(pkg)
            except metadata.PackageNotFoundError:
                versions[pkg] = None
    except ImportError:
        pass
    doc = {
        "meta": {
            "date": datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds"),
            "python": sys.version,
            "platform": platform.platform(),
            "cpus": os.cpu_count(),
            "git_rev": git_rev(),
            "quick": args.quick,
            "repeat": args.repeat,
            "budget_s_per_call": args.budget,
            "versions": versions,
            "unavailable": unavailable,
            "load_average_at_end": os.getloadavg(),
            "units": "median_s / samples_s are seconds per operation; ratio = system time / vrelpy time",
        },
        "results": [r.__dict__ for r in results],
        "w6_store": {k: v for k, v in w6.items() if k != "output"},
        "targets": targets,
    }
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(json.dumps(doc, indent=2) + "\n")
    print(f"\nwrote {path}")


# ---------------------------------------------------------------------------------------------
# Venv bootstrap.
# ---------------------------------------------------------------------------------------------

STATUS_FILE = "bench-peers.json"


def in_bench_venv() -> bool:
    return Path(sys.prefix).resolve() == VENV.resolve()


def bootstrap(args: argparse.Namespace) -> None:
    """Creates bench/.venv, installs the peers and vrelpy, then re-executes inside it."""
    vpy = VENV / "bin" / "python"
    if not vpy.exists():
        print(f"creating {VENV}", file=sys.stderr, flush=True)
        subprocess.run([sys.executable, "-m", "venv", str(VENV)], check=True)
    status_path = VENV / STATUS_FILE
    status = json.loads(status_path.read_text()) if status_path.exists() else {}
    pip = [str(vpy), "-m", "pip", "--disable-pip-version-check"]
    if not args.skip_install:
        for pkg in PEER_PACKAGES:
            if status.get(pkg) == "ok":
                continue
            print(f"installing {pkg}", file=sys.stderr, flush=True)
            proc = subprocess.run([*pip, "install", "-q", pkg], capture_output=True, text=True)
            status[pkg] = "ok" if proc.returncode == 0 else (
                "pip install failed: " + (proc.stderr.strip().splitlines() or ["?"])[-1])[:200]
        # With the build backend in the venv, vrelpy is built without build isolation, so the
        # build directory is reused and a rebuild takes seconds instead of a minute.
        if status.get("scikit-build-core") != "ok":
            proc = subprocess.run([*pip, "install", "-q", "scikit-build-core"], capture_output=True)
            status["scikit-build-core"] = "ok" if proc.returncode == 0 else "failed"
        status_path.write_text(json.dumps(status, indent=2))
        print("installing vrelpy from the repository", file=sys.stderr, flush=True)
        isolation = ["--no-build-isolation"] if status["scikit-build-core"] == "ok" else []
        subprocess.run([*pip, "install", "-q", *isolation, "--force-reinstall", "--no-deps",
                        f"--config-settings=build-dir={BUILD_DIR}", str(REPO)], check=True)
    env = dict(os.environ)
    os.execve(str(vpy), [str(vpy), str(Path(__file__).resolve()), *sys.argv[1:]], env)


def import_status() -> dict[str, str]:
    """Module name -> reason, for every peer that cannot be imported here."""
    status_path = VENV / STATUS_FILE
    installs = json.loads(status_path.read_text()) if status_path.exists() else {}
    unavailable = {}
    for pkg, mod in PEER_PACKAGES.items():
        try:
            __import__(mod)
        except Exception as e:  # noqa: BLE001 - any import failure makes the peer unavailable
            why = installs.get(pkg)
            unavailable[mod] = why if why and why != "ok" else f"import failed: {type(e).__name__}: {e}"[:200]
    return unavailable


def parse_args(argv: list[str] | None = None) -> argparse.Namespace:
    p = argparse.ArgumentParser(
        description="Benchmark vrelpy against CPython exec/eval, lupa, simpleeval, asteval, "
                    "cel-python and common-expression-language.",
        epilog="Runs inside bench/.venv, which it creates and fills on first use.")
    p.add_argument("--quick", action="store_true",
                   help="fewer repetitions and a smaller time budget per call (< 2 minutes)")
    p.add_argument("--repeat", type=int, default=None,
                   help="timed repetitions per workload and system; the median is reported "
                        "(default 9, or 3 with --quick)")
    p.add_argument("--budget", type=float, default=None,
                   help="seconds one timed call may take before a W2 peer is given fewer "
                        "evaluations per call (default 1.0, or 0.25 with --quick)")
    p.add_argument("--json", type=Path, default=DEFAULT_JSON, metavar="PATH",
                   help=f"where to write the figures as JSON (default {DEFAULT_JSON.relative_to(REPO)})")
    p.add_argument("--only", action="append", metavar="TEXT",
                   help="run only the workloads whose name contains TEXT (repeatable), e.g. W2")
    p.add_argument("--no-w6", action="store_true", help="skip building and running the core benchmark")
    p.add_argument("--skip-install", action="store_true",
                   help="use bench/.venv as it is: install neither the peers nor vrelpy")
    p.add_argument("--no-venv", action="store_true",
                   help="run in the current interpreter (peers it lacks are unavailable)")
    p.add_argument("-v", "--verbose", action="store_true", help="progress on standard error")
    args = p.parse_args(argv)
    if args.repeat is None:
        args.repeat = 3 if args.quick else 9
    if args.budget is None:
        args.budget = 0.25 if args.quick else 1.0
    return args


def main(argv: list[str] | None = None) -> int:
    args = parse_args(argv)
    if sys.version_info[:2] != (3, 13):
        print("warning: vrelpy targets CPython 3.13; running on " + sys.version.split()[0], file=sys.stderr)
    if not args.no_venv and not in_bench_venv():
        bootstrap(args)  # does not return
    unavailable = import_status()
    load = os.getloadavg()[0]
    if load > 1.0:
        print(f"note: load average {load:.1f} on {os.cpu_count()} cores before the run; "
              "figures will be noisy", file=sys.stderr)
    import vrelpy  # noqa: F401 - fail early: without vrelpy there is nothing to compare
    results = run_all(args, unavailable)
    w6 = {"status": "unavailable", "reason": "skipped (--no-w6)"} if args.no_w6 else run_w6(args.verbose)
    targets = evaluate_targets(results, w6)
    print_report(results, w6, targets)
    write_json(args.json, args, results, w6, targets, unavailable)
    return 0


if __name__ == "__main__":
    sys.exit(main())
