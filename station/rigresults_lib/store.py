"""The results store: one schema on SQLite (embedded, the default) or PostgreSQL.

open_db(url=None) -> Engine: opens (creating and upgrading) the store at url, a
    SQLAlchemy URL; default RIGRESULTS_DB, else sqlite:///~/.local/share/rigresults/results.db.
store_runs(engine, runs) -> (new, already): stores parsed runs (parse.py's dicts plus
    station, fixture, exit_status, end_pattern, log_path, report_path, and the files'
    bytes log_data, report_data); a run already stored (same identity) is left as it is.
log_text(conn, run_id), report_text(conn, run_id) -> the stored file's text, or None.
A run, its ports and its files are stored in one transaction, so a run is whole or absent.
Tables: runs (one row per run, unique on its identity: chip, device_type, start_time and
log_hash, the hash of the log's content; aborted 1 for a run without result line;
log_kept 0 when the store holds no log of it), ports (per run, port and test NO/NC:
successes, errors, failed, verdict), run_files (per run: the kept log and the report,
compressed, with their SHA-256), units (per chip: first and last run, number of runs),
yield_days, failed and places (the views' summaries, kept up to date as runs are stored),
streaks, place_kinds and place_fails (the suspected fixtures' summary, streaks.py),
port_days (the control charts' counts),
run_meta (a panel's run: place, operator, label serial, versions, the run it retests;
store_run_meta(engine, run_id, meta)), schema_version (STEPS done). log_path and
report_path only tell where a run was imported from: nothing is ever read from them but
once, when a store made before run_files is upgraded.
Beside it: parse.py (the files), importer.py (folders), views.py (the queries),
sync.py (forwarding), synth.py (synthetic runs), pgtemp.py (a throwaway PostgreSQL).
"""
import functools
import hashlib
import operator
import os
import sqlite3
import time
import zlib
from collections import Counter

from sqlalchemy import (Column, ForeignKey, Integer, LargeBinary, MetaData, PrimaryKeyConstraint,
                        String, Table, Text, UniqueConstraint, create_engine, event, inspect,
                        select, text)

from . import files, parse, streaks as streak_summary
from .driver import execute_rows

DEFAULT_DB = os.path.join("~", ".local", "share", "rigresults", "results.db")
ENV_DB = "RIGRESULTS_DB"
SQLITE_BUSY_S = 60        # a writer waits this long for another station's transaction
WAL_RETRY_S = 0.05       # pause between two tries to switch a new file to write-ahead logging
PG_UPGRADE_LOCK = 0x72696721  # advisory lock id: one upgrade at a time
BATCH = 500               # runs per transaction on a long import
INSERT_ROWS = 100         # runs per INSERT statement (20 values each: within the 32,766 of SQLite 3.32 on)
MAX_FILE_BYTES = 64 << 20  # no kept log or report comes near this
ZLIB_LEVEL = 6            # the stored files' compression,
ZLIB_WBITS = 13           # with a window and state small enough (64 KiB in all) that each
ZLIB_MEM_LEVEL = 6        # file's compressor stays on the heap, not in fresh pages per file
UNKNOWN_HASH = ""         # log_hash of a run whose log the store never held

metadata = MetaData()

schema_version = Table("schema_version", metadata, Column("version", Integer, nullable=False))

runs = Table(
    "runs", metadata,
    Column("id", Integer, primary_key=True),
    Column("chip", Text, nullable=False),
    Column("device_type", Text, nullable=False),
    Column("start_time", String(19), nullable=False),  # the board's "YYYY-MM-DD HH:MM:SS"
    Column("day", String(10), nullable=False),
    Column("station", Text, nullable=False),
    Column("fixture", Text, nullable=False),
    Column("version", Text), Column("build", Text), Column("command", Text),
    Column("tries", Integer), Column("kinds", Integer),
    Column("result_line", Text, nullable=False),
    Column("passed", Integer, nullable=False),         # 1 pass, 0 fail
    Column("exit_status", Text),                       # "exit 0", "signal 15"; None: unknown
    Column("end_pattern", Text),                       # pass, fail, none; None: unknown
    Column("log_path", Text), Column("report_path", Text),
    Column("log_hash", String(64), nullable=False, server_default=UNKNOWN_HASH),  # parse.content_hash
    Column("aborted", Integer, nullable=False, server_default="0"),   # 1: no result line
    Column("log_kept", Integer, nullable=False, server_default="0"),  # 1: run_files holds its log
    UniqueConstraint("chip", "device_type", "start_time", "log_hash", name="uq_runs_identity"),
)

# The files of a run as they were imported: zlib-compressed, with the SHA-256 of their bytes.
run_files = Table(
    "run_files", metadata,
    Column("run_id", Integer, ForeignKey("runs.id", ondelete="CASCADE"), primary_key=True),
    Column("log", LargeBinary), Column("log_sha256", String(64)),
    Column("report", LargeBinary), Column("report_sha256", String(64)),
)

