#!/usr/bin/env bash
# Measures the program on the simulated fixture, every figure in one run:
#   1. the try period of each test kind alone and of the default board
#      (Port=All) against the waits the program must make per try;
#   2. the program's CPU time (user+sys, with the commands it waits for)
#      against its wall time (start to end in signals.txt);
#   3. its peak resident memory (peak_rss_kb in rusage);
#   4. how the try period grows with the number of ports, against the growth
#      of the waits.
# The trace log line's own cost is the Google Benchmark tests/bench/bench_zrlog.
#
#   scripts/bench.sh [--build DIR] [--tries N] [--scale-tries N] [--jobs N]
#                    [--serial "2 4 8 16"] [--dio "2 4 8 16"] [--di "1 2 4"]
#                    [--kinds "rs485 rs232 ..."] [--no-scale] [--work DIR]
#                    [--machine imx6ul]
#   scripts/bench.sh --analyse RUN_DIR "PORTS"   the figures of one run folder
#     (PORTS: RS485 count, RS232 "plain"/"fixed" and count, DO and DI counts,
#     "-" for a kind not selected, e.g. "2 plain 2 2 4" for default.json)
# Kinds: none (nothing to test) rs485 rs232 screen modem dio (NO and NC)
# dio1 (fewer DIs) di (DI switching) default (default.json, Port=All);
# on demand (--kinds large): large (large.json, 128 ports, Port=All, 2 tries;
# the e2e scenario of that board checks only that it waits no less).
# Defaults: build/host, 5 tries per kind, 3 tries per scaling run, 2 runs at
# a time; about 6 minutes. The runs stay in the folder it names.
# --machine imx6ul: the static release program on the board's twin (its
# emulated CPU, its kernel's UARTs and DIO driver; the serial scaling stops at
# "2 4", the twin's UARTs for ports being 5); each run adds the twin's boot.
set -euo pipefail
here=$PWD
cd "$(dirname "$0")/.."
# Prints PATH as given from the caller's folder.
from_caller() { if [[ $1 == /* ]]; then echo "$1"; else echo "$here/$1"; fi; }

build=build/host
tries=5
scale_tries=3
jobs=2
serial_counts=     # default "2 4 8 16"; "2 4" on the twin
dio_counts="2 4 8 16"
di_counts="1 2 4"
kinds="none rs485 rs232 screen modem dio dio1 di default"
scale=1
work=
machine=
analyse_dir=
analyse_ports=
while (( $# )); do
  case $1 in
    --build) build=$(from_caller "$2"); shift ;;
    --tries) tries=$2; shift ;;
    --scale-tries) scale_tries=$2; shift ;;
    --jobs) jobs=$2; shift ;;
    --serial) serial_counts=$2; shift ;;
    --dio) dio_counts=$2; shift ;;
    --di) di_counts=$2; shift ;;
    --kinds) kinds=$2; shift ;;
    --no-scale) scale=0 ;;
    --work) work=$(from_caller "$2"); shift ;;
    --machine) machine=$2; shift ;;
    --analyse) analyse_dir=$(from_caller "$2"); analyse_ports=$3; shift 2 ;;
    -h|--help) sed -n '2,25p' "$0"; exit 0 ;;
    *) echo "unknown option $1 (see --help)" >&2; exit 2 ;;
  esac
  shift
done

# Prints one result line for a run folder: name, tries seen, the try periods'
# mean, min and max and the mean waits (ms), CPU (ms), wall (s), peak RSS (KiB),
# the mean line time of a try (ms), iTestSta. The try period is taken between the first fixture events (a serial
# burst the program sent, or a DIO ioctl) of consecutive tries: the trace log
# line "-----Try Test N-----" tells which try an event belongs to (it reaches
# tracelog.txt at most ~60 ms after it was written), the event's own time stamp
# is exact. Waits of one try, from the program's fixed sleeps and read waits:
#   RS485, n >= 2: 300 ms after each send; n = 1: 300 ms before the sensor read
#   RS232 pair: 2 x 300 ms after the sends, 2 x 400 ms silent echo reads, 2 x
#     200 ms read wait after the partner's text = 1800 ms; sensor, screen or
#     modem probe: 500 ms + 200 ms read wait after the answer
#   DO-to-DI NO and NC: 1 s settle each + 1 s between; fewer DIs: none
#   DI switching: 500 ms per toggling command + 3 s per DI
#   and 1 s after every try.
# The line time of a try: the characters of every burst of the try in the
# capture (the program's and the devices'; a changed copy's second line not
# again) times the time of one character at 9600 8N1, the line of every port
# and device of these boards. The program's writes return at once and its
# sleeps and read waits run while its bytes are on the wire, so the line time
# lies within the waits unless a burst outlasts the wait that follows it.
char_ms=$(awk 'BEGIN { print 10 / 9600 * 1000 }')   # start, 8 data and stop bits at 9600 baud
analyse() {
  local dir=$1 ports=$2 name ev
  name=$(basename "$dir")
  ev=$(mktemp "${TMPDIR:-/tmp}/bench-events-XXXXXX")
  { [[ ! -f "$dir/capture.txt" ]] ||
      awk '$1 !~ /^#/ && $3 == ">" && $2 !~ /^(sensor|screen|modem|stream)$/ { print $1, "e" }' "$dir/capture.txt"
    [[ ! -f "$dir/capture.txt" ]] ||
      awk '$1 !~ /^#/ && $3 == ">" && ($1 != t || $2 != from) {
             t = $1; from = $2; n = 0
             for (i = 5; i <= NF && $i ~ /^[0-9A-F][0-9A-F]$/; i++) n++
             print $1, "b", n }' "$dir/capture.txt"
    [[ ! -f "$dir/dio.txt" ]] ||
      awk '$2 == "ioctl" { print $1, "e" } $2 == "line" && $3 ~ /^"SO(N|FF)=3"$/ { print $1, "t" }' "$dir/dio.txt"
    awk '/-----Try Test [0-9]+-----/ { print $1, "try" } /iTestSta:/ { sub(/.*iTestSta:/, ""); print 0, "sta", $1 }' "$dir/tracelog.txt"
  } | sort -g > "$ev"
  read -r r485 variant r232 ndo ndi <<< "$ports"
  awk -v name="$name" -v charms="$char_ms" -v r485="$r485" -v variant="$variant" -v r232="$r232" -v ndo="$ndo" -v ndi="$ndi" \
      -v rusage="$dir/rusage" -v signals="$dir/signals.txt" '
    function pairs(m) { return int(m / 2) * 1.8 + (m % 2) * 0.7 }
    function waits(toggles,   w) {
      w = 1.0
      if (r485 != "-") w += (r485 == 1 ? 0.3 : 0.3 * r485)
      if (variant == "plain") w += pairs(r232)
      if (variant == "fixed") w += 0.7 + pairs(r232 - 1)
      if (ndo != "-") {
        if (ndi < 2 * ndo) w += 0
        else if (ndo == 0) w += 3 * ndi + 0.5 * toggles
        else w += 3
      }
      return w
    }
    $2 == "try" { T[++nt] = $1; next }
    $2 == "sta" { sta = $3; next }
    $2 == "e" { E[++ne] = $1; next }
    $2 == "t" { L[++nl] = $1; next }
    $2 == "b" { B[++nb] = $1; BN[nb] = $3; next }
    END {
      # First event of each try: events of the previous try lie at least 1 s
      # (the wait after a try) before its trace line.
      j = 1
      for (t = 1; t <= nt; t++) {
        while (j <= ne && E[j] < T[t] - 0.5) j++
        M[t] = (j <= ne && (t == nt || E[j] < T[t + 1] - 0.5)) ? E[j] : -1
      }
      n = 0; sum = 0; wsum = 0
      for (t = 1; t < nt; t++) {
        if (M[t] < 0 || M[t + 1] < 0) continue
        p = M[t + 1] - M[t]
        tg = 0
        for (k = 1; k <= nl; k++) if (L[k] >= M[t] && L[k] < M[t + 1]) tg++
        tg -= 2 * ndi + 1          # after each DI: SOFF and SON; the final SON
        for (k = 1; k <= nb; k++) if (B[k] >= M[t] && B[k] < M[t + 1]) lsum += BN[k] * charms
        n++; sum += p; wsum += waits(tg)
        if (n == 1 || p < lo) lo = p
        if (n == 1 || p > hi) hi = p
      }
      while ((getline line < rusage) > 0) {
        c = split(line, f, " ")
        for (i = 1; i < c; i++) { if (f[i] == "user" || f[i] == "sys") cpu += f[i + 1]; if (f[i] == "peak_rss_kb") rss = f[i + 1] }
      }
      while ((getline line < signals) > 0) {
        split(line, f, " ")
        if (f[2] == "start") s = f[1]
        if (f[2] == "end") e = f[1]
      }
      if (rss == "") rss = "-"
      if (sta == "") sta = "-"
      if (n == 0) { printf "%s %d - - - - %.1f %.2f %s - %s\n", name, nt, cpu * 1000, e - s, rss, sta; exit }
      printf "%s %d %.1f %.1f %.1f %.1f %.1f %.2f %s %.1f %s\n", name, nt, sum / n * 1000, lo * 1000, hi * 1000,
        wsum / n * 1000, cpu * 1000, e - s, rss, lsum / n, sta
    }' "$ev"
  rm -f "$ev"
}

if [[ -n "$analyse_dir" ]]; then
  analyse "$analyse_dir" "$analyse_ports"
  exit 0
fi

rigfixture=$build/fixture/bin/rigfixture
[[ -x "$rigfixture" ]] || { echo "no $rigfixture: build first (cmake --build --preset host)" >&2; exit 2; }
machine_args=()
case $machine in
  "") ;;
  imx6ul) machine_args=(--machine imx6ul); serial_counts=${serial_counts:-2 4} ;;
  *) echo "unknown machine $machine (imx6ul)" >&2; exit 2 ;;
esac
serial_counts=${serial_counts:-2 4 8 16}
(( tries >= 2 && scale_tries >= 2 )) || { echo "--tries and --scale-tries must be 2 or more" >&2; exit 2; }
if [[ -z "$work" ]]; then work=$(mktemp -d /tmp/bench-XXXXXX); else mkdir -p "$work"; fi
mkdir -p "$work/boards" "$work/runs"

# Prints the JSON list of the port names PREFIX-1 .. PREFIX-n.
port_list() {
  local prefix=$1 n=$2
  (( n > 0 )) || { echo '[]'; return; }
  echo "[$(seq 1 "$n" | sed "s/.*/\"$prefix-&\"/" | paste -sd, -)]"
}

