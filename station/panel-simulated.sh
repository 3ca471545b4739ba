#!/usr/bin/env bash
# The operator's panel on three simulated boards (and the board's twin when its
# image is built): starts fixture-a, fixture-b and fixture-c (C's RS485-2
# receives every frame corrupted) with a shell on each console, prepares the
# twin (twin-a, a unit of its own, booted by labgrid when its place starts),
# writes their labgrid environment files and the station file, and serves the
# panel until Ctrl-C; then ends the boards.
#   station/panel-simulated.sh [--port N] [--db URL] [--args "Port=All Cnt=3"] [--build DIR] [--out DIR]
#       (default port 8080, the store OUT/results.db, build build/host, OUT BUILD/panel;
#        the twin's program and image from build/armhf-static)
set -euo pipefail
cd "$(dirname "$0")/.."
port=8080 db= args="Port=All Cnt=3" build=build/host out= twin_build=build/armhf-static
while (( $# )); do
  case $1 in
    --port) port=$2; shift 2 ;;
    --db) db=$2; shift 2 ;;
    --args) args=$2; shift 2 ;;
    --build) build=$2; shift 2 ;;
    --out) out=$2; shift 2 ;;
    *) echo "usage: $0 [--port N] [--db URL] [--args ARGS] [--build DIR] [--out DIR]" >&2; exit 2 ;;
  esac
done
out=${out:-$build/panel}
rig=$build/fixture/bin/rigfixture
py=/usr/bin/python3
boards=(fixture-a fixture-b fixture-c)
twin=twin-a
who=panel-simulated
. station/simboards.sh
[[ -x $rig ]] || { echo "panel-simulated: no $rig: build the host preset first" >&2; exit 1; }

rm -rf "$out"
mkdir -p "$out/runs" "$out/env"
out=$(realpath "$out")
db=${db:-sqlite:///$out/results.db}
panel_pid=
stop_all() {
  [[ -n "$panel_pid" ]] && { kill -TERM "$panel_pid" 2>/dev/null || true; wait "$panel_pid" 2>/dev/null || true; }
  stop_boards "$out"
}
trap stop_all EXIT
trap "exit 143" TERM INT

start_boards "$out" "${boards[@]}"
places=
for b in "${boards[@]}"; do
  board_env "$out" "$b"
  places+="  - {name: $b, env: env/$b.yaml, answer_s: 60, timeout_s: 300}"$'\n'
done
if start_twin "$out" "$twin" "$twin"; then
  # The twin boots when its place starts: its shell comes later than a board's.
  places+="  - {name: $twin, env: env/$twin.yaml, answer_s: 180, timeout_s: 600}"$'\n'
else
  echo "panel-simulated: no twin image in $twin_build/fixture/twin: three places"
fi

cat >"$out/station.yaml" <<YAML
# Written by station/panel-simulated.sh
station: sim-station
db: '$db'
args: '$args'
serial: optional
show_s: 3
places:
$places
YAML
export PYTHONDONTWRITEBYTECODE=1
"$py" station/rigpanel --station "$out/station.yaml" --port "$port" &
panel_pid=$!
wait "$panel_pid"
