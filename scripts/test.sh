#!/usr/bin/env bash
# Builds the program twice (release, and with the address and undefined-behaviour sanitizers)
# and runs every test on both builds.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
jobs=$(nproc 2>/dev/null || echo 2)
status=0
for variant in release sanitize; do
  dir=build
  flags=(-DCMAKE_BUILD_TYPE=Release)
  if [ "$variant" = sanitize ]; then
    dir=build-sanitize
    flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DVARNOSTA_SANITIZE=ON)
  fi
  echo "=== $variant build ($dir) ==="
  cmake -S . -B "$dir" "${flags[@]}" >/dev/null
  cmake --build "$dir" -j "$jobs"
  echo "=== $variant tests ==="
  (cd "$dir" && ctest --output-on-failure -j "$jobs") || status=1
done
exit $status