# Writes board NAME: host name, RS485 count, RS232 list (JSON), DO and DI counts.
# A board with DIO channels gets /etc/zrdio.conf generated from them, one
# without an empty one.
write_board() {
  local name=$1 host=$2 rs485=$3 rs232=$4 ndo=$5 ndi=$6 dio=', "zrdio_conf": ""'
  (( ndo + ndi > 0 )) && dio=", \"dio\": {\"do\": $ndo, \"di\": $ndi}"
  printf '{"hostname": "%s", "otp": "0x2A1B3C4D", "rs485": %s, "rs232": %s%s, "timeout_s": 600}\n' \
    "$host" "$(port_list RS485 "$rs485")" "$rs232" "$dio" > "$work/boards/$name.json"
}

# The runs: "name|board file|Port=|tries|ports" per line. The ports field is
# what the waits of one try follow from: RS485 count, RS232 variant and count,
# DO and DI counts, each "-" when the kind is not selected.
plan=$work/plan.txt
: > "$plan"
add_run() { echo "$1|$2|$3|$4|$5" >> "$plan"; }

plain=ZR-A7-T100    # a host name with no fixed device on RS232
for k in $kinds; do
  case $k in
    rs485) write_board rs485 $plain 2 '[]' 0 0
           add_run rs485 "$work/boards/rs485.json" RS485 "$tries" "2 - - - -" ;;
    rs232) write_board rs232 $plain 0 "$(port_list RS232 3)" 0 0
           add_run rs232 "$work/boards/rs232.json" RS232 "$tries" "- plain 3 - -" ;;
    screen) write_board screen ZR-C3-P500A 0 '[{"name": "RS232-1", "device": "screen"}, "RS232-2", "RS232-3", "RS232-4"]' 0 0
           add_run screen "$work/boards/screen.json" RS232 "$tries" "- fixed 4 - -" ;;
    modem) write_board modem ZR-H6-R70N 0 '["RS232-1", "RS232-2", "RS232-3", {"name": "RS232-4", "device": "modem"}]' 0 0
           add_run modem "$work/boards/modem.json" RS232 "$tries" "- fixed 4 - -" ;;
    dio)   write_board dio $plain 0 '[]' 2 4
           add_run dio "$work/boards/dio.json" DIO "$tries" "- - - 2 4" ;;
    dio1)  write_board dio1 $plain 0 '[]' 4 7
           add_run dio1 "$work/boards/dio1.json" DIO "$tries" "- - - 4 7" ;;
    di)    write_board di $plain 0 '[]' 0 2
           add_run di "$work/boards/di.json" DIO "$tries" "- - - 0 2" ;;
    default) add_run default fixture/boards/default.json All "$tries" "2 plain 2 2 4" ;;
    none)  add_run none fixture/boards/minimal.json All 1 "- - - - -" ;;
    large) add_run large fixture/boards/large.json All 2 "16 plain 16 32 64" ;;
    *) echo "unknown kind $k" >&2; exit 2 ;;
  esac
