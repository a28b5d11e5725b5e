#!/usr/bin/env bash
# Line coverage of the core (vrel/) and the binding (src/): builds everything instrumented
# in build/coverage, runs the core's GoogleTest suite and the Python suite against the
# instrumented module, and prints gcovr's per-file report and summary. Expects .venv from
# tools/run-tests.sh (creates it otherwise); installs gcovr into it.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

source tools/prerequisites.sh 'gcovr>=8.8'
python_exe="$root/.venv/bin/python"
# -O0 frames are several times larger than release ones: a 64 MiB stack gives the deep
# tests (which expect ordinary nesting to fit the main thread) the room they assume.
ulimit -s 65536

echo "== coverage: configure, build (CMake preset coverage)"
# The flags (Debug, --coverage, atomic counter updates for the threads of the stress tests)
# are in CMakePresets.json.
cmake --preset coverage -DPython_EXECUTABLE="$python_exe" >/dev/null
cmake --build --preset coverage
find build/coverage -name '*.gcda' -delete

echo "== coverage: core tests"
ctest --preset coverage

echo "== coverage: python tests"
module_dir="$root/build/coverage"
loaded=$(PYTHONPATH="$module_dir" "$python_exe" -c 'import vrelpy; print(vrelpy.__file__)')
case "$loaded" in
  "$module_dir"/*) echo "instrumented module: $loaded" ;;
  *) echo "error: imported $loaded instead of the module in $module_dir" >&2; exit 1 ;;
esac
PYTHONPATH="$module_dir${PYTHONPATH:+:$PYTHONPATH}" VRELPY_TESTS_INSTRUMENTED=1 \
  "$python_exe" -m pytest -q -p no:cacheprovider --durations=10 tests/python \
  --deselect tests/python/test_examples.py::test_stub_package_is_installed_beside_the_module

echo "== coverage: report (lines of vrel/ and src/; fails below 95%)"
# --merge-lines counts a line once however many template instances expand it.
"$python_exe" -m gcovr --root . --object-directory build/coverage \
  --filter 'vrel/' --filter 'src/' --exclude-unreachable-branches --merge-lines \
  --fail-under-line 95 --txt - --print-summary
