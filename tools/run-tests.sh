#!/usr/bin/env bash
# Builds and runs every test: the core's GoogleTest suite (CTest), the Python suite, the
# type checks of the stubs and examples, the suites under AddressSanitizer/UBSan and
# ThreadSanitizer, and line coverage. Installs what is missing on a fresh Debian machine:
# libgtest-dev, a venv, PyPI packages.
#
#   ./tools/run-tests.sh          everything (what CI runs)
#   ./tools/run-tests.sh --quick  only the release-build suites and the type checks
set -euo pipefail
cd "$(dirname "$0")/.."

quick=0
if [ "${1:-}" = "--quick" ]; then
  quick=1
  shift  # prerequisites.sh is sourced below and hands its arguments to pip
fi

echo "== prerequisites, and vrelpy built from this tree into .venv"
./tools/setup-venv.sh
source tools/prerequisites.sh

echo "== core: configure, build, test"
cmake -S . -B build/core -DCMAKE_BUILD_TYPE=Release -DVRELPY_BUILD_TESTS=ON \
  -DVRELPY_BUILD_BENCH=ON -DVRELPY_BUILD_MODULE=OFF >/dev/null
cmake --build build/core -j2
ctest --test-dir build/core --output-on-failure -j2

echo "== python"
# The CI profile runs thousands of examples of the property tests.
VRELPY_HYPOTHESIS_PROFILE=ci .venv/bin/python -m pytest -q -p no:cacheprovider tests/python

echo "== type checks"
./tools/typecheck.sh

if [ "$quick" = 1 ]; then
  exit 0
fi

echo "== sanitizers"
./tools/run-sanitizers.sh

echo "== coverage"
./tools/coverage.sh
