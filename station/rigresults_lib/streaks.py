"""The streaks summary: every run of boards in a row at one place (station and fixture)
that failed one port, kept up to date as runs are stored, so that the suspected
fixtures over all days read a few rows instead of walking every run.

A run that did not test the port's kind neither ends nor extends a streak; a run
that tested it and did not fail it ends it. The runs of a place are in the order
(start time, id), so a run stored late (an older run imported after newer ones)
lands in the middle of the order: it may join two streaks or split one.

fill(conn) -> None: computes the summary from every run stored (one walk per place).
count(conn, new) -> None: brings it up to date with the runs just stored (new: a list
    of (station, fixture, start_time, id, chip, kinds, failing {(kind, port)}), their
    ports already in the failed tallies).
The tables (store.py): streaks (station, fixture, kind, port, first and last failed run,
length, boards), place_kinds (runs per place that tested a kind), place_fails (runs per
place that failed a port).
"""
from collections import Counter

from sqlalchemy import text

from . import parse
from .driver import driver_sql, execute_rows

# Runs of one place that failed one port, in a row.
INSERT_STREAK = text(
    "INSERT INTO streaks (station, fixture, kind, port, first_time, first_id, last_time, last_id, "
    "length, boards) VALUES (:station, :fixture, :kind, :port, :first_time, :first_id, :last_time, "
    ":last_id, :length, :boards)")
ADD_KIND = text(
    "INSERT INTO place_kinds (station, fixture, kind, runs) VALUES (:station, :fixture, :kind, :n) "
    "ON CONFLICT (station, fixture, kind) DO UPDATE SET runs = place_kinds.runs + excluded.runs")
ADD_FAIL = text(
    "INSERT INTO place_fails (station, fixture, kind, port, runs) VALUES (:station, :fixture, :kind, "
    ":port, :n) ON CONFLICT (station, fixture, kind, port) DO UPDATE SET "
    "runs = place_fails.runs + excluded.runs")
# The streaks of a place that end at or after a time: those a run stored there may split.
LATE_STREAKS = text(
    "SELECT kind, port, first_time, first_id, last_time, last_id FROM streaks "
    "WHERE station = :station AND fixture = :fixture AND last_time >= :t")
# Whether a run failed the port (a DO or DI channel fails its port by either test).
FAILS = ("EXISTS (SELECT 1 FROM failed x WHERE x.run_id = r.id AND x.kind = :kind "
         "AND x.port = :port)")
TESTED = "(COALESCE(r.kinds, 0) & :bit) != 0"
PLACE = "r.station = :station AND r.fixture = :fixture"
AFTER_LO = "r.start_time >= :lo_t AND (r.start_time > :lo_t OR r.id > :lo_id)"
BEFORE_HI = "r.start_time <= :hi_t AND (r.start_time < :hi_t OR r.id < :hi_id)"
# The nearest run before (after) a run at its place that ends a streak of the port: its time
# first (the place index's order, read from one end until found), then the id at that time
# (the inner runs r is the subquery's own; the outer one reads that time's runs alone, the
# tie with the run's own time settled by the id). In one ORDER BY of time and id PostgreSQL
# would sort every run of the place on the way, the id not being in the place index.
ENDS_PORT = f"{PLACE} AND {TESTED} AND NOT {FAILS}"
NEAREST = ("SELECT MAX(r.start_time), {pick}(r.id) FROM runs r WHERE {ends} AND {tie} AND r.start_time = "
           "(SELECT r.start_time FROM runs r WHERE {ends} AND {span} ORDER BY r.start_time {order} LIMIT 1)")
ENDS_BEFORE_SQL = (NEAREST.format(ends=ENDS_PORT, span=BEFORE_HI, tie="(r.start_time < :hi_t OR r.id < :hi_id)",
                                  order="DESC", pick="MAX"))
ENDS_AFTER_SQL = (NEAREST.format(ends=ENDS_PORT, span=AFTER_LO, tie="(r.start_time > :lo_t OR r.id > :lo_id)",
                                 order="ASC", pick="MIN"))
NO_BOUND = (None, None)


def ordered_runs_sql(lo_open, hi_open):
    """Returns the SELECT of a place's runs strictly between :lo and :hi (either open:
    no bound), in order, each with whether it failed the port."""
    terms = [PLACE] + ([] if lo_open else [AFTER_LO]) + ([] if hi_open else [BEFORE_HI])
    return (f"SELECT r.start_time, r.id, r.chip, r.kinds, {FAILS} AS failing FROM runs r "
            f"WHERE {' AND '.join(terms)}")


def overlapping_sql(lo_open, hi_open):
    """Returns the DELETE of a place's streaks of a port that reach into (:lo, :hi)."""
    terms = ["station = :station", "fixture = :fixture", "kind = :kind", "port = :port"]
    if not hi_open:
        terms.append("(first_time < :hi_t OR (first_time = :hi_t AND first_id < :hi_id))")
    if not lo_open:
        terms.append("(last_time > :lo_t OR (last_time = :lo_t AND last_id > :lo_id))")
    return text(f"DELETE FROM streaks WHERE {' AND '.join(terms)}")


