#!/usr/bin/env bash
# Formats every C++ file of the project in place (the list: tools/cxx-files.sh) with
# clang-format and the repository's .clang-format. tools/check-format.sh checks the same.
set -euo pipefail
cd "$(dirname "$0")/.."

if ! command -v clang-format >/dev/null 2>&1; then
  echo "error: clang-format not found (Debian: apt-get install clang-format)" >&2
  exit 1
fi
mapfile -t files < <(./tools/cxx-files.sh)
clang-format --style=file -i "${files[@]}"
echo "formatted ${#files[@]} files with $(clang-format --version)"
