"""Keeps bench/compare.py honest: the vrelpy side of every workload (bench/workloads.py), run on
tiny sizes, must give what plain Python computes, and the reference computations must agree with
each other."""

import importlib.util
import os
import sys
from pathlib import Path

import pytest
from hypothesis import given, settings, strategies as st

_BENCH = Path(__file__).resolve().parents[2] / "bench"


def _load(name):
    """Imports bench/<name>.py under a name of its own, without putting bench/ on sys.path."""
    spec = importlib.util.spec_from_file_location(f"bench_{name}", _BENCH / f"{name}.py")
    module = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = module  # dataclasses look the module up by name
    spec.loader.exec_module(module)
    return module


workloads = _load("workloads")
core_store = _load("core_store")

EXAMPLES = 400 if os.environ.get("VRELPY_HYPOTHESIS_PROFILE") == "ci" else 60


def test_w1_program_matches_python():
    ns = {}
    exec(workloads.w1_python_source(12), ns)
    assert ns["x_11"] == workloads.w1_expected(12) == 121
    case = workloads.vrel_w1(12)
    assert case.fn() == 121
    case.check()


@pytest.mark.parametrize("nodes", [3, 4, 9, 31])
def test_w2_tree_has_the_requested_size(nodes):
    assert workloads.count_nodes(workloads.w2_tree(nodes)) == nodes


def test_w2_expression_matches_python_eval():
    tree = workloads.w2_tree(41, nvars=4, seed=3)
    rows = workloads.w2_inputs(40, nvars=4, seed=1)
    names = workloads.w2_var_names(4)
    code = compile(workloads.render_infix(tree), "<t>", "eval")
    by_python = [eval(code, {}, dict(zip(names, row))) for row in rows]
    assert workloads.w2_expected(tree, rows) == by_python
    assert len(set(by_python)) == 2, "inputs should give both outcomes"
    assert workloads.vrel_w2(tree, rows).fn() == by_python


def _typed(results):
    """Results with their types, so that True and 1 do not pass for each other."""
    return [[(type(v), v) for v in row] for row in results]


@settings(max_examples=EXAMPLES, deadline=None)
@given(seed=st.integers(0, 2**32 - 1), nrules=st.integers(1, 6), nrecords=st.integers(1, 5))
def test_w7_rules_match_python_exec(seed, nrules, nrecords):
    rules = workloads.w7_rules(nrules, nfields=3, seed=seed)
    records = workloads.w7_records(nrecords, nfields=3, seed=seed + 1)
    assert all(10 <= workloads.count_nodes(rule) <= 25 for rule in rules)
    code = compile(workloads.w7_python_source(rules), "<t>", "exec")
    by_python = []
    for rec in records:
        ns = dict(rec)
        exec(code, {}, ns)
        by_python.append([ns[name] for name in workloads.w7_rule_names(nrules)])
    assert _typed(workloads.w7_expected(rules, records)) == _typed(by_python)
    assert _typed(workloads.vrel_w7(rules, records).fn()) == _typed(by_python)
    workloads.python_w7(rules, records).check()


def test_w3_host_calls_sum():
    ns = {"f": workloads.host}
    exec(workloads.w3_statement_source(30), ns)
    assert ns["acc"] == workloads.w3_expected(30) == 900
    assert eval(workloads.w3_balanced_sum(7), {"f": workloads.host}) == workloads.w3_expected(7)
    assert workloads.vrel_w3(30).fn() == 900


def test_w4_round_trips():
    ints, strs = workloads.w4_ints(50), workloads.w4_strs(50)
    assert workloads.vrel_w4_read(ints).fn() == list(range(50))
    assert workloads.vrel_w4_read(strs).fn() == [f"s{i}" for i in range(50)]
    workloads.vrel_w4_pass(ints).check()


def test_w5_chain_and_leaves():
    chain = workloads.vrel_w5_chain(20)
    assert chain.result(chain.fn()) == sum(range(21))
    workloads.vrel_w5_leaves(15).check()
    workloads.python_ast_chain(20).check()


def test_check_catches_a_wrong_result():
    case = workloads.vrel_w3(5)
    case.expected += 1
    with pytest.raises(AssertionError):
        case.check()


def test_store_line_parser():
    text = "store 90% reads / 10% inserts, 2 thread(s): 31.5 M ops/s\n"
    assert core_store.STORE_LINE.findall(text) == [("2", "31.5")]


def test_w8_parses_the_rules_python_parses():
    source, statements = workloads.w8_source(5_000)
    assert len(source) >= 5_000 and source.count("\n") == statements
    workloads.vrel_w8(source, statements).check()
    workloads.python_ast_w8(source, statements).check()
