"""Keeps bench/compare.py honest: the vrelpy side of every workload, run on tiny sizes, must give
what plain Python computes, and the reference computations must agree with each other."""

import importlib.util
import sys
from pathlib import Path

import pytest

_PATH = Path(__file__).resolve().parents[2] / "bench" / "compare.py"
_spec = importlib.util.spec_from_file_location("bench_compare", _PATH)
compare = importlib.util.module_from_spec(_spec)
sys.modules["bench_compare"] = compare  # dataclasses look the module up by name
_spec.loader.exec_module(compare)


def test_w1_program_matches_python():
    ns = {}
    exec(compare.w1_python_source(12), ns)
    assert ns["x_11"] == compare.w1_expected(12) == 121
    case = compare.vrel_w1(12)
    assert case.fn() == 121
    case.check()


@pytest.mark.parametrize("nodes", [3, 4, 9, 31])
def test_w2_tree_has_the_requested_size(nodes):
    assert compare.count_nodes(compare.w2_tree(nodes)) == nodes


def test_w2_expression_matches_python_eval():
    tree = compare.w2_tree(41, nvars=4, seed=3)
    rows = compare.w2_inputs(40, nvars=4, seed=1)
    names = compare.w2_var_names(4)
    code = compile(compare.render_infix(tree), "<t>", "eval")
    by_python = [eval(code, {}, dict(zip(names, row))) for row in rows]
    assert compare.w2_expected(tree, rows) == by_python
    assert len(set(by_python)) == 2, "inputs should give both outcomes"
    assert compare.vrel_w2(tree, rows).fn() == by_python


def test_w3_host_calls_sum():
    ns = {"f": compare.host}
    exec(compare.w3_statement_source(30), ns)
    assert ns["acc"] == compare.w3_expected(30) == 900
    assert eval(compare.w3_balanced_sum(7), {"f": compare.host}) == compare.w3_expected(7)
    assert compare.vrel_w3(30).fn() == 900


def test_w4_round_trips():
    ints, strs = compare.w4_ints(50), compare.w4_strs(50)
    assert compare.vrel_w4_read(ints).fn() == list(range(50))
    assert compare.vrel_w4_read(strs).fn() == [f"s{i}" for i in range(50)]
    compare.vrel_w4_pass(ints).check()


def test_w5_chain_and_leaves():
    chain = compare.vrel_w5_chain(20)
    assert chain.result(chain.fn()) == sum(range(21))
    compare.vrel_w5_leaves(15).check()
    compare.python_ast_chain(20).check()


def test_check_catches_a_wrong_result():
    case = compare.vrel_w3(5)
    case.expected += 1
    with pytest.raises(AssertionError):
        case.check()


def test_store_line_parser():
    text = "store 90% reads / 10% inserts, 2 thread(s): 31.5 M ops/s\n"
    assert compare.STORE_LINE.findall(text) == [("2", "31.5")]
