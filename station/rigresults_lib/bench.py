"""The results store at scale: import throughput of kept logs, and the response
times of the dashboard's pages and the command line's views as the store grows.

    python3 -m rigresults_lib.bench import URL FOLDER [--logs 10000]
        writes FOLDER/<n>/<fixture>/ kept logs and reports (16 ports each) and
        imports them with the store's import; prints logs/s and the CPU time of this
        process (PostgreSQL: and of the server's processes).
    python3 -m rigresults_lib.bench fill URL --to N [--log FILE]
        adds synthetic runs (16 ports, 24 tallies each) through the store's bulk
        insert until the store holds N runs; prints runs/s.
    python3 -m rigresults_lib.bench grow URL --to N
        grows a filled store to N runs by copies of its runs moved on in time (chips
        renamed), then computes the units and the views' summaries again with the
        store's own upgrade statements: a large store in minutes, not hours.
    python3 -m rigresults_lib.bench measure URL [--log FILE]
        times every dashboard page (first request after a change, then the median
        of REPEAT; the newest run holds FILE as its stored log) and every view of the
        command line: wall time, and CPU time of this process and the PostgreSQL
        server's; prints one line per figure. The pages' days end on the newest run's day.

A filled line: STATIONS stations with FIXTURES fixtures each, two device types,
RUNS_PER_DAY runs a day, a retest for RETEST_RATE of the chips, a port failing
on FAIL_RATE of the runs (a third of those only some tries), and one fixture
whose RS232-1 fails on every board for a stretch of each month.
"""
import argparse
import datetime
import os
import random
import statistics
import sys
import time

from sqlalchemy import create_engine, func, select, text
from sqlalchemy.pool import NullPool

from . import importer, store, synth, views, web

STATIONS = 3
FIXTURES = 2
DEVICE_TYPES = ("ZR-A7-T100", "ZR-A7-T200")
RUNS_PER_DAY = 2500
RETEST_RATE = 0.05
FAIL_RATE = 0.06
TRIES = 3
PORTS = {"RS485": 4, "RS232": 4, "DO": 4, "DI": 4}   # 16 ports, 24 tallies
FIRST_DAY = datetime.datetime(2024, 1, 1, 6, 0, 0)
BAD_STRETCH_DAYS = 2          # each month, ST-3/fixture-2's RS232-1 fails for this long
FILL_BATCH = 5000             # runs built and stored at a time
REPEAT = 5                    # warm requests per page
SEED = 21


def tallies(rng, bad_cable):
    """Returns one run's 24 tallies (the summary's order), a few failed."""
    rows = []
    for kind, n in PORTS.items():
        for test in (("NO", "NC") if kind in ("DO", "DI") else ("",)):
            rows += [{"kind": kind, "port": f"{kind}-{i}", "test": test, "successes": TRIES, "errors": 0}
                     for i in range(1, n + 1)]
    if rng.random() < FAIL_RATE:
        row = rng.choice(rows)
        row["successes"] = rng.choice((0, 0, rng.randint(1, TRIES - 1)))
        row["errors"] = TRIES - row["successes"]
    if bad_cable:
        row = next(r for r in rows if r["port"] == "RS232-1")
        row["successes"], row["errors"] = 0, TRIES
    return rows


def place(n):
    """Returns the station and fixture of the line's n-th run."""
    return f"ST-{n % STATIONS + 1}", f"fixture-{n // STATIONS % FIXTURES + 1}"