ports = Table(
    "ports", metadata,
    Column("run_id", Integer, ForeignKey("runs.id", ondelete="CASCADE"), nullable=False),
    Column("kind", String(8), nullable=False),         # RS485, RS232, DO, DI
    Column("port", Text, nullable=False),
    Column("test", String(2), nullable=False),         # "" serial, NO/NC for DO and DI
    Column("successes", Integer, nullable=False),
    Column("errors", Integer, nullable=False),
    Column("failed", Integer, nullable=False),         # 1: this tally failed the port
    Column("verdict", Integer),                        # the report's 1/0; None: no report
    PrimaryKeyConstraint("run_id", "kind", "port", "test"),
)


# Per unit (chip): its first and last run (by start time, then id) and its number of runs,
# kept as runs are stored, so that the yield needs no pass over every run.
units = Table(
    "units", metadata,
    Column("chip", Text, primary_key=True),
    Column("first_id", Integer, nullable=False), Column("first_time", String(19), nullable=False),
    Column("last_id", Integer, nullable=False), Column("last_time", String(19), nullable=False),
    Column("runs", Integer, nullable=False),
)

# Counts one more run of a chip (parameters chip, id, t); SQLite and PostgreSQL alike.
COUNT_UNIT_RUN = text(
    "INSERT INTO units (chip, first_id, first_time, last_id, last_time, runs) "
    "VALUES (:chip, :id, :t, :id, :t, 1) ON CONFLICT (chip) DO UPDATE SET runs = units.runs + 1, "
    "first_id = CASE WHEN excluded.first_time < units.first_time "
    "THEN excluded.first_id ELSE units.first_id END, "
    "first_time = CASE WHEN excluded.first_time < units.first_time "
    "THEN excluded.first_time ELSE units.first_time END, "
    "last_id = CASE WHEN excluded.last_time >= units.last_time "
    "THEN excluded.last_id ELSE units.last_id END, "
    "last_time = CASE WHEN excluded.last_time >= units.last_time "
    "THEN excluded.last_time ELSE units.last_time END")

# The units of the runs already stored.
FILL_UNITS = text(
    "INSERT INTO units (chip, first_id, first_time, last_id, last_time, runs) "
    "SELECT chip, MIN(CASE WHEN n = 1 THEN id END), MIN(CASE WHEN n = 1 THEN start_time END), "
    "MIN(CASE WHEN m = 1 THEN id END), MIN(CASE WHEN m = 1 THEN start_time END), COUNT(*) "
    "FROM (SELECT id, chip, start_time, "
    "ROW_NUMBER() OVER (PARTITION BY chip ORDER BY start_time, id) AS n, "
    "ROW_NUMBER() OVER (PARTITION BY chip ORDER BY start_time DESC, id DESC) AS m FROM runs) r "
    "GROUP BY chip")


def step_tables(conn):
    """Version 1: the runs and their ports."""
    metadata.create_all(conn, tables=[runs, ports])


# The views' indexes: unit history, yield by day, places in time order, Pareto of failures.
INDEXES = (
    "ix_runs_chip_time ON runs (chip, start_time)",
    "ix_runs_day ON runs (day, station, device_type)",
    "ix_runs_place_time ON runs (station, fixture, start_time)",
    "ix_ports_failed ON ports (port, kind, run_id) WHERE failed = 1",
)


def step_indexes(conn):
    """Version 2: the views' indexes (SQL that both SQLite and PostgreSQL take)."""
    for index in INDEXES:
        conn.execute(text("CREATE INDEX IF NOT EXISTS " + index))


def step_units(conn):
    """Version 3: each unit's first and last run, filled from the runs stored so far."""
    metadata.create_all(conn, tables=[units])
    conn.execute(FILL_UNITS)
    conn.execute(text("CREATE INDEX IF NOT EXISTS ix_units_first ON units (first_id)"))


def rebuild_runs(conn):
    """Gives runs its identity with the log's hash and its new columns: SQLite cannot change
    a table's UNIQUE constraint, so on both databases alike runs and ports are copied aside,
    made again and filled back, with their ids."""
    old = [c["name"] for c in inspect(conn).get_columns("runs")]
    if "log_hash" in old:  # made in this shape by step_tables
        return
    port_cols = ", ".join(c.name for c in ports.columns)
    run_cols = ", ".join(c for c in old if c in runs.c)
    conn.execute(text("CREATE TABLE runs_before AS SELECT * FROM runs"))
    conn.execute(text("CREATE TABLE ports_before AS SELECT * FROM ports"))
    conn.execute(text("DROP TABLE ports"))
    conn.execute(text("DROP TABLE runs"))
    metadata.create_all(conn, tables=[runs, ports])
    conn.execute(text(f"INSERT INTO runs ({run_cols}) SELECT {run_cols} FROM runs_before"))
    conn.execute(text(f"INSERT INTO ports ({port_cols}) SELECT {port_cols} FROM ports_before"))
    conn.execute(text("DROP TABLE ports_before"))
    conn.execute(text("DROP TABLE runs_before"))
    step_indexes(conn)
    if conn.dialect.name == "postgresql":  # the id sequence goes on after the copied ids
        conn.execute(text("SELECT setval(pg_get_serial_sequence('runs', 'id'), "
                          "COALESCE((SELECT MAX(id) FROM runs), 0) + 1, false)"))


