#!/usr/bin/env bash
# Creates .venv with CPython 3.13 and installs vrelpy into it, building in build/<wheel tag>
# (run by the other scripts).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

find_python() {
  for candidate in "${PYTHON:-}" python3.13 /usr/bin/python3.13 /usr/local/bin/python3.13; do
    if [ -n "$candidate" ] && command -v "$candidate" >/dev/null 2>&1 &&
       "$candidate" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 13))' 2>/dev/null; then
      command -v "$candidate"
      return 0
    fi
  done
  echo "error: CPython 3.13 not found (set PYTHON=/path/to/python3.13)" >&2
  return 1
}

if [ ! -x .venv/bin/python ] ||
   ! .venv/bin/python -c 'import sys; sys.exit(sys.version_info[:2] != (3, 13))' 2>/dev/null; then
  rm -rf .venv
  "$(find_python)" -m venv .venv
fi
# The build backend lives in .venv and the build is not isolated: pip would otherwise give
# every build a new temporary environment, and scikit-build-core starts its build directory
# (build/<wheel tag>, see pyproject.toml) afresh for each new environment. This way a
# repeated install rebuilds only what changed.
pip=(.venv/bin/python -m pip install -q --disable-pip-version-check)
"${pip[@]}" "scikit-build-core>=0.11"
"${pip[@]}" --no-build-isolation "$@" .
