#!/usr/bin/env bash
# Runs the self-test once on a simulated board (no hardware needed) and shows
# what it did: console, trace log, report, the files it left and the verdict.
# See usage() below.
set -euo pipefail

usage() {
  cat <<'EOF'
usage: scripts/demo.sh [--board FILE] [--machine host|imx6ul] [--console] [--verdict-status] [--] [ARGS...]

Installs what the demo needs (scripts/deps.sh), builds the host build, and runs
rigchkEx once on a simulated board in the fixture's sandbox; it ends with the
run's verdict (PASS or FAIL, the failed ports, the end pattern).

  --board FILE  the board description (default fixture/boards/default.json); a
                relative FILE is taken from the folder you are in
  --machine NAME  host (the fixture's sandbox, default) or imx6ul: the board's
                twin, an emulated i.MX6UL running the static release program
                (also fetches the twin's kernel and builds the static build)
  --console     instead of running the program, give a shell on the simulated
                board's console (rigfixture --console); takes no ARGS
  --verdict-status
                exit with the verdict's status instead of the program's:
                0 PASS, 1 FAIL, 2 no verdict (the fixture failed, or the
                run did not complete)
  --help, -h    print this text and run nothing
  --            end of the demo's own options: everything after it goes to the
                program (scripts/demo.sh -- --help runs rigchkEx --help)
  ARGS...       the program's own arguments (Port=RS485, Cnt=3 ...); without
                any, the board's "args" are used

The demo's options may come in any order, before or among ARGS. The run's
files go to runs/<board>-<time>-<pid>/ in the repository.
Exit status: the program's (0 after every completed run, passed or failed;
255 when it could not take its port inventory), or with --verdict-status the
verdict's; 2 for a wrong command line or board file, or when installing or
building failed (nothing was run), 125 when the fixture failed.
Examples:
  scripts/demo.sh
  scripts/demo.sh --board fixture/boards/serial-faults.json Port=RS485 Cnt=3
  scripts/demo.sh Port=DIO --board my-board.json
  scripts/demo.sh --verdict-status --board fixture/boards/serial-faults.json || echo "FAIL: $?"
  scripts/demo.sh --machine imx6ul --board fixture/boards/dio-faults.json
EOF
}

die() {
  echo "demo.sh: $*" >&2
  echo "(scripts/demo.sh --help shows the usage)" >&2
  exit 2
}

caller_dir=$PWD
repo=$(cd "$(dirname "$0")/.." && pwd)
board=$repo/fixture/boards/default.json
console=0
rig_opts=()
machine=host
args=()
while (( $# )); do
  case $1 in
    -h|--help) usage; exit 0 ;;
    --board)
      (( $# >= 2 )) && [[ -n $2 && $2 != --* ]] || die "--board needs a board file (e.g. --board fixture/boards/minimal.json)"
      board=$2
      shift 2
      continue ;;
    --board=*)
      board=${1#--board=}
      [[ -n $board ]] || die "--board needs a board file (e.g. --board fixture/boards/minimal.json)" ;;
    --machine)
      (( $# >= 2 )) && [[ $2 == host || $2 == imx6ul ]] || die "--machine takes host or imx6ul"
      machine=$2
      shift 2
      continue ;;
    --console) console=1 ;;
    --verdict-status) rig_opts+=(--verdict-status) ;;
    --) shift; args+=("$@"); break ;;
    --*) die "unknown option $1 (to pass it to the program, put it after --)" ;;
    *) args+=("$1") ;;
  esac
  shift
done

[[ $board == /* ]] || board=$caller_dir/$board
[[ -f $board ]] || die "no board file $board"
if (( console )) && (( ${#args[@]} )); then
  die "--console runs no program, so it takes no program arguments (got: ${args[*]})"
fi

# Runs one step of installing or building; when it fails, the demo ends with
# status 2: no run took place, so there is no verdict.
prepare() {
  local rc=0
  "$@" || rc=$?
  (( rc == 0 )) && return 0
  echo "demo.sh: failed (exit $rc), so nothing was run: $*" >&2
  exit 2
}

cd "$repo"
if [[ $machine == imx6ul ]]; then
  prepare scripts/deps.sh --machine imx6ul
  prepare cmake --preset armhf-static >/dev/null
  prepare cmake --build --preset armhf-static --target rigchkEx twin-image
else
  prepare scripts/deps.sh
fi
prepare cmake --preset host >/dev/null
prepare cmake --build --preset host --target rigchkEx fixture_programs
rigfixture=(build/host/fixture/bin/rigfixture --machine "$machine" --board "$board")
if (( console )); then
  exec "${rigfixture[@]}" "${rig_opts[@]}" --console
fi
if (( ${#args[@]} )); then
  exec "${rigfixture[@]}" "${rig_opts[@]}" -- "${args[@]}"
fi
exec "${rigfixture[@]}" "${rig_opts[@]}"
