#!/usr/bin/env bash
# Runs the self-test once on a simulated board (no hardware needed) and shows
# what it did: console, trace log, report and the files it left.
#   scripts/demo.sh [--board fixture/boards/NAME.json] [ARGS...]
# ARGS are the program's own (Port=..., Cnt=...); the default board's default
# arguments are used when none are given.
set -euo pipefail
cd "$(dirname "$0")/.."

board=fixture/boards/default.json
if [[ "${1:-}" == "--board" ]]; then
  board=$2
  shift 2
fi

scripts/deps.sh
cmake --preset host >/dev/null
cmake --build --preset host --target rigchkEx fixture_programs
if (( $# )); then
  exec build/host/fixture/bin/rigfixture --board "$board" -- "$@"
fi
exec build/host/fixture/bin/rigfixture --board "$board"
