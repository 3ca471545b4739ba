#!/usr/bin/env bash
# Builds and runs every test: the fuzz targets for a bounded time, then the
# unit tests and end-to-end scenarios on the simulated fixture, in the host
# build and again under ASan and UBSan, then the board's armhf build with its
# unit tests and scenarios under qemu-arm (on the host build's fixture, so
# armhf comes after host), and the station's run on labgrid against three
# simulated boards (on the host build, so station comes after host).
#   scripts/test.sh [host|station|asan|armhf|fuzz]...     (default: fuzz host station asan armhf)
set -euo pipefail
cd "$(dirname "$0")/.."

configs=("$@")
(( ${#configs[@]} )) || configs=(fuzz host station asan armhf)

scripts/deps.sh --tests
for c in "${configs[@]}"; do
  start=$(date +%s)
  if [[ "$c" == fuzz ]]; then
    echo "=== fuzz: ${FUZZ_SECONDS:-30} s per target"
    scripts/fuzz.sh "${FUZZ_SECONDS:-30}"
    echo "=== fuzz: $(( $(date +%s) - start )) s"
    continue
  fi
  if [[ "$c" == station ]]; then
    echo "=== station: three simulated boards on build/host"
    cmake --preset host >/dev/null && cmake --build --preset host
    timeout "${STATION_SECONDS:-300}" station/run-simulated.sh build/host
    echo "=== station: $(( $(date +%s) - start )) s"
    continue
  fi
  echo "=== ${c}: build"
  cmake --preset "$c" >/dev/null
  cmake --build --preset "$c"
  echo "=== ${c}: test"
  ctest --preset "$c"
  echo "=== ${c}: $(( $(date +%s) - start )) s"
done