def kept_files(row):
    """Returns (log bytes, report bytes or None, log hash) of a stored run's files when the
    log at its path is still this run's (chip, device type and start time agree), else None."""
    try:
        log = files.read_regular(row.log_path, MAX_FILE_BYTES)
        run = parse.parse_kept_log(log)
    except (parse.Refused, TypeError, ValueError):
        return None
    if (run["chip"], run["device_type"], run["start_time"]) != (row.chip, row.device_type, row.start_time):
        return None  # a later board's log at the same path
    report = None
    if row.report_path:
        try:
            report = files.read_regular(row.report_path, MAX_FILE_BYTES)
            report = report if parse.apply_report(run, report) is not None else None
        except (parse.Refused, TypeError, ValueError):
            report = None
    return log, report, parse.content_hash(log)


def step_record(conn):
    """Version 4: the store holds each run's files. Each stored path is read once; a run
    keeps the file only where it is still that run's, and is "log not kept" otherwise."""
    rebuild_runs(conn)
    metadata.create_all(conn, tables=[run_files])
    q = select(runs.c.id, runs.c.chip, runs.c.device_type, runs.c.start_time, runs.c.log_path,
               runs.c.report_path).where(runs.c.log_kept == 0, runs.c.log_hash == UNKNOWN_HASH)
    last = 0
    while True:  # BATCH runs at a time: a store of millions is never held at once
        rows = conn.execute(q.where(runs.c.id > last).order_by(runs.c.id).limit(BATCH)).all()
        if not rows:
            return
        last = rows[-1].id
        for row in rows:
            found = kept_files(row)
            if found is not None:
                conn.execute(runs.update().where(runs.c.id == row.id).values(log_hash=found[2], log_kept=1))
                conn.execute(run_files.insert(), file_row(row.id, found[0], found[1]))


# What the views need, kept up to date as runs are stored (store_batch), so that no view
# walks every run: the yield per day, station and device type of the units' first runs
# (and the aborted runs of each), every failed tally with its run's day, place and chip,
# and every place and device type seen.
yield_days = Table(
    "yield_days", metadata,
    Column("day", String(10), nullable=False), Column("station", Text, nullable=False),
    Column("device_type", Text, nullable=False),
    Column("units", Integer, nullable=False),          # units first tested here that day
    Column("first_pass", Integer, nullable=False), Column("final_pass", Integer, nullable=False),
    Column("retests", Integer, nullable=False),        # those units' runs after their first
    Column("aborted", Integer, nullable=False),        # runs here that day without a result line
    PrimaryKeyConstraint("day", "station", "device_type"),
)

failed = Table(
    "failed", metadata,
    Column("run_id", Integer, ForeignKey("runs.id", ondelete="CASCADE"), nullable=False),
    Column("day", String(10), nullable=False), Column("start_time", String(19), nullable=False),
    Column("station", Text, nullable=False), Column("fixture", Text, nullable=False),
    Column("device_type", Text, nullable=False), Column("chip", Text, nullable=False),
    Column("kind", String(8), nullable=False), Column("port", Text, nullable=False),
    Column("test", String(2), nullable=False),
    Column("successes", Integer, nullable=False), Column("errors", Integer, nullable=False),
    PrimaryKeyConstraint("run_id", "kind", "port", "test"),
)

places = Table(
    "places", metadata,
    Column("station", Text, nullable=False), Column("fixture", Text, nullable=False),
    Column("device_type", Text, nullable=False),
    PrimaryKeyConstraint("station", "fixture", "device_type"),
)

SUMMARY_INDEXES = (
    "ix_failed_day ON failed (day, kind, port, chip, run_id, successes)",  # Pareto, streaks
    "ix_failed_kind_port ON failed (kind, port, chip, run_id, successes)",  # Pareto of all days
    "ix_failed_port ON failed (port, kind, start_time, run_id)",  # a port's failures, newest first
    "ix_failed_time ON failed (start_time, run_id)",         # the newest failures
    "ix_runs_station_time ON runs (station, start_time, id)",  # a station's runs, newest first
)
SUMMARY_LOCK = PG_UPGRADE_LOCK + 1  # advisory lock id: one writer of the summaries at a time
YIELD_PART = ("units", "first_pass", "final_pass", "retests")

# Each given unit's part in yield_days: the place of its first run and (1, first passed,
# last passed, runs after the first).
_first, _last = runs.alias("first_run"), runs.alias("last_run")
UNIT_PARTS = (select(units.c.chip, _first.c.day, _first.c.station, _first.c.device_type,
                     _first.c.passed.label("first_pass"), _last.c.passed.label("final_pass"),
                     units.c.runs)
              .select_from(units.join(_first, _first.c.id == units.c.first_id)
                           .join(_last, _last.c.id == units.c.last_id)))
