"""The workloads of bench/compare.py and each system's side of them: tree generators, reference
results computed by plain Python, and one function per workload and system that returns a
checked, timeable Case. Importable without any venv (the peers are imported inside their own
functions); tests/python/test_compare_workloads.py runs the vrelpy side on tiny sizes.

Operations ("per op" in the table):
  W1 statements  one run of a program of 1,000 bindings x_i = x_(i-1) + 2*i - 1, on a fresh
                 variable namespace: a new Vrel() per run for vrelpy, a new dict for exec, a
                 new _ENV table for Lua, a new Interpreter for asteval (creating the namespace
                 is part of the cost everywhere).
  W2 expression  one evaluation of a 200-node arithmetic/comparison expression over 10
                 variables with fresh values; setting the variables is part of the cost
                 (vrelpy, on one machine: update(zip(names, row)) with the 10 values, run of
                 the prepared let r = <expr>, then machine["r"]). The expression is the same
                 tree rendered in every idiom.
  W3 host calls  one call of a Python function with one int argument made from inside the
                 language: a program of 10,000 lets acc = acc + f(i) (statement languages) or
                 one balanced sum of 10,000 calls f(i) (expression-only languages). "python
                 direct" is the same function called from a Python loop.
  W4 data        one transfer of 100,000 ints or 100,000 short strs: reading back a variable
                 holding a vector (vrelpy: get), or passing a list in (vrelpy: Expr.literal +
                 run of a let). "python floor" is list(range(n)) for ints, list(strs) for strs.
  W5 building    building a left-deep chain of 1,000 additions (2,001 nodes) bottom-up with
                 the builders, and building 2,000 separate leaves (Expr.literal).
  W6 store       the C++ store under 90% reads / 10% inserts, 1 and 2 threads (run by
                 core_store.py, not defined here).
  W7 rules       one record through 12 rules: bind the record's 8 int fields, evaluate 12
                 prepared rules of 10-25 nodes over them (9 conditions, 3 computed numbers)
                 and read the 12 results back (vrelpy, on one machine: one update of the 8
                 fields, one run of the 12 lets rule<i> = <rule>, then machine["rule<i>"] for
                 each). A call runs 200 records.
  W8 parse       reading 1 MB of rules written as text (the W7 rules over and over, one
                 assignment a line, rendered fully parenthesised, which is valid vrel text
                 and valid Python): vrelpy.parse into statements, against ast.parse of the
                 same text (building Python's syntax tree, not compiling it). The time per op
                 is the time per MB: 1 / time is the MB/s figure.
"""

from __future__ import annotations

import random
from dataclasses import dataclass
from typing import Any, Callable

# Systems whose W1-W3 figures are held to the ">= 10x faster" target.
PURE_PYTHON_SAFE = ["simpleeval", "asteval", "cel-python"]

# Peer system -> the module it needs; a peer whose module cannot be imported is unavailable.
SYSTEM_MODULE = {
    "lupa": "lupa",
    "simpleeval": "simpleeval",
    "asteval": "asteval",
    "cel-python": "celpy",
    "cel (rust)": "cel",
}


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
W7_RULES = 12
W7_FIELDS = 8
W7_RECORDS = 200
W8_BYTES = 1_000_000


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


# Expression trees of W2 and W7 are tuples:
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


class _TreeMaker:
    """Random trees over a set of variables: comparisons of small arithmetic terms combined by
    equality and negation. Literals are 0..9 and multiplication only joins small terms, so
    values stay far from 64-bit overflow."""

    def __init__(self, rng: random.Random, names: list[str]) -> None:
        self.rng, self.names = rng, names

    def leaf(self) -> tuple:
        rng = self.rng
        if rng.random() < 0.75:
            return ("var", rng.choice(self.names))
        return ("lit", rng.randrange(10))

    def int_tree(self, n: int) -> tuple:
        # Binary operators only, so an arithmetic tree always has an odd number of nodes.
        assert n % 2 == 1
        if n == 1:
            return self.leaf()
        rng = self.rng
        a = rng.randrange(1, n - 1, 2)
        op = rng.choice("+-*") if n <= 5 else rng.choice("+-")
        return ("bin", op, self.int_tree(a), self.int_tree(n - 1 - a))

    def bool_tree(self, n: int) -> tuple:
        assert n >= 3
        rng = self.rng
        if n <= 14:
            if n % 2 == 0:
                return ("not", self.bool_tree(n - 1))
            a = rng.randrange(1, n - 1, 2)
            kind = rng.choice(("gt", "lt", "lt", "gt", "eq"))
            return (kind, self.int_tree(a), self.int_tree(n - 1 - a))
        if rng.random() < 0.1:
            return ("not", self.bool_tree(n - 1))
        a = rng.randrange(3, n - 3)
        return ("eq", self.bool_tree(a), self.bool_tree(n - 1 - a))


