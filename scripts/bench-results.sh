#!/usr/bin/env bash
# The results store at scale, on SQLite and on a real PostgreSQL server:
#   1. import throughput: a sample of synthetic kept logs with their reports
#      (16 ports each), imported with the store's import (logs/s);
#   2. the dashboard's pages and the command line's views, timed as the store
#      is filled (through the store's bulk insert) to each size in turn; beyond
#      --grow-from runs the store is grown instead by copies of the runs filled
#      so far, moved on in time (bench.py grow), its summaries computed again by
#      the store's upgrade statements: minutes instead of hours on a busy machine.
# PostgreSQL runs from initdb in the work folder as the user postgres,
# listening on a Unix socket there only. The figures go to WORK/results.txt.
#
#   scripts/bench-results.sh [--sizes "10000 100000 1000000"] [--logs 10000]
#                            [--dbs "sqlite postgresql"] [--work DIR] [--grow-from N]
# Defaults as shown (no growing); WORK is a new temporary folder. The 1,000,000-run
# fill takes many minutes per database; run it with nohup on a shared machine.
set -euo pipefail
cd "$(dirname "$0")/.."
sizes="10000 100000 1000000"
logs=10000
dbs="sqlite postgresql"
work=
grow_from=
while (( $# )); do
  case "$1" in
    --sizes) sizes=$2; shift 2 ;;
    --logs) logs=$2; shift 2 ;;
    --dbs) dbs=$2; shift 2 ;;
    --work) work=$2; shift 2 ;;
    --grow-from) grow_from=$2; shift 2 ;;
    *) sed -n '2,16p' "$0"; exit 2 ;;
  esac
done
work=${work:-$(mktemp -d /tmp/bench-results.XXXXXX)}
mkdir -p "$work"
work=$(cd "$work" && pwd)
pgbin=$(ls -d /usr/lib/postgresql/*/bin | sort -V | tail -1)
pgdata=$work/pg
bench() { (cd station && nice /usr/bin/python3 -m rigresults_lib.bench "$@"); }

stop_pg() {
  [[ -f $pgdata/postmaster.pid ]] && su postgres -s /bin/sh -c "$pgbin/pg_ctl -D '$pgdata' -m fast -w stop" >/dev/null
  return 0
}
trap stop_pg EXIT
start_pg() {
  chown postgres "$work"
  su postgres -s /bin/sh -c "$pgbin/initdb -D '$pgdata' -A trust -U postgres" >"$work/initdb.log"
  su postgres -s /bin/sh -c "$pgbin/pg_ctl -D '$pgdata' -l '$work/pg.log' -w start \
    -o \"-k '$work' -c listen_addresses='' -c shared_buffers=512MB -c fsync=on\"" >/dev/null
  su postgres -s /bin/sh -c "$pgbin/createdb -h '$work' results_import && $pgbin/createdb -h '$work' results"
}
url() {   # url DB NAME
  if [[ $1 == sqlite ]]; then echo "sqlite:///$work/$2.db"; else echo "postgresql+psycopg2://postgres@/$2?host=$work"; fi
}

{
  echo "bench-results: $(date -u '+%F %T') on $(nproc) cores; $(uptime | sed 's/.*load/load/')"
  [[ " $dbs " == *" postgresql "* ]] && start_pg
  for db in $dbs; do
    bench import "$(url "$db" results_import)" "$work/logs" --logs "$logs"
  done
  log=$(find "$work/logs/000000" -name rigChkEx-kept.log)   # the run page reads it
  for size in $sizes; do
    for db in $dbs; do
      if [[ -n $grow_from ]] && (( size > grow_from )); then
        bench fill "$(url "$db" results)" --to "$grow_from" --log "$log"
        bench grow "$(url "$db" results)" --to "$size"
      else
        bench fill "$(url "$db" results)" --to "$size" --log "$log"
      fi
      bench measure "$(url "$db" results)" --log "$log"
    done
  done
  echo "bench-results: done $(date -u '+%F %T'); $(uptime | sed 's/.*load/load/')"
} 2>&1 | tee -a "$work/results.txt"
