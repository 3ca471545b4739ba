#!/usr/bin/env bash
# Installs the Debian packages the build, the simulated fixture and the tests
# need. Idempotent: only missing packages are installed (needs root).
#   scripts/deps.sh            packages for building and running on the fixture
#   scripts/deps.sh --tests    also what the test suites need, the board's twin included
#   scripts/deps.sh --machine imx6ul   also the board's twin (scripts/twin-deps.sh)
set -euo pipefail

packages=(
  g++ cmake ninja-build pkg-config   # the build
  bubblewrap psmisc                  # the sandbox of the fixture; killall inside it
  libmodbus-dev                      # the fixture's Modbus sensor
  nlohmann-json3-dev                 # board description files
  libgtest-dev libgmock-dev          # the fixture's harness and the tests
  procps                             # uptime: bench.sh reports the load it ran under
)
if [[ "${1:-}" == "--tests" ]]; then
  packages+=(
    clang libclang-rt-14-dev         # libFuzzer targets
    clang-format                     # scripts/format.sh
    g++-arm-linux-gnueabihf qemu-user  # the armhf build, its tests run under qemu-arm
    busybox-static                   # the fixture's BusyBox userland (rigfixture --userland busybox)
    googletest dpkg-dev              # GoogleTest sources for armhf; the Debian packages
    file                             # CPack's DEB generator (the package test)
    lintian                          # the package test: the .deb as Debian's checks see it
    python3-labgrid python3-pytest python3-pytest-xdist  # station/: the station's suite
    python3-matplotlib               # station/batch_summary.py: the batch's chart
    debootstrap git                  # .ci/run's clean-room stage (scripts/cleanroom.sh)
    libbenchmark-dev                 # tests/bench: the trace log micro-benchmark
    tmux                             # the console test types at the board's console
    python3-labgrid python3-pytest python3-pytest-xdist  # station/: the station's suite
    python3-matplotlib               # station/batch_summary.py: the batch's chart
    python3-sqlalchemy python3-psycopg2 python3-tqdm  # station/rigresults: the results store
    python3-hypothesis postgresql    # its tests: the parser's property test, a real PostgreSQL server
    python3-flask python3-waitress   # station/rigresults serve: the dashboard
    chromium chromium-driver python3-selenium  # its browser test (headless Chromium)
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
if [[ "${1:-}" == "--tests" || "${1:-} ${2:-}" == "--machine imx6ul" ]]; then
  "$(dirname "$0")/twin-deps.sh"
fi
