#!/usr/bin/env bash
# Builds and runs every test: the core's GoogleTest suite (CTest) and the Python suite.
# Installs what is missing on a fresh Debian machine: libgtest-dev, a venv, PyPI packages.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ ! -f /usr/include/gtest/gtest.h ]; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq libgtest-dev >/dev/null
fi

echo "== core: configure, build, test"
cmake -S . -B build/core -DCMAKE_BUILD_TYPE=Release -DVRELPY_BUILD_TESTS=ON \
  -DVRELPY_BUILD_BENCH=ON -DVRELPY_BUILD_MODULE=OFF >/dev/null
cmake --build build/core -j2
ctest --test-dir build/core --output-on-failure -j2

echo "== python: install vrelpy and the test tools into .venv, run pytest"
./tools/setup-venv.sh
.venv/bin/python -m pip install -q --disable-pip-version-check -r tests/python/requirements.txt
.venv/bin/python -m pytest -q -p no:cacheprovider tests/python
