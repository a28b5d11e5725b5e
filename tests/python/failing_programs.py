"""Random programs with one failing node planted in them, and the paths that lead to it:
shared by the tests of where fatal errors and rule failures happened."""


# Failing nodes for a slot that wants an int or a bool: (data, message, role of its variable).
INT_FAILURES = [
    ({"ident": "missing"}, 'Value cannot be found: S("missing")', ("reading", "missing")),
    ({"binary_op": [{"literal": "s"}, "+", {"literal": 1}]}, "Binary operator for unknown type", None),
    ({"binary_op": [{"literal": 1}, "/", {"literal": 0}]}, "attempt to divide by zero", None),
    ({"call": ["nofn", {"literal": 1}]}, 'Value cannot be found: S("nofn")', ("calling", "nofn")),
    ({"call": ["x", {"literal": 1}]}, "called `Option::unwrap()` on a `None` value", ("calling", "x")),
]
BOOL_FAILURES = [
    ({"not": {"literal": 1}}, "The not expression must be used on a boolean value", None),
    ({"greater_than": [{"literal": "a"}, {"literal": 1}]},
     "Both left-hand and right-hand side values must be a number", None),
    ({"ident": "missing"}, 'Value cannot be found: S("missing")', ("reading", "missing")),
]


def int_expr(rng, depth):
    if depth == 0 or rng.random() < 0.25:
        return rng.choice([{"literal": rng.randrange(-9, 10)}, {"ident": "x"}])
    if rng.random() < 0.15:
        return {"cond": [bool_expr(rng, depth - 1), int_expr(rng, depth - 1), int_expr(rng, depth - 1)]}
    return {"binary_op": [int_expr(rng, depth - 1), rng.choice("+-*"), int_expr(rng, depth - 1)]}


def bool_expr(rng, depth):
    if depth == 0 or rng.random() < 0.2:
        return {"literal": rng.random() < 0.5}
    kind = rng.choice(["greater_than", "less_than", "equals", "not", "and", "or"])
    if kind == "not":
        return {"not": bool_expr(rng, depth - 1)}
    if kind in ("and", "or"):
        return {kind: [bool_expr(rng, depth - 1), bool_expr(rng, depth - 1)]}
    return {kind: [int_expr(rng, depth - 1), int_expr(rng, depth - 1)]}


def value_of(node):
    """The value of a node that evaluates without failing (x is 3)."""
    (kind, p), = node.items()
    if kind == "literal":
        return p
    if kind == "ident":
        return 3
    if kind == "binary_op":
        a, b = value_of(p[0]), value_of(p[2])
        return {"+": a + b, "-": a - b, "*": a * b}[p[1]]
    if kind == "cond":
        return value_of(p[1]) if value_of(p[0]) else value_of(p[2])
    if kind == "not":
        return not value_of(p)
    if kind == "and":
        return value_of(p[0]) and value_of(p[1])
    if kind == "or":
        return value_of(p[0]) or value_of(p[1])
    a, b = value_of(p[0]), value_of(p[1])
    return {"greater_than": a > b, "less_than": a < b, "equals": a == b}[kind]


def slots(node, path=""):
    """Every expression node under `node` that its evaluation reaches, with its path and
    whether it holds a bool (the and/or/cond operands they skip are left out)."""
    (kind, payload), = node.items()
    boolean = kind in ("greater_than", "less_than", "equals", "not", "and", "or") or (
        kind == "literal" and isinstance(payload, bool))
    yield path, boolean
    if kind in ("and", "or"):
        yield from slots(payload[0], f"{path}['{kind}'][0]")
        if value_of(payload[0]) == (kind == "and"):
            yield from slots(payload[1], f"{path}['{kind}'][1]")
    elif kind == "cond":
        yield from slots(payload[0], f"{path}['cond'][0]")
        taken = 1 if value_of(payload[0]) else 2
        yield from slots(payload[taken], f"{path}['cond'][{taken}]")
    elif kind == "binary_op":
        yield from slots(payload[0], f"{path}['binary_op'][0]")
        yield from slots(payload[2], f"{path}['binary_op'][2]")
    elif kind in ("greater_than", "less_than", "equals"):
        for i in (0, 1):
            yield from slots(payload[i], f"{path}['{kind}'][{i}]")
    elif kind == "not":
        yield from slots(payload, f"{path}['not']")


def at(data, path):
    return eval("data" + path, {"data": data})  # the path notation is Python's subscripts


def statement_at(program, statement_path):
    """The statement of a program's data form that a statement path leads to."""
    statement = program[statement_path[0]]
    for step in statement_path[1:]:
        statement = statement["if"][1 if step == "then" else 2] if isinstance(step, str) else statement[step]
    return statement


def replace(data, path, node):
    if not path:
        return node
    head, _, last = path.rpartition("[")
    parent = at(data, head)
    parent[eval(last[:-1])] = node
    return data


def random_program(rng):
    """Statements that succeed, with one failure planted in one of them (possibly inside
    ifs whose literal conditions choose the block it is in)."""
    def block(depth):
        return [{"let": [f"v{rng.randrange(5)}", int_expr(rng, 3)]} for _ in range(rng.randrange(3))]

    program = block(0)
    target = program
    statement_path = ()
    for _ in range(rng.randrange(3)):
        taken = rng.random() < 0.5
        inner = block(1)
        then, otherwise = (inner, block(1)) if taken else (block(1), inner)
        target.append({"if": [{"literal": taken}, then, otherwise]})
        statement_path += (len(target) - 1, "then" if taken else "otherwise")
        target = inner
    if rng.random() < 0.3:
        failing = {"if": [bool_expr(rng, 3), [], []]}
        root = "['if'][0]"
    else:
        failing = {"let": ["r", int_expr(rng, 4) if rng.random() < 0.7 else bool_expr(rng, 4)]}
        root = "['let'][1]"
    target.append(failing)
    statement_path += (len(target) - 1,)
    target.extend(block(0))
    path, boolean = rng.choice(list(slots(at(failing, root))))
    data, message, role = rng.choice(BOOL_FAILURES if boolean else INT_FAILURES)
    replace(failing, root + path, data)
    return program, statement_path, root + path, data, message, role