FILL_YIELD_DAYS = text(
    "INSERT INTO yield_days (day, station, device_type, units, first_pass, final_pass, retests, aborted) "
    "SELECT f.day, f.station, f.device_type, COUNT(*), SUM(f.passed), SUM(l.passed), SUM(u.runs - 1), 0 "
    "FROM units u JOIN runs f ON f.id = u.first_id JOIN runs l ON l.id = u.last_id "
    "GROUP BY f.day, f.station, f.device_type")
FILL_ABORTED = text(
    "INSERT INTO yield_days (day, station, device_type, units, first_pass, final_pass, retests, aborted) "
    "SELECT day, station, device_type, 0, 0, 0, 0, COUNT(*) FROM runs WHERE aborted = 1 "
    "GROUP BY day, station, device_type ON CONFLICT (day, station, device_type) "
    "DO UPDATE SET aborted = excluded.aborted")
FILL_FAILED = text(
    "INSERT INTO failed (run_id, day, start_time, station, fixture, device_type, chip, kind, port, "
    "test, successes, errors) SELECT r.id, r.day, r.start_time, r.station, r.fixture, r.device_type, "
    "r.chip, p.kind, p.port, p.test, p.successes, p.errors FROM ports p JOIN runs r ON r.id = p.run_id "
    "WHERE p.failed = 1")
FILL_PLACES = text("INSERT INTO places (station, fixture, device_type) "
                   "SELECT DISTINCT station, fixture, device_type FROM runs")
# Adds a delta to one row of yield_days (parameters: its key and the columns' deltas).
ADD_YIELD = text(
    "INSERT INTO yield_days (day, station, device_type, units, first_pass, final_pass, retests, aborted) "
    "VALUES (:day, :station, :device_type, :units, :first_pass, :final_pass, :retests, :aborted) "
    "ON CONFLICT (day, station, device_type) DO UPDATE SET units = yield_days.units + excluded.units, "
    "first_pass = yield_days.first_pass + excluded.first_pass, "
    "final_pass = yield_days.final_pass + excluded.final_pass, "
    "retests = yield_days.retests + excluded.retests, aborted = yield_days.aborted + excluded.aborted")
ADD_PLACE = text("INSERT INTO places (station, fixture, device_type) VALUES (:station, :fixture, "
                 ":device_type) ON CONFLICT (station, fixture, device_type) DO NOTHING")


def step_summaries(conn):
    """Version 5: the views' summaries (yield_days, failed, places), filled from the runs so far."""
    metadata.create_all(conn, tables=[yield_days, failed, places])
    conn.execute(FILL_YIELD_DAYS)
    conn.execute(FILL_ABORTED)
    conn.execute(FILL_FAILED)
    conn.execute(FILL_PLACES)
    for index in SUMMARY_INDEXES:
        conn.execute(text("CREATE INDEX IF NOT EXISTS " + index))


def unit_parts(conn, chips):
    """Returns {(day, station, device_type): [units, first_pass, final_pass, retests]} of the
    given chips' units as stored now."""
    parts = {}
    chips = sorted(chips)
    for i in range(0, len(chips), BATCH):
        for r in conn.execute(UNIT_PARTS.where(units.c.chip.in_(chips[i:i + BATCH]))):
            part = parts.setdefault((r.day, r.station, r.device_type), [0, 0, 0, 0])
            for n, value in enumerate((1, r.first_pass, r.final_pass, r.runs - 1)):
                part[n] += value
    return parts


def count_summaries(conn, chips, before, rows, ids, port_rows):
    """Brings the summaries up to date with the runs just stored (ids {identity: id}, their
    rows and their port_rows), given the parts of the units of chips before them; returns nothing."""
    after = unit_parts(conn, chips)
    deltas = {}
    for key in set(before) | set(after):
        old, new = before.get(key, [0] * 4), after.get(key, [0] * 4)
        deltas[key] = [b - a for a, b in zip(old, new)] + [0]
    for key in ids:
        row = rows[key][0]
        if row.get("aborted"):
            deltas.setdefault((row["day"], row["station"], row["device_type"]), [0] * 5)[4] += 1
    added = [dict(zip(YIELD_PART + ("aborted",), d), day=day, station=station, device_type=device_type)
             for (day, station, device_type), d in sorted(deltas.items()) if any(d)]
    if added:
        execute_rows(conn, ADD_YIELD, added)
    seen = {(rows[k][0]["station"], rows[k][0]["fixture"], rows[k][0]["device_type"]) for k in ids}
    if seen:
        execute_rows(conn, ADD_PLACE, [{"station": station, "fixture": fixture, "device_type": device_type}
                                 for station, fixture, device_type in sorted(seen)])
    run_of = {run_id: rows[key][0] for key, run_id in ids.items()}
    failed_rows = [dict(p, **{c: run_of[p["run_id"]][c] for c in ("day", "start_time", "station",
                                                                  "fixture", "device_type", "chip")})
                   for p in port_rows if p["failed"]]
    if failed_rows:
        insert_many(conn, failed, failed_rows)
    failing = {}
    for p in failed_rows:
        failing.setdefault(p["run_id"], set()).add((p["kind"], p["port"]))
    count_port_days(conn, run_of, port_rows, failed_rows)
    streak_summary.count(conn, [(r["station"], r["fixture"], r["start_time"], run_id, r["chip"], r["kinds"],
                                 failing.get(run_id, set())) for run_id, r in run_of.items()])



