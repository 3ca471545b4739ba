#!/usr/bin/env bash
# Builds both board artifacts from the same sources and compiler options:
#   build/armhf/package/rigchkex_<version>_armhf.deb               for Debian 12 or later
#   build/armhf-static/package/rigchkEx-<version>-armhf-static.tar.gz  for any ARMv7 Linux
# (each by its CMake workflow: configure, build, package).
#   scripts/release.sh
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh --machine imx6ul  # the cross compilers (with the twin's other tools)
for preset in armhf armhf-static; do
  echo "=== ${preset}"
  cmake --workflow --preset "$preset"
done
echo "=== release artifacts"
ls -l build/armhf/package/*.deb build/armhf-static/package/*.tar.gz