def synthetic_run(n, rng, log_path):
    """Returns the line's n-th run as the store takes it (parse.py's dict and its place)."""
    start = FIRST_DAY + datetime.timedelta(seconds=n * 86400 // RUNS_PER_DAY)
    retest = rng.random() < RETEST_RATE
    chip_number = n - 1 if retest and n else n     # a retest: the previous run's chip again
    station, fixture = place(n)
    bad = station == f"ST-{STATIONS}" and fixture == f"fixture-{FIXTURES}" and start.day <= BAD_STRETCH_DAYS
    ports = tallies(rng, bad)
    passed = not any(views.tally_failed(p["successes"], p["errors"]) for p in ports)
    for p in ports:
        p["verdict"] = None
    return {"chip": f"0x{0x30000000 + chip_number:08X}", "device_type": DEVICE_TYPES[chip_number % 2],
            "start_time": f"{start:%Y-%m-%d %H:%M:%S}", "version": synth.VERSION, "build": synth.BUILD,
            "command": f"rigchkEx  Port=All Cnt={TRIES}", "tries": TRIES, "kinds": 7,
            "result_line": "iTestSta:0" if passed else "iTestSta:-1", "passed": passed, "ports": ports,
            "station": station, "fixture": fixture, "exit_status": "exit 0", "end_pattern": None,
            "log_path": log_path, "report_path": None}


def count_runs(engine):
    """Returns the number of runs in the store (and the next run's number)."""
    with engine.connect() as conn:
        return conn.execute(select(func.count()).select_from(store.runs)).scalar()


def cmd_fill(engine, target, log_path):
    """Adds runs until the store holds target; prints the rate."""
    have = count_runs(engine)
    rng = random.Random(SEED + have)
    t0, added = time.monotonic(), 0
    while have + added < target:
        n0 = have + added
        batch = [synthetic_run(n, rng, log_path) for n in range(n0, min(target, n0 + FILL_BATCH))]
        new, _ = store.store_runs(engine, batch)
        added += len(batch)
        if new != len(batch):
            sys.exit(f"bench: {len(batch) - new} runs of a fill were already stored")
    seconds = time.monotonic() - t0
    print(f"fill {engine.dialect.name} {have}->{target} runs: {seconds:.1f} s, "
          f"{added / seconds if seconds else 0:.0f} runs/s", flush=True)


def shifted_copy(dialect, table, shift_cols):
    """Returns an INSERT ... SELECT that copies the rows of table with ids up to :n, each
    id (shift_cols) moved up by :shift while the copy stays within :target; for runs the
    chip gets :suffix and the start time and day move by :days."""
    cols = [c.name for c in table.columns]
    if dialect == "postgresql":
        moved = "start_time::timestamp + CAST(:days AS interval)"
        when = {"start_time": f"to_char({moved}, 'YYYY-MM-DD HH24:MI:SS')",
                "day": f"to_char({moved}, 'YYYY-MM-DD')"}
    else:
        when = {"start_time": "strftime('%Y-%m-%d %H:%M:%S', start_time, :days)",
                "day": "date(start_time, :days)"}
    exprs = dict({c: f"{c} + :shift" for c in shift_cols}, chip="chip || :suffix", **when) \
        if table is store.runs else {c: f"{c} + :shift" for c in shift_cols}
    key = shift_cols[0]
    return text(f"INSERT INTO {table.name} ({', '.join(cols)}) SELECT "
                f"{', '.join(exprs.get(c, c) for c in cols)} FROM {table.name} "
                f"WHERE {key} <= :n AND {key} + :shift <= :target")


def cmd_grow(engine, target):
    """Grows the store to target runs by copies of its runs (ids 1..n, filled by cmd_fill),
    each moved on in time by the days they cover and its chips renamed; then computes
    the units and the views' summaries again as an upgrading store does; prints the time."""
    t0 = time.monotonic()
    with engine.connect() as conn:
        n = conn.execute(select(func.max(store.runs.c.id))).scalar()
        first, last = [conn.execute(select(f(store.runs.c.day))).scalar() for f in (func.min, func.max)]
    days = (datetime.date.fromisoformat(last) - datetime.date.fromisoformat(first)).days + 1
    dialect = engine.dialect.name
    copy_runs = shifted_copy(dialect, store.runs, ["id"])
    copy_ports = shifted_copy(dialect, store.ports, ["run_id"])
    k = 1
    while k * n < target:
        with store.writing(engine) as conn:
            if dialect == "postgresql":
                conn.execute(text("SET LOCAL session_replication_role = replica"))  # no key checks
            else:
                conn.exec_driver_sql("PRAGMA foreign_keys=OFF")
            values = {"n": n, "shift": k * n, "target": target, "suffix": f".{k}",
                      "days": f"+{k * days} days" if dialect != "postgresql" else f"{k * days} days"}
            conn.execute(copy_runs, values)
            conn.execute(copy_ports, values)
        print(f"grow {dialect}: copy {k} done after {time.monotonic() - t0:.0f} s", flush=True)
        k += 1
    with store.writing(engine) as conn:
        for table in (store.units, store.yield_days, store.failed, store.places, store.streaks,
                      store.place_kinds, store.place_fails, store.port_days):
            conn.execute(table.delete())
        conn.execute(store.FILL_UNITS)
        store.step_summaries(conn)
        store.step_place_summaries(conn)
        if dialect == "postgresql":
            conn.execute(text("SELECT setval(pg_get_serial_sequence('runs', 'id'), "
                              "(SELECT MAX(id) FROM runs))"))
    print(f"grow {dialect} {n}->{count_runs(engine)} runs: {time.monotonic() - t0:.0f} s", flush=True)


def write_logs(folder, count):
    """Writes count station result folders with a kept log and its report."""
    rng = random.Random(SEED)
    for n in range(count):
        run = synthetic_run(n, rng, None)
        host, start = run["device_type"], run["start_time"]
        out = os.path.join(folder, f"{n:06d}", run["fixture"])
        os.makedirs(out, exist_ok=True)
        with open(os.path.join(out, importer.STATION_LOG), "wb") as f:
            f.write(synth.kept_log(f"0x{0x10000000 + n:08X}", host, start, run["ports"], TRIES))
        with open(os.path.join(out, importer.REPORT), "wb") as f:
            f.write(synth.report(host, start, run["ports"]))


def cmd_import(engine, folder, count):
    """Imports count freshly written kept logs; prints logs/s."""
    if not os.path.isdir(folder):
        write_logs(folder, count)
    probe = create_engine(engine.url, poolclass=NullPool) if engine.dialect.name == "postgresql" else None
    server0 = server_cpu(probe) if probe else 0.0  # the import's own server process counted
    t0, cpu0 = time.monotonic(), time.process_time()
    new, already, refused = importer.import_paths(engine, [folder], "ST-import", progress=False)
    seconds, cpu = time.monotonic() - t0, time.process_time() - cpu0
    server = f", {server_cpu(probe) - server0:.1f} s of the server's" if probe else ""
    print(f"import {engine.dialect.name}: {new} new, {already} already, {len(refused)} refused "
          f"of {count} kept logs in {seconds:.1f} s: {count / seconds:.0f} logs/s "
          f"({cpu:.1f} s of CPU in this process: {count / cpu:.0f} logs per CPU second{server})", flush=True)


def server_cpu(engine):
    """Returns the CPU time (s) used so far by the PostgreSQL server's processes serving
    engine's database (read from /proc: the server runs on this machine), 0 on SQLite."""
    if engine.dialect.name != "postgresql":
        return 0.0
    with engine.connect() as conn:
        own = conn.execute(text("SELECT pg_backend_pid()")).scalar()
        pids = conn.execute(text("SELECT pid FROM pg_stat_activity WHERE datname = current_database()")).scalars()
        ticks = 0
        for pid in pids:
            try:
                with open(f"/proc/{pid}/stat") as f:
                    fields = f.read().rsplit(")", 1)[1].split()
                ticks += 0 if pid == own else int(fields[11]) + int(fields[12])  # utime, stime
            except (OSError, IndexError, ValueError):
                continue
    return ticks / os.sysconf("SC_CLK_TCK")


def timed(call, engine=None):
    """Returns call's wall time and the CPU time in it of this process and of the
    database server's processes (PostgreSQL: to the clock's tick), in ms."""
    server0 = server_cpu(engine) if engine is not None else 0.0
    t0, cpu0 = time.perf_counter(), time.process_time()
    call()
    wall, cpu = (time.perf_counter() - t0) * 1000, (time.process_time() - cpu0) * 1000
    return wall, cpu + ((server_cpu(engine) - server0) * 1000 if engine is not None else 0.0)


def cmd_measure(engine, url, log_path):
    """Times the pages and the views on the store as it is (the newest run's kept
    log made log_path, when given); prints one line each."""
    runs_n = count_runs(engine)
    with engine.connect() as conn:
        last = conn.execute(select(store.runs).order_by(store.runs.c.id.desc()).limit(1)).first()
        chip, last_id = last.chip, last.id
    if log_path:  # the run page shows the log the store holds
        with open(log_path, "rb") as f:
            log = f.read()
        with store.writing(engine) as conn:
            conn.execute(store.run_files.delete().where(store.run_files.c.run_id == last_id))
            conn.execute(store.run_files.insert(), store.file_row(last_id, log, None))
            conn.execute(store.runs.update().where(store.runs.c.id == last_id).values(log_kept=1))
    pages = [("/", "overview"), ("/station?name=ST-2", "station"),
             (f"/station?name=ST-2&before={last_id - 1000}", "station, an older page"),
             ("/port?kind=RS232&port=RS232-1", "port (Pareto bar)"),
             (f"/unit?chip={chip}", "unit"), (f"/run?id={last_id}", "run with its kept log")]
    newest = datetime.date.fromisoformat(last.day)  # the line's days end on the newest run's
    client = web.create_app(url, today=lambda: newest).test_client()
    print(f"measure {engine.dialect.name} {runs_n} runs")
    for path, name in pages:
        first, first_cpu = timed(lambda: client.get(path), engine)
        warm = statistics.median(timed(lambda: client.get(path))[0] for _ in range(REPEAT))
        status = client.get(path).status_code
        print(f"  page {name:24s} first {first:8.0f} ms (CPU {first_cpu:6.0f} ms)  then {warm:7.0f} ms"
              f"  (HTTP {status})", flush=True)
    week = web.window(newest, web.FIXTURE_DAYS)[0]
    cli = [("unit CHIP", lambda c: views.unit_runs(c, chip)),
           ("yield", lambda c: views.yield_rows(c)), ("yield --from a week ago", lambda c: views.yield_rows(c, day_from=week)),
           ("pareto", lambda c: views.pareto_rows(c)), ("pareto --from a week ago", lambda c: views.pareto_rows(c, day_from=week)),
           ("failures --port RS485-1", lambda c: views.failure_rows(c, port="RS485-1")),
           ("fixtures --from a week ago", lambda c: views.fixture_rows(c, day_from=week)),
           ("fixtures", lambda c: views.fixture_rows(c))]
    for name, view in cli:
        with engine.connect() as conn:
            ms, cpu = timed(lambda: view(conn), engine)
        print(f"  view {name:24s} {ms:8.0f} ms (CPU {cpu:6.0f} ms)", flush=True)


def main(argv=None):
    ap = argparse.ArgumentParser(prog="bench", description=__doc__.split("\n\n")[0])
    ap.add_argument("mode", choices=("import", "fill", "grow", "measure"))
    ap.add_argument("url")
    ap.add_argument("folder", nargs="?")
    ap.add_argument("--logs", type=int, default=10000)
    ap.add_argument("--to", type=int)
    ap.add_argument("--log", help="kept log the runs point at (the run page reads it)")
    opt = ap.parse_args(argv)
    engine = store.open_db(opt.url)
    if opt.mode == "import":
        cmd_import(engine, opt.folder, opt.logs)
    elif opt.mode == "grow":
        cmd_grow(engine, opt.to)
    elif opt.mode == "fill":
        cmd_fill(engine, opt.to, opt.log and os.path.abspath(opt.log))
    else:
        cmd_measure(engine, opt.url, opt.log and os.path.abspath(opt.log))
    return 0


if __name__ == "__main__":
    sys.exit(main())