# Both statements for each window's kind of bounds (lo open, hi open).
ORDERED_RUNS_SQL = {(a, b): ordered_runs_sql(a, b) for a in (False, True) for b in (False, True)}
OVERLAPPING = {(a, b): overlapping_sql(a, b) for a in (False, True) for b in (False, True)}


def streak_row(first, last, length, chips):
    """Returns a streak's columns (first and last: (time, id) of its first and last run)."""
    return {"first_time": first[0], "first_id": first[1], "last_time": last[0], "last_id": last[1],
            "length": length, "boards": len(chips)}


def walk(runs, bit):
    """Returns the streaks of one port in a place's runs (time, id, chip, kinds, failing)
    given in order (bit: the port's kind in kinds), as streak_row()s."""
    out, first, last, length, chips = [], None, None, 0, set()
    for start_time, run_id, chip, kinds, failing in runs:
        if failing:
            first = first or (start_time, run_id)
            last, length = (start_time, run_id), length + 1
            chips.add(chip)
        elif (kinds or 0) & bit and first is not None:
            out.append(streak_row(first, last, length, chips))
            first, length, chips = None, 0, set()
    if first is not None:
        out.append(streak_row(first, last, length, chips))
    return out


def fill(conn):
    """Computes the summary from every run stored: one walk of each place's runs in order,
    the failed ports of each run held in memory (a few per hundred runs); returns nothing."""
    failing = {}
    for run_id, kind, port in conn.execute(text("SELECT DISTINCT run_id, kind, port FROM failed")):
        failing.setdefault(run_id, set()).add((kind, port))
    q = text("SELECT station, fixture, start_time, id, chip, kinds FROM runs "
             "ORDER BY station, fixture, start_time, id").execution_options(stream_results=True)
    place, current, tested, fails, rows = None, {}, Counter(), Counter(), []

    def close(key):
        first, last, length, chips = current.pop(key)
        rows.append(dict(streak_row(first, last, length, chips), station=place[0], fixture=place[1],
                         kind=key[0], port=key[1]))

    for station, fixture, start_time, run_id, chip, kinds in conn.execute(q):
        if (station, fixture) != place:
            for key in list(current):
                close(key)
            place = (station, fixture)
        kinds = kinds or 0
        for kind, bit in parse.KIND_BIT.items():
            tested[place + (kind,)] += 1 if kinds & bit else 0
        now = failing.get(run_id, ())
        for key in [k for k in current if k not in now and kinds & parse.KIND_BIT.get(k[0], 0)]:
            close(key)
        for key in now:
            fails[place + key] += 1
            streak = current.setdefault(key, [(start_time, run_id), None, 0, set()])
            streak[1], streak[2] = (start_time, run_id), streak[2] + 1
            streak[3].add(chip)
        if len(rows) >= 1000:
            execute_rows(conn, INSERT_STREAK, rows)
            rows = []
    for key in list(current):
        close(key)
    if rows:
        execute_rows(conn, INSERT_STREAK, rows)
    add_counts(conn, tested, fails)


def add_counts(conn, tested, fails):
    """Adds runs per place and kind tested and per place and port failed; returns nothing."""
    rows = [{"station": s, "fixture": f, "kind": k, "n": n} for (s, f, k), n in sorted(tested.items()) if n]
    if rows:
        execute_rows(conn, ADD_KIND, rows)
    rows = [{"station": s, "fixture": f, "kind": k, "port": p, "n": n} for (s, f, k, p), n in sorted(fails.items())]
    if rows:
        execute_rows(conn, ADD_FAIL, rows)


# On PostgreSQL a batch's bounds are looked for in one statement, its walks read in one
# (jobs a statement); on SQLite, in the process itself, one prepared statement serves each.
JOBS_A_STATEMENT = 100


def selects(conn, parts):
    """Returns the rows of many SELECTs [(sql, params)], each row led by its SELECT's index
    in parts; through the driver, without SQLAlchemy's work a statement."""
    found = []
    if conn.dialect.name == "sqlite":
        for n, (sql, params) in enumerate(parts):
            found += [(n,) + tuple(r) for r in conn.exec_driver_sql(sql, params)]
        return found
    for at in range(0, len(parts), JOBS_A_STATEMENT):
        chunk = parts[at:at + JOBS_A_STATEMENT]
        sql = " UNION ALL ".join(f"SELECT {at + n} AS part, q{n}.* FROM ({driver_sql(conn, q, f'_{n}')}) q{n}"
                                 for n, (q, _) in enumerate(chunk))
        found += conn.exec_driver_sql(sql, {f"{k}_{n}": v for n, (_, params) in enumerate(chunk)
                                            for k, v in params.items()}).all()
    return found


