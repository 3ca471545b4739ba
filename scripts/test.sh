#!/usr/bin/env bash
# Builds and runs every test: the fuzz targets for a bounded time, then the
# unit tests and end-to-end scenarios on the simulated fixture, in the host
# build and again under ASan and UBSan, then the board's armhf build with its
# unit tests and scenarios under qemu-arm (on the host build's fixture, so
# armhf comes after host). busybox runs the host build's scenarios again in the
# BusyBox userland; armhf-static builds the static release program and runs
# its archive check and its scenarios (those without DIO ioctls) under
# qemu-arm in the BusyBox userland; imx6ul runs the static program's scenarios
# on the board's twin, an emulated i.MX6UL (DIO ones included); station is the
# station's run on labgrid against three simulated boards and one twin, and the
# operator's panel on them in a browser (all
# after host, imx6ul and station after armhf-static); results is the
# station's results store and dashboard (station/tests: parser, store, views,
# a real PostgreSQL server, the browser); format checks the C and C++ files
# against .clang-format; mutation applies small changes to the program one at
# a time and fails naming any that the host build's scenarios do not catch,
# and the line changes on the twin too when its image is built (after host,
# and by default after imx6ul, which builds the image).
#   scripts/test.sh [format|host|mutation|asan|armhf|busybox|armhf-static|imx6ul|station|results|fuzz]...
#                   (default: format fuzz host results asan armhf busybox armhf-static imx6ul mutation station)
set -euo pipefail
cd "$(dirname "$0")/.."

configs=("$@")
(( ${#configs[@]} )) || configs=(format fuzz host results asan armhf busybox armhf-static imx6ul mutation station)

# Runs one configuration; returns its build's or its tests' status.
run_config() {
  local c=$1 build=$1 test=$1
  if [[ "$c" == fuzz ]]; then
    echo "=== fuzz: ${FUZZ_SECONDS:-30} s per target"
    scripts/fuzz.sh "${FUZZ_SECONDS:-30}"
    return
  fi
  if [[ "$c" == station ]]; then
    echo "=== station: three simulated boards on build/host"
    cmake --preset host >/dev/null && cmake --build --preset host &&
      timeout "${STATION_SECONDS:-300}" station/run-simulated.sh build/host &&
      { echo "=== station: the operator's panel in a browser"
        RIGPANEL_BUILD=build/host PYTHONDONTWRITEBYTECODE=1 timeout "${STATION_SECONDS:-300}" \
          /usr/bin/python3 -m pytest -p no:cacheprovider -q station/tests/test_panel.py -k browser; } &&
      { echo "=== station: replayed runs on build/host"
        PYTHONDONTWRITEBYTECODE=1 /usr/bin/python3 -m pytest -p no:cacheprovider -q station/test_replay.py; }
    return
  fi
  if [[ "$c" == mutation ]]; then
    echo "=== mutation: small changes to the program, each against the scenarios it concerns"
    scripts/mutation.sh
    return
  fi
  if [[ "$c" == format ]]; then
    echo "=== format: the C and C++ files against .clang-format"
    scripts/format.sh --check
    return
  fi
  if [[ "$c" == results ]]; then
    echo "=== results: station/tests"
    PYTHONDONTWRITEBYTECODE=1 /usr/bin/python3 -m pytest -p no:cacheprovider -q station/tests
    return
  fi
  if [[ "$c" == imx6ul ]]; then
    echo "=== imx6ul: the static program's scenarios on the board's twin"
    cmake --preset armhf-static >/dev/null && cmake --build --preset armhf-static &&
      cmake --build --preset armhf-static --target twin-image &&
      { echo "=== imx6ul: test"; ctest --preset imx6ul; }
    return
  fi
  [[ "$c" == busybox ]] && build=host test=host-busybox  # the host build, another userland
  echo "=== ${c}: build"
  cmake --preset "$build" >/dev/null && cmake --build --preset "$build" &&
    { echo "=== ${c}: test"; ctest --preset "$test"; }
}

scripts/deps.sh --tests
# Every configuration runs, whatever an earlier one gave; the status says
# whether all passed.
failed=()
for c in "${configs[@]}"; do
  start=$(date +%s)
  run_config "$c" || failed+=("$c")
  echo "=== ${c}: $(( $(date +%s) - start )) s"
done
if (( ${#failed[@]} )); then
  echo "=== failed: ${failed[*]}"
  exit 1
fi
echo "=== all passed: ${configs[*]}"
exit 0