done
if (( scale )); then
  for n in $serial_counts; do
    write_board "scale-rs485-$n" $plain "$n" '[]' 0 0
    add_run "scale-rs485-$n" "$work/boards/scale-rs485-$n.json" RS485 "$scale_tries" "$n - - - -"
    write_board "scale-rs232-$n" $plain 0 "$(port_list RS232 "$n")" 0 0
    add_run "scale-rs232-$n" "$work/boards/scale-rs232-$n.json" RS232 "$scale_tries" "- plain $n - -"
  done
  for n in $dio_counts; do
    write_board "scale-dio-$n" $plain 0 '[]' "$n" $((2 * n))
    add_run "scale-dio-$n" "$work/boards/scale-dio-$n.json" DIO "$scale_tries" "- - - $n $((2 * n))"
  done
  for n in $di_counts; do
    write_board "scale-di-$n" $plain 0 '[]' 0 "$n"
    add_run "scale-di-$n" "$work/boards/scale-di-$n.json" DIO "$scale_tries" "- - - 0 $n"
  done
fi

echo "runs in $work ($(wc -l < "$plan") runs, $jobs at a time${machine:+, on the $machine twin}); load: $(uptime | sed 's/.*load/load/')"
# Runs one planned run; a run that fails leaves a note beside its folder.
run_one() {
  local name board port cnt
  IFS='|' read -r name board port cnt _ <<< "$1"
  "$rigfixture" --quiet "${machine_args[@]}" --board "$board" --out "$work/runs/$name" -- "Port=$port" "Cnt=$cnt" > /dev/null \
    || echo "rigfixture exit $?" > "$work/runs/$name.failed"
}
while IFS= read -r line; do
  while (( $(jobs -rp | wc -l) >= jobs )); do wait -n || true; done
  run_one "$line" &