def port_params(place, port_key):
    """Returns the parameters that name a port at a place in the statements above."""
    return {"station": place[0], "fixture": place[1], "kind": port_key[0], "port": port_key[1],
            "bit": parse.KIND_BIT.get(port_key[0], 0)}


def overlaps(a, b):
    """Returns whether two windows (lo, hi: (time, id) or NO_BOUND, open) share a run."""
    return (a[0] == NO_BOUND or b[1] == NO_BOUND or a[0] < b[1]) and \
        (b[0] == NO_BOUND or a[1] == NO_BOUND or b[0] < a[1])


def merged(windows):
    """Returns windows [(lo, hi)] of one port at one place with those that share a run made one."""
    out = []
    for lo, hi in sorted(windows, key=lambda w: (w[0] != NO_BOUND, w[0] if w[0] != NO_BOUND else ())):
        if out and overlaps(out[-1], (lo, hi)):
            last = out[-1]
            out[-1] = (last[0], NO_BOUND if NO_BOUND in (last[1], hi) else max(last[1], hi))
        else:
            out.append((lo, hi))
    return out


def windows_of(conn, jobs):
    """Returns {(place, port): [(lo, hi)]}: around each job's run, the nearest runs before
    and after it at its place that end a streak of its port (NO_BOUND: none), those that
    share a run made one."""
    jobs = sorted(jobs)
    parts = []
    for place, port_key, run in jobs:
        key = port_params(place, port_key)
        parts += [(ENDS_BEFORE_SQL, dict(key, hi_t=run[0], hi_id=run[1])),
                  (ENDS_AFTER_SQL, dict(key, lo_t=run[0], lo_id=run[1]))]
    found = {}
    for part, t, run_id in selects(conn, parts):
        found[part] = NO_BOUND if t is None else (t, run_id)
    windows = {}
    for n, (place, port_key, _) in enumerate(jobs):
        windows.setdefault((place, port_key), []).append((found.get(2 * n, NO_BOUND),
                                                          found.get(2 * n + 1, NO_BOUND)))
    return {key: merged(w) for key, w in windows.items()}


def redo(conn, windows):
    """Computes again the streaks of each port at a place in its windows ({(place, port):
    [(lo, hi)]}, none sharing a run): those stored there are deleted, those of a walk of
    the runs in each window stored; returns nothing."""
    spans = [(place, port_key, lo, hi) for (place, port_key), ws in sorted(windows.items()) for lo, hi in ws]
    parts, deletes = [], {}
    for place, port_key, lo, hi in spans:
        span = dict(port_params(place, port_key), lo_t=lo[0], lo_id=lo[1], hi_t=hi[0], hi_id=hi[1])
        bounds = (lo == NO_BOUND, hi == NO_BOUND)
        parts.append((ORDERED_RUNS_SQL[bounds], span))
        deletes.setdefault(bounds, []).append(span)
    runs = {}
    for part, start_time, run_id, chip, kinds, failing in selects(conn, parts):
        runs.setdefault(part, []).append((start_time, run_id, chip, kinds, failing))
    for bounds, spans_ in sorted(deletes.items()):
        execute_rows(conn, OVERLAPPING[bounds], spans_)
    rows = [dict(r, station=place[0], fixture=place[1], kind=port_key[0], port=port_key[1])
            for n, (place, port_key, _, _) in enumerate(spans)
            for r in walk(sorted(runs.get(n, ())), parse.KIND_BIT.get(port_key[0], 0))]
    if rows:
        execute_rows(conn, INSERT_STREAK, rows)


def count(conn, new):
    """Brings the summary up to date with the runs just stored (see the module's text);
    returns nothing. Each window of a port that a new run falls in is computed again once."""
    tested, fails, jobs, by_place = Counter(), Counter(), set(), {}
    for station, fixture, start_time, run_id, chip, kinds, failing in new:
        place = (station, fixture)
        for kind, bit in parse.KIND_BIT.items():
            tested[place + (kind,)] += 1 if (kinds or 0) & bit else 0
        for port_key in failing:
            fails[place + port_key] += 1
            jobs.add((place, port_key, (start_time, run_id)))
        by_place.setdefault(place, []).append(((start_time, run_id), kinds or 0))
    for place, placed in by_place.items():  # a run that ends, in the middle, a streak stored before
        late = conn.execute(LATE_STREAKS, {"station": place[0], "fixture": place[1],
                                           "t": min(placed)[0][0]}).all()
        for kind, port, first_time, first_id, last_time, last_id in late:
            bit = parse.KIND_BIT.get(kind, 0)
            for run, kinds in placed:
                if kinds & bit and (first_time, first_id) < run < (last_time, last_id):
                    jobs.add((place, (kind, port), run))
    if jobs:
        redo(conn, windows_of(conn, jobs))
    add_counts(conn, tested, fails)
