#!/usr/bin/env bash
# Sourced by the test scripts: installs what a fresh Debian machine lacks for the tests
# (Debian's libgtest-dev and clang-format through apt, .venv with vrelpy, the PyPI test
# tools plus any packages given as arguments).
apt_missing=()
[ -f /usr/include/gtest/gtest.h ] || apt_missing+=(libgtest-dev)
command -v clang-format >/dev/null 2>&1 || apt_missing+=(clang-format)
if [ "${#apt_missing[@]}" -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${apt_missing[@]}" >/dev/null
fi
unset apt_missing
if [ ! -x .venv/bin/python ]; then
  ./tools/setup-venv.sh
fi
.venv/bin/python -m pip install -q --disable-pip-version-check -r tests/python/requirements.txt "$@"
