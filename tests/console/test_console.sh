#!/usr/bin/env bash
# The board's console as an operator uses it, under tmux: start the console,
# run the self-test, press Ctrl-C once the result is logged, read the report
# and the verdict (rigchkEx-result), exit, and look at the run's folder.
#   test_console.sh RIGFIXTURE BOARD WORKDIR
set -euo pipefail
rig=$1 board=$2 work=$3
host=ZR-A7-T100
prompt="root@$host:~# "
step_s=60          # the longest any step may take on a busy machine
rm -rf "$work"; mkdir -p "$work"
out=$work/out
sock=rigconsole-$$
tmux_() { tmux -L "$sock" "$@"; }
trap 'tmux_ kill-server 2>/dev/null || true' EXIT

fail() { echo "FAIL: $*"; echo "--- screen:"; tmux_ capture-pane -p -S -100 -t op 2>/dev/null || true; exit 1; }
screen() { tmux_ capture-pane -p -J -S -200 -t op; }
# Waits until the screen shows the text n times (default once).
wait_screen() {
  local text=$1 n=${2:-1}
  for ((i = 0; i < step_s * 10; i++)); do
    (( $(screen | grep -cF -- "$text") >= n )) && return 0
    sleep 0.1
  done
  fail "the screen never showed \"$text\" ($n times)"
}
wait_file() {
  for ((i = 0; i < step_s * 10; i++)); do
    grep -qF -- "$2" "$1" 2>/dev/null && return 0
    sleep 0.1
  done
  fail "$1 never held \"$2\""
}

tmux_ new-session -d -s op -x 160 -y 50 \
  "stty -g > $work/stty-before; $rig --board $board --out $out --console; echo \$? > $work/rc; stty -g > $work/stty-after; sleep 600"
wait_screen "${prompt% }"   # the screen drops trailing blanks
tmux_ send-keys -t op 'rigchkEx Port=RS485 Cnt=2' Enter
wait_file "$out/tracelog.txt" "iTestSta:"   # what the operator sees on the signal outputs
sleep 2
tmux_ send-keys -t op C-c
wait_screen "${prompt% }" 2
tmux_ send-keys -t op 'cat /NandFlash/tmp/rigChkEx.js; echo' Enter
wait_screen '{"name":"RS485-2","port":1}]} ]}'
tmux_ send-keys -t op 'rigchkEx-result; echo "verdict-status=$?"' Enter
wait_screen 'verdict-status=0'
screen | grep -qxF 'VERDICT: PASS (every one of the 2 ports in the report passed)' || fail "rigchkEx-result gave no PASS"
tmux_ send-keys -t op 'exit' Enter
wait_file "$work/rc" ""
for ((i = 0; i < step_s * 10; i++)); do [[ -s $work/stty-after ]] && break; sleep 0.1; done

[[ $(cat "$work/rc") == 0 ]] || fail "rigfixture ended with $(cat "$work/rc")"
cmp -s "$work/stty-before" "$work/stty-after" || fail "the terminal's modes were not restored"
[[ $(cat "$out/exit_status") == "exit 0" ]] || fail "exit_status: $(cat "$out/exit_status")"
[[ -L $out/console ]] || fail "no console link in the run's folder"
screen | grep -q '^rigfixture: a console on board ' || fail "the start does not say it is a console"
grep -qxF "exit status of the console's shell: exit 0" "$out/verdict.txt" || fail "the verdict does not name the shell's status"
grep -q "Received signal SIGINT" "$out/NandFlash/tmp/rigChkEx.log" || fail "the program never got the Ctrl-C"
grep -q "RS485-2:Test Succ Cnt 2,Error Cnt 0" "$out"/NandFlash/tmp/rigChkEx_*.log || fail "no summary in the kept log"
for f in console.txt capture.txt dio.vcd tray.txt fixture.log zrAppSU.txt; do
  [[ -s $out/$f ]] || fail "the run's folder lacks $f"
done
grep -qF "${prompt}rigchkEx Port=RS485 Cnt=2" "$out/console.txt" || fail "console.txt lacks the command"
grep -qF '{"name":"RS485-2","port":1}]} ]}' "$out/console.txt" || fail "console.txt lacks the report"
echo "ok: console run in $out"