def w2_tree(nodes: int = W2_NODES, nvars: int = W2_VARS, seed: int = 5) -> tuple:
    """A boolean tree of exactly `nodes` nodes over the variables v0..v(nvars-1)."""
    tree = _TreeMaker(random.Random(seed), w2_var_names(nvars)).bool_tree(nodes)
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


def w7_field_names(k: int = W7_FIELDS) -> list[str]:
    return [f"f{i}" for i in range(k)]


def w7_rule_names(k: int = W7_RULES) -> list[str]:
    return [f"rule{i}" for i in range(k)]


def w7_rules(n: int = W7_RULES, nfields: int = W7_FIELDS, seed: int = 11) -> list[tuple]:
    """`n` rules of 10 to 25 nodes over the fields: most are conditions (booleans), every
    fourth computes a number, as a rule that derives a score from a record does."""
    rng = random.Random(seed)
    make = _TreeMaker(rng, w7_field_names(nfields))
    rules = []
    for i in range(n):
        size = rng.randint(10, 25)
        rules.append(make.int_tree(size | 1) if i % 4 == 3 else make.bool_tree(size))
    return rules


def w7_records(n: int = W7_RECORDS, nfields: int = W7_FIELDS, seed: int = 13) -> list[dict[str, int]]:
    """The records the rules are applied to: dicts of field name -> int, every system gets
    the same dicts."""
    rng = random.Random(seed)
    names = w7_field_names(nfields)
    return [{name: rng.randint(-20, 20) for name in names} for _ in range(n)]


def w7_expected(rules: list[tuple], records: list[dict[str, int]]) -> list[list[Any]]:
    """Per record, the results of the rules in order."""
    return [[eval_tree(rule, rec) for rule in rules] for rec in records]


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


def _vrel_expr(node: tuple):
    """A W2/W7 tree as a vrelpy expression, built with the builders."""
    from vrelpy import Expr as E

    kind = node[0]
    if kind == "var":
        return E.ident(node[1])
    if kind == "lit":
        return E.literal(node[1])
    if kind == "bin":
        return E.binary_op(_vrel_expr(node[2]), node[1], _vrel_expr(node[3]))
    if kind == "not":
        return E.not_(_vrel_expr(node[1]))
    a, b = _vrel_expr(node[1]), _vrel_expr(node[2])
    return E.equals(a, b) if kind == "eq" else E.greater_than(a, b) if kind == "gt" else E.less_than(a, b)


def vrel_w2(tree: tuple, rows: list[tuple[int, ...]]) -> Case:
    from vrelpy import Statement as S, Vrel

    names = w2_var_names(len(rows[0]))
    let_r = [S.let("r", _vrel_expr(tree))]
    machine = Vrel()

    def run() -> list[bool]:
        out = []
        for row in rows:
            machine.update(zip(names, row))
            machine.run(let_r)
            out.append(machine["r"])
        return out

    return Case(run, len(rows), w2_expected(tree, rows))


def vrel_w7(rules: list[tuple], records: list[dict[str, int]]) -> Case:
    from vrelpy import Statement as S, Vrel

    names = w7_rule_names(len(rules))
    program = [S.let(name, _vrel_expr(rule)) for name, rule in zip(names, rules)]
    machine = Vrel()

    def run() -> list[list[Any]]:
        out = []
        for rec in records:
            machine.update(rec)
            machine.run(program)
            out.append([machine[name] for name in names])
        return out

    return Case(run, len(records), w7_expected(rules, records))


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


def w8_source(size: int = W8_BYTES) -> tuple[str, int]:
    """About `size` bytes of rules text (ASCII), and the number of statements in it."""
    rules = [render_infix(rule) for rule in w7_rules()]
    lines: list[str] = []
    total = 0
    while total < size:
        line = f"rule_{len(lines)} = {rules[len(lines) % len(rules)]}\n"
        lines.append(line)
        total += len(line)
    return "".join(lines), len(lines)


def vrel_w8(source: str, statements: int) -> Case:
    from vrelpy import parse

    return Case(lambda: parse(source), 1, statements, result=len)


def python_ast_w8(source: str, statements: int) -> Case:
    import ast

    return Case(lambda: ast.parse(source), 1, statements, result=lambda tree: len(tree.body))


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


def w7_python_source(rules: list[tuple]) -> str:
    """The rules as one program of assignments rule<i> = <rule>."""
    return "".join(f"{name} = {render_infix(rule)}\n" for name, rule in zip(w7_rule_names(len(rules)), rules))


