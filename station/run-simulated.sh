#!/usr/bin/env bash
# The station's run against three simulated boards and one twin at once:
# starts each simulated board with a shell on its console (rigfixture
# --console) and writes its labgrid environment file from the console's
# printed pseudo-terminal; prepares the twin (fixture A's board on an emulated
# i.MX6UL, env/twin.yaml: labgrid's QEMUDriver boots it when its test starts
# and switches it off at the end) with twin-host --station; runs the station
# suite against the four in parallel (one pytest per board), makes the batch
# summary, and checks the outcome: fixture C's RS485-2 receives every frame
# corrupted, so exactly that port on exactly that board fails.
# Exits 0 only when the results are exactly that. Stops the boards at the end.
#   station/run-simulated.sh [BUILD] [RESULTS] [TWIN_BUILD]
#       (default build/host, BUILD/station, build/armhf-static: the twin's
#       program and image; without its image the run has no twin)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/host}
results=${2:-$build/station}
twin_build=${3:-build/armhf-static}
rig=$build/fixture/bin/rigfixture
py=/usr/bin/python3
boards=(fixture-a fixture-b fixture-c)
twin=twin-a          # fixture A's board on the twin
twin_board=fixture-a
faulty_board=fixture-c
faulty_port=RS485-2
args="Port=All Cnt=1"
export PYTHONDONTWRITEBYTECODE=1
who=run-simulated
. station/simboards.sh

rm -rf "$results"
mkdir -p "$results/runs" "$results/env" "$results/boards"
db="sqlite:///$(realpath "$results")/results.db"   # the batch's results store
trap 'stop_boards "$results"' EXIT
trap "exit 143" TERM INT   # a time limit or Ctrl-C still stops the boards

start=$(date +%s)
start_boards "$results" "${boards[@]}"
for b in "${boards[@]}"; do board_env "$results" "$b"; done

# The twin: its simulators and initramfs now, its boot when its test starts.
tested=("${boards[@]}")
if start_twin "$results" "$twin" "$twin_board"; then
  tested+=("$twin")
else
  echo "run-simulated: no twin image in $twin_build/fixture/twin: the run has no twin"
fi

declare -A test_pid
for b in "${tested[@]}"; do
  "$py" -m pytest -p no:cacheprovider -q station/test_selftest.py --lg-env "$results/env/$b.yaml" \
    --rig-args "$args" --rig-out "$results/boards" --rig-board "$b" \
    --rig-db "$db" --rig-station sim-station \
    --junitxml "$results/boards/$b/pytest.xml" >"$results/boards/$b.log" 2>&1 &
  test_pid[$b]=$!
done
declare -A test_rc
for b in "${tested[@]}"; do
  rc=0; wait "${test_pid[$b]}" || rc=$?
  test_rc[$b]=$rc
  echo "run-simulated: station suite on $b: exit $rc ($results/boards/$b.log)"
done
stop_boards "$results"
trap - EXIT
"$py" station/batch_summary.py "$results/boards"
echo "run-simulated: $(( $(date +%s) - start )) s"

# The outcome: the suite fails on the faulty board only, its JUnit file
# names that port alone with the port's summary line, the other boards pass
# the same ports, the batch summary counts it, every board gave its verdict
# and ran its last step, and the results store holds every run with that
# port failed on that board alone.
station/rigresults --db "$db" pareto --format json >"$results/pareto.json"
station/rigresults --db "$db" yield --format json >"$results/yield.json"
rcs=()
for b in "${tested[@]}"; do rcs+=("${test_rc[$b]}"); done
sim_boards="${boards[*]}" "$py" - "$results/boards" "$faulty_board" "$faulty_port" "${rcs[@]}" <<'PY'
import glob, os, sys, xml.etree.ElementTree as ET
results, board, port = sys.argv[1:4]
rcs = [int(x) for x in sys.argv[4:]]
expected = [0, 0, 1] + [0] * (len(rcs) - 3)  # the twin, when there is one, passes
problems = []
if rcs != expected:
    problems.append(f"pytest exit codes {rcs}, expected {expected}")
ports, failed = {}, {}
for path in sorted(glob.glob(os.path.join(results, "*", "ports.xml"))):
    suite = ET.parse(path).getroot()
    cases = list(suite.iter("testcase"))
    ports[suite.get("name")] = [c.get("name") for c in cases]
    for c in cases:
        if c.find("failure") is not None:
            failed[(suite.get("name"), c.get("name"))] = c.find("failure").get("message")
if len(ports) != len(rcs) or not all(ports.values()) or len({tuple(p) for p in ports.values()}) != 1:
    problems.append(f"the boards' ports differ or are missing: {ports}")
if set(failed) != {(board, port)}:
    problems.append(f"failed ports {sorted(failed)}, expected only {port} on {board}")
elif not failed[(board, port)].startswith(f"{port}:Test Succ Cnt 0,Error Cnt 1"):
    problems.append(f"the failure's message is {failed[(board, port)]!r}")
summary = open(os.path.join(results, "summary.md")).read()
if f"| {port} | {len(rcs) - 1} | 1 | {board} |" not in summary:
    problems.append(f"the batch summary does not count {port} as {len(rcs) - 1} passed, 1 failed on {board}")
for b in ports:
    verdict = open(os.path.join(results, b, "verdict.txt")).read()
    if not verdict.startswith("VERDICT: FAIL" if b == board else "VERDICT: PASS"):
        problems.append(f"{b}: rigchkEx-result says {verdict.splitlines()[:1]}")
    after = open(os.path.join(results, b, "after-test.txt")).read()
    if "zrAppSU started again" not in after or not after.endswith("status 0\n"):
        problems.append(f"{b}: the last step: {after!r}")
# The program's own output never reaches the console the station's commands share
# (its usage text comes first). The simulated boards keep a transcript of it; the
# twin's console goes from the emulator to labgrid, and none is kept.
for b in os.environ["sim_boards"].split():
    try:
        console = open(os.path.join(os.path.dirname(results), "runs", b, "console.txt"), errors="replace").read()
    except OSError as e:
        problems.append(f"{b}: no console transcript: {e}")
        continue
    if "Port:All(Port=All)" in console:
        problems.append(f"{b}: the program's output reached the console the station's commands share")
with open(os.path.join(results, "summary.png"), "rb") as f:
    if f.read(8) != b"\x89PNG\r\n\x1a\n":
        problems.append("summary.png is no PNG")
import json
pareto = json.load(open(os.path.join(os.path.dirname(results), "pareto.json")))
if [(r["port"], r["boards_failed"]) for r in pareto] != [(port, 1)]:
    problems.append(f"the results store's Pareto is {pareto}, expected {port} on one board")
units = json.load(open(os.path.join(os.path.dirname(results), "yield.json")))
per_station = {}  # a batch that runs across midnight has a row for each day
for r in units:
    got = per_station.setdefault(r["station"], [0, 0])
    got[0] += r["units"]
    got[1] += r["first_pass"]
if per_station != {"sim-station": [3, 2]}:
    problems.append(f"the results store's yield is {units}, expected 2 of 3 boards at sim-station")
for p in problems:
    print("run-simulated: FAIL:", p)
print("run-simulated:", "FAIL" if problems else f"ok: only {port} on {board} failed")
sys.exit(1 if problems else 0)
PY
