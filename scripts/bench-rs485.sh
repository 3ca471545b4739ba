#!/usr/bin/env bash
# Measures the RS485 loopback test on the simulated fixture: for buses of 2, 4
# and 8 ports it runs the program with Port=RS485 Cnt=$TRIES and reports
#   - the try period (from one try's first send to the next try's first send,
#     taken from capture.txt) against the waits the program must make per try:
#     n x 300 ms after the sends plus the 1 s after each try;
#   - the program's CPU time (user+sys from the run's rusage file, with the
#     commands it runs) against its wall time (start to end in signals.txt),
#     for the whole run and per try: the difference to a run with Cnt=1,
#     divided by the extra tries, against the try period.
# Targets: overhead under 5 % of the waits, CPU under 2 % of wall time.
#   scripts/bench-rs485.sh [BUILD_DIR]     (default build/host; needs a build)
#   TRIES=10 PORTS="2 4 8" scripts/bench-rs485.sh
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build/host}
rigfixture=$build/fixture/bin/rigfixture
tries=${TRIES:-10}
ports=${PORTS:-2 4 8}
[[ -x "$rigfixture" ]] || { echo "no $rigfixture: build first (cmake --build --preset host)" >&2; exit 2; }
(( tries >= 2 )) || { echo "TRIES must be 2 or more" >&2; exit 2; }

work=$(mktemp -d /tmp/bench-rs485-XXXXXX)
echo "runs in $work"
printf '%5s %9s %9s %9s %9s %7s | %8s %7s %6s | %10s %6s\n' \
  ports waits_ms mean_ms min_ms max_ms over_% cpu_ms wall_s cpu_% try_cpu_ms try_%

# Runs the program on the bus board of n ports for c tries into folder out.
run() {
  "$rigfixture" --quiet --board "$1" --out "$3" -- Port=RS485 "Cnt=$2" > /dev/null
}

# Prints the user+sys CPU seconds of a run.
cpu_of() {
  awk '{ printf "%.6f\n", $2 + $4 }' "$1/rusage"
}

for n in $ports; do
  list=$(seq 1 "$n" | sed 's/.*/"RS485-&"/' | paste -sd, -)
  board=$work/board-$n.json
  printf '{"hostname": "ZR-BENCH", "otp": "0x00000000", "zrdio_conf": "", "rs485": [%s]}\n' "$list" > "$board"
  out=$work/run-$n
  run "$board" "$tries" "$out"
  run "$board" 1 "$out-once"

  # The first sender of every try is RS485-1: the gaps between its sends are the try periods.
  periods=$(awk '$1 !~ /^#/ && $2 == "RS485-1" && $3 == ">" { if (seen) printf "%.6f\n", $1 - last; last = $1; seen = 1 }' \
    "$out/capture.txt")
  [[ $(wc -l <<< "$periods") -eq $((tries - 1)) ]] || { echo "$out: expected $((tries - 1)) try periods" >&2; exit 1; }
  waits=$(awk -v n="$n" 'BEGIN { printf "%.6f", n * 0.3 + 1.0 }')
  read -r mean min max < <(awk '{ s += $1; if (NR == 1 || $1 < lo) lo = $1; if ($1 > hi) hi = $1 }
    END { printf "%.6f %.6f %.6f\n", s / NR, lo, hi }' <<< "$periods")
  cpu=$(cpu_of "$out")
  once=$(cpu_of "$out-once")
  read -r wall < <(awk '$2 == "start" { s = $1 } $2 == "end" { e = $1 } END { printf "%.6f\n", e - s }' "$out/signals.txt")
  awk -v n="$n" -v w="$waits" -v m="$mean" -v lo="$min" -v hi="$max" -v c="$cpu" -v t="$wall" \
      -v o="$once" -v k="$tries" 'BEGIN {
    per = (c - o) / (k - 1)
    printf "%5d %9.1f %9.1f %9.1f %9.1f %7.2f | %8.1f %7.2f %6.3f | %10.2f %6.3f\n",
      n, w * 1000, m * 1000, lo * 1000, hi * 1000, (m - w) / w * 100, c * 1000, t, c / t * 100,
      per * 1000, per / m * 100 }'
done
