#!/usr/bin/env bash
# The verdict as a script and the board's operator read it: runs a passing
# board, two failing ones (serial tallies, DO and DI tallies), an
# inventory-failing one and one killed during its tries (no verdict) in the BusyBox userland with rigfixture
# --verdict-status --quiet, whose status must be the verdict's; then
# rigchkEx-result with BusyBox's shell and applets on each run's
# /NandFlash/tmp and on an empty folder. Its status must be the verdict's too,
# and its verdict line and failed ports the fixture's own verdict block's
# (read by other code).
#   test_verdict.sh RIGFIXTURE RESULT_COMMAND BOARDS_DIR WORKDIR
set -euo pipefail
rig=$1 result=$2 boards=$3 work=$4
rm -rf "$work"; mkdir -p "$work/applets" "$work/empty"
for a in $(busybox --list); do ln -s "$(command -v busybox)" "$work/applets/$a"; done
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# A run killed during its first try, as a reset or a lost console leaves it:
# no result line, no report, so no verdict.
/usr/bin/python3 -c 'import json, sys
b = json.load(open(sys.argv[1]))
b["signals"] = [{"signal": "KILL", "after_log": "Try Test RS485 1"}]
json.dump(b, open(sys.argv[2], "w"))' "$boards/default.json" "$work/aborted.json"

# name board expected-status program-arguments...
runs=(
  "pass default.json 0 Port=RS485 Cnt=1"
  "fail serial-faults.json 1 Port=RS485 Cnt=2"
  "dio dio-faults.json 1 Port=DIO Cnt=1"
  "inventory no-dio-conf.json 1"
  "aborted $work/aborted.json 2 Port=RS485 Cnt=3"
)
for r in "${runs[@]}"; do
  read -r name board _ args <<<"$r"
  [[ $board == /* ]] || board=$boards/$board
  # shellcheck disable=SC2086  # the arguments are words
  { rc=0; "$rig" --board "$board" --out "$work/$name" --userland busybox --quiet --verdict-status \
      -- $args >"$work/$name.txt" 2>"$work/$name.err" || rc=$?; echo $rc >"$work/$name.rc"; } &
done
wait

# Runs the command on a folder in BusyBox; sets out and status.
companion() {
  status=0
  out=$(env -i PATH="$work/applets" busybox sh "$result" "$1") || status=$?
}

for r in "${runs[@]}"; do
  read -r name _ expected _ <<<"$r"
  [[ -s $work/$name/verdict.txt ]] || { fail "$name: the fixture left no verdict ($work/$name.err)"; continue; }
  [[ $(cat "$work/$name.rc") == "$expected" ]] || fail "$name: rigfixture --verdict-status ended $(cat "$work/$name.rc")"
  [[ $(cat "$work/$name.txt") == "$work/$name" ]] || fail "$name: --quiet printed more than the folder"
  companion "$work/$name/NandFlash/tmp"
  [[ $status == "$expected" ]] || fail "$name: status $status, expected $expected: $out"
  # The verdict line, and the failed ports with their tallies.
  want=$(grep -e '^VERDICT:' -e '^  [^ (]' "$work/$name/verdict.txt")
  got=$(grep -e '^VERDICT:' -e '^  ' <<<"$out")
  [[ $(sed -n 's/^rigfixture: //p' "$work/$name.err") == \
     "$(grep -e '^VERDICT:' -e '^failed ports' -e '^  [^ (]' "$work/$name/verdict.txt")" ]] ||
    fail "$name: --quiet's stderr is not the verdict line and the failed ports: $(cat "$work/$name.err")"
  if [[ $expected == 2 ]]; then  # each says in its own words why there is no verdict
    want=${want%% (*} got=${got%% (*}
  fi
  [[ $got == "$want" ]] || fail "$name: rigchkEx-result says
$got
the fixture's verdict:
$want"
  [[ $expected == 2 ]] || grep -q "^board: ZR-[^,]*, chip identity [^,]*, run started 20" <<<"$out" ||
    fail "$name: no board line: $out"
done
grep -q '^  RS485-2 0/2$' "$work/fail/verdict.txt" || fail "the failing board did not fail RS485-2 with 0/2"
grep -q '^  DO-1 NO 0/1 NC 1/1$' "$work/dio/verdict.txt" || fail "the DIO board did not fail DO-1 in its NO test"

companion "$work/empty"
[[ $status == 2 && $out == "VERDICT: NONE (no report "* ]] || fail "empty folder: status $status: $out"

((failures == 0)) || exit 1
echo "ok: rigfixture --verdict-status and rigchkEx-result agree with the verdict on ${#runs[@]} boards;" \
  "rigchkEx-result says NONE on an empty folder"
