#!/usr/bin/env bash
# Sourced by the test scripts: installs what a fresh Debian machine lacks for the tests
# (Debian's libgtest-dev through apt, .venv with vrelpy, the PyPI test tools plus any
# packages given as arguments).
if [ ! -f /usr/include/gtest/gtest.h ]; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq libgtest-dev >/dev/null
fi
if [ ! -x .venv/bin/python ]; then
  ./tools/setup-venv.sh
fi
.venv/bin/python -m pip install -q --disable-pip-version-check -r tests/python/requirements.txt "$@"