done < "$plan"
wait

results=$work/results.txt
: > "$results"
while IFS='|' read -r name _ _ cnt ports; do
  if [[ -f "$work/runs/$name.failed" || ! -f "$work/runs/$name/tracelog.txt" ]]; then
    echo "$name: run failed ($(cat "$work/runs/$name.failed" 2>/dev/null || echo 'no tracelog.txt')); see $work/runs/$name" >&2
    continue
  fi
  line=$(analyse "$work/runs/$name" "$ports")
  [[ $(awk '{ print $2 }' <<< "$line") -eq $cnt ]] || echo "$name: expected $cnt tries in tracelog.txt" >&2
  [[ $(awk '{ print $NF }' <<< "$line") == 0 || $name == dio1 ]] || echo "$name: the run did not pass; its waits differ" >&2
  echo "$line $cnt $ports" >> "$results"
done < "$plan"

# The table. Targets: overhead (period - waits) under 2 % of the waits + 50 ms;
# CPU under 1 % of the wall time; peak RSS under 4 MiB. CPU per try: the run's
# CPU less that of the run with nothing to test (start-up and end signalling),
# per try, against the try period.
fixed_cpu=$(awk '$1 == "none" { print $7 }' "$results")
echo
echo "Try period against the waits and the line time (ms), CPU, memory; targets: overhead < 2 % of waits + 50 ms, CPU < 1 %, RSS < 4096 KiB"
echo "(line: the try's bursts on the wire at 9600 8N1; over_w+l: the period less the waits and the line time)"
printf '%-16s %5s %8s %7s %8s %17s %8s %9s %8s %4s | %8s %7s %6s %4s %7s %6s | %7s %4s | %s\n' \
  run tries waits line period 'min-max' overhead over_w+l limit ok cpu_ms wall_s cpu_% ok try_ms try_% rss_kb ok iTestSta
