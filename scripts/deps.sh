#!/usr/bin/env bash
# Installs the Debian packages the build, the simulated fixture and the tests
# need. Idempotent: only missing packages are installed (needs root).
#   scripts/deps.sh            packages for building and running on the fixture
#   scripts/deps.sh --tests    also what the test suites need, the board's twin included
#   scripts/deps.sh --machine imx6ul   also the board's twin (scripts/twin-deps.sh):
#                              the emulator, the armhf cross compilers and the
#                              kernel, for the release builds (scripts/release.sh) and the twin
#   scripts/deps.sh --station  also the station and the results store (station/)
# Each package is named once: the twin's (the cross compilers, qemu-user,
# GoogleTest's sources) in twin-deps.sh, which --tests runs too.
set -euo pipefail

usage="usage: scripts/deps.sh [--tests | --machine imx6ul | --station]"
mode=${1:-}
case "$mode ${2:-}" in
  " ") ;;
  "--tests "|"--station "|"--machine imx6ul") ;;
  *) echo "deps.sh: unknown option: $*" >&2; echo "$usage" >&2; exit 2 ;;
esac

packages=(
  g++ cmake ninja-build pkg-config   # the build
  bubblewrap psmisc                  # the sandbox of the fixture; killall inside it
  libmodbus-dev                      # the fixture's Modbus sensor
  nlohmann-json3-dev                 # board description files
  libgtest-dev libgmock-dev          # the fixture's harness and the tests
  procps                             # uptime: bench.sh reports the load it ran under
  file dpkg-dev                      # cpack's Debian package: CPack's DEB generator, dpkg-shlibdeps
)
station=(
  python3-labgrid python3-pytest   # station/: the station's test over a board's console
  python3-matplotlib               # station/batch_summary.py: the batch's chart
  python3-sqlalchemy python3-psycopg2 python3-tqdm  # station/rigresults: the results store
  python3-flask python3-waitress   # station/rigresults serve: the dashboard
)
if [[ $mode == --station ]]; then
  packages+=("${station[@]}")
fi
if [[ $mode == --tests ]]; then
  packages+=(
    "${station[@]}"
    clang libclang-rt-14-dev         # libFuzzer targets
    clang-format                     # scripts/format.sh
    busybox-static                   # the fixture's BusyBox userland (rigfixture --userland busybox)
    lintian                          # the package test: the .deb as Debian's checks see it
    python3-pytest-xdist             # station/tests: the store's suite in parallel
    debootstrap git                  # .ci/run's clean-room stage (scripts/cleanroom.sh)
    libbenchmark-dev                 # tests/bench: the trace log micro-benchmark
    tmux                             # the console test types at the board's console
    python3-hypothesis postgresql    # the store's tests: the parser's property test, a real PostgreSQL server
    chromium chromium-driver python3-selenium  # the dashboard's browser test (headless Chromium)
    stress-ng                        # the load test: every core kept busy (README)
  )
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if (( ${#missing[@]} )); then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# The board's twin: the emulator, the armhf kernel and BusyBox it boots.
if [[ $mode == --tests || $mode == --machine ]]; then
  "$(dirname "$0")/twin-deps.sh"
fi
