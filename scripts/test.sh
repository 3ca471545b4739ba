#!/usr/bin/env bash
# Builds and runs every test: the fuzz targets for a bounded time, then the
# unit tests and end-to-end scenarios on the simulated fixture, in the host
# build and again under ASan and UBSan, then the board's armhf build with its
# unit tests and scenarios under qemu-arm (on the host build's fixture, so
# armhf comes after host).
#   scripts/test.sh [host|asan|armhf|fuzz]...     (default: fuzz host asan armhf)
set -euo pipefail
cd "$(dirname "$0")/.."

configs=("$@")
(( ${#configs[@]} )) || configs=(fuzz host asan armhf)

scripts/deps.sh --tests
for c in "${configs[@]}"; do
  start=$(date +%s)
  if [[ "$c" == fuzz ]]; then
    echo "=== fuzz: ${FUZZ_SECONDS:-30} s per target"
    scripts/fuzz.sh "${FUZZ_SECONDS:-30}"
    echo "=== fuzz: $(( $(date +%s) - start )) s"
    continue
  fi
  echo "=== ${c}: build"
  cmake --preset "$c" >/dev/null
  cmake --build --preset "$c"
  echo "=== ${c}: test"
  ctest --preset "$c"
  echo "=== ${c}: $(( $(date +%s) - start )) s"
done
