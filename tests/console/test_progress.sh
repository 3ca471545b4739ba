#!/usr/bin/env bash
# The run's status line as an operator sees it, under tmux: rigfixture on a
# terminal shows the test and try now running and the time left, rewritten
# in place on one line, and leaves none of it behind the summary; with
# --quiet on the terminal, and with its output in a file, it shows nothing of
# it. On the board's twin (when its image is built) it shows the boot's
# stages, says that a Ctrl-C while the twin boots was not passed on, and a
# terminal closed while it boots leaves nothing of the run running.
#   test_progress.sh RIGFIXTURE BOARD WORKDIR
set -euo pipefail
rig=$1 board=$2 work=$3
step_s=120 # the longest a run may take on a busy machine
rm -rf "$work"; mkdir -p "$work"
sock=rigprogress-$$
tmux_() { tmux -L "$sock" "$@"; }
trap 'tmux_ kill-server 2>/dev/null || true' EXIT
fail() { echo "FAIL: $*"; exit 1; }
# Returns 0 once the twin's run in folder $1 has its emulator connected (within
# step_s); 1 when it has not, or once the file $2 (if given) shows the run ended.
wait_connected() {
  for ((i = 0; i < step_s * 100; i++)); do
    grep -qs 'the emulator is connected' "$1/fixture.log" && return 0
    [[ -n ${2:-} && -s $2 ]] && return 1
    sleep 0.01
  done
  return 1
}

args="-- Port=RS485 Cnt=3"
tmux_ new-session -d -s op -x 160 -y 50 "$rig --board $board --out $work/tty $args; echo \$? > $work/tty.rc; sleep 600"
tmux_ new-window -d -t op -n quiet "$rig --board $board --out $work/quiet --quiet $args; echo \$? > $work/quiet.rc; sleep 600"
# shellcheck disable=SC2086  # the arguments are words
"$rig" --board "$board" --out "$work/file" $args >"$work/file.txt" 2>&1 &

# Every distinct screen of the terminal run, until it ended.
for ((i = 0; i < step_s * 10; i++)); do
  tmux_ capture-pane -p -t op:0 >"$work/screen.txt"
  grep -q '^rigfixture: ' "$work/screen.txt" && grep '^rigfixture: ' "$work/screen.txt" | tail -n 1 >>"$work/lines.txt"
  [[ -s $work/tty.rc && -s $work/quiet.rc ]] && break
  sleep 0.1
done
[[ -s $work/tty.rc && -s $work/quiet.rc ]] || fail "the runs did not end within $step_s s"
wait
tmux_ capture-pane -p -J -S -300 -t op:0 >"$work/final.txt"
tmux_ capture-pane -p -J -S -300 -t op:quiet >"$work/quiet.txt"
uniq "$work/lines.txt" >"$work/seen.txt"

# The status line went through the tries in order, and its time left never rose.
status_re='^rigfixture: RS485 try ([1-3]) of 3, ([0-9]+ min )?([0-9]+) s left$'
grep -Eq "$status_re" "$work/seen.txt" || fail "no status line with the try and the time left: $(cat "$work/seen.txt")"
prev_try=0 prev_left=100000
while IFS= read -r l; do
  [[ $l =~ $status_re ]] || continue
  t=${BASH_REMATCH[1]} left=${BASH_REMATCH[3]}
  [[ -n ${BASH_REMATCH[2]} ]] && left=$((${BASH_REMATCH[2]% min } * 60 + left))
  ((t >= prev_try)) || fail "try $t came after try $prev_try"
  ((left <= prev_left)) || fail "the time left rose from $prev_left s to $left s"
  prev_try=$t prev_left=$left
done <"$work/seen.txt"
grep -qx 'rigfixture: tests done, result pass (iTestSta:0); the program shows it until it is stopped' "$work/seen.txt" ||
  fail "the end of the tests was not shown"

