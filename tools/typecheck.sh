#!/usr/bin/env bash
# Checks the type stubs (stubs/vrelpy-stubs) in .venv: mypy --strict over the examples,
# which import vrelpy through the installed stub package, and mypy's stubtest, which
# compares the stubs with the built module. Reinstalls vrelpy when the installed stubs
# are missing or differ from the tree's.
set -euo pipefail
cd "$(dirname "$0")/.."

MYPY_VERSION=2.4.1

installed_stub() {
  [ -x .venv/bin/python ] && .venv/bin/python -c '
import os, sysconfig
print(os.path.join(sysconfig.get_path("platlib"), "vrelpy-stubs", "__init__.pyi"))' 2>/dev/null
}
stub="$(installed_stub || true)"
if [ -z "$stub" ] || ! cmp -s "$stub" stubs/vrelpy-stubs/__init__.pyi; then
  ./tools/setup-venv.sh
fi
if ! .venv/bin/python -m mypy --version 2>/dev/null | grep -q "^mypy $MYPY_VERSION "; then
  .venv/bin/python -m pip install -q --disable-pip-version-check "mypy==$MYPY_VERSION"
fi

echo "== mypy --strict examples/"
# No cache: nothing is written into the tree.
.venv/bin/python -m mypy --strict --cache-dir=/dev/null examples/

echo "== stubtest vrelpy"
# Runs in a scratch directory, which takes stubtest's cache.
root="$PWD"
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
(cd "$scratch" && "$root/.venv/bin/python" -m mypy.stubtest \
  --allowlist "$root/stubs/stubtest-allowlist.txt" vrelpy)
