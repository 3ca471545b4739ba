# The simulated boards and the board's twin of a station run, with a labgrid
# environment file for each; sourced by run-simulated.sh and panel-simulated.sh.
# The caller sets: rig (rigfixture), build (the host build, for twin-host),
# twin_build (the twin's program and image), py (the Python to use) and who
# (the name its messages start with); it traps EXIT to stop_boards DIR.
#   start_boards DIR BOARD...      each board with a shell on its console
#   board_env DIR BOARD            its environment file, from the console's pty
#   start_twin DIR TWIN BOARD      the twin prepared (booted by labgrid later);
#                                  returns 1 without its image
#   stop_boards DIR                the twin and the boards ended
# DIR holds runs/ (each board's run folder and output) and env/.
console_wait_s=30 # a board's console is up well within this
stop_wait_s=20    # ... and its shell has ended this long after "exit"
declare -A rig_pid
twin_pid=

# Starts each board in the background; returns 0.
start_boards() {
  local dir=$1 b
  shift
  mkdir -p "$dir/runs" "$dir/env"
  for b in "$@"; do
    "$rig" --board "station/boards/$b.json" --out "$dir/runs/$b" --console </dev/null >"$dir/runs/$b.txt" 2>&1 &
    rig_pid[$b]=$!
  done
}

# Writes env/BOARD.yaml once the board's console is up; exits the script when it never is.
board_env() {
  local dir=$1 b=$2 pty= i
  for ((i = 0; i < console_wait_s * 10; i++)); do
    pty=$(sed -n 's/^rigfixture: console \(\/dev\/pts\/[0-9]*\) .*/\1/p' "$dir/runs/$b.txt" 2>/dev/null || true)
    [[ -n "$pty" ]] && break
    sleep 0.1
  done
  [[ -n "$pty" ]] || { echo "$who: $b has no console; see $dir/runs/$b.txt" >&2; exit 1; }
  sed "s|!template \$LG_CONSOLE|$pty|" station/env/simulated.yaml >"$dir/env/$b.yaml"
  echo "$who: $b on $pty"
}

# Prepares the twin TWIN with the board file BOARD and writes env/TWIN.yaml;
# returns 1 (nothing started) when the twin's image is not built, and exits the
# script when the twin does not get ready.
start_twin() {
  local dir=$1 twin=$2 board=$3 i port
  [[ -f $twin_build/fixture/twin/base.cpio ]] || return 1
  "$build/fixture/bin/twin-host" --station --board "station/boards/$board.json" --out "$dir/runs/$twin" \
    --program "$twin_build/selftest/rigchkEx" --image "$twin_build/fixture/twin" >"$dir/runs/$twin.txt" 2>&1 &
  twin_pid=$!
  for ((i = 0; i < console_wait_s * 10; i++)); do
    grep -q "station twin ready" "$dir/runs/$twin.txt" 2>/dev/null && break
    sleep 0.1
  done
  grep -q "station twin ready" "$dir/runs/$twin.txt" ||
    { echo "$who: the twin is not ready; see $dir/runs/$twin.txt" >&2; exit 1; }
  port=$("$py" -c "import socket; s = socket.socket(); s.bind(('127.0.0.1', 0)); print(s.getsockname()[1])")
  sed "s|port: !template \$LG_TWIN_CONSOLE_PORT|port: $port|" station/env/twin.yaml >"$dir/env/$twin.yaml"
  cp station/env/twin_console.py "$dir/env/"
  export LG_TWIN_IMAGE=$PWD/$twin_build/fixture/twin LG_TWIN_CONSOLE_PORT=$port
  LG_TWIN_ARGS=$(cat "$dir/runs/$twin/labgrid-args")
  export LG_TWIN_ARGS
  echo "$who: $twin (board $board) on the console port $port"
}

# Ends the twin, then each board's shell ("exit"), hanging up a console that
# does not end in time; returns 0.
stop_boards() {
  local dir=$1 b pid i
  if [[ -n "$twin_pid" ]]; then
    kill -TERM "$twin_pid" 2>/dev/null || true
    wait "$twin_pid" 2>/dev/null || true
    twin_pid=
  fi
  for b in "${!rig_pid[@]}"; do
    printf 'exit\n' >"$dir/runs/$b/console" 2>/dev/null || true
  done
  for b in "${!rig_pid[@]}"; do
    pid=${rig_pid[$b]}
    for ((i = 0; i < stop_wait_s * 10; i++)); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -TERM "$pid" 2>/dev/null || true # hangs the console up
    wait "$pid" 2>/dev/null || true
  done
  rig_pid=()
}
