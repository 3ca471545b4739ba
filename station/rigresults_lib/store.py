"""The results store: one schema on SQLite (embedded, the default) or PostgreSQL.

open_db(url=None) -> Engine: opens (creating and upgrading) the store at url, a
    SQLAlchemy URL; default RIGRESULTS_DB, else sqlite:///~/.local/share/rigresults/results.db.
store_runs(engine, runs) -> (new, already): stores parsed runs (parse.py's dicts plus
    station, fixture, exit_status, end_pattern, log_path, report_path); a run
    already stored (same chip, device type and start time) is left as it is.
A run and its ports are stored in one transaction, so a run is whole or absent.
Tables: runs (one row per run, unique on chip, device_type, start_time), ports (per run,
port and test NO/NC: successes, errors, failed, verdict), units (per chip: first and
last run, number of runs), schema_version (STEPS done).
Beside it: parse.py (the files), importer.py (folders), views.py (the queries),
sync.py (forwarding), synth.py (synthetic runs), pgtemp.py (a throwaway PostgreSQL).
"""
import os
import sqlite3
import time

from sqlalchemy import (Column, ForeignKey, Integer, MetaData, PrimaryKeyConstraint, String,
                        Table, Text, UniqueConstraint, create_engine, event, select, text)

DEFAULT_DB = os.path.join("~", ".local", "share", "rigresults", "results.db")
ENV_DB = "RIGRESULTS_DB"
SQLITE_BUSY_S = 60        # a writer waits this long for another station's transaction
WAL_RETRY_S = 0.05       # pause between two tries to switch a new file to write-ahead logging
PG_UPGRADE_LOCK = 0x72696721  # advisory lock id: one upgrade at a time
BATCH = 500               # runs per transaction on a long import

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
    UniqueConstraint("chip", "device_type", "start_time", name="uq_runs_identity"),
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
    """Version 4: the runs' place, operator, label serial and versions, found by serial."""
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


# The schema's upgrade steps in order; the store's version is the number done.
STEPS = [step_tables, step_indexes, step_units, step_run_meta]


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
    return create_engine(url, future=True, pool_pre_ping=True)


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


def insert_run_sql():
    """Returns the INSERT of a run that skips a run already stored and returns the new id
    (SQLite 3.35 and PostgreSQL take the same text; as text it is compiled once)."""
    cols = [c.name for c in runs.columns if c.name != "id"]
    return text(f"INSERT INTO runs ({', '.join(cols)}) VALUES ({', '.join(':' + c for c in cols)}) "
                "ON CONFLICT (chip, device_type, start_time) DO NOTHING RETURNING id")


INSERT_RUN = insert_run_sql()


def run_row(run):
    """Returns the runs row of a parsed run."""
    row = {c: run.get(c) for c in ("chip", "device_type", "start_time", "version", "build",
                                    "command", "tries", "kinds", "result_line", "exit_status",
                                    "end_pattern", "log_path", "report_path")}
    row.update(day=run["start_time"][:10], station=run.get("station") or "",
               fixture=run.get("fixture") or "", passed=1 if run["passed"] else 0)
    return row


def identity(row):
    """Returns a run's identity: (chip, device type, start time)."""
    return row["chip"], row["device_type"], row["start_time"]


def stored_ids(conn, keys):
    """Returns {identity: run id} of the given identities already stored."""
    found = {}
    chips = sorted({k[0] for k in keys})
    for i in range(0, len(chips), BATCH):
        q = select(runs.c.id, runs.c.chip, runs.c.device_type, runs.c.start_time).where(
            runs.c.chip.in_(chips[i:i + BATCH]))
        for r in conn.execute(q):
            if (r.chip, r.device_type, r.start_time) in keys:
                found[(r.chip, r.device_type, r.start_time)] = r.id
    return found


def store_batch(engine, batch):
    """Stores one batch in one transaction; returns the number of runs new to the store."""
    rows = {}
    for r in batch:  # a run found twice (station copy, board's folder): the first counts
        rows.setdefault(identity(run_row(r)), (run_row(r), r["ports"]))
    with writing(engine) as conn:
        before = stored_ids(conn, set(rows))
        ids = {}
        # In one order on every station, so two stations' batches never wait on each other crosswise.
        for key in sorted(k for k in rows if k not in before):
            run_id = conn.execute(INSERT_RUN, rows[key][0]).scalar()
            if run_id is not None:  # None: another station stored it meanwhile
                ids[key] = run_id
                conn.execute(COUNT_UNIT_RUN, {"chip": key[0], "id": run_id, "t": key[2]})
        port_rows = [
            {"run_id": run_id, "kind": p["kind"], "port": p["port"], "test": p["test"],
             "successes": p["successes"], "errors": p["errors"], "verdict": p["verdict"],
             "failed": 0 if p["successes"] >= 1 and p["errors"] == 0 else 1}
            for key, run_id in ids.items() for p in rows[key][1]]
        if port_rows:
            conn.execute(ports.insert(), port_rows)
    return len(ids)


def store_runs(engine, runs_):
    """Stores runs (batches of BATCH, one transaction each); returns (new, already stored)."""
    new = 0
    for i in range(0, len(runs_), BATCH):
        new += store_batch(engine, runs_[i:i + BATCH])
    return new, len(runs_) - new
