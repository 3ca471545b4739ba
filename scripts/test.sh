#!/usr/bin/env bash
# Builds and runs every test: unit tests and end-to-end scenarios on the
# simulated fixture, in the host build and again under ASan and UBSan.
#   scripts/test.sh [host|asan]...     (default: host asan)
set -euo pipefail
cd "$(dirname "$0")/.."

configs=("$@")
(( ${#configs[@]} )) || configs=(host asan)

scripts/deps.sh --tests
for c in "${configs[@]}"; do
  echo "=== ${c}: build"
  start=$(date +%s)
  cmake --preset "$c" >/dev/null
  cmake --build --preset "$c"
  echo "=== ${c}: test"
  ctest --preset "$c"
  echo "=== ${c}: $(( $(date +%s) - start )) s"
done