# Who ran a run at which place, and which versions: one row beside a run a station's
# panel stored (runs imported from files have none). retest_of: the failed run it retests.
run_meta = Table(
    "run_meta", metadata,
    Column("run_id", Integer, ForeignKey("runs.id", ondelete="CASCADE"), primary_key=True),
    Column("place", Text), Column("operator", Text), Column("serial", Text),
    Column("station_version", Text), Column("program_version", Text),
    Column("retest_of", Integer, ForeignKey("runs.id", ondelete="SET NULL")),
)


def step_run_meta(conn):
    """Version 6: the runs' place, operator, label serial and versions, found by serial."""
    metadata.create_all(conn, tables=[run_meta])
    conn.execute(text("CREATE INDEX IF NOT EXISTS ix_run_meta_serial ON run_meta (serial)"))


def store_run_meta(engine, run_id, meta):
    """Stores a run's meta (run_meta's columns but run_id) unless it has some; returns 1 when stored."""
    row = {c.name: meta.get(c.name) for c in run_meta.columns if c.name != "run_id"}
    with writing(engine) as conn:
        done = conn.execute(text(
            f"INSERT INTO run_meta (run_id, {', '.join(row)}) VALUES (:run_id, {', '.join(':' + c for c in row)}) "
            "ON CONFLICT (run_id) DO NOTHING"), dict(row, run_id=run_id))
        return done.rowcount


# The suspected fixtures' summary (streak_summary, kept up to date in each batch): every
# streak of boards in a row failing one port at one place, the runs per place that tested
# each kind, and the runs per place that failed each port.
streaks = Table(
    "streaks", metadata,
    Column("station", Text, nullable=False), Column("fixture", Text, nullable=False),
    Column("kind", String(8), nullable=False), Column("port", Text, nullable=False),
    Column("first_time", String(19), nullable=False), Column("first_id", Integer, nullable=False),
    Column("last_time", String(19), nullable=False), Column("last_id", Integer, nullable=False),
    Column("length", Integer, nullable=False),          # runs that failed the port in a row
    Column("boards", Integer, nullable=False),          # their distinct chips
    PrimaryKeyConstraint("station", "fixture", "kind", "port", "first_time", "first_id"),
)

place_kinds = Table(
    "place_kinds", metadata,
    Column("station", Text, nullable=False), Column("fixture", Text, nullable=False),
    Column("kind", String(8), nullable=False), Column("runs", Integer, nullable=False),
    PrimaryKeyConstraint("station", "fixture", "kind"),
)

place_fails = Table(
    "place_fails", metadata,
    Column("station", Text, nullable=False), Column("fixture", Text, nullable=False),
    Column("kind", String(8), nullable=False), Column("port", Text, nullable=False),
    Column("runs", Integer, nullable=False),
    PrimaryKeyConstraint("station", "fixture", "kind", "port"),
)

# The control charts' counts: per place, day and port, the runs that tested the port, and
# of those the runs it failed and the runs it was intermittent on (some tries failed, some passed).
port_days = Table(
    "port_days", metadata,
    Column("station", Text, nullable=False), Column("fixture", Text, nullable=False),
    Column("day", String(10), nullable=False), Column("kind", String(8), nullable=False),
    Column("port", Text, nullable=False), Column("runs", Integer, nullable=False),
    Column("failed", Integer, nullable=False), Column("intermittent", Integer, nullable=False),
    PrimaryKeyConstraint("station", "fixture", "day", "kind", "port"),
)
FILL_PORT_DAYS = text(
    "INSERT INTO port_days (station, fixture, day, kind, port, runs, failed, intermittent) "
    "SELECT r.station, r.fixture, r.day, q.kind, q.port, COUNT(*), SUM(q.f), SUM(q.i) FROM runs r JOIN "
    "(SELECT run_id, kind, port, MAX(failed) AS f, "
    "MAX(CASE WHEN successes > 0 AND errors > 0 THEN 1 ELSE 0 END) AS i "
    "FROM ports GROUP BY run_id, kind, port) q ON q.run_id = r.id "
    "GROUP BY r.station, r.fixture, r.day, q.kind, q.port")
ADD_PORT_DAY = text(
    "INSERT INTO port_days (station, fixture, day, kind, port, runs, failed, intermittent) "
    "VALUES (:station, :fixture, :day, :kind, :port, :runs, :failed, :intermittent) "
    "ON CONFLICT (station, fixture, day, kind, port) DO UPDATE SET runs = port_days.runs + excluded.runs, "
    "failed = port_days.failed + excluded.failed, "
    "intermittent = port_days.intermittent + excluded.intermittent")


def intermittent(successes, errors):
    """Returns whether a tally was intermittent: some tries failed and some passed (FILL_PORT_DAYS's rule)."""
    return successes > 0 and errors > 0


