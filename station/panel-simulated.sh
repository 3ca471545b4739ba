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
console_wait_s=30   # a board's console is up well within this
stop_wait_s=20      # ... and its shell has ended this long after "exit"
[[ -x $rig ]] || { echo "panel-simulated: no $rig: build the host preset first" >&2; exit 1; }

rm -rf "$out"
mkdir -p "$out/runs" "$out/env"
out=$(realpath "$out")
db=${db:-sqlite:///$out/results.db}
declare -A rig_pid
twin_pid= panel_pid=
stop_all() {
  [[ -n "$panel_pid" ]] && { kill -TERM "$panel_pid" 2>/dev/null || true; wait "$panel_pid" 2>/dev/null || true; }
  [[ -n "$twin_pid" ]] && { kill -TERM "$twin_pid" 2>/dev/null || true; wait "$twin_pid" 2>/dev/null || true; }
  for b in "${!rig_pid[@]}"; do printf 'exit\n' > "$out/runs/$b/console" 2>/dev/null || true; done
  for b in "${!rig_pid[@]}"; do
    pid=${rig_pid[$b]}
    for ((i = 0; i < stop_wait_s * 10; i++)); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -TERM "$pid" 2>/dev/null || true   # hangs the console up
    wait "$pid" 2>/dev/null || true
  done
}
trap stop_all EXIT
trap "exit 143" TERM INT

for b in "${boards[@]}"; do
  "$rig" --board "station/boards/$b.json" --out "$out/runs/$b" --console </dev/null >"$out/runs/$b.txt" 2>&1 &
  rig_pid[$b]=$!
done
places=
for b in "${boards[@]}"; do
  pty=
  for ((i = 0; i < console_wait_s * 10; i++)); do
    pty=$(sed -n 's/^rigfixture: console \(\/dev\/pts\/[0-9]*\) .*/\1/p' "$out/runs/$b.txt" 2>/dev/null || true)
    [[ -n "$pty" ]] && break
    sleep 0.1
  done
  [[ -n "$pty" ]] || { echo "panel-simulated: $b has no console; see $out/runs/$b.txt" >&2; exit 1; }
  sed "s|!template \$LG_CONSOLE|$pty|" station/env/simulated.yaml >"$out/env/$b.yaml"
  places+="  - {name: $b, env: env/$b.yaml, answer_s: 60, timeout_s: 300}"$'\n'
done

if [[ -f $twin_build/fixture/twin/base.cpio ]]; then
  "$build/fixture/bin/twin-host" --station --board "station/boards/$twin.json" --out "$out/runs/$twin" \
    --program "$twin_build/selftest/rigchkEx" --image "$twin_build/fixture/twin" >"$out/runs/$twin.txt" 2>&1 &
  twin_pid=$!
  for ((i = 0; i < console_wait_s * 10; i++)); do
    grep -q "station twin ready" "$out/runs/$twin.txt" 2>/dev/null && break
    sleep 0.1
  done
  grep -q "station twin ready" "$out/runs/$twin.txt" ||
    { echo "panel-simulated: the twin is not ready; see $out/runs/$twin.txt" >&2; exit 1; }
  tport=$("$py" -c "import socket; s = socket.socket(); s.bind(('127.0.0.1', 0)); print(s.getsockname()[1])")
  sed "s|port: !template \$LG_TWIN_CONSOLE_PORT|port: $tport|" station/env/twin.yaml >"$out/env/$twin.yaml"
  cp station/env/twin_console.py "$out/env/"
  export LG_TWIN_IMAGE=$PWD/$twin_build/fixture/twin LG_TWIN_CONSOLE_PORT=$tport
  LG_TWIN_ARGS=$(cat "$out/runs/$twin/labgrid-args")
  export LG_TWIN_ARGS
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
