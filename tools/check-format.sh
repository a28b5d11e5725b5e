#!/usr/bin/env bash
# Checks that every C++ file of the project (the list: tools/cxx-files.sh) is formatted as
# clang-format with the repository's .clang-format would format it. Fails listing the files
# that are not; tools/format.sh fixes them.
set -euo pipefail
cd "$(dirname "$0")/.."

if ! command -v clang-format >/dev/null 2>&1; then
  echo "error: clang-format not found (Debian: apt-get install clang-format)" >&2
  exit 1
fi
mapfile -t files < <(./tools/cxx-files.sh)
offenders=()
for f in "${files[@]}"; do
  if ! clang-format --style=file --dry-run --Werror "$f" >/dev/null 2>&1; then
    offenders+=("$f")
  fi
done
if [ "${#offenders[@]}" -gt 0 ]; then
  echo "error: ${#offenders[@]} of ${#files[@]} C++ files are not clang-formatted" \
       "(run ./tools/format.sh):" >&2
  printf '  %s\n' "${offenders[@]}" >&2
  exit 1
fi
echo "format: all ${#files[@]} C++ files clean ($(clang-format --version))"
