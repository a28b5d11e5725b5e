"""The venv of bench/compare.py: creates bench/.venv, installs the peers from PyPI and vrelpy
from this repository into it, re-executes the benchmark there, and tells which peers cannot be
imported."""

from __future__ import annotations

import argparse
import hashlib
import json
import os
import subprocess
import sys
from pathlib import Path

BENCH_DIR = Path(__file__).resolve().parent
REPO = BENCH_DIR.parent
VENV = BENCH_DIR / ".venv"
# Never the repository's own build/: the benchmark builds in a directory of its own, one per
# checkout (named after its path), so that two checkouts on one machine never share a build.
CHECKOUT = f"{REPO.name}_{hashlib.sha1(str(REPO).encode()).hexdigest()[:8]}"
BUILD_DIR = f"/tmp/bench_build_{CHECKOUT}/{{wheel_tag}}"

# PyPI name -> import name.
PEER_PACKAGES = {
    "lupa": "lupa",
    "simpleeval": "simpleeval",
    "asteval": "asteval",
    "cel-python": "celpy",
    "common-expression-language": "cel",
    # Not a peer: W8 gives its records to vrelpy as numpy columns.
    "numpy": "numpy",
}

STATUS_FILE = "bench-peers.json"


def in_bench_venv() -> bool:
    return Path(sys.prefix).resolve() == VENV.resolve()


def bootstrap(args: argparse.Namespace, script: Path) -> None:
    """Creates bench/.venv, installs the peers and vrelpy, then re-executes `script` (with the
    same arguments) inside it."""
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
    os.execve(str(vpy), [str(vpy), str(script), *sys.argv[1:]], env)


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
