"""Keeps bench/compare.py honest: the vrelpy side of every workload (bench/workloads.py), run on
tiny sizes, must give what plain Python computes, and the reference computations must agree with
each other."""

import importlib.util
import sys
from pathlib import Path

import pytest

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
