"""Where a rule failed: the place of a RuleError, as a run of the rule would give it."""

import random

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from failing_programs import at, random_program, statement_at
from vrelpy import Expr, PanicException, RuleError, RuleSet, Statement, Vrel

lit, ident, let = Expr.literal, Expr.ident, Statement.let
FIELDS = ["f0", "f1", "f2"]


def place(error):
    return (str(error), error.rule, error.statement, error.node, error.variable, error.__notes__)


def panic_of(program, record):
    vm = Vrel()
    vm.update(record)
    with pytest.raises(PanicException) as info:
        vm.run(program)
    return info.value


@settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.integers(0, 2**32), st.booleans())
def test_a_rule_error_has_the_place_of_a_run_of_the_rule(seed, as_expression):
    program, statement_path, node_path, planted, message, _ = random_program(random.Random(seed))
    record = {"x": 3}
    if as_expression:
        # The failing statement's expression alone, as an expression rule.
        failing = statement_at(program, statement_path)
        data = failing["let"][1] if "let" in failing else failing["if"][0]
        rule = Expr.from_data(data)
        panic = panic_of([let("rule", rule)], record)
        inside = panic.node.removeprefix("['let'][1]")
        rest = panic.__notes__[0].removeprefix("in statement [0] at ['let'][1]")
        expected = (message, "rule", None, inside, panic.variable,
                    ["in rule 'rule'" + (f" at {rest}" if rest.startswith("[") else rest)])
    else:
        rule = [Statement.from_data(s) for s in program]
        panic = panic_of(rule, record)
        data = [s.to_data() for s in rule]
        expected = (message, "rule", panic.statement, panic.node, panic.variable,
                    ["in rule 'rule', " + panic.__notes__[0].removeprefix("in ")])
    assert str(panic) == message
    rows = RuleSet({"rule": rule}).evaluate([record] * 3)
    assert all(isinstance(row["rule"], RuleError) for row in rows)
    assert [place(row["rule"]) for row in rows] == [expected] * 3
    # The path, fed to the rule's data form, finds the planted node, which fails alone alike.
    error = rows[0]["rule"]
    found = at(data if as_expression else statement_at(data, error.statement), error.node)
    assert found == planted
    assert str(panic_of([let("alone", Expr.from_data(found))], record)) == message


# ---- Leading reads: a missing field fails a rule without running it ----------------------------

def expressions(names):
    leaves = st.one_of(st.integers(-3, 3).map(lit), st.sampled_from(names).map(ident))

    def grow(inner):
        return st.one_of(
            st.tuples(inner, st.sampled_from("+-/"), inner).map(lambda t: Expr.binary_op(*t)),
            st.tuples(inner, inner).map(lambda t: Expr.greater_than(*t)),
            st.tuples(inner, inner).map(lambda t: Expr.equals(*t)),
            inner.map(Expr.not_),
            st.tuples(inner, inner).map(lambda t: Expr.and_(*t)),
            st.tuples(inner, inner, inner).map(lambda t: Expr.cond(*t)),
            st.tuples(st.sampled_from(["same", "nofn"]), inner).map(lambda t: Expr.call(*t)),
            st.lists(inner, max_size=3).map(Expr.vector),
        )

    return st.recursive(leaves, grow, max_leaves=6)


@st.composite
def rules_and_records(draw):
    rules = {}
    for i in range(draw(st.integers(1, 3))):
        name = f"r{i}"
        expr = draw(expressions(FIELDS + list(rules)))
        kind = draw(st.sampled_from(["expression", "program", "text"]))
        if kind == "expression":
            rules[name] = expr
        elif kind == "program":
            rules[name] = [Statement.if_(draw(expressions(FIELDS)), [let(name, expr)], [let("t", expr)])]
        else:
            rules[name] = f"{name} = f0 + f1" if draw(st.booleans()) else "f1 * f2"  # program, expression
    records = draw(st.lists(
        st.fixed_dictionaries({}, optional={f: st.integers(-2, 2) for f in FIELDS}), min_size=1, max_size=8))
    return rules, records


@settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(rules_and_records())
def test_a_missing_field_fails_where_a_run_of_the_rule_would(case):
    # Without limits a rule whose first reads are unbound fails without running; with a
    # limit every rule runs (a limit could strike first), so the two must agree.
    rules, records = case
    setup = [Statement.fn("same", lambda v: v)]
    shortcut = RuleSet(rules, setup=setup).evaluate(records)
    ran = RuleSet(rules, setup=setup, limits={"steps": 10**9}).evaluate(records)
    for fast, slow in zip(shortcut, ran):
        for name in rules:
            if isinstance(slow[name], RuleError):
                assert isinstance(fast[name], RuleError) and place(fast[name]) == place(slow[name])
            else:
                assert fast[name] == slow[name]


def test_workers_give_the_same_places_and_share_alike_errors():
    rules = {
        "ratio": Expr.binary_op(ident("a"), "/", ident("b")),
        "scaled": [Statement.if_(Expr.greater_than(ident("a"), lit(0)),
                                 [let("scaled", Expr.binary_op(ident("ratio"), "*", lit(2)))], [])],
        "text": "a + c",
    }
    shapes = [{"a": 1, "b": 0}, {"b": 1}, {"a": 2, "b": 2, "c": 1}, {"a": -1, "b": 1}, {}]
    records = [shapes[i % len(shapes)] for i in range(1000)]  # several batches
    rs = RuleSet(rules)
    one, two = rs.evaluate(records), rs.evaluate(records, workers=2)
    for name in rules:
        first = [row[name] for row in one]
        second = [row[name] for row in two]
        assert [place(e) if isinstance(e, RuleError) else e for e in first] == [
            place(e) if isinstance(e, RuleError) else e for e in second]
        # Records failing alike share one RuleError, whichever worker evaluated them.
        for results in (first, second):
            errors = [e for e in results if isinstance(e, RuleError)]
            assert len({id(e) for e in errors}) == len({repr(place(e)) for e in errors})
    by_shape = {i: place(one[i]["scaled"]) for i in range(len(shapes)) if isinstance(one[i]["scaled"], RuleError)}
    assert by_shape[0] == ('Value cannot be found: S("ratio")', "scaled",
                           (0, "then", 0), "['let'][1]['binary_op'][0]", "ratio",
                           ["in rule 'scaled', statement [0]['then'][0] at ['let'][1]['binary_op'][0]: reading 'ratio'"])
    assert by_shape[3] == ('Value cannot be found: S("scaled")', "scaled", None, None, "scaled",
                           ["in rule 'scaled': reading 'scaled'"])
