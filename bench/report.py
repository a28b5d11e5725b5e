"""Report of bench/compare.py: the project's targets with met/missed, the table on standard
output and the same figures as JSON."""

from __future__ import annotations

import datetime
import json
import os
import platform
import subprocess
import sys
from pathlib import Path
from typing import Any

from compare_env import PEER_PACKAGES, REPO
from timing import Result, fmt_time
from workloads import PURE_PYTHON_SAFE


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
    for w, most in (("W1 statements", 1.2), ("W2 expression", 1.0), ("W7 rules", 1.0)):
        fig, why = ratio(w, "python exec")
        add(f"{w}: at most {most:g}x python exec (vrelpy time / exec time)",
            1 / fig if fig else None, most, False, why)
    for w, most in (("W2 expression", 3.0), ("W7 rules", 2.5)):
        fig, why = ratio(w, "lupa")
        add(f"{w}: at most {most:g}x lupa (vrelpy time / lupa time)",
            1 / fig if fig else None, most, False, why)
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
    w8 = "W8 rule set"
    fig, why = ratio(w8, "per-record loop")
    add(f"{w8}: 1 worker >= 3x faster than the per-record loop (loop time / vrelpy time)",
        fig, 3.0, True, why)
    fig, why = ratio(w8, "lupa")
    add(f"{w8}: 1 worker faster than lupa (lupa time / vrelpy time)", fig, 1.0 + 1e-12, True, why)
    fig, why = ratio(w8, "vrelpy 2 workers")
    add(f"{w8}: 2 workers >= 1.6x faster than 1 (1-worker time / 2-worker time)",
        1 / fig if fig else None, 1.6, True, why)
    loop, why = ratio(w8, "per-record loop")
    dicts, why2 = ratio(w8, "vrelpy dicts")
    add(f"{w8}: from a list of dicts >= 2x faster than the per-record loop (loop / dicts)",
        loop / dicts if loop and dicts else None, 2.0, True, why or why2)
    failing, why3 = ratio(w8, "vrelpy failing")
    add(f"{w8}: a failing record <= 2x a succeeding one (failing dicts / dicts)",
        failing / dicts if failing and dicts else None, 2.0, False, why2 or why3)
    add("W6: store with 2 threads >= 1.6x 1 thread (throughput ratio)",
        w6.get("scaling"), 1.6, True, "" if w6.get("status") == "ok" else w6.get("reason", ""))
    return targets


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