awk -v fixed="${fixed_cpu:-}" '{
  share = $7 / ($8 * 1000) * 100
  if ($3 == "-") {
    printf "%-16s %5d %8s %7s %8s %17s %8s %9s %8s %4s | %8.1f %7.2f %6.3f %4s %7s %6s | %7s %4s | %s\n", $1, $2,
      "-", "-", "-", "-", "-", "-", "-", "-", $7, $8, share, (share < 1 ? "yes" : "NO"), "-", "-", $9, ($9 < 4096 ? "yes" : "NO"), $11
    next
  }
  over = $3 - $6; lim = 0.02 * $6 + 50
  per = (fixed == "" ? "-" : sprintf("%.1f", ($7 - fixed) / $12))
  pershare = (fixed == "" ? "-" : sprintf("%.3f", ($7 - fixed) / $12 / $3 * 100))
  printf "%-16s %5d %8.1f %7.1f %8.1f %8.1f-%-8.1f %8.1f %9.1f %8.1f %4s | %8.1f %7.2f %6.3f %4s %7s %6s | %7s %4s | %s\n",
    $1, $2, $6, $10, $3, $4, $5, over, over - $10, lim, (over < lim ? "yes" : "NO"), $7, $8, share, (share < 1 ? "yes" : "NO"),
    per, pershare, $9, ($9 == "-" ? "-" : ($9 < 4096 ? "yes" : "NO")), $11
}' "$results"

if (( scale )); then
  echo
  echo "Growth with the ports (least-squares slope of the try period against the count, ms per port)"
  printf '%-8s %-24s %-40s %10s %10s %10s\n' family counts 'period ms (waits ms)' measured waits extra
  for fam in rs485 rs232 dio di; do
    awk -v fam="$fam" '
      $1 ~ ("^scale-" fam "-[0-9]+$") && $3 != "-" {
        x = $1; sub(/.*-/, "", x); n++; X[n] = x; P[n] = $3; W[n] = $6 }
      END {
        if (n < 2) exit
        for (i = 1; i <= n; i++) { sx += X[i]; sp += P[i]; sw += W[i] }
        mx = sx / n; mp = sp / n; mw = sw / n
        for (i = 1; i <= n; i++) { d = X[i] - mx; sxx += d * d; sxp += d * (P[i] - mp); sxw += d * (W[i] - mw) }
        counts = ""; figs = ""
        for (i = 1; i <= n; i++) {
          counts = counts (i > 1 ? "," : "") (fam == "dio" ? X[i] "/" 2 * X[i] : X[i])
          figs = figs (i > 1 ? " " : "") sprintf("%.0f(%.0f)", P[i], W[i]) }
        printf "%-8s %-24s %-40s %10.2f %10.2f %10.2f\n", fam, counts, figs, sxp / sxx, sxw / sxx, (sxp - sxw) / sxx
      }' "$results"
  done
  echo "(dio: the count is the DO count, with twice as many DIs)"
fi
echo
echo "results: $results; load now: $(uptime | sed 's/.*load/load/')"
