#!/usr/bin/env bash
# Builds and installs vrelpy into .venv, then runs the quickstart example.
set -euo pipefail
cd "$(dirname "$0")/.."
./tools/setup-venv.sh
exec .venv/bin/python examples/quickstart.py