def python_w7(rules: list[tuple], records: list[dict[str, int]]) -> Case:
    # One code object for all the rules: exec enters the interpreter once per record and the
    # rules read the fields from the very dict they assign into. Twelve compiled evals would
    # set up twelve frames and twelve locals lookups per record for the same work.
    code = compile(w7_python_source(rules), "<w7>", "exec")
    names = w7_rule_names(len(rules))
    glob: dict[str, Any] = {"__builtins__": {}}

    def run() -> list[list[Any]]:
        out = []
        for rec in records:
            ns = dict(rec)
            exec(code, glob, ns)
            out.append([ns[name] for name in names])
        return out

    return Case(run, len(records), w7_expected(rules, records), note="one code object, a dict per record")


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


def lupa_w7(rules: list[tuple], records: list[dict[str, int]]) -> Case:
    import operator

    lua = _lua()
    fields = w7_field_names(len(records[0]))
    body = ", ".join(render_infix(rule) for rule in rules)
    f = lua.eval(f"function({', '.join(fields)}) return {body} end")
    values = operator.itemgetter(*fields)

    def run() -> list[tuple]:
        return [f(*values(rec)) for rec in records]

    return Case(run, len(records), w7_expected(rules, records),
                result=lambda out: [list(r) for r in out],
                note="fields as arguments, the results as multiple return values",
                shrink=lambda k: lupa_w7(rules, records[:k]))


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


def simpleeval_w7(rules: list[tuple], records: list[dict[str, int]]) -> Case:
    from simpleeval import SimpleEval

    s = SimpleEval()
    parsed = [(src, s.parse(src)) for src in map(render_infix, rules)]

    def run() -> list[list[Any]]:
        out = []
        for rec in records:
            s.names = rec
            out.append([s.eval(src, previously_parsed=tree) for src, tree in parsed])
        return out

    return Case(run, len(records), w7_expected(rules, records), note="one parsed expression per rule",
                shrink=lambda k: simpleeval_w7(rules, records[:k]))


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


def asteval_w7(rules: list[tuple], records: list[dict[str, int]]) -> Case:
    from asteval import Interpreter

    interp = Interpreter()
    node = interp.parse(w7_python_source(rules))
    names = w7_rule_names(len(rules))
    sym = interp.symtable

    def run() -> list[list[Any]]:
        out = []
        for rec in records:
            sym.update(rec)
            interp.run(node)
            out.append([sym[name] for name in names])
        return out

    return Case(run, len(records), w7_expected(rules, records), note="one parsed program of assignments",
                shrink=lambda k: asteval_w7(rules, records[:k]))


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


def celpy_w7(rules: list[tuple], records: list[dict[str, int]]) -> Case:
    import celpy
    from celpy import celtypes

    env = celpy.Environment()
    programs = [env.program(env.compile(render_infix(rule, "!({})"))) for rule in rules]
    Int = celtypes.IntType

    def run() -> list[list[Any]]:
        out = []
        for rec in records:
            activation = {k: Int(v) for k, v in rec.items()}
            out.append([prg.evaluate(activation) for prg in programs])
        return out

    return Case(run, len(records), w7_expected(rules, records), note="one program per rule",
                shrink=lambda k: celpy_w7(rules, records[:k]))


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


def cel_w7(rules: list[tuple], records: list[dict[str, int]]) -> Case:
    import cel

    programs = [cel.compile(render_infix(rule, "!({})")) for rule in rules]

    def run() -> list[list[Any]]:
        return [[prg.execute(rec) for prg in programs] for rec in records]

    return Case(run, len(records), w7_expected(rules, records), note="one program per rule",
                shrink=lambda k: cel_w7(rules, records[:k]))


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
    rules, records = w7_rules(), w7_records()
    source, statements = w8_source()
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
        R("W7 rules", "vrelpy", lambda: vrel_w7(rules, records)),
        R("W7 rules", "python exec", lambda: python_w7(rules, records)),
        R("W7 rules", "lupa", lambda: lupa_w7(rules, records)),
        R("W7 rules", "simpleeval", lambda: simpleeval_w7(rules, records)),
        R("W7 rules", "asteval", lambda: asteval_w7(rules, records)),
        R("W7 rules", "cel-python", lambda: celpy_w7(rules, records)),
        R("W7 rules", "cel (rust)", lambda: cel_w7(rules, records)),
        R("W8 parse 1 MB", "vrelpy", lambda: vrel_w8(source, statements)),
        R("W8 parse 1 MB", "python ast", lambda: python_ast_w8(source, statements)),
        *[R("W8 parse 1 MB", s, na="not measured: rules are parsed on every evaluation or "
            "compiled by a parser outside Python") for s in ("lupa", "simpleeval", "asteval",
                                                            "cel-python", "cel (rust)")],
    ]
