"""The programs in examples/ run and print what they promise."""

import os
import pathlib
import re
import signal
import subprocess
import sys

import pytest

import vrelpy

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"

EXPECTED = {
    "quickstart.py": """\
A-1: total=120 discounted=110 zone=1 free_shipping=True
A-2: total=25.0 discounted=25.0 zone=2 free_shipping=False
A-3: total=45 discounted=45 zone=1 free_shipping=False
rule failed: PanicException: Binary operator for unknown type
still bound after the failure: before='kept'
""",
    "rules_engine.py": """\
ann: eligible
bob: not eligible: adult, resident
cem: not eligible: low_income, first_grant
dia: cannot decide: low_income (error: Value cannot be found: S("income"))
""",
    "feature_flags.py": """\
120 requests, rollout 10%: {'new_checkout': 12, 'beta_search': 60, 'priority_support': 25}
120 requests, rollout 50%: {'new_checkout': 61, 'beta_search': 80, 'priority_support': 25}
user-7 on a free plan: {'new_checkout': True, 'beta_search': False, 'priority_support': True}
""",
    "rules_from_json.py": """\
4 rules from eligibility_rules.json: adult, resident, low_income, first_grant
ann: eligible
bob: not eligible: adult, resident
cem: not eligible: low_income, first_grant
dia: cannot decide: low_income (error: attempt to divide by zero)
eda: eligible
""",
    "rules_from_text.py": """\
4 rules from eligibility_rules.vrel: adult, resident, low_income, first_grant
  adult = age >= 18
  resident = in_region(postcode)
  low_income = income / household < (1800 if household > 1 else 1500)
  first_grant = grants == 0 and not $"pending grant"
ann: eligible
bob: not eligible: adult, resident
cem: not eligible: low_income, first_grant
dia: cannot decide: low_income (error: attempt to divide by zero)
eda: eligible
a broken rule: line 1, column 22: expected an expression
""",
}

# Each expected fatal error writes a two-line report to standard error, and nothing else
# may appear there.
EXPECTED_REPORTS = {
    "quickstart.py": 1, "rules_engine.py": 1, "feature_flags.py": 0, "rules_from_json.py": 1,
    "rules_from_text.py": 1,
}


def test_every_example_is_checked():
    assert sorted(p.name for p in EXAMPLES.glob("*.py")) == sorted([*EXPECTED, "dask_rules.py"])


@pytest.mark.parametrize("name", sorted(EXPECTED))
def test_example_output(name):
    proc = subprocess.run(
        [sys.executable, str(EXAMPLES / name)], capture_output=True, text=True, timeout=120
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == EXPECTED[name]
    lines = proc.stderr.splitlines()
    assert len(lines) == 2 * EXPECTED_REPORTS[name], proc.stderr
    assert all(line.startswith("vrel: fatal error in thread ") for line in lines[::2])


def check_command(*paths, stdin=None):
    return subprocess.run(
        [sys.executable, "-m", "vrelpy", "check", *map(str, paths)],
        capture_output=True, text=True, timeout=60, input=stdin,
    )


def test_check_command_reports_every_error_with_its_place(tmp_path):
    good = EXAMPLES / "eligibility_rules.vrel"
    proc = check_command(good)
    assert (proc.returncode, proc.stdout, proc.stderr) == (0, "", "")
    broken = tmp_path / "broken.vrel"
    broken.write_text("adult = age >= 18\nresident = in_region(postcode\n", encoding="utf-8")
    bad_utf8 = tmp_path / "latin1.vrel"
    bad_utf8.write_bytes(b"x = '\xe9'\n")
    proc = check_command(good, broken, bad_utf8, tmp_path / "missing.vrel")
    assert proc.returncode == 1 and proc.stderr == ""
    lines = proc.stdout.splitlines()
    assert lines[:3] == [
        f"{broken}:2:21: '(' was never closed",
        "resident = in_region(postcode",
        "                    ^",
    ]
    assert lines[3].startswith(f"{bad_utf8}: cannot read: ")
    assert lines[4].startswith(f"{tmp_path / 'missing.vrel'}: cannot read: ")
    assert check_command("-", stdin="x = 1 +\n").stdout == "-:1:8: expected an expression\nx = 1 +\n       ^\n"
    usage = subprocess.run([sys.executable, "-m", "vrelpy"], capture_output=True, text=True, timeout=60)
    assert usage.returncode == 2 and usage.stderr.startswith("usage: python -m vrelpy check FILE...")


def test_stub_package_is_installed_beside_the_module():
    # Type checkers find the stubs of the package (whose names all come from a compiled
    # extension) as a PEP 561 stub-only package in the same directory as the package.
    package = pathlib.Path(vrelpy.__file__).parent
    assert (package.parent / "vrelpy-stubs" / "__init__.pyi").is_file()


def test_dask_example_on_two_workers():
    pytest.importorskip("distributed")
    # 50,000 records: one of them has a household of 0, so one rule error per run. The
    # example runs in a session of its own, so that a timeout ends its workers too.
    env = dict(os.environ)
    if env.get("VRELPY_TESTS_UNDER_SANITIZER"):
        # The worker processes end with threads of the cluster's own still holding
        # interpreter objects: leaks of the interpreter, not of vrelpy. Memory errors are
        # still checked there.
        env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":detect_leaks=0"
    proc = subprocess.Popen(
        [sys.executable, str(EXAMPLES / "dask_rules.py"), "50000"],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, start_new_session=True,
        env=env,
    )
    try:
        out, err = proc.communicate(timeout=120)
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        proc.communicate()
        raise
    assert proc.returncode == 0, err
    lines = out.splitlines()
    assert re.fullmatch(r"4 rules, pickled into [\d,]+ bytes; 50,000 records in 16 partitions on 2 worker processes", lines[0])
    throughput = r"records in [\d.]+ s \([\d,]+ records/s\)"
    assert re.fullmatch("one process: 50,000 " + throughput, lines[1])
    assert re.fullmatch("dask: 50,000 " + throughput, lines[2])
    assert re.fullmatch(r"speed-up with 2 workers: [\d.]+x", lines[3])
    assert lines[4] == "same results: yes"
    counts = dict(re.fullmatch(r"  (.+): ([\d,]+)", line).groups() for line in lines[5:])
    assert counts["cannot decide"] == counts["error in low_income"] == "1"
    assert sum(int(counts[k].replace(",", "")) for k in ("eligible", "not eligible", "cannot decide")) == 50_000
    # The one error's report, from each of the two runs.
    assert err.count("vrel: fatal error in thread") == 2
