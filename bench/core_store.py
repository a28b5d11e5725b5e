"""W6 of bench/compare.py: builds the C++ core benchmark (bench/core_bench.cpp) with CMake and
reads the store's throughput with 1 and 2 threads from its output."""

from __future__ import annotations

import hashlib
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path
from typing import Any

REPO = Path(__file__).resolve().parent.parent
# One build directory per checkout (named after its path), as compare_env.py does for vrelpy.
CORE_BUILD_DIR = Path(f"/tmp/bench_core_{REPO.name}_{hashlib.sha1(str(REPO).encode()).hexdigest()[:8]}")

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