def count_port_days(conn, run_of, port_rows, failed_rows):
    """Adds the runs just stored (run_of {id: runs row}, their port_rows and of those the
    failed_rows) to port_days; returns nothing."""
    tested = {(p["run_id"], p["kind"], p["port"]) for p in port_rows}  # a DO or DI channel's NO and NC count once
    failing = {}
    for p in failed_rows:  # a tally that did not fail has no errors: it is not intermittent either
        key = (p["run_id"], p["kind"], p["port"])
        failing[key] = failing.get(key, False) or intermittent(p["successes"], p["errors"])
    where = {run_id: (r["station"], r["fixture"], r["day"]) for run_id, r in run_of.items()}
    days = {}
    for key, n in Counter(where[run_id] + (kind, port) for run_id, kind, port in tested).items():
        days[key] = [n, 0, 0]
    for (run_id, kind, port), i in failing.items():
        d = days[where[run_id] + (kind, port)]
        d[1], d[2] = d[1] + 1, d[2] + (1 if i else 0)
    if days:
        execute_rows(conn, ADD_PORT_DAY, [{"station": k[0], "fixture": k[1], "day": k[2], "kind": k[3], "port": k[4],
                                     "runs": d[0], "failed": d[1], "intermittent": d[2]}
                                    for k, d in sorted(days.items())])


STREAK_INDEXES = (
    "ix_streaks_length ON streaks (length)",                          # the long streaks
    "ix_streaks_last ON streaks (station, fixture, last_time)",       # those a late run may split
)


def step_place_summaries(conn):
    """Version 7: the suspected fixtures' and the control charts' summaries, filled from the runs so far."""
    metadata.create_all(conn, tables=[streaks, place_kinds, place_fails, port_days])
    for index in STREAK_INDEXES:
        conn.execute(text("CREATE INDEX IF NOT EXISTS " + index))
    streak_summary.fill(conn)
    conn.execute(FILL_PORT_DAYS)


# The schema's upgrade steps in order; the store's version is the number done.
STEPS = [step_tables, step_indexes, step_units, step_record, step_summaries, step_run_meta, step_place_summaries]


def embedded_url():
    """Returns the URL of the embedded store, the station's own SQLite file."""
    return "sqlite:///" + os.path.expanduser(DEFAULT_DB)


def default_url():
    """Returns the store's URL: RIGRESULTS_DB, else the embedded store."""
    return os.environ.get(ENV_DB) or embedded_url()


def on_sqlite_connect(dbapi_conn, _record):
    """Leaves transactions to the engine, lets readers go on while a station writes,
    and enforces the foreign keys."""
    dbapi_conn.isolation_level = None
    set_wal(dbapi_conn)
    dbapi_conn.execute("PRAGMA foreign_keys=ON")


def set_wal(dbapi_conn):
    """Switches the file to write-ahead logging (the file keeps it); returns nothing, raises
    when the file stays locked for SQLITE_BUSY_S. Two stations that switch a new file at once
    can each hold the read lock the other must clear: SQLite then fails one of them at once,
    without waiting, so the loser tries again."""
    deadline = time.monotonic() + SQLITE_BUSY_S
    while True:
        try:
            dbapi_conn.execute("PRAGMA journal_mode=WAL")
            return
        except sqlite3.OperationalError as e:
            if "locked" not in str(e) or time.monotonic() > deadline:
                raise
            time.sleep(WAL_RETRY_S)


def on_sqlite_begin(conn):
    """Begins a transaction; a writer's takes the write lock at once (waiting for others)."""
    conn.exec_driver_sql("BEGIN IMMEDIATE" if conn.get_execution_options().get("write") else "BEGIN")


def make_engine(url=None):
    """Returns an engine for url (default_url() when None), without touching the schema."""
    url = url or default_url()
    if url.startswith("sqlite"):
        path = url.split(":///", 1)[-1]
        if path and path != ":memory:":
            os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
        engine = create_engine(url, future=True, connect_args={"timeout": SQLITE_BUSY_S})
        event.listen(engine, "connect", on_sqlite_connect)
        event.listen(engine, "begin", on_sqlite_begin)
        return engine
    # Many rows to one statement go a page at a time (psycopg2's execute_values and
    # execute_batch), not one round trip a row.
    return create_engine(url, future=True, pool_pre_ping=True, executemany_mode="values_plus_batch")


def writing(engine):
    """Returns a transaction for writing (on SQLite it holds the write lock from its start)."""
    return engine.execution_options(write=True).begin()


def upgrade(engine):
    """Runs the upgrade steps the store lacks, in order; returns the version."""
    with writing(engine) as conn:
        if engine.dialect.name == "postgresql":
            conn.execute(text("SELECT pg_advisory_xact_lock(:k)"), {"k": PG_UPGRADE_LOCK})
        metadata.create_all(conn, tables=[schema_version])
        version = conn.execute(select(schema_version.c.version)).scalar()
        if version is None:
            conn.execute(schema_version.insert().values(version=0))
            version = 0
        for step in STEPS[version:]:
            step(conn)
        conn.execute(schema_version.update().values(version=len(STEPS)))
    return len(STEPS)


