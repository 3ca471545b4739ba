"""Forwarding runs from one store to another (an offline station catching up).

forward(source, target, refused=None) -> (new, already): copies every run of the source
engine's store with its ports, its stored files and its meta (run_meta: who ran it where,
the run it retests) into the target's; runs the target
holds stay as they are; a run with a value no import stores today (a store filled before
imports were bounded) is left behind, and (run id, reason) added to refused.
store_or_keep(url, runs, fallback) -> (url used, new, already): stores into url, or,
when url names a server that cannot be reached, into the fallback store (default the
embedded one).
"""
from sqlalchemy import select
from sqlalchemy.exc import OperationalError

from . import parse, store
from .store import ports, run_files, run_meta, runs

FIELDS = ("chip", "device_type", "start_time", "version", "build", "command", "tries", "kinds",
          "result_line", "exit_status", "end_pattern", "log_path", "report_path", "station",
          "fixture", "log_hash", "aborted")


def read_runs(conn, after_id, limit):
    """Returns up to limit runs (as store_runs takes them) with ids above after_id, and the last id."""
    rows = conn.execute(select(runs).where(runs.c.id > after_id).order_by(runs.c.id).limit(limit)).all()
    if not rows:
        return [], after_id
    tallies = {}
    q = select(ports).where(ports.c.run_id.in_([r.id for r in rows]))
    for p in conn.execute(q):
        tallies.setdefault(p.run_id, []).append(
            {"kind": p.kind, "port": p.port, "test": p.test, "successes": p.successes,
             "errors": p.errors, "verdict": p.verdict})
    stored = {}
    for f in conn.execute(select(run_files).where(run_files.c.run_id.in_([r.id for r in rows]))):
        stored[f.run_id] = (store.unpacked(f.log), store.unpacked(f.report))
    metas = meta_of(conn, [r.id for r in rows])
    out = [dict({f: getattr(r, f) for f in FIELDS}, id=r.id, passed=bool(r.passed), ports=tallies.get(r.id, []),
                log_data=stored.get(r.id, (None, None))[0], report_data=stored.get(r.id, (None, None))[1],
                meta=metas.get(r.id))
           for r in rows]
    return out, rows[-1].id


def meta_of(conn, ids):
    """Returns {run id: its run_meta row as store_run_meta takes it} of the given runs that
    have one; retest_of is the retested run's identity (ids differ from store to store)."""
    metas = {m.run_id: dict(m._mapping) for m in conn.execute(select(run_meta).where(run_meta.c.run_id.in_(ids)))}
    retested = {m["retest_of"] for m in metas.values() if m["retest_of"] is not None}
    keys = {r.id: store.identity(r._mapping) for r in conn.execute(
        select(runs.c.id, runs.c.chip, runs.c.device_type, runs.c.start_time, runs.c.log_hash)
        .where(runs.c.id.in_(sorted(retested))))}
    for m in metas.values():
        m["retest_of"] = keys.get(m["retest_of"])
    return metas


def forward_meta(target, batch):
    """Stores in target the meta of the runs of batch that have one (a run's meta already
    there stays as it is); returns nothing."""
    given = {store.identity(store.run_row(r)): r["meta"] for r in batch if r["meta"] is not None}
    if not given:
        return
    with target.connect() as conn:
        ids = store.stored_ids(conn, set(given) | {m["retest_of"] for m in given.values() if m["retest_of"]})
    for key, meta in sorted(given.items()):
        if key in ids:
            store.store_run_meta(target, ids[key], dict(meta, retest_of=ids.get(meta["retest_of"])))


NAMES = ("chip", "device_type", "station", "fixture")


def unsound(run):
    """Returns why a stored run cannot go to another store, or None."""
    if any(len(run[n] or "") > parse.MAX_NAME for n in NAMES):
        return f"a name longer than {parse.MAX_NAME} characters"
    if run["tries"] is not None and not 0 <= run["tries"] <= parse.MAX_TRIES:
        return f"{run['tries']} tries"
    if any(not 0 <= p[n] <= parse.MAX_TRIES for p in run["ports"] for n in ("successes", "errors")):
        return f"a tally beyond {parse.MAX_TRIES} tries"
    return None


def forward(source, target, refused=None):
    """Copies every sound run of source into target; returns (new, already there)."""
    new = already = last = 0
    while True:
        with source.connect() as conn:
            batch, last = read_runs(conn, last, store.BATCH)
        if not batch:
            return new, already
        for run in [r for r in batch if unsound(r)]:
            batch.remove(run)
            if refused is not None:
                refused.append((run["id"], unsound(run)))
        n, a = store.store_runs(target, batch)
        forward_meta(target, batch)
        new, already = new + n, already + a


def store_or_keep(url, runs_, fallback=None):
    """Stores runs at url, or in the fallback store when url names a server that cannot be
    reached; returns (the URL stored into, new, already). Any other failure (a locked or
    broken file, a server that fails once connected) is raised, never hidden in the fallback."""
    url = url or store.default_url()
    if server_unreachable(url):
        url = fallback or store.embedded_url()
    return (url,) + store_at(url, runs_)


def server_unreachable(url):
    """Returns whether url names a database server that refuses or misses a connection
    (an embedded SQLite file is no server)."""
    if url.startswith("sqlite"):
        return False
    engine = store.make_engine(url)
    try:
        engine.connect().close()
        return False
    except OperationalError:
        return True
    finally:
        engine.dispose()


def store_at(url, runs_):
    """Stores runs in the store at url; returns (new, already)."""
    engine = store.open_db(url)
    try:
        return store.store_runs(engine, runs_)
    finally:
        engine.dispose()