# Rewritten in place: nothing of it is left above or in the summary.
grep -q '^VERDICT: PASS' "$work/final.txt" || fail "the terminal run gave no PASS"
! grep -Eq 'try [0-9]+ of|[0-9] s left' "$work/final.txt" || fail "the status line was left on the screen: $(cat "$work/final.txt")"
! grep -Eq 'try [0-9]+ of|[0-9] s left' "$work/quiet.txt" || fail "--quiet showed the status line"
[[ $(cat "$work/quiet.txt") == *"$work/quiet"* ]] || fail "--quiet did not print its folder"
! grep -Eq $'try [0-9]+ of|[0-9] s left|\r|\e' "$work/file.txt" || fail "the status line went into a file"
grep -q '^VERDICT: PASS' "$work/file.txt" || fail "the run into a file gave no PASS"
summary="$(grep -cE "$status_re" "$work/seen.txt") status lines seen ($work/seen.txt)"

# On the board's twin, when its image is built: the boot's stages, and a
# Ctrl-C while it boots said on the terminal (not passed on: the run goes on).
tmux_ new-window -d -t op -n twin "$rig --board $board --machine imx6ul --out $work/twin $args; echo \$? > $work/twin.rc; sleep 600"
twin_screen() { tmux_ capture-pane -p -J -S -300 -t op:twin; }
# The Ctrl-C must land while the twin boots, however slow this machine is: the
# emulator is held (SIGSTOP) once it is connected, as its kernel begins to
# boot, and goes on once the terminal said it.
qemu= connected=0
wait_connected "$work/twin" "$work/twin.rc" && connected=1
log=$(cat "$work/twin/fixture.log" 2>/dev/null || true)
[[ $log =~ power-on:\ the\ twin\ boots\ \(pid\ ([0-9]+)\) ]] && qemu=${BASH_REMATCH[1]}
if twin_screen | grep -Eq '^rigfixture: no (twin image|program to run)'; then
  echo "ok: $summary; no twin image, so no twin run"
  exit 0
fi
[[ -n $qemu && $connected == 1 ]] || fail "the twin did not come up within $step_s s: $(twin_screen)"
kill -STOP "$qemu"
trap 'kill -CONT "$qemu" 2>/dev/null || true; tmux_ kill-server 2>/dev/null || true' EXIT
! grep -q 'the board is up' "$work/twin/fixture.log" || fail "the twin was up before the test could hold its boot"
for ((i = 0; i < step_s * 10; i++)); do
  twin_screen | grep -q '^rigfixture: the twin boots, ' && break
  sleep 0.1
done
twin_screen | grep -q '^rigfixture: the twin boots, ' || fail "the boot was not shown: $(twin_screen)"
tmux_ send-keys -t op:twin C-c
said='^rigfixture: Ctrl-C while the twin boots: not passed on, the program is not running yet; the run goes on$'
for ((i = 0; i < step_s * 10; i++)); do
  twin_screen | grep -q "$said" && break
  sleep 0.1
done
kill -CONT "$qemu"
for ((i = 0; i < 3 * step_s * 10; i++)); do
  twin_screen | grep '^rigfixture: ' | tail -n 1 >>"$work/twin-lines.txt"
  [[ -s $work/twin.rc ]] && break
  sleep 0.1
done
[[ -s $work/twin.rc ]] || fail "the twin's run did not end within $((3 * step_s)) s"
twin_screen >"$work/twin-final.txt"
uniq "$work/twin-lines.txt" >"$work/twin-seen.txt"
grep -qx 'rigfixture: Ctrl-C while the twin boots: not passed on, the program is not running yet; the run goes on' \
  "$work/twin-final.txt" || fail "the Ctrl-C while the twin booted was not said: $(cat "$work/twin-final.txt")"
grep -Eq "$status_re" "$work/twin-seen.txt" || fail "no try on the twin's status line: $(cat "$work/twin-seen.txt")"
grep -q '^VERDICT: PASS' "$work/twin-final.txt" || fail "the twin's run gave no PASS"
# The terminal closed while the twin boots: the run ends, and nothing of it
# (simulators, emulator) is left running.
tmux_ new-window -d -t op -n hup "$rig --board $board --machine imx6ul --out $work/hup $args"
wait_connected "$work/hup" || fail "the twin did not boot within $step_s s"
tmux_ kill-window -t op:hup
for ((i = 0; i < step_s * 10; i++)); do
  pgrep -f -- "$work/hup" >/dev/null || break
  sleep 0.1
done
! pgrep -af -- "$work/hup" || fail "processes of the run were left running after its terminal closed"
echo "ok: $summary; on the twin $(grep -cE "$status_re" "$work/twin-seen.txt") ($work/twin-seen.txt)"