def open_db(url=None):
    """Returns an engine on the store at url, its schema created or upgraded."""
    engine = make_engine(url)
    upgrade(engine)
    return engine


def array_type(column):
    """Returns the PostgreSQL array type a column's values travel in (texts as text: the
    column's own width is checked as they are stored, never cut by a cast)."""
    if isinstance(column.type, Integer):
        return "bigint[]"
    return "bytea[]" if isinstance(column.type, LargeBinary) else "text[]"


@functools.lru_cache(maxsize=16)
def unnest_sql(table, cols, tail=""):
    """Returns PostgreSQL's INSERT of many rows as one array a column (unnest, in the rows'
    order), followed by tail (ON CONFLICT, RETURNING)."""
    arrays = ", ".join(f"%(c{i})s::{array_type(table.c[c])}" for i, c in enumerate(cols))
    names = ", ".join(cols)
    return (f"INSERT INTO {table.name} ({names}) SELECT {names} FROM unnest({arrays}) "
            f"WITH ORDINALITY AS u({names}, n) ORDER BY n {tail}")


def array_literal(values, kind):
    """Returns PostgreSQL's text of an array (kind: its array_type) of numbers or texts
    (None: NULL): numbers as written, each text in double quotes with its backslashes and
    double quotes escaped; a column of bytes stays a list for the driver to adapt."""
    if kind == "bytea[]":
        return list(values)
    if kind == "bigint[]":
        if None not in values:
            return "{" + ",".join(map(str, map(int, values))) + "}"
        return "{" + ",".join("NULL" if v is None else str(int(v)) for v in values) + "}"
    quoted = {v: "NULL" if v is None else '"' + str(v).replace("\\", "\\\\").replace('"', '\\"') + '"'
              for v in set(values)}  # few distinct texts a column: each quoted once
    return "{" + ",".join(map(quoted.__getitem__, values)) + "}"


def insert_many(conn, table, rows, cols=None, tail=""):
    """Inserts rows (dicts holding the columns cols, default every column of table, plain
    numbers, texts and bytes) through the driver without the statement's per-row
    bookkeeping: on SQLite its executemany, on PostgreSQL one statement of one array a
    column (its text built here: the driver's adapter a value cost more than the server's
    work), followed by tail (ON CONFLICT, RETURNING: PostgreSQL only); returns the
    driver's result."""
    cols = tuple(cols or (c.name for c in table.columns))
    pick = operator.itemgetter(*cols) if len(cols) > 1 else lambda row: (row[cols[0]],)
    values = list(map(pick, rows))
    if conn.dialect.name != "sqlite":
        return conn.exec_driver_sql(unnest_sql(table, cols, tail), {
            f"c{i}": array_literal(v, array_type(table.c[c])) for i, (c, v) in enumerate(zip(cols, zip(*values)))})
    return conn.exec_driver_sql(f"INSERT INTO {table.name} ({', '.join(cols)}) VALUES "
                                f"({', '.join(['?'] * len(cols))})", values)


RUN_COLUMNS = tuple(c.name for c in runs.columns if c.name != "id")


# A run already stored is skipped; each new run's id comes back with its identity.
RUNS_TAIL = ("ON CONFLICT (chip, device_type, start_time, log_hash) DO NOTHING "
             "RETURNING id, chip, device_type, start_time, log_hash")


@functools.lru_cache(maxsize=4)
def insert_runs_sql(n):
    """Returns SQLite's INSERT of n runs in one statement (the driver's ? a value)."""
    row = "(" + ", ".join("?" * len(RUN_COLUMNS)) + ")"
    return f"INSERT INTO runs ({', '.join(RUN_COLUMNS)}) VALUES {', '.join([row] * n)} {RUNS_TAIL}"


def insert_runs(conn, rows):
    """Inserts runs rows (in their order; SQLite: INSERT_ROWS to a statement, PostgreSQL:
    all in one); returns {identity: id} of those inserted (a run another station stored
    meanwhile is left out)."""
    if conn.dialect.name != "sqlite":
        found = insert_many(conn, runs, rows, RUN_COLUMNS, RUNS_TAIL) if rows else ()
        return {(r[1], r[2], r[3], r[4]): r[0] for r in found}
    ids, pick = {}, operator.itemgetter(*RUN_COLUMNS)
    for i in range(0, len(rows), INSERT_ROWS):
        chunk = rows[i:i + INSERT_ROWS]
        values = [v for row in chunk for v in pick(row)]
        for r in conn.exec_driver_sql(insert_runs_sql(len(chunk)), tuple(values)):
            ids[(r[1], r[2], r[3], r[4])] = r[0]
    return ids


def packed(data):
    """Returns (compressed bytes, SHA-256 hex) of a file's bytes; (None, None) for no file."""
    if data is None:
        return None, None
    packer = zlib.compressobj(ZLIB_LEVEL, zlib.DEFLATED, ZLIB_WBITS, ZLIB_MEM_LEVEL)
    return packer.compress(data) + packer.flush(), hashlib.sha256(data).hexdigest()


