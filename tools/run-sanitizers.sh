#!/usr/bin/env bash
# Runs the test suites under sanitizers, each build in its own directory:
#   build/asan  AddressSanitizer + UndefinedBehaviorSanitizer: the core's GoogleTest suite,
#               then the Python suite in an interpreter with the ASan runtime preloaded,
#               importing the sanitized extension module;
#   build/tsan  ThreadSanitizer: the store, lock and stress tests of the core, those of
#               vectors whose element cells share blocks, and those where threads run one
#               kept tree on machines of their own.
# Any sanitizer report fails the run. Expects .venv from tools/run-tests.sh (creates it
# otherwise). Under sanitizers the Python suite sets VRELPY_TESTS_UNDER_SANITIZER=1, which
# sizes down the deepest and longest tests (see tests/python/test_deep.py and
# tests/python/test_stress.py); hypothesis runs its fast default profile.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

source tools/prerequisites.sh
python_exe="$root/.venv/bin/python"
# Instrumented frames are many times larger than release ones: a 60 MiB stack gives the
# deep tests (which expect ordinary nesting to fit the main thread) the room they assume.
ulimit -s 61440  # ASan will not clean up after exceptions on stacks above 64 MiB
supp="$root/tests/sanitizers"

# Shared by every sanitized process. detect_stack_use_after_return stays off: with it,
# frames live on ASan's heap "fake stack", which would defeat the core's native stack guard
# (it compares frame addresses against the thread's real stack bounds).
common_ubsan="print_stacktrace=1:halt_on_error=1:suppressions=$supp/ubsan.supp"

echo "== asan+ubsan: configure, build (CMake preset asan)"
# The flags (-O1 -g, the sanitizers, which targets) are in CMakePresets.json.
cmake --preset asan -DPython_EXECUTABLE="$python_exe" >/dev/null
cmake --build --preset asan

echo "== asan+ubsan: core tests"
# The test preset sets ASAN_OPTIONS (leaks, strict string checks, initialisation order; no
# fake stack, as above) and UBSAN_OPTIONS (the same as common_ubsan).
ctest --preset asan

echo "== asan+ubsan: python tests"
module_dir="$root/build/asan"
# The interpreter itself is not instrumented: the ASan runtime must come first in the
# process (LD_PRELOAD), followed by the C++ runtime, which the interpreter does not load
# itself: ASan looks up the real __cxa_throw when it starts, and without libstdc++ already
# there the first C++ exception thrown by the module would abort. PYTHONMALLOC=malloc routes Python objects through the
# intercepted malloc so that overflows and use-after-free on them are seen too. Leaks are
# checked at every interpreter exit (pytest's own and each subprocess a test starts);
# only the interpreter's own allocations are suppressed (tests/sanitizers/lsan-python.supp).
export LD_PRELOAD
LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so.6)"
export ASAN_OPTIONS="detect_leaks=1:detect_stack_use_after_return=0:allocator_may_return_null=0"
export LSAN_OPTIONS="suppressions=$supp/lsan-python.supp:print_suppressions=0"
export UBSAN_OPTIONS="$common_ubsan"
export PYTHONMALLOC=malloc
export PYTHONPATH="$module_dir${PYTHONPATH:+:$PYTHONPATH}"
export VRELPY_TESTS_UNDER_SANITIZER=1
loaded=$("$python_exe" -c 'import vrelpy; print(vrelpy.__file__)')
case "$loaded" in
  "$module_dir"/*) echo "sanitized module: $loaded" ;;
  *) echo "error: imported $loaded instead of the module in $module_dir" >&2; exit 1 ;;
esac
# The stub-package check inspects the pip-installed layout, not the module under test.
"$python_exe" -m pytest -q -p no:cacheprovider --durations=10 tests/python \
  --deselect tests/python/test_examples.py::test_stub_package_is_installed_beside_the_module
unset LD_PRELOAD ASAN_OPTIONS LSAN_OPTIONS UBSAN_OPTIONS PYTHONMALLOC VRELPY_TESTS_UNDER_SANITIZER

echo "== tsan: configure, build (CMake preset tsan), store/lock/stress/vector-builder/repeated-evaluation tests"
ulimit -s 8192  # back to the usual stack: these tests do not nest deeply
cmake --preset tsan >/dev/null
cmake --build --preset tsan
# halt_on_error: the first race fails the run; second_deadlock_stack for useful reports.
TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$supp/tsan.supp" \
  build/tsan/vrel_core_tests \
  --gtest_filter='VariableStore*:Machine*:RawRwLock*:HashKeys*:StoreStress*:*Concurren*:*VectorBuilder*:RepeatedEvaluation.*:*MachinesInTurn*'
echo "== sanitizers: all clean"
