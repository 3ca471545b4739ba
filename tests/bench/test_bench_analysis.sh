#!/usr/bin/env bash
# The figures scripts/bench.sh takes from a run folder, on run folders made up
# here with known times: the try periods from the first fixture event of each
# try (trace lines arrive late, events of other kinds and devices interleave),
# the waits of the DI switching test from the toggling commands of each try,
# CPU, wall time and peak memory.
#   tests/bench/test_bench_analysis.sh [scripts/bench.sh]
set -euo pipefail
bench=${1:-$(dirname "$0")/../../scripts/bench.sh}
dir=$(mktemp -d /tmp/test-bench-XXXXXX)
trap 'rm -rf "$dir"' EXIT
failures=0

# Compares the analysis of run folder $1 (ports $2) with the expected line $3.
expect() {
  local got
  got=$("$bench" --analyse "$1" "$2" 2>&1) || true
  if [[ "$got" == "$3" ]]; then
    echo "ok   $(basename "$1")"
  else
    echo "FAIL $(basename "$1"): got '$got', expected '$3'"
    failures=$((failures + 1))
  fi
}

# A run's common files: rusage, signals.txt, the trace lines given as
# "time text" arguments, and the end of the run.
common() {
  local run=$1; shift
  mkdir -p "$run"
  echo "user 0.100000 sys 0.050000 peak_rss_kb 3600" > "$run/rusage"
  printf '0.100000 start rigchkEx Port=X Cnt=3\n20.100000 end exit 0\n' > "$run/signals.txt"
  : > "$run/tracelog.txt"
  while (( $# )); do echo "$1" >> "$run/tracelog.txt"; shift; done
}

# RS485, 2 ports, 3 tries starting at 3.000, 4.601 and 6.203: periods 1601 and
# 1602 ms. The trace lines come 40 ms after the tries' first sends, and the
# first try's line even before its send; the devices' own answers and the
# second line of a changed copy are no sends of the program. Line time: 4
# characters a try (the changed copy not again), 4.2 ms at 9600 8N1.
run=$dir/rs485
common "$run" "2.990000 25=[RtLog][d t] -----Try Test 1-----	runseq.cpp main line=137" \
  "4.641000 30=[RtLog][d t] -----Try Test 2-----	runseq.cpp main line=137" \
  "6.243000 35=[RtLog][d t] -----Try Test 3-----	runseq.cpp main line=137" \
  "9.000000 40=[RtLog][d t] iTestSta:0	main.cpp main line=159"
cat > "$run/capture.txt" <<'CAP'
# serial-sim capture: one line per burst (the bytes one writer wrote at once)
# port RS485-1 on /dev/pts/3: bus RS485-2
  2.500000 sensor > RS485-9  10 03 04 01 F4 00 FA 3B 7F  |.......;.|
  3.000000 RS485-1 > RS485-2  41 42  |AB|
  3.000000 RS485-1 > RS485-2[stray]  FF 41 42  |.AB|
  3.300000 RS485-2 > RS485-1  41 42  |AB|
  4.601000 RS485-1 > RS485-2  41 42  |AB|
  4.901000 RS485-2 > RS485-1  41 42  |AB|
  6.203000 RS485-1 > RS485-2  41 42  |AB|
  6.503000 RS485-2 > RS485-1  41 42  |AB|
# end 20.0 (serial-sim cpu user 0.01 sys 0.01)
CAP
expect "$run" "2 - - - -" "rs485 3 1601.5 1601.0 1602.0 1600.0 150.0 20.00 3600 4.2 0"

# The default board's kinds: the RS485 send opens each try, the RS232 and DIO
# events that follow in the try change nothing; waits 600 + 1800 + 3000 + 1000.
run=$dir/default
common "$run" "3.010000 -----Try Test 1-----" "9.430000 -----Try Test 2-----"
printf '  3.000000 RS485-1 > RS485-2  41  |A|\n  3.700000 RS232-1 > RS232-2  41  |A|\n  9.420000 RS485-1 > RS485-2  41  |A|\n' \
  > "$run/capture.txt"
printf '5.500000 ioctl pid=7 cmd=1 ZRDIO_DO_ON arg=0x01 result=0\n11.900000 ioctl pid=7 cmd=1 ZRDIO_DO_ON arg=0x01 result=0\n' \
  > "$run/dio.txt"
expect "$run" "2 plain 2 2 4" "default 2 6420.0 6420.0 6420.0 6400.0 150.0 20.00 3600 2.1 -"

# DI switching, 1 DI, 3 tries. Try 1: two toggling commands, then the SOFF and
# SON around the pause and the final SON (waits 1 s + 3 s + 2 x 500 ms);
# try 2: three toggling commands (5500 ms); periods 5050 and 5590 ms. The
# failed run's result is read.
run=$dir/di
common "$run" "2.010000 -----Try Test 1-----" "7.080000 -----Try Test 2-----" \
  "12.660000 -----Try Test 3-----" "18.000000 iTestSta:-1	main.cpp main line=159"
{
  echo '2.000000 ioctl pid=7 cmd=10 ZRDIO_RD_DI arg=0x01 result=0'
  echo '2.020000 line "SOFF=3"'
  echo '2.520000 ioctl pid=7 cmd=10 ZRDIO_RD_DI arg=0x01 result=0'
  echo '2.540000 line "SON=3"'
  echo '3.040000 ioctl pid=7 cmd=10 ZRDIO_RD_DI arg=0x01 result=1'
  echo '3.050000 line "SOFF=3"'
  echo '6.060000 line "SON=3"'
  echo '6.070000 line "SON=3"'
  echo '7.050000 ioctl pid=7 cmd=10 ZRDIO_RD_DI arg=0x01 result=0'
  for t in 7.07 7.59 8.11; do echo "$t line \"SOFF=3\""; done
  echo '8.610000 ioctl pid=7 cmd=10 ZRDIO_RD_DI arg=0x01 result=1'
  echo '8.620000 line "SOFF=3"'
  echo '11.630000 line "SON=3"'
  echo '11.640000 line "SON=3"'
  echo '12.640000 ioctl pid=7 cmd=10 ZRDIO_RD_DI arg=0x01 result=1'
  echo '12.650000 line "SOFF=3"'
} > "$run/dio.txt"
expect "$run" "- - - 0 1" "di 3 5320.0 5050.0 5590.0 5250.0 150.0 20.00 3600 0.0 -1"

# A run whose trace log shows one try only has no period to give.
run=$dir/once
common "$run" "3.010000 -----Try Test 1-----"
printf '  3.000000 RS485-1 > RS485-2  41  |A|\n' > "$run/capture.txt"
expect "$run" "2 - - - -" "once 1 - - - - 150.0 20.00 3600 - -"

(( failures == 0 )) || { echo "$failures failed"; exit 1; }