def file_row(run_id, log, report):
    """Returns the run_files row of a run's kept log and report bytes."""
    (log_z, log_sha), (report_z, report_sha) = packed(log), packed(report)
    return {"run_id": run_id, "log": log_z, "log_sha256": log_sha, "report": report_z,
            "report_sha256": report_sha}


def unpacked(data):
    """Returns a stored file's bytes (at most MAX_FILE_BYTES), or None."""
    if data is None:
        return None
    out = zlib.decompressobj()
    return out.decompress(bytes(data), MAX_FILE_BYTES)


def stored_file(conn, run_id, column):
    """Returns the text of one stored file of a run, or None."""
    try:
        data = conn.execute(select(column).where(run_files.c.run_id == run_id)).scalar()
        return None if data is None else parse.decode(unpacked(data))
    except (zlib.error, OverflowError, TypeError):
        return None


def log_text(conn, run_id):
    """Returns the run's kept log as the store holds it (text), or None when not kept."""
    return stored_file(conn, run_id, run_files.c.log)


def report_text(conn, run_id):
    """Returns the run's report as the store holds it (text), or None when there is none."""
    return stored_file(conn, run_id, run_files.c.report)


def file_bytes(conn, run_id):
    """Returns (kept log bytes, report bytes) as stored; None for a file not held."""
    r = conn.execute(select(run_files.c.log, run_files.c.report).where(run_files.c.run_id == run_id)).first()
    return (unpacked(r.log), unpacked(r.report)) if r is not None else (None, None)


def run_row(run):
    """Returns the runs row of a parsed run (log_hash from its log's bytes when it has them)."""
    row = {c: run.get(c) for c in ("chip", "device_type", "start_time", "version", "build",
                                    "command", "tries", "kinds", "result_line", "exit_status",
                                    "end_pattern", "log_path", "report_path")}
    log = run.get("log_data")
    row.update(day=run["start_time"][:10], station=run.get("station") or "",
               fixture=run.get("fixture") or "", passed=1 if run["passed"] else 0,
               aborted=1 if run.get("aborted") else 0, log_kept=0 if log is None else 1,
               log_hash=run.get("log_hash") or (parse.content_hash(log) if log is not None else UNKNOWN_HASH))
    return row


def identity(row):
    """Returns a run's identity: (chip, device type, start time, log hash)."""
    return row["chip"], row["device_type"], row["start_time"], row["log_hash"]


def stored_ids(conn, keys):
    """Returns {identity: run id} of the given identities already stored; a run without its
    log (UNKNOWN_HASH), stored or given, is the same run as any of its chip, device type and
    start time."""
    found, by_time = {}, {}
    for k in keys:
        by_time.setdefault(k[:3], []).append(k)
    chips = sorted({k[0] for k in keys})
    for i in range(0, len(chips), BATCH):
        q = select(runs.c.id, runs.c.chip, runs.c.device_type, runs.c.start_time, runs.c.log_hash).where(
            runs.c.chip.in_(chips[i:i + BATCH]))
        for r in conn.execute(q):
            for k in by_time.get((r.chip, r.device_type, r.start_time), ()):
                if UNKNOWN_HASH in (k[3], r.log_hash) or k[3] == r.log_hash:
                    found[k] = r.id
    return found


def store_batch(engine, batch):
    """Stores one batch in one transaction; returns the number of runs new to the store."""
    rows = {}
    for r in batch:  # a run found twice (station copy, board's folder): the first counts
        row = run_row(r)
        rows.setdefault(identity(row), (row, r["ports"], r.get("log_data"), r.get("report_data")))
    with writing(engine) as conn:
        if engine.dialect.name == "postgresql":  # the summaries' deltas need one writer at a time
            conn.execute(text("SELECT pg_advisory_xact_lock(:k)"), {"k": SUMMARY_LOCK})
        before = stored_ids(conn, set(rows))
        chips = {key[0] for key in rows if key not in before}
        parts = unit_parts(conn, chips)
        # In one order on every station, so two stations' batches never wait on each other crosswise.
        ids = insert_runs(conn, [rows[key][0] for key in sorted(k for k in rows if k not in before)])
        if ids:
            execute_rows(conn, COUNT_UNIT_RUN, [{"chip": key[0], "id": run_id, "t": key[2]}
                                          for key, run_id in sorted(ids.items())])
        port_rows = [dict(p, run_id=run_id, failed=1 if parse.tally_failed(p["successes"], p["errors"]) else 0)
                     for key, run_id in ids.items() for p in rows[key][1]]  # p: parse.py's tally
        if port_rows:
            insert_many(conn, ports, port_rows)
        file_rows = [file_row(run_id, rows[key][2], rows[key][3])
                     for key, run_id in ids.items() if rows[key][2] is not None]
        if file_rows:
            insert_many(conn, run_files, file_rows)
        count_summaries(conn, chips, parts, rows, ids, port_rows)
    return len(ids)


def store_runs(engine, runs_):
    """Stores runs (batches of BATCH, one transaction each); returns (new, already stored)."""
    new = 0
    for i in range(0, len(runs_), BATCH):
        new += store_batch(engine, runs_[i:i + BATCH])
    return new, len(runs_) - new
