#!/usr/bin/env bash
# Builds and runs every test: the format check of the C++ sources, the core's GoogleTest
# suite (CTest), the Python suite, the type checks of the stubs and examples, the suites
# under AddressSanitizer/UBSan and ThreadSanitizer, and line coverage, all on CPython 3.13;
# then the wheels for 3.13, 3.14 and 3.15, with the whole Python suite against the 3.14 and
# 3.15 wheels (in the root of tools/interpreters.sh, made once per machine). The CMake
# builds use the presets of CMakePresets.json. Installs what is missing on a fresh Debian
# machine: libgtest-dev, clang-format, debootstrap, a venv, PyPI packages.
#
#   ./tools/run-tests.sh          everything (what CI runs)
#   ./tools/run-tests.sh --quick  the format check, the release-build suites and the type checks
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

echo "== format of the C++ sources (clang-format; ./tools/format.sh fixes it)"
./tools/check-format.sh

echo "== core: configure, build, test (CMake preset release, in build/core)"
cmake --preset release >/dev/null
cmake --build --preset release
ctest --preset release

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

echo "== CPython 3.14 and 3.15: the root of tools/interpreters.sh"
./tools/interpreters.sh

echo "== wheels: the sdist, a wheel per CPython, the Python suite against the 3.14 and 3.15 ones"
./tools/build-wheels.sh --whole-suite 3.14,3.15
