#!/usr/bin/env bash
# Lists, one per line, the C++ files that tools/format.sh formats and tools/check-format.sh
# checks: the core (vrel/), the binding (src/), the core's tests and the C++ benchmarks.
# Files git tracks, plus new ones not yet added (but not ignored ones).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
git ls-files --cached --others --exclude-standard -- \
  ':(glob)vrel/**/*.cpp' ':(glob)vrel/**/*.hpp' \
  ':(glob)src/**/*.cpp' ':(glob)src/**/*.hpp' \
  ':(glob)tests/core/**/*.cpp' ':(glob)tests/core/**/*.hpp' \
  ':(glob)bench/*.cpp' | sort -u
